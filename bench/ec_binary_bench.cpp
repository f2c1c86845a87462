// Binary-curve scalar multiplication d G and ECDSA signing of a 32-byte digest on sect163k1, sect283k1
// and sect571k1, ours next to OpenSSL's EC_POINT_mul and ECDSA_sign on the same curve.
#define OPENSSL_API_COMPAT 0x10101000L  // EC_KEY and ECDSA_sign give the plain operation to compare
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>

#include <cstdint>
#include <vector>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/ec_binary.h"
#include "crypto/ec/ecdsa.h"

namespace {

using namespace velmora;
using crypto::FixedBigInt;

struct Curve {
  uint32_t id;
  int nid;
};
constexpr Curve kCurves[] = {{19, NID_sect163k1}, {27, NID_sect283k1}, {31, NID_sect571k1}};

struct Fixture {
  crypto::CurveParams params;
  FixedBigInt f, a, gx, gy, d;
  std::vector<uint8_t> d_bytes;
  explicit Fixture(const Curve& curve) : params(curve.id) {
    (void)crypto::WordsFromBufferPadded(params.Field, nullptr, f);
    (void)crypto::WordsFromBufferPadded(params.A, &f, a);
    (void)crypto::WordsFromBufferPadded(params.Gx, &f, gx);
    (void)crypto::WordsFromBufferPadded(params.Gy, &f, gy);
    // A scalar just below n with a pattern in every byte.
    for (int32_t i = 0; i < params.Order.Length(); ++i) {
      d_bytes.push_back(static_cast<uint8_t>(params.Order.Data()[i] ^ (i == 0 ? 0 : 0x5A + i)));
    }
    if (d_bytes[0] > 1) --d_bytes[0];
    (void)FixedBigInt::FromBytes(d_bytes.data(), static_cast<int32_t>(d_bytes.size()), d);
  }
};

const Fixture& Data(int index) {
  static const Fixture fixtures[] = {Fixture(kCurves[0]), Fixture(kCurves[1]), Fixture(kCurves[2])};
  return fixtures[index];
}

void OursMultiply(benchmark::State& state) {
  const Fixture& c = Data(static_cast<int>(state.range(0)));
  FixedBigInt x, y;
  for (auto _ : state) {
    if (crypto::EcPointMulBinary(c.gx, c.gy, c.f, c.a, c.d, c.params.FieldId, x, y) != 0) state.SkipWithError("mul");
    benchmark::DoNotOptimize(x.Words);
  }
}

void OursSign(benchmark::State& state) {
  const Fixture& c = Data(static_cast<int>(state.range(0)));
  core::SecureBuffer key;
  if (key.SetData(static_cast<int32_t>(c.d_bytes.size()), c.d_bytes.data()) != 0) state.SkipWithError("key");
  const uint8_t digest[32] = {1, 2, 3};
  core::Buffer signature;
  for (auto _ : state) {
    if (crypto::EcdsaSignOnCurve(c.params, key, digest, 32, crypto::EcdsaSettings{}, signature) != 0) {
      state.SkipWithError("sign");
    }
    benchmark::DoNotOptimize(signature.Data());
  }
}

void OpenSslMultiply(benchmark::State& state) {
  const Fixture& c = Data(static_cast<int>(state.range(0)));
  EC_GROUP* group = EC_GROUP_new_by_curve_name(kCurves[state.range(0)].nid);
  EC_POINT* point = EC_POINT_new(group);
  BIGNUM* d = BN_bin2bn(c.d_bytes.data(), static_cast<int>(c.d_bytes.size()), nullptr);
  BN_CTX* ctx = BN_CTX_new();
  for (auto _ : state) {
    if (EC_POINT_mul(group, point, d, nullptr, nullptr, ctx) != 1) state.SkipWithError("mul");
  }
  BN_CTX_free(ctx);
  BN_free(d);
  EC_POINT_free(point);
  EC_GROUP_free(group);
}

void OpenSslSign(benchmark::State& state) {
  EC_KEY* key = EC_KEY_new_by_curve_name(kCurves[state.range(0)].nid);
  if (key == nullptr || EC_KEY_generate_key(key) != 1) {
    state.SkipWithError("key");
    EC_KEY_free(key);
    return;
  }
  unsigned char digest[32] = {1, 2, 3};
  unsigned char der[256];
  unsigned int length = 0;
  for (auto _ : state) {
    length = sizeof der;
    if (ECDSA_sign(0, digest, 32, der, &length, key) != 1) state.SkipWithError("sign");
  }
  EC_KEY_free(key);
}

BENCHMARK(OursMultiply)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursSign)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslMultiply)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenSslSign)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace
