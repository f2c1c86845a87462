// Files and directories of the host system, with the open modes, attribute flags and error numbers the
// library's file helpers are written against.
//
// Paths are byte strings handed to the system unchanged ('/' separates, a backslash is an ordinary name
// byte). Functions that can fail return false (or -1) and store the system error number of
// win_codes.h in the calling thread's last error (2 file not found, 3 path not found, 5 access denied,
// 80 file exists, 183 already exists, ...). Any thread may call them.
//
// NOTE: share modes have no equivalent here (files are never locked against other openers), the
// creation time cannot be set, and owners are user and group names rather than security identifiers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::platform {

// kInvalidFile is the value of a file that is not open.
constexpr int kInvalidFile = -1;

// OpenMode lists the ways the file helpers open a file.
enum class OpenMode {
  kRead,           // read an existing file
  kExistsTest,     // read an existing file, only to learn that it opens
  kWriteTruncate,  // write; create the file or cut an existing one to length 0
  kWriteExisting,  // read and write an existing file, keeping its content
  kCreateNew,      // write a file that must not exist yet (80 when it does)
};

// Seek methods, counted from the start, the current position or the end.
constexpr uint32_t kSeekBegin = 0;
constexpr uint32_t kSeekCurrent = 1;
constexpr uint32_t kSeekEnd = 2;

// Attribute flags of GetFileAttributes.
constexpr uint32_t kAttributeReadOnly = 0x01;
constexpr uint32_t kAttributeHidden = 0x02;
constexpr uint32_t kAttributeSystem = 0x04;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;

// OpenFile opens path in mode and returns the open file, or kInvalidFile. A directory opens in no
// mode (5, access denied).
int OpenFile(const char* path, OpenMode mode);
// CloseFile closes an open file; false for kInvalidFile.
bool CloseFile(int file);
// ReadFile reads until count bytes came, the end of the file was reached or a read failed; *done
// receives the count read in every case. False only when a read failed.
bool ReadFile(int file, void* out, uint32_t count, uint32_t* done);
// WriteFile writes all count bytes, resuming after short writes; *done receives the count written.
// False when a write failed or the device took nothing.
bool WriteFile(int file, const void* in, uint32_t count, uint32_t* done);
// SeekFile moves the position by offset from method's origin and returns the new position, or -1.
int64_t SeekFile(int file, int64_t offset, uint32_t method);
// FileSize returns the size of an open file, or -1.
int64_t FileSize(int file);
// SetEndOfFile cuts or extends the file to the current position.
bool SetEndOfFile(int file);

// GetFileAttributes returns the attribute flags of path: read-only when the owner may not write,
// hidden when the last name starts with '.', directory for directories and devices, archive for
// regular files. False when path cannot be examined.
bool GetFileAttributes(const char* path, uint32_t* attributes);
// ClearReadOnly gives the owner write permission on path.
bool ClearReadOnly(const char* path);

// GetFileTimes stores the last-write, last-access and creation times of path as FILETIMEs; the
// creation time is the birth time where the file system records one, else the status-change time.
bool GetFileTimes(const char* path, uint64_t* last_write, uint64_t* last_access, uint64_t* creation);
// SetFileTimes sets the times given by non-null pointers (FILETIMEs); the others stay as they are.
// The creation time cannot be set and is ignored.
bool SetFileTimes(const char* path, const uint64_t* last_write, const uint64_t* last_access,
                  const uint64_t* creation);

// FullPath writes the absolute form of path into out (cap bytes, NUL-terminated) and returns its length
// without the NUL. The form is lexical: relative paths are joined to the working directory, "." and
// ".." steps and repeated '/' are folded, links are not followed and path need not exist. When the
// result does not fit, nothing is written and the length needed (NUL included) is returned; 0 with
// last error 123 for an empty path.
std::size_t FullPath(const char* path, char* out, std::size_t cap);

// DirectoryVisitor receives one name found by ListDirectory; returning false stops the listing.
using DirectoryVisitor = bool (*)(void* context, const char* name);
// ListDirectory calls visit with each name in the directory of pattern (the part before its last '/',
// or the working directory) whose name matches the part after it; '*' matches any run, '?' any one
// character (a UTF-8 sequence) and "*.*" every name; every other byte matches itself, case counts.
// "." and ".." are reported when they match. False with last error 3 when the directory cannot be
// read; a pattern that matches nothing is a success.
bool ListDirectory(const char* pattern, DirectoryVisitor visit, void* context);

// MakeDirectory creates a directory (183 when the name exists already).
bool MakeDirectory(const char* path);
// RemoveDirectory removes an empty directory.
bool RemoveDirectory(const char* path);
// DeleteFile removes a file (5 for a directory).
bool DeleteFile(const char* path);
// MoveFile renames from to to; it never replaces an existing to (183).
bool MoveFile(const char* from, const char* to);

// kAccountNameSize is the size of each name area of OwnerAndGroup, NUL included.
constexpr std::size_t kAccountNameSize = 256;
// OwnerAndGroup holds the owner and group of a file: the domain is this host's name.
struct OwnerAndGroup {
  char domain[kAccountNameSize];
  char owner[kAccountNameSize];
  char group[kAccountNameSize];
};
// GetOwnerAndGroup stores the names of the owner and group of path; false when the path cannot be
// examined or a name is not known (1332, none mapped).
bool GetOwnerAndGroup(const char* path, OwnerAndGroup* out);

}  // namespace velmora::platform
