// A file-backed system store of n certificates (made here, under a temporary store root): opening it, and
// finding the last certificate by SHA-1 thumbprint and by subject Name, next to OpenSSL's
// X509_STORE_CTX_get_by_subject and X509_find_by_subject over the same certificates.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "platform/crypto/crypt32_modules.h"
#include "platform/store_root.h"

namespace velmora::platform {
namespace {

constexpr DWORD kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;

struct Corpus {
  std::vector<X509*> certificates;
  std::string store_name;
  std::vector<uint8_t> last_sha1;
  std::vector<uint8_t> last_subject;
};

HCERTSTORE Open(const std::string& name) {
  return CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvSystemA), 0, 0, kCertSystemStoreCurrentUser,
                       name.c_str());
}

// CorpusOf makes n self-signed P-256 certificates and a store "B<n>" of them, once per size.
const Corpus& CorpusOf(int n) {
  static std::map<int, Corpus>* corpora = [] {
    char path[] = "/tmp/velmora_store_bench_XXXXXX";
    test::SetStoreRoot(mkdtemp(path));
    return new std::map<int, Corpus>;
  }();
  auto found = corpora->find(n);
  if (found != corpora->end()) return found->second;
  Corpus& corpus = (*corpora)[n];
  corpus.store_name = "B" + std::to_string(n);
  EVP_PKEY* key = EVP_EC_gen("P-256");
  HCERTSTORE store = Open(corpus.store_name);
  for (int i = 0; i < n; ++i) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), i + 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_NAME* name = X509_get_subject_name(x);
    const std::string common = "Bench certificate " + std::to_string(i);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common.c_str()), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Velmora"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(x, &der);
    PCCERT_CONTEXT added = nullptr;
    CertAddEncodedCertificateToStore(store, kEncoding, der, static_cast<DWORD>(length), kCertStoreAddNew, &added);
    OPENSSL_free(der);
    if (i == n - 1) {
      uint8_t sha1[20];
      DWORD size = sizeof sha1;
      CertGetCertificateContextProperty(added, kCertSha1HashPropId, sha1, &size);
      corpus.last_sha1.assign(sha1, sha1 + 20);
      const CERT_NAME_BLOB& subject = added->pCertInfo->Subject;
      corpus.last_subject.assign(subject.pbData, subject.pbData + subject.cbData);
    }
    CertFreeCertificateContext(added);
    corpus.certificates.push_back(x);
  }
  CertCloseStore(store, 0);
  EVP_PKEY_free(key);
  return corpus;
}

void BM_OpenStore(benchmark::State& state) {
  const Corpus& corpus = CorpusOf(static_cast<int>(state.range(0)));
  for (auto _ : state) CertCloseStore(Open(corpus.store_name), 0);
}

void BM_FindBySha1(benchmark::State& state) {
  const Corpus& corpus = CorpusOf(static_cast<int>(state.range(0)));
  HCERTSTORE store = Open(corpus.store_name);
  std::vector<uint8_t> sha1 = corpus.last_sha1;
  CRYPT_HASH_BLOB hash{20, sha1.data()};
  for (auto _ : state) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEncoding, 0, kCertFindSha1Hash, &hash, nullptr);
    benchmark::DoNotOptimize(found);
    CertFreeCertificateContext(found);
  }
  CertCloseStore(store, 0);
}

void BM_FindBySubject(benchmark::State& state) {
  const Corpus& corpus = CorpusOf(static_cast<int>(state.range(0)));
  HCERTSTORE store = Open(corpus.store_name);
  std::vector<uint8_t> subject = corpus.last_subject;
  CERT_NAME_BLOB name{static_cast<DWORD>(subject.size()), subject.data()};
  for (auto _ : state) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEncoding, 0, kCertFindSubjectName, &name, nullptr);
    benchmark::DoNotOptimize(found);
    CertFreeCertificateContext(found);
  }
  CertCloseStore(store, 0);
}

void BM_OpensslStoreBySubject(benchmark::State& state) {
  const Corpus& corpus = CorpusOf(static_cast<int>(state.range(0)));
  X509_STORE* store = X509_STORE_new();
  for (X509* x : corpus.certificates) X509_STORE_add_cert(store, x);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, nullptr, nullptr);
  X509_NAME* name = X509_get_subject_name(corpus.certificates.back());
  for (auto _ : state) {
    // A found certificate is handed out with a reference, as a found context is: both are given back.
    X509_OBJECT* object = X509_OBJECT_new();
    benchmark::DoNotOptimize(X509_STORE_CTX_get_by_subject(ctx, X509_LU_X509, name, object));
    X509_OBJECT_free(object);
  }
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
}

void BM_OpensslFindBySubject(benchmark::State& state) {
  const Corpus& corpus = CorpusOf(static_cast<int>(state.range(0)));
  STACK_OF(X509)* stack = sk_X509_new_null();
  for (X509* x : corpus.certificates) sk_X509_push(stack, x);
  X509_NAME* name = X509_get_subject_name(corpus.certificates.back());
  for (auto _ : state) benchmark::DoNotOptimize(X509_find_by_subject(stack, name));
  sk_X509_free(stack);
}

BENCHMARK(BM_OpenStore)->Arg(100)->Arg(1000);
BENCHMARK(BM_FindBySha1)->Arg(100)->Arg(1000);
BENCHMARK(BM_FindBySubject)->Arg(100)->Arg(1000);
BENCHMARK(BM_OpensslStoreBySubject)->Arg(100)->Arg(1000);
BENCHMARK(BM_OpensslFindBySubject)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace velmora::platform
