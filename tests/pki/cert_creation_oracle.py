# Reads certificates and requests made by the creation tests and checks their signatures, with whichever
# python3-cryptography runs it.
#   cert ISSUER_PEM CERT_PEM   "sigoid|subject|issuer|not_before|not_after|san names|verified"
#   csr DER_FILE               "sigoid|subject|challenge password|san names|signature valid"
import sys
from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import dsa, ec, padding, rsa
from cryptography.x509.oid import AttributeOID, ExtensionOID


def san(extensions):
    try:
        names = extensions.get_extension_for_oid(ExtensionOID.SUBJECT_ALTERNATIVE_NAME).value
    except x509.ExtensionNotFound:
        return ""
    return ",".join(str(n.value) for n in names)


def verify(key, signature, data, hash_algorithm):
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PKCS1v15(), hash_algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(hash_algorithm))
        elif isinstance(key, dsa.DSAPublicKey):
            key.verify(signature, data, hash_algorithm)
        else:
            key.verify(signature, data)
        return "yes"
    except Exception:
        return "no"


def window(cert):
    before = getattr(cert, "not_valid_before_utc", None) or cert.not_valid_before
    after = getattr(cert, "not_valid_after_utc", None) or cert.not_valid_after
    return before.strftime("%Y%m%d%H%M%S"), after.strftime("%Y%m%d%H%M%S")


def main():
    if sys.argv[1] == "cert":
        issuer = x509.load_pem_x509_certificate(open(sys.argv[2], "rb").read())
        cert = x509.load_pem_x509_certificate(open(sys.argv[3], "rb").read())
        ok = verify(issuer.public_key(), cert.signature, cert.tbs_certificate_bytes, cert.signature_hash_algorithm)
        print("|".join([cert.signature_algorithm_oid.dotted_string, cert.subject.rfc4514_string(),
                        cert.issuer.rfc4514_string(), *window(cert), san(cert.extensions), ok]))
        return
    csr = x509.load_der_x509_csr(open(sys.argv[2], "rb").read())
    try:
        challenge = csr.attributes.get_attribute_for_oid(AttributeOID.CHALLENGE_PASSWORD).value.decode()
    except Exception:
        challenge = csr.get_attribute_for_oid(AttributeOID.CHALLENGE_PASSWORD).decode()
    print("|".join([csr.signature_algorithm_oid.dotted_string, csr.subject.rfc4514_string(), challenge,
                    san(csr.extensions), "yes" if csr.is_signature_valid else "no"]))


main()
