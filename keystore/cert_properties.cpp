#include "keystore/cert_properties.h"

#include <cstring>

#include "core/hex.h"
#include "crypto/registry/oid_tables.h"
#include "keystore/cert_dates.h"
#include "keystore/ssh_public_key.h"
#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/certificate_thumbprint.h"
#include "asn1/der_header.h"
#include "pki/general_names.h"
#include "pki/key_export.h"
#include "pki/key_usage.h"

namespace velmora::keystore {

using pki::CertExtension;
using pki::TbsCertificate;

// Selection is what one property reads: the store, its selected entry, that entry's certificate and key,
// and the buffers the texts go to.
struct internal::CertPropertySelection {
  CertStoreHandle* store = nullptr;
  CertificateSource* entry = nullptr;
  Certificate* certificate = nullptr;
  KeyRecord* key = nullptr;
  core::BufferCore* text = nullptr;
  core::BufferCore* dates = nullptr;
};

namespace {

enum class Kind { kText, kNumber, kFill };
// Needs is what must be selected for a property to read anything; without it the property gives "", 0
// or an empty buffer.
enum class Needs { kEntry, kCertificate, kKey };

// Result carries a property's answer: text for texts, number for numbers, out for the caller's buffer.
struct Result {
  const char* text = "";
  int32_t number = 0;
  core::BufferCore* out = nullptr;
  bool flag = false;
};

using Selection = internal::CertPropertySelection;
using Handler = int (*)(const Selection&, const char* argument, CertProperty property, Result&);

// ExtensionContent replaces out with the content of an extnValue element (its OCTET STRING's inner
// DER); an empty value gives an empty content. 0 or the reader's code (out then empty).
int ExtensionContent(const CertExtension& extension, core::BufferCore& out) {
  int rc = out.Assign(extension.value);
  if (rc == core::kOk && !out.IsEmpty()) rc = pki::DerStripHeader(out, nullptr);
  if (rc != core::kOk) out.Clear();
  return rc;
}

const char* Kept(int rc, core::BufferCore& text) {
  if (rc != core::kOk) text.Clear();
  return text.Data();
}

int Dates(const Selection& s, const char*, CertProperty property, Result& r) {
  const bool expiry = property == CertProperty::kExpirationDate;
  // A key that came with validity claims (a JSON Web Key) answers for itself.
  if (s.store->SelectedHasPrivateKey()) {
    if (pki::KeyWithCertificates* record = s.store->SelectedKeyWithCertificates(); record != nullptr) {
      r.text = expiry ? JwkExpiry(*record, kPropertyDateFormat, *s.dates)
                      : JwkNotBefore(*record, kPropertyDateFormat, *s.dates);
      return core::kOk;
    }
  }
  if (s.certificate == nullptr) return core::kOk;
  r.text = expiry ? CertNotAfterText(*s.certificate, kPropertyDateFormat, *s.dates)
                  : CertNotBeforeText(*s.certificate, kPropertyDateFormat, *s.dates);
  return core::kOk;
}

int Version(const Selection& s, const char*, CertProperty, Result& r) {
  static constexpr const char* kNames[] = {"V1", "V2", "V3"};
  const int32_t version = s.certificate->tbs.version;
  if (version >= 0 && version < 3) r.text = kNames[version];
  return core::kOk;
}

int SignatureAlgorithmName(const Selection& s, const char*, CertProperty, Result& r) {
  r.text = pki::OidToName(s.certificate->tbs.signature.oid.Data());
  return core::kOk;
}

int KeyFingerprint(const Selection& s, const char* digest, CertProperty, Result& r) {
  if (s.key == nullptr) return core::kOk;
  r.text = Kept(SshKeyFingerprint(*s.key, *s.text, digest), *s.text);
  return core::kOk;
}

int Thumbprint(const Selection& s, const char* digest, CertProperty property, Result& r) {
  if (s.certificate == nullptr) return KeyFingerprint(s, digest, property, r);
  r.text = pki::Thumbprint(*s.certificate, digest);
  return core::kOk;
}

int PublicKeyPem(const Selection& s, const char*, CertProperty, Result& r) {
  r.text = Kept(pki::WritePublicKeyPem(*s.key, *s.text, true), *s.text);
  return core::kOk;
}

int PrivateKeyPem(const Selection& s, const char*, CertProperty, Result& r) {
  r.text = Kept(pki::WritePkcs8PrivateKeyDer(*s.key, *s.text, true), *s.text);
  return core::kOk;
}

int SubjectKeyId(const Selection& s, const char*, CertProperty, Result& r) {
  // The extnValue holds a KeyIdentifier OCTET STRING (RFC 5280 4.2.1.2); its octets are the id.
  core::Buffer id;
  int rc = pki::GetExtensionValue(*s.certificate, "2.5.29.14", id);
  if (rc == core::kOk && !id.IsEmpty()) rc = pki::DerStripHeader(id, nullptr);
  s.text->Clear();
  if (rc == core::kOk) rc = core::AppendHexLower(*s.text, id.Data(), id.Length());
  r.text = Kept(rc, *s.text);
  return core::kOk;
}

int CertificateText(const Selection& s, const char*, CertProperty property, Result& r) {
  Certificate& certificate = *s.certificate;
  switch (property) {
    case CertProperty::kSubjectAltNames: r.text = pki::GetSubjectAltNameText(certificate, r.flag); break;
    case CertProperty::kKeyUsage: r.text = pki::GetKeyUsageText(certificate); break;
    case CertProperty::kCrlPoints: r.text = pki::DecodeCrlDistributionPoints(certificate); break;
    default: r.text = pki::DecodeExtendedKeyUsage(certificate); break;
  }
  return core::kOk;
}

int CertificateNumber(const Selection& s, const char*, CertProperty property, Result& r) {
  r.number = property == CertProperty::kKeyUsageFlags ? static_cast<int32_t>(pki::GetKeyUsageBits(*s.certificate))
                                                      : s.certificate->tbs.extensions.Count();
  return core::kOk;
}

int AlgorithmOid(const Selection& s, const char*, CertProperty property, Result& r) {
  const TbsCertificate& tbs = s.certificate->tbs;
  return r.out->Assign(property == CertProperty::kPublicKeyAlgorithm ? tbs.publicKey.algorithm.oid : tbs.signature.oid);
}

int Encoding(const Selection& s, const char*, CertProperty property, Result& r) {
  pki::DerWriter writer;
  const int rc = pki::EncodeCertificate(*s.certificate, writer);
  if (rc == core::kOk) return r.out->Assign(writer);
  if (property == CertProperty::kDer) return rc;
  r.out->Clear();
  return core::kOk;
}

int AiaUrl(const Selection& s, const char*, CertProperty property, Result& r) {
  return property == CertProperty::kCaIssuersUrl ? pki::GetAiaCaIssuersUrl(*s.certificate, *r.out)
                                                 : pki::GetAiaOcspUrl(*s.certificate, *r.out);
}

}  // namespace

// Row is one property: its kind, what it needs selected, the argument its handler takes (a digest name)
// and the handler, which runs only when the need is met.
struct internal::CertPropertyRow {
  CertProperty property;
  Kind kind;
  Needs needs;
  const char* argument;
  Handler handler;
};

namespace {

using Row = internal::CertPropertyRow;
using P = CertProperty;

// The rows stand in the order of CertProperty, so a property's row is found by its value.
constexpr Row kRows[] = {
    {P::kEffectiveDate, Kind::kText, Needs::kEntry, nullptr, Dates},
    {P::kExpirationDate, Kind::kText, Needs::kEntry, nullptr, Dates},
    {P::kVersion, Kind::kText, Needs::kCertificate, nullptr, Version},
    {P::kSignatureAlgorithmName, Kind::kText, Needs::kCertificate, nullptr, SignatureAlgorithmName},
    {P::kThumbprintMd5, Kind::kText, Needs::kEntry, "MD5", Thumbprint},
    {P::kThumbprintSha1, Kind::kText, Needs::kEntry, "SHA1", Thumbprint},
    {P::kThumbprintSha256, Kind::kText, Needs::kEntry, "SHA256", Thumbprint},
    {P::kKeyFingerprintMd5, Kind::kText, Needs::kKey, "MD5", KeyFingerprint},
    {P::kKeyFingerprintSha1, Kind::kText, Needs::kKey, "SHA1", KeyFingerprint},
    {P::kKeyFingerprintSha256, Kind::kText, Needs::kKey, "SHA256", KeyFingerprint},
    {P::kPublicKeyPem, Kind::kText, Needs::kKey, nullptr, PublicKeyPem},
    {P::kPrivateKeyPem, Kind::kText, Needs::kKey, nullptr, PrivateKeyPem},
    {P::kSubjectKeyId, Kind::kText, Needs::kCertificate, nullptr, SubjectKeyId},
    {P::kSubjectAltNames, Kind::kText, Needs::kCertificate, nullptr, CertificateText},
    {P::kKeyUsage, Kind::kText, Needs::kCertificate, nullptr, CertificateText},
    {P::kCrlPoints, Kind::kText, Needs::kCertificate, nullptr, CertificateText},
    {P::kExtendedKeyUsage, Kind::kText, Needs::kCertificate, nullptr, CertificateText},
    {P::kKeyUsageFlags, Kind::kNumber, Needs::kCertificate, nullptr, CertificateNumber},
    {P::kExtensionCount, Kind::kNumber, Needs::kCertificate, nullptr, CertificateNumber},
    {P::kPublicKeyAlgorithm, Kind::kFill, Needs::kCertificate, nullptr, AlgorithmOid},
    {P::kSignatureAlgorithmOid, Kind::kFill, Needs::kCertificate, nullptr, AlgorithmOid},
    {P::kEncoded, Kind::kFill, Needs::kCertificate, nullptr, Encoding},
    {P::kDer, Kind::kFill, Needs::kCertificate, nullptr, Encoding},
    {P::kCaIssuersUrl, Kind::kFill, Needs::kCertificate, nullptr, AiaUrl},
    {P::kOcspUrl, Kind::kFill, Needs::kCertificate, nullptr, AiaUrl},
};

constexpr bool RowsInOrder() {
  for (size_t i = 0; i < std::size(kRows); ++i) {
    if (static_cast<size_t>(kRows[i].property) != i) return false;
  }
  return true;
}
static_assert(RowsInOrder(), "kRows must follow the order of CertProperty");

const Row* Find(CertProperty property) {
  const auto index = static_cast<size_t>(property);
  return index < std::size(kRows) ? &kRows[index] : nullptr;
}

bool NeedMet(const Selection& s, Needs needs) {
  switch (needs) {
    case Needs::kEntry: return s.entry != nullptr;
    case Needs::kCertificate: return s.certificate != nullptr;
    case Needs::kKey: return s.key != nullptr;
  }
  return false;
}

// Run answers one property of the given kind; a property of another kind answers nothing.
int Run(const Row* row, Kind kind, const Selection& s, Result& r) {
  if (row == nullptr || row->kind != kind) return core::kOk;
  if (!NeedMet(s, row->needs)) {
    if (kind == Kind::kFill) r.out->Clear();
    return core::kOk;
  }
  return row->handler(s, row->argument, row->property, r);
}

}  // namespace

Selection SelectedCertificateProperties::Select() {
  Selection s;
  s.store = dynamic_cast<CertStoreHandle*>(owner_.LoadedStore());
  if (s.store != nullptr) {
    s.entry = s.store->SelectedEntry();
    s.certificate = s.store->SelectedCertificate();
    s.key = s.store->SelectedKeyInfo();
  }
  s.text = &text_;
  s.dates = &dates_;
  return s;
}


const char* SelectedCertificateProperties::Text(CertProperty property, bool flag) {
  Result r;
  r.flag = flag;
  (void)Run(Find(property), Kind::kText, Select(), r);
  return r.text;
}

int32_t SelectedCertificateProperties::Number(CertProperty property) {
  Result r;
  (void)Run(Find(property), Kind::kNumber, Select(), r);
  return r.number;
}

int SelectedCertificateProperties::Fill(CertProperty property, core::BufferCore& out) {
  Result r;
  r.out = &out;
  return Run(Find(property), Kind::kFill, Select(), r);
}

CertExtension* SelectedCertificateProperties::ExtensionAt(int32_t index) {
  Certificate* certificate = Select().certificate;
  if (certificate == nullptr || index < 0 || index >= certificate->tbs.extensions.Count()) return nullptr;
  return certificate->tbs.extensions.GetOrCreate(index);
}

const char* SelectedCertificateProperties::ExtensionOid(int32_t index) {
  const CertExtension* extension = ExtensionAt(index);
  return extension == nullptr ? "" : extension->oid.Data();
}

int32_t SelectedCertificateProperties::ExtensionCritical(int32_t index) {
  const CertExtension* extension = ExtensionAt(index);
  return extension == nullptr ? 0 : extension->critical;
}

int SelectedCertificateProperties::ExtensionValue(int32_t index, const char** data, int32_t* length) {
  *data = "";
  *length = 0;
  const CertExtension* extension = ExtensionAt(index);
  if (extension == nullptr) return core::kOk;
  const int rc = ExtensionContent(*extension, text_);
  if (rc != core::kOk) return rc;
  *data = text_.Data();
  *length = text_.Length();
  return core::kOk;
}

int SelectedCertificateProperties::ExtensionValueByOid(const char* oid, core::BufferCore& out) {
  Certificate* certificate = Select().certificate;
  if (certificate == nullptr || oid == nullptr) return core::kOk;
  const auto size = static_cast<int32_t>(std::strlen(oid));
  for (int32_t i = 0; i < certificate->tbs.extensions.Count(); ++i) {
    const CertExtension* extension = certificate->tbs.extensions.Get(i);
    if (extension == nullptr || extension->oid.EqualsBytes(oid, size) == 0) continue;
    core::Buffer content;
    const int rc = ExtensionContent(*extension, content);
    return rc == core::kOk ? out.Assign(content) : rc;
  }
  return core::kOk;
}

int32_t SelectedCertificateProperties::HasExtension(const char* oid) {
  Certificate* certificate = Select().certificate;
  if (certificate == nullptr || oid == nullptr) return 0;
  const auto size = static_cast<int32_t>(std::strlen(oid));
  for (int32_t i = 0; i < certificate->tbs.extensions.Count(); ++i) {
    const CertExtension* extension = certificate->tbs.extensions.Get(i);
    if (extension != nullptr && extension->oid.EqualsBytes(oid, size) != 0) return 1;
  }
  return 0;
}

int SelectedCertificateProperties::CertificatePem(const char** text, int32_t* length) {
  pem_.Clear();
  const Selection s = Select();
  int rc = core::kOk;
  if (s.certificate != nullptr) {
    rc = pki::CertificateToPem(*s.certificate, pem_);
    if (rc != core::kOk || pem_.IsEmpty()) rc = kCertificatePemFailed;
  } else if (s.key != nullptr) {
    Certificate temporary;
    rc = pki::CreateTempSelfSignedCertificate(*s.key, temporary);
    if (rc == kFipsRefused) {
      owner_.SetLastErrorCode(rc);
      owner_.SetErrorText(rc, "Unsupported certificate in FIPS mode.");
    } else if (rc != core::kOk || pki::CertificateToPem(temporary, pem_) != core::kOk || pem_.IsEmpty()) {
      rc = kCertificatePemFailed;
    }
  }
  if (rc != core::kOk) pem_.Clear();
  *text = pem_.Data();
  *length = pem_.Length();
  return rc;
}

int SelectedCertificateProperties::CertificatePem(core::BufferCore& out) {
  const char* text = nullptr;
  int32_t length = 0;
  int rc = CertificatePem(&text, &length);
  if (rc == core::kOk) rc = out.SetData(length, text);
  if (rc != core::kOk) out.Clear();
  return rc;
}

}  // namespace velmora::keystore
