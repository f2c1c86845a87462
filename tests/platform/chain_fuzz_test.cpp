// The seeded mutation loop of the chain engine's fuzz target, over the test hierarchy's chains.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "platform/crypto/crypt32_modules.h"
#include "platform/store_root.h"
#include "tests/fuzz_support.h"
#include "tests/platform/chain_test_pki.h"

namespace velmora::platform {

std::string FuzzChainInput(const std::string& input);

namespace {

std::string Part(const std::vector<uint8_t>& der, bool sized) {
  std::string out;
  if (sized) out = {static_cast<char>(der.size() >> 8), static_cast<char>(der.size() & 0xFF)};
  return out + std::string(der.begin(), der.end());
}

TEST(ChainFuzz, MutatedChainsGiveCodesOrStatuses) {
  if (!testing::ChainTestPki::OpensslAvailable()) GTEST_SKIP() << "the openssl command is not installed";
  char base[] = "/tmp/velmora_chain_fuzz_seed_XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  testing::ChainTestPki pki;
  ASSERT_TRUE(pki.Make(base));
  using P = testing::ChainTestPki;
  std::vector<std::string> seeds;
  for (const auto& [leaf, inter, root] : {std::tuple{P::kLeaf, P::kInter, P::kRoot},
                                          std::tuple{P::kEcLeaf, P::kEcInter, P::kEcRoot},
                                          std::tuple{P::kCdpLeaf, P::kCdpInter, P::kRoot},
                                          std::tuple{P::kNoCaLeaf, P::kNoCaInter, P::kRoot}}) {
    seeds.push_back(Part(pki.Get(leaf).der, true) + Part(pki.Get(inter).der, true) + Part(pki.Get(root).der, false));
  }
  testing_support::RunMutationLoop("FuzzChainInput", seeds, 1500, std::string("\x00\x01\x02\x03\x05\x30\x80\xFF", 8),
                                   FuzzChainInput);
  test::SetStoreRoot(nullptr);
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace velmora::platform
