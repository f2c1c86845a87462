"""Reference answers for the PEM and SSH key tests, from Debian's python3 (ssl, hashlib, cryptography,
asn1crypto). Each mode prints one record a line, fields separated by "|", bytes as upper-case hex."""
import base64
import hashlib
import re
import ssl
import sys

from asn1crypto import keys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed25519, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

BLOCK = re.compile(rb"-----BEGIN ([^\r\n-]*)-----\r?\n(.*?)-----END \1-----", re.S)


def blocks(paths):
    for path in paths:
        data = open(path, "rb").read()
        for m in BLOCK.finditer(data):
            label = m.group(1).decode()
            if label == "CERTIFICATE":
                body = ssl.PEM_cert_to_DER_cert(m.group(0).decode())
            else:
                lines = [l for l in m.group(2).splitlines() if b":" not in l]
                body = base64.b64decode(b"".join(lines))
            encrypted = b"DEK-Info" in m.group(2)
            print("|".join([path, label, "E" if encrypted else "P", body.hex().upper() or "-"]))


def num(value, length=None):
    return value.to_bytes(length or (value.bit_length() + 7) // 8 or 1, "big").hex().upper()


def ssh(paths):
    for path in paths:
        key = serialization.load_ssh_public_key(open(path, "rb").read())
        if isinstance(key, rsa.RSAPublicKey):
            n = key.public_numbers()
            fields = ["1", num(n.e), num(n.n)]
        elif isinstance(key, dsa.DSAPublicKey):
            n = key.public_numbers()
            p = n.parameter_numbers
            fields = ["2", num(p.p), num(p.q), num(p.g), num(n.y)]
        elif isinstance(key, ec.EllipticCurvePublicKey):
            n = key.public_numbers()
            size = (key.curve.key_size + 7) // 8
            fields = ["3", key.curve.name, num(n.x, size), num(n.y, size)]
        else:
            fields = ["4", key.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex().upper()]
        print("|".join([path] + fields))


def pbes1(path):
    info = keys.EncryptedPrivateKeyInfo.load(open(path, "rb").read())
    params = info["encryption_algorithm"]["parameters"]
    print("|".join([params["salt"].native.hex().upper(), str(params["iterations"].native),
                    info["encrypted_data"].native.hex().upper()]))


def pbkdf2(password, salt, iterations, iv, plain):
    key = hashlib.pbkdf2_hmac("sha256", password.encode(), bytes.fromhex(salt), int(iterations), 32)
    enc = Cipher(algorithms.AES(key), modes.CBC(bytes.fromhex(iv))).encryptor()
    print((enc.update(bytes.fromhex(plain)) + enc.finalize()).hex().upper())


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    {"blocks": lambda: blocks(args), "ssh": lambda: ssh(args), "pbes1": lambda: pbes1(args[0]),
     "pbkdf2": lambda: pbkdf2(*args)}[mode]()
