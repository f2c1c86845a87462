// CryptoAPI key containers for a component's imported keys: the operations of CryptoApiKeyContext (choose
// the provider, acquire a container with the retries the platform needs, release), the CryptoAPI private
// key blobs of RSA and DSA keys, the decoding of a PEM block's body, and the release of a component's
// certificate context. The container functions of "Advapi32.dll" are looked up at run time in a table of
// their own; the module stays loaded while a context holds a provider handle Acquire gave it. Any thread;
// one context is used by one thread at a time.
#pragma once

#include <cstdint>

#include "component/cert_store_records.h"
#include "core/buffer.h"
#include "crypto/keys/key_params.h"
#include "platform/crypto/cert_types.h"

namespace velmora::crypto {

// kContainerNotAcquired: the container cannot be acquired even as a machine key set.
inline constexpr int kContainerNotAcquired = 221;

// SetProvider releases the context's handles, then takes the provider name and type from text: null or
// empty gives the empty name and type 1; "name:13" the name before the colon and the decimal type after
// it; otherwise the whole text, with type 24 when it contains "AES", 3 when it contains "DSS", else 1.
[[nodiscard]] int SetProvider(component::CryptoApiKeyContext& context, const char* text);
// Acquire sets the provider from text and opens the container (flags as CryptAcquireContextA takes them).
// A missing container (NTE_BAD_KEYSET) is created when create is set; any other failure is retried once
// as a machine key set unless the flags hold that already. 0, or 221.
[[nodiscard]] int Acquire(component::CryptoApiKeyContext& context, const char* provider_text, const char* container,
                          uint32_t flags, bool create);
// CreateContainer sets the provider from text and creates a new container (flags plus CRYPT_NEWKEYSET),
// never opening an existing one and never retrying with other flags. 0; 221 with *exists telling whether
// a container of that name was there already.
[[nodiscard]] int CreateContainer(component::CryptoApiKeyContext& context, const char* provider_text,
                                  const char* container, uint32_t flags, bool* exists);
// Release destroys the key and releases the provider handle, when held.
void Release(component::CryptoApiKeyContext& context);

// RsaToCryptoApiPrivateBlob appends the PRIVATEKEYBLOB of an RSA key (exchange algorithm, "RSA2") to out:
// the bit length is the modulus value's, rounded up to a multiple of 8; the public exponent its last four
// significant bytes; prime-sized fields take the bit length / 16 rounded up. 0, 290 without the private
// numbers, 280 for an exponent above 32 bits, or a Buffer code.
[[nodiscard]] int RsaToCryptoApiPrivateBlob(const RsaKeyParams& params, core::BufferCore& out);
// DsaToCryptoApiPrivateBlob appends the version-3 PRIVATEKEYBLOB of a DSA key ("DSS4", no J, the seed
// counter 0xFFFFFFFF) to out, each number without its leading zero bytes; G and Y at the width of P. 0,
// 290 without X, or a Buffer code.
[[nodiscard]] int DsaToCryptoApiPrivateBlob(const DsaKeyParams& params, core::BufferCore& out);

// PemBodyToBinary puts the DER bytes of the PEM block labelled label into out: data with a byte above 127
// is copied unchanged; otherwise the text after the line holding the label, up to the next "---", or
// the whole text when the label is missing, is base64-decoded. 0 or a Buffer code.
[[nodiscard]] int PemBodyToBinary(core::BufferCore& out, const char* label, const void* data, int32_t length);

// FreeCertificateContext frees the context alone (when the certificate module's free function is
// loaded) and clears the field. 0.
int FreeCertificateContext(const platform::CERT_CONTEXT*& context);

}  // namespace velmora::crypto
