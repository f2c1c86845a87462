// Shared by the provider-choice tests: a fixture that loads the platform tables and restores every
// setting it changed, and the class a component holds.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "crypto/objects/crypto_component.h"
#include "crypto/providers/cng_cipher.h"
#include "crypto/providers/provider_tables.h"
#include "tests/component/configurable.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"
#endif

namespace velmora::crypto::testing {

#if VELMORABLE_PLATFORM_CRYPTO
constexpr bool kPlatformCrypto = true;
#else
constexpr bool kPlatformCrypto = false;
#endif

// ProviderTest loads the platform tables as the library's start-up does and resets the counters; every
// setting a test changes through Set goes back to false afterwards, and the stand-in's switches off.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CryptoProvidersStaticInit();
    LoadNCryptFunctions();
#if VELMORABLE_PLATFORM_CRYPTO
    platform::test::ResetCryptoCallCounts();
#endif
  }
  void TearDown() override {
    for (const char* reset : {"UseFIPSCompliantAPI=false", "Allow3DESInFIPS=false", "UseInternalCryptoAPI=false"}) {
      EXPECT_EQ(settings_.Set(reset), 0);
    }
#if VELMORABLE_PLATFORM_CRYPTO
    platform::test::SetFullBlockCfbRefused(false);
    platform::test::SetXtsAesMissing(false);
#endif
    ResetCngCfbProbeForTest();
  }
  void Set(const std::string& text) { ASSERT_EQ(settings_.Set(text), 0) << text; }
  static int Calls(const char* name) {
#if VELMORABLE_PLATFORM_CRYPTO
    return platform::test::CryptoCallCount(name);
#else
    (void)name;
    return 0;
#endif
  }
  component::Configurable<component::ComponentBase> settings_;
};

#define VELMORA_REQUIRE_PLATFORM_CRYPTO() \
  if (!::velmora::crypto::testing::kPlatformCrypto) GTEST_SKIP() << "built without the platform crypto stand-in"

}  // namespace velmora::crypto::testing
