// The platform's "ncrypt" key storage module on this system. It serves one provider, "Microsoft Software
// Key Storage Provider", which holds no keys yet: opening and freeing it work, every key, secret,
// protection-descriptor and stream entry point answers NTE_NOT_SUPPORTED (the last two kinds for good).
// Present only in builds with VELMORABLE_PLATFORM_CRYPTO on; callers reach it through the module table.
// Any thread.
#pragma once

#include "platform/crypto/hash_types.h"

namespace velmora::platform {

// NCryptOpenStorageProvider opens the software provider (a null name means it too) with flags 0: 0 and a
// new handle in *provider; NTE_PROV_DLL_NOT_FOUND for another name, NTE_INVALID_PARAMETER for a null
// provider, NTE_BAD_FLAGS for flags.
SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const char16_t* name, DWORD flags);
// NCryptFreeObject closes an open handle: 0, or NTE_INVALID_HANDLE.
SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object);

// LiveNcryptHandles is the number of provider handles open now.
int LiveNcryptHandles();

}  // namespace velmora::platform
