// An issuer chain of four certificates (leaf, two intermediates, root; RSA-2048 keys for range(0) 0, P-256
// for 1) gathered from a pool of 200 (the chain's certificates among 196 others): BuildIssuerChain next to
// X509_verify_cert with the root trusted and the same pool as untrusted certificates. Both check every
// signature of the chain; OpenSSL also checks the extensions and validity.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/providers/provider_tables.h"
#include "pki/cert_composites.h"
#include "pki/certificate_codec.h"
#include "pki/chain_checks.h"

namespace {

constexpr int kPoolSize = 200;

X509_NAME* Name(const std::string& common_name) {
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  return name;
}

X509* MakeCertificate(const std::string& subject, const std::string& issuer, EVP_PKEY* key, EVP_PKEY* issuer_key,
                      long serial, bool ca) {
  X509* x = X509_new();
  X509_NAME* subject_name = Name(subject);
  X509_NAME* issuer_name = Name(issuer);
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_set_subject_name(x, subject_name);
  X509_set_issuer_name(x, issuer_name);
  X509_gmtime_adj(X509_getm_notBefore(x), -86400);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 30);
  X509_set_pubkey(x, key);
  if (ca) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(x, extension, -1);
    X509_EXTENSION_free(extension);
  }
  if (X509_sign(x, issuer_key, EVP_sha256()) <= 0) std::abort();
  X509_NAME_free(subject_name);
  X509_NAME_free(issuer_name);
  return x;
}

// Pool is the 200 certificates both ways; leaf and root are indexes into them.
struct Pool {
  std::vector<X509*> theirs;
  velmora::core::PtrArray<velmora::pki::Certificate> ours;
  int leaf = 0;
  int root = 0;
};

Pool& MakePool(bool rsa) {
  static Pool pools[2];
  Pool& pool = pools[rsa ? 0 : 1];
  if (!pool.theirs.empty()) return pool;
  velmora::crypto::CryptoProvidersStaticInit();
  const auto key = [rsa] { return rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"); };
  EVP_PKEY* keys[5] = {key(), key(), key(), key(), key()};
  for (int i = 0; i < kPoolSize - 4; ++i) {
    const std::string name = "Other " + std::to_string(i);
    pool.theirs.push_back(MakeCertificate(name, name, keys[4], keys[4], 100 + i, true));
  }
  pool.root = static_cast<int>(pool.theirs.size());
  pool.theirs.push_back(MakeCertificate("Root", "Root", keys[0], keys[0], 1, true));
  pool.theirs.push_back(MakeCertificate("Intermediate 1", "Root", keys[1], keys[0], 2, true));
  pool.theirs.push_back(MakeCertificate("Intermediate 2", "Intermediate 1", keys[2], keys[1], 3, true));
  pool.leaf = static_cast<int>(pool.theirs.size());
  pool.theirs.push_back(MakeCertificate("Leaf", "Intermediate 2", keys[3], keys[2], 4, false));
  for (X509* x : pool.theirs) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(x, &der);
    velmora::pki::Certificate* certificate = velmora::pki::AddNew(pool.ours);
    if (certificate == nullptr || velmora::pki::ParseCertificate(der, length, *certificate) != 0) std::abort();
    OPENSSL_free(der);
  }
  for (EVP_PKEY* k : keys) EVP_PKEY_free(k);
  return pool;
}

void BM_BuildIssuerChain(benchmark::State& state) {
  Pool& pool = MakePool(state.range(0) == 0);
  velmora::pki::CertificateChain chain;
  for (auto _ : state) {
    if (velmora::pki::BuildIssuerChain(*pool.ours.Get(pool.leaf), pool.ours, chain) != 0 || chain.Count() != 4) {
      state.SkipWithError("chain");
    }
    benchmark::DoNotOptimize(chain.Get(3));
  }
}

void BM_OpensslVerifyCert(benchmark::State& state) {
  Pool& pool = MakePool(state.range(0) == 0);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, pool.theirs[pool.root]);
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  for (X509* x : pool.theirs) sk_X509_push(untrusted, x);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  for (auto _ : state) {
    X509_STORE_CTX_init(context, store, pool.theirs[pool.leaf], untrusted);
    if (X509_verify_cert(context) != 1 || sk_X509_num(X509_STORE_CTX_get0_chain(context)) != 4) {
      state.SkipWithError("openssl");
    }
    X509_STORE_CTX_cleanup(context);
  }
  X509_STORE_CTX_free(context);
  sk_X509_free(untrusted);
  X509_STORE_free(store);
}

BENCHMARK(BM_BuildIssuerChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpensslVerifyCert)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
