#!/usr/bin/python3
# Writes tests/data/crypto/pubkey/schnorr448_model.txt: key records and signatures of the Schnorr scheme
# over the Ed448 group, computed by a plain integer model (affine points, Python integers, hashlib's
# SHA-512) that shares nothing with the library. The model also checks that every signature verifies with
# the one-element decoding under either square root of -39082. Run once; the output is committed.
import hashlib
import sys

P = 2**448 - 2**224 - 1
L = 2**446 - 13818066809895115352007386748515426880336692474882178609894547503885
D = -39081 % P       # edwards448: x^2 + y^2 = 1 + D x^2 y^2
DT = -39082 % P      # its twist: -x^2 + y^2 = 1 + DT x^2 y^2


def inv(a):
    return pow(a, P - 2, P)


def inv_sqrt(a):
    return pow(a, (P - 3) // 4, P)


def ed_add(p, q):
    (x1, y1), (x2, y2) = p, q
    t = D * x1 * x2 * y1 * y2 % P
    return ((x1 * y2 + y1 * x2) * inv(1 + t) % P, (y1 * y2 - x1 * x2) * inv(1 - t) % P)


def tw_add(p, q):
    (x1, y1), (x2, y2) = p, q
    t = DT * x1 * x2 * y1 * y2 % P
    return ((x1 * y2 + y1 * x2) * inv(1 + t) % P, (y1 * y2 + x1 * x2) * inv(1 - t) % P)


def mul(add, k, p):
    acc = (0, 1)
    while k:
        if k & 1:
            acc = add(acc, p)
        p = add(p, p)
        k >>= 1
    return acc


def sqrt(a):
    r = pow(a, (P + 1) // 4, P)
    return r if r * r % P == a % P else None


def base_point():
    # B is the point of prime order L with even x whose 4-isogeny image is u = y^2/x^2 = 5 (RFC 7748
    # section 4.2): with y^2 = 5 x^2 the curve equation gives 5 D x^4 - 6 x^2 + 1 = 0.
    found = set()
    disc = sqrt((36 - 20 * D) % P)
    for root in (disc, -disc % P):
        x2 = (6 + root) * inv(10 * D % P) % P
        x = sqrt(x2)
        if x is None:
            continue
        y = sqrt(5 * x2 % P)
        for sx in (x, P - x):
            for sy in (y, P - y):
                if sx % 2 == 0 and mul(ed_add, L, (sx, sy)) == (0, 1):
                    found.add((sx, sy))
    assert len(found) == 1
    return found.pop()


def twist(p):
    # E to E' as the group code does it, for Z = 1.
    x, y = p
    m = (1 - y) * (1 - x) * y % P
    n = m * m * (1 - x * x) % P
    s = m * inv_sqrt(n) % P
    q = (x * s % P, y * s % P)
    assert (-q[0] ** 2 + q[1] ** 2 - 1 - DT * q[0] ** 2 * q[1] ** 2) % P == 0
    return q


def to_field(p):
    x, y = p
    u = (x * x + y * y) % P
    g = 39082 * 78164 * u % P
    h = -78164 * u % P
    return g * inv_sqrt(g * h % P) * x * y % P


def from_field(c, s):
    z = s * s % P
    n = -39082 * (1 + z) ** 2 % P
    m = (4 * z + n) % P
    e = c * (1 - z * z) % P
    q1 = e * m % P
    t = e * q1 * m % P
    q3 = t * q1 % P
    r = inv_sqrt(e * q3 % P)
    v = t * r % P
    k = q3 * r * r % P
    point = (2 * s * (1 - z) * k % P, (1 + z) * k * v % P)
    return point if e * k % P == 1 else None


def h512(*parts):
    return int.from_bytes(hashlib.sha512(b"".join(parts)).digest(), "little") % L


def le(n):
    return n.to_bytes(56, "little")


def keypair(base, seed):
    x = h512(b"derivepk", seed)
    return le(x) + le(to_field(mul(tw_add, x, base))) + seed


def sign(base, record, message):
    x, a, seed = int.from_bytes(record[:56], "little"), record[56:112], record[112:]
    r = h512(b"signonce", seed, message, seed)
    big_r = le(to_field(mul(tw_add, 2 * r, base)))
    c = h512(a, big_r, message)
    return big_r + le(2 * (r - c * x) % L)


def verify(base, c_root, public, message, signature):
    a, rho, s = (int.from_bytes(b, "little") for b in (public, signature[:56], signature[56:112]))
    if a >= P or rho >= P or s >= L:
        return False
    c = h512(public, signature[:56], message)
    point = from_field(c_root, a)
    if point is None:
        return False
    return to_field(tw_add(mul(tw_add, c, point), mul(tw_add, s, base))) == rho


def main(out_path):
    base = twist(base_point())
    c_root = sqrt(-39082 % P)
    cases = [
        (bytes(range(32)), b""),
        (hashlib.sha256(b"second seed").digest(), b"abc"),
        (b"\xff" * 32, bytes(i * 7 % 256 for i in range(300))),
    ]
    lines = ["# Schnorr over the Ed448 group: key records and signatures from an integer model of the scheme",
             "# (scripts/gen_schnorr448_vectors.py, Python integers and hashlib SHA-512 only).", ""]
    for seed, message in cases:
        record = keypair(base, seed)
        signature = sign(base, record, message)
        for root in (c_root, P - c_root):
            assert verify(base, root, record[56:112], message, signature)
        assert not verify(base, c_root, record[56:112], message + b"x", signature)
        lines += [f"Seed = {seed.hex()}", f"Record = {record.hex()}", f"Message = {message.hex()}",
                  f"Signature = {signature.hex()}", ""]
    with open(out_path, "w") as f:
        f.write("\n".join(lines).rstrip("\n") + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/crypto/pubkey/schnorr448_model.txt")
