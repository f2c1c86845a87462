// SSH2 private key files: puttygen's RSA and DSA exports read to the numbers python reads from its
// OpenSSH export; our files converted back by ssh-keygen and puttygen to the source key; EC keys through
// our own writer and reader; base64 text and raw bytes of a blob read alike.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "keystore/ppk.h"
#include "keystore/ssh2_key.h"
#include "tests/keystore/key_file_test_support.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::ScratchDir;
using pki::testing::Shell;

// Base64Of strips the armour and the header lines of an SSH2 file.
std::string Base64Of(const std::string& file) {
  std::istringstream lines(file);
  std::string text;
  bool continued = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool header = continued || line.find(':') != std::string::npos;
    continued = header && !line.empty() && line.back() == '\\';
    if (!header && line.rfind("----", 0) != 0) text += line;
  }
  return text;
}

// Key2 gives the type and base64 fields of a one-line public key.
std::string Key2(const std::string& line) {
  std::istringstream fields(line);
  std::string type, blob;
  fields >> type >> blob;
  return type + " " + blob;
}

int Read(const std::string& input, const char* password, crypto::KeyRecord& key) {
  return ReadSsh2PrivateKey(key, input.data(), static_cast<int32_t>(input.size()), password);
}

TEST(Ssh2Key, PuttygenFilesReadAndOurFilesConvertBackToTheSource) {
  pki::testing::ProvidersLoaded providers;
  if (!Tool("puttygen --version") || !Tool("command -v ssh-keygen") || !pki::testing::DebianPythonAvailable()) {
    GTEST_SKIP() << "puttygen, ssh-keygen or Debian python3 missing";
  }
  ScratchDir dir;
  const std::string pw = dir / "pw", empty = dir / "empty";
  ASSERT_TRUE(Shell("printf pw > " + pw + " && : > " + empty));
  for (const char* spec : {"rsa -b 2048", "dsa -b 1024"}) {
    const std::string k = dir / (spec[0] == 'r' ? "rsa" : "dsa");
    ASSERT_TRUE(Shell("puttygen -q -t " + std::string(spec) + " -o " + k + ".ppk --new-passphrase " + empty +
                      " && puttygen -q " + k + ".ppk -O private-openssh-new -o " + k + ".ossh && puttygen -q " + k +
                      ".ppk -O private-sshcom -o " + k + ".plain && puttygen -q " + k + ".ppk -P --old-passphrase " +
                      empty + " --new-passphrase " + pw + " -O private-sshcom -o " + k + ".pw"));
    const std::vector<Record> records = KeyOracle("private '' " + k + ".ossh");
    ASSERT_EQ(records.size(), 1u);
    std::string source;
    ASSERT_TRUE(Shell("ssh-keygen -y -f " + k + ".ossh", &source));
    for (const char* form : {".plain", ".pw"}) {
      const std::string text = Base64Of(pki::testing::ReadFile(k + form));
      for (const std::string& input : {text, Unbase64(text)}) {
        crypto::KeyRecord key;
        ASSERT_EQ(Read(input, form[1] == 'p' ? "pw" : "", key), 0) << k << form;
        EXPECT_EQ(Numbers(key), Expected(records[0])) << k << form;
      }
    }
    crypto::KeyRecord key;
    ASSERT_EQ(Read(Base64Of(pki::testing::ReadFile(k + ".plain")), "", key), 0);
    for (const char* password : {"", "pw"}) {
      core::Buffer file;
      ASSERT_EQ(WriteSsh2PrivateKey(key, 70, "a comment", password, file), 0);
      const std::string ours = k + "ours" + password, converted = ours + ".ossh";
      std::ofstream(ours, std::ios::binary) << pki::testing::Bytes(file);
      if (*password == '\0') {
        ASSERT_TRUE(Shell("ssh-keygen -i -f " + ours + " > " + converted + " && chmod 600 " + converted)) << ours;
      } else {
        ASSERT_TRUE(Shell("puttygen -q " + ours + " --old-passphrase " + pw + " -O private-openssh-new -o " + converted));
      }
      std::string line;
      ASSERT_TRUE(Shell("ssh-keygen -y -P '" + std::string(password) + "' -f " + converted, &line)) << ours;
      EXPECT_EQ(Key2(line), Key2(source)) << ours;
    }
  }
}

TEST(Ssh2Key, EcKeysRoundTripAndEdwardsKeysAreRefused) {
  pki::testing::ProvidersLoaded providers;
  if (!Tool("puttygen --version")) GTEST_SKIP() << "puttygen missing";
  ScratchDir dir;
  for (const char* spec : {"ecdsa -b 256", "ecdsa -b 384", "ecdsa -b 521", "ed25519"}) {
    const std::string k = dir / "k.ppk";
    ASSERT_TRUE(Shell("puttygen -q -t " + std::string(spec) + " -o " + k + " --new-passphrase /dev/null"));
    const std::string ppk = pki::testing::ReadFile(k);
    crypto::KeyRecord key;
    ASSERT_EQ(ReadPuTTYKey(key, ppk.data(), static_cast<int32_t>(ppk.size()), "", nullptr), 0);
    core::Buffer file;
    if (key.Type == crypto::kKeyEdwards) {
      EXPECT_EQ(WriteSsh2PrivateKey(key, 64, "", "", file), 280);
      continue;
    }
    for (const char* password : {"", "pw"}) {
      ASSERT_EQ(WriteSsh2PrivateKey(key, 64, "", password, file), 0);
      crypto::KeyRecord back;
      ASSERT_EQ(Read(Base64Of(pki::testing::Bytes(file)), password, back), 0) << spec;
      EXPECT_EQ(Numbers(back), Numbers(key)) << spec;
    }
  }
}

// The Koblitz curves the writer names come back as the same key; a curve name no reader knows is no key.
TEST(Ssh2Key, KoblitzCurvesRoundTripAndUnknownCurvesGive280) {
  pki::testing::ProvidersLoaded providers;
  for (const auto& [type, size, name] : {std::tuple{7, 20, "secp160k1"}, std::tuple{8, 24, "secp192k1"},
                                         std::tuple{9, 28, "secp224k1"}, std::tuple{10, 32, "secp256k1"}}) {
    SCOPED_TRACE(name);
    crypto::KeyRecord key;
    key.Type = crypto::kKeyEc;
    key.EcParams.KeyType = type;
    std::string d;
    for (int i = 1; i <= size; ++i) d += static_cast<char>(i);
    ASSERT_EQ(key.EcParams.D.SetData(size, d.data()), 0);
    core::Buffer file;
    ASSERT_EQ(WriteSsh2PrivateKey(key, 64, "", "", file), 0);
    crypto::KeyRecord back;
    std::string blob = Unbase64(Base64Of(pki::testing::Bytes(file)));
    ASSERT_EQ(Read(blob, "", back), 0);
    EXPECT_EQ(back.EcParams.KeyType, type);
    EXPECT_EQ(pki::testing::Bytes(back.EcParams.D), d);
    EXPECT_EQ(back.EcParams.X.Length(), size);
    blob.replace(blob.find(name), 9, "secp999k1");
    crypto::KeyRecord unknown;
    EXPECT_EQ(Read(blob, "", unknown), 280);
  }
}

}  // namespace
}  // namespace velmora::keystore::testing
