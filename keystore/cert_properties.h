// The read-only properties of the selected entry of a component's loaded certificate store: dates,
// version, algorithms, encodings, thumbprints and key fingerprints, key texts, key usage and the
// extensions. The entry's certificate answers; an entry that holds only a key answers the key properties
// (and the thumbprints with its key fingerprint). One thread at a time per object.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/crypto_component.h"
#include "keystore/certificate_source.h"

namespace velmora::keystore {

// kCertificatePemFailed: the selected certificate, or the temporary one made for a bare key, could not
// be written as PEM.
inline constexpr int kCertificatePemFailed = 282;
// kFipsRefused: FIPS-compliant mode refuses the temporary certificate of a bare key.
inline constexpr int kFipsRefused = 9999;

// The date pattern of the effective and expiration dates.
inline constexpr const char* kPropertyDateFormat = "dd-MMM-yyyy HH:mm:ss";

// CertProperty names the properties read through SelectedCertificateProperties::Text, Number and Fill.
enum class CertProperty {
  // Texts.
  kEffectiveDate,     // the key's "nbf" claim when the entry has a private key, else notBefore
  kExpirationDate,    // the key's "exp" claim when the entry has a private key, else notAfter
  kVersion,           // "V1", "V2", "V3"
  kSignatureAlgorithmName,
  kThumbprintMd5,     // certificate thumbprint, or the key fingerprint of a bare key
  kThumbprintSha1,
  kThumbprintSha256,
  kKeyFingerprintMd5, // the SSH key fingerprint of the selected key
  kKeyFingerprintSha1,
  kKeyFingerprintSha256,
  kPublicKeyPem,      // "PUBLIC KEY" block
  kPrivateKeyPem,     // PKCS #8 "PRIVATE KEY" block
  kSubjectKeyId,      // the key identifier of extension 2.5.29.14 as lower-case hex
  kSubjectAltNames,   // the flag of Text adds the name-type prefixes
  kKeyUsage,
  kCrlPoints,
  kExtendedKeyUsage,
  // Numbers.
  kKeyUsageFlags,
  kExtensionCount,
  // Into a caller's buffer.
  kPublicKeyAlgorithm,     // the OID text of the key's algorithm
  kSignatureAlgorithmOid,  // the OID text of the TBS signature algorithm
  kEncoded,                // the DER; an encoding failure clears the buffer and gives 0
  kDer,                    // the DER; an encoding failure gives its code, the buffer untouched
  kCaIssuersUrl,
  kOcspUrl,
};

namespace internal {
struct CertPropertyRow;
struct CertPropertySelection;
}  // namespace internal

// SelectedCertificateProperties reads the selected entry of owner's loaded store (CertStoreHandle) at
// every call, so it follows reloads and selection changes. Texts it returns live in its own buffers or
// in the certificate's textResult and stay valid until the next property of the same kind is read.
// Without a selected entry texts are "", numbers 0 and caller buffers are left empty.
class SelectedCertificateProperties {
 public:
  explicit SelectedCertificateProperties(component::CertKeyComponent& owner) : owner_(owner) {}

  // Text returns a text property ("" for a property of another kind); flag is passed to the subject
  // alternative name text.
  const char* Text(CertProperty property, bool flag = false);
  // Number returns a number property (0 for a property of another kind).
  int32_t Number(CertProperty property);
  // Fill writes a buffer property into out: 0, or the code of kDer's encoder or of the URL readers.
  [[nodiscard]] int Fill(CertProperty property, core::BufferCore& out);

  // The extensions by index, in certificate order; an index outside [0, count) gives "" and 0.
  const char* ExtensionOid(int32_t index);
  int32_t ExtensionCritical(int32_t index);
  // ExtensionValue points *data and *length at the content of the extension's extnValue OCTET STRING
  // (valid until the next key or extension text): 0; out of range "" and 0; the reader's code.
  [[nodiscard]] int ExtensionValue(int32_t index, const char** data, int32_t* length);
  // ExtensionValueByOid copies the value content of the first extension whose OID text equals oid
  // exactly (case matters) into out: 0; 0 with out untouched when none does; the reader's code.
  [[nodiscard]] int ExtensionValueByOid(const char* oid, core::BufferCore& out);
  // HasExtension is 1 when an extension's OID text equals oid exactly, else 0.
  int32_t HasExtension(const char* oid);

  // CertificatePem points *text and *length at the PEM of the selected certificate, or of a temporary
  // self-signed certificate for a selected bare key; "" when nothing is selected. 0; 282 when the PEM
  // cannot be made; 9999 in FIPS-compliant mode, with the owner's last error text set.
  [[nodiscard]] int CertificatePem(const char** text, int32_t* length);
  // CertificatePem copies that text into out; the codes above (out then empty).
  [[nodiscard]] int CertificatePem(core::BufferCore& out);

 private:
  internal::CertPropertySelection Select();
  pki::CertExtension* ExtensionAt(int32_t index);

  component::CertKeyComponent& owner_;
  core::SecureBuffer text_;  // key fingerprints, key texts (the private key too), key id, extension values
  core::Buffer dates_;  // effective and expiration dates
  core::Buffer pem_;    // CertificatePem
};

}  // namespace velmora::keystore
