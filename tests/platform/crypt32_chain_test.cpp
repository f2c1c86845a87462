// The chain engine and the SSL policy of the certificate module against the openssl command's verdicts:
// an openssl-made hierarchy with one fault per case, the PKITS signature, validity and name-chaining
// paths, the policy's ignore flags, and bad input with every context and chain freed afterwards.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"
#include "platform/store_root.h"
#include "platform/time.h"
#include "tests/platform/chain_test_pki.h"

namespace velmora::platform {
namespace {

using testing::ChainTestPki;

constexpr const char* kPkitsCerts = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/PKITS_data/certs/";
constexpr uint64_t kTicksPerDay = 864000000000ULL;

struct Verdict {
  bool built = false;
  uint32_t last_error = 0;
  DWORD error = 0;       // the policy's dwError
  CERT_TRUST_STATUS chain_status{};
  std::vector<CERT_TRUST_STATUS> elements;
};

// Check builds the chain of der (with the extra certificates in an additional memory store) and applies
// the SSL policy; everything is freed before it returns.
Verdict Check(const std::vector<uint8_t>& der, const std::u16string* name, DWORD flags = 0,
              DWORD auth = kAuthTypeServer, const std::vector<std::vector<uint8_t>>& extra = {}) {
  Verdict verdict;
  PCCERT_CONTEXT context = CertCreateCertificateContext(kX509AsnEncoding, der.data(), static_cast<DWORD>(der.size()));
  if (context == nullptr) return verdict;
  HCERTSTORE additional = nullptr;
  if (!extra.empty()) {
    additional = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvMemory), 0, 0, 0, nullptr);
    for (const auto& cert : extra) {
      CertAddEncodedCertificateToStore(additional, kX509AsnEncoding, cert.data(), static_cast<DWORD>(cert.size()),
                                       kCertStoreAddAlways, nullptr);
    }
  }
  const CERT_CHAIN_CONTEXT* chain = nullptr;
  CERT_CHAIN_PARA para{sizeof(CERT_CHAIN_PARA), {}};
  verdict.built = CertGetCertificateChain(nullptr, context, nullptr, additional, &para, 0, nullptr, &chain) != 0;
  verdict.last_error = GetLastError();
  if (verdict.built) {
    verdict.chain_status = chain->TrustStatus;
    for (DWORD i = 0; i < chain->rgpChain[0]->cElement; ++i) {
      verdict.elements.push_back(chain->rgpChain[0]->rgpElement[i]->TrustStatus);
    }
    std::u16string copy = name != nullptr ? *name : u"";
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, auth, 0, name != nullptr ? copy.data() : nullptr};
    CERT_CHAIN_POLICY_PARA policy{sizeof policy, flags, &ssl};
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, nullptr};
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, &policy,
                                                 &status));
    verdict.error = status.dwError;
    CertFreeCertificateChain(chain);
  }
  CertCloseStore(additional, 0);
  CertFreeCertificateContext(context);
  return verdict;
}

// OpensslError is the first error number `openssl verify` prints for the command's arguments (0: OK).
int OpensslError(const std::string& arguments) {
  FILE* pipe = popen(("openssl verify " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string output;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  pclose(pipe);
  const size_t at = output.find("error ");
  if (at == std::string::npos) return output.find(": OK") != std::string::npos ? 0 : -1;
  return std::atoi(output.c_str() + at + 6);
}

class ChainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!ChainTestPki::OpensslAvailable()) return;
    char base[] = "/tmp/velmora_chain_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    dir_ = new std::string(base);
    std::filesystem::create_directory(*dir_ + "/pki");
    pki_ = new ChainTestPki;
    ASSERT_TRUE(pki_->Make(*dir_ + "/pki"));
  }
  static void TearDownTestSuite() {
    if (dir_ != nullptr) std::filesystem::remove_all(*dir_);
    delete dir_;
    delete pki_;
    dir_ = nullptr;
    pki_ = nullptr;
  }
  void SetUp() override {
    if (pki_ == nullptr) GTEST_SKIP() << "the openssl command is not installed";
    UseRoot("store");
  }
  void TearDown() override {
    test::SetNowFileTime(0);
    test::SetStoreRoot(nullptr);
    EXPECT_EQ(test::LiveChainContexts(), 0);
    EXPECT_EQ(test::LiveCertHandles(), 0);
  }
  // UseRoot points the store root at a fresh folder with the hierarchy installed.
  static void UseRoot(const std::string& name) {
    const std::string root = *dir_ + "/" + name;
    std::filesystem::remove_all(root);
    std::filesystem::create_directory(root);
    test::SetStoreRoot(root.c_str());
    ASSERT_TRUE(pki_->Install());
  }
  static std::string Pem(const char* name) { return "'" + pki_->Get(name).pem_path + "'"; }

  static std::string* dir_;
  static ChainTestPki* pki_;
};
std::string* ChainTest::dir_ = nullptr;
ChainTestPki* ChainTest::pki_ = nullptr;

// One fault per case, each with the verdict `openssl verify` gives the same files (its error number).
TEST_F(ChainTest, VerdictsMatchOpenssl) {
  struct Case {
    const char* cert;
    const char* root;
    const char* inter;
    const char16_t* host;
    int days_ahead;
    uint32_t expected;
    int openssl_error;
  };
  const Case kCases[] = {
      {ChainTestPki::kLeaf, ChainTestPki::kRoot, ChainTestPki::kInter, u"a.test", 0, 0, 0},
      {ChainTestPki::kEcLeaf, ChainTestPki::kEcRoot, ChainTestPki::kEcInter, u"a.test", 0, 0, 0},
      {ChainTestPki::kCdpLeaf, ChainTestPki::kRoot, ChainTestPki::kCdpInter, u"a.test", 0, 0, 0},
      {ChainTestPki::kSelfSigned, ChainTestPki::kRoot, ChainTestPki::kInter, u"a.test", 0, 0x800B0109,
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      {ChainTestPki::kLeaf, ChainTestPki::kRoot, ChainTestPki::kInter, u"b.test", 0, 0x800B010F,
       X509_V_ERR_HOSTNAME_MISMATCH},
      {ChainTestPki::kExpired, ChainTestPki::kRoot, ChainTestPki::kInter, u"a.test",
       ChainTestPki::kExpiredAfterDays, 0x800B0101, X509_V_ERR_CERT_HAS_EXPIRED},
      {ChainTestPki::kClientOnly, ChainTestPki::kRoot, ChainTestPki::kInter, u"a.test", 0, 0x800B0110,
       X509_V_ERR_INVALID_PURPOSE},
      {ChainTestPki::kNoCaLeaf, ChainTestPki::kRoot, ChainTestPki::kNoCaInter, u"a.test", 0, 0x80096019,
       X509_V_ERR_INVALID_CA},
      {ChainTestPki::kAltered, ChainTestPki::kRoot, ChainTestPki::kInter, u"a.test", 0, 0x80096004,
       X509_V_ERR_CERT_SIGNATURE_FAILURE},
      {ChainTestPki::kOrphan, ChainTestPki::kRoot, ChainTestPki::kInter, u"a.test", 0, 0x800B010A,
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
  };
  const uint64_t now = NowFileTime();
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.cert) + " for " + std::string(c.host, c.host + std::char_traits<char16_t>::length(c.host)));
    const uint64_t at = now + static_cast<uint64_t>(c.days_ahead) * kTicksPerDay;
    std::string host(c.host, c.host + std::char_traits<char16_t>::length(c.host));
    std::string arguments = "-CAfile " + Pem(c.root) + " -untrusted " + Pem(c.inter) + " -verify_hostname " + host +
                            " -purpose sslserver -attime " +
                            std::to_string((at - kFileTimeUnixEpoch) / 10000000) + " " + Pem(c.cert);
    EXPECT_EQ(OpensslError(arguments), c.openssl_error);
    test::SetNowFileTime(at);
    const std::u16string name = c.host;
    const Verdict verdict = Check(pki_->Get(c.cert).der, &name);
    ASSERT_TRUE(verdict.built);
    EXPECT_EQ(verdict.error, c.expected) << std::hex << verdict.error;
    test::SetNowFileTime(0);
  }
}

// Where the bits land: on the element at fault, the chain's status the OR of the elements'.
TEST_F(ChainTest, ElementsCarryTheirOwnStatus) {
  const std::u16string name = u"a.test";
  const Verdict good = Check(pki_->Get(ChainTestPki::kLeaf).der, &name);
  ASSERT_EQ(good.elements.size(), 3u);
  EXPECT_EQ(good.chain_status.dwErrorStatus, 0u);
  EXPECT_EQ(good.elements[0].dwInfoStatus & kTrustIsSelfSigned, 0u);
  EXPECT_NE(good.elements[0].dwInfoStatus & kTrustHasNameMatchIssuer, 0u);
  EXPECT_NE(good.elements[2].dwInfoStatus & kTrustIsSelfSigned, 0u);

  test::SetNowFileTime(NowFileTime() + ChainTestPki::kExpiredAfterDays * kTicksPerDay);
  const Verdict expired = Check(pki_->Get(ChainTestPki::kExpired).der, &name);
  test::SetNowFileTime(0);
  ASSERT_EQ(expired.elements.size(), 3u);
  EXPECT_EQ(expired.elements[0].dwErrorStatus, kTrustIsNotTimeValid);
  EXPECT_EQ(expired.elements[1].dwErrorStatus | expired.elements[2].dwErrorStatus, 0u);

  const Verdict noca = Check(pki_->Get(ChainTestPki::kNoCaLeaf).der, &name);
  ASSERT_EQ(noca.elements.size(), 3u);
  EXPECT_EQ(noca.elements[1].dwErrorStatus, kTrustInvalidBasicConstraints);
  EXPECT_EQ(noca.chain_status.dwErrorStatus, kTrustInvalidBasicConstraints);

  const Verdict orphan = Check(pki_->Get(ChainTestPki::kOrphan).der, &name);
  ASSERT_EQ(orphan.elements.size(), 1u);
  EXPECT_EQ(orphan.chain_status.dwErrorStatus, kTrustIsPartialChain);

  const Verdict self = Check(pki_->Get(ChainTestPki::kSelfSigned).der, &name);
  ASSERT_EQ(self.elements.size(), 1u);
  EXPECT_EQ(self.elements[0].dwErrorStatus, kTrustIsUntrustedRoot);
  EXPECT_NE(self.elements[0].dwInfoStatus & kTrustIsSelfSigned, 0u);
}

// Each ignore flag lifts its own fault and no other; the client side asks for clientAuth.
TEST_F(ChainTest, PolicyFlagsAndSides) {
  struct Case {
    const char* cert;
    const char16_t* host;
    DWORD flags;
    DWORD auth;
    uint32_t expected;
  };
  constexpr DWORD kAll = kPolicyIgnoreNotTimeValid | kPolicyIgnoreInvalidBasicConstraints | kPolicyAllowUnknownCa |
                         kPolicyIgnoreWrongUsage | kPolicyIgnoreInvalidName;
  const Case kCases[] = {
      {ChainTestPki::kSelfSigned, u"a.test", kPolicyAllowUnknownCa, kAuthTypeServer, 0},
      {ChainTestPki::kSelfSigned, u"a.test", kAll & ~kPolicyAllowUnknownCa, kAuthTypeServer, 0x800B0109},
      {ChainTestPki::kClientOnly, u"a.test", kPolicyIgnoreWrongUsage, kAuthTypeServer, 0},
      {ChainTestPki::kClientOnly, nullptr, 0, kAuthTypeClient, 0},
      {ChainTestPki::kLeaf, nullptr, 0, kAuthTypeClient, 0x800B0110},
      {ChainTestPki::kNoCaLeaf, u"a.test", kPolicyIgnoreInvalidBasicConstraints, kAuthTypeServer, 0},
      {ChainTestPki::kLeaf, u"b.test", kPolicyIgnoreInvalidName, kAuthTypeServer, 0},
      {ChainTestPki::kClientOnly, u"b.test", 0, kAuthTypeClient, 0},  // names are checked for servers only
      {ChainTestPki::kLeaf, nullptr, 0, kAuthTypeServer, 0},
      {ChainTestPki::kLeaf, u"A.TEST", 0, kAuthTypeServer, 0},
      {ChainTestPki::kAltered, u"a.test", kAll, kAuthTypeServer, 0x80096004},
      {ChainTestPki::kOrphan, u"a.test", kAll, kAuthTypeServer, 0x800B010A},
      {ChainTestPki::kSelfSigned, u"b.test", 0, kAuthTypeServer, 0x800B0109},  // root before name
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.cert) + " flags " + std::to_string(c.flags) + " auth " + std::to_string(c.auth));
    const std::u16string name = c.host != nullptr ? c.host : u"";
    const Verdict verdict = Check(pki_->Get(c.cert).der, c.host != nullptr ? &name : nullptr, c.flags, c.auth);
    ASSERT_TRUE(verdict.built);
    EXPECT_EQ(verdict.error, c.expected) << std::hex << verdict.error;
  }
  test::SetNowFileTime(NowFileTime() + ChainTestPki::kExpiredAfterDays * kTicksPerDay);
  const std::u16string name = u"a.test";
  EXPECT_EQ(Check(pki_->Get(ChainTestPki::kExpired).der, &name, kPolicyIgnoreNotTimeValid).error, 0u);
}

// PKITS 4.1-4.3 with the trust anchor in ROOT and the intermediates in an additional store: the verdict
// equals openssl's; where openssl departs from the test's expectation the case is printed.
TEST_F(ChainTest, PkitsSignaturesValidityAndNames) {
  if (!std::filesystem::exists(std::string(kPkitsCerts) + "TrustAnchorRootCertificate.crt")) {
    GTEST_SKIP() << "python3-cryptography-vectors is not installed";
  }
  struct Case {
    const char* end;
    std::vector<const char*> intermediates;
  };
  const Case kCases[] = {
      {"ValidCertificatePathTest1EE", {"GoodCACert"}},
      {"InvalidCASignatureTest2EE", {"BadSignedCACert"}},
      {"InvalidEESignatureTest3EE", {"GoodCACert"}},
      {"ValidDSASignaturesTest4EE", {"DSACACert"}},
      {"ValidDSAParameterInheritanceTest5EE", {"DSACACert", "DSAParametersInheritedCACert"}},
      {"InvalidDSASignatureTest6EE", {"DSACACert"}},
      {"InvalidCAnotBeforeDateTest1EE", {"BadnotBeforeDateCACert"}},
      {"InvalidEEnotBeforeDateTest2EE", {"GoodCACert"}},
      {"Validpre2000UTCnotBeforeDateTest3EE", {"GoodCACert"}},
      {"ValidGeneralizedTimenotBeforeDateTest4EE", {"GoodCACert"}},
      {"InvalidCAnotAfterDateTest5EE", {"BadnotAfterDateCACert"}},
      {"InvalidEEnotAfterDateTest6EE", {"GoodCACert"}},
      {"Invalidpre2000UTCEEnotAfterDateTest7EE", {"GoodCACert"}},
      {"ValidGeneralizedTimenotAfterDateTest8EE", {"GoodCACert"}},
      {"InvalidNameChainingTest1EE", {"GoodCACert"}},
      {"InvalidNameChainingOrderTest2EE", {"NameOrderingCACert"}},
      {"ValidNameChainingWhitespaceTest3EE", {"GoodCACert"}},
      {"ValidNameChainingWhitespaceTest4EE", {"GoodCACert"}},
      {"ValidNameChainingCapitalizationTest5EE", {"GoodCACert"}},
      {"ValidNameUIDsTest6EE", {"UIDCACert"}},
      {"ValidRFC3280MandatoryAttributeTypesTest7EE", {"RFC3280MandatoryAttributeTypesCACert"}},
      {"ValidRFC3280OptionalAttributeTypesTest8EE", {"RFC3280OptionalAttributeTypesCACert"}},
      {"ValidUTF8StringEncodedNamesTest9EE", {"UTF8StringEncodedNamesCACert"}},
      {"ValidRolloverfromPrintableStringtoUTF8StringTest10EE", {"RolloverfromPrintableStringtoUTF8StringCACert"}},
      {"ValidUTF8StringCaseInsensitiveMatchTest11EE", {"UTF8StringCaseInsensitiveMatchCACert"}},
  };
  auto read = [](const std::string& name) {
    const std::string bytes = testing::ChainTestPkiRead(std::string(kPkitsCerts) + name + ".crt");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  };
  const std::vector<uint8_t> anchor = read("TrustAnchorRootCertificate");
  HCERTSTORE root = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvSystemA), 0, 0,
                                  kCertSystemStoreCurrentUser, "ROOT");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(root, kX509AsnEncoding, anchor.data(),
                                               static_cast<DWORD>(anchor.size()), kCertStoreAddAlways, nullptr));
  CertCloseStore(root, 0);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.end);
    std::vector<std::vector<uint8_t>> extra;
    std::string arguments = "-trusted '" + std::string(kPkitsCerts) + "TrustAnchorRootCertificate.crt'";
    for (const char* inter : c.intermediates) {
      extra.push_back(read(inter));
      arguments += " -untrusted '" + std::string(kPkitsCerts) + inter + ".crt'";
    }
    const int openssl = OpensslError(arguments + " '" + kPkitsCerts + c.end + ".crt'");
    const Verdict verdict = Check(read(c.end), nullptr, 0, kAuthTypeServer, extra);
    const bool ours_valid = verdict.built && verdict.error == 0;
    EXPECT_EQ(ours_valid, openssl == 0) << "openssl error " << openssl << ", ours 0x" << std::hex << verdict.error;
    const bool expected_valid = std::string(c.end).rfind("Valid", 0) == 0;
    if (expected_valid != (openssl == 0)) {
      std::printf("PKITS %s: expected %s, openssl verify gives error %d\n", c.end,
                  expected_valid ? "valid" : "invalid", openssl);
    } else {
      EXPECT_EQ(ours_valid, expected_valid);
    }
  }
}

// An EdDSA end certificate is refused before any path is built.
TEST_F(ChainTest, EdDsaEndCertificateIsRefused) {
  const Verdict verdict = Check(pki_->Get(ChainTestPki::kEd25519).der, nullptr);
  EXPECT_FALSE(verdict.built);
  EXPECT_EQ(verdict.last_error, 0x80090008u);
}

// Bad arguments, a failing policy by the test control, a certificate with a malformed extension and a
// "CA" store of a thousand unrelated certificates: codes or statuses, nothing left alive.
TEST_F(ChainTest, BadInputLeavesNothingAlive) {
  PCCERT_CONTEXT leaf = pki_->Context(ChainTestPki::kLeaf);
  ASSERT_NE(leaf, nullptr);
  const CERT_CHAIN_CONTEXT* chain = nullptr;
  EXPECT_FALSE(CertGetCertificateChain(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, &chain));
  EXPECT_EQ(GetLastError(), kEInvalidArg);
  EXPECT_FALSE(CertGetCertificateChain(nullptr, leaf, nullptr, nullptr, nullptr, 0, nullptr, nullptr));
  ASSERT_TRUE(CertGetCertificateChain(nullptr, leaf, nullptr, nullptr, nullptr, 0, nullptr, &chain));
  CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, nullptr};
  EXPECT_FALSE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(uintptr_t{5}), chain, nullptr, &status));
  EXPECT_EQ(GetLastError(), kENotImpl);
  EXPECT_FALSE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, nullptr,
                                                nullptr));
  test::FailNextChainPolicy(0x80090020u);
  EXPECT_FALSE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, nullptr,
                                                &status));
  EXPECT_EQ(GetLastError(), 0x80090020u);
  EXPECT_TRUE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, nullptr,
                                               &status));
  EXPECT_EQ(status.dwError, 0u);
  EXPECT_EQ(status.lElementIndex, -1);
  // The chain keeps its element contexts after the caller's context is freed.
  CertFreeCertificateContext(leaf);
  EXPECT_EQ(chain->rgpChain[0]->rgpElement[0]->pCertContext->cbCertEncoded, pki_->Get(ChainTestPki::kLeaf).der.size());
  EXPECT_EQ(test::LiveChainContexts(), 1);
  CertFreeCertificateChain(chain);
  EXPECT_FALSE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(kCertChainPolicySsl), chain, nullptr,
                                                &status));
  CertFreeCertificateChain(nullptr);

  // A leaf whose basic constraints extension does not decode.
  const std::string dir = pki_->Dir();
  const std::string make = "cd '" + dir + "' && printf '[bad]\\n2.5.29.19=critical,DER:300301\\n' > bad.cnf && "
                           "openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -extfile bad.cnf "
                           "-extensions bad -days 30 -set_serial 99 -outform DER -out bad_ext.der >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string bad = testing::ChainTestPkiRead(dir + "/bad_ext.der");
  const std::u16string name = u"a.test";
  const Verdict malformed = Check(std::vector<uint8_t>(bad.begin(), bad.end()), &name);
  if (malformed.built) {
    EXPECT_NE(malformed.error, 0u);
  }

  // A thousand unrelated self-signed certificates in "CA" beside the real intermediate.
  UseRoot("crowded");
  EVP_PKEY* key = EVP_EC_gen("P-256");
  ASSERT_NE(key, nullptr);
  HCERTSTORE ca = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvSystemA), 0, 0,
                                kCertSystemStoreCurrentUser, "CA");
  for (int i = 0; i < 1000; ++i) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), i + 1);
    X509_NAME* subject = X509_get_subject_name(cert);
    const std::string cn = "Unrelated " + std::to_string(i);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(cert, subject);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    EXPECT_TRUE(CertAddEncodedCertificateToStore(ca, kX509AsnEncoding, der, static_cast<DWORD>(length),
                                                 kCertStoreAddAlways, nullptr));
    OPENSSL_free(der);
    X509_free(cert);
  }
  CertCloseStore(ca, 0);
  EVP_PKEY_free(key);
  EXPECT_EQ(Check(pki_->Get(ChainTestPki::kLeaf).der, &name).error, 0u);
  EXPECT_EQ(Check(pki_->Get(ChainTestPki::kOrphan).der, &name).error, 0x800B010Au);
}

}  // namespace
}  // namespace velmora::platform
