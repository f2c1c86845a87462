# Reference numbers of private keys and PKCS #12 containers, printed by Debian's python3-cryptography.
#   key FILE [PASSWORD]   one line: the key's kind and numbers (hex), PEM or DER, encrypted or not
#   p12 PASSWORD FILE...  per file "file|FILE", "key|..." (or "key|none") and "cert|DER hex" per certificate,
#                         main one first, or "error|..." when python does not read it; PASSWORD "-" is none
import sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed448, ed25519, rsa, x448, x25519
from cryptography.hazmat.primitives.serialization import pkcs12


def h(n):
    return format(n, "x")


def raw(key):
    return key.private_bytes(serialization.Encoding.Raw, serialization.PrivateFormat.Raw,
                             serialization.NoEncryption()).hex()


def line(key):
    if isinstance(key, rsa.RSAPrivateKey):
        n = key.private_numbers()
        p = n.public_numbers
        return "rsa|" + "|".join(h(v) for v in (p.n, p.e, n.d, n.p, n.q, n.dmp1, n.dmq1, n.iqmp))
    if isinstance(key, dsa.DSAPrivateKey):
        n = key.private_numbers()
        p = n.public_numbers
        q = p.parameter_numbers
        return "dsa|" + "|".join(h(v) for v in (q.p, q.q, q.g, p.y, n.x))
    if isinstance(key, ec.EllipticCurvePrivateKey):
        n = key.private_numbers()
        return "ec|%s|%s|%s|%s" % (key.curve.name, h(n.private_value), h(n.public_numbers.x), h(n.public_numbers.y))
    for kind, cls in (("ed25519", ed25519.Ed25519PrivateKey), ("ed448", ed448.Ed448PrivateKey),
                      ("x25519", x25519.X25519PrivateKey), ("x448", x448.X448PrivateKey)):
        if isinstance(key, cls):
            pub = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
            return "%s|%s|%s" % (kind, raw(key), pub.hex())
    return "unknown"


def main():
    if sys.argv[1] == "key":
        data = open(sys.argv[2], "rb").read()
        password = sys.argv[3].encode() if len(sys.argv) > 3 else None
        loader = serialization.load_pem_private_key if b"-----BEGIN" in data else serialization.load_der_private_key
        print(line(loader(data, password)))
        return
    password = None if sys.argv[2] == "-" else sys.argv[2].encode()
    for path in sys.argv[3:]:
        print("file|" + path)
        try:
            key, cert, more = pkcs12.load_key_and_certificates(open(path, "rb").read(), password)
        except ValueError as error:
            print("error|%s" % error)
            continue
        print("key|none" if key is None else "key|" + line(key))
        for c in ([cert] if cert is not None else []) + list(more):
            print("cert|" + c.public_bytes(serialization.Encoding.DER).hex())


main()
