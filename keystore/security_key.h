// The security key block: a text that names a key held by a hardware token (its library, slot and
// handles) together with its certificate or public key.
#pragma once

#include "core/buffer.h"
#include "crypto/objects/crypto_component.h"
#include "pki/cert_composites.h"

namespace velmora::keystore {

// LoadSecurityKey reads the block text into record (attributes, certificate or public key); 0 or 202
// for a malformed block, or the code of the decoder that failed.
[[nodiscard]] int LoadSecurityKey(pki::CertificateWithKey& record, const char* text, const char* password);
// WriteSecurityKey writes the block of record's attributes to out; 202 when a property is missing.
[[nodiscard]] int WriteSecurityKey(const pki::CertificateWithKey& record, core::Buffer& out);
// HasPrivateKey: for a selected security key, whether the token names a private key for it (its handle
// present and not "0"); otherwise whether the component holds a key store handle for a store of kind
// 0 or 1, or the selected key holds its private part. False without a key.
bool HasPrivateKey(component::CertKeyComponent& component);

}  // namespace velmora::keystore
