"""Expected readings of the certificate corpus, made once with Debian's python3-cryptography (and
asn1crypto for the raw GeneralName contents python3-cryptography does not give) and committed as
cert_table.txt. One line per certificate, keyed by the SHA-256 of its DER, blank-separated, texts in hex,
"-" for an empty text, "?" where the library could not read the field:
  sha256 file version serialHex issuer subject notBefore notAfter sha256(keyNumbers) san ku eku cdp aiaCa aiaOcsp
or "sha256 file REFUSED" when python3-cryptography does not load the certificate.
Usage: /usr/bin/python3 cert_table.py > cert_table.txt"""
import base64
import glob
import hashlib
import ipaddress
import os
import re
import sys
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../pki"))
from pki_corpus_oracle import name_line  # noqa: E402
from asn1crypto import x509 as ax509  # noqa: E402
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import dsa, ec, rsa  # noqa: E402
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat  # noqa: E402

VECTORS = "/usr/lib/python3/dist-packages/cryptography_vectors/x509"
ROOTS = "/etc/ssl/certs/ca-certificates.crt"
PEM = rb"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----"


def corpus():
    """(name, DER) of every certificate the corpus files hold, in the order the test walks them."""
    paths = sorted(glob.glob(VECTORS + "/*.pem") + glob.glob(VECTORS + "/*.der") + glob.glob(VECTORS + "/custom/*") +
                   glob.glob(VECTORS + "/ed25519/*") + glob.glob(VECTORS + "/ed448/*") +
                   glob.glob(VECTORS + "/PKITS_data/certs/*.crt")) + [ROOTS]
    for path in filter(os.path.isfile, paths):
        data = open(path, "rb").read()
        name = os.path.relpath(path, VECTORS) if path.startswith(VECTORS) else "roots"
        blocks = [data] if data[:1] == b"\x30" else [base64.b64decode(b) for b in re.findall(PEM, data, re.S)]
        for der in blocks:
            yield name, der


def text(value):
    return value.hex() if value else "-"


def guarded(read):
    try:
        return read()
    except Exception:
        return "?"


def hexnum(value):
    return "%X" % value


def key_numbers(cert):
    key = cert.public_key()
    if isinstance(key, rsa.RSAPublicKey):
        n = key.public_numbers()
        return "RSA %s %s" % (hexnum(n.n), hexnum(n.e))
    if isinstance(key, dsa.DSAPublicKey):
        n = key.public_numbers()
        p = n.parameter_numbers
        return "DSA %s %s %s %s" % (hexnum(p.p), hexnum(p.q), hexnum(p.g), hexnum(n.y))
    if isinstance(key, ec.EllipticCurvePublicKey):
        n = key.public_numbers()
        return "EC %s %s" % (hexnum(n.x), hexnum(n.y))
    raw = key.public_bytes(Encoding.Raw, PublicFormat.Raw)
    return "RAW %s" % hexnum(int.from_bytes(raw, "big"))


def serial_hex(serial):
    size = (serial.bit_length() + 8) // 8 if serial >= 0 else (serial.bit_length() + 8) // 8
    content = serial.to_bytes(max(size, 1), "big", signed=True)
    return (content[1:] if content[:1] == b"\x00" and len(content) > 1 else content).hex() or "-"


def extension(cert, kind):
    try:
        return cert.extensions.get_extension_for_class(kind).value
    except x509.ExtensionNotFound:
        return None


def tlvs(data):
    """The (tag, content) pairs of DER elements kept one after another (definite lengths only)."""
    items, pos = [], 0
    while pos < len(data):
        tag, length, pos = data[pos], data[pos + 1], pos + 2
        if length & 0x80:
            count = length & 0x7F
            length, pos = int.from_bytes(data[pos:pos + count], "big"), pos + count
        items.append((tag, data[pos:pos + length]))
        pos += length
    return items


def san_text(cert, parsed):
    """The prefixed text of the subject alternative names, read from asn1crypto's raw contents."""
    values = [e["extn_value"].parsed for e in parsed["tbs_certificate"]["extensions"] if e["extn_id"].dotted == "2.5.29.17"]
    if not values:
        return b""
    names = values[0]
    # python3-cryptography gives the directory names; it refuses a list holding x400Address or ediPartyName.
    def read_directory_names():
        yield from (n.value for n in extension(cert, x509.SubjectAlternativeName) if isinstance(n, x509.DirectoryName))
    directory_names = read_directory_names()
    parts = []
    for name in names:
        kind, raw = name.name, name.chosen
        if kind in ("rfc822_name", "dns_name", "uniform_resource_identifier"):
            parts.append({"rfc822_name": b"email:", "dns_name": b"dns:"}.get(kind, b"uri:") + raw.contents)
        elif kind == "ip_address":
            content = raw.contents
            shown = ("%d.%d.%d.%d" % tuple(content)).encode() if len(content) == 4 else (
                str(ipaddress.IPv6Address(content)).encode() if len(content) == 16 else content.hex().encode())
            parts.append(b"ip:" + shown)
        elif kind == "registered_id":
            parts.append(b"rid:" + raw.dotted.encode())
        elif kind == "directory_name":
            line = name_line(next(directory_names), raw).split()[0]
            parts.append(b"dirname:" + (b"" if line == "-" else bytes.fromhex(line)))
        elif kind == "other_name":
            value = tlvs(tlvs(name.contents)[1][1])
            parts.append(value[0][1] if value else b"")
        else:
            parts.append(b"")
    return b",".join(parts)


def key_usage(cert):
    ku = extension(cert, x509.KeyUsage)
    if ku is None:
        return "0"
    bits = [ku.digital_signature, ku.content_commitment, ku.key_encipherment, ku.data_encipherment,
            ku.key_agreement, ku.key_cert_sign, ku.crl_sign, ku._encipher_only]
    value = sum(0x80 >> i for i, bit in enumerate(bits) if bit) | (0x8000 if ku._decipher_only else 0)
    return "%X" % value


def name_content(name):
    if isinstance(name, (x509.UniformResourceIdentifier, x509.DNSName, x509.RFC822Name)):
        return name.value.encode()
    if isinstance(name, x509.DirectoryName):
        return name.value.public_bytes()
    if isinstance(name, x509.IPAddress):
        return name.value.packed
    raise ValueError("a name whose content the library does not give")


def cdp_text(cert):
    points = extension(cert, x509.CRLDistributionPoints)
    return b", ".join(name_content(n) for p in points or [] for n in p.full_name or [])


def aia(cert, method):
    access = extension(cert, x509.AuthorityInformationAccess)
    for description in access or []:
        location = getattr(description.access_location, "value", "")
        if description.access_method.dotted_string == method and isinstance(location, str) and \
                location.startswith(("http://", "https://")):
            return location.encode()
    return b""


def line(name, der):
    digest = hashlib.sha256(der).hexdigest()
    try:
        cert = x509.load_der_x509_certificate(der)
        parsed = ax509.Certificate.load(der)
        version = cert.version.value
    except Exception:
        return "%s %s REFUSED" % (digest, name)
    tbs = parsed["tbs_certificate"]
    fields = [
        str(version),
        guarded(lambda: serial_hex(cert.serial_number)),
        guarded(lambda: name_line(cert.issuer, tbs["issuer"]).split()[0]),
        guarded(lambda: name_line(cert.subject, tbs["subject"]).split()[0]),
        guarded(lambda: cert.not_valid_before.strftime("%Y%m%d%H%M%S")),
        guarded(lambda: cert.not_valid_after.strftime("%Y%m%d%H%M%S")),
        guarded(lambda: hashlib.sha256(key_numbers(cert).encode()).hexdigest()),
        guarded(lambda: text(san_text(cert, parsed))),
        guarded(lambda: key_usage(cert)),
        guarded(lambda: text(", ".join(u.dotted_string for u in extension(cert, x509.ExtendedKeyUsage) or []).encode())),
        guarded(lambda: text(cdp_text(cert))),
        guarded(lambda: text(aia(cert, "1.3.6.1.5.5.7.48.2"))),
        guarded(lambda: text(aia(cert, "1.3.6.1.5.5.7.48.1"))),
    ]
    return "%s %s %s" % (digest, name, " ".join(fields))


def main():
    warnings.simplefilter("ignore")
    print("# /usr/bin/python3 tests/data/pki/cert_table.py > tests/data/pki/cert_table.txt")
    seen = set()
    for name, der in corpus():
        digest = hashlib.sha256(der).hexdigest()
        if digest not in seen:
            seen.add(digest)
            print(line(name, der))


if __name__ == "__main__":
    main()
