// The shapes of the platform's crypto modules ("bcrypt", "advapi32"): status and handle types with the
// platform's fixed sizes, and the types of the entry points callers look up with GetProc. Plain data
// only; nothing here needs the crypto modules to be built.
#pragma once

#include <cstdint>

namespace velmora::platform {

// Fixed sizes on every system: ULONG and DWORD are 32 bits here too (never `unsigned long`), so that
// records passed to the modules keep the layout the platform documents.
using NTSTATUS = int32_t;
using SECURITY_STATUS = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using ULONGLONG = uint64_t;
using BOOL = int32_t;

// Opaque handles of the crypto modules. HCRYPTPROV is pointer-sized, as the platform defines it.
struct BcryptAlgorithmObject;
using BCRYPT_ALG_HANDLE = BcryptAlgorithmObject*;
using HCRYPTPROV = uintptr_t;

// Entry points of "bcrypt" and "advapi32", as GetProc returns them.
using BCryptGenRandomFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, uint8_t* buffer, ULONG count, ULONG flags);
using CryptAcquireContextAFn = BOOL (*)(HCRYPTPROV* provider, const char* container, const char* provider_name,
                                        DWORD provider_type, DWORD flags);
using CryptGenRandomFn = BOOL (*)(HCRYPTPROV provider, DWORD count, uint8_t* buffer);
using CryptReleaseContextFn = BOOL (*)(HCRYPTPROV provider, DWORD flags);

// CompareCryptNames compares two NUL-terminated UTF-16 names with A-Z folded to a-z (no other folding),
// as the platform compares algorithm and property names: <0, 0 or >0. A null name counts as "".
int CompareCryptNames(const char16_t* a, const char16_t* b);

}  // namespace velmora::platform
