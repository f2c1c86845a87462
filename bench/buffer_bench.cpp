// Buffer against std::string doing the same work: appending short pieces, replacing the content, and
// searching a text.
#include <string>

#include <benchmark/benchmark.h>

#include "core/buffer.h"

namespace {

using velmora::core::Buffer;

constexpr const char kPiece[] = "characteristic-";
constexpr int kPieceLength = sizeof kPiece - 1;

void BM_BufferAppend(benchmark::State& state) {
  const int pieces = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Buffer b;
    for (int i = 0; i < pieces; ++i) (void)b.Append(kPiece, kPieceLength);
    benchmark::DoNotOptimize(b.Data());
  }
  state.SetItemsProcessed(state.iterations() * pieces);
}

void BM_StringAppend(benchmark::State& state) {
  const int pieces = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::string s;
    for (int i = 0; i < pieces; ++i) s.append(kPiece, kPieceLength);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetItemsProcessed(state.iterations() * pieces);
}

void BM_BufferSetData(benchmark::State& state) {
  const std::string source(static_cast<size_t>(state.range(0)), 'v');
  Buffer b;
  for (auto _ : state) {
    (void)b.SetData(static_cast<int32_t>(source.size()), source.data());
    benchmark::DoNotOptimize(b.Data());
  }
}

void BM_StringAssign(benchmark::State& state) {
  const std::string source(static_cast<size_t>(state.range(0)), 'v');
  std::string s;
  for (auto _ : state) {
    s.assign(source.data(), source.size());
    benchmark::DoNotOptimize(s.data());
  }
}

std::string Haystack(size_t size) {
  std::string h;
  while (h.size() < size) h += "00002A00-0000-1000-8000-00805F9B34FB,";
  h.resize(size);
  return h + "0000FFF1";
}

void BM_BufferFind(benchmark::State& state) {
  const std::string h = Haystack(static_cast<size_t>(state.range(0)));
  Buffer b;
  (void)b.SetData(static_cast<int32_t>(h.size()), h.data());
  for (auto _ : state) benchmark::DoNotOptimize(b.Find("0000FFF1", 0));
}

void BM_StringFind(benchmark::State& state) {
  const std::string h = Haystack(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(h.find("0000FFF1", 0));
}

BENCHMARK(BM_BufferAppend)->Arg(4)->Arg(64)->Arg(1024);
BENCHMARK(BM_StringAppend)->Arg(4)->Arg(64)->Arg(1024);
BENCHMARK(BM_BufferSetData)->Arg(16)->Arg(99)->Arg(4096);
BENCHMARK(BM_StringAssign)->Arg(16)->Arg(99)->Arg(4096);
BENCHMARK(BM_BufferFind)->Arg(64)->Arg(4096);
BENCHMARK(BM_StringFind)->Arg(64)->Arg(4096);

}  // namespace
