#include "core/file_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/test_support.h"

namespace velmora::core {
namespace {

using testing_support::Text;

class FileHelpers : public testing_support::TempDirTest {
 protected:
  static bool IsRoot() { return geteuid() == 0; }
};

std::vector<std::string> Sorted(const StrList& list) {
  std::vector<std::string> items = testing_support::Items(list);
  std::sort(items.begin(), items.end());
  return items;
}

TEST_F(FileHelpers, ReadModesAndTheirCodes) {
  Put("short", "0123456789");
  FileHandle file;
  char out[32] = {};
  EXPECT_EQ(file.ReadExact(out, 4), kFileNotOpen);
  EXPECT_EQ(file.OpenRead(Path("missing").c_str(), 0, 0), kCannotOpenForReading);
  EXPECT_EQ(file.OpenRead(dir_.c_str(), 0, 0), kCannotOpenForReading);
  ASSERT_EQ(file.OpenRead(Path("short").c_str(), 6, 0), 0);
  ASSERT_EQ(file.ReadExact(out, 2), 0);
  EXPECT_EQ(std::string(out, 2), "67");
  EXPECT_EQ(file.Size(), 10);
  EXPECT_EQ(file.ReadExact(out, 8), kShortRead);  // and the handle is closed
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.ReadExact(out, 1), kFileNotOpen);
  EXPECT_EQ(file.OpenRead(Path("short").c_str(), -1, 0), kSeekFailed);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(FileHelpers, WriteModesAndTheirCodes) {
  Put("data", "0123456789abcdef");
  FileHandle file;
  EXPECT_EQ(file.OpenWrite(Path("missing").c_str(), 10, 0, 1), kCannotOpenForWriting);
  EXPECT_EQ(file.OpenWrite(Path("missing").c_str(), 0, 0, 0), kCannotOpenForWriting);
  EXPECT_EQ(file.OpenWrite(Path("nodir/x").c_str(), 0, 0, 1), kCannotOpenForWriting);

  ASSERT_EQ(file.OpenWrite(Path("data").c_str(), 10, 0, 1), 0);  // keeps the content, positions at 10
  ASSERT_EQ(file.Write("XY", 2), 0);
  file.Close();
  EXPECT_EQ(Get("data"), "0123456789XYcdef");

  ASSERT_EQ(file.OpenWrite(Path("data").c_str(), 0, 0, 1), 0);  // truncates
  ASSERT_EQ(file.Write("new", 3), 0);
  char out[4];
  EXPECT_EQ(file.ReadExact(out, 1), kReadFailed);  // a write-only file cannot be read; closed
  EXPECT_EQ(file.Write("x", 1), kFileNotOpen);
  EXPECT_EQ(Get("data"), "new");

  ASSERT_EQ(file.OpenRead(Path("data").c_str(), 0, 0), 0);
  EXPECT_EQ(file.Write("x", 1), kWriteFailed);  // and closed
  EXPECT_EQ(file.Write("x", 1), kFileNotOpen);

  EXPECT_EQ(file.CreateNew(Path("data").c_str()), kCannotOpenForWriting);
  ASSERT_EQ(file.CreateNew(Path("fresh").c_str()), 0);
  EXPECT_EQ(file.Seek(0, kFileEnd), 0);
  EXPECT_EQ(file.SeekCurrent(5), 5);
}

TEST_F(FileHelpers, AppendCreatesThenAppends) {
  FileHandle file;
  ASSERT_EQ(file.OpenAppend(Path("log").c_str()), 0);
  ASSERT_EQ(file.Write("ab", 2), 0);
  ASSERT_EQ(file.OpenAppend(Path("log").c_str()), 0);  // closes the first handle itself
  ASSERT_EQ(file.Write("cd", 2), 0);
  ASSERT_EQ(FileHandle::OpenAppendByName(file, Path("log").c_str(), 65001), 0);
  ASSERT_EQ(file.Write("ef", 2), 0);
  file.Close();
  EXPECT_EQ(Get("log"), "abcdef");
  EXPECT_EQ(file.OpenAppend(Path("nodir/log").c_str()), kCannotOpenForWriting);
}

TEST_F(FileHelpers, ReadFileToBufferCodes) {
  Buffer out;
  ASSERT_EQ(out.SetString("stale"), 0);
  EXPECT_EQ(ReadFileToBuffer(Path("missing").c_str(), out), kCannotOpenForReading);
  EXPECT_EQ(out.Length(), 0);
  Put("empty", "");
  EXPECT_EQ(ReadFileToBuffer(Path("empty").c_str(), out), 0);
  EXPECT_EQ(out.Length(), 0);
  Put("small", "hello");
  EXPECT_EQ(ReadFileToBuffer(Path("small").c_str(), out), 0);
  EXPECT_EQ(Text(out), "hello");
  EXPECT_EQ(ReadWideFileToBuffer(nullptr, out), kCannotOpenForReading);
}

TEST_F(FileHelpers, ReadFileToBufferOnAGrowingFileStaysInItsBuffer) {
  const std::string chunk(4096, 'g');
  Put("growing", chunk);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::ofstream out(Path("growing"), std::ios::binary | std::ios::app);
    for (int i = 0; i < 4096; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size())).flush();
    done = true;
  });
  int reads = 0;
  bool all_ok = true;
  while (all_ok && (!done.load() || reads == 0)) {
    Buffer out;
    const int rc = ReadFileToBuffer(Path("growing").c_str(), out);
    ++reads;
    // Whatever the writer did meanwhile, the result is a prefix of the file, never more.
    all_ok = rc == 0 && out.Length() >= 4096 &&
             std::all_of(out.Data(), out.Data() + out.Length(), [](char c) { return c == 'g'; });
  }
  writer.join();
  EXPECT_TRUE(all_ok) << "after " << reads << " reads";
}

TEST_F(FileHelpers, ListDirectoryNamesWithoutDots) {
  Put("a.txt", "");
  Put("b.txt", "");
  Put(".hidden", "");
  ASSERT_EQ(MakeDirectory(Path("sub").c_str(), 0), 0);
  StrList list;
  ASSERT_EQ(list.AddCString("old"), 0);
  ASSERT_EQ(ListDirectory((dir_ + "/").c_str(), list, 0), 0);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{".hidden", "a.txt", "b.txt", "sub"}));
  ASSERT_EQ(ListDirectory(Path("*.txt").c_str(), list, 0), 0);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{"a.txt", "b.txt"}));
  ASSERT_EQ(ListDirectory(Path("*.none").c_str(), list, 0), 0);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(ListDirectory(Path("missing/").c_str(), list, 0), 3);
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(FileHelpers, MakeDirectoryTreeTwice) {
  const std::string tree = Path("a/b/c");
  ASSERT_EQ(MakeDirectoryTree(tree.c_str(), 0), 0);
  EXPECT_TRUE(IsDirectory(tree.c_str(), 0));
  EXPECT_EQ(MakeDirectoryTree(tree.c_str(), 0), 0);
  EXPECT_EQ(MakeDirectoryTree((tree + "/d/").c_str(), 0), 0);
  EXPECT_TRUE(IsDirectory((tree + "/d").c_str(), 0));
  EXPECT_EQ(MakeDirectory(tree.c_str(), 0), 0);

  // A file in the way is an error, not a success.
  Put("file", "");
  EXPECT_EQ(MakeDirectory(Path("file").c_str(), 0), 183);
  EXPECT_EQ(MakeDirectoryTree(Path("file/x/y").c_str(), 0), 183);
  EXPECT_EQ(MakeDirectoryTree(Path("file").c_str(), 0), 183);
  EXPECT_EQ(MakeDirectory(Path("no/such").c_str(), 0), 3);
}

TEST_F(FileHelpers, SetFileTimesBelowOneChangesNothing) {
  Put("t", "");
  int64_t write = 0, access = 0, creation = 0;
  ASSERT_EQ(GetFileTimes(Path("t").c_str(), &write, &access, &creation, 0), 0);
  EXPECT_EQ(SetFileTimes(Path("t").c_str(), 0, -5, 0, 0), 0);
  EXPECT_EQ(SetFileTimes(Path("missing").c_str(), 0, 0, 0, 0), 0);  // returns before looking
  int64_t write2 = 0, access2 = 0, creation2 = 0;
  ASSERT_EQ(GetFileTimes(Path("t").c_str(), &write2, &access2, &creation2, 0), 0);
  EXPECT_EQ(write2, write);
  EXPECT_EQ(access2, access);
  EXPECT_EQ(creation2, creation);

  ASSERT_EQ(SetFileTimes(Path("t").c_str(), 1000000000123, 0, 0, 0), 0);
  ASSERT_EQ(GetFileTimes(Path("t").c_str(), &write2, &access2, nullptr, 0), 0);
  EXPECT_EQ(write2, 1000000000123);
  EXPECT_EQ(access2, access);
  EXPECT_EQ(SetFileTimes(Path("missing").c_str(), 5, 0, 0, 0), kCannotOpenForReading);
  EXPECT_EQ(GetFileTimes(Path("missing").c_str(), &write, &access, &creation, 0), kCannotOpenForReading);
  EXPECT_LE(std::abs(CurrentFileTimeMs() - creation), 60000);
}

TEST_F(FileHelpers, Utf8NamesWithNonAsciiBytes) {
  const std::string name = Path("caf\xC3\xA9-\xE6\xBC\xA2.txt");  // "café-漢.txt"
  FileHandle file;
  ASSERT_EQ(file.OpenWrite(name.c_str(), 0, 65001, 1), 0);
  ASSERT_EQ(file.Write("x", 1), 0);
  file.Close();
  EXPECT_TRUE(FileExists(name.c_str()));
  Buffer out;
  ASSERT_EQ(ReadFileToBuffer(name.c_str(), out), 0);
  EXPECT_EQ(Text(out), "x");

  StrList list;
  ASSERT_EQ(ListDirectory((dir_ + "/").c_str(), list, 65001), 0);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{"caf\xC3\xA9-\xE6\xBC\xA2.txt"}));

  // The same file through its UTF-16 name.
  const std::u16string wide = std::filesystem::path(name).u16string();
  EXPECT_TRUE(FileExistsW(wide.c_str()));
  ASSERT_EQ(ReadWideFileToBuffer(wide.c_str(), out), 0);
  EXPECT_EQ(Text(out), "x");

  // A name in code page 1252 reaches the file system as UTF-8 and lists back in 1252.
  const std::string latin = dir_ + "/caf\xE9";
  ASSERT_EQ(CreateEmptyFile(latin.c_str(), 1252), 0);
  EXPECT_TRUE(FileExists(Path("caf\xC3\xA9").c_str()));
  ASSERT_EQ(ListDirectory((dir_ + "/caf?").c_str(), list, 1252), 0);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{"caf\xE9"}));
  EXPECT_EQ(GetFileSizeByName(latin.c_str(), 1252), 0);
}

TEST_F(FileHelpers, NameOperationsReportRealErrors) {
  EXPECT_EQ(ClearReadOnlyAttribute(Path("missing").c_str(), 0), 2);
  EXPECT_EQ(GetFileSizeByName(Path("missing").c_str(), 0), -1);
  EXPECT_EQ(DeleteFileByName(Path("missing").c_str(), 0), 2);
  EXPECT_EQ(RemoveDirectoryByName(Path("missing").c_str(), 0), 2);
  EXPECT_EQ(MoveFileByName(Path("missing").c_str(), Path("x").c_str(), 0), 2);

  Put("from", "1");
  Put("to", "2");
  EXPECT_EQ(MoveFileByName(Path("from").c_str(), Path("to").c_str(), 0), 183);
  EXPECT_EQ(Get("to"), "2");
  ASSERT_EQ(MoveFileByName(Path("from").c_str(), Path("moved").c_str(), 0), 0);
  ASSERT_EQ(DeleteFileByName(Path("moved").c_str(), 0), 0);

  ASSERT_EQ(CreateFileWithLength(Path("sized").c_str(), 12345, 0), 0);
  EXPECT_EQ(GetFileSizeByName(Path("sized").c_str(), 0), 12345);
  EXPECT_EQ(CreateFileWithLength(Path("sized").c_str(), 1, 0), kCannotOpenForWriting);
  EXPECT_EQ(CreateFileWithLength(Path("negative").c_str(), -1, 0), 131);

  ASSERT_EQ(chmod(Path("to").c_str(), 0444), 0);
  EXPECT_EQ(GetFileAttributeFlags(Path("to").c_str(), 0), kFileReadOnly | kFileArchive);
  ASSERT_EQ(ClearReadOnlyAttribute(Path("to").c_str(), 0), 0);
  EXPECT_EQ(GetFileAttributeFlags(Path("to").c_str(), 0), kFileArchive);
  EXPECT_EQ(GetFileAttributeFlags(Path("missing").c_str(), 0), 0u);
  EXPECT_TRUE(PathExists(dir_.c_str(), 0));
  EXPECT_FALSE(PathExists(Path("missing").c_str(), 0));
  EXPECT_FALSE(PathExists(Path("missing/deeper").c_str(), 0));
}

TEST_F(FileHelpers, FullPathEndsDirectoriesWithSlash) {
  for (const auto& [path, full] : {std::pair{dir_ + "/./x/..", dir_ + "/"}, {dir_ + "//file", dir_ + "/file"},
                                   {std::string(), std::string()}}) {
    Buffer out;
    ASSERT_EQ(GetFullPath(path.c_str(), out, 0), 0);
    EXPECT_EQ(Text(out), full);
  }
}

TEST_F(FileHelpers, OwnerAndGroupAsDomainBackslashName) {
  Put("owned", "");
  Buffer owner, group;
  ASSERT_EQ(owner.SetString("untouched"), 0);
  EXPECT_EQ(GetFileOwnerAndGroup(Path("missing").c_str(), 0, owner, group), -1);
  EXPECT_EQ(Text(owner), "untouched");
  ASSERT_EQ(GetFileOwnerAndGroup(Path("owned").c_str(), 0, owner, group), 0);
  EXPECT_NE(Text(owner).find('\\'), std::string::npos);
  if (IsRoot()) {
    EXPECT_EQ(Text(owner).substr(Text(owner).find('\\')), "\\root");
  }
}

TEST_F(FileHelpers, AccessDeniedCountsAsExistingForPathExistsOnly) {
  if (IsRoot()) GTEST_SKIP() << "needs a non-root user: root is never denied access";
  ASSERT_EQ(MakeDirectory(Path("locked").c_str(), 0), 0);
  Put("locked/inside", "secret");
  Put("private", "x");
  ASSERT_EQ(chmod(Path("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(Path("private").c_str(), 0), 0);
  EXPECT_TRUE(PathExists(Path("locked/inside").c_str(), 0));
  EXPECT_FALSE(FileExists(Path("locked/inside").c_str()));
  Buffer out;
  EXPECT_EQ(ReadFileToBuffer(Path("locked/inside").c_str(), out), kCannotOpenForReading);
  EXPECT_EQ(MakeDirectoryTree(Path("locked/sub/deeper").c_str(), 0), 5);
  FileHandle file;
  EXPECT_EQ(file.OpenRead(Path("private").c_str(), 0, 0), kCannotOpenForReading);
  EXPECT_EQ(file.OpenWrite(Path("private").c_str(), 0, 0, 1), kCannotOpenForWriting);
  EXPECT_EQ(GetFileSizeByName(Path("private").c_str(), 0), -1);
}

// ScriptedStream hands out its bytes in chunks of at most `chunk`, then 0.
class ScriptedStream : public InputStream {
 public:
  ScriptedStream(std::string data, int32_t chunk) : data_(std::move(data)), chunk_(chunk) {}
  int32_t Read(void* out, int32_t count) override {
    const int32_t n = std::min({count, chunk_, static_cast<int32_t>(data_.size() - position_)});
    std::memcpy(out, data_.data() + position_, static_cast<size_t>(n));
    position_ += static_cast<size_t>(n);
    return n;
  }
  void Release() override { ++releases; }
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  int64_t Seek(int64_t offset, uint32_t) override {
    position_ = static_cast<size_t>(offset);
    return offset;
  }
  int releases = 0;

 private:
  std::string data_;
  int32_t chunk_;
  size_t position_ = 0;
};

TEST_F(FileHelpers, InputSourceReadsItsStreamInChunksAndPrefersAFile) {
  ScriptedStream stream("abcdefgh", 3);
  InputSource source;
  source.SetStream(&stream, 1);
  char out[8];
  ASSERT_EQ(source.ReadExact(out, 7), 0);
  EXPECT_EQ(std::string(out, 7), "abcdefg");
  EXPECT_EQ(source.Size(), 8);
  EXPECT_EQ(source.ReadExact(out, 2), kShortRead);  // owned: released once and forgotten
  EXPECT_EQ(source.Stream(), nullptr);
  EXPECT_EQ(source.ReadExact(out, 1), kFileNotOpen);
  EXPECT_EQ(source.Close(), 0);
  EXPECT_EQ(stream.releases, 1);
  ScriptedStream borrowed("ab", 8);
  source.SetStream(&borrowed, 0);
  EXPECT_EQ(source.ReadExact(out, 3), kShortRead);
  EXPECT_EQ(source.Close(), 0);
  EXPECT_EQ(borrowed.releases, 0);

  Put("data", "0123456789");
  FileHandle file;
  ASSERT_EQ(file.OpenRead(Path("data").c_str(), 0, 0), 0);
  source.SetStream(&borrowed, 0);
  source.SetFile(&file);  // the file takes precedence
  ASSERT_EQ(source.ReadExact(out, 4), 0);
  EXPECT_EQ(std::string(out, 4), "0123");
  EXPECT_EQ(source.Seek(8, kFileBegin), 8);
  EXPECT_EQ(source.Size(), 10);
  EXPECT_EQ(source.Close(), 0);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(source.File(), nullptr);
}

TEST(SystemCertStore, NoStoreOnThisSystem) {
  // NOTE: the user and machine stores (0, 1) do not exist here either.
  for (int32_t kind : {2, -1, 0, 1}) EXPECT_EQ(OpenSystemCertStore(kind, "MY", 1), nullptr) << kind;
}

}  // namespace
}  // namespace velmora::core
