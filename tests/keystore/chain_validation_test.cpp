// Server chain validation on the platform's chain engine, against the openssl command line: verdicts
// and status texts of openssl-made chains next to `openssl verify`'s, the chain as PEM text, every root
// of the system bundle, the revocation hand-off, the chain of a component's own certificate, and a chain
// a local `openssl s_server` presents. No chain context stays alive.
#include "keystore/chain_validation.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "component/tls_services.h"
#include "keystore/system_stores.h"
#include "pki/ocsp.h"
#include "pki/pem_armour.h"
#include "platform/time.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "tests/keystore/platform_keys_fixture.h"
#include "tests/platform/chain_test_pki.h"
#endif

namespace velmora::keystore {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO

namespace plat = velmora::platform;
using pki::testing::Bytes;
using pki::testing::RunCommand;
using Pki = plat::testing::ChainTestPki;

constexpr uint32_t kUntrustedRoot = 0x800B0109u;
constexpr uint32_t kNameMismatch = 0x800B010Fu;
constexpr char kUntrustedRootText[] =
    "A certification chain processed correctly but terminated in a root certificate not trusted by the trust "
    "provider.";

std::string WithoutCr(std::string text) {
  std::erase(text, '\r');
  return text;
}

int PemBlocks(const std::string& text) {
  int count = 0;
  for (size_t at = 0; (at = text.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; ++at) ++count;
  return count;
}

struct Verdict {
  int rc;
  std::string status, subject, issuer, chain;
};

class ChainValidationTest : public testing::PlatformKeysFixture {
 protected:
  void SetUp() override {
    Start("velmora_chain_validation", "true");
    if (dir_.empty()) return;
    ASSERT_TRUE(pki_.Make(dir_)) << Read("make.log");
    ASSERT_TRUE(pki_.Install());
  }
  void TearDown() override {
    if (dir_.empty()) return;
    plat::test::SetNowFileTime(0);
    component_.ResetStore();
    EXPECT_EQ(plat::test::LiveChainContexts(), 0);
    Finish();
  }
  Verdict Validate(plat::PCCERT_CONTEXT context, const char* server_name, uint32_t revocation = 0) {
    core::Buffer20 status;
    core::Buffer subject, issuer, chain;
    const int rc = ValidateServerCertificateChain(socket_, context, server_name, plat::kAuthTypeServer, status,
                                                  subject, issuer, chain, revocation);
    return {rc, Bytes(status), Bytes(subject), Bytes(issuer), Bytes(chain)};
  }
  Verdict Validate(const char* name, const char* server_name, uint32_t revocation = 0) {
    plat::PCCERT_CONTEXT context = pki_.Context(name);
    Verdict verdict = Validate(context, server_name, revocation);
    (void)component::CertFreeCertificateContext(context);
    return verdict;
  }
  std::string Pem(const char* name) { return pki_.Get(name).pem; }
  std::string NameText(const plat::CERT_NAME_BLOB& name) {
    char text[2000] = {};
    (void)component::CertNameToStrA(plat::kX509AsnEncoding, &name, 0x20000003, text, sizeof text);
    return text;
  }

  Pki pki_;
  component::SocketBase socket_;
  component::CertKeyComponent component_;
};

TEST_F(ChainValidationTest, VerdictsMatchOpensslVerify) {
  struct Row {
    const char* leaf;
    const char* root;
    const char* untrusted;  // what openssl gets as the intermediate
    const char* host;
    int32_t security_flags;
    bool expired_now;  // "now" past the short-lived leaf
    uint32_t code;
    const char* text;
    const char* openssl;  // a part of openssl verify's error, or "OK"
  };
  const Row rows[] = {
      {Pki::kLeaf, Pki::kRoot, Pki::kInter, "a.test", 0, false, 0, "OK", "OK"},
      {Pki::kEcLeaf, Pki::kEcRoot, Pki::kEcInter, "a.test", 0, false, 0, "OK", "OK"},
      {Pki::kSelfSigned, Pki::kRoot, Pki::kInter, "a.test", 0, false, kUntrustedRoot, kUntrustedRootText, "error 18 "},
      {Pki::kLeaf, Pki::kRoot, Pki::kInter, "b.test", 0, false, kNameMismatch,
       "The certificate's CN name does not match the passed value.", "error 62 "},
      {Pki::kLeaf, Pki::kRoot, Pki::kInter, "b.test", INT32_MIN, false, 0, "OK", "OK"},
      {Pki::kExpired, Pki::kRoot, Pki::kInter, "a.test", 0, true, 0x800B0101u,
       "A required certificate is not within its validity period.", "error 10 "},
      {Pki::kClientOnly, Pki::kRoot, Pki::kInter, "a.test", 0, false, 0x800B0110u,
       "The certificate is not valid for the requested usage.", "error 26 "},
      {Pki::kNoCaLeaf, Pki::kRoot, Pki::kNoCaInter, "a.test", 0, false, 0x80096019u,
       "The certificate's basic constraints are invalid or missing.", "invalid CA certificate"},
      {Pki::kAltered, Pki::kRoot, Pki::kInter, "a.test", 0, false, 0x80096004u,
       "The signature of the certificate cannot be verified.", "error 7 "},
      {Pki::kOrphan, Pki::kRoot, Pki::kInter, "a.test", 0, false, 0x800B010Au,
       "A chain of certificates was not correctly created.", "error 20 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.leaf) + " " + row.host);
    const std::time_t now = std::time(nullptr) + (row.expired_now ? Pki::kExpiredAfterDays * 86400 : 0);
    plat::test::SetNowFileTime(row.expired_now ? plat::kFileTimeUnixEpoch + uint64_t(now) * 10000000u : 0);
    socket_.SslSecurityFlags() = row.security_flags;
    const Verdict verdict = Validate(row.leaf, row.host);
    EXPECT_EQ(static_cast<uint32_t>(verdict.rc), row.code);
    char prefix[16] = "";
    if (row.code != 0) std::snprintf(prefix, sizeof prefix, "[0x%x] ", row.code);
    EXPECT_EQ(verdict.status, prefix + std::string(row.text));

    std::string out;
    const std::string command = "openssl verify -CAfile '" + pki_.Get(row.root).pem_path + "' -untrusted '" +
                                pki_.Get(row.untrusted).pem_path + "' -purpose sslserver -attime " +
                                std::to_string(now) + (row.security_flags < 0 ? "" : " -verify_hostname " +
                                std::string(row.host)) + " '" + pki_.Get(row.leaf).pem_path + "' 2>&1";
    const bool accepted = RunCommand(command, &out);
    if (std::string(row.openssl) == "OK") {
      EXPECT_TRUE(accepted) << out;
    } else {
      EXPECT_NE(out.find(row.openssl), std::string::npos) << out;
    }
  }
}

// Each root of the system bundle is validated as a chain of itself, with the verdict `openssl verify`
// gives it against the whole bundle: accepted while inside its validity period, and a root whose subject
// an older root of the bundle also carries ends at that one, untrusted.
TEST_F(ChainValidationTest, EverySystemRootIsItsOwnChain) {
  const char* bundle_path = "/etc/ssl/certs/ca-certificates.crt";
  const std::string bundle = testing::ReadFile(bundle_path);
  if (bundle.empty()) GTEST_SKIP() << "no system certificate bundle";
  std::vector<std::string> blocks;
  for (size_t at = 0; (at = bundle.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; ++at) {
    const size_t end = bundle.find("-----END CERTIFICATE-----", at);
    ASSERT_NE(end, std::string::npos);
    blocks.push_back(bundle.substr(at, end + 25 - at));
    std::ofstream(dir_ + "/system_root_" + std::to_string(blocks.size()) + ".pem") << blocks.back() << "\n";
  }
  ASSERT_GT(blocks.size(), 10u);
  std::string verdicts;
  ASSERT_TRUE(RunCommand("cd " + dir_ + " && for i in $(seq " + std::to_string(blocks.size()) +
                             "); do openssl verify -CAfile " + bundle_path +
                             " system_root_$i.pem 2>&1 | grep -o '^error [0-9]* ' | head -1; echo; done",
                         &verdicts));
  const std::map<std::string, uint32_t> mapped = {{"", 0}, {"error 18 ", kUntrustedRoot}, {"error 10 ", 0x800B0101u}};
  socket_.SslIncludeCertChain() = 1;
  std::istringstream lines(verdicts);
  for (const std::string& block : blocks) {
    std::string openssl;
    std::getline(lines, openssl);
    std::string line;
    if (!openssl.empty()) std::getline(lines, line);  // the empty line after an error
    ASSERT_EQ(mapped.count(openssl), 1u) << openssl;
    core::Buffer der;
    ASSERT_EQ(pki::PemDecode(block.c_str(), "CERTIFICATE", der, nullptr), 0);
    plat::PCCERT_CONTEXT context = component::CertCreateCertificateContext(
        plat::kX509AsnEncoding, der.Bytes(), static_cast<plat::DWORD>(der.Length()));
    ASSERT_NE(context, nullptr);
    const Verdict verdict = Validate(context, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(verdict.rc), mapped.at(openssl)) << verdict.subject << ": " << verdict.status;
    EXPECT_EQ(PemBlocks(verdict.chain), 1) << verdict.subject;
    (void)component::CertFreeCertificateContext(context);
  }
}

TEST_F(ChainValidationTest, RefusalsBeforeAndAtThePolicy) {
  // An Ed25519 end certificate: the platform builds no chain; the component's own chain is empty.
  const Verdict ed = Validate(Pki::kEd25519, "a.test");
  EXPECT_EQ(ed.rc, 274);
  EXPECT_EQ(ed.status, "can't get certificate chain (error 0x80090008).");
  EXPECT_EQ(Bytes(socket_.LastErrorText()), ed.status);
  const std::vector<uint8_t>& der = pki_.Get(Pki::kEd25519).der;
  ASSERT_EQ(SetCertificateEncoded(component_, der.data(), static_cast<int32_t>(der.size())), 0);
  core::StrList list;
  EXPECT_EQ(GetCertificateChain(component_, list, nullptr, nullptr), 0) << Bytes(component_.LastErrorText());
  EXPECT_EQ(list.Count(), 0);

  // Server names up to 1000 UTF-16 units with the terminator reach the policy; longer ones do not.
  const std::string fits(999, 'a'), too_long(1000, 'a');
  EXPECT_EQ(static_cast<uint32_t>(Validate(Pki::kLeaf, fits.c_str()).rc), kNameMismatch);
  const Verdict refused = Validate(Pki::kLeaf, too_long.c_str());
  EXPECT_EQ(refused.rc, 285);
  EXPECT_EQ(refused.status, "Server name does not match server certificate.");

  plat::test::FailNextChainPolicy(0x80070057u);
  const Verdict failed = Validate(Pki::kLeaf, "a.test");
  EXPECT_EQ(failed.rc, 275);
  EXPECT_EQ(failed.status, "Can't verify certificate chain (error 0x80070057).");
  EXPECT_EQ(Bytes(socket_.LastErrorText()), failed.status);
}

TEST_F(ChainValidationTest, RevocationChecksAreHandedTheChain) {
  // What the OCSP check says of the leaf and its chain, asked directly.
  core::StrList candidates;
  for (const char* name : {Pki::kLeaf, Pki::kInter, Pki::kRoot}) ASSERT_EQ(candidates.AddCString(Pem(name).c_str()), 0);
  core::Buffer leaf_der, ocsp_text;
  ASSERT_EQ(leaf_der.SetData(static_cast<int32_t>(pki_.Get(Pki::kLeaf).der.size()), pki_.Get(Pki::kLeaf).der.data()),
            0);
  const int ocsp = pki::CheckOcsp(leaf_der, candidates, ocsp_text, true);
  ASSERT_NE(ocsp, 0);

  struct Row {
    const char* leaf;
    uint32_t flags;
    uint32_t code;
    std::string status;
  };
  // Without its report bit a CRL check that cannot fetch says nothing, on the leaf and on the
  // intermediate alike; with it, the leaf's check reports.
  const Row rows[] = {
      {Pki::kCdpLeaf, 0, 0, "OK"},
      {Pki::kCdpLeaf, kRevocationCrl, 0, "OK"},
      {Pki::kCdpLeaf, kRevocationCrl | kRevocationCrlReport, 280,
       std::string("Failed to get a valid response from the CRL server: ") + Pki::kCdpLeafUrl},
      {Pki::kSelfSigned, kRevocationCrl, kUntrustedRoot, std::string("[0x800b0109] ") + kUntrustedRootText},
      {Pki::kLeaf, kRevocationOcsp | kRevocationOcspReport, 280, Bytes(ocsp_text)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.leaf) + " " + std::to_string(row.flags));
    socket_.SetLastErrorCode(0);
    const Verdict verdict = Validate(row.leaf, "a.test", row.flags);
    EXPECT_EQ(static_cast<uint32_t>(verdict.rc), row.code);
    EXPECT_EQ(verdict.status, row.status);
    if (row.code == 280) {
      EXPECT_NE(socket_.LastErrorCode(), 0);
    }
  }
}

TEST_F(ChainValidationTest, OwnCertificateChainAndSelectedTexts) {
  EXPECT_STREQ(SelectedSerialHex(component_), "00");
  core::StrList list;
  EXPECT_EQ(GetCertificateChain(component_, list, nullptr, nullptr), 272);
  EXPECT_EQ(Bytes(component_.LastErrorText()), "A certificate must be specified prior to this operation.");

  const std::vector<uint8_t>& leaf = pki_.Get(Pki::kCdpLeaf).der;
  ASSERT_EQ(SetCertificateEncoded(component_, leaf.data(), static_cast<int32_t>(leaf.size())), 0);
  uint32_t error_status = 1, info_status = 0;
  ASSERT_EQ(GetCertificateChain(component_, list, &error_status, &info_status), 0)
      << Bytes(component_.LastErrorText());
  ASSERT_EQ(list.Count(), 3);
  for (int i = 0; const char* name : {Pki::kCdpLeaf, Pki::kCdpInter, Pki::kRoot}) {
    const std::vector<uint8_t>& der = pki_.Get(name).der;
    EXPECT_EQ(std::string(list.Item(i), static_cast<size_t>(list.ItemLength(i))), std::string(der.begin(), der.end()))
        << name;
    ++i;
  }
  EXPECT_EQ(error_status, 0u);
  EXPECT_NE(info_status, 0u);

  std::string serial;
  ASSERT_TRUE(RunCommand("openssl x509 -noout -serial -in '" + pki_.Get(Pki::kCdpLeaf).pem_path + "'", &serial));
  EXPECT_EQ(strcasecmp(("serial=" + std::string(SelectedSerialHex(component_)) + "\n").c_str(), serial.c_str()), 0);
  ASSERT_EQ(CrlPointsList(component_, list), 0);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_STREQ(list.Item(0), Pki::kCdpLeafUrl);
}

// A local server presents leaf and intermediate; validated from the presented certificates alone, the
// leaf gets the verdict, names and chain texts of its own chain.
TEST_F(ChainValidationTest, ChainPresentedByLocalServer) {
  ASSERT_EQ(std::system(("cd " + dir_ + " && (openssl s_server -www -naccept 1 -accept 127.0.0.1:0 -cert leaf.pem "
                         "-key leaf.key -cert_chain inter.pem </dev/null >server.out 2>&1 & echo $! >server.pid)")
                            .c_str()),
            0);
  std::string port, shown;
  for (int tries = 0; tries < 100 && port.empty(); ++tries) {
    usleep(50000);
    const std::string out = Read("server.out");
    const size_t at = out.find("ACCEPT 127.0.0.1:"), end = out.find('\n', at);
    if (at != std::string::npos && end != std::string::npos) port = out.substr(at + 17, end - at - 17);
  }
  const bool fetched = !port.empty() && RunCommand("openssl s_client -connect 127.0.0.1:" + port +
                                                       " -showcerts </dev/null 2>/dev/null", &shown);
  kill(std::stoi(Read("server.pid")), SIGTERM);
  ASSERT_TRUE(fetched) << Read("server.out");

  plat::HCERTSTORE store =
      component::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvMemory), 0, 0, 0, nullptr);
  plat::PCCERT_CONTEXT leaf = nullptr;
  int presented = 0;
  for (size_t at = 0; (at = shown.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; ++at, ++presented) {
    core::Buffer der;
    ASSERT_EQ(pki::PemDecode(shown.c_str() + at, "CERTIFICATE", der, nullptr), 0);
    ASSERT_NE(component::CertAddEncodedCertificateToStore(store, plat::kX509AsnEncoding, der.Bytes(),
                                                          static_cast<plat::DWORD>(der.Length()),
                                                          plat::kCertStoreAddAlways, presented == 0 ? &leaf : nullptr),
              0);
  }
  ASSERT_EQ(presented, 2);
  const Verdict alone = Validate(leaf, "a.test");
  EXPECT_EQ(alone.status, "OK");
  EXPECT_EQ(alone.subject, NameText(leaf->pCertInfo->Subject));
  EXPECT_EQ(alone.issuer, NameText(leaf->pCertInfo->Issuer));
  EXPECT_EQ(WithoutCr(alone.chain), Pem(Pki::kLeaf));
  socket_.SslIncludeCertChain() = 1;
  const Verdict whole = Validate(leaf, "a.test");
  EXPECT_EQ(whole.rc, 0);
  EXPECT_EQ(WithoutCr(whole.chain), Pem(Pki::kLeaf) + "\n" + Pem(Pki::kInter) + "\n" + Pem(Pki::kRoot));
  (void)component::CertFreeCertificateContext(leaf);
  (void)component::CertCloseStore(store, 0);
}

#else

TEST(ChainValidation, NeedsPlatformCrypto) { GTEST_SKIP() << "built without the platform crypto modules"; }

#endif

}  // namespace
}  // namespace velmora::keystore
