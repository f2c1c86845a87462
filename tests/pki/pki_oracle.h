// Shared by the DER tests: the reference tools (the openssl command line and Debian's python3 with
// asn1crypto and cryptography), byte-string helpers and the vector folder.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <cctype>
#include <string>

#include "core/buffer.h"
#include "tests/core/python_oracle.h"

namespace velmora::pki::testing {

// Debian's interpreter: the python3 first on the PATH may be a build without Debian's modules.
constexpr const char* kDebianPython = "/usr/bin/python3";

inline std::string DataPath(const std::string& name) { return std::string(VELMORA_TEST_DATA_DIR "/pki/") + name; }

inline bool OpensslAvailable() {
  static const bool available = std::system("openssl version >/dev/null 2>&1") == 0;
  return available;
}

inline bool DebianPythonAvailable() {
  static const bool available =
      std::system("/usr/bin/python3 -c 'import asn1crypto, cryptography' >/dev/null 2>&1") == 0;
  return available;
}

// RunCommand runs a shell command and stores its standard output; false when it exits non-zero.
inline bool RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  output->clear();
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, got);
  return pclose(pipe) == 0;
}

inline std::string Bytes(const core::BufferCore& buffer) {
  return std::string(buffer.Data(), static_cast<size_t>(buffer.Length()));
}

// Hex is the upper-case hex text of bytes (the vector files' form).
inline std::string Hex(const std::string& bytes) {
  std::string hex = testing_support::ToHex(bytes);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

// Unhex reads hex text; "-" stands for no bytes.
inline std::string Unhex(const std::string& hex) { return hex == "-" ? std::string() : testing_support::FromHex(hex); }

}  // namespace velmora::pki::testing
