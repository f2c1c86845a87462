// Hostile input: mutated extended certificates through the decoder, encoder and clone, and byte strings
// through the PKCS #12 password form, end in 0 or a bad-input code; the password forms of strings mixing
// ASCII, UTF-8 and broken sequences equal Python's. VELMORABLE_FUZZ_SEED replays the printed seed,
// VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/kdf/kdf_password.h"
#include "tests/pki/pki_test_support.h"
#include "tests/fuzz_support.h"

namespace velmora::pki::testing {

std::string FuzzCompositesInput(const std::string& input);

namespace {

const std::string kBytes("\x00\x01\x02\x03\x04\x06\x30\x31\x7F\x80\x81\x82\x84\x87\x88\xA0\xA1\xA2\xA3\xFF", 20);

TEST(CompositesFuzz, MutatedExtendedCertificatesEndInAllowedResults) {
  std::vector<std::string> seeds;
  std::ifstream in(VELMORA_TEST_DATA_DIR "/pki/extended_certs.txt");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("#")) seeds.push_back(Unhex(line.substr(line.find(' ') + 1)));
  }
  testing_support::RunMutationLoop("composites", seeds, 60000, kBytes, FuzzCompositesInput);
}

TEST(CompositesFuzz, PasswordFormsMatchPython) {
  // Fragments: ASCII, two-, three- and four-byte characters, an encoded surrogate, an overlong form, a
  // value above U+10FFFF, cut sequences, a lone continuation byte and a random byte.
  static const char* const kFragments[] = {"a",        "\xC3\xA9",         "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                           "\xEF\xBF\xBD", "\xED\xA0\x80", "\xC1\x81",     "\xF4\x90\x80\x80",
                                           "\xE2\x82",  "\xF0\x9F",         "\x80",         ""};
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  ScratchDir dir;
  std::vector<std::string> inputs;
  std::string lines;
  for (int i = 0; i < 3000; ++i) {
    std::string password;
    for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
      const size_t pick = rng() % std::size(kFragments);
      password += pick + 1 == std::size(kFragments) ? std::string(1, static_cast<char>(rng())) : kFragments[pick];
    }
    inputs.push_back(password);
    lines += testing_support::ToHex(password) + "\n";
  }
  std::string output;
  if (!RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/composites_oracle.py bmp " +
                      dir.Write("passwords.txt", lines),
                  &output)) {
    GTEST_SKIP() << "Debian's python3 is not available";
  }
  std::istringstream expected(output);
  for (const std::string& password : inputs) {
    std::string want;
    std::getline(expected, want);
    crypto::Pkcs12Kdf kdf;
    core::SecureBuffer out;
    ASSERT_EQ(kdf.password.SetData(static_cast<int32_t>(password.size()), password.data()), 0);
    ASSERT_EQ(crypto::Pkcs12PasswordToBmp(kdf, out), 0);
    EXPECT_EQ(Hex(Bytes(out)), want) << "seed " << seed << " password " << Hex(password);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
