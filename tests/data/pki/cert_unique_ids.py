"""Writes three signed certificates whose TBS holds issuerUniqueID, subjectUniqueID or both before critical
and non-critical extensions (RFC 5280 4.1), as FOLDER/issuer.der, subject.der and both.der.
Usage: /usr/bin/python3 cert_unique_ids.py FOLDER"""
import datetime
import sys

from asn1crypto import core, x509 as ax509
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.oid import NameOID

key = ec.generate_private_key(ec.SECP256R1())
name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "unique ids")])
now = datetime.datetime(2024, 1, 1)
base = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
        .serial_number(4660).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(True, False, False, False, False, True, True, False, False), critical=True)
        .add_extension(x509.SubjectAlternativeName([x509.DNSName("unique.test")]), critical=False)
        .sign(key, hashes.SHA256()))
for label, fields in (("issuer", ["issuer_unique_id"]), ("subject", ["subject_unique_id"]),
                      ("both", ["issuer_unique_id", "subject_unique_id"])):
    cert = ax509.Certificate.load(base.public_bytes(Encoding.DER))
    tbs = cert["tbs_certificate"]
    for field in fields:
        tbs[field] = core.OctetBitString(b"\xb2\x01")
    tbs_der = tbs.dump(force=True)
    signature = key.sign(tbs_der, ec.ECDSA(hashes.SHA256()))
    signed = ax509.Certificate({"tbs_certificate": ax509.TbsCertificate.load(tbs_der),
                                "signature_algorithm": cert["signature_algorithm"], "signature_value": signature})
    open("%s/%s.der" % (sys.argv[1], label), "wb").write(signed.dump(force=True))
