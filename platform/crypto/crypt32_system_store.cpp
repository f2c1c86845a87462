// System certificate stores of the "crypt32" stand-in (provider 9), and the find types by subject.
//
// "MY", "CA" and any other name a caller creates are folders stores/<NAME>/ under the platform store root
// (machine/stores/<NAME>/ for the local machine), one <sha1>.der file per certificate beside a <sha1>.props
// file with its properties. A store reads its folder when it opens; adds, deletes and property changes
// are written at once, so another handle opened later sees them. A store opened read-only takes no adds.
// "ROOT" also lists the certificates of OpenSSL's default certificate file (read once per process), which
// nobody can delete; its folder holds what tests add. The current user's "ROOT" also shows the machine's.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/crypt32_internal.h"
#include "platform/last_error.h"
#include "platform/store_root.h"
#include "platform/win_codes.h"

namespace velmora::platform::crypt32 {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kHexDigits[bytes[i] >> 4]);
    out.push_back(kHexDigits[bytes[i] & 15]);
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unhex(std::string_view text, Bytes* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

// A UTF-16 text in the properties file: "-" for none, else "x" and the hex of its bytes, little-endian.
std::string TextField(bool null, const std::u16string& text) {
  if (null) return "-";
  std::string out = "x";
  for (const char16_t unit : text) {
    const uint8_t pair[2] = {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)};
    out += Hex(pair, 2);
  }
  return out;
}

bool ReadTextField(std::string_view field, bool* null, std::u16string* text) {
  *null = field == "-";
  text->clear();
  if (*null) return true;
  Bytes bytes;
  if (field.empty() || field[0] != 'x' || !Unhex(field.substr(1), &bytes) || bytes.size() % 2 != 0) return false;
  for (size_t i = 0; i < bytes.size(); i += 2) text->push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  return true;
}

std::string BytesField(const Bytes& bytes) { return "x" + Hex(bytes.data(), bytes.size()); }

bool ReadBytesField(std::string_view field, Bytes* bytes) {
  return !field.empty() && field[0] == 'x' && Unhex(field.substr(1), bytes);
}

// The properties file: one line each for the key-provider information, its parameters and the
// friendly name; nothing when the certificate has no properties.
std::string PropertiesText(const CertContextObject& entry) {
  std::string text;
  if (entry.has_key_prov) {
    text += "prov " + std::to_string(entry.prov_type) + " " + std::to_string(entry.prov_flags) + " " +
            std::to_string(entry.key_spec) + " " + TextField(entry.container_null, entry.container) + " " +
            TextField(entry.provider_null, entry.provider_name) + "\n";
    for (const CertContextObject::Param& param : entry.prov_params) {
      text += "param " + std::to_string(param.id) + " " + std::to_string(param.flags) + " " + BytesField(param.data) +
              "\n";
    }
  }
  if (entry.has_friendly_name) text += "friendly " + BytesField(entry.friendly_name) + "\n";
  return text;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (at <= line.size()) {
    const size_t space = std::min(line.find(' ', at), line.size());
    fields.push_back(line.substr(at, space - at));
    at = space + 1;
  }
  return fields;
}

bool ReadNumber(std::string_view field, DWORD* value) {
  if (field.empty() || field.size() > 10) return false;
  uint64_t number = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > 0xFFFFFFFFu) return false;
  *value = static_cast<DWORD>(number);
  return true;
}

// ReadProperties fills the entry's properties from the file's text: false for any line it does not know.
bool ReadProperties(std::string_view text, CertContextObject& entry) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;  // every line ends; a cut file does not
    const std::vector<std::string_view> fields = Fields(text.substr(0, end));
    text.remove_prefix(end + 1);
    if (fields[0] == "prov" && fields.size() == 6 && !entry.has_key_prov) {
      if (!ReadNumber(fields[1], &entry.prov_type) || !ReadNumber(fields[2], &entry.prov_flags) ||
          !ReadNumber(fields[3], &entry.key_spec) ||
          !ReadTextField(fields[4], &entry.container_null, &entry.container) ||
          !ReadTextField(fields[5], &entry.provider_null, &entry.provider_name)) {
        return false;
      }
      entry.has_key_prov = true;
    } else if (fields[0] == "param" && fields.size() == 4 && entry.has_key_prov) {
      CertContextObject::Param param{};
      if (!ReadNumber(fields[1], &param.id) || !ReadNumber(fields[2], &param.flags) ||
          !ReadBytesField(fields[3], &param.data)) {
        return false;
      }
      entry.prov_params.push_back(std::move(param));
    } else if (fields[0] == "friendly" && fields.size() == 2 && !entry.has_friendly_name) {
      if (!ReadBytesField(fields[1], &entry.friendly_name)) return false;
      entry.has_friendly_name = true;
    } else {
      return false;
    }
  }
  return true;
}

std::string DerPath(const std::string& folder, const uint8_t* sha1) { return folder + "/" + Hex(sha1, 20) + ".der"; }
std::string PropsPath(const std::string& folder, const uint8_t* sha1) {
  return folder + "/" + Hex(sha1, 20) + ".props";
}

// Bundle is the DER of every certificate in OpenSSL's default certificate file, read on first use.
const std::vector<Bytes>& Bundle() {
  static const std::vector<Bytes>* bundle = [] {
    auto* read = new std::vector<Bytes>;
    BIO* file = BIO_new_file(X509_get_default_cert_file(), "r");
    if (file == nullptr) return read;
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(file, nullptr, nullptr, nullptr);
    BIO_free(file);
    for (int i = 0; infos != nullptr && i < sk_X509_INFO_num(infos); ++i) {
      const X509_INFO* info = sk_X509_INFO_value(infos, i);
      unsigned char* der = nullptr;
      const int length = info->x509 != nullptr ? i2d_X509(info->x509, &der) : 0;
      if (length > 0) read->emplace_back(der, der + length);
      OPENSSL_free(der);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return read;
  }();
  return *bundle;
}

using Entries = std::vector<std::unique_ptr<CertContextObject>>;

bool Listed(const Entries& entries, const uint8_t* sha1) {
  return std::any_of(entries.begin(), entries.end(),
                     [sha1](const auto& entry) { return std::memcmp(entry->sha1, sha1, 20) == 0; });
}

// ReadFolder decodes the folder's certificates and their properties into entries: 0, or the error of the
// first file that does not read back (a certificate that does not decode or whose bytes do not hash to
// its name, properties that do not parse).
uint32_t ReadFolder(const std::string& folder, Entries* entries) {
  for (const std::string& file : ListStoreFolder(folder, ".der")) {
    std::string der, properties;
    if (!ReadStoreFile(folder + "/" + file, &der)) return kCryptEFileError;
    auto entry = Decode(kX509AsnEncoding | kPkcs7AsnEncoding, reinterpret_cast<const uint8_t*>(der.data()),
                        static_cast<DWORD>(der.size()));
    if (!entry) return GetLastError();
    if (file != Hex(entry->sha1, 20) + ".der") return kCryptEFileError;
    if (ReadStoreFile(PropsPath(folder, entry->sha1), &properties) && !ReadProperties(properties, *entry)) {
      return kCryptEFileError;
    }
    entry->folder = folder;
    if (!Listed(*entries, entry->sha1)) entries->push_back(std::move(entry));
  }
  return 0;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// StoreFolderName is the folder of a store's name: the three known names as they are, any other name in
// the store root's hex form behind "x", so that no name reaches the file system unchecked.
std::string StoreFolderName(const std::string& upper) {
  if (upper == "MY" || upper == "CA" || upper == "ROOT") return upper;
  std::u16string wide;
  for (const char c : upper) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return "x" + StoreFileName(wide);
}

}  // namespace

HCERTSTORE OpenSystemStore(DWORD flags, const void* para) {
  const char* name = static_cast<const char*>(para);
  const DWORD location = flags & kCertSystemStoreLocationMask;
  if (name == nullptr || *name == '\0' ||
      (location != kCertSystemStoreCurrentUser && location != kCertSystemStoreLocalMachine)) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  const bool machine = location == kCertSystemStoreLocalMachine;
  const std::string upper = Upper(name);
  const std::string relative = (machine ? "machine/stores/" : "stores/") + StoreFolderName(upper);
  const bool known = upper == "MY" || upper == "CA" || upper == "ROOT";
  const std::string root = StoreRoot();
  if (root.empty()) {
    SetLastError(kErrorPathNotFound);
    return nullptr;
  }
  if (!known && (flags & kCertStoreOpenExistingFlag) != 0 && !StoreFileExists(root + "/" + relative + "/.store")) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  const std::string folder = StoreFolder(relative);
  // A store made by name is marked, so that it exists once opened even while empty.
  if (folder.empty() || (!known && !StoreFileExists(folder + "/.store") && !WriteStoreFile(folder + "/.store", "", 0))) {
    SetLastError(kErrorPathNotFound);
    return nullptr;
  }
  Entries entries;
  uint32_t error = ReadFolder(folder, &entries);
  if (error == 0 && upper == "ROOT" && !machine) {
    const std::string machine_folder = root + "/machine/stores/ROOT";
    error = ReadFolder(machine_folder, &entries);
  }
  if (error == 0 && upper == "ROOT") {
    for (const Bytes& der : Bundle()) {
      auto entry = Decode(kX509AsnEncoding | kPkcs7AsnEncoding, der.data(), static_cast<DWORD>(der.size()));
      if (!entry || Listed(entries, entry->sha1)) continue;
      entry->from_bundle = true;
      entries.push_back(std::move(entry));
    }
  }
  if (error != 0) {
    SetLastError(error);
    return nullptr;
  }
  auto* store = new (std::nothrow) CertStoreObject;
  if (store == nullptr) {
    SetLastError(kEOutOfMemory);
    return nullptr;
  }
  store->folder = folder;
  store->read_only = (flags & kCertStoreReadOnlyFlag) != 0;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.stores[store] = store;
  store->entries.reserve(entries.size());
  for (auto& decoded : entries) {
    CertContextObject* entry = decoded.release();
    entry->context.hCertStore = store;
    entry->store = store;
    entry->member = true;
    store->refs++;
    store->entries.push_back(entry);
    Register(state, entry);
  }
  return store;
}

bool PersistEntry(const CertStoreObject& store, CertContextObject& entry) {
  if (entry.from_bundle) return true;
  const std::string& folder = entry.folder.empty() ? store.folder : entry.folder;
  if (folder.empty()) return true;
  const std::string properties = PropertiesText(entry);
  const bool ok = (properties.empty() ? RemoveStoreFile(PropsPath(folder, entry.sha1))
                                      : WriteStoreFile(PropsPath(folder, entry.sha1), properties.data(),
                                                       properties.size())) &&
                  WriteStoreFile(DerPath(folder, entry.sha1), entry.encoded.data(), entry.encoded.size());
  if (ok) entry.folder = folder;
  return ok;
}

void ForgetEntry(const CertContextObject& entry) {
  if (entry.folder.empty()) return;
  (void)RemoveStoreFile(DerPath(entry.folder, entry.sha1));
  (void)RemoveStoreFile(PropsPath(entry.folder, entry.sha1));
}

bool FindTypeKnown(DWORD find_type) { return find_type == kCertFindSubjectName || find_type == kCertFindSubjectStrA; }

bool FindParaValid(DWORD find_type, const void* find_para) {
  if (find_para == nullptr) return false;
  if (find_type != kCertFindSubjectName) return true;
  const auto* name = static_cast<const CERT_NAME_BLOB*>(find_para);
  return name->pbData != nullptr || name->cbData == 0;
}

bool MatchesFind(const CertContextObject& entry, DWORD find_type, const void* find_para) {
  if (find_type == kCertFindSubjectName) {
    const auto* name = static_cast<const CERT_NAME_BLOB*>(find_para);
    return name->cbData == entry.subject.size() &&
           (name->cbData == 0 || std::memcmp(name->pbData, entry.subject.data(), name->cbData) == 0);
  }
  std::string text;
  if (!NameText(entry.subject.data(), entry.subject.size(), kCertSimpleNameStr, &text)) return false;
  const std::string_view wanted(static_cast<const char*>(find_para));
  auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  const auto found = std::search(text.begin(), text.end(), wanted.begin(), wanted.end(),
                                 [&lower](char a, char b) { return lower(a) == lower(b); });
  return found != text.end() || wanted.empty();
}

}  // namespace velmora::platform::crypt32
