#include "pki/pfx_builder.h"

#include <cstring>

#include "asn1/der_header.h"
#include "asn1/der_writer.h"
#include "component/component_base.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/digest/digest_registry.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/crypto_component.h"
#include "crypto/objects/key_creation.h"
#include "crypto/objects/password_kdf.h"
#include "crypto/rand/random.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/key_export.h"
#include "pki/password_encryption.h"
#include "pki/pkcs_der.h"

namespace velmora::pki {

namespace {

using internal::kOidCertBag;
using internal::kOidData;
using internal::kOidEncryptedData;
using internal::kOidLocalKeyId;
using internal::kOidShroudedKeyBag;
using internal::kOidX509Certificate;

constexpr const char* kOidFriendlyName = "1.2.840.113549.1.9.20";
constexpr const char* kOidHmacSha256 = "1.2.840.113549.2.9";
constexpr const char* kOidSha1 = "1.3.14.3.2.26";
constexpr const char* kPkcs12PbePrefix = "1.2.840.113549.1.12.1.";
constexpr int32_t kIterations = 2000;
constexpr uint8_t kLocalKeyId[] = {0x01, 0x00, 0x00, 0x00};
constexpr int32_t kFriendlyNameDigits = 18;

struct Pbes2Cipher {
  const char* oid;
  int32_t engine_id;
  int32_t key_length;
  int32_t iv_length;
};

constexpr Pbes2Cipher kPbes2Ciphers[] = {
    {"2.16.840.1.101.3.4.1.42", crypto::kEngineCipherAes, 32, 16},
    {"2.16.840.1.101.3.4.1.2", crypto::kEngineCipherAes, 16, 16},
    {"1.2.840.113549.3.7", crypto::kEngineCipher3Des, 24, 8},
};

// Scheme is the table row of an algorithm OID: a PBES2 cipher, or a PKCS #12 PBE (cipher null).
struct Scheme {
  bool known = false;
  const Pbes2Cipher* cipher = nullptr;
};

Scheme FindScheme(const char* oid) {
  Scheme scheme;
  if (oid == nullptr) return scheme;
  const size_t prefix = std::strlen(kPkcs12PbePrefix);
  if (std::strncmp(oid, kPkcs12PbePrefix, prefix) == 0 && oid[prefix] >= '1' && oid[prefix] <= '6' &&
      oid[prefix + 1] == '\0') {
    scheme.known = true;
    return scheme;
  }
  for (const Pbes2Cipher& row : kPbes2Ciphers) {
    if (std::strcmp(oid, row.oid) == 0) {
      scheme.known = true;
      scheme.cipher = &row;
    }
  }
  return scheme;
}

int32_t SaltLength() { return component::UseFIPSCompliantAPI() != 0 ? 16 : 8; }

int CbcEncrypt(const Pbes2Cipher& cipher, const uint8_t* key, const uint8_t* iv, const uint8_t* data, int32_t length,
               core::BufferCore& out) {
  component::CryptoJob job;
  const crypto::CipherInit init{key, cipher.key_length, iv, cipher.iv_length, 0, crypto::kModeCbc,
                                crypto::kPaddingPkcs7, ""};
  int rc = crypto::SelectCipherProvider(job.Crypto(), cipher.engine_id, init, crypto::kProviderDefault);
  if (rc != 0) return rc;
  int32_t consumed = length;
  return crypto::HeldCipher(job.Crypto())->Encrypt(data, 0, &consumed, out, 1);
}

// Encrypt appends to algorithm the AlgorithmIdentifier of oid under a fresh salt and sets cipher_text to
// data encrypted with it.
int Encrypt(const char* oid, const Scheme& scheme, const core::BufferCore& password, const core::BufferCore& data,
            DerWriter& algorithm, core::BufferCore& cipher_text) {
  uint8_t salt_bytes[16];
  const int32_t salt_length = SaltLength();
  crypto::GlobalRandomBytes(salt_bytes, 0, salt_length);
  core::Buffer salt;
  int rc = salt.SetData(salt_length, salt_bytes);
  if (rc != 0) return rc;
  if (scheme.cipher == nullptr) {
    rc = Pkcs12PbeEncrypt(data.Bytes(), data.Length(), password, oid, salt, kIterations, cipher_text);
    if (rc == 0) rc = algorithm.BeginElement(0x30);
    if (rc == 0) rc = algorithm.AppendOid(oid, 0x06);
    if (rc == 0) rc = algorithm.BeginElement(0x30);
    if (rc == 0) rc = algorithm.AppendTlv(salt.Bytes(), salt.Length(), 0x04);
    if (rc == 0) rc = algorithm.AppendSmallInteger(kIterations, 0x02);
    for (int i = 0; rc == 0 && i < 2; ++i) rc = algorithm.EndElement(0);
    return rc;
  }
  const Pbes2Cipher& cipher = *scheme.cipher;
  core::SecureBuffer derived;
  rc = derived.Resize(cipher.key_length + cipher.iv_length);
  if (rc == 0) {
    rc = crypto::Pbkdf2ByHmacId(crypto::kEngineHmacSha256, password.Bytes(), password.Length(), salt.Bytes(),
                                salt.Length(), kIterations, derived.Length(),
                                reinterpret_cast<uint8_t*>(derived.Data()));
  }
  const uint8_t* iv = derived.Bytes() + cipher.key_length;
  if (rc == 0) rc = CbcEncrypt(cipher, derived.Bytes(), iv, data.Bytes(), data.Length(), cipher_text);
  if (rc == 0) rc = algorithm.BeginElement(0x30);
  if (rc == 0) rc = algorithm.AppendOid(kOidPbes2, 0x06);
  if (rc == 0) rc = algorithm.BeginElement(0x30);
  if (rc == 0) rc = algorithm.BeginElement(0x30);
  if (rc == 0) rc = algorithm.AppendOid(kOidPbkdf2, 0x06);
  if (rc == 0) rc = algorithm.BeginElement(0x30);
  if (rc == 0) rc = algorithm.AppendTlv(salt.Bytes(), salt.Length(), 0x04);
  if (rc == 0) rc = algorithm.AppendSmallInteger(kIterations, 0x02);
  if (rc == 0) rc = algorithm.BeginElement(0x30);
  if (rc == 0) rc = algorithm.AppendOid(kOidHmacSha256, 0x06);
  if (rc == 0) rc = algorithm.AppendEmpty(0x05);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = algorithm.EndElement(0);
  if (rc == 0) rc = algorithm.BeginElement(0x30);
  if (rc == 0) rc = algorithm.AppendOid(cipher.oid, 0x06);
  if (rc == 0) rc = algorithm.AppendTlv(iv, cipher.iv_length, 0x04);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = algorithm.EndElement(0);
  return rc;
}

int AppendAttribute(DerWriter& der, const char* oid, const void* value, int32_t length, uint8_t tag) {
  int rc = der.BeginElement(0x30);
  if (rc == 0) rc = der.AppendOid(oid, 0x06);
  if (rc == 0) rc = der.BeginElement(0x31);
  if (rc == 0) rc = der.AppendTlv(value, length, tag);
  if (rc == 0) rc = der.EndElement(0);
  return rc == 0 ? der.EndElement(0) : rc;
}

// FriendlyName sets out to the BMPString characters of 18 random decimal digits.
int FriendlyName(core::BufferCore& out) {
  uint8_t random[kFriendlyNameDigits];
  crypto::GlobalRandomBytes(random, 0, kFriendlyNameDigits);
  (void)out.Clear();
  int rc = 0;
  for (int32_t i = 0; rc == 0 && i < kFriendlyNameDigits; ++i) {
    rc = out.AppendByte(0);
    if (rc == 0) rc = out.AppendByte(static_cast<uint8_t>('0' + random[i] % 10));
  }
  return rc;
}

int KeySafeContents(crypto::KeyRecord& key, const char* oid, const Scheme& scheme, const core::BufferCore& password,
                    DerWriter& out) {
  core::SecureBuffer pkcs8;
  int rc = WritePkcs8PrivateKeyDer(key, pkcs8, false);
  core::Buffer name, cipher_text;
  if (rc == 0) rc = FriendlyName(name);
  if (rc != 0) return rc;
  DerWriter algorithm;
  rc = Encrypt(oid, scheme, password, pkcs8, algorithm, cipher_text);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.AppendOid(kOidShroudedKeyBag, 0x06);
  if (rc == 0) rc = out.BeginElement(0xA0);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.Append(algorithm);
  if (rc == 0) rc = out.AppendTlv(cipher_text.Bytes(), cipher_text.Length(), 0x04);
  for (int i = 0; rc == 0 && i < 2; ++i) rc = out.EndElement(0);
  if (rc == 0) rc = out.BeginElement(0x31);
  if (rc == 0) rc = AppendAttribute(out, kOidLocalKeyId, kLocalKeyId, sizeof(kLocalKeyId), 0x04);
  if (rc == 0) rc = AppendAttribute(out, kOidFriendlyName, name.Bytes(), name.Length(), 0x1E);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = out.EndElement(0);
  return rc;
}

int CertSafeContents(Certificate& certificate, DerWriter& out) {
  DerWriter cert_der;
  int rc = EncodeCertificate(certificate, cert_der);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.AppendOid(kOidCertBag, 0x06);
  if (rc == 0) rc = out.BeginElement(0xA0);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.AppendOid(kOidX509Certificate, 0x06);
  if (rc == 0) rc = out.BeginElement(0xA0);
  if (rc == 0) rc = out.AppendTlv(cert_der.Bytes(), cert_der.Length(), 0x04);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = out.EndElement(0);
  if (rc == 0) rc = out.BeginElement(0x31);
  if (rc == 0) rc = AppendAttribute(out, kOidLocalKeyId, kLocalKeyId, sizeof(kLocalKeyId), 0x04);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = out.EndElement(0);
  return rc;
}

int AppendMacData(const core::BufferCore& authenticated_safe, const core::BufferCore& password, DerWriter& out) {
  uint8_t salt_bytes[20];
  crypto::GlobalRandomBytes(salt_bytes, 0, sizeof(salt_bytes));
  core::Buffer salt, mac;
  int rc = salt.SetData(sizeof(salt_bytes), salt_bytes);
  if (rc == 0) rc = Pkcs12ComputeMac(authenticated_safe.Bytes(), authenticated_safe.Length(), salt, password, mac);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.BeginElement(0x30);
  if (rc == 0) rc = out.AppendOid(kOidSha1, 0x06);
  if (rc == 0) rc = out.EndElement(0);
  if (rc == 0) rc = out.AppendTlv(mac.Bytes(), mac.Length(), 0x04);
  if (rc == 0) rc = out.EndElement(0);
  if (rc == 0) rc = out.AppendTlv(salt.Bytes(), salt.Length(), 0x04);
  return rc == 0 ? out.EndElement(0) : rc;
}

}  // namespace

int BuildPfx(Certificate& certificate, const char* password, crypto::KeyRecord& key, const char* key_algorithm_oid,
             const char* cert_algorithm_oid, core::BufferCore& out) {
  core::SecureBuffer secret;
  int rc = secret.SetString(password != nullptr ? password : "");
  if (rc != 0) return rc;
  const bool with_key = key.Type != crypto::kKeyNone;
  const Scheme key_scheme = FindScheme(key_algorithm_oid);
  const Scheme cert_scheme = FindScheme(cert_algorithm_oid);
  if ((with_key && !key_scheme.known) || !cert_scheme.known) return kPbeUnsupported;

  DerWriter key_contents;
  if (with_key) rc = KeySafeContents(key, key_algorithm_oid, key_scheme, secret, key_contents);
  DerWriter cert_contents;
  if (rc == 0) rc = CertSafeContents(certificate, cert_contents);
  if (rc != 0) return rc;

  DerWriter safe;
  rc = safe.BeginElement(0x30);
  if (rc == 0 && with_key) {
    rc = safe.BeginElement(0x30);
    if (rc == 0) rc = safe.AppendOid(kOidData, 0x06);
    if (rc == 0) rc = safe.BeginElement(0xA0);
    if (rc == 0) rc = safe.AppendTlv(key_contents.Bytes(), key_contents.Length(), 0x04);
    for (int i = 0; rc == 0 && i < 2; ++i) rc = safe.EndElement(0);
  }
  DerWriter cert_algorithm;
  core::Buffer cert_cipher_text;
  if (rc == 0) rc = Encrypt(cert_algorithm_oid, cert_scheme, secret, cert_contents, cert_algorithm, cert_cipher_text);
  if (rc == 0) rc = safe.BeginElement(0x30);
  if (rc == 0) rc = safe.AppendOid(kOidEncryptedData, 0x06);
  if (rc == 0) rc = safe.BeginElement(0xA0);
  if (rc == 0) rc = safe.BeginElement(0x30);
  if (rc == 0) rc = safe.AppendSmallInteger(0, 0x02);
  if (rc == 0) rc = safe.BeginElement(0x30);
  if (rc == 0) rc = safe.AppendOid(kOidData, 0x06);
  if (rc == 0) rc = safe.Append(cert_algorithm);
  if (rc == 0) rc = safe.AppendTlv(cert_cipher_text.Bytes(), cert_cipher_text.Length(), 0x80);
  for (int i = 0; rc == 0 && i < 5; ++i) rc = safe.EndElement(0);
  if (rc != 0) return rc;

  DerWriter pfx;
  rc = pfx.BeginElement(0x30);
  if (rc == 0) rc = pfx.AppendSmallInteger(3, 0x02);
  if (rc == 0) rc = pfx.BeginElement(0x30);
  if (rc == 0) rc = pfx.AppendOid(kOidData, 0x06);
  if (rc == 0) rc = pfx.BeginElement(0xA0);
  if (rc == 0) rc = pfx.AppendTlv(safe.Bytes(), safe.Length(), 0x04);
  for (int i = 0; rc == 0 && i < 2; ++i) rc = pfx.EndElement(0);
  if (rc == 0 && component::UseFIPSCompliantAPI() == 0) rc = AppendMacData(safe, secret, pfx);
  if (rc == 0) rc = pfx.EndElement(0);
  return rc == 0 ? out.Assign(pfx) : rc;
}

int BuildPfxForCertificate(Certificate& certificate, const char* password, const char* key_algorithm_oid,
                           const char* cert_algorithm_oid, core::BufferCore& out) {
  crypto::KeyRecord none;
  return BuildPfx(certificate, password, none, key_algorithm_oid, cert_algorithm_oid, out);
}

int CreateKeyAndCertificatePfx(const PfxCertificateRequest& request, const char* password, int32_t key_bits,
                               const char* key_algorithm, const char* key_algorithm_oid,
                               const char* cert_algorithm_oid, core::BufferCore& out) {
  const char* name = key_algorithm;
  if (name == nullptr || name[0] == '\0') {
    name = "RSA";
    if (request.issuer != nullptr && request.issuer[0] != '\0' && request.issuer_key != nullptr) {
      switch (request.issuer_key->Type) {
        case crypto::kKeyDsa: name = "DSA"; break;
        case crypto::kKeyEc: name = "ECDSA_P256"; break;
        case crypto::kKeyEdwards: name = "Ed25519"; break;
        default: break;
      }
    }
  }
  crypto::KeyRecord key;
  int rc = crypto::GenerateKeyByAlgorithmName(name, key_bits, key);
  Certificate certificate;
  if (rc == 0) {
    rc = CreateCertificate(key, request.subject, request.serial_hex, request.start_days, request.end_days,
                           request.issuer, request.issuer_key, request.extensions, request.hash_name, certificate);
  }
  return rc == 0 ? BuildPfx(certificate, password, key, key_algorithm_oid, cert_algorithm_oid, out) : rc;
}

}  // namespace velmora::pki
