// Modular exponentiation by an odd 2048-bit and 4096-bit modulus with a full-size exponent, ours (on
// mulx/adx where the processor has them, and forced onto the portable products) next to OpenSSL's
// BN_mod_exp_mont in the same run, and a 1024-bit random prime. The prime searches test a different
// number of rounds, each stated in its label: ours 4 Fermat rounds at 1024 bits, OpenSSL 3's
// BN_generate_prime_ex 64 Miller-Rabin rounds (its count for checks = 0 up to 2048 bits).
#include <benchmark/benchmark.h>
#include <openssl/bn.h>

#include <random>
#include <vector>

#include "crypto/bn/big_int.h"
#include "crypto/bn/montgomery.h"
#include "crypto/rand/random.h"

namespace {

using velmora::crypto::BigInt;

// Operands: the same random bytes for both sides; the modulus odd with its top bit set.
struct Operands {
  std::vector<uint8_t> base, exponent, modulus;
  explicit Operands(int bits) {
    std::mt19937 rng(static_cast<unsigned>(bits));
    const size_t n = static_cast<size_t>(bits / 8);
    for (auto* v : {&base, &exponent, &modulus}) {
      v->resize(n);
      for (auto& b : *v) b = static_cast<uint8_t>(rng());
    }
    modulus[0] |= 0x80;
    modulus[n - 1] |= 1;
    base[0] &= 0x7F;
    exponent[0] |= 0x80;
  }
};

// RunModPow times ModPow of the operands' base and modulus with the given exponent (or theirs).
void RunModPow(benchmark::State& state, const Operands& ops, bool exponent_65537) {
  BigInt base, e, m, out;
  const auto n = static_cast<int32_t>(ops.modulus.size());
  const int e_rc = exponent_65537 ? BigInt::FromInt64(65537, e) : BigInt::FromBytes(ops.exponent.data(), n, 1, e);
  if (BigInt::FromBytes(ops.base.data(), n, 1, base) != 0 || e_rc != 0 ||
      BigInt::FromBytes(ops.modulus.data(), n, 1, m) != 0) {
    state.SkipWithError("operands");
  }
  for (auto _ : state) {
    if (BigInt::ModPow(base, e, m, out) != 0) state.SkipWithError("ModPow");
    benchmark::DoNotOptimize(out.Words());
  }
}

void OursModPow(benchmark::State& state) { RunModPow(state, Operands(static_cast<int>(state.range(0))), false); }

void OursModPowPortable(benchmark::State& state) {
  const velmora::crypto::bigint::internal::PortableMontgomeryScope portable;
  RunModPow(state, Operands(static_cast<int>(state.range(0))), false);
}

void OpenSslModExpMont(benchmark::State& state) {
  const Operands ops(static_cast<int>(state.range(0)));
  const int n = static_cast<int>(ops.modulus.size());
  BIGNUM* base = BN_bin2bn(ops.base.data(), n, nullptr);
  BIGNUM* e = BN_bin2bn(ops.exponent.data(), n, nullptr);
  BIGNUM* m = BN_bin2bn(ops.modulus.data(), n, nullptr);
  BIGNUM* out = BN_new();
  BN_CTX* ctx = BN_CTX_new();
  BN_MONT_CTX* mont = BN_MONT_CTX_new();
  BN_MONT_CTX_set(mont, m, ctx);
  BN_set_flags(e, BN_FLG_CONSTTIME);
  for (auto _ : state) {
    if (BN_mod_exp_mont(out, base, e, m, ctx, mont) != 1) state.SkipWithError("BN_mod_exp_mont");
    benchmark::DoNotOptimize(out);
  }
  BN_MONT_CTX_free(mont);
  BN_CTX_free(ctx);
  BN_free(out);
  BN_free(m);
  BN_free(e);
  BN_free(base);
}

void OursModPow65537(benchmark::State& state) { RunModPow(state, Operands(2048), true); }

void OursRandomPrime1024(benchmark::State& state) {
  state.SetLabel("4 Fermat rounds");
  velmora::crypto::RandomContext context;
  BigInt prime;
  for (auto _ : state) {
    if (BigInt::RandomPrime(1024, 100, context, prime) != 0) state.SkipWithError("RandomPrime");
    benchmark::DoNotOptimize(prime.Words());
  }
}

// The range RSA key generation searches for 1024-bit halves: [182 * 2^504, 2^512 - 1].
void OursRandomPrimeInRange512(benchmark::State& state) {
  velmora::crypto::RandomContext context;
  BigInt low, high, prime;
  if (BigInt::FromInt64(182, low) != 0 || BigInt::ShiftLeft(low, 504, low) != 0 ||
      BigInt::ShiftLeft(velmora::crypto::BigIntOne(), 512, high) != 0 ||
      BigInt::Subtract(high, velmora::crypto::BigIntOne(), high) != 0) {
    state.SkipWithError("range");
  }
  for (auto _ : state) {
    int found = 0;
    if (velmora::crypto::RandomPrimeInRange(low, high, velmora::crypto::BigIntZero(), velmora::crypto::BigIntOne(),
                                            context, prime, &found) != 0 || found != 1) {
      state.SkipWithError("RandomPrimeInRange");
    }
    benchmark::DoNotOptimize(prime.Words());
  }
}

void OpenSslGeneratePrime1024(benchmark::State& state) {
  state.SetLabel("64 Miller-Rabin rounds");
  BIGNUM* prime = BN_new();
  for (auto _ : state) {
    if (BN_generate_prime_ex(prime, 1024, 0, nullptr, nullptr, nullptr) != 1) state.SkipWithError("generate");
    benchmark::DoNotOptimize(prime);
  }
  BN_free(prime);
}

}  // namespace

BENCHMARK(OursModPow)->Arg(2048)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(OursModPowPortable)->Arg(2048)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSslModExpMont)->Arg(2048)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(OursModPow65537)->Unit(benchmark::kMicrosecond);
BENCHMARK(OursRandomPrime1024)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(OursRandomPrimeInRange512)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(OpenSslGeneratePrime1024)->Unit(benchmark::kMillisecond)->Iterations(20);
