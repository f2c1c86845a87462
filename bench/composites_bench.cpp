// Deep copy of a key with its certificate chain, next to OpenSSL in the same run: CopyRecord of a
// KeyWithCertificates holding an RSA-4096 key with its private parts and n certificates (the first
// Mozilla roots, repeated as needed) against X509_dup of the same n certificates and EVP_PKEY_dup of the
// same key. range(0) is n (10 and 100: the cost should grow linearly); "per_cert" is the time of one
// certificate.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pki/cert_composites.h"
#include "pki/certificate_codec.h"

namespace {

struct Chain {
  std::vector<X509*> roots;
  EVP_PKEY* key = nullptr;
};

const Chain& Loaded() {
  static const Chain chain = [] {
    Chain out;
    if (FILE* file = std::fopen("/etc/ssl/certs/ca-certificates.crt", "r")) {
      while (X509* x = PEM_read_X509(file, nullptr, nullptr, nullptr)) out.roots.push_back(x);
      std::fclose(file);
    }
    out.key = EVP_RSA_gen(4096);
    return out;
  }();
  return chain;
}

void SetNumber(const EVP_PKEY* key, const char* name, velmora::core::BufferCore& out) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &number) != 1) return;
  std::vector<unsigned char> bytes(static_cast<size_t>(BN_num_bytes(number)));
  BN_bn2bin(number, bytes.data());
  (void)out.SetData(static_cast<int32_t>(bytes.size()), bytes.data());
  BN_free(number);
}

// Source is the record to copy: the key's numbers and n parsed certificates.
void FillSource(velmora::pki::KeyWithCertificates& source, int64_t n) {
  const Chain& chain = Loaded();
  velmora::crypto::RsaKeyParams& rsa = source.key.RsaParams;
  source.key.Type = velmora::crypto::kKeyRsa;
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_N, rsa.Modulus);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_E, rsa.Exponent);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_D, rsa.D);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_FACTOR1, rsa.P);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_FACTOR2, rsa.Q);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_EXPONENT1, rsa.DP);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_EXPONENT2, rsa.DQ);
  SetNumber(chain.key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, rsa.InverseQ);
  for (int64_t i = 0; i < n && !chain.roots.empty(); ++i) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(chain.roots[static_cast<size_t>(i) % chain.roots.size()], &der);
    velmora::pki::Certificate* c = velmora::pki::AddNew(source.certificates);
    if (c != nullptr && length > 0) (void)velmora::pki::ParseCertificate(der, length, *c);
    OPENSSL_free(der);
  }
}

void Count(benchmark::State& state) {
  state.counters["per_cert"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

void BM_CopyKeyWithCertificates(benchmark::State& state) {
  velmora::pki::KeyWithCertificates source;
  FillSource(source, state.range(0));
  if (Loaded().roots.empty()) state.SkipWithError("ca-certificates is not installed");
  for (auto _ : state) {
    velmora::pki::KeyWithCertificates copy;
    benchmark::DoNotOptimize(velmora::pki::CopyRecord(copy, source));
  }
  Count(state);
}

void BM_OpensslX509DupAndPkeyDup(benchmark::State& state) {
  const Chain& chain = Loaded();
  if (chain.roots.empty()) state.SkipWithError("ca-certificates is not installed");
  std::vector<X509*> copies(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    for (int64_t i = 0; i < state.range(0) && !chain.roots.empty(); ++i) {
      copies[static_cast<size_t>(i)] = X509_dup(chain.roots[static_cast<size_t>(i) % chain.roots.size()]);
    }
    EVP_PKEY* key = EVP_PKEY_dup(chain.key);
    benchmark::DoNotOptimize(key);
    EVP_PKEY_free(key);
    for (X509* x : copies) X509_free(x);
  }
  Count(state);
}

BENCHMARK(BM_CopyKeyWithCertificates)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpensslX509DupAndPkeyDup)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
