// ECDH on P-256: our raw agreement and the engine's Agree with SHA-256 next to OpenSSL's derivation on
// the same keys in the same run. Ours checks on every call that the peer's point lies on the curve.
// OpenSSL is measured in both forms: with EVP_PKEY_derive_set_peer, which runs the full public-key
// check (on the curve and n Q at infinity, one more scalar multiplication) on every call, and with the
// peer check switched off, which leaves the on-curve check OpenSSL made once when it imported the key.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>

#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ecc_engine.h"

namespace {

using velmora::crypto::EccEngine;
using velmora::crypto::EcKeyParams;

// Keys holds two P-256 key pairs made by our generator, and the same keys imported into OpenSSL.
struct Keys {
  EccEngine own;
  EcKeyParams peer;
  EVP_PKEY* openssl_own = nullptr;
  EVP_PKEY* openssl_peer = nullptr;

  static EVP_PKEY* Import(const EcKeyParams& key) {
    // SEC 1 ECPrivateKey: SEQUENCE { 1, OCTET STRING d, [0] prime256v1, [1] BIT STRING 04 x y }.
    static constexpr uint8_t kHead[] = {0x30, 0x77, 0x02, 0x01, 0x01, 0x04, 0x20};
    static constexpr uint8_t kCurve[] = {0xA0, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07,
                                         0xA1, 0x44, 0x03, 0x42, 0x00, 0x04};
    uint8_t der[sizeof kHead + 32 + sizeof kCurve + 64];
    std::memcpy(der, kHead, sizeof kHead);
    std::memcpy(der + sizeof kHead, key.D.Bytes(), 32);
    std::memcpy(der + sizeof kHead + 32, kCurve, sizeof kCurve);
    std::memcpy(der + sizeof kHead + 32 + sizeof kCurve, key.X.Bytes(), 32);
    std::memcpy(der + sizeof kHead + 64 + sizeof kCurve, key.Y.Bytes(), 32);
    const unsigned char* p = der;
    return d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(sizeof der));
  }

  Keys() {
    EcKeyParams own_key;
    (void)velmora::crypto::GenerateEcKey(0, own_key);
    (void)velmora::crypto::GenerateEcKey(0, peer);
    (void)own.SetKeyParams(own_key);
    openssl_own = Import(own_key);
    openssl_peer = Import(peer);
  }
  ~Keys() {
    EVP_PKEY_free(openssl_own);
    EVP_PKEY_free(openssl_peer);
  }
};

Keys& P256() {
  static Keys keys;
  return keys;
}

void BM_P256_OursRawAgreement(benchmark::State& state) {
  Keys& keys = P256();
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)velmora::crypto::EcdhRawAgreement(keys.own.Params.D, keys.peer, 0, out);
    benchmark::DoNotOptimize(out.Data());
  }
  if (out.Length() != 32) state.SkipWithError("no shared secret");
}

void BM_P256_OursAgreeSha256(benchmark::State& state) {
  Keys& keys = P256();
  velmora::core::Buffer out;
  for (auto _ : state) {
    (void)keys.own.Agree(keys.peer, 1, nullptr, 0, nullptr, 0, nullptr, 0, out);
    benchmark::DoNotOptimize(out.Data());
  }
  if (out.Length() != 32) state.SkipWithError("no derived key");
}

void OpenSslDerive(benchmark::State& state, int validate_peer) {
  Keys& keys = P256();
  if (keys.openssl_own == nullptr || keys.openssl_peer == nullptr) {
    state.SkipWithError("OpenSSL did not take the keys");
    return;
  }
  unsigned char secret[32];
  for (auto _ : state) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(keys.openssl_own, nullptr);
    size_t length = sizeof secret;
    EVP_PKEY_derive_init(ctx);
    if (EVP_PKEY_derive_set_peer_ex(ctx, keys.openssl_peer, validate_peer) != 1) state.SkipWithError("peer refused");
    EVP_PKEY_derive(ctx, secret, &length);
    EVP_PKEY_CTX_free(ctx);
    benchmark::DoNotOptimize(secret);
  }
}

void BM_P256_OpenSslDeriveFullPeerCheck(benchmark::State& state) { OpenSslDerive(state, 1); }
void BM_P256_OpenSslDeriveImportCheckOnly(benchmark::State& state) { OpenSslDerive(state, 0); }

BENCHMARK(BM_P256_OursRawAgreement)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OursAgreeSha256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OpenSslDeriveFullPeerCheck)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_P256_OpenSslDeriveImportCheckOnly)->Unit(benchmark::kMicrosecond);

}  // namespace
