// CryptoAPI key containers of the "advapi32" module on this system: CryptAcquireContextA,
// CryptReleaseContext, CryptImportKey and CryptDestroyKey (CryptGenRandom, in random_modules.cpp, draws
// through any open handle).
//
// A container is a folder capi/user/<name>/ or capi/machine/<name>/ of the platform store root, its name
// hex-encoded, holding the provider's name and type and up to two key pairs (exchange, spec 1; signature,
// spec 2) as PKCS#8 with an exportable flag. It is written only when a key is imported into it: an empty
// container lives in memory for the life of the process, so a process that only draws random bytes
// writes nothing. Keys at rest are not encrypted: the files' modes are their only protection.
//
// Answers (our contract): provider types 1 (RSA full), 3 (DSS) and 24 (RSA and AES), any other
// NTE_BAD_PROV_TYPE; flags 0 opens (NTE_BAD_KEYSET when missing), CRYPT_NEWKEYSET (8) creates (NTE_EXISTS
// when present), CRYPT_DELETEKEYSET (0x10) deletes the container, and with it a software-provider key of
// the same name (also when only that key exists, and also for provider type 0), CRYPT_MACHINE_KEYSET (0x20) uses the machine's containers, CRYPT_VERIFYCONTEXT
// (0xF0000000) opens a handle without a container whose keys last as long as it; CRYPT_SILENT (0x40) is
// accepted; other bits NTE_BAD_FLAGS. A null, empty or longer than 60 characters name: NTE_BAD_KEYSET_PARAM.
// CryptImportKey takes a PRIVATEKEYBLOB: RSA ("RSA2", version 2, exchange or signature algorithm) into a
// type 1 or 24 container, DSS ("DSS4", version 3) into a type 3 one; a malformed blob or numbers that
// make no key give NTE_BAD_DATA, another blob type or algorithm NTE_BAD_TYPE / NTE_BAD_ALGID. A handle not
// open: ERROR_INVALID_HANDLE (6) for providers, NTE_BAD_KEY for keys. Failures return FALSE with the
// status as last error. Any thread.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

using HCRYPTKEY = uintptr_t;

constexpr uint32_t kCryptDeleteKeyset = 0x10;
constexpr uint32_t kCryptMachineKeyset = 0x20;
constexpr uint32_t kCryptSilent = 0x40;
constexpr uint32_t kCryptVerifyContext = 0xF0000000u;
constexpr uint32_t kCryptExportable = 0x1;
constexpr uint32_t kProvDss = 3;
constexpr uint32_t kProvRsaAes = 24;
constexpr uint32_t kAtKeyExchange = 1;
constexpr uint32_t kAtSignature = 2;
constexpr uint32_t kNteBadKeyCode = 0x80090003u;
constexpr uint32_t kNteBadDataCode = 0x80090005u;
constexpr uint32_t kNteBadAlgIdCode = 0x80090008u;
constexpr uint32_t kNteBadFlagsCode = 0x80090009u;
constexpr uint32_t kNteBadTypeCode = 0x8009000Au;
constexpr uint32_t kNteNoKeyCode = 0x8009000Du;
constexpr uint32_t kNteExistsCode = 0x8009000Fu;
constexpr uint32_t kNteBadProvTypeCode = 0x80090014u;
constexpr uint32_t kNteBadKeysetParamCode = 0x8009001Fu;

using CryptImportKeyFn = BOOL (*)(HCRYPTPROV provider, const uint8_t* data, DWORD length, HCRYPTKEY public_key,
                                  DWORD flags, HCRYPTKEY* key);
using CryptDestroyKeyFn = BOOL (*)(HCRYPTKEY key);

BOOL CryptImportKey(HCRYPTPROV provider, const uint8_t* data, DWORD length, HCRYPTKEY public_key, DWORD flags,
                    HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);

namespace capi {
// IsOpen: the provider handle is open.
bool IsOpen(HCRYPTPROV provider);
// ContainerKey gives a new reference to the key of spec in the handle's container and whether it is
// exportable: 0, NTE_INVALID_HANDLE for a handle not open, NTE_NO_KEY when the container holds no such key.
SECURITY_STATUS ContainerKey(HCRYPTPROV provider, DWORD spec, EVP_PKEY** pkey, bool* exportable);
void FreeKeyReference(EVP_PKEY* pkey);
// StoredContainerKey reads the key of spec from a stored container: a new reference, or null.
EVP_PKEY* StoredContainerKey(std::u16string_view name, bool machine, DWORD spec);
// LiveHandles counts the open provider and key handles.
int LiveHandles();
}  // namespace capi

namespace test {
// FailAcquireContexts makes the next count CryptAcquireContextA calls fail with NTE_BAD_KEYSET.
void FailAcquireContexts(int count);
// ContainerKeyDer is the PKCS#8 DER of the key of spec in the named container (memory or disk); empty
// when there is none.
std::vector<uint8_t> ContainerKeyDer(const char* name, bool machine, DWORD spec);
}  // namespace test

}  // namespace velmora::platform
