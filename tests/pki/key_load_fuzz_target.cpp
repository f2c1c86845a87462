// One hostile input through the key loaders: the target of the ctest fuzz case and of the libFuzzer program.
#include <string>

#include "crypto/objects/key_record.h"
#include "pki/key_export.h"

namespace velmora::pki::testing {

namespace {

// The loaders' codes: armour and labels (1424), DER (446, 447), curves (-1, 1401), the key parts (290) and
// ciphertext that is not whole blocks (2003); a traditional block with a DEK-Info header passes on the
// cipher's codes (2001-2010) and the platform's refusal of an IV of the wrong length (602).
bool Allowed(int rc) {
  return rc == 0 || rc == -1 || rc == 290 || rc == 446 || rc == 447 || rc == 1401 || rc == 1424 || rc == 602 ||
         (rc >= 2001 && rc <= 2010);
}

// Marked fills key with a recognisable RSA public key, which a failed load must leave as it is.
void Mark(crypto::KeyRecord& key) {
  key.Type = crypto::kKeyRsa;
  (void)key.RsaParams.Modulus.SetData(3, "\xc5\x01\x7f");
  (void)key.RsaParams.Exponent.SetData(1, "\x03");
}

bool StillMarked(const crypto::KeyRecord& key) {
  return key.Type == crypto::kKeyRsa && key.RsaParams.Modulus.Length() == 3 &&
         key.RsaParams.Modulus.Bytes()[0] == 0xc5 && key.RsaParams.Exponent.Length() == 1 && key.RsaParams.D.IsEmpty();
}

}  // namespace

// FuzzKeyLoadInput passes the input to LoadKeyFromPem, to LoadPkcs8PrivateKey under each pair of its flags
// and to LoadPublicKeyDer; names the first result outside the loaders' codes, or a failure that changed the
// out key ("" when there is none).
std::string FuzzKeyLoadInput(const std::string& input) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  const auto length = static_cast<int32_t>(input.size());
  auto check = [](const char* name, int rc, const crypto::KeyRecord& key) -> std::string {
    if (!Allowed(rc)) return std::string(name) + " " + std::to_string(rc);
    if (rc != 0 && !StillMarked(key)) return std::string(name) + " changed the key on " + std::to_string(rc);
    return "";
  };
  {
    crypto::KeyRecord key;
    Mark(key);
    const std::string text(input.c_str());
    if (std::string problem = check("LoadKeyFromPem", LoadKeyFromPem(key, text.c_str()), key); !problem.empty()) {
      return problem;
    }
  }
  for (int flags = 0; flags < 4; ++flags) {
    crypto::KeyRecord key;
    Mark(key);
    const int rc = LoadPkcs8PrivateKey(key, bytes, length, (flags & 1) != 0, (flags & 2) != 0, "x");
    if (std::string problem = check("LoadPkcs8PrivateKey", rc, key); !problem.empty()) {
      return problem + " flags " + std::to_string(flags);
    }
  }
  crypto::KeyRecord key;
  Mark(key);
  return check("LoadPublicKeyDer", LoadPublicKeyDer(key, bytes, length), key);
}

}  // namespace velmora::pki::testing
