// DER reading and re-encoding over the Mozilla root certificates (Debian's ca-certificates), next to
// OpenSSL on the same bytes. Times are per pass over all roots; divide by the "certs" counter for a
// per-certificate figure. The header walks do the same work on both sides; the OpenSSL runs whose names
// end in "_UnlikeWork" do different work from their neighbours and are there for scale only: d2i_X509
// decodes into typed structures (not an element tree), and i2d_re_X509_tbs encodes the to-be-signed part
// only, from those structures (not the whole certificate from an element tree).
#include <benchmark/benchmark.h>
#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"

namespace {

using velmora::pki::Asn1Element;

const std::vector<std::string>& Roots() {
  static const std::vector<std::string> roots = [] {
    std::vector<std::string> out;
    std::vector<std::filesystem::path> paths;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/share/ca-certificates/mozilla", ec)) {
      paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
      FILE* f = std::fopen(path.c_str(), "r");
      if (f == nullptr) continue;
      X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
      std::fclose(f);
      if (x == nullptr) continue;
      unsigned char* der = nullptr;
      const int n = i2d_X509(x, &der);
      if (n > 0) out.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(n));
      OPENSSL_free(der);
      X509_free(x);
    }
    return out;
  }();
  return roots;
}

void Count(benchmark::State& state, int64_t repeat = 1) {
  int64_t bytes = 0;
  for (const auto& r : Roots()) bytes += static_cast<int64_t>(r.size());
  state.counters["certs"] = static_cast<double>(Roots().size()) * static_cast<double>(repeat);
  state.SetBytesProcessed(state.iterations() * bytes * repeat);
}

// Every element, descending into constructed ones, with OpenSSL's header reader.
int64_t OpensslWalk(const unsigned char* p, long length) {
  int64_t elements = 0;
  const unsigned char* end = p + length;
  while (p < end) {
    long len = 0;
    int tag = 0, cls = 0;
    const unsigned char* start = p;
    const int ret = ASN1_get_object(&p, &len, &tag, &cls, end - start);
    if (ret & 0x80) return -1;
    ++elements;
    if (!(ret & V_ASN1_CONSTRUCTED)) p += len;
  }
  return elements;
}

// The same walk with DerWalkHeader.
int64_t DerWalk(const uint8_t* bytes, int32_t length) {
  int64_t elements = 0;
  int32_t at = 0;
  while (at < length) {
    uint8_t tag = 0;
    int32_t content_start = 0, element_end = 0;
    if (!velmora::pki::DerWalkHeader(bytes, at, length, &tag, &content_start, nullptr, nullptr, &element_end)) return -1;
    ++elements;
    at = (tag & 0x20) ? content_start : element_end;
  }
  return elements;
}

void BM_OpensslGetObjectWalk(benchmark::State& state) {
  int64_t elements = 0;
  for (auto _ : state) {
    elements = 0;
    for (const auto& r : Roots()) elements += OpensslWalk(reinterpret_cast<const unsigned char*>(r.data()), long(r.size()));
    benchmark::DoNotOptimize(elements);
  }
  state.counters["elements"] = static_cast<double>(elements);
  Count(state);
}
BENCHMARK(BM_OpensslGetObjectWalk);

void BM_DerWalkHeaderWalk(benchmark::State& state) {
  int64_t elements = 0;
  for (auto _ : state) {
    elements = 0;
    for (const auto& r : Roots()) elements += DerWalk(reinterpret_cast<const uint8_t*>(r.data()), int32_t(r.size()));
    benchmark::DoNotOptimize(elements);
  }
  state.counters["elements"] = static_cast<double>(elements);
  Count(state);
}
BENCHMARK(BM_DerWalkHeaderWalk);

// The offset walkers: enter constructed elements, skip primitive ones.
void BM_DerSkipEnterWalk(benchmark::State& state) {
  std::vector<velmora::core::Buffer> buffers(Roots().size());
  for (size_t i = 0; i < Roots().size(); ++i) (void)buffers[i].SetData(int32_t(Roots()[i].size()), Roots()[i].data());
  int64_t elements = 0;
  for (auto _ : state) {
    elements = 0;
    for (const auto& b : buffers) {
      int32_t at = 0;
      while (at < b.Length()) {
        const bool constructed = (b.Bytes()[at] & 0x20) != 0;
        if ((constructed ? velmora::pki::DerEnterElement(b, &at) : velmora::pki::DerSkipElement(b, &at)) != 0) break;
        ++elements;
      }
    }
    benchmark::DoNotOptimize(elements);
  }
  state.counters["elements"] = static_cast<double>(elements);
  Count(state);
}
BENCHMARK(BM_DerSkipEnterWalk);

// The tree of every root and its destruction; range(0) is the releaseBytes flag.
void BM_ParseChildrenAndFree(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& r : Roots()) {
      Asn1Element root;
      (void)root.SetData(int32_t(r.size()), r.data());
      if (root.ParseChildren(static_cast<int>(state.range(0))) != 0) state.SkipWithError("parse");
      benchmark::DoNotOptimize(root.firstChild());
    }
  }
  Count(state);
}
BENCHMARK(BM_ParseChildrenAndFree)->Arg(0)->Arg(1);

void Reencode(const Asn1Element& node, velmora::pki::DerWriter& writer) {
  if ((node.tag() & 0x20) != 0) {
    (void)writer.BeginElement(node.tag());
    for (const Asn1Element* c = node.firstChild(); c != nullptr; c = c->nextSibling()) Reencode(*c, writer);
    (void)writer.EndElement(0);
    return;
  }
  int32_t start = 0, end = 0;
  velmora::pki::DerWalkHeader(node.Bytes(), 0, node.Length(), nullptr, &start, &end, nullptr, nullptr);
  (void)writer.AppendTlv(node.Data() + start, end - start, node.tag());
}

void BM_ReencodeFromTree(benchmark::State& state) {
  std::vector<Asn1Element> trees(Roots().size());
  for (size_t i = 0; i < Roots().size(); ++i) {
    (void)trees[i].SetData(int32_t(Roots()[i].size()), Roots()[i].data());
    if (trees[i].ParseChildren(1) != 0) state.SkipWithError("parse");
  }
  for (auto _ : state) {
    for (const auto& tree : trees) {
      velmora::pki::DerWriter writer;
      Reencode(tree, writer);
      benchmark::DoNotOptimize(writer.Data());
    }
  }
  Count(state);
}
BENCHMARK(BM_ReencodeFromTree);

void BM_OpensslD2iX509_UnlikeWork(benchmark::State& state) {
  for (auto _ : state) {
    for (const auto& r : Roots()) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(r.data());
      X509* x = d2i_X509(nullptr, &p, long(r.size()));
      benchmark::DoNotOptimize(x);
      X509_free(x);
    }
  }
  Count(state);
}
BENCHMARK(BM_OpensslD2iX509_UnlikeWork);

void BM_OpensslI2dReX509Tbs_UnlikeWork(benchmark::State& state) {
  std::vector<X509*> certs;
  for (const auto& r : Roots()) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(r.data());
    certs.push_back(d2i_X509(nullptr, &p, long(r.size())));
  }
  for (auto _ : state) {
    for (X509* x : certs) {
      unsigned char* out = nullptr;
      const int n = i2d_re_X509_tbs(x, &out);
      benchmark::DoNotOptimize(n);
      OPENSSL_free(out);
    }
  }
  for (X509* x : certs) X509_free(x);
  Count(state);
}
BENCHMARK(BM_OpensslI2dReX509Tbs_UnlikeWork);

// One SEQUENCE holding all roots repeated range(0) times, parsed with releaseBytes range(1); range(2) set
// forces the copying path (every child copied when its parent is split, each node allocated alone).
void BM_ParseRootsRepeated(benchmark::State& state) {
  const int64_t repeat = state.range(0);
  velmora::pki::DerWriter writer;
  (void)writer.BeginElement(0x30);
  for (int64_t i = 0; i < repeat; ++i) {
    for (const auto& r : Roots()) (void)writer.Append(r.data(), int32_t(r.size()));
  }
  (void)writer.EndElement(0);
  velmora::pki::internal::ForceDerCopyingPath(state.range(2) != 0);
  for (auto _ : state) {
    Asn1Element root;
    (void)root.SetData(writer.Length(), writer.Data());
    if (root.ParseChildren(static_cast<int>(state.range(1))) != 0) state.SkipWithError("parse");
    benchmark::DoNotOptimize(root.firstChild());
  }
  velmora::pki::internal::ForceDerCopyingPath(false);
  Count(state, repeat);
}
BENCHMARK(BM_ParseRootsRepeated)
    ->ArgNames({"repeat", "release", "copying"})
    ->ArgsProduct({{1, 10, 100}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// The least memory traffic a tree of that many nodes costs, with no parsing: the two lines of each node
// that making it writes (its first, and its last with the links), then the first line, which releasing
// the tree reads. Set beside BM_ParseRootsRepeated: once the tree outgrows the caches, this is the part
// of its time that the node's size, not the parser, decides.
void BM_NodeMemoryFloor(benchmark::State& state) {
  const int64_t repeat = state.range(0);
  size_t nodes = 0;
  for (const auto& r : Roots()) {
    Asn1Element root;
    (void)root.SetData(int32_t(r.size()), r.data());
    if (root.ParseChildren(0) != 0) state.SkipWithError("parse");
    std::vector<const Asn1Element*> stack = {&root};
    while (!stack.empty()) {
      const Asn1Element* node = stack.back();
      stack.pop_back();
      ++nodes;
      for (const Asn1Element* c = node->firstChild(); c != nullptr; c = c->nextSibling()) stack.push_back(c);
    }
  }
  nodes *= static_cast<size_t>(repeat);
  constexpr size_t kNode = sizeof(Asn1Element);
  constexpr size_t kLastLine = kNode - 64;
  std::vector<char> memory(nodes * kNode + 64);
  char* first = memory.data() + (64 - reinterpret_cast<uintptr_t>(memory.data()) % 64) % 64;
  for (auto _ : state) {
    for (size_t i = 0; i < nodes; ++i) {
      char* node = first + i * kNode;
      __builtin_prefetch(node + 16 * kNode, 1);
      __builtin_prefetch(node + 16 * kNode + kLastLine, 1);
      std::memset(node, int(i), 48);
      std::memset(node + kLastLine, int(i), 64);
      benchmark::ClobberMemory();
    }
    uint64_t sum = 0;
    for (size_t i = 0; i < nodes; ++i) {
      __builtin_prefetch(first + (i + 64) * kNode);
      uint64_t word = 0;
      std::memcpy(&word, first + i * kNode + 8, sizeof word);
      sum += word;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["nodes"] = static_cast<double>(nodes);
  Count(state, repeat);
}
BENCHMARK(BM_NodeMemoryFloor)->ArgName("repeat")->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

// The header walk over the same repeated SEQUENCE.
void BM_WalkRootsRepeated(benchmark::State& state) {
  const int64_t repeat = state.range(0);
  std::string all;
  for (int64_t i = 0; i < repeat; ++i) {
    for (const auto& r : Roots()) all += r;
  }
  for (auto _ : state) benchmark::DoNotOptimize(DerWalk(reinterpret_cast<const uint8_t*>(all.data()), int32_t(all.size())));
  Count(state, repeat);
}
BENCHMARK(BM_WalkRootsRepeated)->Arg(1)->Arg(10)->Arg(100);

}  // namespace
