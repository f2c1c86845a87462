#include "keystore/security_key.h"

#include <cstring>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "core/base64.h"
#include "keystore/certificate_source.h"
#include "pki/certificate_codec.h"
#include "pki/key_export.h"
#include "pki/pem_armour.h"

namespace velmora::keystore {

namespace {

constexpr int kBadSecurityKey = 202;

// The properties in their order in the block's SEQUENCE; the last may be missing from an older block.
constexpr const char* kProperties[] = {
    "PKCS11_SLOT_ID",          "PKCS11_SLOT_DESC",         "PKCS11_MANUFACTURER_ID",
    "PKCS11_HARDWARE_VERSION", "PKCS11_FIRMWARE_VERSION",  "PKCS11_TOKEN_LABEL",
    "PKCS11_TOKEN_MANUFACTURER_ID", "PKCS11_TOKEN_MODEL",  "PKCS11_SERIAL_NUMBER",
    "PKCS11_PUBLIC_KEY_PEM",   "PKCS11_KEY_ID",            "PKCS11_CERT_NAME",
    "PKCS11_PRIVATE_KEY_HANDLE", "PKCS11_PUBLIC_KEY_HANDLE", "PKCS11_CERT_SUBJECT"};
constexpr int32_t kPropertyCount = 15;
constexpr int32_t kRequiredProperties = 14;
constexpr const char* kLibraryPath = "PKCS11_DLL_PATH";
constexpr const char* kPrivateKeyHandle = "PKCS11_PRIVATE_KEY_HANDLE";
constexpr const char* kCertificateBegin = "-----BEGIN CERTIFICATE-----";

int CopyList(core::StrList& target, const core::StrList& source) {
  target.Clear();
  for (int32_t i = 0; i < source.Count(); ++i) {
    if (int rc = target.Add(source.Item(i), source.ItemLength(i)); rc != core::kOk) return rc;
  }
  return core::kOk;
}

// LoadKeyPart fills the record's certificate and key from the public key property: a certificate block
// gives the certificate and its public key, any other text is read as a key.
int LoadKeyPart(pki::CertificateWithKey& record, const char* pem, const char* password) {
  if (std::strncmp(pem, kCertificateBegin, std::strlen(kCertificateBegin)) != 0) {
    return pki::LoadKeyFromPem(record.key, pem);
  }
  int rc = pki::PemDecode(pem, "CERTIFICATE", record.certificate.der, password);
  if (rc == core::kOk) rc = pki::DecodeStoredCertificate(record.certificate);
  return rc != core::kOk ? rc : record.key.CopyFrom(record.certificate.tbs.publicKey.key);
}

}  // namespace

int LoadSecurityKey(pki::CertificateWithKey& record, const char* text, const char* password) {
  core::Buffer copy;
  int rc = copy.SetString(text != nullptr ? text : "");
  if (rc == core::kOk) rc = copy.ReplaceAll("\r\n", "\n");
  if (rc == core::kOk) rc = copy.ReplaceAll("\r", "\n");
  if (rc != core::kOk) return rc;
  const int32_t split = copy.FindByte('\n', 0);
  if (split < 0) return kBadSecurityKey;

  pki::Asn1Element sequence;
  rc = pki::PemDecode(copy.Data() + split + 1, "SECURITY KEY", sequence, password);
  if (rc == core::kOk) rc = sequence.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  if (sequence.childCount() < kRequiredProperties) return kBadSecurityKey;

  core::Buffer value;
  if ((rc = value.SetData(split, copy.Data())) != core::kOk) return rc;
  if ((rc = record.AddAttribute(kLibraryPath, value)) != core::kOk) return rc;
  int32_t index = 0;
  for (const pki::Asn1Element* child = sequence.firstChild(); child != nullptr && index < kPropertyCount;
       child = child->nextSibling(), ++index) {
    if ((rc = pki::DerReadOctets(*child, 0, value, nullptr)) != core::kOk) return rc;
    if ((rc = record.AddAttribute(kProperties[index], value)) != core::kOk) return rc;
  }

  if ((rc = record.GetAttribute("PKCS11_PUBLIC_KEY_PEM", value)) != core::kOk) return rc;
  if ((rc = LoadKeyPart(record, value.Data(), password)) != core::kOk) return rc;
  rc = CopyList(record.key.AttributeNames, record.attributeNames);
  return rc != core::kOk ? rc : CopyList(record.key.AttributeValues, record.attributeValues);
}

int WriteSecurityKey(const pki::CertificateWithKey& record, core::Buffer& out) {
  core::Buffer library, value;
  int rc = record.GetAttribute(kLibraryPath, library);
  if (rc != core::kOk) return rc;
  pki::DerWriter der;
  if ((rc = der.BeginElement(0x30)) != core::kOk) return rc;
  for (const char* property : kProperties) {
    if ((rc = record.GetAttribute(property, value)) != core::kOk) return rc;
    if ((rc = der.AppendTlv(value.Data(), value.Length(), 0x04)) != core::kOk) return rc;
  }
  if ((rc = der.EndElement(0)) != core::kOk) return rc;

  core::Buffer text;
  rc = text.Assign(library);
  if (rc == core::kOk) rc = text.AppendCString("\r\n-----BEGIN SECURITY KEY-----\n");
  if (rc == core::kOk) rc = core::Base64Encode(text, der.Data(), der.Length(), 1, 64, 0);
  if (rc == core::kOk) rc = text.AppendCString("\n-----END SECURITY KEY-----");
  return rc != core::kOk ? rc : out.Assign(text);
}

bool HasPrivateKey(component::CertKeyComponent& component) {
  const auto* store = dynamic_cast<const CertStoreHandle*>(component.LoadedStore());
  const CertificateSource* entry = store != nullptr ? store->SelectedEntry() : nullptr;
  if (entry != nullptr && entry->certificateWithKey != nullptr) {
    const char* handle = entry->certificateWithKey->key.GetAttribute(kPrivateKeyHandle);
    return handle[0] != '\0' && std::strcmp(handle, "0") != 0;
  }
  const int32_t kind = component.StoreKind();
  if ((kind == 0 || kind == 1) && component.HoldsKeyStore()) return true;
  return store != nullptr && store->SelectedHasPrivateKey();
}

}  // namespace velmora::keystore
