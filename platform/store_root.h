// The platform store root: the one directory under which the stand-in modules keep every file they
// persist (key storage provider keys now; key containers and certificate stores later). It is
// $VELMORABLE_PLATFORM_STORE when that is an absolute path, else $XDG_DATA_HOME/velmorable/platform-store,
// with ~/.local/share in place of XDG_DATA_HOME when that is unset or not absolute. "Machine" data lives
// in the sub-folder machine/.
//
// Folders are made with mode 0700 and files with 0600; a caller's name reaches the file system only
// through StoreFileName (hex), so no name can climb out of the root. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

// StoreRoot is the root's absolute path (no trailing '/'); empty when neither variable nor HOME gives
// one.
std::string StoreRoot();

// StoreFolder makes (as needed) the folder at the relative path under the root, root included, and
// returns its absolute path; empty when it cannot be made. relative is the caller's own fixed text
// ("ksp/software/user"), never a name from outside.
std::string StoreFolder(std::string_view relative);

// StoreFileName is the hex text of the UTF-16 code units of name (four lower-case digits each), the
// only form in which a name from outside becomes a file name.
std::string StoreFileName(std::u16string_view name);
// StoreNameFromFile reverses StoreFileName; false for text that is not such a name.
bool StoreNameFromFile(std::string_view file_name, std::u16string* name);

// WriteStoreFile replaces the file at path with the bytes, mode 0600, through a temporary file and a
// rename so that a reader never sees half of it: true on success.
bool WriteStoreFile(const std::string& path, const void* bytes, std::size_t length);
// ReadStoreFile reads the whole file: true on success.
bool ReadStoreFile(const std::string& path, std::string* bytes);
// RemoveStoreFile deletes the file: true when it is gone afterwards (also when it never was).
bool RemoveStoreFile(const std::string& path);
// StoreFileExists: a regular file is at path.
bool StoreFileExists(const std::string& path);
// ListStoreFolder is the names of the regular files in the folder at path ending in suffix, sorted;
// empty when the folder does not exist.
std::vector<std::string> ListStoreFolder(const std::string& path, std::string_view suffix);

namespace test {
// SetStoreRoot points the root at path (an absolute directory, made as needed) for the whole process;
// null goes back to the variables. Tests point it at a temporary directory.
void SetStoreRoot(const char* path);
}  // namespace test

}  // namespace velmora::platform
