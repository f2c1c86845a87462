#include "pki/chain_checks.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "core/str_list.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_signature.h"
#include "platform/time.h"

namespace velmora::pki {

namespace {

bool SameText(const core::BufferCore& a, const core::BufferCore& b) {
  return a.Length() == b.Length() && (a.Length() == 0 || std::memcmp(a.Data(), b.Data(), a.Length()) == 0);
}

bool InChain(const CertificateChain& chain, const Certificate* candidate) {
  for (int32_t i = 0; i < chain.Count(); ++i) {
    const Certificate* link = chain.Get(i);
    if (link == candidate || (!candidate->der.IsEmpty() && SameText(link->der, candidate->der))) return true;
  }
  return false;
}

// NextIssuer is the first candidate not yet in the chain that names current's issuer as its subject and
// whose key verifies current's signature; null when none does.
const Certificate* NextIssuer(const Certificate& current, const core::PtrArray<Certificate>& candidates,
                              const CertificateChain& chain) {
  for (int32_t i = 0; i < candidates.Count(); ++i) {
    const Certificate* candidate = candidates.Get(i);
    if (candidate == nullptr || !SameText(candidate->tbs.subject, current.tbs.issuer)) continue;
    if (InChain(chain, candidate) || VerifySignatureByAlgorithm(current, *candidate) != 0) continue;
    return candidate;
  }
  return nullptr;
}

}  // namespace

int CheckCrl(const char* points, int32_t* status, core::BufferCore* error_text, bool report) {
  const auto finish = [status](int rc) {
    if (status != nullptr) *status = rc;
    return rc;
  };
  core::StrList items;
  int rc = core::SplitToStringList(items, points, ", ", 1, 1);
  if (rc != core::kOk) return finish(rc);
  if (items.Count() == 0) {
    if (!report) return finish(core::kOk);
    if (error_text != nullptr) {
      (void)error_text->SetString("CRL check failed: CRL is not supported by the certificate.");
    }
    return finish(kCrlCheckFailed);
  }
  for (int32_t i = 0; i < items.Count(); ++i) {
    const char* item = items.Item(i);
    if (strncasecmp(item, "http://", 7) != 0 && strncasecmp(item, "https://", 8) != 0) continue;
    // Here the list would be fetched from item and decoded; without a transport the check ends.
    if (!report) return finish(core::kOk);
    if (error_text != nullptr &&
        (error_text->SetString("Failed to get a valid response from the CRL server: ") != core::kOk ||
         error_text->Append(item, items.ItemLength(i)) != core::kOk)) {
      error_text->Clear();
    }
    return finish(kCrlCheckFailed);
  }
  return finish(core::kOk);
}

int CheckValidityWindow(const char* not_before, const char* not_after) {
  platform::SystemTime now;
  platform::GetSystemTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04i%02i%02i%02i%02i%02i", now.year, now.month, now.day, now.hour, now.minute,
                now.second);
  if (std::strcmp(text, not_before != nullptr ? not_before : "") < 0) return -1;
  if (std::strcmp(text, not_after != nullptr ? not_after : "") > 0) return 1;
  return 0;
}

int BuildIssuerChain(const Certificate& start, const core::PtrArray<Certificate>& candidates, CertificateChain& chain) {
  chain.Clear();
  int rc = chain.InsertAt(0, &start);
  if (rc != core::kOk) return rc;
  const Certificate* current = &start;
  while (chain.Count() < kMaxIssuerChain) {
    const Certificate* issuer = NextIssuer(*current, candidates, chain);
    if (issuer == nullptr) break;
    if ((rc = chain.InsertAt(chain.Count(), issuer)) != core::kOk) return rc;
    if (SameText(issuer->tbs.issuer, issuer->tbs.subject)) break;
    current = issuer;
  }
  return core::kOk;
}

int VerifyCertificateSignatureBytes(const uint8_t* certificate, int32_t certificate_length, const uint8_t* issuer,
                                    int32_t issuer_length) {
  Certificate subject_record, issuer_record;
  int rc = subject_record.der.SetData(certificate_length > 0 ? certificate_length : 0, certificate);
  if (rc == core::kOk) rc = DecodeStoredCertificate(subject_record);
  if (rc == core::kOk) rc = issuer_record.der.SetData(issuer_length > 0 ? issuer_length : 0, issuer);
  if (rc == core::kOk) rc = DecodeStoredCertificate(issuer_record);
  return rc != core::kOk ? rc : VerifySignatureByAlgorithm(subject_record, issuer_record);
}

}  // namespace velmora::pki
