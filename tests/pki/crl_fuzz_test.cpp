// Hostile input: mutated corpus CRLs through the decoder end in 0, 446 or 447 with parallel lists of
// well-formed items; under ASan and UBSan nothing crashes, reads out of bounds or leaks.
// VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fuzz_support.h"
#include "tests/pki/cert_test_support.h"

namespace velmora::pki::testing {

std::string FuzzCrlInput(const std::string& input);
std::string CrlDer(const std::string& data);
std::vector<std::string> CorpusCrlPaths();

namespace {

const std::string kBytes("\x00\x01\x02\x03\x0D\x17\x18\x30\x31\x7F\x80\x81\x82\x84\xA0\xFF", 16);

TEST(CrlFuzz, MutatedListsEndInAllowedResults) {
  std::vector<std::string> seeds = {std::string("\x30\x03\x30\x01\x00", 5)};
  for (const std::string& path : CorpusCrlPaths()) {
    // The 9,999-entry list would dominate the time; its entries are like the others'.
    if (path.ends_with("crl_almost_10k.pem")) continue;
    const std::string der = CrlDer(ReadFile(path));
    if (!der.empty()) seeds.push_back(der);
  }
  testing_support::RunMutationLoop("CRL", seeds, 120000, kBytes, FuzzCrlInput);
}

}  // namespace
}  // namespace velmora::pki::testing
