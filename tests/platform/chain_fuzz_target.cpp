// Fuzz target of the chain engine: the input is an end certificate, an intermediate and a third
// certificate (two-byte big-endian lengths before the first two), the last two in an additional store.
// The end certificate either does not decode, or its chain is built or refused with one of the engine's
// codes, and the SSL policy gives a verdict; nothing stays alive afterwards.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"
#include "platform/store_root.h"

namespace velmora::platform {

namespace {

const std::string& FuzzRoot() {
  static const std::string* root = [] {
    char path[] = "/tmp/velmora_chain_fuzz_XXXXXX";
    if (mkdtemp(path) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(FuzzRoot()); });
    return new std::string(path);
  }();
  return *root;
}

// Take removes a part of two-byte length (or the rest, when last) from the front of input.
std::string Take(std::string& input, bool last) {
  size_t length = input.size();
  if (!last) {
    if (input.size() < 2) return std::exchange(input, std::string());
    length = std::min(input.size() - 2, static_cast<size_t>(static_cast<uint8_t>(input[0]) << 8 |
                                                            static_cast<uint8_t>(input[1])));
    input.erase(0, 2);
  }
  std::string part = input.substr(0, length);
  input.erase(0, length);
  return part;
}

}  // namespace

std::string FuzzChainInput(const std::string& data) {
  static const bool rooted = (test::SetStoreRoot(FuzzRoot().c_str()), true);
  (void)rooted;
  std::string input = data;
  const std::string end = Take(input, false), inter = Take(input, false), third = Take(input, true);
  PCCERT_CONTEXT context = CertCreateCertificateContext(kX509AsnEncoding, reinterpret_cast<const uint8_t*>(end.data()),
                                                        static_cast<DWORD>(end.size()));
  if (context == nullptr) return test::LiveCertHandles() == 0 ? "" : "a context left alive";
  HCERTSTORE additional = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvMemory), 0, 0, 0, nullptr);
  for (const std::string* part : {&inter, &third}) {
    CertAddEncodedCertificateToStore(additional, kX509AsnEncoding, reinterpret_cast<const uint8_t*>(part->data()),
                                     static_cast<DWORD>(part->size()), kCertStoreAddAlways, nullptr);
  }
  std::string problem;
  const CERT_CHAIN_CONTEXT* chain = nullptr;
  if (CertGetCertificateChain(nullptr, context, nullptr, additional, nullptr, 0, nullptr, &chain)) {
    const CERT_SIMPLE_CHAIN* simple = chain->cChain == 1 ? chain->rgpChain[0] : nullptr;
    if (simple == nullptr || simple->cElement == 0 || simple->rgpElement[0]->pCertContext != context) {
      problem = "a chain that does not start at the certificate";
    }
    char16_t name[] = u"a.test";
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, kAuthTypeServer, 0, name};
    CERT_CHAIN_POLICY_PARA para{sizeof para, 0, &ssl};
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, nullptr};
    if (!CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, &para, &status)) {
      problem = "the policy refusing a built chain";
    } else if (status.dwError == 0 && chain->TrustStatus.dwErrorStatus != 0) {
      problem = "a chain with errors accepted";
    }
    CertFreeCertificateChain(chain);
  } else {
    const uint32_t error = GetLastError();
    if (error != 0x80090008u && error != kCryptEAsn1Corrupt) problem = "a refusal with an unexpected error";
  }
  CertCloseStore(additional, 0);
  CertFreeCertificateContext(context);
  if (problem.empty() && test::LiveCertHandles() != 0) problem = "a context, store or chain left alive";
  return problem;
}

}  // namespace velmora::platform
