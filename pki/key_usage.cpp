#include "pki/key_usage.h"

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"
#include "asn1/der_read.h"
#include "pki/cert_extensions.h"
#include "pki/certificate.h"

namespace velmora::pki {

namespace {

constexpr char kKeyUsageOid[] = "2.5.29.15";

struct Usage {
  int32_t bit;
  const char* display;
  const char* name;
};
constexpr Usage kUsages[] = {{0x80, "Digital Signature", "digital signature"},
                             {0x40, "Non-Repudiation", "non-repudiation"},
                             {0x20, "Key Encipherment", "key encipherment"},
                             {0x10, "Data Encipherment", "data encipherment"},
                             {0x08, "Key Agreement", "key agreement"},
                             {0x04, "Certificate Signing", "certificate signing"},
                             {0x02, "CRL Signing", "crl signing"},
                             {0x01, "Encipher Only", "encipher only"}};

}  // namespace

int KeyUsageExtensionToBits(const core::BufferCore& der, uint32_t* out) {
  *out = 0;
  if (der.IsEmpty()) return core::kOk;
  core::Buffer bits;
  uint8_t tag = 0;
  int rc = DerReadBitString(der, 0, bits, nullptr, &tag);
  // A BIT STRING without its unused-bits byte (X.690 8.6.2.2) is as malformed as one of another tag.
  if (rc == core::kOutOfRange || (rc == core::kOk && tag != 0x03)) return kDerBadInner;
  if (rc != core::kOk) return rc;
  // Bit n of the BIT STRING is bit 7 - n % 8 of byte n / 8; byte 0 stays the low byte whatever follows.
  for (int32_t i = 0; i < bits.Length() && i < 4; ++i) *out |= static_cast<uint32_t>(bits.Bytes()[i]) << (8 * i);
  return core::kOk;
}

int KeyUsageBitsToText(int32_t bits, core::BufferCore& out) {
  out.Clear();
  for (const Usage& usage : kUsages) {
    if ((bits & usage.bit) == 0) continue;
    int rc = out.IsEmpty() ? core::kOk : out.Append(", ", 2);
    if (rc == core::kOk) rc = out.AppendCString(usage.display);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

int32_t KeyUsageNamesToBits(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  core::Buffer lower;
  if (lower.SetString(text) != core::kOk) return 0;
  lower.ToLowerAscii();
  int32_t bits = 0;
  for (const Usage& usage : kUsages) {
    if (lower.Contains(usage.name) != 0) bits |= usage.bit;
  }
  return bits;
}

uint32_t GetKeyUsageBits(const Certificate& certificate) {
  core::Buffer value;
  uint32_t bits = 0;
  if (GetExtensionValue(certificate, kKeyUsageOid, value) != core::kOk || value.IsEmpty() ||
      KeyUsageExtensionToBits(value, &bits) != core::kOk) {
    return 0;
  }
  return bits;
}

const char* GetKeyUsageText(Certificate& certificate) {
  certificate.textResult.Clear();
  const uint32_t bits = GetKeyUsageBits(certificate);
  if (bits != 0 && KeyUsageBitsToText(static_cast<int32_t>(bits), certificate.textResult) != core::kOk) {
    certificate.textResult.Clear();
  }
  return certificate.textResult.Data();
}

}  // namespace velmora::pki
