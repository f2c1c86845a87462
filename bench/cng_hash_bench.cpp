// CngHash (the platform hash object over the crypto modules' BCrypt hash entry points) next to OpenSSL's
// EVP called directly, SHA-256 at 64 bytes and 16 KiB: each iteration hashes one message and resets. Also
// the default-mode one-shot ComputeHash of 64 bytes, which runs on the platform while its tables are
// loaded, next to the same call kept on the library's own digest by UseInternalCryptoAPI.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/bench_helpers.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/providers/cng_hash.h"
#include "crypto/providers/provider_tables.h"

namespace {

using namespace velmora;
using namespace velmora::crypto;

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(16384);
    std::mt19937 random(1);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  }();
  return data;
}

void BM_Sha256_Cng(benchmark::State& state) {
  CryptoProvidersStaticInit();
  const auto length = static_cast<int32_t>(state.range(0));
  {
    CngHash hash;
    if (hash.SetAlgorithm(kCngSha256) != 0) state.SkipWithError("select");
    for (auto _ : state) {
      if (hash.HashData(Data().data(), length, 1) != 0) state.SkipWithError("hash");
      benchmark::DoNotOptimize(hash.Digest());
      (void)hash.Reset();
    }
  }
  CryptoProvidersStaticDestroy();
  state.SetBytesProcessed(state.iterations() * length);
}

void OneShot(benchmark::State& state, bool internal) {
  bench::SetInternalOnly(internal);
  CryptoProvidersStaticInit();
  core::Buffer out;
  for (auto _ : state) {
    if (ComputeHash(kEngineSha256, Data().data(), 64, out) != 0) state.SkipWithError("hash");
    benchmark::DoNotOptimize(out.Data());
  }
  CryptoProvidersStaticDestroy();
  bench::SetInternalOnly(false);
  state.SetBytesProcessed(state.iterations() * 64);
}

void BM_Sha256_OpenSsl(benchmark::State& state) { bench::EvpDigestLoop(state, "SHA2-256", Data().data()); }

void BM_ComputeHash64_DefaultMode(benchmark::State& state) { OneShot(state, false); }
void BM_ComputeHash64_Internal(benchmark::State& state) { OneShot(state, true); }

BENCHMARK(BM_Sha256_Cng)->Arg(64)->Arg(16384);
BENCHMARK(BM_Sha256_OpenSsl)->Arg(64)->Arg(16384);
BENCHMARK(BM_ComputeHash64_DefaultMode);
BENCHMARK(BM_ComputeHash64_Internal);

}  // namespace
