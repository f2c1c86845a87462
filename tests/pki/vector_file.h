// Reads test vectors kept as "Key = Value" lines in blank-line-separated records ("#" lines are
// comments). A record reports every key the test asked for that is missing, and every key the test never
// read, so a misspelt key cannot skip a check silently.
#pragma once

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmora::testing_support {

class VectorRecord {
 public:
  VectorRecord(std::string file, int line) : file_(std::move(file)), line_(line) {}

  void Add(const std::string& key, const std::string& value) { fields_[key] = value; }
  bool Has(const std::string& key) const { return fields_.count(key) != 0; }
  // Get returns the value of key and marks it read; a missing key fails the test.
  std::string Get(const std::string& key) {
    used_.insert(key);
    auto it = fields_.find(key);
    if (it == fields_.end()) {
      ADD_FAILURE() << Where() << ": no key " << key;
      return std::string();
    }
    return it->second;
  }
  // CheckAllRead fails the test for each key that was never read.
  void CheckAllRead() const {
    for (const auto& [key, value] : fields_) {
      if (used_.count(key) == 0) ADD_FAILURE() << Where() << ": key " << key << " was not used";
    }
  }
  std::string Where() const { return file_ + ":" + std::to_string(line_); }

 private:
  std::string file_;
  int line_;
  std::map<std::string, std::string> fields_;
  std::set<std::string> used_;
};

// ReadVectorFile returns the records of path; a missing file or a malformed line fails the test.
inline std::vector<VectorRecord> ReadVectorFile(const std::string& path) {
  std::vector<VectorRecord> records;
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "cannot open " << path;
    return records;
  }
  std::string line;
  bool open = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line[0] == '#') continue;
    if (line.empty()) {
      open = false;
      continue;
    }
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos) {
      ADD_FAILURE() << path << ":" << number << ": not a Key = Value line";
      continue;
    }
    if (!open) records.emplace_back(path, number);
    open = true;
    records.back().Add(line.substr(0, eq), line.substr(eq + 3));
  }
  return records;
}

}  // namespace velmora::testing_support
