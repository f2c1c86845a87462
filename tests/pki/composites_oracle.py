"""The reference side of the composite and PKCS #12 password tests, run with Debian's python3.
extended FILE: for each "label hex" line, the ExtendedCertificate as asn1crypto reads it, one line:
  label|version|certificate|type=values;...|signature OID|parameters|signature  (hex upper case, "-" empty)
pfx FILE: the MAC of a PKCS #12 file: digest name|iterations|salt|MAC|authenticated safe content
bmp FILE: for each hex line, the password's BMPString as the other PKCS #12 software forms it: UTF-16BE
  of text that is UTF-8 holding a byte of 0x80 or more, else each byte widened; then 0000 ("" when empty)"""
import sys

from asn1crypto import algos, cms, core, pkcs12, x509


# PKCS #6 declares the attributes a SET OF Attribute; asn1crypto's ExtendedCertificateInfo has a SEQUENCE
# OF, so its classes are used with that one field corrected.
class AttributeSet(core.SetOf):
    _child_spec = x509.Attribute


class ExtendedCertificateInfo(cms.ExtendedCertificateInfo):
    _fields = [("version", core.Integer), ("certificate", x509.Certificate), ("attributes", AttributeSet)]


class ExtendedCertificate(cms.ExtendedCertificate):
    _fields = [("extended_certificate_info", ExtendedCertificateInfo),
               ("signature_algorithm", algos.SignedDigestAlgorithm), ("signature", core.OctetBitString)]


def hexof(data):
    return data.hex().upper() if data else "-"


mode, path = sys.argv[1], sys.argv[2]
if mode == "extended":
    for line in open(path):
        if line.startswith("#"):
            continue
        label, der = line.split()
        value = ExtendedCertificate.load(bytes.fromhex(der))
        info, algorithm = value["extended_certificate_info"], value["signature_algorithm"]
        attributes = ";".join(a["type"].dotted + "=" + hexof(a["values"].dump()) for a in info["attributes"])
        parameters = algorithm["parameters"]
        print("|".join([label, str(info["version"].native), hexof(info["certificate"].dump()), attributes or "-",
                        algorithm["algorithm"].dotted, hexof(parameters.dump() if parameters.native is not None
                                                             or parameters.contents is not None else b""),
                        hexof(value["signature"].native)]))
elif mode == "pfx":
    pfx = pkcs12.Pfx.load(open(path, "rb").read())
    mac = pfx["mac_data"]
    print("|".join([mac["mac"]["digest_algorithm"]["algorithm"].native.upper(), str(mac["iterations"].native), hexof(mac["mac_salt"].native), hexof(mac["mac"]["digest"].native),
                    hexof(pfx["auth_safe"]["content"].native)]))
elif mode == "bmp":
    for line in open(path):
        password = bytes.fromhex(line.strip())
        try:
            text = password.decode("utf-8") if any(b >= 0x80 for b in password) else None
        except UnicodeDecodeError:
            text = None
        wide = text.encode("utf-16-be") if text is not None else b"".join(b"\0" + bytes([b]) for b in password)
        print(hexof(wide + b"\0\0" if password else b""))
