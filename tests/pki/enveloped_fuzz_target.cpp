// Hostile enveloped data through the content info and enveloped-data decoders, the recipient decoder and
// the decryption with a fixed RSA key: the target of the ctest fuzz case and of the libFuzzer program.
#include <fstream>
#include <iterator>
#include <string>

#include "core/buffer.h"
#include "pki/enveloped_data.h"
#include "pki/key_der.h"
#include "pki/pem_armour.h"
#include "pki/pkcs7.h"

namespace velmora::pki::testing {

// kEnvelopedFuzzKey is the recipient key of the fuzz seeds: found in the cryptography vectors at run time.
extern const char kEnvelopedFuzzKey[];
const char kEnvelopedFuzzKey[] = "/usr/lib/python3/dist-packages/cryptography_vectors/asymmetric/PKCS8/unenc-rsa-pkcs8.pem";

namespace {

bool DecodeAllowed(int rc) { return rc == 0 || rc == 434 || rc == 446 || rc == 447; }

// DecryptAllowed: the RSA padding and input codes (1112 when the OAEP digest named is too long for the
// key), the library cipher's unknown algorithm, key size, block and padding codes, and the platform
// cipher's key and length codes.
bool DecryptAllowed(int rc) {
  return rc == 0 || rc == 1112 || rc == 1113 || rc == 1114 || rc == 1116 || rc == 2001 || rc == 2003 || rc == 2004 || rc == 2005 ||
         rc == 2006 || rc == 601 || rc == 602;
}

// FuzzKey is the fixed recipient key, read once; null when the vectors are not installed.
const crypto::RsaKeyParams* FuzzKey() {
  static Pkcs8KeyInfo info;
  static const bool loaded = [] {
    std::ifstream in(kEnvelopedFuzzKey);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    core::Buffer der;
    return !text.empty() && PemDecode(text.c_str(), "PRIVATE KEY", der, nullptr) == 0 &&
           ReadPkcs8PrivateKeyInfo(der.Bytes(), der.Length(), info) == 0;
  }();
  return loaded ? &info.key.RsaParams : nullptr;
}

}  // namespace

// FuzzEnvelopedInput names the first step that ends outside its results, "" when none does.
std::string FuzzEnvelopedInput(const std::string& input) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  const auto length = static_cast<int32_t>(input.size());
  RecipientInfo recipient;
  if (const int rc = RecipientInfo::Decode(bytes, length, recipient); !DecodeAllowed(rc)) {
    return "RecipientInfo::Decode " + std::to_string(rc);
  }
  Pkcs7ContentInfo info;
  if (info.input.SetData(length, input.data()) != 0) return "SetData";
  const int decoded = info.Decode();
  if (!info.contentType.EqualsNoCase(kPkcs7EnvelopedDataOid) || info.envelopedData == nullptr) return "";
  if (!DecodeAllowed(decoded)) return "Pkcs7ContentInfo::Decode " + std::to_string(decoded);
  if (decoded != 0) return "";
  const EnvelopedData& data = *info.envelopedData;
  for (int32_t i = 0; i < data.recipientInfos.Count(); ++i) {
    if (RecipientInfo::Clone(*data.recipientInfos.Get(i)) == nullptr) return "RecipientInfo::Clone";
  }
  const crypto::RsaKeyParams* key = FuzzKey();
  if (key == nullptr) return "";
  core::Buffer out;
  if (out.SetString("untouched") != 0) return "SetString";
  const int rc = DecryptEnvelopedData(*key, data, out);
  if (!DecryptAllowed(rc)) return "DecryptEnvelopedData " + std::to_string(rc);
  if (rc != 0 && !out.EqualsNoCase("untouched")) return "DecryptEnvelopedData wrote output on failure";
  return "";
}

}  // namespace velmora::pki::testing
