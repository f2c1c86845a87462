"""Prints PKCS #6 extended certificates, one a line as "label hex-DER": asn1crypto's ExtendedCertificate
(its attributes the SET OF that PKCS #6 declares) around certificates made by openssl (RSA and P-256),
with no, one and two attributes, the signature algorithm sha256WithRSAEncryption with its NULL and
ecdsa-with-SHA256 without parameters, signed by the certificate's key.
Usage: /usr/bin/python3 extended_certs.py"""
import subprocess
import tempfile

from asn1crypto import algos, cms, core, x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding


# PKCS #6 declares the attributes a SET OF Attribute; asn1crypto's ExtendedCertificateInfo has a SEQUENCE
# OF, so its classes are used with that one field corrected.
class AttributeSet(core.SetOf):
    _child_spec = x509.Attribute


class ExtendedCertificateInfo(cms.ExtendedCertificateInfo):
    _fields = [("version", core.Integer), ("certificate", x509.Certificate), ("attributes", AttributeSet)]


class ExtendedCertificate(cms.ExtendedCertificate):
    _fields = [("extended_certificate_info", ExtendedCertificateInfo),
               ("signature_algorithm", algos.SignedDigestAlgorithm), ("signature", core.OctetBitString)]


def openssl_certificate(folder, algorithm):
    key, cert = folder + "/" + algorithm + ".key", folder + "/" + algorithm + ".der"
    subprocess.run(["openssl", "req", "-x509", "-newkey", algorithm, "-nodes", "-keyout", key, "-out", cert,
                    "-outform", "DER", "-days", "30", "-subj", "/CN=extended " + algorithm] +
                   (["-pkeyopt", "ec_paramgen_curve:P-256"] if algorithm == "ec" else
                    ["-pkeyopt", "rsa_keygen_bits:2048"]), check=True, capture_output=True)
    with open(key, "rb") as k, open(cert, "rb") as c:
        return serialization.load_pem_private_key(k.read(), None), c.read()


def attribute(oid, *values):
    return x509.Attribute({"type": oid, "values": list(values)})


ATTRIBUTES = {
    "none": [],
    "one": [attribute("1.2.840.113549.1.9.1", core.IA5String("holder@example.test"))],
    "two": [attribute("1.2.840.113549.1.9.1", core.IA5String("holder@example.test")),
            attribute("1.2.840.113549.1.9.7", core.PrintableString("secret"), core.UTF8String("second"))],
}

with tempfile.TemporaryDirectory() as folder:
    for algorithm in ("rsa", "ec"):
        key, der = openssl_certificate(folder, algorithm)
        for count, attributes in ATTRIBUTES.items():
            info = ExtendedCertificateInfo({"version": 0, "certificate": x509.Certificate.load(der),
                                                "attributes": attributes})
            if algorithm == "rsa":
                signature = key.sign(info.dump(), padding.PKCS1v15(), hashes.SHA256())
                signature_algorithm = {"algorithm": "sha256_rsa", "parameters": core.Null()}
            else:
                signature = key.sign(info.dump(), ec.ECDSA(hashes.SHA256()))
                signature_algorithm = {"algorithm": "sha256_ecdsa"}
            extended = ExtendedCertificate({"extended_certificate_info": info,
                                                "signature_algorithm": signature_algorithm,
                                                "signature": signature})
            print(algorithm + "-" + count, extended.dump().hex())
