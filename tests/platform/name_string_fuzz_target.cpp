// Fuzz target of the name texts: any text through CertStrToNameA either fails with its error and a fault
// position inside the text, or gives a Name whose CertNameToStrA text reads back to the same bytes.
#include <string>

#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"

namespace velmora::platform {

namespace {
constexpr DWORD kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;

bool Encode(const std::string& text, DWORD flags, std::string* der) {
  DWORD size = 0;
  if (CertStrToNameA(kEncoding, text.c_str(), kCertX500NameStr | flags, nullptr, nullptr, &size, nullptr) == 0) {
    return false;
  }
  der->assign(size, '\0');
  return CertStrToNameA(kEncoding, text.c_str(), kCertX500NameStr | flags, nullptr,
                        reinterpret_cast<uint8_t*>(der->data()), &size, nullptr) != 0 &&
         size == der->size();
}
}  // namespace

std::string FuzzNameStringInput(const std::string& input) {
  const std::string text = input.substr(0, input.find('\0'));
  const DWORD flags = !input.empty() && (input[0] & 1) ? kCertNameStrNoPlusFlag : 0;
  const char* error_at = nullptr;
  DWORD size = 0;
  if (CertStrToNameA(kEncoding, text.c_str(), kCertX500NameStr | flags, nullptr, nullptr, &size, &error_at) == 0) {
    if (GetLastError() != kCryptEInvalidX500String) return "an unexpected error";
    if (error_at < text.c_str() || error_at > text.c_str() + text.size()) return "a fault outside the text";
    return "";
  }
  std::string der, again;
  if (!Encode(text, flags, &der)) return "a second encoding that differs";
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), reinterpret_cast<uint8_t*>(der.data())};
  for (const DWORD type : {kCertX500NameStr, kCertX500NameStr | kCertNameStrReverseFlag, kCertOidNameStr,
                           kCertSimpleNameStr}) {
    const DWORD needed = CertNameToStrA(kEncoding, &blob, type, nullptr, 0);
    if (needed == 0) return "a Name it made that does not read";
    std::string written(needed, '\0');
    if (CertNameToStrA(kEncoding, &blob, type, written.data(), needed) != needed) return "a size that changed";
    written.resize(needed - 1);
    if (type == kCertX500NameStr && (!Encode(written, 0, &again) || again != der)) return "a text that does not read back";
  }
  return "";
}

}  // namespace velmora::platform
