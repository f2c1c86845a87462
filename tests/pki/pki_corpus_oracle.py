"""Reference answers for the PKI tests from Debian's python3-cryptography and asn1crypto: one line per
item, fields separated by blanks, bytes in hex, "-" for none.
  names FILE...  N <Name DER> <text, "-" when python3-cryptography cannot read it> <usual string types 0/1>
                 <multi-valued 0/1> for the subject and issuer of every certificate.
  algs FILE...   A <AlgorithmIdentifier DER> for the signature (an RSASSA-PSS one followed by the hash OID,
                 MGF1 hash OID and salt length) and the key, S <SubjectPublicKeyInfo DER>.
  spki FILE      RSA n e | DSA p q g y | EC x y | RAW key of one DER SubjectPublicKeyInfo, as hex integers.
  cms FILE       the IssuerAndSerialNumber DER of the first signer of a DER CMS SignedData."""
import os
import re
import sys
import warnings

from asn1crypto import cms, core, keys, x509 as ax509
from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding

SHORT = {"2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "SERIALNUMBER", "2.5.4.6": "C", "2.5.4.7": "L",
         "2.5.4.8": "S", "2.5.4.9": "STREET", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "T",
         "2.5.4.17": "PostalCode", "2.5.4.20": "Phone", "2.5.4.42": "G", "2.5.4.43": "I",
         "1.2.840.113549.1.9.1": "E", "0.9.2342.19200300.100.1.1": "UID",
         "0.9.2342.19200300.100.1.25": "DC"}
IA5 = {"1.2.840.113549.1.9.1", "0.9.2342.19200300.100.1.25", "0.9.2342.19200300.100.1.3", "1.2.840.113549.1.9.2"}
PRINTABLE = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 '()+,-./:=?")
PEM = rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----"


def certificates(paths):
    """(python3-cryptography, asn1crypto) readings of every certificate the files hold."""
    warnings.simplefilter("ignore")
    for path in filter(os.path.isfile, paths):
        data = open(path, "rb").read()
        for block in [data] if data[:1] == b"\x30" else re.findall(PEM, data, re.S):
            try:
                cert = (x509.load_der_x509_certificate if block[:1] == b"\x30" else x509.load_pem_x509_certificate)(block)
                yield cert, ax509.Certificate.load(cert.public_bytes(Encoding.DER))
            except Exception:
                continue


def value_bytes(tag, value):
    if tag == 30:  # BMPString: characters below 256 one byte each, else UTF-8
        return bytes(ord(c) for c in value) if all(ord(c) < 256 for c in value) else value.encode("utf-8")
    if tag not in (12, 19, 22, 26, 28):
        raise ValueError("a string type the text does not hold")
    return value.encode("utf-32-be" if tag == 28 else "utf-8")


def usual_type(oid, value):
    if all(c in PRINTABLE for c in value):
        return 22 if oid in IA5 else 19
    try:
        value.decode("utf-8")
    except UnicodeDecodeError:
        return 30
    return 12


def name_line(cert_name, encoded):
    """The text python3-cryptography's attributes give, in the encoded order (it holds an RDN as a set)."""
    rdns, usual, multi = [], 1, 0
    for rdn, encoded_rdn in zip(cert_name.rdns, encoded.chosen):
        multi |= len(rdn) > 1
        order = [atv["type"].dotted for atv in encoded_rdn]
        texts = []
        for attribute in sorted(rdn, key=lambda a: order.index(a.oid.dotted_string)):
            oid, value = attribute.oid.dotted_string, value_bytes(attribute._type.value, attribute.value)
            usual &= usual_type(oid, value) == attribute._type.value
            value = value.replace(b'"', b'\\"')
            if any(c in value for c in b',+=#<>"') or value[:1] == b" " or value[-1:] == b" ":
                value = b'"' + value + b'"'
            texts.append(SHORT.get(oid, oid).encode() + b"=" + value)
        rdns.append(b" ".join(texts))
    return "%s %d %d" % (b", ".join(rdns).hex() or "-", usual, multi)


def main():
    mode, paths = sys.argv[1], sys.argv[2:]
    if mode == "names":
        for cert, parsed in certificates(paths):
            for field in ("subject", "issuer"):
                encoded = parsed["tbs_certificate"][field]
                try:
                    print("N", encoded.dump().hex(), name_line(getattr(cert, field), encoded))
                except Exception:
                    print("N", encoded.dump().hex(), "- 0 0")
    elif mode == "algs":
        for _, parsed in certificates(paths):
            # The raw elements: asn1crypto cannot parse the parameters of every key algorithm.
            spki = parsed["tbs_certificate"]["subject_public_key_info"].dump()
            signature = parsed["signature_algorithm"]
            print("A", signature.dump().hex(), end="")
            if signature["algorithm"].native == "rsassa_pss":
                params = signature["parameters"]
                mgf = params["mask_gen_algorithm"]["parameters"]["algorithm"].dotted
                print("", params["hash_algorithm"]["algorithm"].dotted, mgf, params["salt_length"].native, end="")
            print()
            print("A", core.Sequence.load(spki)[0].dump().hex())
            print("S", spki.hex())
    elif mode == "spki":
        spki = keys.PublicKeyInfo.load(open(paths[0], "rb").read())
        algorithm, key = spki["algorithm"]["algorithm"].native, spki["public_key"]
        if algorithm in ("rsa", "rsassa_pss"):
            kind, numbers = "RSA", [key.native["modulus"], key.native["public_exponent"]]
        elif algorithm == "dsa":
            kind, numbers = "DSA", [spki["algorithm"]["parameters"][k].native for k in "pqg"] + [key.native]
        elif algorithm == "ec":
            kind, numbers = "EC", key.to_coords()
        else:
            kind, numbers = "RAW", [int.from_bytes(key.native, "big")]
        print(kind, *("%X" % n for n in numbers))
    elif mode == "cms":
        info = cms.ContentInfo.load(open(paths[0], "rb").read())
        print(info["content"]["signer_infos"][0]["sid"].chosen.dump().hex())


if __name__ == "__main__":
    main()
