// RSA-2048 PKCS#1 v1.5 signing and verification of a SHA-256 digest through CngRsaKey (the key storage
// provider stand-in on OpenSSL) next to OpenSSL's EVP called directly, with a fresh context per call as the
// stand-in makes one, and the library's own RsaEngine through InternalRsaKey beside them.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <vector>

#include "crypto/objects/key_classes.h"
#include "crypto/providers/cng_rsa_key.h"
#include "crypto/providers/provider_tables.h"

namespace {

using namespace velmora;
using namespace velmora::crypto;

const uint8_t kDigest[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// TheKey is one RSA-2048 key made by OpenSSL for the whole run, with its numbers as a parameter set.
struct TheKey {
  EVP_PKEY* pkey = EVP_RSA_gen(2048);
  RsaKeyParams params;
  TheKey() {
    const std::pair<const char*, core::BufferCore*> parts[] = {
        {OSSL_PKEY_PARAM_RSA_E, &params.Exponent},        {OSSL_PKEY_PARAM_RSA_N, &params.Modulus},
        {OSSL_PKEY_PARAM_RSA_FACTOR1, &params.P},         {OSSL_PKEY_PARAM_RSA_FACTOR2, &params.Q},
        {OSSL_PKEY_PARAM_RSA_EXPONENT1, &params.DP},      {OSSL_PKEY_PARAM_RSA_EXPONENT2, &params.DQ},
        {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &params.InverseQ}, {OSSL_PKEY_PARAM_RSA_D, &params.D}};
    for (const auto& [name, buffer] : parts) {
      BIGNUM* value = nullptr;
      if (EVP_PKEY_get_bn_param(pkey, name, &value) != 1) continue;
      std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(value)));
      BN_bn2bin(value, bytes.data());
      (void)buffer->SetData(static_cast<int32_t>(bytes.size()), bytes.data());
      BN_clear_free(value);
    }
  }
};
TheKey& Key() {
  static TheKey* key = new TheKey;
  return *key;
}

std::vector<uint8_t> OpenSslSignature() {
  std::vector<uint8_t> signature(256);
  size_t length = signature.size();
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, Key().pkey, nullptr);
  if (EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
      EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1) {
    (void)EVP_PKEY_sign(ctx, signature.data(), &length, kDigest, sizeof kDigest);
  }
  EVP_PKEY_CTX_free(ctx);
  return signature;
}

template <typename KeyObject>
void Sign(benchmark::State& state) {
  CryptoProvidersStaticInit();
  {
    KeyObject key;
    if (key.SetKeyParams(Key().params) != 0) state.SkipWithError("import");
    core::Buffer signature;
    for (auto _ : state) {
      (void)signature.Clear();
      if (key.Sign(kDigest, 32, "SHA256", signature, 0, 0) != 0) state.SkipWithError("sign");
      benchmark::DoNotOptimize(signature.Data());
    }
  }
  CryptoProvidersStaticDestroy();
}

template <typename KeyObject>
void Verify(benchmark::State& state) {
  CryptoProvidersStaticInit();
  {
    KeyObject key;
    if (key.SetKeyParams(Key().params) != 0) state.SkipWithError("import");
    const std::vector<uint8_t> signature = OpenSslSignature();
    for (auto _ : state) {
      int32_t valid = 0;
      if (key.Verify(kDigest, 32, signature.data(), 256, "SHA256", valid, 0, 0, 1) != 0 || valid != 1) {
        state.SkipWithError("verify");
      }
    }
  }
  CryptoProvidersStaticDestroy();
}

void OpenSsl(benchmark::State& state, bool sign) {
  const std::vector<uint8_t> expected = OpenSslSignature();
  std::vector<uint8_t> signature(256);
  for (auto _ : state) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, Key().pkey, nullptr);
    size_t length = signature.size();
    const bool ok = (sign ? EVP_PKEY_sign_init(ctx) : EVP_PKEY_verify_init(ctx)) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
                    (sign ? EVP_PKEY_sign(ctx, signature.data(), &length, kDigest, 32)
                          : EVP_PKEY_verify(ctx, expected.data(), expected.size(), kDigest, 32)) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) state.SkipWithError("openssl");
    benchmark::DoNotOptimize(signature.data());
  }
}

void BM_Rsa2048Sign_Cng(benchmark::State& state) { Sign<CngRsaKey>(state); }
void BM_Rsa2048Sign_OpenSsl(benchmark::State& state) { OpenSsl(state, true); }
void BM_Rsa2048Sign_Internal(benchmark::State& state) { Sign<InternalRsaKey>(state); }
void BM_Rsa2048Verify_Cng(benchmark::State& state) { Verify<CngRsaKey>(state); }
void BM_Rsa2048Verify_OpenSsl(benchmark::State& state) { OpenSsl(state, false); }
void BM_Rsa2048Verify_Internal(benchmark::State& state) { Verify<InternalRsaKey>(state); }

}  // namespace

BENCHMARK(BM_Rsa2048Sign_Cng);
BENCHMARK(BM_Rsa2048Sign_OpenSsl);
BENCHMARK(BM_Rsa2048Sign_Internal);
BENCHMARK(BM_Rsa2048Verify_Cng);
BENCHMARK(BM_Rsa2048Verify_OpenSsl);
BENCHMARK(BM_Rsa2048Verify_Internal);
