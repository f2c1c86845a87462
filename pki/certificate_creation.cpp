#include "pki/certificate_creation.h"

#include <strings.h>

#include <cstring>

#include "asn1/der_header.h"
#include "asn1/der_writer.h"
#include "core/date_time.h"
#include "crypto/keys/curve_params.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/key_creation.h"
#include "crypto/objects/sign_by_key.h"
#include "crypto/registry/oid_tables.h"
#include "pki/certificate_codec.h"
#include "pki/distinguished_name.h"
#include "pki/key_export.h"
#include "pki/subject_public_key_info.h"
#include "platform/time.h"

namespace velmora::pki {

namespace {

struct RsaSignatureRow {
  const char* names[2];
  const char* oid;
};

// Searched in this order: "SHA-512/256" holds "SHA-512" and so signs with SHA-512.
constexpr RsaSignatureRow kRsaSignatures[] = {
    {{"MD2", nullptr}, "1.2.840.113549.1.1.2"},       {{"MD5", nullptr}, "1.2.840.113549.1.1.4"},
    {{"SHA1", "SHA-1"}, "1.2.840.113549.1.1.5"},      {{"SHA256", "SHA-256"}, "1.2.840.113549.1.1.11"},
    {{"SHA384", "SHA-384"}, "1.2.840.113549.1.1.12"}, {{"SHA512", "SHA-512"}, "1.2.840.113549.1.1.13"},
    {{"SHA224", "SHA-224"}, "1.2.840.113549.1.1.14"},
};

constexpr const char* kDsaWithSha1 = "1.2.840.10040.4.3";

bool IsDottedOid(const char* text) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
  bool dot = false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '.') {
      if (p[1] < '0' || p[1] > '9') return false;
      dot = true;
    } else if (*p < '0' || *p > '9') {
      return false;
    }
  }
  return dot;
}

const char* RsaSignatureOid(const char* hash_name) {
  if (hash_name == nullptr) return nullptr;
  for (const RsaSignatureRow& row : kRsaSignatures) {
    for (const char* name : row.names) {
      if (name != nullptr && strcasestr(hash_name, name) != nullptr) return row.oid;
    }
  }
  return IsDottedOid(hash_name) ? hash_name : nullptr;
}

// SignInto sets signature to the signature of data under key by the digest oid names. DSA and ECDSA
// signatures come from the key layer as r || s and go into certificates and requests as DER.
int SignInto(const core::BufferCore& data, const char* oid, const crypto::KeyRecord& key,
             core::BufferCore& signature) {
  core::Buffer raw;
  int rc = crypto::SignWithKeyRecord(data.Bytes(), data.Length(), HashNameFromOid(oid), key, raw);
  if (rc != 0) return rc;
  if (key.Type == crypto::kKeyDsa || key.Type == crypto::kKeyEc) {
    return crypto::EncodeRawSignatureAsDer(raw.Bytes(), raw.Length(), signature);
  }
  return signature.Assign(raw);
}

int AppendPrefixedSerial(const char* serial_hex, core::BufferCore& out) {
  (void)out.Clear();
  if (serial_hex == nullptr) return 0;
  if (std::strlen(serial_hex) % 2 != 0 && out.AppendByte('0') != 0) return core::kOutOfMemory;
  return out.AppendCString(serial_hex);
}

}  // namespace

int SignatureOidFor(const crypto::KeyRecord& key, const char* hash_name, core::BufferCore& oid) {
  const char* chosen = nullptr;
  switch (key.Type) {
    case crypto::kKeyRsa:
      chosen = RsaSignatureOid(hash_name);
      if (chosen == nullptr) return kUnknownSignatureHash;
      break;
    case crypto::kKeyDsa: chosen = kDsaWithSha1; break;
    case crypto::kKeyEc: chosen = crypto::EcdsaSignatureOidForKeyType(key.EcParams.KeyType); break;
    case crypto::kKeyEdwards: chosen = crypto::EcKeyTypeToOid(key.EdParams.KeyType); break;
    default: break;
  }
  if (chosen == nullptr || chosen[0] == '\0') return kNoKeyForm;
  return oid.SetString(chosen);
}

int FormatValidityDateFromNow(int32_t days, core::BufferCore& out, const char* pattern) {
  const int64_t ms = core::FileTimeToUnixMs(platform::NowFileTime()) + static_cast<int64_t>(days) * 86400000LL;
  uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  int rc = core::UnixMsToDateParts(ms, &year, &month, &day, &hour, &minute, &second, &millis);
  if (rc != 0) return rc;
  return core::FormatDateTimeNoMs(out, pattern, year, month, day, hour, minute, second);
}

int CreateCertificate(crypto::KeyRecord& subject_key, const char* subject, const char* serial_hex, int32_t start_days,
                      int32_t end_days, const char* issuer, crypto::KeyRecord* issuer_key,
                      const CertExtensionList* extensions, const char* hash_name, Certificate& target) {
  const bool self_signed = issuer == nullptr || issuer[0] == '\0';
  const char* issuer_name = self_signed ? subject : issuer;
  const crypto::KeyRecord* signer = self_signed ? &subject_key : issuer_key;
  if (signer == nullptr || signer->Type == crypto::kKeyNone) return kNoSigningKey;

  core::Buffer oid;
  int rc = SignatureOidFor(*signer, hash_name, oid);
  if (rc != 0) return rc;

  TbsCertificate& tbs = target.tbs;
  tbs.version = 2;
  rc = AppendPrefixedSerial(serial_hex, tbs.serialHex);
  if (rc == 0) rc = tbs.serialNumber.Clear();
  if (rc == 0) rc = tbs.issuer.SetString(issuer_name);
  if (rc == 0) rc = FormatValidityDateFromNow(start_days, tbs.notBefore, "yyyyMMddHHmmss");
  if (rc == 0) rc = FormatValidityDateFromNow(end_days, tbs.notAfter, "yyyyMMddHHmmss");
  if (rc == 0) rc = tbs.subject.SetString(subject);
  if (rc != 0) return rc;

  core::Buffer spki;
  rc = WritePublicKeyPem(subject_key, spki, false);
  if (rc == 0) rc = DecodePublicKeyFromSpki(spki, tbs.publicKey);
  if (rc == 0) rc = tbs.signature.oid.Assign(oid);
  if (rc == 0 && extensions != nullptr && extensions->Count() > 0) {
    (void)tbs.extensions.Clear();
    for (int32_t i = 0; rc == 0 && i < extensions->Count(); ++i) {
      const CertExtension* item = extensions->Get(i);
      rc = item != nullptr ? tbs.extensions.InsertAt(i, *item) : tbs.extensions.SetCount(i + 1);
    }
  }
  if (rc != 0) return rc;

  DerWriter tbs_der;
  rc = EncodeTbsCertificate(tbs, tbs_der);
  if (rc == 0) rc = target.signatureAlgorithm.oid.Assign(oid);
  if (rc == 0) rc = SignInto(tbs_der, oid.Data(), *signer, target.signature);
  return rc;
}

int CreateTempSelfSignedCertificate(crypto::KeyRecord& key, Certificate& target) {
  bool has_private = false;
  switch (key.Type) {
    case crypto::kKeyRsa: has_private = key.RsaParams.HasPrivateKey(); break;
    case crypto::kKeyDsa: has_private = key.DsaParams.HasPrivateKey(); break;
    case crypto::kKeyEc: has_private = key.EcParams.HasPrivateKey(); break;
    case crypto::kKeyEdwards: has_private = key.EdParams.HasPrivateKey(); break;
    default: break;
  }
  if (has_private) {
    return CreateCertificate(key, "CN=pem_cert", "01", 0, 365, nullptr, nullptr, nullptr, "SHA1", target);
  }
  // The key cannot sign for itself: a throwaway key signs, so the certificate only carries the key.
  crypto::KeyRecord filler;
  int rc = crypto::GenerateKeyByAlgorithmName("RSA", 1024, filler);
  if (rc != 0) return rc;
  return CreateCertificate(key, "CN=pem_cert", "01", 0, 365, "CN=pem_cert", &filler, nullptr, "SHA1", target);
}

int CreateCertificateRequest(crypto::KeyRecord& key, const char* subject, const char* hash_name,
                             const core::StrList& attribute_oids, const core::StrList& attribute_values,
                             core::BufferCore& out, const core::BufferCore* subject_der) {
  core::Buffer oid;
  int rc = SignatureOidFor(key, hash_name, oid);
  if (rc != 0) return rc;

  DerWriter info;
  rc = info.BeginElement(0x30);
  if (rc == 0) rc = info.AppendSmallInteger(0, 0x02);
  if (rc == 0) {
    rc = subject_der != nullptr ? info.Append(*subject_der)
                                : EncodeNameFromText(subject != nullptr ? subject : "", info);
  }
  if (rc == 0) rc = EncodeSubjectPublicKeyInfo(key, info);
  if (rc == 0) rc = info.BeginElement(0xA0);
  for (int32_t i = 0; rc == 0 && i < attribute_oids.Count(); ++i) {
    rc = info.BeginElement(0x30);
    if (rc == 0) rc = info.AppendOid(attribute_oids.Item(i), 0x06);
    if (rc == 0) rc = info.BeginElement(0x31);
    if (rc == 0) rc = info.Append(attribute_values.Item(i), attribute_values.ItemLength(i));
    if (rc == 0) rc = info.EndElement(0);
    if (rc == 0) rc = info.EndElement(0);
  }
  if (rc == 0) rc = info.EndElement(0);
  if (rc == 0) rc = info.EndElement(0);
  if (rc != 0) return rc;

  core::Buffer signature;
  rc = SignInto(info, oid.Data(), key, signature);
  DerWriter request;
  if (rc == 0) rc = request.Append(info);
  if (rc == 0) {
    AlgorithmIdentifier algorithm;
    rc = algorithm.oid.Assign(oid);
    if (rc == 0) rc = algorithm.Encode(request, false);
  }
  if (rc == 0) rc = request.AppendBitString(signature.Bytes(), signature.Length(), 0x03);
  if (rc == 0) rc = DerWrapInTag(request, 0x30);
  return rc == 0 ? out.Assign(request) : rc;
}

}  // namespace velmora::pki
