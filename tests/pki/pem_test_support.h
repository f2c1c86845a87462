// Shared by the PEM and SSH key tests: the reference script, files, lines and the PKCS #7 padding check.
#pragma once

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "component/component_base.h"
#include "core/str_list.h"
#include "crypto/providers/provider_tables.h"
#include "tests/component/configurable.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::pki::testing {

constexpr const char* kVectors = "/usr/lib/python3/dist-packages/cryptography_vectors";

// PemOracle runs pem_oracle.py in a mode and returns its records split at "|"; false when it fails.
inline bool PemOracle(const std::string& arguments, std::vector<std::vector<std::string>>* records) {
  std::string output;
  if (!RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/pem_oracle.py " + arguments, &output)) {
    return false;
  }
  records->clear();
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t bar = line.find('|', start);
      fields.push_back(line.substr(start, bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    records->push_back(fields);
  }
  return true;
}

// ProvidersLoaded loads the platform tables for its lifetime, as the library's start-up does, so that the
// default provider mode reaches the platform's digests and ciphers. A build without the platform modules
// runs everything on the internal provider instead.
struct ProvidersLoaded {
  component::Configurable<component::ComponentBase> settings;
  ProvidersLoaded() {
    crypto::CryptoProvidersStaticInit();
#ifndef VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(settings.Set("UseInternalCryptoAPI=true"), 0);
#endif
  }
  ~ProvidersLoaded() {
#ifndef VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(settings.Set("UseInternalCryptoAPI=false"), 0);
#endif
    crypto::CryptoProvidersStaticDestroy();
  }
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string Item(const core::StrList& list, int32_t i) {
  return std::string(list.Item(i), static_cast<size_t>(list.ItemLength(i)));
}

// Shell runs a command, its output to output; false when it fails.
inline bool Shell(const std::string& command, std::string* output = nullptr) {
  std::string ignored;
  return RunCommand(command + " 2>/dev/null", output != nullptr ? output : &ignored);
}

// StripPadding returns plain without its PKCS #7 padding of a block_size cipher, or "<bad padding>".
inline std::string StripPadding(const std::string& plain, size_t block_size) {
  if (plain.empty() || plain.size() % block_size != 0) return "<bad padding>";
  const size_t pad = static_cast<unsigned char>(plain.back());
  if (pad < 1 || pad > block_size) return "<bad padding>";
  for (size_t i = plain.size() - pad; i < plain.size(); ++i) {
    if (static_cast<size_t>(static_cast<unsigned char>(plain[i])) != pad) return "<bad padding>";
  }
  return plain.substr(0, plain.size() - pad);
}

}  // namespace velmora::pki::testing
