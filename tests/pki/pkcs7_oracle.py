# Reads PKCS #7 files with asn1crypto and python3-cryptography for the PKCS #7 tests:
#   certs FILE    one line per certificate of a DER bundle, in the order load_der_pkcs7_certificates gives
#   signers FILE  the SignerInfo fields of a DER signed-data message, one "name=value" line each
import sys

from asn1crypto import cms
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.serialization import pkcs7


def certs(path):
    for cert in pkcs7.load_der_pkcs7_certificates(open(path, "rb").read()):
        print(cert.public_bytes(serialization.Encoding.DER).hex())


def attribute_values(attribute):
    kind = attribute["type"].dotted
    for value in attribute["values"]:
        if kind == "1.2.840.113549.1.9.3":
            yield value.dotted
        elif kind == "1.2.840.113549.1.9.4":
            yield value.native.hex()
        elif kind == "1.2.840.113549.1.9.5":
            yield value.native.strftime("%Y%m%d%H%M%S")
        else:
            yield value.dump().hex()


def signers(path):
    signed = cms.ContentInfo.load(open(path, "rb").read())["content"]
    print("version=%d" % int(signed["version"].native[1:]))
    print("content=%s" % signed["encap_content_info"]["content"].native.hex())
    for signer in signed["signer_infos"]:
        print("signer version=%d" % int(signer["version"].native[1:]))
        sid = signer["sid"]
        if sid.name == "issuer_and_serial_number":
            print("issuer der=%s" % sid.chosen["issuer"].dump().hex())
            print("serial=%x" % sid.chosen["serial_number"].native)
        else:
            print("key id=%s" % sid.chosen.native.hex())
        print("digest=%s" % signer["digest_algorithm"]["algorithm"].dotted)
        print("signature algorithm=%s" % signer["signature_algorithm"]["algorithm"].dotted)
        print("signature=%s" % signer["signature"].native.hex())
        if signer["signed_attrs"].native is not None:
            for attribute in signer["signed_attrs"]:
                for value in attribute_values(attribute):
                    print("attribute %s=%s" % (attribute["type"].dotted, value))


{"certs": certs, "signers": signers}[sys.argv[1]](sys.argv[2])
