// The fixture of the tests that hand a component's keys to the platform stand-ins: a temporary directory
// holding the platform store root, the inputs an openssl script makes there, and the platform tables
// loaded for the test and unloaded after it with no handle left open.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "component/tls_services.h"
#include "crypto/providers/provider_tables.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"

namespace velmora::keystore::testing {

// ReadFile is the whole file at path ("" when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class PlatformKeysFixture : public ::testing::Test {
 protected:
  // Start makes the directory (name from prefix) with its store root, loads the platform tables and runs
  // the make script there; the test is skipped without the openssl command.
  void Start(const char* prefix, const char* make) {
    if (!pki::testing::OpensslAvailable()) GTEST_SKIP() << "the openssl command is not installed";
    std::string base = std::string("/tmp/") + prefix + "_XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    dir_ = base;
    std::filesystem::create_directory(dir_ + "/store");
    platform::test::SetStoreRoot((dir_ + "/store").c_str());
    crypto::CryptoProvidersStaticInit();
    crypto::LoadNCryptFunctions();
    component::LoadCrypt32Functions();
    ASSERT_EQ(std::system(("cd " + dir_ + " && (" + make + ") >/dev/null 2>&1").c_str()), 0);
  }
  // Finish unloads the tables, expects no handle left open and removes the directory; the test releases
  // its components first.
  void Finish() {
    component::UnloadCrypt32Functions();
    crypto::FreeNCryptFunctions();
    crypto::CryptoProvidersStaticDestroy();
    EXPECT_EQ(platform::test::LiveCryptoHandles(), 0);
    platform::test::SetStoreRoot(nullptr);
    std::filesystem::remove_all(dir_);
  }
  // Read is the file of the directory named file.
  std::string Read(const std::string& file) const { return ReadFile(dir_ + "/" + file); }

  std::string dir_;
};

}  // namespace velmora::keystore::testing
