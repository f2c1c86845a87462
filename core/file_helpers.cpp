#include "core/file_helpers.h"

#include <climits>
#include <cstring>

#include "core/code_page.h"
#include "platform/last_error.h"
#include "platform/time.h"
#include "platform/win_codes.h"

namespace velmora::core {

namespace {

namespace pf = velmora::platform;

constexpr int64_t kEpochDeltaMs = 11644473600000;
// A Buffer holds at most INT32_MAX - 1 bytes.
constexpr int64_t kMaxReadableFile = INT32_MAX - 1;

bool KeepsBytes(uint32_t code_page) { return code_page == kCodePageSystem || code_page == kCodePageUtf8; }

int LastError() { return static_cast<int>(pf::GetLastError()); }

// NativeName is a name in the form the file system takes, converted from a code page or UTF-16 when
// needed. Path() stays valid while the object lives and is not set again.
class NativeName {
 public:
  [[nodiscard]] int Set(const char* name, uint32_t code_page) {
    if (name == nullptr) name = kEmptyText;
    if (KeepsBytes(code_page)) {
      path_ = name;
      return kOk;
    }
    int rc = MultiByteToWide(scratch_, name, code_page);
    if (rc == kOk) rc = Utf16LeToUtf8(scratch_);  // the NUL unit becomes the NUL byte
    if (rc != kOk) return rc;
    path_ = scratch_.Data();
    return kOk;
  }
  [[nodiscard]] int SetWide(const char16_t* name) {
    if (name == nullptr) {
      path_ = kEmptyText;
      return kOk;
    }
    int64_t units = 0;
    while (name[units] != 0) ++units;
    if (units > (INT32_MAX - 2) / 2) return kConversionFailed;
    int rc = scratch_.SetData(static_cast<int32_t>(units * 2), name);
    if (rc == kOk) rc = Utf16LeToUtf8(scratch_);
    if (rc != kOk) return rc;
    path_ = scratch_.Data();
    return kOk;
  }
  const char* Path() const { return path_; }

 private:
  Buffer scratch_;
  const char* path_ = kEmptyText;
};

// SetFromNative sets out to length bytes of a file-system name converted to code_page.
int SetFromNative(const char* native, int32_t length, uint32_t code_page, BufferCore& out) {
  if (KeepsBytes(code_page)) return out.SetData(length, native);
  Buffer wide;
  int rc = wide.SetData(length, native);
  if (rc == kOk) rc = Utf8ToUtf16Le(wide);
  if (rc == kOk) {
    rc = WideToMultiByteN(out, reinterpret_cast<const char16_t*>(wide.Data()), wide.Length() / 2, code_page);
  }
  return rc;
}

// FullPathNative sets out to the absolute form of path; false when there is none (empty path) or the
// buffer cannot grow (*rc then says which).
bool FullPathNative(const char* path, BufferCore& out, int* rc) {
  *rc = kOk;
  std::size_t needed = pf::FullPath(path, nullptr, 0);
  // The working directory may change between the two calls; ask again while the room falls short.
  for (int attempt = 0; attempt < 3 && needed > 0; ++attempt) {
    if (needed - 1 > static_cast<std::size_t>(INT32_MAX - 1)) break;
    *rc = out.SetData(static_cast<int32_t>(needed - 1), nullptr);
    if (*rc != kOk) return false;
    const std::size_t length = pf::FullPath(path, out.Data(), needed);
    if (length < needed) {
      *rc = out.SetData(static_cast<int32_t>(length), nullptr);
      return *rc == kOk;
    }
    needed = length;
  }
  return false;
}

bool IsDirectoryNative(const char* path) {
  uint32_t attributes = 0;
  return pf::GetFileAttributes(path, &attributes) && (attributes & pf::kAttributeDirectory) != 0;
}

int MakeDirectoryNative(const char* path) {
  if (IsDirectoryNative(path)) return kOk;
  if (pf::MakeDirectory(path)) return kOk;
  const int code = LastError();
  // Another process may have made it in between; a file of that name stays an error.
  if (code == static_cast<int>(pf::kErrorAlreadyExists) && IsDirectoryNative(path)) return kOk;
  return code;
}

// ReadOpenFile reads the open file into out, sized once: a file that grows meanwhile gives only the
// bytes it had when sized. The handle is closed in every case.
int ReadOpenFile(FileHandle& file, BufferCore& out) {
  int64_t size = file.Size();
  if (size < 0) size = 0;  // an unreadable size counts as empty
  int rc = size > kMaxReadableFile ? kOutOfMemory : out.SetData(static_cast<int32_t>(size), nullptr);
  if (rc == kOk) rc = file.ReadExact(out.Data(), static_cast<uint32_t>(size));
  file.Close();
  if (rc != kOk) out.Clear();
  return rc;
}

int64_t FileTimeToMs(uint64_t file_time) {
  return static_cast<int64_t>(file_time / pf::kFileTimeTicksPerMs) - kEpochDeltaMs;
}

uint64_t MsToFileTime(int64_t ms) {
  return (static_cast<uint64_t>(ms) + static_cast<uint64_t>(kEpochDeltaMs)) * pf::kFileTimeTicksPerMs;
}

// ListContext collects the names of one listing.
struct ListContext {
  StrList* list;
  uint32_t code_page;
  int rc;
  Buffer converted;
};

bool AddListedName(void* context, const char* name) {
  auto* ctx = static_cast<ListContext*>(context);
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return true;
  if (KeepsBytes(ctx->code_page)) {
    ctx->rc = ctx->list->AddCString(name);
  } else {
    ctx->rc = SetFromNative(name, static_cast<int32_t>(std::strlen(name)), ctx->code_page, ctx->converted);
    if (ctx->rc == kOk) ctx->rc = ctx->list->Add(ctx->converted.Data(), ctx->converted.Length());
  }
  return ctx->rc == kOk;
}

}  // namespace

// ---- FileHandle ------------------------------------------------------------------------------------

FileHandle::~FileHandle() { Close(); }

int FileHandle::OpenPath(const char* path, pf::OpenMode mode, int64_t offset, int fail_code) {
  Close();
  file_ = pf::OpenFile(path, mode);
  if (file_ == pf::kInvalidFile) return fail_code;
  // A fresh file starts at 0, so moving from the current position is moving from the start.
  if (offset != 0 && pf::SeekFile(file_, offset, pf::kSeekCurrent) < 0) {
    Close();  // never leave the file open at a position the caller did not ask for
    return kSeekFailed;
  }
  return kOk;
}

int FileHandle::OpenAppendPath(const char* path) {
  Close();
  file_ = pf::OpenFile(path, pf::OpenMode::kCreateNew);
  if (file_ == pf::kInvalidFile) file_ = pf::OpenFile(path, pf::OpenMode::kWriteExisting);
  if (file_ == pf::kInvalidFile) return kCannotOpenForWriting;
  if (pf::SeekFile(file_, 0, pf::kSeekEnd) < 0) {
    Close();
    return kSeekFailed;
  }
  return kOk;
}

int FileHandle::OpenRead(const char* name, int64_t offset, uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  return rc != kOk ? rc : OpenPath(native.Path(), pf::OpenMode::kRead, offset, kCannotOpenForReading);
}

int FileHandle::OpenReadW(const char16_t* name, int64_t offset) {
  NativeName native;
  const int rc = native.SetWide(name);
  return rc != kOk ? rc : OpenPath(native.Path(), pf::OpenMode::kRead, offset, kCannotOpenForReading);
}

int FileHandle::OpenWrite(const char* name, int64_t offset, uint32_t code_page, int create) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  if (offset == 0 && create != 0) {
    return OpenPath(native.Path(), pf::OpenMode::kWriteTruncate, 0, kCannotOpenForWriting);
  }
  return OpenPath(native.Path(), pf::OpenMode::kWriteExisting, offset, kCannotOpenForWriting);
}

int FileHandle::OpenWriteW(const char16_t* name, int64_t offset, int create) {
  NativeName native;
  const int rc = native.SetWide(name);
  if (rc != kOk) return rc;
  return OpenWrite(native.Path(), offset, kCodePageUtf8, create);
}

int FileHandle::CreateNew(const char* name) {
  return OpenPath(name != nullptr ? name : kEmptyText, pf::OpenMode::kCreateNew, 0, kCannotOpenForWriting);
}

int FileHandle::CreateNewW(const char16_t* name) {
  NativeName native;
  const int rc = native.SetWide(name);
  return rc != kOk ? rc : CreateNew(native.Path());
}

int FileHandle::OpenAppend(const char* name) { return OpenAppendPath(name != nullptr ? name : kEmptyText); }

int FileHandle::OpenAppendW(const char16_t* name) {
  NativeName native;
  const int rc = native.SetWide(name);
  return rc != kOk ? rc : OpenAppendPath(native.Path());
}

int FileHandle::OpenReadByName(FileHandle& handle, const char* name, uint32_t code_page, int64_t offset) {
  return handle.OpenRead(name, offset, code_page);
}

int FileHandle::OpenWriteByName(FileHandle& handle, const char* name, uint32_t code_page, int64_t offset) {
  return handle.OpenWrite(name, offset, code_page, 1);
}

int FileHandle::OpenAppendByName(FileHandle& handle, const char* name, uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  return rc != kOk ? rc : handle.OpenAppendPath(native.Path());
}

int FileHandle::ReadExact(void* out, uint32_t count) {
  if (!IsOpen()) return kFileNotOpen;
  uint32_t done = 0;
  const bool ok = pf::ReadFile(file_, out, count, &done);
  if (ok && done == count) return kOk;
  Close();
  return ok ? kShortRead : kReadFailed;
}

int FileHandle::Write(const void* in, uint32_t count) {
  if (!IsOpen()) return kFileNotOpen;
  uint32_t done = 0;
  if (pf::WriteFile(file_, in, count, &done) && done == count) return kOk;
  Close();
  return kWriteFailed;
}

int64_t FileHandle::Size() { return IsOpen() ? pf::FileSize(file_) : -1; }

int64_t FileHandle::Seek(int64_t offset, uint32_t method) {
  return IsOpen() ? pf::SeekFile(file_, offset, method) : -1;
}

int FileHandle::Close() {
  if (IsOpen()) {
    pf::CloseFile(file_);
    file_ = pf::kInvalidFile;
  }
  return kOk;
}

// ---- InputSource -----------------------------------------------------------------------------------

int InputSource::ReadExact(void* out, uint32_t count) {
  if (file_ != nullptr) return file_->ReadExact(out, count);
  if (stream_ == nullptr) return kFileNotOpen;
  auto* cursor = static_cast<char*>(out);
  uint32_t remaining = count;
  while (remaining > 0) {
    const int32_t ask = remaining > INT32_MAX ? INT32_MAX : static_cast<int32_t>(remaining);
    const int32_t got = stream_->Read(cursor, ask);
    if (got <= 0 || got > ask) break;  // the end, a failure, or a stream that claims too much
    cursor += got;
    remaining -= static_cast<uint32_t>(got);
  }
  if (remaining == 0) return kOk;
  if (owns_stream_ != 0) stream_->Release();
  stream_ = nullptr;
  owns_stream_ = 0;
  return kShortRead;
}

int64_t InputSource::Size() {
  if (file_ != nullptr) return file_->Size();
  return stream_ != nullptr ? stream_->Size() : 0;
}

int64_t InputSource::Seek(int64_t offset, uint32_t method) {
  if (file_ != nullptr) return file_->Seek(offset, method);
  return stream_ != nullptr ? stream_->Seek(offset, method) : 0;
}

int InputSource::Close() {
  if (file_ != nullptr) {
    file_->Close();
    file_ = nullptr;
  }
  // An owned stream is released even beside a file: forgetting it would leak it.
  if (stream_ != nullptr && owns_stream_ != 0) stream_->Release();
  stream_ = nullptr;
  owns_stream_ = 0;
  return kOk;
}

// ---- Operations on names ---------------------------------------------------------------------------

bool FileExists(const char* name) {
  const int file = pf::OpenFile(name != nullptr ? name : kEmptyText, pf::OpenMode::kExistsTest);
  if (file == pf::kInvalidFile) return false;
  pf::CloseFile(file);
  return true;
}

bool FileExistsW(const char16_t* name) {
  NativeName native;
  return native.SetWide(name) == kOk && FileExists(native.Path());
}

int ReadFileToBuffer(const char* name, BufferCore& out) {
  FileHandle file;
  const int rc = file.OpenRead(name, 0, kCodePageSystem);
  if (rc != kOk) {
    out.Clear();
    return rc;
  }
  return ReadOpenFile(file, out);
}

int ReadWideFileToBuffer(const char16_t* name, BufferCore& out) {
  FileHandle file;
  const int rc = file.OpenReadW(name, 0);
  if (rc != kOk) {
    out.Clear();
    return rc;
  }
  return ReadOpenFile(file, out);
}

int CreateEmptyFile(const char* name, uint32_t code_page) {
  FileHandle file;
  return file.OpenWrite(name, 0, code_page, 1);
}

int DeleteFileByName(const char* name, uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  pf::SetLastError(0);
  return pf::DeleteFile(native.Path()) ? kOk : LastError();
}

int RemoveDirectoryByName(const char* name, uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  return pf::RemoveDirectory(native.Path()) ? kOk : LastError();
}

int MoveFileByName(const char* from, const char* to, uint32_t code_page) {
  NativeName native_from;
  NativeName native_to;
  int rc = native_from.Set(from, code_page);
  if (rc == kOk) rc = native_to.Set(to, code_page);
  if (rc != kOk) return rc;
  return pf::MoveFile(native_from.Path(), native_to.Path()) ? kOk : LastError();
}

int CreateFileWithLength(const char* name, int64_t length, uint32_t code_page) {
  NativeName native;
  int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  const int file = pf::OpenFile(native.Path(), pf::OpenMode::kCreateNew);
  if (file == pf::kInvalidFile) return kCannotOpenForWriting;
  if (pf::SeekFile(file, length, pf::kSeekBegin) < 0 || !pf::SetEndOfFile(file)) rc = LastError();
  pf::CloseFile(file);
  return rc;
}

int ClearReadOnlyAttribute(const char* name, uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  return pf::ClearReadOnly(native.Path()) ? kOk : LastError();
}

uint32_t GetFileAttributeFlags(const char* name, uint32_t code_page) {
  NativeName native;
  uint32_t attributes = 0;
  if (native.Set(name, code_page) != kOk || !pf::GetFileAttributes(native.Path(), &attributes)) return 0;
  return attributes;
}

bool IsDirectory(const char* name, uint32_t code_page) {
  return (GetFileAttributeFlags(name, code_page) & kFileDirectory) != 0;
}

bool PathExists(const char* name, uint32_t code_page) {
  NativeName native;
  if (native.Set(name, code_page) != kOk) return false;
  uint32_t attributes = 0;
  if (pf::GetFileAttributes(native.Path(), &attributes)) return true;
  switch (pf::GetLastError()) {
    case pf::kErrorFileNotFound:
    case pf::kErrorPathNotFound:
    case pf::kErrorBadFormat:
    case pf::kErrorNotReady:
    case pf::kErrorInvalidName: return false;
    default: return true;  // it is there, we may only not look at it (access denied, ...)
  }
}

int GetFullPath(const char* name, BufferCore& out, uint32_t code_page) {
  int rc = out.SetString(name);
  if (rc != kOk) return rc;
  NativeName native;
  rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  Buffer full;
  if (!FullPathNative(native.Path(), full, &rc)) return rc;
  const bool directory = IsDirectoryNative(full.Data());
  rc = SetFromNative(full.Data(), full.Length(), code_page, out);
  if (rc == kOk && directory && out.Length() > 0 && out.Data()[out.Length() - 1] != '/') rc = out.AppendByte('/');
  return rc;
}

int64_t GetFileSizeByName(const char* name, uint32_t code_page) {
  NativeName native;
  if (native.Set(name, code_page) != kOk) return -1;
  const int file = pf::OpenFile(native.Path(), pf::OpenMode::kRead);
  if (file == pf::kInvalidFile) return -1;
  const int64_t size = pf::FileSize(file);
  pf::CloseFile(file);
  return size;
}

int GetFileTimes(const char* name, int64_t* last_write, int64_t* last_access, int64_t* creation,
                 uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  uint64_t write = 0, access = 0, born = 0;
  if (!pf::GetFileTimes(native.Path(), &write, &access, &born)) return kCannotOpenForReading;
  if (last_write != nullptr) *last_write = FileTimeToMs(write);
  if (last_access != nullptr) *last_access = FileTimeToMs(access);
  if (creation != nullptr) *creation = FileTimeToMs(born);
  return kOk;
}

int SetFileTimes(const char* name, int64_t last_write, int64_t last_access, int64_t creation,
                 uint32_t code_page) {
  if (last_write < 1 && last_access < 1 && creation < 1) return kOk;
  NativeName native;
  const int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  uint32_t attributes = 0;
  if (!pf::GetFileAttributes(native.Path(), &attributes)) return kCannotOpenForReading;
  const uint64_t write = MsToFileTime(last_write);
  const uint64_t access = MsToFileTime(last_access);
  const uint64_t born = MsToFileTime(creation);
  const bool ok = pf::SetFileTimes(native.Path(), last_write >= 1 ? &write : nullptr,
                                   last_access >= 1 ? &access : nullptr, creation >= 1 ? &born : nullptr);
  return ok ? kOk : kTimesFailed;
}

int64_t CurrentFileTimeMs() { return FileTimeToMs(pf::NowFileTime()); }

int GetFileOwnerAndGroup(const char* name, uint32_t code_page, BufferCore& owner, BufferCore& group) {
  NativeName native;
  pf::OwnerAndGroup names;
  if (native.Set(name, code_page) != kOk || !pf::GetOwnerAndGroup(native.Path(), &names)) return -1;
  Buffer owner_text;
  Buffer group_text;
  if (owner_text.Format("%s\\%s", names.domain, names.owner) != kOk ||
      group_text.Format("%s\\%s", names.domain, names.group) != kOk) {
    return -1;
  }
  if (owner.Assign(owner_text) != kOk) return -1;
  if (group.Assign(group_text) != kOk) return -1;
  return kOk;
}

int ListDirectory(const char* path, StrList& out, uint32_t code_page) {
  out.Clear();
  NativeName native;
  int rc = native.Set(path, code_page);
  if (rc != kOk) return rc;
  const char* pattern = native.Path();
  Buffer whole_directory;
  const std::size_t length = std::strlen(pattern);
  if (length > 0 && pattern[length - 1] == '/') {
    rc = whole_directory.SetString(pattern);
    if (rc == kOk) rc = whole_directory.AppendByte('*');
    if (rc != kOk) return rc;
    pattern = whole_directory.Data();
  }
  ListContext context{&out, code_page, kOk, {}};
  const bool ok = pf::ListDirectory(pattern, AddListedName, &context);
  rc = context.rc != kOk ? context.rc : ok ? kOk : LastError();
  if (rc != kOk) out.Clear();
  return rc;
}

int MakeDirectory(const char* name, uint32_t code_page) {
  NativeName native;
  const int rc = native.Set(name, code_page);
  return rc != kOk ? rc : MakeDirectoryNative(native.Path());
}

int MakeDirectoryTree(const char* name, uint32_t code_page) {
  NativeName native;
  int rc = native.Set(name, code_page);
  if (rc != kOk) return rc;
  const char* path = native.Path();
  if (path[0] == '\0' || std::strcmp(path, "/") == 0 || IsDirectoryNative(path)) return kOk;
  Buffer full;
  if (!FullPathNative(path, full, &rc)) return rc != kOk ? rc : LastError();
  if (full.Length() > 1 && full.Data()[full.Length() - 1] == '/') full.DropLast();
  // Create each missing directory from the top down; each step stops at the first error.
  char* text = full.Data();
  for (int32_t i = 1; i < full.Length(); ++i) {
    if (text[i] != '/') continue;
    text[i] = '\0';
    rc = MakeDirectoryNative(text);
    text[i] = '/';
    if (rc != kOk) return rc;
  }
  return MakeDirectoryNative(text);
}

CertStoreHandle OpenSystemCertStore(int32_t location, const char* store_name, int32_t read_only) {
  (void)store_name;
  (void)read_only;
  if (location != 0 && location != 1) return nullptr;
  // NOTE: no system certificate store exists here to open.
  return nullptr;
}

}  // namespace velmora::core
