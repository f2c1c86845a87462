// Distinguished names and SubjectPublicKeyInfo over the Mozilla roots (Debian's ca-certificates bundle),
// next to OpenSSL on the same bytes: DecodeNameToString of every subject and issuer against d2i_X509_NAME
// with X509_NAME_print_ex, and DecodePublicKeyFromSpki of every key against d2i_PUBKEY. range(0) is how
// many passes over the roots one iteration makes (1 and 10, to see the cost grow linearly); the "per_name"
// and "per_key" counters are the time of one item.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "pki/distinguished_name.h"
#include "pki/subject_public_key_info.h"

namespace {

struct Corpus {
  std::vector<std::string> names;  // subject and issuer DER of every root
  std::vector<std::string> keys;   // SubjectPublicKeyInfo DER of every root
};

// Der is the DER an OpenSSL i2d function writes for item.
template <typename T, typename I2d>
std::string Der(T* item, I2d i2d) {
  unsigned char* bytes = nullptr;
  const int length = i2d(item, &bytes);
  std::string out;
  if (length > 0 && bytes != nullptr) out.assign(reinterpret_cast<char*>(bytes), static_cast<size_t>(length));
  OPENSSL_free(bytes);
  return out;
}

// Roots splits the bundle into certificates and keeps the DER of their names and keys.
const Corpus& Roots() {
  static const Corpus corpus = [] {
    Corpus out;
    FILE* file = std::fopen("/etc/ssl/certs/ca-certificates.crt", "r");
    if (file == nullptr) return out;
    while (X509* x = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
      out.names.push_back(Der(X509_get_subject_name(x), i2d_X509_NAME));
      out.names.push_back(Der(X509_get_issuer_name(x), i2d_X509_NAME));
      out.keys.push_back(Der(X509_get_X509_PUBKEY(x), i2d_X509_PUBKEY));
      X509_free(x);
    }
    std::fclose(file);
    return out;
  }();
  return corpus;
}

std::vector<velmora::core::Buffer> Buffers(const std::vector<std::string>& items) {
  std::vector<velmora::core::Buffer> out(items.size());
  for (size_t i = 0; i < items.size(); ++i)
    (void)out[i].SetData(static_cast<int32_t>(items[i].size()), items[i].data());
  return out;
}

void Count(benchmark::State& state, const char* counter, size_t items) {
  const double per_iteration = static_cast<double>(items) * static_cast<double>(state.range(0));
  state.counters[counter] =
      benchmark::Counter(per_iteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["items"] = per_iteration;
}

void BM_DecodeNameToString(benchmark::State& state) {
  const std::vector<velmora::core::Buffer> names = Buffers(Roots().names);
  velmora::core::Buffer text;
  for (auto _ : state) {
    for (int64_t pass = 0; pass < state.range(0); ++pass) {
      for (const auto& name : names) {
        if (velmora::pki::DecodeNameToString(name, text) != 0) state.SkipWithError("DecodeNameToString");
        benchmark::DoNotOptimize(text.Data());
      }
    }
  }
  Count(state, "per_name", names.size());
}
BENCHMARK(BM_DecodeNameToString)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_OpensslNamePrint(benchmark::State& state) {
  BIO* text = BIO_new(BIO_s_mem());
  for (auto _ : state) {
    for (int64_t pass = 0; pass < state.range(0); ++pass) {
      for (const std::string& der : Roots().names) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
        (void)BIO_reset(text);
        if (name == nullptr || X509_NAME_print_ex(text, name, 0, XN_FLAG_ONELINE) < 0) state.SkipWithError("print");
        benchmark::DoNotOptimize(BIO_number_written(text));
        X509_NAME_free(name);
      }
    }
  }
  BIO_free(text);
  Count(state, "per_name", Roots().names.size());
}
BENCHMARK(BM_OpensslNamePrint)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_DecodePublicKeyFromSpki(benchmark::State& state) {
  const std::vector<velmora::core::Buffer> keys = Buffers(Roots().keys);
  for (auto _ : state) {
    for (int64_t pass = 0; pass < state.range(0); ++pass) {
      for (const auto& der : keys) {
        velmora::pki::SubjectPublicKey key;
        if (velmora::pki::DecodePublicKeyFromSpki(der, key) != 0) state.SkipWithError("DecodePublicKeyFromSpki");
        benchmark::DoNotOptimize(key.key.Type);
      }
    }
  }
  Count(state, "per_key", keys.size());
}
BENCHMARK(BM_DecodePublicKeyFromSpki)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_OpensslD2iPubkey(benchmark::State& state) {
  for (auto _ : state) {
    for (int64_t pass = 0; pass < state.range(0); ++pass) {
      for (const std::string& der : Roots().keys) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
        if (key == nullptr) state.SkipWithError("d2i_PUBKEY");
        benchmark::DoNotOptimize(key);
        EVP_PKEY_free(key);
      }
    }
  }
  Count(state, "per_key", Roots().keys.size());
}
BENCHMARK(BM_OpensslD2iPubkey)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace
