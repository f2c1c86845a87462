#include "pki/crl.h"

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"
#include "asn1/der_read.h"
#include "core/hex.h"
#include "pki/distinguished_name.h"

namespace velmora::pki {

namespace {

constexpr char kTimePattern[] = "yyyyMMddHHmmss";
constexpr int kNameStringRefused = 434;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;

// Element is where one element lies in the decoded bytes: its header, content and end offsets.
struct Element {
  uint8_t tag = 0;
  int32_t start = 0;
  int32_t content = 0;
  int32_t content_end = 0;
  int32_t end = 0;
};

// Children walks the elements inside the content of a constructed element without copying them, which
// keeps a list of many thousand entries to one pass over its bytes. As in a tree parse, a malformed
// first item is 447 and a malformed later one 446; asking past the end is 447 (a missing field).
class Children {
 public:
  Children(const uint8_t* bytes, const Element& parent)
      : bytes_(bytes), position_(parent.content), limit_(parent.content_end) {}

  bool AtEnd() const { return position_ >= limit_; }

  // Peek reads the next element without moving past it.
  int Peek(Element& out) const {
    if (AtEnd()) return kDerBadOuter;
    if (!DerWalkHeader(bytes_, position_, limit_, &out.tag, &out.content, &out.content_end, &out.start, &out.end)) {
      return index_ == 0 ? kDerBadOuter : kDerBadInner;
    }
    return core::kOk;
  }

  // Next reads the next element and moves past it.
  int Next(Element& out) {
    const int rc = Peek(out);
    if (rc == core::kOk) Skip(out);
    return rc;
  }

  void Skip(const Element& element) {
    position_ = element.end;
    ++index_;
  }

 private:
  const uint8_t* bytes_;
  int32_t position_;
  int32_t limit_;
  int32_t index_ = 0;
};

bool IsConstructed(const Element& element) { return (element.tag & 0x20) != 0; }

// Whole and Content copy the element's complete encoding, or its content, into scratch.
int Whole(const uint8_t* bytes, const Element& element, core::BufferCore& scratch) {
  return scratch.SetData(element.end - element.start, bytes + element.start);
}
int Content(const uint8_t* bytes, const Element& element, core::BufferCore& scratch) {
  return scratch.SetData(element.content_end - element.content, bytes + element.content);
}

// ReadTime converts a UTCTime or GeneralizedTime element into its 14-digit text; 446 for another tag.
int ReadTime(const uint8_t* bytes, const Element& element, core::BufferCore& scratch, core::BufferCore& out) {
  const int rc = Content(bytes, element, scratch);
  return rc != core::kOk ? rc : DecodeAsn1Time(scratch, out, element.tag, kTimePattern, 0, nullptr);
}

// ReadSerial writes the hex of an INTEGER's content without one leading zero byte ("00" for zero), as a
// certificate's serialHex is written.
int ReadSerial(const uint8_t* bytes, const Element& element, core::BufferCore& out) {
  if (element.tag != 0x02) return kDerBadInner;
  int32_t from = element.content;
  if (from < element.content_end && bytes[from] == 0) ++from;
  out.Clear();
  if (from == element.content_end) return out.SetString("00");
  return core::AppendHexLower(out, bytes + from, element.content_end - from);
}

// ReadRevoked replaces both lists with the entries of the revokedCertificates SEQUENCE. An entry is added
// to both lists at once; when memory runs out between the two adds both lists are emptied, so that they
// never fall out of step.
int ReadRevoked(const uint8_t* bytes, const Element& sequence, CertificateRevocationList& target) {
  target.revokedSerials.Clear();
  target.revocationDates.Clear();
  core::Buffer scratch;
  core::Buffer20 serial;
  core::Buffer20 date;
  Children entries(bytes, sequence);
  while (!entries.AtEnd()) {
    Element entry;
    int rc = entries.Next(entry);
    if (rc != core::kOk) return rc;
    if (entry.tag != 0x30) return kDerBadInner;
    Children fields(bytes, entry);
    Element serial_element, date_element;
    if ((rc = fields.Next(serial_element)) != core::kOk || (rc = fields.Next(date_element)) != core::kOk) {
      return rc;
    }
    if ((rc = ReadSerial(bytes, serial_element, serial)) != core::kOk ||
        (rc = ReadTime(bytes, date_element, scratch, date)) != core::kOk) {
      return rc;
    }
    if ((rc = target.revokedSerials.Add(serial.Data(), serial.Length())) != core::kOk) return rc;
    if ((rc = target.revocationDates.Add(date.Data(), date.Length())) != core::kOk) {
      target.revokedSerials.Clear();
      target.revocationDates.Clear();
      return rc;
    }
  }
  return core::kOk;
}

// ReadTbs reads the TBSCertList fields in order; it ends quietly where the optional fields run out.
int ReadTbs(const uint8_t* bytes, const Element& tbs, CertificateRevocationList& target) {
  if (!IsConstructed(tbs)) return kDerBadOuter;
  core::Buffer scratch;
  Children fields(bytes, tbs);
  Element field;
  int rc = fields.Peek(field);
  if (rc != core::kOk) return rc;
  if (field.tag == 0x02) {
    uint32_t version = 0;
    if ((rc = Whole(bytes, field, scratch)) != core::kOk ||
        (rc = DerReadSmallInteger(scratch, 0, &version, nullptr)) != core::kOk) {
      return rc;
    }
    target.version = static_cast<int32_t>(version);
    fields.Skip(field);
  }
  // The inner signature algorithm is checked for form only; the outer one is kept.
  asn1::AlgorithmIdentifier inner;
  if ((rc = fields.Next(field)) != core::kOk || (rc = Whole(bytes, field, scratch)) != core::kOk ||
      (rc = inner.Decode(scratch)) != core::kOk) {
    return rc;
  }
  if ((rc = fields.Next(field)) != core::kOk || (rc = Whole(bytes, field, scratch)) != core::kOk) return rc;
  if ((rc = DecodeNameToString(scratch, target.issuer)) != core::kOk) {
    return rc == kNameStringRefused ? kDerBadInner : rc;
  }
  if ((rc = fields.Next(field)) != core::kOk) return rc;
  if ((rc = ReadTime(bytes, field, scratch, target.thisUpdate)) != core::kOk) return rc;
  target.nextUpdate.Clear();
  if (fields.AtEnd()) return core::kOk;
  if ((rc = fields.Peek(field)) != core::kOk) return rc;
  if (field.tag == kUtcTime || field.tag == kGeneralizedTime) {
    if ((rc = ReadTime(bytes, field, scratch, target.nextUpdate)) != core::kOk) return rc;
    fields.Skip(field);
    if (fields.AtEnd()) return core::kOk;
    if ((rc = fields.Peek(field)) != core::kOk) return rc;
  }
  // crlExtensions [0], after the revoked list, is not kept.
  return field.tag == 0x30 ? ReadRevoked(bytes, field, target) : core::kOk;
}

}  // namespace

int CertificateRevocationList::Decode(const uint8_t* der, int32_t length) {
  if (der == nullptr || length < 1) return kDerBadOuter;
  Element outer;
  if (!DerWalkHeader(der, 0, length, &outer.tag, &outer.content, &outer.content_end, &outer.start, &outer.end) ||
      outer.tag != 0x30) {
    return kDerBadOuter;
  }
  Children parts(der, outer);
  Element tbs, algorithm, bits;
  int rc = parts.Next(tbs);
  if (rc == core::kOk) rc = parts.Next(algorithm);
  if (rc == core::kOk) rc = parts.Next(bits);
  if (rc != core::kOk) return rc;
  if ((rc = Whole(der, tbs, tbsDer)) != core::kOk || (rc = ReadTbs(der, tbs, *this)) != core::kOk) return rc;
  core::Buffer scratch;
  if ((rc = Whole(der, algorithm, scratch)) != core::kOk || (rc = signatureAlgorithm.Decode(scratch)) != core::kOk ||
      (rc = Whole(der, bits, scratch)) != core::kOk) {
    return rc;
  }
  rc = DerReadBitString(scratch, 0, signature, nullptr, nullptr);
  // A BIT STRING without its unused-bits byte is a malformed inner element.
  return rc == core::kOutOfRange ? kDerBadInner : rc;
}

}  // namespace velmora::pki
