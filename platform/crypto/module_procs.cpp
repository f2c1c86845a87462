// The function lists of the crypto modules the module table hands out.
#include "platform/module_procs.h"

#include <iterator>

#include "platform/crypto/capi_containers.h"
#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/hash_modules.h"
#include "platform/crypto/keypair_modules.h"

namespace velmora::platform {

namespace {

constexpr ProcEntry kBcryptProcs[] = {
    {"BCryptGenRandom", []() -> void* { return reinterpret_cast<void*>(&BCryptGenRandom); }},
    {"BCryptOpenAlgorithmProvider", []() -> void* { return reinterpret_cast<void*>(&BCryptOpenAlgorithmProvider); }},
    {"BCryptCloseAlgorithmProvider", []() -> void* { return reinterpret_cast<void*>(&BCryptCloseAlgorithmProvider); }},
    {"BCryptDestroyKey", []() -> void* { return reinterpret_cast<void*>(&BCryptDestroyKey); }},
    {"BCryptImportKey", []() -> void* { return reinterpret_cast<void*>(&BCryptImportKey); }},
    {"BCryptGetProperty", []() -> void* { return reinterpret_cast<void*>(&BCryptGetProperty); }},
    {"BCryptSetProperty", []() -> void* { return reinterpret_cast<void*>(&BCryptSetProperty); }},
    {"BCryptEncrypt", []() -> void* { return reinterpret_cast<void*>(&BCryptEncrypt); }},
    {"BCryptDecrypt", []() -> void* { return reinterpret_cast<void*>(&BCryptDecrypt); }},
    {"BCryptGenerateSymmetricKey", []() -> void* { return reinterpret_cast<void*>(&BCryptGenerateSymmetricKey); }},
    {"BCryptCreateHash", []() -> void* { return reinterpret_cast<void*>(&BCryptCreateHash); }},
    {"BCryptHashData", []() -> void* { return reinterpret_cast<void*>(&BCryptHashData); }},
    {"BCryptFinishHash", []() -> void* { return reinterpret_cast<void*>(&BCryptFinishHash); }},
    {"BCryptDuplicateHash", []() -> void* { return reinterpret_cast<void*>(&BCryptDuplicateHash); }},
    {"BCryptDestroyHash", []() -> void* { return reinterpret_cast<void*>(&BCryptDestroyHash); }},
    {"BCryptDeriveKeyPBKDF2", []() -> void* { return reinterpret_cast<void*>(&BCryptDeriveKeyPBKDF2); }},
    {"BCryptImportKeyPair", []() -> void* { return reinterpret_cast<void*>(&BCryptImportKeyPair); }},
    {"BCryptGenerateKeyPair", []() -> void* { return reinterpret_cast<void*>(&BCryptGenerateKeyPair); }},
    {"BCryptFinalizeKeyPair", []() -> void* { return reinterpret_cast<void*>(&BCryptFinalizeKeyPair); }},
    {"BCryptExportKey", []() -> void* { return reinterpret_cast<void*>(&BCryptExportKey); }},
    {"BCryptSecretAgreement", []() -> void* { return reinterpret_cast<void*>(&BCryptSecretAgreement); }},
    {"BCryptDeriveKey", []() -> void* { return reinterpret_cast<void*>(&BCryptDeriveKey); }},
    {"BCryptDestroySecret", []() -> void* { return reinterpret_cast<void*>(&BCryptDestroySecret); }},
    {"BCryptSignHash", []() -> void* { return reinterpret_cast<void*>(&BCryptSignHash); }},
    {"BCryptVerifySignature", []() -> void* { return reinterpret_cast<void*>(&BCryptVerifySignature); }},
};

constexpr ProcEntry kAdvapiProcs[] = {
    {"CryptAcquireContextA", []() -> void* { return reinterpret_cast<void*>(&CryptAcquireContextA); }},
    {"CryptGenRandom", []() -> void* { return reinterpret_cast<void*>(&CryptGenRandom); }},
    {"CryptReleaseContext", []() -> void* { return reinterpret_cast<void*>(&CryptReleaseContext); }},
    {"CryptImportKey", []() -> void* { return reinterpret_cast<void*>(&CryptImportKey); }},
    {"CryptDestroyKey", []() -> void* { return reinterpret_cast<void*>(&CryptDestroyKey); }},
};

}  // namespace

ProcList BcryptProcs() { return {kBcryptProcs, static_cast<int>(std::size(kBcryptProcs))}; }
ProcList AdvapiProcs() { return {kAdvapiProcs, static_cast<int>(std::size(kAdvapiProcs))}; }

}  // namespace velmora::platform
