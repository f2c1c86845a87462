# Makes the altered PKCS #8 keys and PKCS #12 containers next to this script with asn1crypto. Inputs,
# made once with openssl 3.0 (password "x"):
#   openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=leaf -keyout k.pem -out c.pem
#   pfx_default.p12:       openssl pkcs12 -export -passout pass:x -inkey k.pem -in c.pem
#   pfx_default_nomac.p12: the same with -nomac
#   pfx_pbe_nomac.p12:     the same with -nomac -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES
# and the vectors' asymmetric/PKCS8/unenc-rsa-pkcs8.pem. Run: /usr/bin/python3 pkcs_inputs.py
import os
from asn1crypto import core, keys, pem, pkcs12
from cryptography.hazmat.primitives.asymmetric import ed25519
from cryptography.hazmat.primitives.serialization import Encoding, NoEncryption, PrivateFormat, PublicFormat

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = "/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric/PKCS8/"


def read(name):
    return open(os.path.join(HERE, name), "rb").read()


def write(name, data):
    open(os.path.join(HERE, name), "wb").write(data)


def safe_contents(pfx):
    """The AuthenticatedSafe's content infos."""
    return pkcs12.AuthenticatedSafe.load(pfx["auth_safe"]["content"].native)


def redump(pfx, auth):
    pfx["auth_safe"]["content"] = core.OctetString(auth.dump(force=True))
    return pfx.dump(force=True)


def key_bag_input(name):
    """The container and the plain content info holding its shrouded key bag."""
    pfx = pkcs12.Pfx.load(read(name))
    auth = safe_contents(pfx)
    for info in auth:
        if info["content_type"].native == "data" and b"\x0c\x0a\x01\x02" in info["content"].native:
            return pfx, auth, info
    raise SystemExit("no data content info")


def change_key_bag(name, change):
    pfx, auth, info = key_bag_input(name)
    bags = pkcs12.SafeContents.load(info["content"].native)
    change(bags[0]["bag_value"]["encryption_algorithm"])
    info["content"] = core.OctetString(bags.dump(force=True))
    return redump(pfx, auth)


# Wrong CRT values in a PKCS #8 RSA key.
_, _, der = pem.unarmor(open(VECTORS + "unenc-rsa-pkcs8.pem", "rb").read())
info = keys.PrivateKeyInfo.load(der)
rsa = info["private_key"].parsed
for field in ("exponent1", "exponent2", "coefficient"):
    rsa[field] = rsa[field].native + 2
info["private_key"] = keys.RSAPrivateKey.load(rsa.dump(force=True))
write("pkcs8_wrong_crt.der", info.dump(force=True))

# An Ed25519 key of version 0 (python writes it), and of version 1 with its public key as RFC 5958's BIT STRING and as the raw octets.
seed = bytes(range(32))
public = ed25519.Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
write("pkcs8_ed25519_v0.der", ed25519.Ed25519PrivateKey.from_private_bytes(seed).private_bytes(
    Encoding.DER, PrivateFormat.PKCS8, NoEncryption()))
for name, value in (("pkcs8_ed25519_v1_bits.der", b"\x00" + public), ("pkcs8_ed25519_v1_raw.der", public)):
    body = (core.Integer(1).dump() + keys.PrivateKeyAlgorithm({"algorithm": "ed25519"}).dump() +
            core.OctetString(core.OctetString(seed).dump()).dump() +
            core.OctetString(value, implicit=1).dump())
    write(name, core.Sequence.load(b"\x30" + bytes([len(body)]) + body).dump())


# A shrouded key bag under a PBE OID outside the tables.
def unknown_oid(algorithm):
    algorithm["algorithm"] = "1.2.840.113549.1.12.1.99"


write("pfx_unknown_pbe.p12", change_key_bag("pfx_pbe_nomac.p12", unknown_oid))


# Iteration counts one past the limit in PBE, PBES2 and MacData.
def pbe_count(algorithm):
    algorithm["parameters"]["iterations"] = 10000001


def pbes2_count(algorithm):
    algorithm["parameters"]["key_derivation_func"]["parameters"]["iteration_count"] = 10000001


write("pfx_count_pbe.p12", change_key_bag("pfx_pbe_nomac.p12", pbe_count))
write("pfx_count_pbes2.p12", change_key_bag("pfx_default_nomac.p12", pbes2_count))
pfx = pkcs12.Pfx.load(read("pfx_default.p12"))
pfx["mac_data"]["iterations"] = 10000001
write("pfx_count_mac.p12", pfx.dump(force=True))

# An envelopedData content info in the AuthenticatedSafe.
pfx, auth, info = key_bag_input("pfx_default_nomac.p12")
info["content_type"] = "enveloped_data"
write("pfx_enveloped.p12", redump(pfx, auth))


# The BER form: indefinite lengths on every constructed element, and the OCTET STRINGs of the data
# content infos (the AuthenticatedSafe and each SafeContents) in 64-byte segments. Bag values stay DER.
DATA_OID = bytes.fromhex("06092a864886f70d010701")


def header(tag, length):
    if length < 0x80:
        return bytes([tag, length])
    size = (length.bit_length() + 7) // 8
    return bytes([tag, 0x80 | size]) + length.to_bytes(size, "big")


def ber(data, data_content):
    out = b""
    pos = 0
    previous = b""
    while pos < len(data):
        tag = data[pos]
        first = data[pos + 1]
        start = pos + 2
        if first & 0x80:
            n = first & 0x7F
            length = int.from_bytes(data[start:start + n], "big")
            start += n
        else:
            length = first
        content = data[start:start + length]
        element = data[pos:start + length]
        pos = start + length
        if tag == 0x04 and data_content:
            inner = ber(content, False)
            out += b"\x24\x80" + b"".join(header(4, len(inner[i:i + 64])) + inner[i:i + 64]
                                          for i in range(0, len(inner), 64)) + b"\x00\x00"
        elif tag & 0x20:
            out += bytes([tag, 0x80]) + ber(content, tag == 0xA0 and previous == DATA_OID) + b"\x00\x00"
        else:
            out += element
        previous = element
    return out


write("pfx_ber.p12", ber(read("pfx_default_nomac.p12"), False))
