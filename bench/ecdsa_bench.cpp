// ECDSA signing and verification on P-256, brainpoolP256r1, P-384 and P-521, ours next to OpenSSL's on
// the same key and digest in the same run.
#define OPENSSL_API_COMPAT 0x10101000L  // EC_KEY and ECDSA_sign give the plain operation to compare
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/objects.h>

#include <vector>

#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/mont_field.h"

namespace {

using velmora::crypto::EccEngine;

struct Key {
  EC_KEY* openssl = nullptr;
  EccEngine engine;
  std::vector<uint8_t> digest = std::vector<uint8_t>(32, 0xA5);
  std::vector<uint8_t> signature;  // ours, raw

  Key(int nid, int32_t key_type, int bytes) {
    openssl = EC_KEY_new_by_curve_name(nid);
    EC_KEY_generate_key(openssl);
    const EC_GROUP* group = EC_KEY_get0_group(openssl);
    BIGNUM *x = BN_new(), *y = BN_new();
    EC_POINT_get_affine_coordinates(group, EC_KEY_get0_public_key(openssl), x, y, nullptr);
    velmora::crypto::EcKeyParams params;
    params.KeyType = key_type;
    const BIGNUM* parts[] = {EC_KEY_get0_private_key(openssl), x, y};
    velmora::core::BufferCore* fields[] = {&params.D, &params.X, &params.Y};
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> value(static_cast<size_t>(bytes));
      BN_bn2binpad(parts[i], value.data(), bytes);
      (void)fields[i]->SetData(bytes, value.data());
    }
    BN_free(x);
    BN_free(y);
    (void)engine.SetKeyParams(params);
    velmora::core::Buffer out;
    (void)engine.Sign(digest.data(), 32, out);
    signature.assign(out.Data(), out.Data() + out.Length());
  }
  ~Key() { EC_KEY_free(openssl); }
};

Key& P256() {
  static Key key(NID_X9_62_prime256v1, 0, 32);
  return key;
}
Key& Brainpool() {
  static Key key(NID_brainpoolP256r1, 14, 32);
  return key;
}
Key& P384() {
  static Key key(NID_secp384r1, 1, 48);
  return key;
}
Key& P521() {
  static Key key(NID_secp521r1, 2, 66);
  return key;
}

void OursSign(benchmark::State& state, Key& key) {
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)key.engine.Sign(key.digest.data(), 32, out);
    benchmark::DoNotOptimize(out.Data());
  }
}

void OursVerify(benchmark::State& state, Key& key) {
  int32_t valid = 0;
  for (auto _ : state) {
    (void)key.engine.Verify(key.digest.data(), 32, key.signature.data(), static_cast<int32_t>(key.signature.size()),
                            valid);
    benchmark::DoNotOptimize(valid);
  }
  if (valid != 1) state.SkipWithError("our signature did not verify");
}

// The generic Montgomery multiplication and the two separate constant-time products of verification,
// as before the dedicated paths.
void OursGeneric(benchmark::State& state, Key& key, bool sign) {
  velmora::crypto::ec::internal::ForceGenericPath(true);
  if (sign) {
    OursSign(state, key);
  } else {
    OursVerify(state, key);
  }
  velmora::crypto::ec::internal::ForceGenericPath(false);
}

void OpenSslSign(benchmark::State& state, Key& key) {
  unsigned char out[160];
  for (auto _ : state) {
    unsigned int length = sizeof out;
    ECDSA_sign(0, key.digest.data(), 32, out, &length, key.openssl);
    benchmark::DoNotOptimize(out);
  }
}

void OpenSslVerify(benchmark::State& state, Key& key) {
  unsigned char der[160];
  unsigned int length = sizeof der;
  ECDSA_sign(0, key.digest.data(), 32, der, &length, key.openssl);
  int valid = 0;
  for (auto _ : state) {
    valid = ECDSA_verify(0, key.digest.data(), 32, der, static_cast<int>(length), key.openssl);
    benchmark::DoNotOptimize(valid);
  }
}

void BM_P256_OursSign(benchmark::State& state) { OursSign(state, P256()); }
void BM_P256_OpenSslSign(benchmark::State& state) { OpenSslSign(state, P256()); }
void BM_P256_OursGenericSign(benchmark::State& state) { OursGeneric(state, P256(), true); }
void BM_P256_OursGenericVerify(benchmark::State& state) { OursGeneric(state, P256(), false); }
void BM_P521_OursGenericVerify(benchmark::State& state) { OursGeneric(state, P521(), false); }
void BM_P256_OursVerify(benchmark::State& state) { OursVerify(state, P256()); }
void BM_P256_OpenSslVerify(benchmark::State& state) { OpenSslVerify(state, P256()); }
void BM_BrainpoolP256r1_OursSign(benchmark::State& state) { OursSign(state, Brainpool()); }
void BM_BrainpoolP256r1_OpenSslSign(benchmark::State& state) { OpenSslSign(state, Brainpool()); }
void BM_BrainpoolP256r1_OursVerify(benchmark::State& state) { OursVerify(state, Brainpool()); }
void BM_BrainpoolP256r1_OpenSslVerify(benchmark::State& state) { OpenSslVerify(state, Brainpool()); }
void BM_P384_OursSign(benchmark::State& state) { OursSign(state, P384()); }
void BM_P384_OpenSslSign(benchmark::State& state) { OpenSslSign(state, P384()); }
void BM_P384_OursVerify(benchmark::State& state) { OursVerify(state, P384()); }
void BM_P384_OpenSslVerify(benchmark::State& state) { OpenSslVerify(state, P384()); }
void BM_P521_OursSign(benchmark::State& state) { OursSign(state, P521()); }
void BM_P521_OpenSslSign(benchmark::State& state) { OpenSslSign(state, P521()); }
void BM_P521_OursVerify(benchmark::State& state) { OursVerify(state, P521()); }
void BM_P521_OpenSslVerify(benchmark::State& state) { OpenSslVerify(state, P521()); }

BENCHMARK(BM_P256_OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OursGenericSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OursGenericVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P521_OursGenericVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OpenSslVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrainpoolP256r1_OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrainpoolP256r1_OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrainpoolP256r1_OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrainpoolP256r1_OpenSslVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P384_OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P384_OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P384_OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P384_OpenSslVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P521_OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P521_OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P521_OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P521_OpenSslVerify)->Unit(benchmark::kMicrosecond);

}  // namespace
