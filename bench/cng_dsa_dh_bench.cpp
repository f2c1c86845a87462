// CngDsaKey (the platform DSA key over the crypto modules' key-pair entry points) signing and verifying a
// SHA-256 hash with one DSA-2048/256 key, next to OpenSSL's EVP called directly on the same key; and
// DhModPow over the 2048-bit MODP prime of RFC 3526 through the platform (FIPS-compliant mode on, two key
// imports and an agreement per call) next to BigInt::ModPow and OpenSSL's BN_mod_exp.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "component/component_base.h"
#include "component/config_setting_parts.h"
#include "crypto/providers/cng_dh.h"
#include "crypto/providers/cng_dsa_key.h"
#include "crypto/providers/provider_tables.h"

namespace {

using namespace velmora;
using namespace velmora::crypto;

// Key is one DSA-2048/256 key made by OpenSSL, as an EVP key and as parameters.
struct Key {
  EVP_PKEY* pkey = nullptr;
  DsaKeyParams params;
};

void PutBn(EVP_PKEY* pkey, const char* name, core::BufferCore& out) {
  BIGNUM* n = nullptr;
  EVP_PKEY_get_bn_param(pkey, name, &n);
  std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, bytes.data());
  (void)out.SetData(static_cast<int32_t>(bytes.size()), bytes.data());
  BN_clear_free(n);
}

Key& TheKey() {
  static Key* key = [] {
    auto* made = new Key;
    size_t pbits = 2048, qbits = 256;
    const OSSL_PARAM settings[] = {OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_FFC_PBITS, &pbits),
                                   OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_FFC_QBITS, &qbits),
                                   OSSL_PARAM_construct_end()};
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY* domain = nullptr;
    EVP_PKEY_paramgen_init(ctx);
    EVP_PKEY_CTX_set_params(ctx, settings);
    EVP_PKEY_generate(ctx, &domain);
    EVP_PKEY_CTX_free(ctx);
    ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, domain, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_generate(ctx, &made->pkey);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(domain);
    PutBn(made->pkey, OSSL_PKEY_PARAM_FFC_P, made->params.P);
    PutBn(made->pkey, OSSL_PKEY_PARAM_FFC_Q, made->params.Q);
    PutBn(made->pkey, OSSL_PKEY_PARAM_FFC_G, made->params.G);
    PutBn(made->pkey, OSSL_PKEY_PARAM_PUB_KEY, made->params.Y);
    PutBn(made->pkey, OSSL_PKEY_PARAM_PRIV_KEY, made->params.X);
    return made;
  }();
  return *key;
}

const uint8_t* Hash() {
  static uint8_t hash[32];
  std::mt19937 random(1);
  for (uint8_t& b : hash) b = static_cast<uint8_t>(random());
  return hash;
}

void BM_Dsa2048Sign_Cng(benchmark::State& state) {
  CryptoProvidersStaticInit();
  {
    CngDsaKey key;
    if (key.SetKeyParams(TheKey().params) != 0) state.SkipWithError("import");
    core::Buffer out;
    for (auto _ : state) {
      (void)out.Clear();
      if (key.Sign(Hash(), 32, out) != 0) state.SkipWithError("sign");
      benchmark::DoNotOptimize(out.Data());
    }
  }
  CryptoProvidersStaticDestroy();
}

void BM_Dsa2048Sign_OpenSsl(benchmark::State& state) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, TheKey().pkey, nullptr);
  EVP_PKEY_sign_init(ctx);
  uint8_t signature[80];
  for (auto _ : state) {
    size_t length = sizeof signature;
    if (EVP_PKEY_sign(ctx, signature, &length, Hash(), 32) != 1) state.SkipWithError("sign");
    benchmark::DoNotOptimize(signature);
  }
  EVP_PKEY_CTX_free(ctx);
}

void BM_Dsa2048Verify_Cng(benchmark::State& state) {
  CryptoProvidersStaticInit();
  {
    CngDsaKey key;
    core::Buffer signature;
    if (key.SetKeyParams(TheKey().params) != 0 || key.Sign(Hash(), 32, signature) != 0) state.SkipWithError("sign");
    for (auto _ : state) {
      int32_t valid = 0;
      if (key.Verify(Hash(), 32, signature.Bytes(), signature.Length(), &valid) != 0 || valid != 1) {
        state.SkipWithError("verify");
      }
    }
  }
  CryptoProvidersStaticDestroy();
}

void BM_Dsa2048Verify_OpenSsl(benchmark::State& state) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, TheKey().pkey, nullptr);
  uint8_t signature[80];
  size_t length = sizeof signature;
  EVP_PKEY_sign_init(ctx);
  EVP_PKEY_sign(ctx, signature, &length, Hash(), 32);
  EVP_PKEY_verify_init(ctx);
  for (auto _ : state) {
    if (EVP_PKEY_verify(ctx, signature, length, Hash(), 32) != 1) state.SkipWithError("verify");
  }
  EVP_PKEY_CTX_free(ctx);
}

// Operands: a base and an exponent below the prime, from a fixed seed.
struct Operands {
  BIGNUM* p = nullptr;
  BIGNUM* base = nullptr;
  BIGNUM* exponent = nullptr;
  BigInt big_p, big_base, big_exponent;
};

void ToBigInt(const BIGNUM* n, BigInt& out) {
  std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, bytes.data());
  (void)BigInt::FromBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 1, out);
}

Operands& TheOperands() {
  static Operands* operands = [] {
    auto* made = new Operands;
    made->p = BN_get_rfc3526_prime_2048(nullptr);
    std::mt19937 random(2);
    std::vector<uint8_t> bytes(256);
    for (BIGNUM** n : {&made->base, &made->exponent}) {
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      *n = BN_bin2bn(bytes.data(), 256, nullptr);
      BN_CTX* ctx = BN_CTX_new();
      BN_mod(*n, *n, made->p, ctx);
      BN_CTX_free(ctx);
    }
    ToBigInt(made->p, made->big_p);
    ToBigInt(made->base, made->big_base);
    ToBigInt(made->exponent, made->big_exponent);
    return made;
  }();
  return *operands;
}

void SetFips(bool on) {
  component::ComponentBase component;
  component::ConfigSettingParts parts;
  if (parts.Parse(on ? "UseFIPSCompliantAPI=true" : "UseFIPSCompliantAPI=false", 0) == 0) {
    (void)component.Config(parts, nullptr);
  }
}

void BM_DhModPow2048_Platform(benchmark::State& state) {
  const Operands& o = TheOperands();
  CryptoProvidersStaticInit();
  SetFips(true);
  for (auto _ : state) {
    BigInt result;
    if (DhModPow(o.big_base, o.big_exponent, o.big_p, result) != 0) state.SkipWithError("modpow");
    benchmark::DoNotOptimize(result);
  }
  SetFips(false);
  CryptoProvidersStaticDestroy();
}

void BM_DhModPow2048_BigInt(benchmark::State& state) {
  const Operands& o = TheOperands();
  for (auto _ : state) {
    BigInt result;
    if (BigInt::ModPow(o.big_base, o.big_exponent, o.big_p, result) != 0) state.SkipWithError("modpow");
    benchmark::DoNotOptimize(result);
  }
}

void BM_DhModPow2048_BnModExp(benchmark::State& state) {
  const Operands& o = TheOperands();
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* result = BN_new();
  for (auto _ : state) {
    if (BN_mod_exp(result, o.base, o.exponent, o.p, ctx) != 1) state.SkipWithError("modpow");
    benchmark::DoNotOptimize(result);
  }
  BN_free(result);
  BN_CTX_free(ctx);
}

BENCHMARK(BM_Dsa2048Sign_Cng);
BENCHMARK(BM_Dsa2048Sign_OpenSsl);
BENCHMARK(BM_Dsa2048Verify_Cng);
BENCHMARK(BM_Dsa2048Verify_OpenSsl);
BENCHMARK(BM_DhModPow2048_Platform);
BENCHMARK(BM_DhModPow2048_BigInt);
BENCHMARK(BM_DhModPow2048_BnModExp);

}  // namespace
