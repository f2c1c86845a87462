// One hostile input through the PKCS #12, encrypted PKCS #8 and key structure readers: the target of the
// ctest fuzz case and of the libFuzzer program.
#include <string>
#include <utility>

#include "core/buffer.h"
#include "crypto/keys/key_params.h"
#include "pki/key_der.h"
#include "pki/password_encryption.h"
#include "pki/pfx.h"

namespace velmora::pki::testing {

namespace {

bool Allowed(int rc) {
  for (int code : {0, 446, 447, 271, 500, 1424, 2003, -1, 1401}) {
    if (rc == code) return true;
  }
  return false;
}

}  // namespace

// FuzzPkcsInput feeds the input to every reader and names the first that ends outside its results ("" when
// none does).
std::string FuzzPkcsInput(const std::string& input) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  const auto length = static_cast<int32_t>(input.size());
  Pfx pfx;
  core::Buffer plain, password, error;
  (void)password.SetString("x");
  Pkcs8KeyInfo info;
  crypto::RsaKeyParams rsa;
  crypto::DsaKeyParams dsa;
  crypto::EcKeyParams ec;
  const std::pair<const char*, int> results[] = {
      {"Pfx::Load", Pfx::Load(bytes, length, "x", pfx)},
      {"DecryptPkcs8WithPassword", DecryptPkcs8WithPassword(plain, bytes, length, "x")},
      {"ReadPkcs8PrivateKeyInfo", ReadPkcs8PrivateKeyInfo(bytes, length, info)},
      {"ReadRsaPrivateKeyDer", ReadRsaPrivateKeyDer(bytes, length, rsa)},
      {"ReadDsaPrivateKeyDer", ReadDsaPrivateKeyDer(bytes, length, dsa)},
      {"ReadEcPrivateKeyDer", ReadEcPrivateKeyDer(bytes, length, ec)},
      {"DecodeEncryptedData", DecodeEncryptedData(&error, bytes, length, password, plain)}};
  for (const auto& [name, rc] : results) {
    if (!Allowed(rc)) return name + (" " + std::to_string(rc));
  }
  return "";
}

}  // namespace velmora::pki::testing
