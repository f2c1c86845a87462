// The certificate loader next to OpenSSL in the same run, on inputs the openssl tool makes at start:
// - the default `openssl pkcs12 -export` container (PBKDF2 dominates) against PKCS12_parse;
// - a PEM chain of three certificates and the leaf's key against a PEM_read_bio_X509 /
//   PEM_read_bio_PrivateKey loop (the loader also pairs the key with its certificate);
// - a P7B of 150 certificates against d2i_PKCS7 and a walk of its certificates (the loader also puts
//   them in issuer order).
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/providers/provider_tables.h"
#include "keystore/cert_loader.h"

namespace {

struct Inputs {
  std::string pfx, chain, p7b;
  Inputs() {
    velmora::crypto::CryptoProvidersStaticInit();
    const std::string dir = "/tmp/velmora_loader_bench";
    const std::string make =
        "mkdir -p " + dir + " && cd " + dir +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj /CN=root -days 30 -out ca.pem 2>/dev/null"
        " && openssl req -newkey rsa:2048 -nodes -keyout mid.key -subj /CN=mid -out mid.csr 2>/dev/null"
        " && openssl x509 -req -in mid.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 -out mid.pem 2>/dev/null"
        " && openssl req -newkey rsa:2048 -nodes -keyout leaf.key -subj /CN=leaf -out leaf.csr 2>/dev/null"
        " && openssl x509 -req -in leaf.csr -CA mid.pem -CAkey mid.key -set_serial 3 -days 30 -out leaf.pem 2>/dev/null"
        " && cat leaf.pem mid.pem ca.pem leaf.key > chain.pem"
        " && openssl pkcs12 -export -in leaf.pem -inkey leaf.key -passout pass:pw -out b.pfx"
        " && awk '/BEGIN CERT/{n++} n<=150' /etc/ssl/certs/ca-certificates.crt > many.pem"
        " && openssl crl2pkcs7 -nocrl -certfile many.pem -outform DER -out many.p7b";
    if (std::system(make.c_str()) != 0) return;
    pfx = Read(dir + "/b.pfx");
    chain = Read(dir + "/chain.pem");
    p7b = Read(dir + "/many.p7b");
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

const Inputs& TheInputs() {
  static const Inputs inputs;
  return inputs;
}

void Load(benchmark::State& state, const std::string& bytes) {
  if (bytes.empty()) return state.SkipWithError("openssl could not make the input");
  for (auto _ : state) {
    velmora::keystore::CertStoreHandle handle;
    const int rc = velmora::keystore::LoadCertificateFromInput(handle, bytes.data(), static_cast<int32_t>(bytes.size()),
                                                               false, "pw", nullptr, nullptr, nullptr, nullptr);
    if (rc != 0) return state.SkipWithError("the loader failed");
    benchmark::DoNotOptimize(handle.entries.Count());
  }
}

void BM_LoaderPfx(benchmark::State& state) { Load(state, TheInputs().pfx); }
BENCHMARK(BM_LoaderPfx)->Unit(benchmark::kMillisecond);

void BM_OpensslPkcs12Parse(benchmark::State& state) {
  const std::string& bytes = TheInputs().pfx;
  if (bytes.empty()) return state.SkipWithError("openssl could not make the input");
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size()));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* ca = nullptr;
    benchmark::DoNotOptimize(PKCS12_parse(p12, "pw", &key, &cert, &ca));
    EVP_PKEY_free(key);
    X509_free(cert);
    sk_X509_pop_free(ca, X509_free);
    PKCS12_free(p12);
  }
}
BENCHMARK(BM_OpensslPkcs12Parse)->Unit(benchmark::kMillisecond);

void BM_LoaderPemChain(benchmark::State& state) { Load(state, TheInputs().chain); }
BENCHMARK(BM_LoaderPemChain);

void BM_OpensslPemChain(benchmark::State& state) {
  const std::string& bytes = TheInputs().chain;
  if (bytes.empty()) return state.SkipWithError("openssl could not make the input");
  for (auto _ : state) {
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) X509_free(cert);
    BIO_free(bio);
    bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    benchmark::DoNotOptimize(key);
    EVP_PKEY_free(key);
    BIO_free(bio);
  }
}
BENCHMARK(BM_OpensslPemChain);

void BM_LoaderP7b150(benchmark::State& state) { Load(state, TheInputs().p7b); }
BENCHMARK(BM_LoaderP7b150);

void BM_OpensslP7b150(benchmark::State& state) {
  const std::string& bytes = TheInputs().p7b;
  if (bytes.empty()) return state.SkipWithError("openssl could not make the input");
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size()));
    STACK_OF(X509)* certs = pkcs7 != nullptr && PKCS7_type_is_signed(pkcs7) ? pkcs7->d.sign->cert : nullptr;
    for (int i = 0; i < sk_X509_num(certs); ++i) benchmark::DoNotOptimize(X509_get_subject_name(sk_X509_value(certs, i)));
    PKCS7_free(pkcs7);
  }
}
BENCHMARK(BM_OpensslP7b150);

}  // namespace
