// Runs a Python script as a reference oracle for differential tests. Tests that use it skip themselves
// with a message when no python3 is on the PATH.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace velmora::testing_support {

// PythonAvailable is true when "python3" runs.
inline bool PythonAvailable() {
  static const bool available = std::system("python3 -c 'import sys' >/dev/null 2>&1") == 0;
  return available;
}

// RunPython runs script with python3 (or the given interpreter) and the given arguments, feeding input on
// its standard input, and stores what it prints in *output. False when python3 fails or exits non-zero.
inline bool RunPython(const std::string& script, const std::string& arguments, const std::string& input,
                      std::string* output, const std::string& interpreter = "python3") {
  char script_path[] = "/tmp/velmora_oracle_XXXXXX";
  char input_path[] = "/tmp/velmora_oracle_in_XXXXXX";
  const int script_fd = mkstemp(script_path);
  const int input_fd = mkstemp(input_path);
  if (script_fd >= 0) close(script_fd);
  if (input_fd >= 0) close(input_fd);
  if (script_fd < 0 || input_fd < 0) {
    if (script_fd >= 0) unlink(script_path);
    if (input_fd >= 0) unlink(input_path);
    return false;
  }
  std::ofstream(script_path, std::ios::binary) << script;
  std::ofstream(input_path, std::ios::binary) << input;
  const std::string command = interpreter + " " + std::string(script_path) + " " + arguments + " < " + input_path;
  FILE* pipe = popen(command.c_str(), "r");
  bool ok = pipe != nullptr;
  output->clear();
  if (pipe != nullptr) {
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, got);
    ok = pclose(pipe) == 0;
  }
  unlink(script_path);
  unlink(input_path);
  return ok;
}

// ToHex and FromHex carry byte strings through the oracle's line-based text.
inline std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// FromHex skips a leading 'x', which the scripts print so that an empty field still shows.
inline std::string FromHex(const std::string& hex) {
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = (!hex.empty() && hex[0] == 'x') ? 1 : 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Lines splits the oracle's output into lines, each split at blanks into fields.
inline std::vector<std::vector<std::string>> Lines(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    std::istringstream fields(line);
    std::vector<std::string> parts;
    std::string field;
    while (fields >> field) parts.push_back(field);
    lines.push_back(parts);
  }
  return lines;
}

}  // namespace velmora::testing_support
