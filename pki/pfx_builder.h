// Writing a PKCS #12 container (RFC 7292) for one certificate and optionally its private key: the key in a
// pkcs8ShroudedKeyBag inside a data content info, the certificate in a certBag inside an encryptedData
// content info, each encrypted under the password with the scheme its OID names (a PKCS #12 PBE OID, or
// PBES2 with PBKDF2-HMAC-SHA256 for the AES-256-CBC, AES-128-CBC and DES-EDE3-CBC OIDs), 2000
// iterations, and an HMAC-SHA1 MacData (one iteration, not written) unless the FIPS-compliance setting is
// on. One thread at a time per output.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_extensions.h"
#include "pki/certificate.h"

namespace velmora::pki {

// BuildPfx sets out to the container of certificate and key (a key of type none gives a container without
// a key part) under password (null counts as ""). 0; 271 for an algorithm OID outside the table (out
// untouched); 290 for a key without its private part; 9999 for a PKCS #12 PBE OID in FIPS mode; the
// encoders', ciphers' and derivations' codes. On failure out is unchanged.
[[nodiscard]] int BuildPfx(Certificate& certificate, const char* password, crypto::KeyRecord& key,
                           const char* key_algorithm_oid, const char* cert_algorithm_oid, core::BufferCore& out);
// BuildPfxForCertificate is BuildPfx without a key: the container holds only the encryptedData content info.
[[nodiscard]] int BuildPfxForCertificate(Certificate& certificate, const char* password, const char* key_algorithm_oid,
                                         const char* cert_algorithm_oid, core::BufferCore& out);

// PfxCertificateRequest holds what CreateKeyAndCertificatePfx passes on to CreateCertificate.
struct PfxCertificateRequest {
  const char* subject = nullptr;
  const char* serial_hex = nullptr;
  int32_t start_days = 0;
  int32_t end_days = 365;
  const char* issuer = nullptr;
  crypto::KeyRecord* issuer_key = nullptr;
  const CertExtensionList* extensions = nullptr;
  const char* hash_name = nullptr;
};

// CreateKeyAndCertificatePfx generates a key of key_algorithm ("RSA", "DSA", "ECDSA_P256", "Ed25519" ...)
// and key_bits, makes its certificate and writes both with BuildPfx. An empty key_algorithm means "RSA",
// or with an issuer name and key the algorithm of the issuer key's type (DSA, ECDSA_P256, Ed25519, else
// RSA). Codes of the key generation, CreateCertificate and BuildPfx.
[[nodiscard]] int CreateKeyAndCertificatePfx(const PfxCertificateRequest& request, const char* password,
                                             int32_t key_bits, const char* key_algorithm,
                                             const char* key_algorithm_oid, const char* cert_algorithm_oid,
                                             core::BufferCore& out);

}  // namespace velmora::pki
