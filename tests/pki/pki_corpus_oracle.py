"""Reference answers for the name, identifier and public-key tests, from Debian's python3-cryptography and
asn1crypto. Modes (each prints one line per item, fields separated by blanks, byte strings in hex, "-"
for none):
  names FILE...  N <name DER> <expected text> <string types are the usual choice 0/1> <multi-valued 0/1>
                 for the subject and issuer of every certificate; the expected text is "-" when
                 python3-cryptography cannot read the name.
  algs FILE...   A <AlgorithmIdentifier DER> for the signature and key algorithms of every certificate,
                 S <SubjectPublicKeyInfo DER> for its key.
  spki FILE      the numbers of one DER SubjectPublicKeyInfo: RSA n e | DSA p q g y | EC x y | RAW key.
  pss FILE       H <hash OID> <MGF1 hash OID> <salt length> of a certificate's RSASSA-PSS signature.
  cms FILE       <IssuerAndSerialNumber DER> of the first signer of a DER CMS SignedData."""
import os
import re
import sys
import warnings

from asn1crypto import cms, core, keys, x509 as ax509
from cryptography import x509

SHORT = {"2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "SERIALNUMBER", "2.5.4.6": "C", "2.5.4.7": "L",
         "2.5.4.8": "S", "2.5.4.9": "STREET", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "T",
         "2.5.4.17": "PostalCode", "2.5.4.20": "Phone", "2.5.4.42": "G", "2.5.4.43": "I",
         "1.2.840.113549.1.9.1": "E", "0.9.2342.19200300.100.1.1": "UID",
         "0.9.2342.19200300.100.1.25": "DC"}
IA5 = {"1.2.840.113549.1.9.1", "0.9.2342.19200300.100.1.25", "0.9.2342.19200300.100.1.3", "1.2.840.113549.1.9.2"}
PRINTABLE = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 '()+,-./:=?")


def certificates(paths):
    warnings.simplefilter("ignore")
    for path in paths:
        if not os.path.isfile(path):
            continue
        data = open(path, "rb").read()
        blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", data, re.S)
        if not blocks and data[:1] == b"\x30":
            blocks = [data]
        for block in blocks:
            try:
                if block.startswith(b"-----"):
                    yield x509.load_pem_x509_certificate(block)
                else:
                    yield x509.load_der_x509_certificate(block)
            except Exception:
                continue


def value_bytes(tag, value):
    if tag == 30:  # BMPString: characters below 256 one byte each, else UTF-8
        return bytes(ord(c) for c in value) if all(ord(c) < 256 for c in value) else value.encode("utf-8")
    if tag == 28:
        return value.encode("utf-32-be")
    if tag in (12, 19, 22, 26):
        return value.encode("utf-8")
    return None


def attribute_text(oid, value):
    value = value.replace(b'"', b'\\"')
    if any(c in value for c in b',+=#<>"') or value[:1] == b" " or value[-1:] == b" ":
        value = b'"' + value + b'"'
    return SHORT.get(oid, oid).encode() + b"=" + value


def usual_type(oid, value):
    if any(c not in PRINTABLE for c in value):
        try:
            value.decode("utf-8")
            return 12
        except UnicodeDecodeError:
            return 30
    return 22 if oid in IA5 else 19


def name_line(name_der, cert_name, encoded):
    rdns, usual, multi = [], 1, 0
    try:
        for rdn, encoded_rdn in zip(cert_name.rdns, encoded.chosen):
            multi |= len(rdn) > 1
            texts = []
            # python3-cryptography holds an RDN as a set; the text keeps the encoded order.
            order = [atv["type"].dotted for atv in encoded_rdn]
            for attribute in sorted(rdn, key=lambda a: order.index(a.oid.dotted_string)):
                tag = attribute._type.value
                value = value_bytes(tag, attribute.value)
                if value is None:
                    return "N %s - 0 %d" % (name_der.hex(), multi)
                usual &= usual_type(attribute.oid.dotted_string, value) == tag
                texts.append(attribute_text(attribute.oid.dotted_string, value))
            rdns.append(b" ".join(texts))
    except Exception:
        return "N %s - 0 0" % name_der.hex()
    text = b", ".join(rdns)
    return "N %s %s %d %d" % (name_der.hex(), text.hex() or "-", usual, multi)


def main():
    mode, paths = sys.argv[1], sys.argv[2:]
    if mode == "names":
        for cert in certificates(paths):
            parsed = ax509.Certificate.load(cert.public_bytes(serialization_der()))
            tbs = parsed["tbs_certificate"]
            for field in ("subject", "issuer"):
                try:
                    name = getattr(cert, field)
                except ValueError:
                    print("N %s - 0 0" % tbs[field].dump().hex())
                    continue
                print(name_line(tbs[field].dump(), name, tbs[field]))
    elif mode == "algs":
        for cert in certificates(paths):
            parsed = ax509.Certificate.load(cert.public_bytes(serialization_der()))
            spki = parsed["tbs_certificate"]["subject_public_key_info"]
            print("A", parsed["signature_algorithm"].dump().hex())
            # The raw element: asn1crypto cannot parse the parameters of every key algorithm.
            spki_der = spki.dump()
            print("A", core.Sequence.load(spki_der)[0].dump().hex())
            print("S", spki_der.hex())
    elif mode == "spki":
        spki = keys.PublicKeyInfo.load(open(paths[0], "rb").read())
        algorithm, key = spki["algorithm"]["algorithm"].native, spki["public_key"]
        if algorithm in ("rsa", "rsassa_pss"):
            numbers = [key.native["modulus"], key.native["public_exponent"]]
            print("RSA", " ".join(signed_hex(n) for n in numbers))
        elif algorithm == "dsa":
            params = spki["algorithm"]["parameters"]
            print("DSA", " ".join(signed_hex(params[k].native) for k in ("p", "q", "g")),
                  "%x" % key.native if key.native else "-")
        elif algorithm == "ec":
            x, y = spki.to_coords() if hasattr(spki, "to_coords") else key.to_coords()
            print("EC %x %x" % (x, y))
        else:
            print("RAW", bytes(key).hex() if not hasattr(key, "native") else spki["public_key"].native.hex())
    elif mode == "pss":
        cert = ax509.Certificate.load(der_of(paths[0]))
        params = cert["signature_algorithm"]["parameters"]
        mgf = params["mask_gen_algorithm"]["parameters"]["algorithm"].dotted
        print("H", params["hash_algorithm"]["algorithm"].dotted, mgf, params["salt_length"].native)
    elif mode == "cms":
        info = cms.ContentInfo.load(open(paths[0], "rb").read())
        sid = info["content"]["signer_infos"][0]["sid"].chosen
        print(sid.dump().hex())


def signed_hex(n):
    return n.to_bytes(n.bit_length() // 8 + 1, "big").hex()


def serialization_der():
    from cryptography.hazmat.primitives.serialization import Encoding
    return Encoding.DER


def der_of(path):
    data = open(path, "rb").read()
    if data.startswith(b"-----"):
        return x509.load_pem_x509_certificate(data).public_bytes(serialization_der())
    return data


if __name__ == "__main__":
    main()
