"""Reference answers for the private key file tests, from Debian's python3 (cryptography, bcrypt). Each
mode prints one record a line, fields separated by "|", numbers as minimal upper-case hex."""
import sys

import bcrypt
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed25519, rsa


def num(value):
    return value.to_bytes((value.bit_length() + 7) // 8 or 1, "big").hex().upper()


def private(password, paths):
    for path in paths:
        key = serialization.load_ssh_private_key(open(path, "rb").read(), password.encode() or None)
        if isinstance(key, rsa.RSAPrivateKey):
            n = key.private_numbers()
            fields = ["1", num(n.public_numbers.n), num(n.public_numbers.e), num(n.d), num(n.p), num(n.q)]
        elif isinstance(key, dsa.DSAPrivateKey):
            n = key.private_numbers()
            p = n.public_numbers.parameter_numbers
            fields = ["2", num(p.p), num(p.q), num(p.g), num(n.public_numbers.y), num(n.x)]
        elif isinstance(key, ec.EllipticCurvePrivateKey):
            n = key.private_numbers()
            fields = ["3", key.curve.name, num(n.public_numbers.x), num(n.public_numbers.y), num(n.private_value)]
        else:
            raw = serialization.Encoding.Raw
            fields = ["4", key.public_key().public_bytes(raw, serialization.PublicFormat.Raw).hex().upper(),
                      key.private_bytes(raw, serialization.PrivateFormat.Raw, serialization.NoEncryption()).hex().upper()]
        print("|".join([path] + fields))


def kdf(password, salt, rounds, lengths):
    for length in lengths:
        print(bcrypt.kdf(password.encode(), bytes.fromhex(salt), int(length), int(rounds), True).hex().upper())


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    {"private": lambda: private(args[0], args[1:]), "kdf": lambda: kdf(args[0], args[1], args[2], args[3:])}[mode]()
