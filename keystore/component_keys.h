// A component's selected certificate and key handed to the platform's certificate module: a PKCS #12
// entry is imported into a temporary store and its private key acquired, a bare certificate becomes a
// context in the component's memory store, and a bare key is imported into a fresh CryptoAPI key
// container ("pem_key_" and the tick count). The component keeps what was made (its KeyState) and
// deletes it when it releases its certificate context or resets its store: the temporary store's
// certificates with the containers their key-provider information names, and the container of an
// imported key. One thread at a time per component.
#pragma once

#include <cstdint>
#include <string>

#include "core/buffer.h"
#include "crypto/objects/crypto_component.h"
#include "keystore/certificate_source.h"
#include "platform/crypto/cert_types.h"

namespace velmora::keystore {

// kContainerMachineKeyset is the container flag that names the machine's containers.
inline constexpr uint32_t kContainerMachineKeyset = 0x20;

using component::ComponentKeyState;
using component::KeyContainerCalls;
using component::kNcryptKeySpec;
using component::NarrowText;
using component::ReadKeyProvInfo;

// SelectedEntryData sets out to the stored input bytes of the source: a PKCS #12 container's input, else
// the certificate's DER; out cleared when there is neither. 0 or a Buffer code.
[[nodiscard]] int SelectedEntryData(CertificateSource& source, core::BufferCore& out);

// ImportPemKeyToCryptoApi releases what the component held (ReleaseCertificateContext), opens its memory
// store and hands the selected entry of its loaded store to the platform (machine: the local machine's
// key sets). 0; 271 with "The certificate store could not be opened." or "Cannot acquire private key"; a
// platform status or 271 with "Cannot add certificate to store", "Could not acquire provider" or "Could
// not import key"; 290 for a key without its private part. The component's last-error text holds the
// text.
[[nodiscard]] int ImportPemKeyToCryptoApi(component::CertKeyComponent& component, bool machine);

// LoadedHandle is the component's loaded store as a CertStoreHandle, or null.
CertStoreHandle* LoadedHandle(component::CertKeyComponent& component);

// Utf16Text is the UTF-16 form of the text (UTF-8, up to its length); false when it is not UTF-8.
bool Utf16Text(const core::BufferCore& text, std::u16string* out);

}  // namespace velmora::keystore
