// Hostile JSON: mutated texts seeded from JSONTestSuite, from windows of the iso-codes files and from a
// few documents of every mode, each through the fuzz entry with random modes, feeding and path. Under
// ASan and UBSan the test also shows that no input crashes or leaks. The seed is printed;
// VELMORABLE_FUZZ_SEED replays one and VELMORABLE_FUZZ_SCALE multiplies the count.
#include <map>

#include <gtest/gtest.h>

#include "tests/parsers/json_fuzz_entry.h"
#include "tests/parsers/json_test_support.h"

namespace velmora::parsers::testing {
namespace {

using Rng = std::mt19937_64;

constexpr int64_t kTexts = 40000;

int64_t Scaled(int64_t count) {
  const char* scale = std::getenv("VELMORABLE_FUZZ_SCALE");
  return scale != nullptr ? static_cast<int64_t>(static_cast<double>(count) * std::atof(scale)) : count;
}

uint64_t Seed() {
  const char* seed = std::getenv("VELMORABLE_FUZZ_SEED");
  return seed != nullptr ? std::strtoull(seed, nullptr, 0) : std::random_device{}();
}

const char* const kBuiltInSeeds[] = {
    R"({"kty":"RSA","keys":[1,{"b":2},3],"x":[],"e":""})",
    R"(({"a":[true,False,NULL,-1.5e+3]}))",
    "{/*c*/\"a\"://x\n[1,],\"b\":{},}",
    R"(<{"a":"\uD834\uDD1E\u0000\uZZZZ"}> <[2]>)",
    "[1] {\"b\":2} 3 \"s\" ",
    "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
};

const char kTokens[] = "{}[]\",:/*\\ \n\t0123456789eE.-+tfnulrTFN()<>'$@u";

std::string Mutate(const std::string& seed, const std::vector<std::string>& seeds, Rng& rng) {
  std::string text = seed;
  const int edits = 1 + static_cast<int>(rng() % 6);
  for (int e = 0; e < edits; ++e) {
    const size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
    switch (rng() % 6) {
      case 0:  // replace a byte
        if (at < text.size()) text[at] = static_cast<char>(rng() % 2 ? kTokens[rng() % (sizeof kTokens - 1)] : rng());
        break;
      case 1:  // insert a token character
        text.insert(at, 1, kTokens[rng() % (sizeof kTokens - 1)]);
        break;
      case 2:  // delete a range
        text.erase(at, rng() % 8);
        break;
      case 3:  // repeat a range
        if (at < text.size()) text.insert(at, text.substr(at, 1 + rng() % 16));
        break;
      case 4: {  // splice in a piece of another seed
        const std::string& other = seeds[rng() % seeds.size()];
        const size_t from = other.empty() ? 0 : rng() % other.size();
        text.insert(at, other.substr(from, 1 + rng() % 64));
        break;
      }
      default:  // cut the text short
        text.resize(at);
        break;
    }
  }
  return text;
}

TEST(JsonFuzz, MutatedTextsAreTakenOrRefusedCleanly) {
  std::vector<std::string> seeds(std::begin(kBuiltInSeeds), std::end(kBuiltInSeeds));
  for (const SuiteCase& c : LoadSuite()) {
    if (c.bytes.size() < 4096) seeds.push_back(c.bytes);
  }
  const uint64_t seed = Seed();
  std::printf("fuzz seed %llu (VELMORABLE_FUZZ_SEED replays it)\n", static_cast<unsigned long long>(seed));
  Rng rng(seed);
  if (!IsoCodesFolder().empty()) {
    for (const char* name : {"iso_3166-3.json", "iso_639-5.json", "schema-639-3.json", "iso_3166-2.json"}) {
      const std::string text = ReadFile(IsoCodesFolder() + "/" + name);
      for (int w = 0; w < 20; ++w) {
        const size_t from = w == 0 ? 0 : rng() % text.size();
        seeds.push_back(text.substr(from, 64 + rng() % 1500));
      }
    }
  }
  std::printf("%zu seeds\n", seeds.size());
  std::map<int, int64_t> results;
  // The seeds themselves first, each with one random choice of modes, feeding and path.
  for (const std::string& s : seeds) {
    const std::string input = std::string{static_cast<char>(rng()), static_cast<char>(rng()), static_cast<char>(rng())} + s;
    ++results[JsonFuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size())];
  }
  const int64_t count = Scaled(kTexts);
  for (int64_t i = 0; i < count; ++i) {
    std::string input(3, '\0');
    for (char& c : input) c = static_cast<char>(rng());
    input += Mutate(seeds[rng() % seeds.size()], seeds, rng);
    if (rng() % 4 == 0) {
      input += '\0';
      input += Mutate("/json/[1]/a", seeds, rng);
    }
    ++results[JsonFuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size())];
  }
  for (const auto& [code, n] : results) {
    std::printf("result %d: %lld texts\n", code, static_cast<long long>(n));
    EXPECT_TRUE(code == 0 || code == kJsonMarkupError) << code;
  }
}

}  // namespace
}  // namespace velmora::parsers::testing
