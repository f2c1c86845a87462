// Shared by the DER tests: the reference tools (the openssl command line and Debian's python3 with
// asn1crypto and cryptography), byte-string helpers and the "Key = Value" vector files.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "tests/core/python_oracle.h"

namespace velmora::pki::testing {

// Debian's interpreter: the python3 first on the PATH may be a build without Debian's modules.
constexpr const char* kDebianPython = "/usr/bin/python3";

inline bool Runs(const char* command) { return std::system(command) == 0; }
inline bool OpensslAvailable() {
  static const bool available = Runs("openssl version >/dev/null 2>&1");
  return available;
}
inline bool DebianPythonAvailable() {
  static const bool available = Runs("/usr/bin/python3 -c 'import asn1crypto, cryptography' >/dev/null 2>&1");
  return available;
}

// RunCommand runs a shell command and stores its standard output; false when it exits non-zero.
inline bool RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  output->clear();
  char chunk[65536];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output->append(chunk, got);
  return pclose(pipe) == 0;
}

inline std::string Bytes(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

// Hex is upper-case hex, "-" for no bytes (the vector files' form); Unhex reads it back.
inline std::string Hex(const std::string& bytes) {
  std::string hex = testing_support::ToHex(bytes);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex.empty() ? "-" : hex;
}
inline std::string Unhex(const std::string& hex) { return hex == "-" ? std::string() : testing_support::FromHex(hex); }

// Vector is one blank-line-separated record of "Key = Value" lines ("#" lines are comments). Get fails
// the test for a missing key; CheckAllRead for a key never read, so a misspelt key cannot skip a check.
struct Vector {
  std::string where;
  std::map<std::string, std::string> fields;
  std::set<std::string> read;
  std::string Get(const std::string& key) {
    read.insert(key);
    if (fields.count(key) == 0) ADD_FAILURE() << where << ": no key " << key;
    return fields[key];
  }
  void CheckAllRead() const {
    for (const auto& field : fields) {
      if (read.count(field.first) == 0) ADD_FAILURE() << where << ": key " << field.first << " was not used";
    }
  }
};

inline std::vector<Vector> ReadVectors(const std::string& name) {
  const std::string path = std::string(VELMORA_TEST_DATA_DIR "/pki/") + name;
  std::vector<Vector> vectors;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::string line;
  bool open = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line[0] == '#') continue;
    const size_t eq = line.find(" = ");
    if (line.empty() || eq == std::string::npos) {
      EXPECT_TRUE(line.empty()) << path << ":" << number << ": not a Key = Value line";
      open = false;
      continue;
    }
    if (!open) vectors.push_back(Vector{path + ":" + std::to_string(number), {}, {}});
    open = true;
    vectors.back().fields[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return vectors;
}

}  // namespace velmora::pki::testing
