// The random source next to OpenSSL in the same run: RandomBytes through the platform's BCryptGenRandom
// (the library's start-up loads it) against RAND_bytes, at 32 B and 16 KiB, and HashDrbg::Generate of
// 1 KiB with SHA-256 against OpenSSL's HASH-DRBG (automatic reseeding off on both sides), ours with the
// SHA extensions where the CPU has them and on the portable block function. OpenSSL's portable figures come
// first, from a copy of the program run with OpenSSL masked.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <vector>

#include "component/socket_base.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/rand/hash_drbg.h"
#include "crypto/rand/random.h"
#include "bench/bench_helpers.h"

namespace {

VELMORA_BENCH_MASKED_OPENSSL()

using namespace velmora::crypto;

void StartLibrary() {
  static const bool started = [] {
    velmora::component::SocketBase::StaticInit();
    return true;
  }();
  (void)started;
}

void OursRandomBytes(benchmark::State& state) {
  StartLibrary();
  const auto length = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> out(static_cast<size_t>(length));
  RandomContext context;
  for (auto _ : state) {
    RandomBytes(context, out.data(), length);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * length);
}

void OpenSslRandBytes(benchmark::State& state) {
  const auto length = static_cast<int>(state.range(0));
  std::vector<uint8_t> out(static_cast<size_t>(length));
  for (auto _ : state) {
    if (RAND_bytes(out.data(), length) != 1) state.SkipWithError("RAND_bytes");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * length);
}

void OursHashDrbg(benchmark::State& state, bool portable) {
  StartLibrary();
  SetPortableDigests(portable);
  HashDrbg drbg;
  if (drbg.Instantiate(kHashSha256, nullptr, 0, nullptr, 256, 0) != 0) state.SkipWithError("instantiate");
  std::vector<uint8_t> out(1024);
  for (auto _ : state) {
    if (drbg.Generate(out.data(), 0, 1024, nullptr, 0) != 0) state.SkipWithError("generate");
    benchmark::DoNotOptimize(out.data());
  }
  SetPortableDigests(false);
  state.SetBytesProcessed(state.iterations() * 1024);
}

void OpenSslHashDrbg(benchmark::State& state) {
  EVP_RAND* rand = EVP_RAND_fetch(nullptr, "HASH-DRBG", nullptr);
  EVP_RAND_CTX* drbg = EVP_RAND_CTX_new(rand, nullptr);
  char digest[] = "SHA256";
  unsigned int no_reseed = 0;
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_DRBG_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_uint(OSSL_DRBG_PARAM_RESEED_REQUESTS, &no_reseed),
                               OSSL_PARAM_construct_end()};
  if (drbg == nullptr || EVP_RAND_instantiate(drbg, 256, 0, nullptr, 0, params) != 1) {
    state.SkipWithError("HASH-DRBG");
  }
  std::vector<uint8_t> out(1024);
  for (auto _ : state) {
    if (EVP_RAND_generate(drbg, out.data(), out.size(), 256, 0, nullptr, 0) != 1) state.SkipWithError("generate");
    benchmark::DoNotOptimize(out.data());
  }
  EVP_RAND_CTX_free(drbg);
  EVP_RAND_free(rand);
  state.SetBytesProcessed(state.iterations() * 1024);
}

BENCHMARK(OursRandomBytes)->Arg(32)->Arg(16384);
BENCHMARK(OpenSslRandBytes)->Arg(32)->Arg(16384);
BENCHMARK_CAPTURE(OursHashDrbg, sha_ext, false);
BENCHMARK_CAPTURE(OursHashDrbg, portable, true);
BENCHMARK(OpenSslHashDrbg);

}  // namespace
