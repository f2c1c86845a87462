// The JSON tests run twice under ctest: once as they are, once (the ".CopyingPath" entries) with every
// parser forced onto the first, copying path, so that both paths meet the same cases, oracles and
// mutation loops.
#include <gtest/gtest.h>

#include <cstdlib>

#include "parsers/json_internal.h"

namespace {

class CopyingPathEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const char* flag = std::getenv("VELMORA_TEST_JSON_COPYING_PATH");
    velmora::parsers::internal::ForceJsonCopyingPath(flag != nullptr && flag[0] == '1');
  }
  void TearDown() override { velmora::parsers::internal::ForceJsonCopyingPath(false); }
};

const testing::Environment* const kCopyingPath = testing::AddGlobalTestEnvironment(new CopyingPathEnvironment);

}  // namespace
