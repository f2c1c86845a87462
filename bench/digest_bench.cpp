// Digest and HMAC throughput of the library next to OpenSSL's EVP on the same bytes, at 64 B, 1 KiB
// and 16 KiB. "Portable" runs SHA-1 and SHA-256 on their portable block functions even where the SHA
// extensions exist, SHA-512 on its portable one even where AVX2 and BMI2 exist, SHA3-256 on its
// baseline rounds even where BMI1/BMI2 exist. OpenSSL's portable figures come first, from a copy of
// the program run with OpenSSL masked.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/bench_helpers.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/objects/hash_objects.h"

namespace {

VELMORA_BENCH_MASKED_OPENSSL()

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

void Ours(benchmark::State& state, int32_t id, bool portable) {
  SetPortableDigests(portable);
  const auto length = static_cast<uint32_t>(state.range(0));
  HashCtx ctx;
  if (ctx.SetAlgorithm(id) != 0) state.SkipWithError("select");
  for (auto _ : state) {
    (void)ctx.Reset();
    if (ctx.Update(Data().data(), length) != 0 || ctx.Final() != 0) state.SkipWithError("hash");
    benchmark::DoNotOptimize(ctx.Output().Data());
  }
  SetPortableDigests(false);
  state.SetBytesProcessed(state.iterations() * length);
}

void OpenSsl(benchmark::State& state, const char* name) { velmora::bench::EvpDigestLoop(state, name, Data().data()); }

void Blake2bOurs(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  Blake2bState blake2b;
  if (blake2b.Configure(64, nullptr, 0) != 0) state.SkipWithError("configure");
  for (auto _ : state) {
    blake2b.Update(Data().data(), length);
    benchmark::DoNotOptimize(blake2b.Final());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
}

#define VELMORA_DIGEST_BENCH(label, id, openssl_name)                                                         \
  void BM_##label##_Ours(benchmark::State& state) { Ours(state, id, false); }                                 \
  void BM_##label##_OpenSsl(benchmark::State& state) { OpenSsl(state, openssl_name); }                         \
  BENCHMARK(BM_##label##_Ours)->Arg(64)->Arg(1024)->Arg(16384);                                               \
  BENCHMARK(BM_##label##_OpenSsl)->Arg(64)->Arg(1024)->Arg(16384);

VELMORA_DIGEST_BENCH(Sha1, kHashSha1, "SHA1")
VELMORA_DIGEST_BENCH(Sha256, kHashSha256, "SHA256")
VELMORA_DIGEST_BENCH(Sha512, kHashSha512, "SHA512")
VELMORA_DIGEST_BENCH(Sha3_256, kHashSha3_256, "SHA3-256")
VELMORA_DIGEST_BENCH(Md5, kHashMd5, "MD5")

void BM_Sha1_OursPortable(benchmark::State& state) { Ours(state, kHashSha1, true); }
void BM_Sha256_OursPortable(benchmark::State& state) { Ours(state, kHashSha256, true); }
BENCHMARK(BM_Sha1_OursPortable)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_Sha256_OursPortable)->Arg(64)->Arg(1024)->Arg(16384);
void BM_Sha512_OursPortable(benchmark::State& state) { Ours(state, kHashSha512, true); }
BENCHMARK(BM_Sha512_OursPortable)->Arg(64)->Arg(1024)->Arg(16384);
void BM_Sha3_256_OursPortable(benchmark::State& state) { Ours(state, kHashSha3_256, true); }
BENCHMARK(BM_Sha3_256_OursPortable)->Arg(64)->Arg(1024)->Arg(16384);

void BM_Blake2b_Ours(benchmark::State& state) { Blake2bOurs(state); }
void BM_Blake2b_OpenSsl(benchmark::State& state) { OpenSsl(state, "BLAKE2B-512"); }
BENCHMARK(BM_Blake2b_Ours)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_Blake2b_OpenSsl)->Arg(64)->Arg(1024)->Arg(16384);

// HMAC-SHA256 over 64-byte messages with the key set once; each iteration authenticates one message.
void HmacOurs(benchmark::State& state, bool portable) {
  SetPortableDigests(portable);
  InternalHmac hmac;
  const uint8_t key[32] = {1, 2, 3};
  if (hmac.SetKey(kHashSha256, key, sizeof key) != 0) state.SkipWithError("key");
  for (auto _ : state) {
    if (hmac.Update(Data().data(), 64, 1) != 0) state.SkipWithError("hmac");
    benchmark::DoNotOptimize(hmac.Digest());
  }
  SetPortableDigests(false);
  state.SetBytesProcessed(state.iterations() * 64);
}
void BM_HmacSha256_Ours(benchmark::State& state) { HmacOurs(state, false); }
void BM_HmacSha256_OursPortable(benchmark::State& state) { HmacOurs(state, true); }
BENCHMARK(BM_HmacSha256_Ours);
BENCHMARK(BM_HmacSha256_OursPortable);

void BM_HmacSha256_OpenSsl(benchmark::State& state) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
  const unsigned char key[32] = {1, 2, 3};
  if (EVP_MAC_init(ctx, key, sizeof key, params) != 1) state.SkipWithError("init");
  unsigned char out[32];
  size_t out_length = 0;
  for (auto _ : state) {
    // A null key restarts the MAC with the key already set.
    if (EVP_MAC_init(ctx, nullptr, 0, nullptr) != 1 || EVP_MAC_update(ctx, Data().data(), 64) != 1 ||
        EVP_MAC_final(ctx, out, &out_length, sizeof out) != 1) {
      state.SkipWithError("openssl");
    }
    benchmark::DoNotOptimize(out);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_HmacSha256_OpenSsl);

}  // namespace
