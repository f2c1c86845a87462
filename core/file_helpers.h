// File helpers: a file handle with the library's open modes and result codes, the input source of the
// stream readers (a file or a caller's stream), and operations on file and directory names.
//
// Names arrive as multibyte text in a code page. Code page 0 (the system's) and 65001 (UTF-8) pass the
// bytes to the file system unchanged; any other code page is converted to UTF-16 and from there to the
// file system's UTF-8. The "W" forms take UTF-16 names. Paths use '/' as separator; a backslash is an
// ordinary name byte.
//
// Result codes of the handle and name operations:
//   0 success, 1 reading or setting times failed, 3 cannot open for reading (or for times),
//   4 cannot open or create for writing, 5 handle not open, 6 read failed, 7 write failed,
//   8 the seek after opening failed, 10 fewer bytes than asked, 200 out of memory, 434 name conversion
//   failed, and the system's error number (2, 3, 5, 80, 145, 183, ...) where an operation says so.
// A handle or source is used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "platform/files.h"

namespace velmora::core {

constexpr int kTimesFailed = 1;
constexpr int kCannotOpenForReading = 3;
constexpr int kCannotOpenForWriting = 4;
constexpr int kFileNotOpen = 5;
constexpr int kReadFailed = 6;
constexpr int kWriteFailed = 7;
constexpr int kSeekFailed = 8;
constexpr int kShortRead = 10;

// Seek methods of FileHandle::Seek and InputSource::Seek.
constexpr uint32_t kFileBegin = 0;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;

// FileHandle owns one open file, or none. Every open first closes a file still open; a failed open
// leaves the handle closed. The destructor closes the file.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  virtual ~FileHandle();

  bool IsOpen() const { return file_ != platform::kInvalidFile; }

  // OpenRead opens an existing file for reading and moves offset bytes in; 0, 3, 8 (the handle is then
  // closed) or the name conversion's code.
  [[nodiscard]] int OpenRead(const char* name, int64_t offset, uint32_t code_page);
  [[nodiscard]] int OpenReadW(const char16_t* name, int64_t offset);
  // OpenWrite with offset 0 and create set creates the file or cuts it to length 0; otherwise it opens
  // an existing file for reading and writing, keeps its content and moves offset bytes in. 0, 4, 8 or
  // the name conversion's code.
  [[nodiscard]] int OpenWrite(const char* name, int64_t offset, uint32_t code_page, int create);
  [[nodiscard]] int OpenWriteW(const char16_t* name, int64_t offset, int create);
  // CreateNew creates a file that must not exist yet (name bytes unchanged); 0 or 4.
  [[nodiscard]] int CreateNew(const char* name);
  [[nodiscard]] int CreateNewW(const char16_t* name);
  // OpenAppend creates the file, or opens the existing one, and moves to its end; 0, 4 or 8.
  [[nodiscard]] int OpenAppend(const char* name);
  [[nodiscard]] int OpenAppendW(const char16_t* name);
  // The ByName forms take the name in code_page; OpenWriteByName always creates.
  [[nodiscard]] static int OpenReadByName(FileHandle& handle, const char* name, uint32_t code_page, int64_t offset);
  [[nodiscard]] static int OpenWriteByName(FileHandle& handle, const char* name, uint32_t code_page, int64_t offset);
  [[nodiscard]] static int OpenAppendByName(FileHandle& handle, const char* name, uint32_t code_page);

  // ReadExact reads count bytes; 0, 5, or 6 / 10 after which the handle is closed.
  [[nodiscard]] int ReadExact(void* out, uint32_t count);
  // Write writes all count bytes; 0, 5, or 7 after which the handle is closed.
  [[nodiscard]] int Write(const void* in, uint32_t count);
  // Size returns the file's size, or -1.
  int64_t Size();
  // Seek moves by offset from method's origin (kFileBegin, kFileCurrent, kFileEnd) and returns the
  // new position, or -1.
  int64_t Seek(int64_t offset, uint32_t method);
  int64_t SeekCurrent(int64_t offset) { return Seek(offset, kFileCurrent); }
  // Close closes the file when one is open; returns 0.
  int Close();

 private:
  int OpenPath(const char* path, platform::OpenMode mode, int64_t offset, int fail_code);
  int OpenAppendPath(const char* path);

  int file_ = platform::kInvalidFile;
};

// InputStream is a caller's byte stream read by an InputSource.
class InputStream {
 public:
  // Read fills up to count bytes and returns the count read, 0 at the end, or a negative value.
  virtual int32_t Read(void* out, int32_t count) = 0;
  // Release gives the stream up; it is called once, by an owning source.
  virtual void Release() = 0;
  virtual int64_t Size() = 0;
  virtual int64_t Seek(int64_t offset, uint32_t method) = 0;

 protected:
  virtual ~InputStream() = default;
};

// InputSource is the input of the stream readers: a FileHandle when one is set, else a caller stream.
// It does not own the FileHandle; it owns the stream when told so.
class InputSource {
 public:
  void SetFile(FileHandle* file) { file_ = file; }
  void SetStream(InputStream* stream, int32_t owns_stream) {
    stream_ = stream;
    owns_stream_ = owns_stream;
  }
  FileHandle* File() const { return file_; }
  InputStream* Stream() const { return stream_; }

  // ReadExact reads count bytes from the file or the stream; 0, the file's codes, 5 with neither, or
  // 10 when the stream ends early (an owned stream is then released, and the stream forgotten).
  [[nodiscard]] int ReadExact(void* out, uint32_t count);
  // Size and Seek forward to the file or the stream; 0 with neither.
  int64_t Size();
  int64_t Seek(int64_t offset, uint32_t method);
  // Close closes and forgets the file when one is set; otherwise releases an owned stream; the stream
  // is forgotten. Returns 0.
  int Close();

 private:
  InputStream* stream_ = nullptr;
  FileHandle* file_ = nullptr;
  int32_t owns_stream_ = 0;
};

// FileExists is true when the file opens for reading (name bytes unchanged).
bool FileExists(const char* name);
bool FileExistsW(const char16_t* name);
// ReadFileToBuffer makes out the whole file as it was sized at opening (bytes appended later are not
// read); 0, 3, 6, 10, or 200 when it cannot be held (2 GiB and more). out is empty after a failure.
[[nodiscard]] int ReadFileToBuffer(const char* name, BufferCore& out);
[[nodiscard]] int ReadWideFileToBuffer(const char16_t* name, BufferCore& out);

// CreateEmptyFile creates a file or cuts it to length 0; 0 or 4 (or the conversion's code).
[[nodiscard]] int CreateEmptyFile(const char* name, uint32_t code_page);
// DeleteFileByName, RemoveDirectoryByName and MoveFileByName return 0 or the system's error number;
// a move never replaces an existing target (183).
[[nodiscard]] int DeleteFileByName(const char* name, uint32_t code_page);
[[nodiscard]] int RemoveDirectoryByName(const char* name, uint32_t code_page);
[[nodiscard]] int MoveFileByName(const char* from, const char* to, uint32_t code_page);
// CreateFileWithLength creates a new file of length bytes; 0, 4 (also when it exists), or the system's
// error number when the length cannot be set.
[[nodiscard]] int CreateFileWithLength(const char* name, int64_t length, uint32_t code_page);
// ClearReadOnlyAttribute makes the file writable by its owner; 0 or the system's error number.
[[nodiscard]] int ClearReadOnlyAttribute(const char* name, uint32_t code_page);

// Attribute flags of GetFileAttributeFlags.
constexpr uint32_t kFileReadOnly = 1;
constexpr uint32_t kFileHidden = 2;
constexpr uint32_t kFileSystem = 4;
constexpr uint32_t kFileDirectory = 16;
constexpr uint32_t kFileArchive = 32;
// GetFileAttributeFlags returns the flags above (directory also for a device); 0 when unreadable.
uint32_t GetFileAttributeFlags(const char* name, uint32_t code_page);
bool IsDirectory(const char* name, uint32_t code_page);
// PathExists is true when the name can be examined, and also when examining it fails for another
// reason than a missing or malformed name (access denied counts as existing).
bool PathExists(const char* name, uint32_t code_page);
// GetFullPath sets out to the absolute form of name in code_page, ending in '/' for a directory;
// when that cannot be formed out holds the name unchanged. 0, or the buffer's or conversion's code.
[[nodiscard]] int GetFullPath(const char* name, BufferCore& out, uint32_t code_page);
// GetFileSizeByName returns the file's size, or -1 when it cannot be opened or sized.
int64_t GetFileSizeByName(const char* name, uint32_t code_page);

// GetFileTimes stores last-write, last-access and creation time in ms since 1970 (null outputs are
// skipped); 0, or 3 when the name cannot be examined.
[[nodiscard]] int GetFileTimes(const char* name, int64_t* last_write, int64_t* last_access, int64_t* creation,
                               uint32_t code_page);
// SetFileTimes sets each time of 1 or more (ms since 1970) and leaves the others; all below 1 is 0 at
// once. The creation time cannot be set on this system and is ignored. 0, 1 or 3.
[[nodiscard]] int SetFileTimes(const char* name, int64_t last_write, int64_t last_access, int64_t creation,
                               uint32_t code_page);
// CurrentFileTimeMs returns now (UTC) in ms since 1970.
int64_t CurrentFileTimeMs();
// GetFileOwnerAndGroup sets owner and group to "host\name"; 0, or -1 (both untouched when the file or
// a name cannot be found).
[[nodiscard]] int GetFileOwnerAndGroup(const char* name, uint32_t code_page, BufferCore& owner, BufferCore& group);

// ListDirectory replaces out's items by the names matching path ('*' and '?' wildcards in its last
// part; a path ending in '/' lists the whole directory), "." and ".." left out, in code_page. 0 (also
// when nothing matches), the system's error number (3 for a missing directory), 200 or 434.
[[nodiscard]] int ListDirectory(const char* path, StrList& out, uint32_t code_page);
// MakeDirectory creates a directory; 0 also when it exists already as a directory, else the system's
// error number (183 when the name is taken by a file).
[[nodiscard]] int MakeDirectory(const char* name, uint32_t code_page);
// MakeDirectoryTree creates the directory and every missing one above it; 0 or the first error.
[[nodiscard]] int MakeDirectoryTree(const char* name, uint32_t code_page);

// CertStoreHandle is a system certificate store.
using CertStoreHandle = void*;
// OpenSystemCertStore opens an existing system store of the user (location 0) or the machine (1) by
// name, for reading only when read_only is nonzero; null for any other location or when the store
// cannot be opened.
// NOTE: this system has no system certificate stores: the result is always null.
CertStoreHandle OpenSystemCertStore(int32_t location, const char* store_name, int32_t read_only);

}  // namespace velmora::core
