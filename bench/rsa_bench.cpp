// RSA-2048 raw private (CRT, blinded) and public operations, ours next to OpenSSL's (no padding) on the
// same key in the same run.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

#include "crypto/pubkey/rsa/rsa_engine.h"

namespace {

using velmora::crypto::RsaEngine;
using velmora::crypto::RsaKeyParams;

struct Key {
  EVP_PKEY* pkey = nullptr;
  RsaKeyParams params;
  std::vector<uint8_t> message;
  Key() {
    pkey = EVP_RSA_gen(2048);
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    velmora::core::BufferCore* fields[] = {&params.Modulus, &params.Exponent, &params.D, &params.P,
                                           &params.Q, &params.DP, &params.DQ, &params.InverseQ};
    for (int i = 0; i < 8; ++i) {
      BIGNUM* bn = nullptr;
      EVP_PKEY_get_bn_param(pkey, names[i], &bn);
      std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
      BN_bn2bin(bn, bytes.data());
      (void)fields[i]->SetData(static_cast<int32_t>(bytes.size()), bytes.data());
      BN_free(bn);
    }
    message.assign(256, 0x5A);
  }
  ~Key() { EVP_PKEY_free(pkey); }
};

Key& TheKey() {
  static Key key;
  return key;
}

void BM_OursPrivate(benchmark::State& state) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)engine.PrivateOperation(TheKey().message.data(), 256, out);
    benchmark::DoNotOptimize(out.Data());
  }
}

void BM_OursPublic(benchmark::State& state) {
  RsaEngine engine;
  (void)engine.SetKeyParams(TheKey().params);
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)out.SetData(0, nullptr);
    (void)engine.PublicOperation(TheKey().message.data(), 256, out);
    benchmark::DoNotOptimize(out.Data());
  }
}

void RunOpenSsl(benchmark::State& state, bool decrypt) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(TheKey().pkey, nullptr);
  if (decrypt) {
    EVP_PKEY_decrypt_init(ctx);
  } else {
    EVP_PKEY_encrypt_init(ctx);
  }
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
  uint8_t out[256];
  for (auto _ : state) {
    size_t length = sizeof out;
    if (decrypt) {
      EVP_PKEY_decrypt(ctx, out, &length, TheKey().message.data(), 256);
    } else {
      EVP_PKEY_encrypt(ctx, out, &length, TheKey().message.data(), 256);
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_OpenSslPrivate(benchmark::State& state) { RunOpenSsl(state, true); }
void BM_OpenSslPublic(benchmark::State& state) { RunOpenSsl(state, false); }

BENCHMARK(BM_OursPrivate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslPrivate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OursPublic)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslPublic)->Unit(benchmark::kMicrosecond);

}  // namespace
