#include "keystore/cert_dates.h"

#include <cstdint>

#include "core/date_time.h"
#include "core/numbers.h"

namespace velmora::keystore {

namespace {

// UtcTextToLocal renders a stored "yyyyMMddHHmmss" UTC text by format in local time.
const char* UtcTextToLocal(const core::BufferCore& stored, const char* format, core::BufferCore& out) {
  out.Clear();
  if (stored.IsEmpty()) return out.Data();
  core::Buffer zoned;
  if (zoned.Assign(stored) != core::kOk || zoned.AppendByte('Z') != core::kOk) return out.Data();
  if (core::ReformatTimeText(format, zoned.Data(), out, 1, nullptr) == 0) out.Clear();
  return out.Data();
}

// ClaimText renders the seconds of a numeric claim by format in local time; false when the key has no
// such claim, so the caller falls back to the certificate.
bool ClaimText(const crypto::KeyRecord& key, const char* attribute, const char* format, core::BufferCore& out) {
  const char* value = key.GetAttribute(attribute);
  if (value == nullptr || *value == '\0') return false;
  out.Clear();
  const int64_t seconds = core::ParseInt64(value);
  // Past this the milliseconds overflow; the date range ends long before anyway.
  constexpr int64_t kLimit = INT64_MAX / 1000;
  if (seconds > kLimit || seconds < -kLimit) return true;
  uint32_t year, month, day, hour, minute, second, ms;
  int32_t weekday;
  if (core::UnixMsToDateParts(core::UnixMsToLocal(seconds * 1000), &year, &month, &day, &hour, &minute, &second, &ms,
                              &weekday) != core::kOk) {
    return true;
  }
  core::FormatDateTime(out, format, year, month, day, hour, minute, second, ms, weekday);
  return true;
}

const char* ClaimOrCertificate(pki::KeyWithCertificates& record, const char* attribute, bool not_after,
                               const char* format, core::BufferCore& out) {
  if (ClaimText(record.key, attribute, format, out)) return out.Data();
  if (record.certificates.Count() > 0) {
    if (pki::Certificate* first = record.FirstCertificate(); first != nullptr) {
      return not_after ? CertNotAfterText(*first, format, out) : CertNotBeforeText(*first, format, out);
    }
  }
  out.Clear();
  return out.Data();
}

}  // namespace

const char* CertNotBeforeText(const pki::Certificate& certificate, const char* format, core::BufferCore& out) {
  return UtcTextToLocal(certificate.tbs.notBefore, format, out);
}

const char* CertNotAfterText(const pki::Certificate& certificate, const char* format, core::BufferCore& out) {
  return UtcTextToLocal(certificate.tbs.notAfter, format, out);
}

const char* CertNotAfterRaw(const pki::Certificate& certificate) { return certificate.tbs.notAfter.Data(); }

const char* JwkNotBefore(pki::KeyWithCertificates& record, const char* format, core::BufferCore& out) {
  return ClaimOrCertificate(record, "JWK_3_nbf", false, format, out);
}

const char* JwkExpiry(pki::KeyWithCertificates& record, const char* format, core::BufferCore& out) {
  return ClaimOrCertificate(record, "JWK_3_exp", true, format, out);
}

}  // namespace velmora::keystore
