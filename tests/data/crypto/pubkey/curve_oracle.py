# Reference parameters of the named curves, from outside this library: `openssl ecparam -name N
# -param_enc explicit -text -noout` for the SEC 2 and brainpool curves, libgcrypt's gcry_pk_get_param
# for the GOST sets, and for W-25519 and W-448 the short Weierstrass images of the RFC 7748 Montgomery
# curves (x = u + A/3, y = v, a = (3 - A^2)/3, b = (2A^3 - 9A)/27 mod p). Every curve is checked: G on
# the curve, n G the point at infinity. Used by scripts/gen_curve_table.py (which also checks n with
# `openssl prime`) and by the curve test. Run with /usr/bin/python3.
import ctypes, re, subprocess

PRIME, BINARY = 0x6001, 0x6002
# id, name, OpenSSL name (or a source tag), form, field id, cofactor
CURVES = [
    (0, "secp256r1", "prime256v1", PRIME, 0x6103, 1), (1, "secp384r1", "secp384r1", PRIME, 0x6104, 1),
    (2, "secp521r1", "secp521r1", PRIME, 0x6105, 1), (3, "W-25519", "@25519", PRIME, 0x6100, 8),
    (4, "W-448", "@448", PRIME, 0x6100, 4), (5, "secp128r1", "secp128r1", PRIME, 0x6100, 1),
    (6, "secp128r2", "secp128r2", PRIME, 0x6100, 4), (7, "secp160k1", "secp160k1", PRIME, 0x6100, 1),
    (8, "secp160r1", "secp160r1", PRIME, 0x6100, 1), (9, "secp160r2", "secp160r2", PRIME, 0x6100, 1),
    (10, "secp192k1", "secp192k1", PRIME, 0x6100, 1), (11, "secp192r1", "prime192v1", PRIME, 0x6101, 1),
    (12, "secp224k1", "secp224k1", PRIME, 0x6100, 1), (13, "secp224r1", "secp224r1", PRIME, 0x6102, 1),
    (14, "secp256k1", "secp256k1", PRIME, 0x6100, 1),
    (15, "sect113r1", "sect113r1", BINARY, 0x6100, 2), (16, "sect113r2", "sect113r2", BINARY, 0x6100, 2),
    (17, "sect131r1", "sect131r1", BINARY, 0x6100, 2), (18, "sect131r2", "sect131r2", BINARY, 0x6100, 2),
    (19, "sect163k1", "sect163k1", BINARY, 0x6106, 2), (20, "sect163r1", "sect163r1", BINARY, 0x6106, 2),
    (21, "sect163r2", "sect163r2", BINARY, 0x6106, 2), (22, "sect193r1", "sect193r1", BINARY, 0x6100, 2),
    (23, "sect193r2", "sect193r2", BINARY, 0x6100, 2), (24, "sect233k1", "sect233k1", BINARY, 0x6107, 4),
    (25, "sect233r1", "sect233r1", BINARY, 0x6107, 2), (26, "sect239k1", "sect239k1", BINARY, 0x6100, 4),
    (27, "sect283k1", "sect283k1", BINARY, 0x6108, 4), (28, "sect283r1", "sect283r1", BINARY, 0x6108, 2),
    (29, "sect409k1", "sect409k1", BINARY, 0x6109, 4), (30, "sect409r1", "sect409r1", BINARY, 0x6109, 2),
    (31, "sect571k1", "sect571k1", BINARY, 0x610A, 4), (32, "sect571r1", "sect571r1", BINARY, 0x610A, 2),
    (58, "GOST2001-test", "#GOST2001-test", PRIME, 0x6100, 1),
    (59, "GOST2001-CryptoPro-A", "#GOST2001-CryptoPro-A", PRIME, 0x6100, 1),
    (60, "GOST2001-CryptoPro-B", "#GOST2001-CryptoPro-B", PRIME, 0x6100, 1),
    (61, "GOST2001-CryptoPro-C", "#GOST2001-CryptoPro-C", PRIME, 0x6100, 1),
    (62, "GOST2001-CryptoPro-XchA", "#GOST2001-CryptoPro-XchA", PRIME, 0x6100, 1),
    (63, "GOST2001-CryptoPro-XchB", "#GOST2001-CryptoPro-XchB", PRIME, 0x6100, 1),
] + [(64 + 2 * i + t, "brainpoolP%d%s1" % (b, "rt"[t]), "brainpoolP%d%s1" % (b, "rt"[t]), PRIME, 0x6100, 1)
     for i, b in enumerate([160, 192, 224, 256, 320, 384, 512]) for t in (0, 1)] + [
    (78, "secp112r1", "secp112r1", PRIME, 0x6100, 1), (79, "secp112r2", "secp112r2", PRIME, 0x6100, 4),
]


def _openssl(name):
    text = subprocess.run(["openssl", "ecparam", "-name", name, "-param_enc", "explicit", "-text", "-noout"],
                          check=True, capture_output=True, text=True).stdout
    fields, key = {}, None
    for line in text.splitlines():
        m = re.match(r"^([A-Za-z][^:]*):\s*(.*)$", line)
        if m:
            key = m.group(1)
            fields[key] = m.group(2).strip()
        elif key is not None:
            fields[key] += line.strip()
    def hexof(k):  # small values print on the label's line as "7 (0x7)" or "0"
        m = re.match(r"^\d+ \(0x([0-9a-f]+)\)$", fields[k])
        value = m.group(1) if m else fields[k].replace(":", "")
        return value if len(value) % 2 == 0 else "0" + value
    field = bytes.fromhex(hexof("Prime") if "Prime" in fields else hexof("Polynomial"))
    return {"p": int.from_bytes(field, "big"), "a": int(hexof("A"), 16), "b": int(hexof("B"), 16),
            "g": bytes.fromhex(hexof("Generator (uncompressed)")), "n": int(hexof("Order"), 16),
            "h": int(fields["Cofactor"].split()[0]), "seed": bytes.fromhex(hexof("Seed")) if "Seed" in fields else b""}


def _gcrypt(name):
    lib = ctypes.CDLL("libgcrypt.so.20")
    lib.gcry_check_version.restype = ctypes.c_char_p
    lib.gcry_check_version(None)
    lib.gcry_pk_get_param.restype = ctypes.c_void_p
    sexp = lib.gcry_pk_get_param(18, name.encode())  # GCRY_PK_ECC
    buffer = ctypes.create_string_buffer(16384)
    lib.gcry_sexp_sprint(ctypes.c_void_p(sexp), 3, buffer, len(buffer))  # GCRYSEXP_FMT_ADVANCED
    text = buffer.value.decode()
    value = lambda k: re.search(r"\(%s #([0-9A-F]+)#\)" % k, text).group(1)
    return {"p": int(value("p"), 16), "a": int(value("a"), 16), "b": int(value("b"), 16),
            "g": bytes.fromhex(value("g")), "n": int(value("n"), 16),
            "h": int(re.search(r'\(h "(\d+)"\)', text).group(1)), "seed": b""}


def _weierstrass(which):
    # RFC 7748 section 4: p, A, the base point's u, and v as the square root of u^3 + A u^2 + u whose
    # parity is that of the v printed there (odd for Curve25519, even for Curve448). The subgroup orders
    # are those of RFC 7748 / RFC 8032.
    if which == "@25519":
        p, A, u, odd = 2**255 - 19, 486662, 9, 1
        n = 2**252 + 27742317777372353535851937790883648493
    else:
        p, A, u, odd = 2**448 - 2**224 - 1, 156326, 5, 0
        n = 2**446 - 13818066809895115352007386748515426880336692474882178609894547503885
    rhs = (u**3 + A * u * u + u) % p
    if p % 4 == 3:
        v = pow(rhs, (p + 1) // 4, p)
    else:  # p = 5 mod 8
        v = pow(rhs, (p + 3) // 8, p)
        if v * v % p != rhs:
            v = v * pow(2, (p - 1) // 4, p) % p
    assert v * v % p == rhs
    if v % 2 != odd:
        v = p - v
    third = pow(3, -1, p)
    x = (u + A * third) % p
    a = (3 - A * A) * third % p
    b = (2 * A**3 - 9 * A) * pow(27, -1, p) % p
    size = (p.bit_length() + 7) // 8
    return {"p": p, "a": a, "b": b, "g": b"\x04" + x.to_bytes(size, "big") + v.to_bytes(size, "big"),
            "n": n, "h": 8 if which == "@25519" else 4, "seed": b""}


# Point arithmetic for the checks (affine; None is the point at infinity).
def _prime_add(P, Q, a, p):
    if P is None: return Q
    if Q is None: return P
    if P[0] == Q[0] and (P[1] + Q[1]) % p == 0: return None
    if P == Q:
        l = (3 * P[0] * P[0] + a) * pow(2 * P[1], -1, p) % p
    else:
        l = (Q[1] - P[1]) * pow(Q[0] - P[0], -1, p) % p
    x = (l * l - P[0] - Q[0]) % p
    return (x, (l * (P[0] - x) - P[1]) % p)


def _bmul(x, y, f):
    m = f.bit_length() - 1
    r = 0
    while y:
        if y & 1: r ^= x
        y >>= 1
        x <<= 1
        if (x >> m) & 1: x ^= f
    return r


def _binv(x, f):
    u, v, g1, g2 = x, f, 1, 0
    while u != 1:
        j = u.bit_length() - v.bit_length()
        if j < 0:
            u, v, g1, g2, j = v, u, g2, g1, -j
        u ^= v << j
        g1 ^= g2 << j
    return g1


def _binary_add(P, Q, a, f):
    if P is None: return Q
    if Q is None: return P
    if P[0] == Q[0] and (P[1] == Q[1] ^ Q[0] or P[0] == 0): return None
    if P == Q:
        l = P[0] ^ _bmul(P[1], _binv(P[0], f), f)
        x = _bmul(l, l, f) ^ l ^ a
        return (x, _bmul(P[0], P[0], f) ^ _bmul(l ^ 1, x, f))
    l = _bmul(P[1] ^ Q[1], _binv(P[0] ^ Q[0], f), f)
    x = _bmul(l, l, f) ^ l ^ P[0] ^ Q[0] ^ a
    return (x, _bmul(l, P[0] ^ x, f) ^ x ^ P[1])


def check(curve, form):
    size = (len(curve["g"]) - 1) // 2
    G = (int.from_bytes(curve["g"][1:1 + size], "big"), int.from_bytes(curve["g"][1 + size:], "big"))
    p, a, b = curve["p"], curve["a"], curve["b"]
    if form == PRIME:
        assert (G[1] ** 2 - G[0] ** 3 - a * G[0] - b) % p == 0, "G not on the curve"
        add = lambda P, Q: _prime_add(P, Q, a, p)
    else:
        x, y = G
        assert _bmul(y, y, p) ^ _bmul(x, y, p) == _bmul(_bmul(x, x, p), x, p) ^ _bmul(a, _bmul(x, x, p), p) ^ b
        add = lambda P, Q: _binary_add(P, Q, a, p)
    R, P, k = None, G, curve["n"]
    while k:
        if k & 1: R = add(R, P)
        P = add(P, P)
        k >>= 1
    assert R is None, "n G is not the point at infinity"


def load(source):
    if source.startswith("@"): return _weierstrass(source)
    if source.startswith("#"): return _gcrypt(source[1:])
    return _openssl(source)


def strings(curve, form):
    """The seven byte strings as stored: p or f, a, b, Gx, Gy padded to the field length; n unpadded; seed."""
    field = curve["p"].to_bytes((curve["p"].bit_length() + 7) // 8, "big")
    size = len(field)
    half = (len(curve["g"]) - 1) // 2
    gx = int.from_bytes(curve["g"][1:1 + half], "big")
    gy = int.from_bytes(curve["g"][1 + half:], "big")
    pad = lambda v: v.to_bytes(size, "big")
    n = curve["n"].to_bytes((curve["n"].bit_length() + 7) // 8, "big")
    return [field, pad(curve["a"]), pad(curve["b"]), pad(gx), pad(gy), n, curve["seed"]]
