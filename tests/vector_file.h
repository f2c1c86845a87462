// Reads the test vector files: "Key = Value" lines, entries separated by blank lines, "#" lines ignored.
// A key the test does not know, or one it leaves unread, fails the test, so a typo cannot skip a case.
#pragma once

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmora::testing_support {

class VectorEntry {
 public:
  VectorEntry(std::string origin, std::map<std::string, std::string> values)
      : origin_(std::move(origin)), values_(std::move(values)) {}
  VectorEntry(VectorEntry&& other) noexcept
      : origin_(std::move(other.origin_)), values_(std::move(other.values_)), used_(std::move(other.used_)) {
    other.values_.clear();
  }
  VectorEntry& operator=(VectorEntry&&) = delete;
  ~VectorEntry() {
    for (const auto& [key, value] : values_) {
      EXPECT_TRUE(used_.count(key) != 0) << origin_ << ": key " << key << " was never read";
    }
  }

  bool Has(const std::string& key) const { return values_.count(key) != 0; }
  // Get returns the value of key (marking it read); a missing key fails the test and gives "".
  std::string Get(const std::string& key) {
    used_.insert(key);
    const auto it = values_.find(key);
    EXPECT_TRUE(it != values_.end()) << origin_ << ": no key " << key;
    return it != values_.end() ? it->second : std::string();
  }
  std::string GetOr(const std::string& key, const std::string& fallback) { return Has(key) ? Get(key) : fallback; }
  // Bytes reads key as hex.
  std::string Bytes(const std::string& key) {
    const std::string hex = Get(key);
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
  }
  const std::string& Origin() const { return origin_; }

 private:
  std::string origin_;
  std::map<std::string, std::string> values_;
  std::set<std::string> used_;
};

// ReadVectors reads the file name under tests/data/<folder>; every key must be one of known.
inline std::vector<VectorEntry> ReadVectors(const std::string& path, const std::set<std::string>& known) {
  std::vector<VectorEntry> entries;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::map<std::string, std::string> values;
  int line_number = 0;
  int first_line = 0;
  auto flush = [&] {
    if (!values.empty()) entries.emplace_back(path + ":" + std::to_string(first_line), std::move(values));
    values.clear();
  };
  std::string line;
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      flush();
      continue;
    }
    EXPECT_NE(equals, std::string::npos) << path << ":" << line_number << ": not a Key = Value line";
    if (equals == std::string::npos) continue;
    auto trim = [](std::string s) {
      const size_t begin = s.find_first_not_of(" \t\r");
      const size_t end = s.find_last_not_of(" \t\r");
      return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
    };
    const std::string key = trim(line.substr(0, equals));
    EXPECT_TRUE(known.count(key) != 0) << path << ":" << line_number << ": unknown key " << key;
    EXPECT_EQ(values.count(key), 0u) << path << ":" << line_number << ": repeated key " << key;
    if (values.empty()) first_line = line_number;
    values[key] = trim(line.substr(equals + 1));
  }
  flush();
  EXPECT_FALSE(entries.empty()) << path;
  return entries;
}

inline std::string VectorPath(const std::string& name) {
  return std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/symmetric/" + name;
}

}  // namespace velmora::testing_support
