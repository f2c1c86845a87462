// The platform's crypto modules on this system, built on OpenSSL's libcrypto: the entry points that the
// "bcrypt" and "advapi32" entries of the module table hand out, and the switches tests use to observe and
// disturb them. Present only in builds with VELMORABLE_PLATFORM_CRYPTO on; without it both modules are
// absent and nothing here is linked.
//
// Every entry point may be called from any thread.
#pragma once

#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

// BCryptGenRandom fills count bytes from the system's preferred generator. Only a null algorithm with the
// flag BCRYPT_USE_SYSTEM_PREFERRED_RNG is served; anything else gives STATUS_INVALID_PARAMETER (as does a
// null buffer with a nonzero count) and writes nothing. STATUS_SUCCESS when filled, STATUS_UNSUCCESSFUL
// when the generator failed.
NTSTATUS BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, uint8_t* buffer, ULONG count, ULONG flags);

// CryptAcquireContextA opens, creates or deletes a key container (capi_containers.h has the containers
// and the answers). The random source opens "_VLM_RNG_" of the PROV_RSA_FULL provider, which as an empty
// container never reaches the disk. On success *provider holds a new handle that CryptReleaseContext
// closes; on failure FALSE with the status as last error.
BOOL CryptAcquireContextA(HCRYPTPROV* provider, const char* container, const char* provider_name,
                          DWORD provider_type, DWORD flags);
// CryptGenRandom fills count bytes through an open handle: TRUE, or FALSE with last error 6 for a handle
// that is not open, 87 for a null buffer, NTE_FAIL when the generator failed.
BOOL CryptGenRandom(HCRYPTPROV provider, DWORD count, uint8_t* buffer);
// CryptReleaseContext closes a handle (flags must be 0): TRUE, or FALSE with last error 6 / 87. Keys
// imported through a handle stay in its container.
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);

namespace test {
// CryptoCallCount is the number of calls of the named entry point of any stand-in module ("BCryptGenRandom",
// "BCryptEncrypt", ...) since the last ResetCryptoCallCounts; 0 for a name never called.
int CryptoCallCount(const char* function);
void ResetCryptoCallCounts();
// LiveCryptoHandles is the number of handles opened and not yet closed (CryptoAPI contexts, "ncrypt"
// providers, keys and key-name buffers, hash objects, the cipher module's algorithm and key handles, DSA
// and Diffie-Hellman keys and secrets, certificate contexts and stores, and the security module's
// credentials and contexts).
int LiveCryptoHandles();
// FailNextAcquireContext makes the next CryptAcquireContextA fail with NTE_BAD_KEYSET, as on a machine
// where the container was never created (test::FailAcquireContexts in capi_containers.h fails more).
void FailNextAcquireContext();
}  // namespace test

}  // namespace velmora::platform
