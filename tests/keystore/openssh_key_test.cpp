// OpenSSH private keys: ssh-keygen's keys under every AES cipher it writes, the corpus keys and PuTTY's
// Ed448 export read to python's numbers; the ciphers outside the AES names, wrong passwords and hostile
// round counts refused; our files read by ssh-keygen and python as the source key.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "keystore/openssh_key.h"
#include "tests/keystore/key_file_test_support.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::ScratchDir;
using pki::testing::Shell;

const char* const kSpecs[] = {"rsa -b 2048", "dsa", "ecdsa -b 256", "ecdsa -b 384", "ecdsa -b 521", "ed25519"};
const char* const kCiphers[] = {"aes128-cbc", "aes192-cbc", "aes256-cbc", "aes128-ctr", "aes192-ctr", "aes256-ctr"};
constexpr int kKeys = 6, kRsa = 0, kEd25519 = 5;

// Body strips the armour of an OpenSSH key file.
std::string Body(const std::string& file) {
  const size_t begin = file.find('\n', file.find("-----BEGIN")) + 1, end = file.find("-----END");
  std::string base64;
  for (char c : file.substr(begin, end - begin)) {
    if (c != '\n' && c != '\r') base64 += c;
  }
  return Unbase64(base64);
}

uint32_t Word(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = at; i < at + 4 && i < s.size(); ++i) v = v << 8 | static_cast<unsigned char>(s[i]);
  return v;
}

// SkipString returns the offset after the SSH string at at.
size_t SkipString(const std::string& s, size_t at) { return at + 4 + Word(s, at); }

struct Case {
  std::string path, password;
  Record expected;
};

// OpenSshKeys: ssh-keygen's keys, their encrypted copies and the corpus keys, with python's numbers.
struct OpenSshKeys {
  ScratchDir dir;
  bool ready = false;
  std::vector<Case> cases;  // the first kKeys are the unencrypted sources
  OpenSshKeys() {
    if (!Tool("command -v ssh-keygen") || !pki::testing::DebianPythonAvailable()) return;
    std::string sources;
    for (int i = 0; i < kKeys; ++i) {
      const std::string k = dir / ("k" + std::to_string(i));
      if (!Shell("ssh-keygen -q -N '' -C c" + std::to_string(i) + " -t " + kSpecs[i] + " -f " + k)) return;
      sources += " " + k;
    }
    const std::vector<Record> records = KeyOracle("private ''" + sources);
    if (records.size() != kKeys) return;
    for (const Record& r : records) cases.push_back({r[0], "", Expected(r)});
    // Each key under two of the six ciphers at 4 rounds, and the RSA key under ssh-keygen's defaults.
    for (int i = 0; i < kKeys; ++i) {
      for (int c : {i, (i + 1) % kKeys}) {
        const std::string copy = cases[i].path + kCiphers[c];
        if (!Shell("cp " + cases[i].path + " " + copy + " && ssh-keygen -q -p -P '' -N pw -a 4 -Z " + kCiphers[c] +
                   " -f " + copy)) {
          return;
        }
        cases.push_back({copy, "pw", cases[i].expected});
      }
    }
    const std::string defaults = cases[kRsa].path + "default";
    if (!Shell("cp " + cases[kRsa].path + " " + defaults + " && ssh-keygen -q -p -P '' -N pw -f " + defaults)) return;
    cases.push_back({defaults, "pw", cases[kRsa].expected});
    // The corpus keys: the encrypted ones as ssh-keygen decrypts them.
    for (const char* name : {"dsa", "ecdsa", "ed25519", "rsa"}) {
      for (const char* form : {"-nopsw", "-psw"}) {
        const std::string path = std::string(pki::testing::kVectors) + "/asymmetric/OpenSSH/" + name + form + ".key";
        const std::string plain = dir / (std::string(name) + form);
        const bool encrypted = form[1] == 'p';
        if (!Shell("cp " + path + " " + plain + " && chmod 600 " + plain +
                   (encrypted ? " && ssh-keygen -q -p -P password -N '' -f " + plain : ""))) {
          continue;
        }
        const std::vector<Record> r = KeyOracle("private '' " + plain);
        if (r.size() == 1) cases.push_back({path, encrypted ? "password" : "", Expected(r[0])});
      }
    }
    ready = true;
  }
};

OpenSshKeys& Keys() {
  static OpenSshKeys keys;
  return keys;
}

int ReadBody(const std::string& body, const char* password, crypto::KeyRecord& key) {
  return ReadOpenSshPrivateKey(key, body.data(), static_cast<uint32_t>(body.size()), password);
}

TEST(OpenSshRead, KeygenCorpusAndPuttyKeysGivePythonsNumbers) {
  pki::testing::ProvidersLoaded providers;
  OpenSshKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "ssh-keygen or Debian python3 missing";
  ASSERT_GT(keys.cases.size(), static_cast<size_t>(3 * kKeys));
  for (const Case& c : keys.cases) {
    crypto::KeyRecord key;
    ASSERT_EQ(ReadBody(Body(pki::testing::ReadFile(c.path)), c.password.c_str(), key), 0) << c.path;
    EXPECT_EQ(Numbers(key), c.expected) << c.path;
    // The comment comes back for EdDSA keys only.
    EXPECT_EQ(key.AttributeNames.Count(), key.Type == crypto::kKeyEdwards ? 1 : 0) << c.path;
  }
  if (!Tool("puttygen --version")) GTEST_SKIP() << "puttygen missing";
  const std::string ed448 = keys.dir / "ed448";
  ASSERT_TRUE(Shell("puttygen -q -t ed448 -o " + ed448 + ".ppk --new-passphrase /dev/null && puttygen -q " + ed448 +
                    ".ppk -O private-openssh-new -o " + ed448 + " && puttygen " + ed448 + ".ppk -O public-openssh -o " +
                    ed448 + ".pub"));
  crypto::KeyRecord key;
  ASSERT_EQ(ReadBody(Body(pki::testing::ReadFile(ed448)), "", key), 0);
  std::string line = pki::testing::ReadFile(ed448 + ".pub");
  line = line.substr(line.find(' ') + 1);
  const std::string blob = Unbase64(line.substr(0, line.find(' ')));
  EXPECT_EQ(key.EdParams.KeyType, 4);
  EXPECT_EQ(pki::testing::Bytes(key.EdParams.PublicKey), blob.substr(blob.size() - 57));
  EXPECT_EQ(key.EdParams.PrivateKey.Length(), 57);
}

TEST(OpenSshRead, OtherCiphersWrongPasswordsAndHostileRoundsGive280) {
  pki::testing::ProvidersLoaded providers;
  OpenSshKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "ssh-keygen or Debian python3 missing";
  std::vector<std::pair<std::string, std::string>> refused;  // body, password
  for (const char* cipher : {"3des-cbc", "aes256-gcm@openssh.com", "chacha20-poly1305@openssh.com"}) {
    const std::string copy = keys.dir / cipher;
    ASSERT_TRUE(Shell("cp " + keys.cases[kEd25519].path + " " + copy + " && ssh-keygen -q -p -P '' -N pw -a 1 -Z " +
                      cipher + " -f " + copy));
    refused.emplace_back(Body(pki::testing::ReadFile(copy)), "pw");
  }
  const std::string encrypted = Body(pki::testing::ReadFile(keys.cases[kKeys].path));
  refused.emplace_back(encrypted, "wrong");
  const size_t rounds = SkipString(encrypted, SkipString(encrypted, SkipString(encrypted, 15)) + 4);
  for (const std::string& value : {std::string("\xff\xff\xff\xff"), std::string(4, '\0'), std::string("\0\0\x04\x01", 4)}) {
    std::string hostile = encrypted;
    hostile.replace(rounds, 4, value);
    refused.emplace_back(hostile, "pw");
  }
  for (const auto& [body, password] : refused) {
    crypto::KeyRecord key;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadBody(body, password.c_str(), key), 280) << pki::testing::Hex(body.substr(0, 64));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
}

// The private section must be all there: every cut of an ssh-keygen ECDSA body (whose comment and
// padding the key itself does not need) is refused.
TEST(OpenSshRead, EveryCutOfAKeygenBodyGives280) {
  pki::testing::ProvidersLoaded providers;
  const std::string body = Body(pki::testing::ReadFile(VELMORA_TEST_DATA_DIR "/keystore/ssh_ecdsa_p256.key"));
  crypto::KeyRecord whole;
  ASSERT_EQ(ReadBody(body, "", whole), 0);
  for (size_t cut = 0; cut < body.size(); ++cut) {
    crypto::KeyRecord key;
    EXPECT_EQ(ReadBody(body.substr(0, cut), "", key), 280) << cut;
  }
}

TEST(OpenSshWrite, KeygenAndPythonReadOurKeysAsTheSource) {
  pki::testing::ProvidersLoaded providers;
  OpenSshKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "ssh-keygen or Debian python3 missing";
  ScratchDir out;
  for (int i = 0; i < kKeys; ++i) {
    crypto::KeyRecord key;
    ASSERT_EQ(ReadBody(Body(pki::testing::ReadFile(keys.cases[i].path)), "", key), 0);
    // A modulus stored at its fixed length, top bit set and no zero in front, still makes an mpint.
    if (i == kRsa) {
      ASSERT_EQ(key.RsaParams.PadToFixedLength(), 0);
    }
    std::string source;
    ASSERT_TRUE(Shell("ssh-keygen -y -f " + keys.cases[i].path, &source));
    for (const char* password : {"", "pw"}) {
      core::Buffer file;
      ASSERT_EQ(ArmourOpenSshPrivateKey(key, password, "comment", file), 0);
      const std::string ours = out / ("o" + std::to_string(i) + password);
      std::ofstream(ours, std::ios::binary) << pki::testing::Bytes(file);
      std::string line;
      ASSERT_TRUE(Shell("chmod 600 " + ours + " && ssh-keygen -y -P '" + password + "' -f " + ours, &line)) << ours;
      EXPECT_EQ(line.substr(0, line.rfind(' ')), source.substr(0, source.rfind(' '))) << ours;
      const std::vector<Record> r = KeyOracle(std::string("private '") + password + "' " + ours);
      ASSERT_EQ(r.size(), 1u) << ours;
      EXPECT_EQ(Expected(r[0]), keys.cases[i].expected) << ours;
    }
  }
  crypto::KeyRecord none;
  core::Buffer file;
  EXPECT_EQ(ArmourOpenSshPrivateKey(none, "", "", file), 1424);
}

TEST(OpenSshWrite, CheckIntegersAreEqualSmallAndSpread) {
  pki::testing::ProvidersLoaded providers;
  OpenSshKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "ssh-keygen or Debian python3 missing";
  crypto::KeyRecord key;
  ASSERT_EQ(ReadBody(Body(pki::testing::ReadFile(keys.cases[kEd25519].path)), "", key), 0);
  std::set<uint32_t> seen;
  for (int i = 0; i < 1000; ++i) {
    core::Buffer body;
    ASSERT_EQ(WriteOpenSshPrivateKey(body, "", "", nullptr, nullptr, &key.EdParams, "", 0), 0);
    const std::string b = pki::testing::Bytes(body);
    const size_t section = SkipString(b, SkipString(b, SkipString(b, SkipString(b, 15))) + 4) + 4;
    ASSERT_EQ(Word(b, section), Word(b, section + 4));
    ASSERT_LT(Word(b, section), 32768u);
    seen.insert(Word(b, section));
    if (i == 0) {
      // Ed25519: the private field holds the 32 private octets and the 32 public ones.
      const size_t name = section + 8, pub = SkipString(b, name), priv = SkipString(b, pub);
      EXPECT_EQ(Word(b, priv), 64u);
      EXPECT_EQ(b.substr(priv + 4, 64), pki::testing::Bytes(key.EdParams.PrivateKey) + b.substr(pub + 4, 32));
    }
  }
  EXPECT_GT(seen.size(), 900u);
  EXPECT_LT(*seen.begin(), 2048u);
  EXPECT_GT(*seen.rbegin(), 30720u);
}

}  // namespace
}  // namespace velmora::keystore::testing
