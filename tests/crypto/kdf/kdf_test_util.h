// Helpers of the key-derivation tests: seeded random bytes, OpenSSL's KDFs and digests called in-process
// as references, and fixtures for the provider settings.
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "tests/component/configurable.h"
#include "tests/crypto/digest/digest_test_util.h"

namespace velmora::crypto {

// TestSeed is the fixed seed of a differential run, replaced by VELMORA_KDF_SEED when set.
inline uint32_t TestSeed(uint32_t fixed) {
  const char* text = getenv("VELMORA_KDF_SEED");
  return text != nullptr ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : fixed;
}

inline std::string RandomBytes(std::mt19937& rng, size_t length) {
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// Interesting lengths around a block of size block, then random ones below limit.
inline size_t EdgeLength(std::mt19937& rng, size_t i, size_t block, size_t limit) {
  const size_t edges[] = {0, 1, block - 1, block, block + 1};
  return i < 5 ? edges[i] : rng() % (limit + 1);
}

inline OSSL_PARAM OctetParam(const char* key, const std::string& value) {
  return OSSL_PARAM_construct_octet_string(key, const_cast<char*>(value.data()), value.size());
}
inline OSSL_PARAM TextParam(const char* key, const char* value) {
  return OSSL_PARAM_construct_utf8_string(key, const_cast<char*>(value), 0);
}

// OpenSslKdf derives length bytes with OpenSSL's KDF name and params; "" when it refuses.
inline std::string OpenSslKdf(const char* name, std::vector<OSSL_PARAM> params, size_t length) {
  params.push_back(OSSL_PARAM_construct_end());
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, name, nullptr);
  EVP_KDF_CTX* ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
  std::string out(length, '\0');
  const bool ok = ctx != nullptr && EVP_KDF_derive(ctx, reinterpret_cast<unsigned char*>(out.data()), length,
                                                   params.data()) == 1;
  EVP_KDF_CTX_free(ctx);
  EVP_KDF_free(kdf);
  return ok ? out : "";
}

// OpenSslDigest hashes data with OpenSSL's digest name.
inline std::string OpenSslDigest(const char* name, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out, &length, EVP_get_digestbyname(name), nullptr);
  return std::string(reinterpret_cast<char*>(out), length);
}

// SettingTest sets one process-wide setting for each test and clears it afterwards.
class SettingTest : public testing::Test {
 protected:
  void Use(const char* name) {
    name_ = name;
    ASSERT_EQ(settings_.Set((name_ + "=true").c_str()), 0);
  }
  void TearDown() override {
    if (!name_.empty()) {
      EXPECT_EQ(settings_.Set((name_ + "=false").c_str()), 0);
    }
  }
  component::Configurable<component::ComponentBase> settings_;
  std::string name_;
};

// KdfInternal runs with the internal-only setting on, as the library runs until a platform
// provider exists.
class KdfInternal : public SettingTest {
 protected:
  void SetUp() override { Use("UseInternalCryptoAPI"); }
};

class KdfFips : public SettingTest {
 protected:
  void SetUp() override { Use("UseFIPSCompliantAPI"); }
};

}  // namespace velmora::crypto
