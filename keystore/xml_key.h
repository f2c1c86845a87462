// XML key values: RSAKeyValue, DSAKeyValue and X509Data elements read into keys and certificates, and
// keys written as key value texts.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/ptr_array.h"
#include "crypto/keys/key_params.h"
#include "crypto/objects/crypto_component.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_composites.h"

namespace velmora::keystore {

// ReadXmlKey appends the certificates and keys found in the XML text (NUL-terminated) to the two
// lists. 0; 280 when the text names none of the three elements; or the code of the step that failed.
[[nodiscard]] int ReadXmlKey(const char* text, pki::CertificateList& certificates,
                             core::PtrArray<crypto::KeyRecord>& keys);
// WriteRsaKeyValue and WriteDsaKeyValue append the key value element of params to out.
[[nodiscard]] int WriteRsaKeyValue(const crypto::RsaKeyParams& params, uint32_t include_private, core::Buffer& out);
[[nodiscard]] int WriteDsaKeyValue(const crypto::DsaKeyParams& params, int32_t include_private, core::Buffer& out);
// WriteXmlKey replaces out with the key value text of the component's selected key; "" and 0 for a key
// with no XML form; 144 when nothing is selected.
[[nodiscard]] int WriteXmlKey(component::CertKeyComponent& component, uint32_t include_private, core::Buffer& out);
// WriteX509Data writes the selected entry's certificate as an X509Data text (base64 in lines of 64
// characters joined by CR LF), or, for an entry without a certificate, its key as WriteXmlKey does, the
// private part only when include_private is set and the entry holds one. The text is kept in the
// component's OutputText; *text and *length describe it ("" and 0 until it is written). 0, 144 when
// nothing is selected, or a Buffer code.
[[nodiscard]] int WriteX509Data(component::CertKeyComponent& component, const char** text, uint32_t* length,
                                int32_t include_private);

}  // namespace velmora::keystore
