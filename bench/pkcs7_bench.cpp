// PKCS #7 bundles and the certificate source, next to OpenSSL in the same run:
// - LoadP7b of the vectors' amazon-roots.der against d2i_PKCS7 of the same bytes (OpenSSL also decodes
//   the certificates' keys);
// - SelectBySubject over n bare-certificate entries (1,000 and 10,000) whose wanted subject is the last;
//   the cost should grow linearly;
// - OrderCertificateChain of a chain of n certificates (100 and 1,000) given root first, its worst order.
// The entries and chain links are copies of the bundle's first certificate with their subject and issuer
// texts rewritten.
#include <benchmark/benchmark.h>
#include <openssl/pkcs7.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "keystore/certificate_source.h"
#include "pki/certificate_codec.h"
#include "pki/pkcs7.h"

namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string& Amazon() {
  static const std::string bytes = ReadFile("/usr/lib/python3/dist-packages/cryptography_vectors/pkcs7/amazon-roots.der");
  return bytes;
}

void BM_LoadP7b(benchmark::State& state) {
  const std::string& bytes = Amazon();
  if (bytes.empty()) return state.SkipWithError("the vectors are not installed");
  for (auto _ : state) {
    velmora::pki::SignedDataEntry entry;
    benchmark::DoNotOptimize(
        velmora::pki::LoadP7b(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), entry));
  }
}
BENCHMARK(BM_LoadP7b);

void BM_OpensslD2iPkcs7(benchmark::State& state) {
  const std::string& bytes = Amazon();
  if (bytes.empty()) return state.SkipWithError("the vectors are not installed");
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size()));
    benchmark::DoNotOptimize(pkcs7);
    PKCS7_free(pkcs7);
  }
}
BENCHMARK(BM_OpensslD2iPkcs7);

// OneCertificate is a parsed certificate from the bundle, the template every entry is copied from.
const velmora::pki::Certificate& OneCertificate() {
  static velmora::pki::SignedDataEntry entry;
  static const bool loaded = [] {
    const std::string& bytes = Amazon();
    return !bytes.empty() &&
           velmora::pki::LoadP7b(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), entry) == 0;
  }();
  return loaded ? entry.signedData.certificates.Get(0)->certificate : *new velmora::pki::Certificate;
}

void BM_SelectBySubject(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  velmora::keystore::CertStoreHandle handle;
  for (int32_t i = 0; i < n; ++i) {
    velmora::pki::Certificate copy;
    (void)velmora::pki::CopyRecord(copy, OneCertificate());
    (void)copy.tbs.subject.Format("C=US, O=Bench, CN=Entry %d", i);
    if (handle.AddCertificate(copy) != 0) return state.SkipWithError("out of memory");
  }
  const std::string wanted = "CN=Entry " + std::to_string(n - 1);
  for (auto _ : state) benchmark::DoNotOptimize(handle.SelectBySubject(wanted.c_str()));
  state.counters["per_entry_ns"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                                                  benchmark::Counter::kInvert);
}
BENCHMARK(BM_SelectBySubject)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_OrderCertificateChain(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  velmora::pki::SignedDataEntry chain;
  for (int32_t i = 0; i < n; ++i) {
    velmora::pki::CertificateChoice* choice = velmora::pki::AddNew(chain.signedData.certificates);
    (void)velmora::pki::CopyRecord(choice->certificate, OneCertificate());
    (void)choice->certificate.tbs.subject.Format("CN=Level %d", i);
    (void)choice->certificate.tbs.issuer.Format("CN=Level %d", i == 0 ? 0 : i - 1);
  }
  for (auto _ : state) {
    state.PauseTiming();
    velmora::pki::SignedDataEntry entry;
    (void)velmora::pki::SignedData::Copy(entry.signedData, chain.signedData);
    state.ResumeTiming();
    benchmark::DoNotOptimize(velmora::pki::OrderCertificateChain(entry));
  }
}
BENCHMARK(BM_OrderCertificateChain)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
