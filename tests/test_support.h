// Helpers shared by the test programs: the bytes of a Buffer or StrList, allocation failure for one scope,
// a fixture that sets the time zone and one that gives each test an empty folder.
#pragma once

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "core/str_list.h"
#include "platform/memory.h"

namespace velmora::testing_support {

// FuzzScaled multiplies a randomized test's count by VELMORABLE_FUZZ_SCALE, when that is set.
inline int64_t FuzzScaled(int64_t count) {
  const char* scale = std::getenv("VELMORABLE_FUZZ_SCALE");
  return scale != nullptr ? static_cast<int64_t>(static_cast<double>(count) * std::atof(scale)) : count;
}

// FuzzSeed returns VELMORABLE_FUZZ_SEED when set (to replay a run), else a fresh random seed.
inline uint64_t FuzzSeed() {
  const char* seed = std::getenv("VELMORABLE_FUZZ_SEED");
  return seed != nullptr ? std::strtoull(seed, nullptr, 0) : std::random_device{}();
}

// TempPath names a file of this test process in the test temporary folder: name with the process id, so
// that test runs side by side on one machine never share a file.
inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "velmora_" + std::to_string(getpid()) + "_" + name;
}

// RemovedAtExit removes the files and folders it names (a folder with all it holds) when it goes out of scope,
// so that a test leaves nothing behind on any way out, a failed ASSERT's early return included.
class RemovedAtExit {
 public:
  explicit RemovedAtExit(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  ~RemovedAtExit() {
    std::error_code ignored;
    for (const std::string& path : paths_) std::filesystem::remove_all(path, ignored);
  }
  RemovedAtExit(const RemovedAtExit&) = delete;
  RemovedAtExit& operator=(const RemovedAtExit&) = delete;

 private:
  std::vector<std::string> paths_;
};

inline std::string Text(const core::BufferCore& buffer) {
  return std::string(buffer.Data(), static_cast<size_t>(buffer.Length()));
}

inline std::vector<std::string> Items(const core::StrList& list) {
  std::vector<std::string> items;
  for (int32_t i = 0; i < list.Count(); ++i) items.emplace_back(list.Item(i), static_cast<size_t>(list.ItemLength(i)));
  return items;
}

// FailingAllocations makes the allocation after `successes` more fail, and every later one when `sticky`,
// until it goes out of scope.
struct FailingAllocations {
  explicit FailingAllocations(int successes = 0, bool sticky = true) {
    platform::test::FailAllocAfter(successes, sticky);
  }
  ~FailingAllocations() { platform::test::FailAllocAfter(-1); }
};

// ZoneTest runs each test in UTC unless it calls UseZone, and restores the caller's TZ afterwards.
class ZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
    UseZone("UTC");
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

// TempDirTest gives each test an empty folder; afterwards it restores write permission and removes it all.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/velmora_test_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& content = "") const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

}  // namespace velmora::testing_support
