// One hostile input through the extended certificate decoder (then its encoder and a clone of what was
// read) and through the PKCS #12 password form: the target of the ctest fuzz case and of the libFuzzer
// program.
#include <cstdint>
#include <string>
#include <utility>

#include "core/code_page.h"
#include "crypto/kdf/kdf_password.h"
#include "pki/cert_composites.h"

namespace velmora::pki::testing {

namespace {

// The decoder's codes, and those of the key reader of the embedded certificate.
bool Allowed(int rc) { return rc == 0 || rc == 200 || rc == 446 || rc == 447 || rc == -1 || rc == 1401; }

// CheckPassword: the BMP form is the widened bytes, or for text above ASCII, UTF-16BE units that turn
// back into the password; "" or what is wrong.
std::string CheckPassword(const std::string& input) {
  crypto::Pkcs12Kdf kdf;
  core::SecureBuffer out;
  if (kdf.password.SetData(static_cast<int32_t>(input.size()), input.data()) != 0) return "SetData";
  if (crypto::Pkcs12PasswordToBmp(kdf, out) != 0 || kdf.last_error != 0) return "Pkcs12PasswordToBmp";
  std::string widened;
  bool high = false;
  for (char c : input) {
    widened += std::string(1, '\0') + c;
    high = high || static_cast<uint8_t>(c) >= 0x80;
  }
  if (!input.empty()) widened += std::string(2, '\0');
  const std::string bmp(out.Data(), static_cast<size_t>(out.Length()));
  if (bmp == widened) return "";
  if (!high || bmp.size() < 2 || bmp.size() % 2 != 0 || bmp.compare(bmp.size() - 2, 2, std::string(2, '\0')) != 0) {
    return "password form";
  }
  std::string little(bmp, 0, bmp.size() - 2);
  for (size_t i = 0; i + 1 < little.size(); i += 2) std::swap(little[i], little[i + 1]);
  std::string back(little.size() * 2, '\0');
  int32_t length = 0;
  if (!core::Utf16LeToUtf8(reinterpret_cast<uint8_t*>(back.data()), &length,
                           reinterpret_cast<const uint8_t*>(little.data()), static_cast<int32_t>(little.size())) ||
      back.substr(0, static_cast<size_t>(length)) != input) {
    return "password UTF-16";
  }
  return "";
}

}  // namespace

// FuzzCompositesInput names the first reader that ends outside its results ("" when none does).
std::string FuzzCompositesInput(const std::string& input) {
  ExtendedCertificate e;
  const int rc = e.Decode(reinterpret_cast<const uint8_t*>(input.data()), static_cast<int32_t>(input.size()));
  if (!Allowed(rc)) return "ExtendedCertificate::Decode " + std::to_string(rc);
  if (rc == 0) {
    DerWriter first, second;
    // An attribute type read as "0" (empty content) has no encoding: 445.
    const int encoded = e.Encode(first);
    if (encoded != 0 && encoded != 445) return "ExtendedCertificate::Encode " + std::to_string(encoded);
    auto clone = Clone(e);
    if (clone == nullptr || clone->Encode(second) != encoded || (encoded == 0 && first.Equals(second) == 0)) {
      return "Clone";
    }
  }
  return CheckPassword(input);
}

}  // namespace velmora::pki::testing
