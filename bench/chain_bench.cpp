// Validating a three-certificate chain (RSA-2048 and P-256; root in the test ROOT folder beside the whole
// system bundle, intermediate in "CA") through CertGetCertificateChain and the SSL policy, next to
// X509_verify_cert plus X509_check_host with an X509_STORE of the same anchors built once.
#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/crypto/crypt32_modules.h"
#include "platform/store_root.h"
#include "tests/platform/chain_test_pki.h"

namespace velmora::platform {
namespace {

using testing::ChainTestPki;

const ChainTestPki& Pki() {
  static const ChainTestPki* pki = [] {
    char path[] = "/tmp/velmora_chain_bench_XXXXXX";
    if (mkdtemp(path) == nullptr) std::abort();
    const std::string dir = path;
    auto* made = new ChainTestPki;
    if (std::system(("mkdir -p '" + dir + "/pki'").c_str()) != 0 || !made->Make(dir + "/pki")) std::abort();
    test::SetStoreRoot((dir + "/store").c_str());
    if (!made->Install()) std::abort();
    return made;
  }();
  return *pki;
}

X509* Parse(const std::vector<uint8_t>& der) {
  const unsigned char* cursor = der.data();
  return d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
}

void Platform(benchmark::State& state, const char* leaf_name) {
  PCCERT_CONTEXT leaf = Pki().Context(leaf_name);
  char16_t name[] = u"a.test";
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, kAuthTypeServer, 0, name};
  CERT_CHAIN_POLICY_PARA para{sizeof para, 0, &ssl};
  for (auto _ : state) {
    const CERT_CHAIN_CONTEXT* chain = nullptr;
    CertGetCertificateChain(nullptr, leaf, nullptr, nullptr, nullptr, 0, nullptr, &chain);
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, nullptr};
    CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, &para, &status);
    if (status.dwError != 0 || chain->rgpChain[0]->cElement != 3) state.SkipWithError("the chain did not validate");
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(leaf);
}

void OpenSsl(benchmark::State& state, const char* leaf_name, const char* inter_name, const char* root_name) {
  const ChainTestPki& pki = Pki();
  X509_STORE* store = X509_STORE_new();
  X509_STORE_load_file(store, X509_get_default_cert_file());
  X509* root = Parse(pki.Get(root_name).der);
  X509_STORE_add_cert(store, root);
  X509* leaf = Parse(pki.Get(leaf_name).der);
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  sk_X509_push(untrusted, Parse(pki.Get(inter_name).der));
  for (auto _ : state) {
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, leaf, untrusted);
    const bool ok = X509_verify_cert(ctx) == 1 && X509_check_host(leaf, "a.test", 6, 0, nullptr) == 1;
    if (!ok || sk_X509_num(X509_STORE_CTX_get0_chain(ctx)) != 3) state.SkipWithError("the chain did not validate");
    X509_STORE_CTX_free(ctx);
  }
  sk_X509_pop_free(untrusted, X509_free);
  X509_free(leaf);
  X509_free(root);
  X509_STORE_free(store);
}

void BM_PlatformChainRsa(benchmark::State& state) { Platform(state, ChainTestPki::kLeaf); }
void BM_OpenSslChainRsa(benchmark::State& state) {
  OpenSsl(state, ChainTestPki::kLeaf, ChainTestPki::kInter, ChainTestPki::kRoot);
}
void BM_PlatformChainP256(benchmark::State& state) { Platform(state, ChainTestPki::kEcLeaf); }
void BM_OpenSslChainP256(benchmark::State& state) {
  OpenSsl(state, ChainTestPki::kEcLeaf, ChainTestPki::kEcInter, ChainTestPki::kEcRoot);
}

BENCHMARK(BM_PlatformChainRsa);
BENCHMARK(BM_OpenSslChainRsa);
BENCHMARK(BM_PlatformChainP256);
BENCHMARK(BM_OpenSslChainP256);

}  // namespace
}  // namespace velmora::platform
