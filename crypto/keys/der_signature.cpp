#include "crypto/keys/der_signature.h"

#include "crypto/bn/integer_bytes.h"
#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "asn1/der_writer.h"

namespace velmora::crypto {

namespace {

constexpr uint8_t kSequenceTag = 0x30;
constexpr uint8_t kIntegerTag = 0x02;

// SecondIntegerFits checks the INTEGER tag at j and that the element's content ends inside the input.
// The length byte at j + 1 is read only when it exists.
bool SecondIntegerFits(const uint8_t* bytes, int32_t length, int32_t j) {
  if (j + 1 >= length || bytes[j] != kIntegerTag) return false;
  return bytes[j + 1] + j + 1 < length;
}

}  // namespace

bool IsDerSignatureShape(const uint8_t* bytes, int32_t length) {
  if (bytes == nullptr || length < 6 || bytes[0] != kSequenceTag) return false;
  if (bytes[1] + 1 > length || bytes[2] != kIntegerTag) return false;
  return SecondIntegerFits(bytes, length, bytes[3] + 4);
}

bool IsDerTwoIntegerSequence(const uint8_t* bytes, int32_t length) {
  if (bytes == nullptr || length < 6 || bytes[0] != kSequenceTag) return false;
  int32_t sequence_length = bytes[1];
  int32_t header = 2;
  if ((sequence_length & 0x80) != 0) {
    if ((sequence_length & 0x7F) > 1) return false;
    sequence_length = bytes[2];
    header = 3;
  }
  if (sequence_length + header > length || bytes[header] != kIntegerTag) return false;
  return SecondIntegerFits(bytes, length, header + 2 + bytes[header + 1]);
}

int EncodeRawSignatureAsDer(const uint8_t* raw, int32_t length, core::BufferCore& out) {
  const int32_t half = length / 2;
  pki::DerWriter writer;
  int rc = writer.BeginElement(kSequenceTag);
  if (rc == 0) rc = writer.AppendUnsignedInteger(raw, half);
  if (rc == 0) rc = writer.AppendUnsignedInteger(raw == nullptr ? nullptr : raw + half, half);
  if (rc == 0) rc = writer.EndElement(0);
  if (rc == 0) rc = out.Assign(writer);
  return rc;
}

int DecodeDerSignatureToRaw(const uint8_t* signature, int32_t length, int32_t width, core::BufferCore& out) {
  if (!IsDerTwoIntegerSequence(signature, length)) return out.SetData(length, signature);
  pki::Asn1Element sequence;
  int rc = sequence.SetData(length, signature);
  if (rc != 0) return rc;
  if (sequence.ParseChildren(0) != 0 || sequence.childCount() != 2) return out.SetData(length, signature);
  core::Buffer r;
  core::Buffer s;
  const pki::Asn1Element* first = sequence.firstChild();
  rc = pki::DerReadUnsignedInteger(*first, 0, r);
  if (rc == 0) rc = pki::DerReadUnsignedInteger(*first->nextSibling(), 0, s);
  if (rc == 0) rc = FitIntegerBytes(width, r, true);
  if (rc == 0) rc = FitIntegerBytes(width, s, true);
  if (rc == 0) rc = out.Assign(r);
  if (rc == 0) rc = out.Append(s);
  return rc;
}

const char* EcdsaSignatureOidForKeyType(int32_t key_type) {
  // Types 0, 7-14 and 18-21 are curves of up to 256 bits, 1, 15, 16, 22, 23 of 320 and 384, and 2, 17,
  // 24 of 512 and 521; 3-6 are the Edwards and Montgomery keys, which have no ECDSA.
  switch (key_type) {
    case 0:
    case 7: case 8: case 9: case 10:
    case 11: case 12: case 13: case 14:
    case 18: case 19: case 20: case 21:
      return "1.2.840.10045.4.3.2";
    case 1:
    case 15: case 16:
    case 22: case 23:
      return "1.2.840.10045.4.3.3";
    case 2:
    case 17:
    case 24:
      return "1.2.840.10045.4.3.4";
    default:
      return "";
  }
}

}  // namespace velmora::crypto
