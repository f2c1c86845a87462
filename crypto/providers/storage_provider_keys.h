// Keys placed into and read back out of a key storage provider by name, above all the TPM's "Microsoft
// Platform Crypto Provider", through the NCrypt key-store table (provider_tables.h). Any thread.
#pragma once

#include <cstdint>

namespace velmora::crypto {

// kTpmProviderName is the TPM's key storage provider.
inline constexpr char16_t kTpmProviderName[] = u"Microsoft Platform Crypto Provider";

// ImportKeyToStorageProvider imports a private blob of blob_type ("RSAPRIVATEBLOB", "ECCPRIVATEBLOB")
// under key_name into the named provider (flags plus NCRYPT_DO_NOT_FINALIZE_FLAG), sets "Export Policy"
// (0 for the TPM, 3 otherwise), "Key Usage" and a non-empty migration password, finalizes the key and,
// when a certificate is given, sets "SmartCardKeyCertificate" to its bytes. 0 without doing anything for
// an empty name or blob; -1 when a function it needs is not loaded; else the first failing status. The
// handles are freed on every path.
[[nodiscard]] int ImportKeyToStorageProvider(const char16_t* key_name, const uint8_t* blob, uint32_t blob_length,
                                             uint32_t import_flags, uint32_t key_usage, const char16_t* provider_name,
                                             const char16_t* blob_type, const uint8_t* certificate,
                                             uint32_t certificate_length, const char16_t* migration_password);
// ExportKeyFromStorageProvider opens the named key, sets a non-empty migration password and exports the
// blob of blob_type into output (null: the size only). *output_length is the size on success, 0 on
// failure. 0, -1 or the first failing status.
[[nodiscard]] int ExportKeyFromStorageProvider(const char16_t* key_name, uint8_t* output, uint32_t* output_length,
                                               const char16_t* provider_name, const char16_t* blob_type,
                                               const char16_t* migration_password);
// DeleteKeyFromStorageProvider deletes the named key of the provider (open_flags as the key was imported
// with: NCRYPT_MACHINE_KEY_FLAG for a machine key). 0 without doing anything for an empty name; -1 when a
// function it needs is not loaded; else the first failing status. The handles are freed on every path.
[[nodiscard]] int DeleteKeyFromStorageProvider(const char16_t* key_name, const char16_t* provider_name,
                                               uint32_t open_flags);

}  // namespace velmora::crypto
