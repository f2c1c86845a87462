// The platform's "ncrypt" key storage module on this system. It serves "Microsoft Software Key Storage
// Provider" with RSA and EC keys and EC secrets, and the simulated "Microsoft Platform Crypto Provider"
// and "Microsoft Smart Card Key Storage Provider" (ksp_software.h has the keys, their files and the
// answers). NCryptTranslateHandle turns a CryptoAPI container's key (capi_containers.h) into a
// software-provider key; the protection-descriptor and stream entry points answer NTE_NOT_SUPPORTED.
// Present only in builds with VELMORABLE_PLATFORM_CRYPTO on; callers reach it through the module table.
// Any thread.
#pragma once

#include "platform/crypto/hash_types.h"

namespace velmora::platform {

// NCryptOpenStorageProvider opens one of the three providers (a null name means the software one) with
// flags 0: 0 and a
// new handle in *provider; NTE_PROV_DLL_NOT_FOUND for another name, NTE_INVALID_PARAMETER for a null
// provider, NTE_BAD_FLAGS for flags.
SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const char16_t* name, DWORD flags);
// NCryptFreeObject closes an open provider, key or secret handle: 0, or NTE_INVALID_HANDLE.
SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object);

// LiveNcryptHandles is the number of provider handles open now.
int LiveNcryptHandles();
// LiveNcryptKeys is the number of key handles and key-name buffers not yet freed.
int LiveNcryptKeys();

}  // namespace velmora::platform
