// The certificate loader against the tools' inputs: every detected kind once as a file and once as data
// with its transcript; the failure codes and texts; the pairing of a certificate with its key; when a
// file is opened; what the handle records.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "keystore/cert_loader.h"
#include "tests/keystore/loader_fuzz_samples.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::Shell;

constexpr char kUnrecognised[] = "The certificate store could not be opened (0x2).";

std::string Text(const core::BufferCore& buffer) { return std::string(buffer.Data(), static_cast<size_t>(buffer.Length())); }

int32_t FileKind(int32_t data_kind) {
  switch (data_kind) {
    case 3: return 2;
    case 7: return 6;
    case 10: return 13;
    case 12: return 11;
    case 20: return 20;  // a security key block has one kind
    default: return data_kind - 1;  // PPK, XML, JWK
  }
}

// Shape names the entries: per entry "P" (Pfx), "B" (bundle), "C" (certificate), "K" (key), "2" (a key
// paired with its certificate), "J" (key with certificates), "S" (security key).
std::string Shape(const CertStoreHandle& handle) {
  std::string shape;
  for (int32_t i = 0; i < handle.entries.Count(); ++i) {
    const CertificateSource* e = handle.entries.Get(i);
    shape += e->pfx ? "P" : e->signedData ? "B" : e->certificate ? "C" : e->key ? "K" : e->keyCertificatePair ? "2"
             : e->keyWithCertificates ? "J" : e->certificateWithKey ? "S" : "?";
  }
  return shape;
}

// Certificates lists the DER of every certificate the handle holds, in hex.
std::vector<std::string> Certificates(const CertStoreHandle& handle) {
  CertificatePointers all;
  EXPECT_EQ(handle.CollectCertificates(all), 0);
  std::vector<std::string> ders;
  for (int32_t i = 0; i < all.Count(); ++i) ders.push_back(pki::testing::Hex(Text(all.Get(i)->der)));
  return ders;
}

class CertLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!samples_.ready) GTEST_SKIP() << "openssl or puttygen is missing";
  }
  std::string Der(const std::string& pem) {
    std::string der;
    EXPECT_TRUE(Shell("openssl x509 -in " + samples_.Path(pem) + " -outform DER | xxd -p -u | tr -d '\\n'", &der));
    return der;
  }
  pki::testing::ProvidersLoaded providers_;
  Samples& samples_ = TheSamples();
};

// Expect: the entries a sample loads into and the certificates they hold.
struct Expect {
  const char* shape;
  std::vector<std::string> certificates;
};

// CheckKinds loads each sample as data and as a file and compares kind, transcript, record and entries.
void CheckKinds(const Samples& samples, const std::vector<Sample>& inputs, const std::vector<Expect>& expected) {
  ASSERT_EQ(expected.size(), inputs.size());
  std::string modulus;
  ASSERT_TRUE(Shell("openssl rsa -in " + samples.Path("leaf.key") + " -noout -modulus | cut -d= -f2", &modulus));
  modulus.pop_back();
  for (size_t i = 0; i < expected.size(); ++i) {
    const Sample& sample = inputs[i];
    SCOPED_TRACE(sample.name);
    for (const bool as_file : {false, true}) {
      CertStoreHandle handle;
      core::Buffer log, error;
      const std::string path = samples.Path(sample.name);
      const std::string& input = as_file ? path : sample.bytes;
      ASSERT_EQ(LoadCertificate(handle, input.data(), static_cast<int32_t>(input.size()), as_file, "pw", &error, &log), 0)
          << Text(error);
      EXPECT_EQ(Text(log), (as_file ? "Input data is a file: " + path.substr(0, 32) + "\r\n" : "") + sample.transcript);
      EXPECT_EQ(handle.record.detected_kind, as_file ? FileKind(sample.kind) : sample.kind);
      EXPECT_EQ(Text(handle.record.store_data), sample.bytes);
      EXPECT_EQ(Text(handle.record.file_name), as_file ? path : "");
      EXPECT_EQ(Text(handle.record.password), "pw");
      EXPECT_EQ(Shape(handle), expected[i].shape);
      EXPECT_EQ(Certificates(handle), expected[i].certificates);
      // Every private key loaded is the leaf's (the mismatched pair's key is the root's).
      for (int32_t e = 0; e < handle.entries.Count(); ++e) {
        KeyRecord* key = handle.entries.Get(e)->GetKeyInfo();
        if (key == nullptr || !key->HasPrivatePart() || sample.name == "mismatch.pem") continue;
        EXPECT_EQ(Minimal(key->RsaParams.Modulus), modulus);
      }
    }
  }
}

TEST_F(CertLoader, EveryKindLoadsAsFileAndAsDataWithItsTranscript) {
  const std::string leaf = Der("leaf.pem"), ca = Der("ca.pem");
  CheckKinds(samples_, samples_.all,
             {{"P", {leaf}}, {"2CK", {leaf, ca}}, {"CK", {leaf}}, {"B", {leaf, ca}}, {"B", {leaf, ca}},
              {"P", {leaf}}, {"C", {leaf}}, {"K", {}}, {"KK", {}}, {"K", {}}});
}

TEST_F(CertLoader, XmlKeyValueLoadsWithItsKind) {
  if (samples_.python_made.empty()) GTEST_SKIP() << "Debian's python3 with jwcrypto is missing";
  CheckKinds(samples_, {samples_.python_made[0]}, {{"K", {}}});
}

TEST_F(CertLoader, JwkAndSecurityKeyLoadWithTheirKinds) {
  if (samples_.python_made.empty()) GTEST_SKIP() << "Debian's python3 with jwcrypto is missing";
  CheckKinds(samples_, {samples_.python_made[1], samples_.python_made[2]}, {{"J", {}}, {"S", {Der("leaf.pem")}}});
}

TEST_F(CertLoader, FailuresKeepTheirCodesTextsAndEarlierEntries) {
  const std::string dir = samples_.dir.path + "/";
  ASSERT_TRUE(Shell("cd " + dir + " && openssl rsa -in leaf.key -aria128 -traditional -passout pass:pw -out aria.pem && "
                    "cat leaf.pem aria.pem > cert_aria.pem"));
  const std::string long_tag(40, 'Q');
  const std::string unknown = "-----BEGIN " + long_tag + "-----\nAAAA\n-----END " + long_tag + "-----\n";
  struct Case {
    std::string input;
    const char* password;
    int rc;
    std::string text;
    std::string log;  // "*": not checked
    const char* shape;
  };
  const std::vector<Case> cases = {
      {samples_.Read("b.pfx"), "wrong", 271, "The certificate store could not be opened (Wrong password).", "", ""},
      {"certainly not a certificate", "pw", 271, kUnrecognised, "*", ""},
      {samples_.Read("aria.pem"), "pw", 271, "The certificate store could not be opened (Unsupported Algorithm).",
       std::string(kPemOk) + Tag("RSA PRIVATE KEY"), ""},
      {samples_.Read("cert_aria.pem"), "pw", 271, "The certificate store could not be opened (Unsupported Algorithm).",
       "*", "C"},
      // An input of unknown blocks only is not an empty store; the tag is quoted to 32 characters.
      {unknown, "pw", 271, kUnrecognised,
       std::string(kPemOk) + Tag(long_tag.substr(0, 32)) + "Unknown PEM tag (" + long_tag.substr(0, 32) + ") was ignored.\r\n",
       ""},
      // A DES-3 key under the wrong password is skipped, and its failure is the result.
      {samples_.Read("des3.pem"), "wrong", 446, "", std::string(kPemOk) + Tag("RSA PRIVATE KEY") + "*", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 40));
    CertStoreHandle handle;
    core::Buffer log, error;
    EXPECT_EQ(LoadCertificateFromInput(handle, c.input.data(), static_cast<int32_t>(c.input.size()), false, c.password,
                                       &log, nullptr, nullptr, &error),
              c.rc);
    EXPECT_EQ(Text(error), c.text);
    if (c.log != "*" && c.log.back() == '*') {
      EXPECT_EQ(Text(log).substr(0, c.log.size() - 1), c.log.substr(0, c.log.size() - 1));
    } else if (c.log != "*") {
      EXPECT_EQ(Text(log), c.log);
    }
    EXPECT_EQ(Shape(handle), c.shape);
  }
}

TEST_F(CertLoader, OpensAFileOnlyWhenAskedAndForShortNames) {
  const std::string path = samples_.Path("pair.pem");
  CertStoreHandle handle;
  core::Buffer error;
  int32_t is_file = -1;
  // A name arriving as data is text like any other.
  EXPECT_EQ(LoadCertificateFromInput(handle, path.data(), static_cast<int32_t>(path.size()), false, "pw", nullptr,
                                     &is_file, nullptr, &error),
            271);
  EXPECT_EQ(Text(error), kUnrecognised);
  EXPECT_EQ(is_file, 0);
  // Names of 1023 and 1024 characters: only the shorter one is opened.
  std::string deep = samples_.dir.path;
  while (deep.size() < 1000) deep += "/" + std::string(std::min<size_t>(200, 1000 - deep.size()), 'd');
  std::filesystem::create_directories(deep);
  for (const size_t length : {size_t{1023}, size_t{1024}}) {
    const std::string name = deep + "/" + std::string(length - deep.size() - 1, 'f');
    ASSERT_EQ(name.size(), length);
    std::filesystem::copy_file(path, name);
    EXPECT_EQ(LoadCertificateFromInput(handle, name.data(), -1, true, "pw", nullptr, &is_file, nullptr, nullptr),
              length < 1024 ? 0 : 271);
    EXPECT_EQ(is_file, length < 1024 ? 1 : 0);
  }
}

TEST_F(CertLoader, NulTerminatedInputLeavesTheStoreDataEmpty) {
  const std::string text = samples_.Read("pair.pem");
  CertStoreHandle handle;
  ASSERT_EQ(LoadCertificate(handle, text.c_str(), -1, false, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(Shape(handle), "P");
  EXPECT_EQ(handle.record.store_data.Length(), 0);
  EXPECT_EQ(handle.record.detected_kind, 7);
}

TEST_F(CertLoader, FipsModeRefusalsGive9999WithTheirTexts) {
  const std::string dir = samples_.dir.path + "/";
  ASSERT_TRUE(Shell("cd " + dir + " && printf pw > pw && "
                    "puttygen k.ppk -P --old-passphrase /dev/null --new-passphrase pw -O private -o k3e.ppk"));
  constexpr char kFips[] = "The certificate store could not be opened (Unsupported certificate in FIPS mode).";
  // The encrypted PuTTY file keeps its reader's own text; the legacy PEM cipher and the PKCS #12
  // derivation get the loader's.
  for (const auto& [name, text] : {std::pair{"k3e.ppk", ""}, std::pair{"des3.pem", kFips}, std::pair{"b.pfx", kFips}}) {
    SCOPED_TRACE(name);
    const std::string input = samples_.Read(name);
    component::Configurable<component::ComponentBase> settings;
    ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=true"), 0);
    CertStoreHandle handle;
    core::Buffer error;
    const int rc = LoadCertificateFromInput(handle, input.data(), static_cast<int32_t>(input.size()), false, "pw",
                                            nullptr, nullptr, nullptr, &error);
    EXPECT_EQ(settings.Set("UseFIPSCompliantAPI=false"), 0);
    EXPECT_EQ(rc, 9999);
    if (*text != '\0') {
      EXPECT_EQ(Text(error), text);
    } else {
      EXPECT_NE(Text(error), "");
      EXPECT_EQ(Text(error).find("could not be opened"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace velmora::keystore::testing
