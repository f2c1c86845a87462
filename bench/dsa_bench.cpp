// DSA-2048/256 signing and verification of a 32-byte digest, ours (on mulx/adx, and forced onto the
// portable Montgomery products) next to OpenSSL's on the same key in
// the same run.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>

#include <vector>

#include "crypto/bn/montgomery.h"
#include "crypto/dsa/dsa_engine.h"

namespace {

using velmora::crypto::DsaEngine;
using velmora::crypto::DsaKeyParams;

struct Key {
  EVP_PKEY* pkey = nullptr;
  DsaKeyParams params;
  std::vector<uint8_t> digest = std::vector<uint8_t>(32, 0xA5);
  Key() {
    EVP_PKEY* domain = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY_paramgen_init(ctx);
    EVP_PKEY_CTX_set_dsa_paramgen_bits(ctx, 2048);
    EVP_PKEY_CTX_set_dsa_paramgen_q_bits(ctx, 256);
    EVP_PKEY_paramgen(ctx, &domain);
    EVP_PKEY_CTX_free(ctx);
    ctx = EVP_PKEY_CTX_new(domain, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &pkey);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(domain);
    const char* names[] = {OSSL_PKEY_PARAM_FFC_P, OSSL_PKEY_PARAM_FFC_Q, OSSL_PKEY_PARAM_FFC_G,
                           OSSL_PKEY_PARAM_PUB_KEY, OSSL_PKEY_PARAM_PRIV_KEY};
    velmora::core::BufferCore* fields[] = {&params.P, &params.Q, &params.G, &params.Y, &params.X};
    for (int i = 0; i < 5; ++i) {
      BIGNUM* bn = nullptr;
      EVP_PKEY_get_bn_param(pkey, names[i], &bn);
      std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
      BN_bn2bin(bn, bytes.data());
      (void)fields[i]->SetData(static_cast<int32_t>(bytes.size()), bytes.data());
      BN_clear_free(bn);
    }
  }
  ~Key() { EVP_PKEY_free(pkey); }
};

Key& TheKey() {
  static Key key;
  return key;
}

void BM_OursSign(benchmark::State& state) {
  DsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)out.SetData(0, nullptr);
    (void)engine.Sign(TheKey().digest.data(), 32, out);
    benchmark::DoNotOptimize(out.Data());
  }
}

void BM_OursVerify(benchmark::State& state) {
  DsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer signature;
  (void)engine.Sign(TheKey().digest.data(), 32, signature);
  int32_t valid = 0;
  for (auto _ : state) {
    (void)engine.Verify(TheKey().digest.data(), 32, signature.Bytes(), signature.Length(), &valid);
    benchmark::DoNotOptimize(valid);
  }
  if (valid != 1) state.SkipWithError("our signature did not verify");
}

void BM_OpenSslSign(benchmark::State& state) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(TheKey().pkey, nullptr);
  EVP_PKEY_sign_init(ctx);
  uint8_t out[128];
  for (auto _ : state) {
    size_t length = sizeof out;
    EVP_PKEY_sign(ctx, out, &length, TheKey().digest.data(), 32);
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_OpenSslVerify(benchmark::State& state) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(TheKey().pkey, nullptr);
  EVP_PKEY_sign_init(ctx);
  uint8_t signature[128];
  size_t length = sizeof signature;
  EVP_PKEY_sign(ctx, signature, &length, TheKey().digest.data(), 32);
  EVP_PKEY_verify_init(ctx);
  int valid = 0;
  for (auto _ : state) {
    valid = EVP_PKEY_verify(ctx, signature, length, TheKey().digest.data(), 32);
    benchmark::DoNotOptimize(valid);
  }
  EVP_PKEY_CTX_free(ctx);
  if (valid != 1) state.SkipWithError("OpenSSL's signature did not verify");
}

// The Portable rows force the Montgomery products onto the portable code, so that both paths are
// measured in the same run.
using PortableProducts = velmora::crypto::bigint::internal::PortableMontgomeryScope;

void BM_OursSignPortable(benchmark::State& state) {
  const PortableProducts portable;
  BM_OursSign(state);
}

void BM_OursVerifyPortable(benchmark::State& state) {
  const PortableProducts portable;
  BM_OursVerify(state);
}

BENCHMARK(BM_OursSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursSignPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursVerifyPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslVerify)->Unit(benchmark::kMicrosecond);

}  // namespace
