// Certificate creation and the PFX builder next to OpenSSL on the same keys: CreateCertificate with
// EncodeCertificate against building an X509, X509_sign and i2d_X509, for RSA-2048 and P-256 with SHA-256;
// and BuildPfx (PBES2 AES-256-CBC for both bags) against PKCS12_create with the same ciphers and count and
// i2d_PKCS12.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "asn1/der_writer.h"
#include "crypto/objects/key_creation.h"
#include "crypto/objects/sign_by_key.h"
#include "crypto/providers/provider_tables.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/key_export.h"
#include "pki/pfx_builder.h"

namespace {

using velmora::crypto::KeyRecord;

constexpr const char* kAes256 = "2.16.840.1.101.3.4.1.42";

// Keys holds our key of each kind and the same key as an EVP_PKEY.
struct Keys {
  KeyRecord ours;
  EVP_PKEY* theirs = nullptr;
  explicit Keys(const char* algorithm) {
    velmora::crypto::CryptoProvidersStaticInit();
    velmora::core::Buffer der;
    if (velmora::crypto::GenerateKeyByAlgorithmName(algorithm, 2048, ours) != 0 ||
        velmora::pki::WritePkcs8PrivateKeyDer(ours, der, false) != 0) {
      std::fprintf(stderr, "no %s key\n", algorithm);
      std::abort();
    }
    const unsigned char* p = der.Bytes();
    theirs = d2i_AutoPrivateKey(nullptr, &p, der.Length());
  }
};

Keys& Rsa() {
  static Keys keys("RSA");
  return keys;
}
Keys& P256() {
  static Keys keys("ECDSA_P256");
  return keys;
}

template <Keys& (*kKeys)()>
void BM_CreateCertificate(benchmark::State& state) {
  Keys& keys = kKeys();
  for (auto _ : state) {
    velmora::pki::Certificate certificate;
    velmora::pki::DerWriter der;
    if (velmora::pki::CreateCertificate(keys.ours, "CN=bench,O=Velmora", "01", 0, 365, nullptr, nullptr, nullptr,
                                        "SHA256", certificate) != 0 ||
        velmora::pki::EncodeCertificate(certificate, der) != 0) {
      state.SkipWithError("CreateCertificate failed");
      break;
    }
    benchmark::DoNotOptimize(der.Data());
  }
}

// The signature alone over certificate-sized data, to split the creation's time.
template <Keys& (*kKeys)()>
void BM_SignWithKeyRecord(benchmark::State& state) {
  Keys& keys = kKeys();
  const std::string data(600, 'x');
  for (auto _ : state) {
    velmora::core::Buffer signature;
    if (velmora::crypto::SignWithKeyRecord(reinterpret_cast<const uint8_t*>(data.data()), 600, "SHA256", keys.ours,
                                           signature) != 0) {
      state.SkipWithError("SignWithKeyRecord failed");
      break;
    }
  }
}

X509* OpensslCertificate(EVP_PKEY* key) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Velmora"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 365L * 86400);
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  return x;
}

template <Keys& (*kKeys)()>
void BM_OpensslX509Sign(benchmark::State& state) {
  Keys& keys = kKeys();
  for (auto _ : state) {
    X509* x = OpensslCertificate(keys.theirs);
    unsigned char* bytes = nullptr;
    benchmark::DoNotOptimize(i2d_X509(x, &bytes));
    OPENSSL_free(bytes);
    X509_free(x);
  }
}

void BM_BuildPfx(benchmark::State& state) {
  Keys& keys = Rsa();
  velmora::pki::Certificate certificate;
  if (velmora::pki::CreateCertificate(keys.ours, "CN=bench", "01", 0, 365, nullptr, nullptr, nullptr, "SHA256",
                                      certificate) != 0) {
    state.SkipWithError("CreateCertificate failed");
    return;
  }
  for (auto _ : state) {
    velmora::core::Buffer out;
    if (velmora::pki::BuildPfx(certificate, "x", keys.ours, kAes256, kAes256, out) != 0) {
      state.SkipWithError("BuildPfx failed");
      break;
    }
    benchmark::DoNotOptimize(out.Data());
  }
}

void BM_OpensslPkcs12Create(benchmark::State& state) {
  Keys& keys = Rsa();
  X509* x = OpensslCertificate(keys.theirs);
  for (auto _ : state) {
    PKCS12* p12 = PKCS12_create("x", nullptr, keys.theirs, x, nullptr, NID_aes_256_cbc, NID_aes_256_cbc, 2000, 1, 0);
    unsigned char* bytes = nullptr;
    benchmark::DoNotOptimize(i2d_PKCS12(p12, &bytes));
    OPENSSL_free(bytes);
    PKCS12_free(p12);
  }
  X509_free(x);
}

}  // namespace

BENCHMARK(BM_CreateCertificate<Rsa>)->Name("BM_Rsa2048_CreateCertificate")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslX509Sign<Rsa>)->Name("BM_Rsa2048_X509Sign")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignWithKeyRecord<Rsa>)->Name("BM_Rsa2048_SignWithKeyRecord")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateCertificate<P256>)->Name("BM_P256_CreateCertificate")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslX509Sign<P256>)->Name("BM_P256_X509Sign")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignWithKeyRecord<P256>)->Name("BM_P256_SignWithKeyRecord")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildPfx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslPkcs12Create)->Unit(benchmark::kMillisecond);
