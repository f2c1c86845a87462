// P-256 ECDSA signing and verification of a SHA-256 digest, and ECDH to the raw shared secret, through
// CngEccKey (the key storage provider stand-in on OpenSSL) next to OpenSSL's EVP called directly, with a
// fresh context per call as the stand-in makes one, and the library's own EccEngine through InternalEccKey
// beside them. The platform's agreement imports both keys on every call, as CngEcdhAgree does.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "crypto/objects/key_classes.h"
#include "crypto/providers/cng_ecc_key.h"
#include "crypto/providers/provider_tables.h"

namespace {

using namespace velmora;
using namespace velmora::crypto;

const uint8_t kDigest[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// Pair is a P-256 key made by OpenSSL, with its numbers as a parameter set.
struct Pair {
  EVP_PKEY* pkey = EVP_EC_gen("P-256");
  EcKeyParams params;
  Pair() {
    params.KeyType = 0;
    const std::pair<const char*, core::BufferCore*> parts[] = {{OSSL_PKEY_PARAM_EC_PUB_X, &params.X},
                                                               {OSSL_PKEY_PARAM_EC_PUB_Y, &params.Y},
                                                               {OSSL_PKEY_PARAM_PRIV_KEY, &params.D}};
    for (const auto& [name, buffer] : parts) {
      BIGNUM* value = nullptr;
      if (EVP_PKEY_get_bn_param(pkey, name, &value) != 1) continue;
      std::vector<uint8_t> bytes(32);
      BN_bn2binpad(value, bytes.data(), 32);
      (void)buffer->SetData(32, bytes.data());
      BN_clear_free(value);
    }
  }
};
Pair& Own() {
  static Pair* pair = new Pair;
  return *pair;
}
Pair& Peer() {
  static Pair* pair = new Pair;
  return *pair;
}

// RawSignature is OpenSSL's signature of kDigest as r || s.
std::vector<uint8_t> RawSignature() {
  std::vector<uint8_t> der(80), raw(64);
  size_t length = der.size();
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, Own().pkey, nullptr);
  if (EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, der.data(), &length, kDigest, 32) == 1) {
    const uint8_t* at = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(length));
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + 32, 32);
    ECDSA_SIG_free(sig);
  }
  EVP_PKEY_CTX_free(ctx);
  return raw;
}

template <typename KeyObject>
void Run(benchmark::State& state, int operation) {
  CryptoProvidersStaticInit();
  {
    KeyObject key;
    if (key.SetKeyParams(Own().params) != 0) state.SkipWithError("import");
    EcKeyParams peer;
    (void)peer.CopyFrom(Peer().params, false);
    const std::vector<uint8_t> signature = RawSignature();
    core::Buffer out;
    for (auto _ : state) {
      (void)out.Clear();
      int32_t valid = 1;
      const int status = operation == 0   ? key.Sign(kDigest, 32, out)
                         : operation == 1 ? key.Verify(kDigest, 32, signature.data(), 64, valid)
                                          : key.Agree(peer, 99, out, nullptr, 0, nullptr, 0, nullptr, 0);
      if (status != 0 || valid != 1) state.SkipWithError("operation");
      benchmark::DoNotOptimize(out.Data());
    }
  }
  CryptoProvidersStaticDestroy();
}

void OpenSsl(benchmark::State& state, int operation) {
  std::vector<uint8_t> der(80);
  const std::vector<uint8_t> raw = RawSignature();
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
  unsigned char* expected = nullptr;
  const int expected_length = i2d_ECDSA_SIG(sig, &expected);
  ECDSA_SIG_free(sig);
  for (auto _ : state) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, Own().pkey, nullptr);
    size_t length = der.size();
    bool ok;
    if (operation == 0) {
      ok = EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, der.data(), &length, kDigest, 32) == 1;
    } else if (operation == 1) {
      ok = EVP_PKEY_verify_init(ctx) == 1 &&
           EVP_PKEY_verify(ctx, expected, static_cast<size_t>(expected_length), kDigest, 32) == 1;
    } else {
      ok = EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, Peer().pkey) == 1 &&
           EVP_PKEY_derive(ctx, der.data(), &length) == 1;
    }
    EVP_PKEY_CTX_free(ctx);
    if (!ok) state.SkipWithError("openssl");
    benchmark::DoNotOptimize(der.data());
  }
  OPENSSL_free(expected);
}

void BM_P256Sign_Cng(benchmark::State& state) { Run<CngEccKey>(state, 0); }
void BM_P256Sign_OpenSsl(benchmark::State& state) { OpenSsl(state, 0); }
void BM_P256Sign_Internal(benchmark::State& state) { Run<InternalEccKey>(state, 0); }
void BM_P256Verify_Cng(benchmark::State& state) { Run<CngEccKey>(state, 1); }
void BM_P256Verify_OpenSsl(benchmark::State& state) { OpenSsl(state, 1); }
void BM_P256Verify_Internal(benchmark::State& state) { Run<InternalEccKey>(state, 1); }
void BM_P256Ecdh_Cng(benchmark::State& state) { Run<CngEccKey>(state, 2); }
void BM_P256Ecdh_OpenSsl(benchmark::State& state) { OpenSsl(state, 2); }
void BM_P256Ecdh_Internal(benchmark::State& state) { Run<InternalEccKey>(state, 2); }

}  // namespace

BENCHMARK(BM_P256Sign_Cng);
BENCHMARK(BM_P256Sign_OpenSsl);
BENCHMARK(BM_P256Sign_Internal);
BENCHMARK(BM_P256Verify_Cng);
BENCHMARK(BM_P256Verify_OpenSsl);
BENCHMARK(BM_P256Verify_Internal);
BENCHMARK(BM_P256Ecdh_Cng);
BENCHMARK(BM_P256Ecdh_OpenSsl);
BENCHMARK(BM_P256Ecdh_Internal);
