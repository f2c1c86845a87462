// A component's selected key placed into a key storage provider, above all the simulated TPM ("Microsoft
// Platform Crypto Provider"), with its certificate added to a system certificate store; and the TPM key
// read back with the migration password so that the component's export can write it. One thread at a
// time per component.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "crypto/objects/crypto_component.h"
#include "keystore/component_keys.h"

namespace velmora::keystore {

// kUnsupportedTpmKey: a key type the provider's private blobs do not take.
inline constexpr int kUnsupportedTpmKey = 1424;

// TpmContainerName sets out to a new key name: 16 random bytes as 32 upper-case hex digits. 0 or 200.
[[nodiscard]] int TpmContainerName(core::BufferCore& out);

// ImportKeyToTpm opens the existing system store store_name of the local machine (machine) or the current
// user. With the TPM provider and a selected private key (RSA: key usage 1, EC: 2) it imports the key
// under a new name (machine key with machine set), links it to a new context of the selected certificate
// through its key-provider information and adds that context to the store with disposition; with another
// provider the component's ordinary certificate context (prepared by ImportPemKeyToCryptoApi when none is
// held) is added. 0; 271 with "Cannot open certificate store" or "Cannot add certificate to store"; 272
// with "The certificate could not be found"; 1424 with "Cannot add the private key to TPM: Only support
// RSA or ECDSA format."; the provider's status with "Cannot add the private key to TPM.".
[[nodiscard]] int ImportKeyToTpm(component::CertKeyComponent& component, bool machine, const char* store_name,
                                 uint32_t disposition, const char16_t* provider_name,
                                 const char16_t* migration_password);

// ExportTpmKey is ExportCertificateKey on the component's loaded store, preceded, when the store kind is
// below 2, the private key is asked for, the selected entry holds no private key, a certificate context
// is held and migration_password is not empty, by reading the context's TPM key with that password and
// loading a PKCS #12 container of the certificate and that key back into the store. 271 without
// key-provider information or loaded store; 1424 with "Cannot export the TPM private key: Only RSA or
// ECDSA formats are supported."; the provider's status; the builder's, loader's or export's code.
[[nodiscard]] int ExportTpmKey(component::CertKeyComponent& component, const char* format, const char* password,
                               bool include_private, const core::StrList& attribute_names,
                               const core::StrList& attribute_values, const char* key_algorithm_oid,
                               const char* cert_algorithm_oid, core::Buffer& out,
                               const char16_t* migration_password);

}  // namespace velmora::keystore
