// Hostile names, identifiers and keys: mutated corpus Names, AlgorithmIdentifiers and SubjectPublicKeyInfos
// through their decoders, and mutated name texts through the text readers. Every call must end in 0 or one
// of the codes the decoders give for bad input; under ASan and UBSan nothing may crash, read out of bounds
// or leak. The seed is printed; VELMORABLE_FUZZ_SEED replays one, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asn1/algorithm_identifier.h"
#include "component/component_base.h"
#include "pki/distinguished_name.h"
#include "pki/subject_public_key_info.h"
#include "tests/pki/pki_test_support.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {
namespace {

constexpr int64_t kInputs = 300000;

bool Allowed(int rc) {
  return rc == 0 || rc == -1 || rc == 434 || rc == 445 || rc == 446 || rc == 447 || rc == 1401;
}

struct Held : core::Buffer {
  explicit Held(const std::string& bytes) { (void)SetData(static_cast<int32_t>(bytes.size()), bytes.data()); }
};

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds = {
      std::string("\x30\x0F\x31\x0D\x30\x0B\x06\x03\x55\x04\x03\x13\x04Test", 17),
      std::string("\x30\x0D\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0B\x05\x00", 15),
      std::string("\x30\x2A\x30\x05\x06\x03\x2B\x65\x70\x03\x21\x00", 12) + std::string(32, '\x11'),
  };
  std::string output;
  const std::string corpus = CorpusFiles();
  if (DebianPythonAvailable() && !corpus.empty()) {
    if (Oracle("names" + corpus, &output)) {
      for (const auto& line : testing_support::Lines(output)) seeds.push_back(Unhex(line.at(1)));
    }
    if (Oracle("algs" + corpus, &output)) {
      for (const auto& line : testing_support::Lines(output)) seeds.push_back(Unhex(line.at(1)));
    }
  }
  return seeds;
}

void Mutate(std::string& s, std::mt19937_64& rng) {
  static const char kBytes[] = {'\x00', '\x01', '\x02', '\x03', '\x04', '\x05', '\x06', '\x0C', '\x13', '\x16',
                                '\x1E', '\x30', '\x31', '\x7F', '\x80', '\x81', '\x84', '\xFF', '"',  '\\',
                                ',',    '=',    '+',    ' ',    '#'};
  const size_t n = s.size();
  switch (rng() % 5) {
    case 0:
      if (n > 0) s[rng() % n] = static_cast<char>(s[rng() % n] ^ (1 << (rng() % 8)));
      break;
    case 1:
      if (n > 0) s[rng() % n] = kBytes[rng() % sizeof kBytes];
      break;
    case 2:
      s.resize(n > 0 ? rng() % n : 0);
      break;
    case 3:
      s.insert(n > 0 ? rng() % n : 0, 1 + rng() % 3, kBytes[rng() % sizeof kBytes]);
      break;
    default:
      if (n > 1) s.erase(rng() % n, 1);
      break;
  }
}

// RunAll feeds one input to every reader; the first result outside the allowed codes is reported.
std::string RunAll(const std::string& input) {
  const Held der(input);
  core::Buffer text;
  int rc = DecodeNameToString(der, text);
  if (!Allowed(rc)) return "DecodeNameToString " + std::to_string(rc);
  AlgorithmIdentifier id;
  if (!Allowed(rc = id.Decode(der))) return "AlgorithmIdentifier::Decode " + std::to_string(rc);
  SubjectPublicKey key;
  if (!Allowed(rc = DecodePublicKeyFromSpki(der, key))) return "DecodePublicKeyFromSpki " + std::to_string(rc);
  component::ComponentBase component;
  core::Buffer bits;
  if (!Allowed(rc = ParseSubjectPublicKeyInfo(component, der, bits))) return "ParseSubjectPublicKeyInfo " + std::to_string(rc);
  // The input as a name text, and the text a valid name decoded to.
  for (const std::string& name : {std::string(input.c_str()), Bytes(text)}) {
    core::Buffer form;
    (void)ParseDistinguishedName(name.c_str(), form, nullptr);
    DerWriter writer;
    if (!Allowed(rc = EncodeNameFromText(name.c_str(), writer))) return "EncodeNameFromText " + std::to_string(rc);
  }
  return "";
}

TEST(PkiFuzz, MutatedNamesIdentifiersAndKeysEndInAllowedResults) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::printf("PKI fuzz seed %llu (VELMORABLE_FUZZ_SEED replays it)\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const std::vector<std::string> seeds = Seeds();
  std::printf("%zu seed inputs\n", seeds.size());
  for (const std::string& input : seeds) ASSERT_EQ(RunAll(input), "") << Hex(input);
  const int64_t count = testing_support::FuzzScaled(kInputs);
  for (int64_t i = 0; i < count; ++i) {
    std::string input = seeds[rng() % seeds.size()];
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) Mutate(input, rng);
    ASSERT_EQ(RunAll(input), "") << "input " << i << ": " << Hex(input);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
