// The modular-arithmetic suites run once on the portable Montgomery products and once on mulx/adx
// where the processor has them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/bn/montgomery.h"

namespace velmora::crypto {

// MontgomeryPaths: true forces the portable products; false (only where the processor has mulx and
// adx) leaves them on the instructions.
inline std::vector<bool> MontgomeryPaths() {
  bigint::internal::ForcePortableMontgomery(false);
  std::vector<bool> paths{true};
  if (bigint::internal::MontgomeryUsesMulx()) paths.push_back(false);
  return paths;
}

inline std::string MontgomeryPathName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Portable" : "Mulx";
}

class MontgomeryPathTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { bigint::internal::ForcePortableMontgomery(GetParam()); }
  void TearDown() override { bigint::internal::ForcePortableMontgomery(false); }
};

}  // namespace velmora::crypto

#define VELMORA_ON_MONTGOMERY_PATHS(suite) \
  INSTANTIATE_TEST_SUITE_P(Paths, suite, ::testing::ValuesIn(::velmora::crypto::MontgomeryPaths()), \
                           ::velmora::crypto::MontgomeryPathName)
