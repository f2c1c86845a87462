// Helpers of the Ed25519 tests: hex of byte arrays, random bytes from a fixed seed, the vector folder,
// and the Python curve model that the field, scalar and group tests compare against.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "tests/core/python_oracle.h"

namespace velmora::crypto {

using testing_support::FromHex;
using testing_support::ToHex;

inline std::string Hex(const uint8_t* data, size_t length) {
  return ToHex(std::string(reinterpret_cast<const char*>(data), length));
}
inline const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
inline uint32_t Len(const std::string& s) { return static_cast<uint32_t>(s.size()); }

inline std::string RandomString(std::mt19937_64& rng, size_t length) {
  std::string out(length, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

// Count returns the number of random cases: fallback, or VELMORA_ED25519_CASES when it is set.
inline int Count(int fallback) {
  const char* value = std::getenv("VELMORA_ED25519_CASES");
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

// Integers modulo p and L and the curve in extended coordinates, written from the curve's definition.
inline const char* kCurveModel = R"PY(
import sys
p = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
d = -121665 * pow(121666, p - 2, p) % p
SQRTM1 = pow(2, (p - 1) // 4, p)
def num(h): return int.from_bytes(bytes.fromhex(h), 'little')
def enc(x, n=32): return (x % (2 ** (8 * n))).to_bytes(n, 'little').hex()
def fe(x): return enc(x % p)
def add(P, Q):
    x1, y1, z1, t1 = P
    x2, y2, z2, t2 = Q
    a = (y1 - x1) * (y2 - x2) % p
    b = (y1 + x1) * (y2 + x2) % p
    c = 2 * d * t1 * t2 % p
    e = 2 * z1 * z2 % p
    E, F, G, H = b - a, e - c, e + c, b + a
    return (E * F % p, G * H % p, F * G % p, E * H % p)
def mul(s, P):
    Q = (0, 1, 1, 0)
    while s > 0:
        if s & 1: Q = add(Q, P)
        P = add(P, P)
        s >>= 1
    return Q
def affine(P):
    zi = pow(P[2], p - 2, p)
    return P[0] * zi % p, P[1] * zi % p
def point(x, y): return (x, y, 1, x * y % p)
def encpt(P):
    x, y = affine(P)
    return enc(y | ((x & 1) << 255))
def decode(h):
    # None when the encoding names no point; y of p or more and x = 0 with the sign bit are accepted.
    s = num(h)
    y = (s & ((1 << 255) - 1)) % p
    sign = s >> 255
    x2 = (y * y - 1) * pow(d * y * y + 1, p - 2, p) % p
    x = pow(x2, (p + 3) // 8, p)
    if (x * x - x2) % p: x = x * SQRTM1 % p
    if (x * x - x2) % p: return None
    if (x & 1) != sign: x = (p - x) % p
    return point(x, y)
BY = 4 * pow(5, p - 2, p) % p
B = decode(enc(BY))
)PY";

}  // namespace velmora::crypto
