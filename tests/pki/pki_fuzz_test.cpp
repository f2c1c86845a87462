// Hostile input: mutated corpus Names, AlgorithmIdentifiers and SubjectPublicKeyInfos through their
// decoders, and mutated texts through the text readers, end in 0 or a bad-input code; under ASan and
// UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed,
// VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/pki/pki_test_support.h"
#include "tests/fuzz_support.h"

namespace velmora::pki::testing {

std::string FuzzPkiInput(const std::string& input);

namespace {

const std::string kBytes("\x00\x01\x02\x03\x04\x05\x06\x0C\x13\x16\x1E\x30\x31\x7F\x80\x81\x84\xFF\"\\,=+ #",
                                  25);

TEST(PkiFuzz, MutatedNamesIdentifiersAndKeysEndInAllowedResults) {
  std::vector<std::string> seeds = {Unhex("300F310D300B0603550403130454657374"),
                                    Unhex("300D06092A864886F70D01010B0500"),
                                    Unhex("302A300506032B6570032100") + std::string(32, '\x11')};
  std::string output;
  for (const std::string mode : {"names", "algs"}) {
    if (!DebianPythonAvailable() || CorpusFiles().empty() || !Oracle(mode + CorpusFiles(), &output)) continue;
    for (const auto& line : testing_support::Lines(output)) seeds.push_back(Unhex(line.at(1)));
  }
  testing_support::RunMutationLoop("PKI", seeds, 300000, kBytes, FuzzPkiInput);
}

}  // namespace
}  // namespace velmora::pki::testing
