// Base64 throughput of the library next to OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock on the same
// 1 MiB of random bytes. Bytes processed are counted as the 1 MiB of binary data in every case, so
// the MB/s figures compare directly.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/base64.h"

namespace {

constexpr int32_t kDataSize = 1 << 20;
// Encoded text is appended behind a header longer than the inline storage, so that the buffer keeps
// its heap block from one iteration to the next and only the encoding is measured.
constexpr int32_t kHeader = 128;

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(kDataSize);
    std::mt19937 random(1);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  }();
  return data;
}

const std::string& EncodedText() {
  static const std::string text = [] {
    velmora::core::Buffer out;
    if (velmora::core::Base64Encode(out, Data().data(), kDataSize, 0, 64, 0) != 0) return std::string();
    return std::string(out.Data(), static_cast<size_t>(out.Length()));
  }();
  return text;
}

void BM_VelmoraEncode(benchmark::State& state) {
  velmora::core::Buffer out;
  if (out.Resize(kHeader + kDataSize / 3 * 4 + 8) != 0) state.SkipWithError("out of memory");
  for (auto _ : state) {
    (void)out.SetData(kHeader, nullptr);
    if (velmora::core::Base64Encode(out, Data().data(), kDataSize, 0, 64, 0) != 0) state.SkipWithError("encode");
    benchmark::DoNotOptimize(out.Data());
  }
  state.SetBytesProcessed(state.iterations() * kDataSize);
}
BENCHMARK(BM_VelmoraEncode);

void BM_VelmoraEncodeWrapped(benchmark::State& state) {
  velmora::core::Buffer out;
  if (out.Resize(kHeader + kDataSize / 3 * 4 * 2) != 0) state.SkipWithError("out of memory");
  for (auto _ : state) {
    (void)out.SetData(kHeader, nullptr);
    if (velmora::core::Base64Encode(out, Data().data(), kDataSize, 1, 64, 0) != 0) state.SkipWithError("encode");
    benchmark::DoNotOptimize(out.Data());
  }
  state.SetBytesProcessed(state.iterations() * kDataSize);
}
BENCHMARK(BM_VelmoraEncodeWrapped);

void BM_OpenSslEncodeBlock(benchmark::State& state) {
  std::vector<unsigned char> out(kDataSize / 3 * 4 + 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), Data().data(), kDataSize));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kDataSize);
}
BENCHMARK(BM_OpenSslEncodeBlock);

// Decoding is in place, so each iteration first copies the text into the buffer; the copy is not timed.
void BM_VelmoraDecode(benchmark::State& state) {
  const std::string& text = EncodedText();
  velmora::core::Buffer buffer;
  for (auto _ : state) {
    state.PauseTiming();
    (void)buffer.SetData(static_cast<int32_t>(text.size()), text.data());
    state.ResumeTiming();
    if (velmora::core::Base64Decode(buffer, 0, 1, 0) != 0) state.SkipWithError("decode");
    benchmark::DoNotOptimize(buffer.Data());
  }
  state.SetBytesProcessed(state.iterations() * kDataSize);
}
BENCHMARK(BM_VelmoraDecode);

void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::string& text = EncodedText();
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                             static_cast<int>(text.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kDataSize);
}
BENCHMARK(BM_OpenSslDecodeBlock);

}  // namespace
