// PuTTY private key files: puttygen's keys of every type, versions 2 and 3, plain and encrypted, read to
// the numbers python reads from puttygen's OpenSSH export; our files accepted by puttygen as the same
// key; hostile Argon2 parameters and line counts refused before any work.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "component/component_base.h"
#include "core/date_time.h"
#include "keystore/ppk.h"
#include "platform/time.h"
#include "tests/keystore/key_file_test_support.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::Held;
using pki::testing::ScratchDir;
using pki::testing::Shell;

constexpr char kWrongPassword[] = "Error decoding key: The specified password is not correct.";
const char* const kSpecs[] = {"rsa -b 2048", "dsa -b 1024", "ecdsa -b 256", "ecdsa -b 384", "ecdsa -b 521", "ed25519", "ed448"};
constexpr int kEd25519 = 5, kEd448 = 6, kKeys = 7;

// PuttyKeys: one key of each type made by puttygen, its variants, and python's numbers of its export.
struct PuttyKeys {
  ScratchDir dir;
  bool ready = false;
  std::vector<Record> expected;         // by key: python's numbers (Ed448: its public octets)
  std::vector<std::vector<std::string>> variants;  // by key: the PPK files
  PuttyKeys() {
    if (!Tool("puttygen --version") || !pki::testing::DebianPythonAvailable()) return;
    const std::string pw = dir / "pw", empty = dir / "empty";
    if (!Shell("printf pw > " + pw + " && : > " + empty)) return;
    std::string exports;
    for (int i = 0; i < kKeys; ++i) {
      const std::string k = dir / ("k" + std::to_string(i)), old = " -P --old-passphrase " + empty;
      const std::string kdf = i % 2 == 0 ? "argon2i" : "argon2d";
      std::vector<std::string> files = {k + ".ppk", k + "v2.ppk", k + "v2e.ppk", k + "v3e.ppk"};
      bool ok = Shell("puttygen -q -t " + std::string(kSpecs[i]) + " -C c" + std::to_string(i) + " -o " + files[0] +
                      " --new-passphrase " + empty) &&
                Shell("puttygen -q " + files[0] + old + " --new-passphrase " + empty + " --ppk-param version=2 -o " + files[1]) &&
                Shell("puttygen -q " + files[0] + old + " --new-passphrase " + pw + " --ppk-param version=2 -o " + files[2]) &&
                Shell("puttygen -q " + files[0] + old + " --new-passphrase " + pw + " --ppk-param kdf=" + kdf +
                      ",memory=8192,passes=2 -o " + files[3]);
      // PuTTY's own defaults (Argon2id, passes timed) once.
      if (i == kEd25519) {
        files.push_back(k + "v3d.ppk");
        ok = ok && Shell("puttygen -q " + files[0] + old + " --new-passphrase " + pw + " -o " + files.back());
      }
      ok = ok && Shell("puttygen -q " + files[0] + " -O " + (i == kEd448 ? "public-openssh" : "private-openssh-new") +
                       " -o " + k + ".ossh");
      if (!ok) return;
      variants.push_back(files);
      if (i != kEd448) exports += " " + k + ".ossh";
    }
    for (const Record& r : KeyOracle("private ''" + exports)) expected.push_back(Expected(r));
    std::string line = pki::testing::ReadFile(dir / "k6.ossh");
    line = line.substr(line.find(' ') + 1);
    std::string blob = Unbase64(line.substr(0, line.find(' ')));
    expected.push_back({"4", pki::testing::Hex(blob.substr(blob.size() - 57))});
    ready = expected.size() == kKeys;
  }
  std::string File(int key, int variant) const { return pki::testing::ReadFile(variants[key][variant]); }
};

PuttyKeys& Keys() {
  static PuttyKeys keys;
  return keys;
}

int Read(const std::string& file, const char* password, crypto::KeyRecord& key, std::string* text = nullptr) {
  core::Buffer error;
  const int rc = ReadPuTTYKey(key, file.data(), static_cast<int32_t>(file.size()), password, &error);
  if (text != nullptr) *text = pki::testing::Bytes(error);
  return rc;
}

// Fips switches the FIPS-compliant setting on for its lifetime.
struct Fips {
  component::Configurable<component::ComponentBase> settings;
  Fips() { EXPECT_EQ(settings.Set("UseFIPSCompliantAPI=true"), 0); }
  ~Fips() { EXPECT_EQ(settings.Set("UseFIPSCompliantAPI=false"), 0); }
};

TEST(PpkRead, PuttygenFilesGivePythonsNumbers) {
  pki::testing::ProvidersLoaded providers;
  PuttyKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "puttygen or Debian python3 missing";
  for (int i = 0; i < kKeys; ++i) {
    for (const std::string& path : keys.variants[i]) {
      crypto::KeyRecord key;
      ASSERT_EQ(Read(pki::testing::ReadFile(path), "pw", key), 0) << path;
      Record got = Numbers(key);
      if (i == kEd448) {
        EXPECT_EQ(key.EdParams.PrivateKey.Length(), 57);
        got.resize(2);
      }
      EXPECT_EQ(got, keys.expected[i]) << path;
      EXPECT_STREQ(key.GetAttribute("Comment"), ("c" + std::to_string(i)).c_str());
    }
  }
}

TEST(PpkRead, WrongPasswordMacAndFipsGiveTheirCodesAndTexts) {
  pki::testing::ProvidersLoaded providers;
  PuttyKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "puttygen or Debian python3 missing";
  const std::string plain = keys.File(0, 0);
  const size_t mac = plain.find("Private-MAC: ") + 13;
  std::string upper = plain, changed = plain;
  for (size_t i = mac; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  changed[mac] = changed[mac] == '0' ? '1' : '0';
  const struct {
    std::string file;
    bool fips;
    int rc;
    std::string text;
  } cases[] = {
      {keys.File(0, 2), false, 280, kWrongPassword},
      {keys.File(1, 3), false, 280, kWrongPassword},
      {changed, false, 280, ""},
      {upper, false, 0, ""},
      {keys.File(2, 3), true, 9999,
       "Cannot open certificate store: PPK version 3 is not supported in FIPS compliance mode."},
      {keys.File(kEd25519, 0), true, 9999, "Cannot open certificate store: EdDSA is not supported in FIPS compliance mode."},
      {keys.File(2, 0), true, 0, ""},
  };
  for (const auto& c : cases) {
#ifndef VELMORABLE_PLATFORM_CRYPTO
    // FIPS mode sends the MAC to the platform, which such a build lacks.
    if (c.fips && (c.rc != 9999 || c.text.find("EdDSA") != std::string::npos)) continue;
#endif
    crypto::KeyRecord key;
    std::string text;
    int rc = 0;
    if (c.fips) {
      Fips fips;
      rc = Read(c.file, "wrong", key, &text);
    } else {
      rc = Read(c.file, "wrong", key, &text);
    }
    EXPECT_EQ(rc, c.rc) << c.file;
    EXPECT_EQ(text, c.text) << c.file;
  }
}

// Field returns the blank-separated field i of a line.
std::string Field(const std::string& line, int i) {
  std::istringstream stream(line);
  std::string field;
  for (int k = 0; k <= i; ++k) stream >> field;
  return field;
}

TEST(PpkWrite, PuttygenReadsOurFilesAsTheSourceKey) {
  pki::testing::ProvidersLoaded providers;
  PuttyKeys& keys = Keys();
  if (!keys.ready || !Tool("command -v ssh-keygen")) GTEST_SKIP() << "puttygen or Debian python3 missing";
  ScratchDir out;
  const std::string pw = keys.dir / "pw", empty = keys.dir / "empty";
  for (int i = 0; i < kKeys; ++i) {
    crypto::KeyRecord key;
    ASSERT_EQ(Read(keys.File(i, 0), "", key), 0);
    const std::string source = keys.dir / ("k" + std::to_string(i) + ".ossh");
    std::string source_line, source_print;
    if (i == kEd448) {
      source_line = pki::testing::ReadFile(source);
    } else {
      ASSERT_TRUE(Shell("ssh-keygen -y -f " + source, &source_line));
      ASSERT_TRUE(Shell("ssh-keygen -l -E sha256 -f " + source, &source_print));
    }
    for (const char* password : {"", "pw"}) {
      core::Buffer file;
      ASSERT_EQ(WritePuTTYKeyFile(key, password, file), 0);
      const std::string ours = out / ("o" + std::to_string(i) + password + ".ppk");
      std::ofstream(ours, std::ios::binary) << pki::testing::Bytes(file);
      const std::string old = " --old-passphrase " + (*password != '\0' ? pw : empty);
      std::string line, print;
      if (i == kEd448) {
        ASSERT_TRUE(Shell("puttygen " + ours + old + " -O public-openssh", &line)) << ours;
      } else {
        const std::string converted = ours + ".ossh";
        ASSERT_TRUE(Shell("puttygen " + ours + old + " -O fingerprint", &print)) << ours;
        EXPECT_EQ(Field(print, 2), Field(source_print, 1)) << ours;
        ASSERT_TRUE(Shell("puttygen -q " + ours + old + " -O private-openssh-new -o " + converted));
        ASSERT_TRUE(Shell("ssh-keygen -y -P '" + std::string(password) + "' -f " + converted, &line)) << ours;
      }
      EXPECT_EQ(Field(line, 0) + Field(line, 1), Field(source_line, 0) + Field(source_line, 1)) << ours;
    }
  }
}

TEST(PpkWrite, DefaultCommentPaddingAndLineCounts) {
  pki::testing::ProvidersLoaded providers;
  PuttyKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "puttygen or Debian python3 missing";
  crypto::KeyRecord key;
  ASSERT_EQ(Read(keys.File(kEd25519, 0), "", key), 0);
  ASSERT_EQ(key.AttributeNames.Clear(), 0);
  ASSERT_EQ(key.AttributeValues.Clear(), 0);
  // 2024-02-29 23:59:59 UTC.
  platform::test::SetNowFileTime(core::kUnixEpochFileTime + (1709164800ULL + 86399) * 10000000ULL);
  for (const char* password : {"", "pw"}) {
    core::Buffer file;
    ASSERT_EQ(WritePuTTYKeyFile(key, password, file), 0);
    const std::string text = pki::testing::Bytes(file);
    EXPECT_NE(text.find("\r\nComment: ed25519-key-20240229\r\n"), std::string::npos) << text;
    // Public blob 51 bytes: 2 lines; private 36 bytes, padded to 48 when encrypted: 1 line.
    EXPECT_NE(text.find("\r\nPublic-Lines: 2\r\n"), std::string::npos) << text;
    const size_t at = text.find("Private-Lines: 1\r\n");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string line = text.substr(at + 18, text.find("\r\n", at + 18) - at - 18);
    EXPECT_EQ(Unbase64(line).size(), *password != '\0' ? 48u : 36u) << line;
    EXPECT_EQ(text.find('\n', 0), text.find("\r\n", 0) + 1);
  }
  platform::test::SetNowFileTime(0);
}

TEST(PpkRead, HostileArgon2ParametersAndLineCountsAreRefusedAtOnce) {
  pki::testing::ProvidersLoaded providers;
  PuttyKeys& keys = Keys();
  if (!keys.ready) GTEST_SKIP() << "puttygen or Debian python3 missing";
  const std::string file = keys.File(kEd25519, 3);
  const auto replaced = [](std::string text, const std::string& name, const std::string& value) {
    const size_t at = text.find(name + ": ") + name.size() + 2;
    return text.replace(at, text.find('\n', at) - at, value);
  };
  const std::string cases[] = {
      replaced(file, "Argon2-Memory", "4194304"),
      replaced(file, "Argon2-Parallelism", "0"),
      replaced(file, "Argon2-Parallelism", "17"),
      replaced(file, "Argon2-Passes", "2147483648"),
      replaced(file, "Argon2-Passes", "0"),
      replaced(replaced(file, "Argon2-Memory", "262144"), "Argon2-Passes", "17"),
      replaced(file, "Public-Lines", "2147483648"),
      replaced(file, "Private-Lines", "2147483647"),
  };
  for (const std::string& hostile : cases) {
    crypto::KeyRecord key;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(hostile, "pw", key), 280) << hostile;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << hostile;
  }
}

}  // namespace
}  // namespace velmora::keystore::testing
