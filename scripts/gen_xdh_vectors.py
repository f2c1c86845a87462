#!/usr/bin/python3
# Writes tests/data/crypto/pubkey/x25519_x448_rfc7748.txt: the RFC 7748 section 5.2 single-call vectors
# (read from Debian python3-cryptography-vectors), the iterated vectors after 1 and 1,000 iterations and
# the section 6 Diffie-Hellman examples, each computed with python3-cryptography (OpenSSL) from the RFC's
# inputs. Run once with /usr/bin/python3; the output is committed.
import os
import sys

from cryptography.hazmat.primitives.asymmetric import x25519, x448

VECTORS = "/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric"
# RFC 7748 section 6.1 and 6.2: the private keys of Alice and Bob.
DH_KEYS = {
    "X25519": ("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
               "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"),
    "X448": ("9a8f4925d1519f5775cf46b04b5800d4ee9ee8bae8bc5565d498c28dd9c9baf574a9419744897391006382a6f127ab1d9ac2d8c0a598726b",
             "1c306a7ac2a0e2e0990b294470cba339e6453772b075811d8fad0d1d6927c120bb5ee8972b0d3e21374c9c921b09d1b0366f10b65173992d"),
}
CURVES = {"X25519": (x25519, 32, 9), "X448": (x448, 56, 5)}


def xdh(curve, k, u):
    module, _, _ = CURVES[curve]
    priv_cls = module.X25519PrivateKey if curve == "X25519" else module.X448PrivateKey
    pub_cls = module.X25519PublicKey if curve == "X25519" else module.X448PublicKey
    return priv_cls.from_private_bytes(k).exchange(pub_cls.from_public_bytes(u))


def single_vectors(curve):
    entries, current = [], {}
    with open(os.path.join(VECTORS, curve, "rfc7748.txt")) as f:
        for line in f:
            if "=" not in line:
                continue
            key, value = (s.strip() for s in line.split("=", 1))
            current[key] = value
            if key == "OUTPUT_U":
                entries.append(current)
                current = {}
    return [e for e in entries if e["INPUT_SCALAR"] != e["INPUT_U"]]


def main(out_path):
    lines = ["# RFC 7748 vectors. Scalar/U/Output: section 5.2 single calls from Debian python3-cryptography-vectors",
             "# (asymmetric/X25519|X448/rfc7748.txt); section 6 Diffie-Hellman examples (public keys and the",
             "# shared secret from the RFC's private keys). Iterations: section 5.2, k = u = base point, then k, u =",
             "# X(k, u), k. Outputs computed by python3-cryptography (OpenSSL) with scripts/gen_xdh_vectors.py.", ""]
    for curve, (module, size, base_byte) in CURVES.items():
        base = bytes([base_byte]) + bytes(size - 1)
        for e in single_vectors(curve):
            out = xdh(curve, bytes.fromhex(e["INPUT_SCALAR"]), bytes.fromhex(e["INPUT_U"]))
            assert out.hex() == e["OUTPUT_U"]
            lines += [f"Curve = {curve}", f"Scalar = {e['INPUT_SCALAR']}", f"U = {e['INPUT_U']}",
                      f"Output = {e['OUTPUT_U']}", ""]
        k = u = base
        for i in range(1, 1001):
            k, u = xdh(curve, k, u), k
            if i in (1, 1000):
                lines += [f"Curve = {curve}", f"Iterations = {i}", f"Output = {k.hex()}", ""]
        alice, bob = (bytes.fromhex(h) for h in DH_KEYS[curve])
        alice_pub, bob_pub = xdh(curve, alice, base), xdh(curve, bob, base)
        shared = xdh(curve, alice, bob_pub)
        assert shared == xdh(curve, bob, alice_pub)
        for k, u, out in ((alice, base, alice_pub), (bob, base, bob_pub), (alice, bob_pub, shared),
                          (bob, alice_pub, shared)):
            lines += [f"Curve = {curve}", f"Scalar = {k.hex()}", f"U = {u.hex()}", f"Output = {out.hex()}", ""]
    with open(out_path, "w") as f:
        f.write("\n".join(lines).rstrip("\n") + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/crypto/pubkey/x25519_x448_rfc7748.txt")
