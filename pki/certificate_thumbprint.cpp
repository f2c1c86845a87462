#include "pki/certificate_thumbprint.h"

#include <cstring>

#include "core/hex.h"
#include "crypto/objects/hash_objects.h"
#include "pki/certificate_codec.h"

namespace velmora::pki {

const char* Thumbprint(Certificate& certificate, const char* hash_name) {
  certificate.textResult.Clear();
  core::Buffer name;
  if (hash_name == nullptr || name.SetString(hash_name) != core::kOk ||
      !(name.EqualsNoCase("MD5") || name.EqualsNoCase("SHA1") || name.EqualsNoCase("SHA256"))) {
    return certificate.textResult.Data();
  }
  DerWriter encoded;
  const core::BufferCore* der = &certificate.der;
  if (certificate.der.Length() == 0) {
    if (EncodeCertificate(certificate, encoded) != core::kOk) return certificate.textResult.Data();
    der = &encoded;
  }
  core::Buffer digest;
  if (crypto::ComputeHashByName(hash_name, der->Bytes(), der->Length(), digest) == core::kOk &&
      core::AppendHexLower(certificate.textResult, digest.Bytes(), digest.Length()) != core::kOk) {
    certificate.textResult.Clear();
  }
  return certificate.textResult.Data();
}

bool ThumbprintEquals(Certificate& certificate, const char* hex_text) {
  if (hex_text == nullptr) return false;
  const char* name = nullptr;
  switch (std::strlen(hex_text) / 2) {
    case 16: name = "MD5"; break;
    case 20: name = "SHA1"; break;
    case 32: name = "SHA256"; break;
    default: return false;
  }
  return *Thumbprint(certificate, name) != '\0' && certificate.textResult.EqualsNoCase(hex_text) != 0;
}

}  // namespace velmora::pki
