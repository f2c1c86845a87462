// bcrypt-pbkdf of any output length: Debian's python3-bcrypt gives the expected bytes for lengths across
// the stride rule and rounds across 1 to 16, and at 48 bytes it is the key and IV of BcryptPbkdf.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "crypto/objects/password_kdf.h"
#include "tests/crypto/kdf/kdf_test_util.h"

namespace velmora::crypto {
namespace {

class BcryptBytes : public KdfInternal {};

// PythonKdf returns bcrypt.kdf of the password and salt as hex, or "" when python3-bcrypt is missing.
std::string PythonKdf(const std::string& password, const std::string& salt, int rounds, int length) {
  const std::string command = "/usr/bin/python3 -c 'import bcrypt; print(bcrypt.kdf(b\"" + password + "\", b\"" + salt +
                              "\", " + std::to_string(length) + ", " + std::to_string(rounds) +
                              ", True).hex())' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
  if (pclose(pipe) != 0) return "";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string HexOf(const core::BufferCore& b) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int32_t i = 0; i < b.Length(); ++i) hex += {kDigits[b.Bytes()[i] >> 4], kDigits[b.Bytes()[i] & 15]};
  return hex;
}

TEST_F(BcryptBytes, MatchesPythonBcryptAndTheFortyEightByteForm) {
  if (PythonKdf("p", "s", 1, 1).empty()) GTEST_SKIP() << "python3-bcrypt missing";
  const std::pair<int, int> cases[] = {{1, 16}, {16, 1}, {28, 7}, {32, 2}, {40, 12}, {44, 3},
                                       {48, 5}, {64, 9}, {512, 1}, {512, 2}, {33, 4}, {1, 13}};
  core::Buffer password;
  ASSERT_EQ(password.SetString("correct horse"), 0);
  const std::string salt = "pinch of salt";
  for (const auto& [length, rounds] : cases) {
    core::Buffer out;
    ASSERT_EQ(BcryptPbkdfBytes(password, reinterpret_cast<const uint8_t*>(salt.data()),
                               static_cast<int32_t>(salt.size()), rounds, length, out),
              0);
    EXPECT_EQ(HexOf(out), PythonKdf("correct horse", salt, rounds, length)) << length << " bytes, " << rounds;
    if (length == 48) {
      core::Buffer key, iv;
      ASSERT_EQ(BcryptPbkdf(password, "bcrypt", reinterpret_cast<const uint8_t*>(salt.data()),
                            static_cast<int32_t>(salt.size()), rounds, key, iv),
                0);
      EXPECT_EQ(HexOf(out), HexOf(key) + HexOf(iv));
    }
  }
  core::Buffer out;
  EXPECT_EQ(BcryptPbkdfBytes(password, nullptr, 0, 1, 0, out), 432);
  EXPECT_EQ(BcryptPbkdfBytes(password, nullptr, 0, 1, 1025, out), 432);
}

}  // namespace
}  // namespace velmora::crypto
