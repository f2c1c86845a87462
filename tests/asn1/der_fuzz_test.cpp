// Hostile DER: mutated inputs seeded from real certificates, CRLs, OCSP messages and PKCS#12 files (and a
// few built-in encodings, so the test runs without them) through the fuzz target. Under ASan and UBSan it
// also shows that no input crashes, reads out of bounds or leaks.
//
// The seed is printed; VELMORABLE_FUZZ_SEED replays one. VELMORABLE_FUZZ_SCALE multiplies the count
// (40 gives a million inputs, about two minutes under ASan).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "asn1/der_read.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {

bool FuzzDerInput(const uint8_t* data, size_t size, std::string* problem);

namespace {

constexpr int64_t kInputs = 25000;

std::vector<std::string> Corpus() {
  std::vector<std::string> corpus = {
      std::string("\x30\x80\x04\x01\x41\x00\x00", 7),
      std::string("\x24\x80\x04\x02\x41\x42\x04\x01\x43\x00\x00", 11),
      std::string("\x30\x0D\x06\x03\x55\x04\x03\x02\x02\x00\xFF\x03\x02\x00\xFF", 15),
      std::string("\x30\x11\x17\x0D" "491231235959Z" "\x05\x00", 19),
      std::string("\x30\x08\x02\x02\x00\x80\x02\x02\x00\x81", 10),
  };
  // Real structures, when Debian's python3-cryptography-vectors is installed.
  const std::filesystem::path root = "/usr/lib/python3/dist-packages/cryptography_vectors/x509";
  std::error_code ec;
  for (const char* folder : {"PKITS_data/certs", "PKITS_data/crls", "PKITS_data/pkcs12", "ocsp"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / folder, ec)) {
      std::ifstream in(entry.path(), std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  return corpus;
}

// SubElement picks a random element inside the input by a few steps into and across elements.
std::string SubElement(const std::string& input, std::mt19937_64& rng) {
  core::Buffer buffer;
  if (buffer.SetData(static_cast<int32_t>(input.size()), input.data()) != 0) return input;
  int32_t offset = 0;
  for (int steps = static_cast<int>(rng() % 12); steps > 0; --steps) {
    int32_t next = offset;
    if ((rng() % 3 == 0 ? DerSkipElement(buffer, &next) : DerEnterElement(buffer, &next)) != 0) break;
    if (next >= buffer.Length()) break;
    offset = next;
  }
  const int32_t size = DerElementSize(buffer.Bytes() + offset, buffer.Length() - offset);
  return size > 0 ? input.substr(static_cast<size_t>(offset), static_cast<size_t>(size)) : input;
}

void Mutate(std::string& s, std::mt19937_64& rng) {
  static const uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x17, 0x18, 0x1F, 0x20,
                                         0x24, 0x2E, 0x30, 0x31, 0x7F, 0x80, 0x81, 0x82, 0x84, 0x85, 0xFF};
  const size_t n = s.size();
  switch (rng() % 6) {
    case 0:
      if (n > 0) s[rng() % n] = static_cast<char>(s[rng() % n] ^ (1 << (rng() % 8)));
      break;
    case 1:
      if (n > 0) s[rng() % n] = static_cast<char>(kInteresting[rng() % sizeof kInteresting]);
      break;
    case 2:
      s.resize(n > 0 ? rng() % n : 0);
      break;
    case 3: {
      const size_t at = n > 0 ? rng() % n : 0;
      s.insert(at, std::string(1 + rng() % 4, static_cast<char>(kInteresting[rng() % sizeof kInteresting])));
      break;
    }
    case 4:
      if (n > 1) {
        const size_t at = rng() % n;
        s.erase(at, 1 + rng() % std::min<size_t>(8, n - at));
      }
      break;
    default:
      if (n > 4) {
        // Long-form lengths near the 31-bit limit.
        const size_t at = rng() % (n - 4);
        const char huge[5] = {'\x84', '\x7F', '\xFF', static_cast<char>(rng() % 2 ? 0xFF : 0x00), '\xFF'};
        s.replace(at, 5, huge, 5);
      }
      break;
  }
}

TEST(DerFuzz, MutatedInputsEndInAllowedResults) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::printf("DER fuzz seed %llu (VELMORABLE_FUZZ_SEED replays it)\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const std::vector<std::string> corpus = Corpus();
  std::printf("%zu seed inputs\n", corpus.size());
  std::string problem;
  for (const std::string& input : corpus) {
    ASSERT_TRUE(FuzzDerInput(reinterpret_cast<const uint8_t*>(input.data()), input.size(), &problem)) << problem;
  }
  const int64_t count = testing_support::FuzzScaled(kInputs);
  for (int64_t i = 0; i < count; ++i) {
    std::string input = SubElement(corpus[rng() % corpus.size()], rng);
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) Mutate(input, rng);
    ASSERT_TRUE(FuzzDerInput(reinterpret_cast<const uint8_t*>(input.data()), input.size(), &problem))
        << problem << " on input " << i << " (" << input.size() << " bytes)";
  }
}

}  // namespace
}  // namespace velmora::pki::testing
