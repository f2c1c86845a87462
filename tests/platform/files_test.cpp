#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/last_error.h"
#include "tests/test_support.h"

namespace velmora::platform {
namespace {

using FileSystemCalls = testing_support::TempDirTest;

// EXPECT_FAILS_WITH checks that a call failed with the given system error number.
#define EXPECT_FAILS_WITH(call, code) \
  do {                                \
    SetLastError(0);                  \
    EXPECT_FALSE(call);               \
    EXPECT_EQ(GetLastError(), code);  \
  } while (0)

std::vector<std::string> List(const std::string& pattern, bool* ok) {
  std::vector<std::string> names;
  *ok = ListDirectory(
      pattern.c_str(),
      [](void* context, const char* name) {
        static_cast<std::vector<std::string>*>(context)->push_back(name);
        return true;
      },
      &names);
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FileSystemCalls, OpenReportsTheSystemErrorNumbers) {
  Put("here");
  EXPECT_FAILS_WITH(OpenFile(Path("missing").c_str(), OpenMode::kRead) != kInvalidFile, 2u);
  EXPECT_FAILS_WITH(OpenFile(Path("nodir/missing").c_str(), OpenMode::kRead) != kInvalidFile, 3u);
  EXPECT_FAILS_WITH(OpenFile(Path("here/below").c_str(), OpenMode::kRead) != kInvalidFile, 3u);
  EXPECT_FAILS_WITH(OpenFile(dir_.c_str(), OpenMode::kRead) != kInvalidFile, 5u);
  EXPECT_FAILS_WITH(OpenFile(dir_.c_str(), OpenMode::kWriteTruncate) != kInvalidFile, 5u);
  EXPECT_FAILS_WITH(OpenFile(Path("here").c_str(), OpenMode::kCreateNew) != kInvalidFile, 80u);
  EXPECT_FAILS_WITH(OpenFile(Path("missing").c_str(), OpenMode::kWriteExisting) != kInvalidFile, 2u);
  EXPECT_FAILS_WITH(CloseFile(kInvalidFile), 6u);
}

TEST_F(FileSystemCalls, ReadWriteSeekAndTruncate) {
  const int file = OpenFile(Path("data").c_str(), OpenMode::kWriteTruncate);
  ASSERT_NE(file, kInvalidFile);
  const std::string big(1 << 20, 'a');
  uint32_t done = 0;
  ASSERT_TRUE(WriteFile(file, big.data(), static_cast<uint32_t>(big.size()), &done));
  EXPECT_EQ(done, big.size());
  EXPECT_EQ(SeekFile(file, 10, kSeekBegin), 10);
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(FileSize(file), 10);
  EXPECT_EQ(SeekFile(file, -11, kSeekCurrent), -1);
  EXPECT_EQ(GetLastError(), 131u);
  EXPECT_EQ(SeekFile(file, 0, 7), -1);
  ASSERT_TRUE(CloseFile(file));

  const int reader = OpenFile(Path("data").c_str(), OpenMode::kRead);
  ASSERT_NE(reader, kInvalidFile);
  char out[32];
  ASSERT_TRUE(ReadFile(reader, out, sizeof out, &done));  // the end of the file is no failure
  EXPECT_EQ(done, 10u);
  EXPECT_FALSE(WriteFile(reader, out, 1, &done));
  CloseFile(reader);
}

TEST_F(FileSystemCalls, HiddenDirectoryAndDeviceAttributes) {
  Put(".hidden");
  for (const auto& [path, expected] : {std::pair{Path(".hidden"), kAttributeHidden | kAttributeArchive},
                                       {dir_ + "/./", kAttributeDirectory}, {"/dev/null", kAttributeDirectory}}) {
    uint32_t flags = 0;
    ASSERT_TRUE(GetFileAttributes(path.c_str(), &flags));
    EXPECT_EQ(flags, expected) << path;
  }
}

TEST(FullPathForm, FoldsStepsLexically) {
  char out[256];
  for (const auto& [path, full] : {std::pair{"/a/./b//c/../d", "/a/b/d"}, {"/../..", "/"}, {"/a/b/", "/a/b/"},
                                   {"/a\\b", "/a\\b"}}) {
    EXPECT_EQ(FullPath(path, out, sizeof out), std::strlen(full));
    EXPECT_STREQ(out, full);
  }

  char* cwd = getcwd(nullptr, 0);
  ASSERT_NE(cwd, nullptr);
  const std::string expected = std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + "x/y";
  std::free(cwd);
  EXPECT_EQ(FullPath("x/./y", out, 0), expected.size() + 1);  // the room needed
  EXPECT_EQ(FullPath("x/./y", out, sizeof out), expected.size());
  EXPECT_EQ(out, expected);
  EXPECT_EQ(FullPath("", out, sizeof out), 0u);
  EXPECT_EQ(GetLastError(), 123u);
}

TEST_F(FileSystemCalls, ListingMatchesOnlyStarAndQuestionMark) {
  for (const char* name : {"a.txt", "b.txt", "c.log", "[x]", "back\\slash", "\xC3\xA9.x"}) Put(name);
  bool ok = false;
  EXPECT_EQ(List(Path("*.txt"), &ok), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(List(Path("?.log"), &ok), (std::vector<std::string>{"c.log"}));
  EXPECT_EQ(List(Path("?.x"), &ok), (std::vector<std::string>{"\xC3\xA9.x"}));  // one character, two bytes
  EXPECT_EQ(List(Path("[x]"), &ok), (std::vector<std::string>{"[x]"}));
  EXPECT_EQ(List(Path("*a*h"), &ok), (std::vector<std::string>{"back\\slash"}));
  EXPECT_EQ(List(Path("*.*"), &ok).size(), 8u);  // every name, "." and ".." included
  EXPECT_TRUE(List(Path("*.none"), &ok).empty());
  EXPECT_TRUE(ok);
  List(Path("missing/*"), &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), 3u);
}

TEST_F(FileSystemCalls, DirectoryAndDeleteErrors) {
  ASSERT_TRUE(MakeDirectory(Path("d").c_str()));
  EXPECT_FAILS_WITH(MakeDirectory(Path("d").c_str()), 183u);
  EXPECT_FAILS_WITH(MakeDirectory(Path("x/y").c_str()), 3u);
  Put("d/inner");
  EXPECT_FAILS_WITH(RemoveDirectory(Path("d").c_str()), 145u);
  EXPECT_FAILS_WITH(RemoveDirectory(Path("d/inner").c_str()), 267u);
  EXPECT_FAILS_WITH(DeleteFile(Path("d").c_str()), 5u);
  EXPECT_FAILS_WITH(MoveFile(Path("d/inner").c_str(), Path("nodir/new").c_str()), 3u);
}

}  // namespace
}  // namespace velmora::platform
