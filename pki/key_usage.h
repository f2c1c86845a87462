// Key usage (RFC 5280 4.2.1.3) as bits and as text. The bits follow the KeyUsage BIT STRING: its first
// byte maps to 0x80 (digitalSignature) down to 0x01 (encipherOnly), decipherOnly (bit 8) to 0x8000.
// Every function may run on any thread for records no other thread uses.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::pki {

struct Certificate;

// KeyUsageExtensionToBits sets *out to the bits of a keyUsage extension value (the BIT STRING DER): its
// first byte in bits 0-7, its second in bits 8-15; an empty value gives 0. 0, or the reader's code.
[[nodiscard]] int KeyUsageExtensionToBits(const core::BufferCore& der, uint32_t* out);
// KeyUsageBitsToText sets out to the display names of the low eight bits, from 0x80 down, joined by ", "
// ("Digital Signature, Key Encipherment"); 0 bits give "". 0 or 200.
[[nodiscard]] int KeyUsageBitsToText(int32_t bits, core::BufferCore& out);
// KeyUsageNamesToBits returns the bits whose names ("digital signature", "crl signing", ...) occur
// anywhere in the text, compared without case; 0 for a null or empty text.
int32_t KeyUsageNamesToBits(const char* text);

// GetKeyUsageBits returns the bits of the certificate's key usage extension, 0 when it is missing or
// unreadable.
uint32_t GetKeyUsageBits(const Certificate& certificate);
// GetKeyUsageText sets the certificate's textResult to the text of its key usage bits and returns its
// characters (valid until the next text getter); "" when the bits are 0.
const char* GetKeyUsageText(Certificate& certificate);

}  // namespace velmora::pki
