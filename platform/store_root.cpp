#include "platform/store_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace velmora::platform {

namespace {

std::mutex g_root_mutex;
std::string* g_test_root = nullptr;  // guarded by g_root_mutex; never freed once set
std::atomic<unsigned> g_temp_counter{0};

bool Absolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::string RootFromEnvironment() {
  if (const char* explicit_root = std::getenv("VELMORABLE_PLATFORM_STORE"); Absolute(explicit_root)) {
    return explicit_root;
  }
  std::string data_home;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); Absolute(xdg)) {
    data_home = xdg;
  } else if (const char* home = std::getenv("HOME"); Absolute(home)) {
    data_home = std::string(home) + "/.local/share";
  } else {
    return {};
  }
  return data_home + "/velmorable/platform-store";
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// MakeFolders makes every missing folder of path, mode 0700. True when path is a folder afterwards.
bool MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string prefix = path.substr(0, at);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string StoreRoot() {
  {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    if (g_test_root != nullptr && !g_test_root->empty()) return *g_test_root;
  }
  return WithoutTrailingSlash(RootFromEnvironment());
}

std::string StoreFolder(std::string_view relative) {
  const std::string root = StoreRoot();
  if (root.empty()) return {};
  std::string path = root;
  if (!relative.empty()) path += "/" + std::string(relative);
  return MakeFolders(path) ? path : std::string();
}

std::string StoreFileName(std::u16string_view name) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(name.size() * 4);
  for (char16_t unit : name) {
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 15];
  }
  return out;
}

bool StoreNameFromFile(std::string_view file_name, std::u16string* name) {
  if (file_name.size() % 4 != 0) return false;
  name->clear();
  for (size_t at = 0; at < file_name.size(); at += 4) {
    unsigned unit = 0;
    for (size_t i = 0; i < 4; ++i) {
      const int digit = HexDigit(file_name[at + i]);
      if (digit < 0) return false;
      unit = unit << 4 | static_cast<unsigned>(digit);
    }
    name->push_back(static_cast<char16_t>(unit));
  }
  return true;
}

bool WriteStoreFile(const std::string& path, const void* bytes, std::size_t length) {
  const std::string temporary =
      path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(g_temp_counter.fetch_add(1));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0;
  const auto* at = static_cast<const char*>(bytes);
  for (std::size_t left = length; ok && left > 0;) {
    const ssize_t wrote = ::write(fd, at, left);
    if (wrote < 0 && errno == EINTR) continue;
    ok = wrote > 0;
    if (ok) {
      at += wrote;
      left -= static_cast<std::size_t>(wrote);
    }
  }
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool ReadStoreFile(const std::string& path, std::string* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  char chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    bytes->append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return ok;
}

bool RemoveStoreFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool StoreFileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> ListStoreFolder(const std::string& path, std::string_view suffix) {
  std::vector<std::string> names;
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name(entry->d_name);
    if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) continue;
    if (StoreFileExists(path + "/" + std::string(name))) names.emplace_back(name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

namespace test {

void SetStoreRoot(const char* path) {
  std::lock_guard<std::mutex> lock(g_root_mutex);
  if (g_test_root == nullptr) g_test_root = new std::string;
  *g_test_root = path == nullptr ? std::string() : WithoutTrailingSlash(path);
}

}  // namespace test

}  // namespace velmora::platform
