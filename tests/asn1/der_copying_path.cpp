// The ASN.1 tests run twice under ctest: once as they are, once (the ".CopyingPath" entries) with the
// element tree forced onto its copying path, so that both paths meet the same cases, oracles and
// mutation loops.
#include <gtest/gtest.h>

#include <cstdlib>

#include "asn1/asn1_element.h"

namespace {

class CopyingPathEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const char* flag = std::getenv("VELMORA_TEST_DER_COPYING_PATH");
    velmora::pki::internal::ForceDerCopyingPath(flag != nullptr && flag[0] == '1');
  }
  void TearDown() override { velmora::pki::internal::ForceDerCopyingPath(false); }
};

const testing::Environment* const kCopyingPath = testing::AddGlobalTestEnvironment(new CopyingPathEnvironment);

}  // namespace
