// Certificates over the Mozilla roots (Debian's ca-certificates bundle) and the PKITS certificates of the
// cryptography vectors, next to OpenSSL on the same bytes: ParseCertificate with the SAN, key usage and
// extended key usage getters against d2i_X509 with X509_get_ext_d2i of the same three extensions and
// X509_free; and the parse alone against d2i_X509 and X509_free. range(0) is how many passes over the set
// one iteration makes (1 and 10, to see the cost grow linearly); "per_cert" is the time of one certificate.
#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/general_names.h"
#include "pki/key_usage.h"

namespace {

// Corpus is the DER of every root and every PKITS certificate.
const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> corpus = [] {
    std::vector<std::string> out;
    if (FILE* file = std::fopen("/etc/ssl/certs/ca-certificates.crt", "r")) {
      while (X509* x = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
        unsigned char* bytes = nullptr;
        const int length = i2d_X509(x, &bytes);
        if (length > 0) out.emplace_back(reinterpret_cast<char*>(bytes), static_cast<size_t>(length));
        OPENSSL_free(bytes);
        X509_free(x);
      }
      std::fclose(file);
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(
             "/usr/lib/python3/dist-packages/cryptography_vectors/x509/PKITS_data/certs", ec)) {
      std::ifstream in(entry.path(), std::ios::binary);
      out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
  }();
  return corpus;
}

void Count(benchmark::State& state, size_t items) {
  const double per_iteration = static_cast<double>(items) * static_cast<double>(state.range(0));
  state.counters["per_cert"] =
      benchmark::Counter(per_iteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["items"] = per_iteration;
}

template <bool kExtensions>
void BM_ParseCertificate(benchmark::State& state) {
  const auto& corpus = Corpus();
  for (auto _ : state) {
    for (int64_t pass = 0; pass < state.range(0); ++pass) {
      for (const std::string& der : corpus) {
        velmora::pki::Certificate c;
        // Certificates whose key the reader refuses (inherited DSA parameters) still cost their parse.
        (void)velmora::pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()),
                                             static_cast<int32_t>(der.size()), c);
        if constexpr (kExtensions) {
          benchmark::DoNotOptimize(velmora::pki::GetSubjectAltNameText(c, true));
          benchmark::DoNotOptimize(velmora::pki::GetKeyUsageBits(c));
          benchmark::DoNotOptimize(velmora::pki::DecodeExtendedKeyUsage(c));
        }
      }
    }
  }
  Count(state, corpus.size());
}

template <bool kExtensions>
void BM_OpensslD2iX509(benchmark::State& state) {
  const auto& corpus = Corpus();
  for (auto _ : state) {
    for (int64_t pass = 0; pass < state.range(0); ++pass) {
      for (const std::string& der : corpus) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        X509* x = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
        if (x == nullptr) continue;
        if constexpr (kExtensions) {
          GENERAL_NAMES_free(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr)));
          ASN1_BIT_STRING_free(static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(x, NID_key_usage, nullptr, nullptr)));
          EXTENDED_KEY_USAGE_free(
              static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x, NID_ext_key_usage, nullptr, nullptr)));
        }
        X509_free(x);
      }
    }
  }
  Count(state, corpus.size());
}

BENCHMARK(BM_ParseCertificate<true>)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslD2iX509<true>)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseCertificate<false>)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslD2iX509<false>)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace
