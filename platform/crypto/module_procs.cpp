// The function lists of the crypto modules the module table hands out.
#include "platform/module_procs.h"

#include <iterator>

#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"

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
};

constexpr ProcEntry kAdvapiProcs[] = {
    {"CryptAcquireContextA", []() -> void* { return reinterpret_cast<void*>(&CryptAcquireContextA); }},
    {"CryptGenRandom", []() -> void* { return reinterpret_cast<void*>(&CryptGenRandom); }},
    {"CryptReleaseContext", []() -> void* { return reinterpret_cast<void*>(&CryptReleaseContext); }},
};

}  // namespace

ProcList BcryptProcs() { return {kBcryptProcs, static_cast<int>(std::size(kBcryptProcs))}; }
ProcList AdvapiProcs() { return {kAdvapiProcs, static_cast<int>(std::size(kAdvapiProcs))}; }

}  // namespace velmora::platform
