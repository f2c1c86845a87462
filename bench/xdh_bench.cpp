// X25519 and X448 shared-secret computation (the ladder) and public-key derivation (the fixed-base
// path) next to OpenSSL's EVP_PKEY_derive and raw-key public derivation with the same keys.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>

#include "crypto/curve25519/x25519_x448.h"
#include "crypto/curve25519/x25519_x448_internal.h"

namespace {

using namespace velmora::crypto;

using XdhFn = int (*)(const uint8_t*, int32_t, const uint8_t*, int32_t, uint8_t*, int32_t);

// Fixture holds a private key, a peer's public key and their OpenSSL forms for one curve.
struct Fixture {
  int32_t size;
  uint8_t secret[56], peer_secret[56], peer_public[56], base[56] = {};
  EVP_PKEY* key = nullptr;
  EVP_PKEY* peer = nullptr;
  Fixture(int type, int32_t bytes, uint8_t base_byte, XdhFn fn) : size(bytes) {
    for (int i = 0; i < 56; ++i) {
      secret[i] = static_cast<uint8_t>(i * 29 + 1);
      peer_secret[i] = static_cast<uint8_t>(i * 13 + 7);
    }
    base[0] = base_byte;
    if (fn(peer_secret, size, base, size, peer_public, size) != 0) std::abort();
    key = EVP_PKEY_new_raw_private_key(type, nullptr, secret, static_cast<size_t>(size));
    peer = EVP_PKEY_new_raw_public_key(type, nullptr, peer_public, static_cast<size_t>(size));
    if (key == nullptr || peer == nullptr) std::abort();
  }
};

const Fixture& Curve25519() {
  static const Fixture fixture(EVP_PKEY_X25519, kX25519Bytes, 9, X25519);
  return fixture;
}

const Fixture& Curve448() {
  static const Fixture fixture(EVP_PKEY_X448, kX448Bytes, 5, X448);
  return fixture;
}

void Ours(benchmark::State& state, const Fixture& f, XdhFn fn, bool public_key) {
  uint8_t out[56];
  const uint8_t* u = public_key ? f.base : f.peer_public;
  for (auto _ : state) {
    if (fn(f.secret, f.size, u, f.size, out, f.size) != 0) state.SkipWithError("ours");
    benchmark::DoNotOptimize(out);
  }
}

void OpensslDerive(benchmark::State& state, const Fixture& f) {
  uint8_t out[56];
  for (auto _ : state) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(f.key, nullptr);
    size_t length = sizeof out;
    if (EVP_PKEY_derive_init(ctx) != 1 || EVP_PKEY_derive_set_peer(ctx, f.peer) != 1 ||
        EVP_PKEY_derive(ctx, out, &length) != 1) {
      state.SkipWithError("openssl derive");
    }
    EVP_PKEY_CTX_free(ctx);
    benchmark::DoNotOptimize(out);
  }
}

void OpensslPublic(benchmark::State& state, const Fixture& f, int type) {
  uint8_t out[56];
  for (auto _ : state) {
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(type, nullptr, f.secret, static_cast<size_t>(f.size));
    size_t length = sizeof out;
    if (key == nullptr || EVP_PKEY_get_raw_public_key(key, out, &length) != 1) state.SkipWithError("openssl public");
    EVP_PKEY_free(key);
    benchmark::DoNotOptimize(out);
  }
}

void X25519Ours(benchmark::State& s) { Ours(s, Curve25519(), X25519, false); }
// The same ladder on the older fields: radix 2^51 (the path without BMI2) and radix 2^25.5.
void X25519OursRadix51(benchmark::State& s) {
  internal::ForceLadderField(internal::LadderField::kRadix51);
  Ours(s, Curve25519(), X25519, false);
  internal::ForceLadderField(internal::LadderField::kFastest);
}
void X25519OursRadix25(benchmark::State& s) {
  internal::ForceLadderField(internal::LadderField::kRadix25);
  Ours(s, Curve25519(), X25519, false);
  internal::ForceLadderField(internal::LadderField::kFastest);
}
void X25519Openssl(benchmark::State& s) { OpensslDerive(s, Curve25519()); }
void X25519PublicOurs(benchmark::State& s) { Ours(s, Curve25519(), X25519, true); }
void X25519PublicOpenssl(benchmark::State& s) { OpensslPublic(s, Curve25519(), EVP_PKEY_X25519); }
void X448Ours(benchmark::State& s) { Ours(s, Curve448(), X448, false); }
void X448Openssl(benchmark::State& s) { OpensslDerive(s, Curve448()); }
void X448PublicOurs(benchmark::State& s) { Ours(s, Curve448(), X448, true); }
void X448PublicOpenssl(benchmark::State& s) { OpensslPublic(s, Curve448(), EVP_PKEY_X448); }

BENCHMARK(X25519Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(X25519OursRadix51)->Unit(benchmark::kMicrosecond);
BENCHMARK(X25519OursRadix25)->Unit(benchmark::kMicrosecond);
BENCHMARK(X25519Openssl)->Unit(benchmark::kMicrosecond);
BENCHMARK(X25519PublicOurs)->Unit(benchmark::kMicrosecond);
BENCHMARK(X25519PublicOpenssl)->Unit(benchmark::kMicrosecond);
BENCHMARK(X448Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(X448Openssl)->Unit(benchmark::kMicrosecond);
BENCHMARK(X448PublicOurs)->Unit(benchmark::kMicrosecond);
BENCHMARK(X448PublicOpenssl)->Unit(benchmark::kMicrosecond);

}  // namespace
