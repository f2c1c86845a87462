// The private key of a certificate context as a key storage provider handle, shared by the platform key
// classes: CryptAcquireCertificatePrivateKey with NCrypt keys allowed, a CryptoAPI key (spec 1 or 2)
// translated into an NCrypt key and its CryptoAPI provider released, and a smart-card PIN set on the key.
// Any thread; no state.
#pragma once

#include <cstdint>
#include <functional>

#include "crypto/providers/provider_tables.h"
#include "platform/crypto/cert_types.h"

namespace velmora::crypto {

// CertKeyFunctions names the functions of a table the acquisition calls.
struct CertKeyFunctions {
  ProviderTable table;
  int acquire;
  int release_context;
  int translate;
  int set_property;
};

// AcquireCertificateKey hands the key of context to adopt (with whether the caller owns it) as soon as it
// has one, then sets a non-empty PIN (given in the system code page) as "SmartCardPin" in UTF-16 with its
// terminator. 0; -1 when the acquisition or a function it needs is not loaded, the key is not acquired,
// its spec is neither 1 nor 2 nor the NCrypt spec, or the PIN does not convert; a failing platform
// status.
[[nodiscard]] int AcquireCertificateKey(const CertKeyFunctions& functions, const platform::CERT_CONTEXT* context,
                                        const char* pin, uint32_t flags,
                                        const std::function<void(platform::NCRYPT_KEY_HANDLE, bool)>& adopt);

}  // namespace velmora::crypto
