#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorNoneMapped = 1332;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kEpochDeltaSeconds = 11644473600;

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

// ParentExists tells whether the directory part of path (before its last '/') can be examined; a path
// without one lives in the working directory, which exists.
bool ParentExists(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr || slash == path) return true;
  const std::size_t length = static_cast<std::size_t>(slash - path);
  char* parent = static_cast<char*>(Alloc(length + 1));
  if (parent == nullptr) return true;
  std::memcpy(parent, path, length);
  parent[length] = '\0';
  struct stat info {};
  const bool exists = stat(parent, &info) == 0;
  Free(parent, length + 1);
  return exists;
}

// ErrorForPath maps a failed call's errno to the system error number; a missing name is "file not
// found" (2) only when its directory exists, else "path not found" (3).
uint32_t ErrorForPath(int err, const char* path) {
  if (err == ENOENT && !ParentExists(path)) return kErrorPathNotFound;
  return Win32FromErrno(err);
}

bool FailErrno(const char* path) { return Fail(ErrorForPath(errno, path)); }

uint64_t FileTimeFromTimespec(int64_t seconds, int64_t nanoseconds) {
  const int64_t since_1601 = seconds + kEpochDeltaSeconds;
  if (since_1601 < 0) return 0;
  return static_cast<uint64_t>(since_1601) * kTicksPerSecond + static_cast<uint64_t>(nanoseconds / 100);
}

timespec TimespecFromFileTime(uint64_t file_time) {
  timespec out{};
  out.tv_sec = static_cast<time_t>(static_cast<int64_t>(file_time / kTicksPerSecond) - kEpochDeltaSeconds);
  out.tv_nsec = static_cast<long>(file_time % kTicksPerSecond) * 100;
  return out;
}

// LastNameIsHidden: the last name of path (trailing '/' ignored) starts with '.' and is not "." or "..".
bool LastNameIsHidden(const char* path) {
  std::size_t end = std::strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;
  std::size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  const std::size_t length = end - start;
  if (length == 0 || path[start] != '.') return false;
  return !(length == 1 || (length == 2 && path[start + 1] == '.'));
}

// CopyName copies a name into a fixed area; false (122) when it does not fit.
bool CopyName(const char* name, char* out) {
  const std::size_t length = std::strlen(name);
  if (length >= kAccountNameSize) return Fail(kErrorInsufficientBuffer);
  std::memcpy(out, name, length + 1);
  return true;
}

// LookupName finds the user (is_user) or group name of id. The area starts on the stack and grows on
// the heap for entries (large groups) that do not fit.
bool LookupName(bool is_user, uint32_t id, char* out) {
  char stack_area[4096];
  char* area = stack_area;
  std::size_t size = sizeof stack_area;
  for (;;) {
    int rc = 0;
    const char* name = nullptr;
    if (is_user) {
      passwd entry{};
      passwd* result = nullptr;
      rc = getpwuid_r(id, &entry, area, size, &result);
      if (rc == 0 && result != nullptr) name = entry.pw_name;
    } else {
      group entry{};
      group* result = nullptr;
      rc = getgrgid_r(id, &entry, area, size, &result);
      if (rc == 0 && result != nullptr) name = entry.gr_name;
    }
    if (rc == ERANGE && size < (std::size_t{1} << 24)) {
      if (area != stack_area) Free(area, size);
      size *= 2;
      area = static_cast<char*>(Alloc(size));
      if (area == nullptr) return Fail(kErrorNotEnoughMemory);
      continue;
    }
    const bool ok = name != nullptr ? CopyName(name, out) : Fail(rc != 0 ? Win32FromErrno(rc) : kErrorNoneMapped);
    if (area != stack_area) Free(area, size);
    return ok;
  }
}

// CharLength is the byte count of the UTF-8 character at text: 1 for a byte that starts none.
std::size_t CharLength(const char* text) {
  const auto lead = static_cast<unsigned char>(*text);
  const std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;  // also stops at the NUL
  }
  return length;
}

// WildcardMatch matches name against pattern: '*' any run (empty too), '?' one character, every
// other byte itself. A failed match after a '*' retries with that star taking one more character.
bool WildcardMatch(const char* pattern, const char* name) {
  if (std::strcmp(pattern, "*.*") == 0) return true;  // every name, with or without a dot
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?') {
      ++pattern;
      name += CharLength(name);
    } else if (*pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      resume += CharLength(resume);
      name = resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace

int OpenFile(const char* path, OpenMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kRead:
    case OpenMode::kExistsTest: flags |= O_RDONLY; break;
    case OpenMode::kWriteTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case OpenMode::kWriteExisting: flags |= O_RDWR; break;
    case OpenMode::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
  }
  int file = -1;
  do {
    file = open(path, flags, 0666);
  } while (file < 0 && errno == EINTR);
  if (file < 0) {
    // CREATE_NEW on an existing name is "file exists" (80), whatever the object is.
    SetLastError(errno == EEXIST ? kErrorFileExists : ErrorForPath(errno, path));
    return kInvalidFile;
  }
  struct stat info {};
  if (fstat(file, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(file);
    SetLastError(kErrorAccessDenied);
    return kInvalidFile;
  }
  return file;
}

bool CloseFile(int file) {
  if (file == kInvalidFile) return Fail(kErrorInvalidHandle);
  // NOTE: Linux releases the descriptor even when close reports EINTR; never retry it.
  if (close(file) != 0 && errno != EINTR) return Fail(Win32FromErrno(errno));
  return true;
}

bool ReadFile(int file, void* out, uint32_t count, uint32_t* done) {
  uint32_t total = 0;
  bool ok = true;
  while (total < count) {
    const ssize_t got = read(file, static_cast<char*>(out) + total, count - total);
    if (got > 0) {
      total += static_cast<uint32_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      ok = Fail(Win32FromErrno(errno));
      break;
    }
  }
  *done = total;
  return ok;
}

bool WriteFile(int file, const void* in, uint32_t count, uint32_t* done) {
  uint32_t total = 0;
  bool ok = true;
  while (total < count) {
    const ssize_t put = write(file, static_cast<const char*>(in) + total, count - total);
    if (put > 0) {
      total += static_cast<uint32_t>(put);
    } else if (put == 0) {
      ok = Fail(kErrorDiskFull);
      break;
    } else if (errno != EINTR) {
      ok = Fail(Win32FromErrno(errno));
      break;
    }
  }
  *done = total;
  return ok;
}

int64_t SeekFile(int file, int64_t offset, uint32_t method) {
  int whence = SEEK_SET;
  if (method == kSeekCurrent) {
    whence = SEEK_CUR;
  } else if (method == kSeekEnd) {
    whence = SEEK_END;
  } else if (method != kSeekBegin) {
    Fail(kErrorInvalidParameter);
    return -1;
  }
  const off_t position = lseek(file, static_cast<off_t>(offset), whence);
  if (position < 0) {
    Fail(errno == EINVAL ? kErrorNegativeSeek : Win32FromErrno(errno));
    return -1;
  }
  return position;
}

int64_t FileSize(int file) {
  struct stat info {};
  if (fstat(file, &info) != 0) {
    Fail(Win32FromErrno(errno));
    return -1;
  }
  return info.st_size;
}

bool SetEndOfFile(int file) {
  const off_t position = lseek(file, 0, SEEK_CUR);
  if (position < 0 || ftruncate(file, position) != 0) return Fail(Win32FromErrno(errno));
  return true;
}

bool GetFileAttributes(const char* path, uint32_t* attributes) {
  struct stat info {};
  if (stat(path, &info) != 0) return FailErrno(path);
  uint32_t flags = 0;
  if ((info.st_mode & S_IWUSR) == 0) flags |= kAttributeReadOnly;
  if (LastNameIsHidden(path)) flags |= kAttributeHidden;
  if (S_ISDIR(info.st_mode) || S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) flags |= kAttributeDirectory;
  if (S_ISREG(info.st_mode)) flags |= kAttributeArchive;
  *attributes = flags;
  return true;
}

bool ClearReadOnly(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return FailErrno(path);
  if ((info.st_mode & S_IWUSR) != 0) return true;
  if (chmod(path, (info.st_mode & 07777) | S_IWUSR) != 0) return FailErrno(path);
  return true;
}

bool GetFileTimes(const char* path, uint64_t* last_write, uint64_t* last_access, uint64_t* creation) {
  struct statx info {};
  if (statx(AT_FDCWD, path, 0, STATX_BASIC_STATS | STATX_BTIME, &info) == 0) {
    *last_write = FileTimeFromTimespec(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
    *last_access = FileTimeFromTimespec(info.stx_atime.tv_sec, info.stx_atime.tv_nsec);
    const statx_timestamp& born = (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_ctime;
    *creation = FileTimeFromTimespec(born.tv_sec, born.tv_nsec);
    return true;
  }
  if (errno != ENOSYS) return FailErrno(path);
  // NOTE: kernels without statx: no birth time, the status-change time stands in.
  struct stat plain {};
  if (stat(path, &plain) != 0) return FailErrno(path);
  *last_write = FileTimeFromTimespec(plain.st_mtim.tv_sec, plain.st_mtim.tv_nsec);
  *last_access = FileTimeFromTimespec(plain.st_atim.tv_sec, plain.st_atim.tv_nsec);
  *creation = FileTimeFromTimespec(plain.st_ctim.tv_sec, plain.st_ctim.tv_nsec);
  return true;
}

bool SetFileTimes(const char* path, const uint64_t* last_write, const uint64_t* last_access,
                  const uint64_t* creation) {
  (void)creation;  // NOTE: the birth time of a file cannot be set here.
  if (last_write == nullptr && last_access == nullptr) return true;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = times[0];
  if (last_access != nullptr) times[0] = TimespecFromFileTime(*last_access);
  if (last_write != nullptr) times[1] = TimespecFromFileTime(*last_write);
  if (utimensat(AT_FDCWD, path, times, 0) != 0) return FailErrno(path);
  return true;
}

std::size_t FullPath(const char* path, char* out, std::size_t cap) {
  if (path == nullptr || path[0] == '\0') {
    Fail(kErrorInvalidName);
    return 0;
  }
  char* cwd = nullptr;
  std::size_t cwd_length = 0;
  if (path[0] != '/') {
    cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      FailErrno(".");
      return 0;
    }
    cwd_length = std::strlen(cwd);
  }
  const std::size_t path_length = std::strlen(path);
  // The folded path is never longer than "/" + cwd + "/" + path + "/".
  const std::size_t work_size = cwd_length + path_length + 4;
  char* work = static_cast<char*>(Alloc(work_size));
  if (work == nullptr) {
    std::free(cwd);
    Fail(kErrorNotEnoughMemory);
    return 0;
  }
  std::size_t length = 1;
  work[0] = '/';
  auto fold = [&](const char* text, std::size_t text_length) {
    std::size_t i = 0;
    while (i < text_length) {
      while (i < text_length && text[i] == '/') ++i;
      const std::size_t start = i;
      while (i < text_length && text[i] != '/') ++i;
      const std::size_t part = i - start;
      if (part == 0 || (part == 1 && text[start] == '.')) continue;
      if (part == 2 && text[start] == '.' && text[start + 1] == '.') {
        while (length > 1 && work[length - 1] != '/') --length;
        if (length > 1) --length;  // drop the separator too, keeping the root
        continue;
      }
      if (work[length - 1] != '/') work[length++] = '/';
      std::memcpy(work + length, text + start, part);
      length += part;
    }
  };
  if (cwd != nullptr) fold(cwd, cwd_length);
  fold(path, path_length);
  std::free(cwd);
  if (path[path_length - 1] == '/' && work[length - 1] != '/') work[length++] = '/';
  std::size_t result = length;
  if (length < cap) {
    std::memcpy(out, work, length);
    out[length] = '\0';
  } else {
    result = length + 1;
  }
  Free(work, work_size);
  return result;
}

bool ListDirectory(const char* pattern, DirectoryVisitor visit, void* context) {
  const char* slash = std::strrchr(pattern, '/');
  const char* name_pattern = slash == nullptr ? pattern : slash + 1;
  const std::size_t dir_length =
      slash == nullptr ? 0 : slash == pattern ? 1 : static_cast<std::size_t>(slash - pattern);  // "/x": the root
  char* dir = static_cast<char*>(Alloc(dir_length + 2));
  if (dir == nullptr) return Fail(kErrorNotEnoughMemory);
  if (dir_length == 0) {
    dir[0] = '.';
    dir[1] = '\0';
  } else {
    std::memcpy(dir, pattern, dir_length);
    dir[dir_length] = '\0';
  }
  DIR* stream = opendir(dir);
  Free(dir, dir_length + 2);
  if (stream == nullptr) return Fail(errno == ENOENT ? kErrorPathNotFound : Win32FromErrno(errno));
  bool ok = true;
  if (name_pattern[0] != '\0') {
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(stream);
      if (entry == nullptr) {
        if (errno != 0) ok = Fail(Win32FromErrno(errno));
        break;
      }
      if (WildcardMatch(name_pattern, entry->d_name) && !visit(context, entry->d_name)) break;
    }
  }
  closedir(stream);
  return ok;
}

bool MakeDirectory(const char* path) {
  if (mkdir(path, 0777) == 0) return true;
  return Fail(errno == EEXIST ? kErrorAlreadyExists : errno == ENOENT ? kErrorPathNotFound : Win32FromErrno(errno));
}

bool RemoveDirectory(const char* path) {
  if (rmdir(path) == 0) return true;
  const int err = errno;
  struct stat info {};
  if (err == ENOTDIR && stat(path, &info) == 0 && !S_ISDIR(info.st_mode)) return Fail(kErrorDirectory);
  return Fail(ErrorForPath(err, path));
}

bool DeleteFile(const char* path) {
  if (unlink(path) == 0) return true;
  return FailErrno(path);
}

bool MoveFile(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // NOTE: a file system without no-replace renames: test first, then rename (not atomic).
    struct stat info {};
    if (lstat(to, &info) == 0) return Fail(kErrorAlreadyExists);
    if (rename(from, to) == 0) return true;
    err = errno;
  }
  if (err == EEXIST) return Fail(kErrorAlreadyExists);
  struct stat info {};
  if (err == ENOENT && lstat(from, &info) == 0) return Fail(kErrorPathNotFound);  // the target's directory
  return Fail(ErrorForPath(err, from));
}

bool GetOwnerAndGroup(const char* path, OwnerAndGroup* out) {
  struct stat info {};
  if (stat(path, &info) != 0) return FailErrno(path);
  OwnerAndGroup names{};
  if (gethostname(names.domain, sizeof names.domain - 1) != 0) names.domain[0] = '\0';
  names.domain[sizeof names.domain - 1] = '\0';
  char* dot = std::strchr(names.domain, '.');
  if (dot != nullptr) *dot = '\0';
  if (!LookupName(true, info.st_uid, names.owner) || !LookupName(false, info.st_gid, names.group)) return false;
  *out = names;
  return true;
}

}  // namespace velmora::platform
