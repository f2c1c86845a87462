// X25519 and X448 against the RFC 7748 vectors (both the dispatching call and the bare ladder) and
// against python3-cryptography on random scalars and u-coordinates.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "crypto/curve25519/x25519_x448.h"
#include "tests/core/python_oracle.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::ToHex;

using XdhFn = int (*)(const uint8_t*, int32_t, const uint8_t*, int32_t, uint8_t*, int32_t);

struct Curve {
  const char* name;
  int32_t size;
  uint8_t base_byte;
  XdhFn full;
  XdhFn ladder;
  int (*public_of)(const core::BufferCore&, core::BufferCore&);
};

const Curve kCurves[] = {
    {"X25519", kX25519Bytes, 9, X25519, X25519Ladder, X25519PublicFromPrivate},
    {"X448", kX448Bytes, 5, X448, X448Ladder, X448PublicFromPrivate},
};

const Curve& CurveNamed(const std::string& name) { return name == "X25519" ? kCurves[0] : kCurves[1]; }

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Run calls fn and returns its code, with the output in *out; the caller's scalar must survive unchanged.
int Call(XdhFn fn, const Curve& curve, const std::string& k, const std::string& u, std::string* out) {
  const std::string k_before = k;
  out->assign(static_cast<size_t>(curve.size), '\xaa');
  const int result = fn(U8(k), curve.size, U8(u), curve.size, reinterpret_cast<uint8_t*>(out->data()), curve.size);
  EXPECT_EQ(k, k_before) << "the scalar was changed";
  return result;
}

std::string Base(const Curve& curve) {
  std::string base(static_cast<size_t>(curve.size), '\0');
  base[0] = static_cast<char>(curve.base_byte);
  return base;
}

TEST(XdhRfc7748, SingleCallsIterationsAndKeyExchange) {
  const std::string path = std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/x25519_x448_rfc7748.txt";
  int checked = 0;
  for (auto& entry : testing_support::ReadVectors(path, {"Curve", "Scalar", "U", "Output", "Iterations"})) {
    SCOPED_TRACE(entry.Origin());
    const Curve& curve = CurveNamed(entry.Get("Curve"));
    const std::string expected = entry.Get("Output");
    for (XdhFn fn : {curve.full, curve.ladder}) {
      std::string out;
      if (entry.Has("Iterations")) {
        const int iterations = std::stoi(entry.Get("Iterations"));
        // Past the first iteration u is no longer the base point: both functions run the ladder.
        if (iterations > 1 && fn == curve.ladder) continue;
        std::string k = Base(curve), u = k;
        for (int i = 0; i < iterations; ++i) {
          ASSERT_EQ(Call(fn, curve, k, u, &out), 0);
          u = k;
          k = out;
        }
      } else {
        EXPECT_EQ(Call(fn, curve, entry.Bytes("Scalar"), entry.Bytes("U"), &out), 0);
      }
      EXPECT_EQ(ToHex(out), expected);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 16);
}

// Small-order u (0, 1, and p, which stands for 0) gives the all-zero secret: 0x90002 with the zeros
// written. Wrong lengths write nothing, and a private key of the wrong length leaves the output alone.
TEST(XdhRfc7748, ZeroSecretAndLengthChecks) {
  for (const Curve& curve : kCurves) {
    SCOPED_TRACE(curve.name);
    const std::string k(static_cast<size_t>(curve.size), '\x5c');
    std::string p(static_cast<size_t>(curve.size), '\xff');
    if (curve.size == kX25519Bytes) {
      p[0] = '\xed';
      p[31] = '\x7f';
    } else {
      p[28] = '\xfe';
    }
    const std::string zero(static_cast<size_t>(curve.size), '\0');
    for (const std::string& u : {zero, std::string(1, '\1') + zero.substr(1), p}) {
      for (XdhFn fn : {curve.full, curve.ladder}) {
        std::string out;
        EXPECT_EQ(Call(fn, curve, k, u, &out), kXdhZeroSecret) << ToHex(u);
        EXPECT_EQ(out, zero);
      }
    }
    uint8_t out[57];
    std::memset(out, 0xaa, sizeof out);
    const int32_t n = curve.size;
    EXPECT_EQ(curve.full(U8(k), n - 1, U8(p), n, out, n), kXdhBadLength);
    EXPECT_EQ(curve.full(U8(k), n, U8(p), n + 1, out, n), kXdhBadLength);
    EXPECT_EQ(curve.ladder(U8(k), n, U8(p), n, out, n + 1), kXdhBadLength);
    EXPECT_EQ(out[0], 0xaa);
    core::SecureBuffer short_key;
    core::Buffer public_key;
    ASSERT_EQ(short_key.SetData(n - 1, k.data()), 0);
    ASSERT_EQ(public_key.SetString("kept"), 0);
    EXPECT_EQ(curve.public_of(short_key, public_key), kXdhBadPrivateKey);
    EXPECT_EQ(std::string(public_key.Data()), "kept");
  }
}

// The oracle answers each "curve scalar u" line with X(scalar, u), or "zero" when OpenSSL refuses the
// all-zero result; a "curve scalar public" line with the public key of the scalar.
constexpr char kOracle[] = R"PY(
import sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import x25519, x448
raw = (serialization.Encoding.Raw, serialization.PublicFormat.Raw)
for line in sys.stdin:
    curve, k, u = line.split()
    priv, pub = ((x25519.X25519PrivateKey, x25519.X25519PublicKey) if curve == 'X25519'
                 else (x448.X448PrivateKey, x448.X448PublicKey))
    key = priv.from_private_bytes(bytes.fromhex(k))
    if u == 'public':
        print(key.public_key().public_bytes(*raw).hex())
        continue
    try:
        print(key.exchange(pub.from_public_bytes(bytes.fromhex(u))).hex())
    except ValueError:
        print('zero')
)PY";

// Random scalars and u-coordinates (top bits and values past p included) give OpenSSL's bytes, through
// the dispatching call and the ladder; the public key of random private keys, through the fixed-base
// path, equals OpenSSL's and the ladder's. VELMORA_XDH_CASES sets the count per curve (100 by default).
TEST(XdhOracle, MatchesPythonCryptography) {
  if (std::system("/usr/bin/python3 -c 'import cryptography.hazmat.primitives.asymmetric.x448' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "/usr/bin/python3 with the cryptography module is missing";
  }
  const char* cases_env = std::getenv("VELMORA_XDH_CASES");
  const int cases = cases_env != nullptr ? std::atoi(cases_env) : 100;
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  struct Case {
    const Curve* curve;
    std::string k, u;  // u empty: the public key of k
  };
  std::vector<Case> all;
  std::string input;
  for (const Curve& curve : kCurves) {
    for (int i = 0; i < cases; ++i) {
      Case c{&curve, std::string(static_cast<size_t>(curve.size), '\0'), ""};
      for (char& b : c.k) b = static_cast<char>(rng());
      if (i % 2 == 0) {
        c.u = c.k;
        for (char& b : c.u) b = static_cast<char>(rng());
        // Every eighth u lies just past p (p + small), which stands for a small value.
        if (i % 8 == 0) {
          if (curve.size == kX25519Bytes) {
            c.u.assign(31, '\xff');
            c.u += '\x7f';
            c.u[0] = static_cast<char>(0xed + 2 + rng() % 16);  // p + 2 .. p + 17
          } else {
            c.u = std::string(28, '\0') + std::string(28, '\xff');
            c.u[0] = static_cast<char>(1 + rng() % 200);  // p + 2 .. p + 201
          }
        }
      }
      input += std::string(curve.name) + " " + ToHex(c.k) + " " + (c.u.empty() ? "public" : ToHex(c.u)) + "\n";
      all.push_back(c);
    }
  }
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kOracle, "", input, &output, "/usr/bin/python3"));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    const Case& c = all[i];
    const std::string& expected = lines[i][0];
    SCOPED_TRACE(std::string(c.curve->name) + " case " + std::to_string(i) + " k " + ToHex(c.k) + " u " + ToHex(c.u));
    std::string out;
    if (c.u.empty()) {
      core::SecureBuffer key;
      core::Buffer public_key;
      ASSERT_EQ(key.SetData(c.curve->size, c.k.data()), 0);
      ASSERT_EQ(c.curve->public_of(key, public_key), 0);
      EXPECT_EQ(ToHex(std::string(public_key.Data(), static_cast<size_t>(public_key.Length()))), expected);
      EXPECT_EQ(Call(c.curve->ladder, *c.curve, c.k, Base(*c.curve), &out), 0);
      EXPECT_EQ(ToHex(out), expected);
      continue;
    }
    for (XdhFn fn : {c.curve->full, c.curve->ladder}) {
      const int result = Call(fn, *c.curve, c.k, c.u, &out);
      if (expected == "zero") {
        EXPECT_EQ(result, kXdhZeroSecret);
      } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(ToHex(out), expected);
      }
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
