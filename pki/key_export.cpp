#include "pki/key_export.h"

#include <cstring>

#include "asn1/der_writer.h"
#include "core/base64.h"
#include "crypto/keys/provider_mode.h"
#include "crypto/objects/ec_key_ops.h"
#include "crypto/objects/key_creation.h"
#include "pki/key_der.h"
#include "pki/password_encryption.h"
#include "pki/pem_armour.h"
#include "pki/pem_legacy.h"
#include "pki/subject_public_key_info.h"

namespace velmora::pki {

namespace {

bool HasPassword(const char* password) { return password != nullptr && password[0] != '\0'; }

// CompletePrivateKey checks the private part and fills in what derives from it; 0 or 290.
int CompletePrivateKey(crypto::KeyRecord& key) {
  if (!key.HasPrivatePart()) return kNoPrivateKey;
  int rc = 0;
  switch (key.Type) {
    case crypto::kKeyRsa: rc = crypto::CompleteRsaPrivateKey(key.RsaParams, crypto::kProviderDefault); break;
    case crypto::kKeyDsa: rc = key.DsaParams.Y.IsEmpty() ? key.DsaParams.ComputePublicKey() : 0; break;
    case crypto::kKeyEc: rc = crypto::EnsureEcPublicKey(key.EcParams); break;
    default: rc = crypto::EnsureEcPublicKey(key.EdParams); break;
  }
  return rc == 0 ? 0 : kNoPrivateKey;
}

int EncodePkcs8(crypto::KeyRecord& key, bool pem, core::BufferCore& out) {
  switch (key.Type) {
    case crypto::kKeyRsa: return EncodeRsaKeyInfo(key.RsaParams, pem, out);
    case crypto::kKeyDsa: return EncodeDsaKeyInfo(key.DsaParams, pem, out);
    case crypto::kKeyEc: return EncodeEcKeyInfo(key.EcParams, pem, out, false);
    case crypto::kKeyEdwards: return EncodeOkpKeyInfo(key.EdParams, pem, out, false);
    default: return kNoKeyForm;
  }
}

// FirstPemLabel sets label to the label of the first begin line of text; false when there is none.
bool FirstPemLabel(const char* text, core::BufferCore& label) {
  static constexpr char kBegin[] = "-----BEGIN ";
  const char* begin = std::strstr(text, kBegin);
  if (begin == nullptr) return false;
  begin += sizeof(kBegin) - 1;
  const char* end = std::strstr(begin, "-----");
  if (end == nullptr || std::memchr(begin, '\n', static_cast<size_t>(end - begin)) != nullptr) return false;
  return label.SetData(static_cast<int32_t>(end - begin), begin) == 0;
}

int ReadSpki(const uint8_t* bytes, int32_t length, crypto::KeyRecord& target) {
  core::Buffer der;
  int rc = der.SetData(length, bytes);
  SubjectPublicKey read;
  if (rc == 0) rc = DecodePublicKeyFromSpki(der, read);
  return rc == 0 ? target.CopyFrom(read.key) : rc;
}

}  // namespace

int WriteTraditionalPrivateKeyPem(crypto::KeyRecord& key, const char* password, core::BufferCore& out) {
  int rc = CompletePrivateKey(key);
  if (rc != 0) return rc;
  core::SecureBuffer der;
  const char* label = nullptr;
  if (key.Type == crypto::kKeyRsa) {
    rc = EncodeRsaKeyDer(key.RsaParams, false, der);
    label = "RSA PRIVATE KEY";
  } else if (key.Type == crypto::kKeyDsa) {
    rc = EncodeDsaKeyDer(key.DsaParams, false, der);
    label = "DSA PRIVATE KEY";
  } else {
    return kNoKeyForm;
  }
  if (rc != 0) return rc;
  if (HasPassword(password)) return WriteEncryptedPem(der.Bytes(), der.Length(), label, password, out);
  return PemEncode(der.Bytes(), der.Length(), label, out);
}

int WriteTraditionalPublicKeyPem(crypto::KeyRecord& key, core::BufferCore& out, bool pem) {
  if (key.Type == crypto::kKeyRsa) {
    crypto::RsaKeyParams pub;
    int rc = key.GetRsaParams(pub, true);
    return rc == 0 ? EncodeRsaKeyDer(pub, pem, out) : rc;
  }
  if (key.Type == crypto::kKeyDsa) {
    int rc = key.DsaParams.Y.IsEmpty() && !key.DsaParams.X.IsEmpty() ? key.DsaParams.ComputePublicKey() : 0;
    crypto::DsaKeyParams pub;
    if (rc == 0) rc = pub.CopyFrom(key.DsaParams);
    if (rc == 0) rc = pub.X.Clear();
    return rc == 0 ? EncodeDsaKeyDer(pub, pem, out) : rc;
  }
  return kNoKeyForm;
}

int WritePkcs8PrivateKeyDer(crypto::KeyRecord& key, core::BufferCore& out, bool pem) {
  int rc = CompletePrivateKey(key);
  return rc == 0 ? EncodePkcs8(key, pem, out) : rc;
}

int WritePkcs8PrivateKeyPem(crypto::KeyRecord& key, const char* password, core::BufferCore& out) {
  int rc = CompletePrivateKey(key);
  if (rc != 0) return rc;
  core::SecureBuffer der;
  rc = EncodePkcs8(key, false, der);
  if (rc != 0) return rc;
  if (HasPassword(password)) return WriteEncryptedPkcs8(der.Bytes(), der.Length(), password, out);
  return PemEncode(der.Bytes(), der.Length(), "PRIVATE KEY", out);
}

int WritePublicKeyPem(crypto::KeyRecord& key, core::BufferCore& out, bool pem) {
  DerWriter writer;
  int rc = EncodeSubjectPublicKeyInfo(key, writer);
  if (rc != 0) return rc;
  return pem ? PemEncode(writer.Bytes(), writer.Length(), "PUBLIC KEY", out) : out.Assign(writer);
}

int LoadPkcs8PrivateKey(crypto::KeyRecord& key, const uint8_t* bytes, int32_t length, bool base64, bool encrypted,
                        const char* password) {
  if (bytes == nullptr || length < 0) return kPkcs8DecryptFailed;
  core::SecureBuffer data;
  int rc = data.SetData(length, bytes);
  if (rc == 0 && base64) rc = core::Base64Decode(data, 0, 0, 0);
  if (rc == 0 && encrypted) {
    core::SecureBuffer plain;
    rc = DecryptPkcs8WithPassword(plain, data.Bytes(), data.Length(), password);
    if (rc == 0) rc = data.Assign(plain);
  }
  if (rc != 0) return rc;
  Pkcs8KeyInfo info;
  rc = ReadPkcs8PrivateKeyInfo(data.Bytes(), data.Length(), info);
  return rc == 0 ? key.CopyFrom(info.key) : rc;
}

int LoadKeyFromPem(crypto::KeyRecord& key, const char* text) {
  core::Buffer label;
  if (text == nullptr || !FirstPemLabel(text, label) || label.AppendByte(0) != 0) return kNoKeyForm;
  const char* name = label.Data();
  core::SecureBuffer der;
  crypto::KeyRecord read;
  int rc = 0;
  if (std::strcmp(name, "PUBLIC KEY") == 0) {
    rc = PemDecode(text, name, der, nullptr);
    return rc == 0 ? ReadSpki(der.Bytes(), der.Length(), key) : rc;
  }
  if (std::strcmp(name, "PRIVATE KEY") == 0) {
    rc = PemDecode(text, name, der, nullptr);
    if (rc == 0) {
      Pkcs8KeyInfo info;
      rc = ReadPkcs8PrivateKeyInfo(der.Bytes(), der.Length(), info);
      if (rc == 0) rc = key.CopyFrom(info.key);
    }
    return rc;
  }
  if (std::strcmp(name, "RSA PRIVATE KEY") == 0) {
    rc = PemDecode(text, name, der, nullptr);
    if (rc == 0) rc = ReadRsaPrivateKeyDer(der.Bytes(), der.Length(), read.RsaParams);
    read.Type = crypto::kKeyRsa;
  } else if (std::strcmp(name, "DSA PRIVATE KEY") == 0) {
    rc = PemDecode(text, name, der, nullptr);
    if (rc == 0) rc = ReadDsaPrivateKeyDer(der.Bytes(), der.Length(), read.DsaParams);
    read.Type = crypto::kKeyDsa;
  } else if (std::strcmp(name, "EC PRIVATE KEY") == 0) {
    rc = PemDecode(text, name, der, nullptr);
    if (rc == 0) rc = ReadEcPrivateKeyDer(der.Bytes(), der.Length(), read.EcParams);
    read.Type = crypto::kKeyEc;
  } else {
    return kNoKeyForm;
  }
  return rc == 0 ? key.CopyFrom(read) : rc;
}

int LoadPublicKeyDer(crypto::KeyRecord& key, const uint8_t* bytes, int32_t length) {
  if (bytes == nullptr || length < 0) return 447;
  return ReadSpki(bytes, length, key);
}

}  // namespace velmora::pki
