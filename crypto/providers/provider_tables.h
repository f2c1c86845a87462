// The platform's crypto functions the provider objects call, looked up at run time in process-wide
// tables: BCrypt agreement, signature, hash and PBKDF2, NCrypt EC, NCrypt RSA and the NCrypt key store
// (the symmetric table is bcrypt_cipher_functions.h, the random source's crypto/rand/random.h). The
// library never links these functions, so it runs where a module or a function is missing and every user
// can tell "not available" (a null pointer) from a platform failure.
//
// The tables are filled at start-up and emptied at tear-down (the socket layer's StaticInit and
// StaticDestroy run CryptoProvidersStaticInit with LoadNCryptFunctions, and CryptoProvidersStaticDestroy
// with FreeNCryptFunctions). Loaders and unloaders take no lock: they must not run beside users. The
// cached algorithm handles are opened by their first user, once, from any thread.
#pragma once

#include <cstdint>

#include "platform/crypto/hash_types.h"
#include "platform/modules.h"

namespace velmora::crypto {

enum class ProviderTable { kAgreement, kSignature, kNcryptEcc, kHash, kPbkdf2, kNcryptRsa, kKeyStore };
constexpr int kProviderTableCount = 7;

// The functions of each table, in load order. A table loads each of its modules ("Bcrypt.dll" for the
// BCrypt tables; "Ncrypt.dll", "crypt32.dll" and "Advapi32.dll" for NCrypt EC and RSA; "Ncrypt.dll" for the
// key store) into a handle of its own.
namespace agreement_fn {
enum : int { kOpenAlgorithmProvider, kCloseAlgorithmProvider, kDestroyKey, kImportKeyPair, kGenerateKeyPair,
             kSetProperty, kFinalizeKeyPair, kExportKey, kSecretAgreement, kDeriveKey, kDestroySecret };
}
namespace signature_fn {
enum : int { kOpenAlgorithmProvider, kCloseAlgorithmProvider, kDestroyKey, kGenerateKeyPair, kSetProperty,
             kFinalizeKeyPair, kExportKey, kImportKeyPair, kSignHash, kVerifySignature };
}
namespace ncrypt_ecc_fn {
enum : int { kOpenStorageProvider, kCreatePersistedKey, kSetProperty, kFinalizeKey, kExportKey, kImportKey,
             kSignHash, kVerifySignature, kSecretAgreement, kDeriveKey, kFreeObject, kTranslateHandle,
             kAcquireCertificatePrivateKey, kReleaseContext };
}
namespace hash_fn {
enum : int { kOpenAlgorithmProvider, kCloseAlgorithmProvider, kDestroyHash, kCreateHash, kHashData, kFinishHash,
             kDuplicateHash };
}
namespace pbkdf2_fn {
enum : int { kOpenAlgorithmProvider, kCloseAlgorithmProvider, kDeriveKeyPbkdf2 };
}
namespace ncrypt_rsa_fn {
enum : int { kOpenStorageProvider, kFreeObject, kImportKey, kSignHash, kVerifySignature, kEncrypt, kDecrypt,
             kCreatePersistedKey, kExportKey, kSetProperty, kFinalizeKey, kTranslateHandle,
             kAcquireCertificatePrivateKey, kReleaseContext };
}
namespace key_store_fn {
enum : int { kOpenStorageProvider, kCreatePersistedKey, kOpenKey, kFreeObject, kExportKey, kImportKey,
             kSetProperty, kFinalizeKey, kDeleteKey, kEnumKeys, kGetProperty, kFreeBuffer, kSignHash,
             kVerifySignature, kEncrypt, kDecrypt, kCreateProtectionDescriptor, kCloseProtectionDescriptor,
             kProtectSecret, kStreamClose, kStreamOpenToProtect, kStreamOpenToUnprotect, kStreamUpdate,
             kUnprotectSecret, kGetProtectionDescriptorInfo };
}

// ProviderTableLayout describes a table: its modules and, per function, its name and module.
struct ProviderTableLayout {
  struct Function {
    int module;
    const char* name;
  };
  const char* const* modules;
  int module_count;
  const Function* functions;
  int function_count;
};
const ProviderTableLayout& ProviderLayout(ProviderTable table);

// ProviderFunction is a function's pointer (null while it is not loaded); ProviderModule a module handle.
void* ProviderFunction(ProviderTable table, int function);
platform::ModuleHandle ProviderModule(ProviderTable table, int module);
template <typename Fn>
Fn ProviderFunctionAs(ProviderTable table, int function) {
  return reinterpret_cast<Fn>(ProviderFunction(table, function));
}

// The loaders load each module whose handle is null and look up its functions (null for a missing one);
// a missing module or function is not an error. The NCrypt EC and RSA loaders go on to "crypt32.dll" only
// when "Ncrypt.dll" is loaded, and to "Advapi32.dll" only when "crypt32.dll" is, so running one again
// tries the modules that were missing without taking a second reference to those it holds.
void LoadBcryptAgreementFunctions();
void LoadBcryptSignatureFunctions();
void LoadNcryptEccFunctions();
void LoadBcryptHashFunctions();
void LoadBcryptPbkdf2Functions();
void LoadNcryptRsaFunctions();
void LoadNCryptFunctions();
// The unloaders close the table's cached algorithm handles (hash, PBKDF2 and agreement tables, when the
// close function is loaded), free its modules and clear every pointer.
void FreeBcryptAgreementFunctions();
void FreeBcryptSignatureFunctions();
void FreeNcryptEccFunctions();
void FreeBcryptHashFunctions();
void FreeBcryptPbkdf2Functions();
void FreeNcryptRsaFunctions();
// FreeNCryptFunctions frees the key store's module and clears its pointers; it runs at tear-down.
void FreeNCryptFunctions();

// CryptoProvidersStaticInit loads the tables in the order hash, symmetric, NCrypt RSA, BCrypt signature,
// NCrypt EC, BCrypt agreement, PBKDF2, then the random source's entry points (LoadRngProviders).
void CryptoProvidersStaticInit();
// CryptoProvidersStaticDestroy runs the unloaders in the same order, then the random source's.
void CryptoProvidersStaticDestroy();

// NCryptFreeHandle frees an NCrypt handle through the NCrypt EC table and zeroes it: 0 (also for a zero
// handle, loaded or not); -1 when NCryptFreeObject is not loaded.
int NCryptFreeHandle(platform::NCRYPT_HANDLE& handle);
// OpenKeyStorageProvider opens "Microsoft Software Key Storage Provider" into handle unless it is set (0
// without a call): the platform's status; -1 when NCryptOpenStorageProvider is not loaded.
int OpenKeyStorageProvider(platform::NCRYPT_PROV_HANDLE& handle);

// The cached algorithm handles: eight hash slots (kHashSlot* + 4 for HMAC), five PBKDF2 slots and the
// agreement table's one. CachedHashAlgorithm opens a slot on first use, with the reusable-hash flag when
// the platform takes it and without it otherwise, and returns the handle (null when it cannot be opened
// or the table is not loaded) and in *reusable whether the flag was taken.
constexpr int kHashSlotSha1 = 0;
constexpr int kHashSlotSha256 = 1;
constexpr int kHashSlotSha384 = 2;
constexpr int kHashSlotSha512 = 3;
constexpr int kHashSlotCount = 8;
platform::BCRYPT_ALG_HANDLE CachedHashAlgorithm(int slot, bool* reusable);
// CachedPbkdf2Algorithm opens the HMAC algorithm of slot 0..4 (SHA1, SHA256, SHA384, SHA512, MD5) once.
constexpr int kPbkdf2SlotCount = 5;
platform::BCRYPT_ALG_HANDLE CachedPbkdf2Algorithm(int slot);
// CachedDhAlgorithm gives in *handle the agreement table's "DH" algorithm, opened once with the
// implementation of whichever caller comes first (null: the default one): 0, -1 when
// BCryptOpenAlgorithmProvider is not loaded, or the platform's status of the failed opening.
int CachedDhAlgorithm(const char16_t* implementation, platform::BCRYPT_ALG_HANDLE* handle);

}  // namespace velmora::crypto
