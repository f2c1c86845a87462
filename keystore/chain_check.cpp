#include "keystore/chain_check.h"

#include <cstring>

#include "core/str_list.h"
#include "keystore/cert_loader.h"
#include "keystore/certificate_source.h"
#include "keystore/chain_validation.h"
#include "keystore/issuer_checks.h"
#include "keystore/system_stores.h"
#include "pki/cert_composites.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_thumbprint.h"
#include "pki/chain_checks.h"

namespace velmora::keystore {

namespace {

using component::CertKeyComponent;
using component::ChainValidatorArray;

constexpr char kNoCertificateText[] = "A certificate must be specified prior to this operation.";
constexpr char kNoChainText[] = "Failed to get the certificate chain";

bool IsEmptyText(const char* text) { return text == nullptr || *text == '\0'; }

bool SameBytes(const core::BufferCore& a, const core::BufferCore& b) {
  return a.Length() == b.Length() && (a.Length() == 0 || std::memcmp(a.Data(), b.Data(), a.Length()) == 0);
}

bool SelfIssuedByName(const Certificate* certificate) {
  return certificate != nullptr && SameBytes(certificate->tbs.issuer, certificate->tbs.subject);
}

uint32_t ApplyOptions(uint32_t status, uint32_t options, const Certificate* last) {
  if ((options & kChainIgnoreValidity) != 0) status &= ~kChainNotTimeValid;
  if ((options & kChainAcceptSelfIssued) != 0 && SelfIssuedByName(last)) status &= ~kChainUntrustedRoot;
  return status;
}

// Fail makes text the component's last-error text and returns code.
int Fail(CertKeyComponent& component, int code, const char* text) {
  (void)component.LastErrorText().SetString(text);
  return code;
}

int FailWithText(CertKeyComponent& component, int code, const core::BufferCore& text) {
  if (component.LastErrorText().Assign(text) != core::kOk) component.LastErrorText().Clear();
  return code;
}

// LoadEntry loads length bytes of a certificate into out's entry index; a failure hands the entry's
// last-error text to the component.
int LoadEntry(CertKeyComponent& component, ChainValidatorArray& out, int32_t index, const void* bytes,
              int32_t length) {
  CertKeyComponent* entry = out.Get(index);
  if (entry == nullptr) return component.ReportOutOfMemory(core::kOutOfMemory);
  const int rc = SetCertificateEncoded(*entry, static_cast<const uint8_t*>(bytes), length);
  return rc == 0 ? 0 : FailWithText(component, rc, entry->LastErrorText());
}

// Resize gives out count fresh entries, so that nothing a caller left in the list mixes into the loads.
int Resize(CertKeyComponent& component, ChainValidatorArray& out, int32_t count) {
  (void)out.SetCount(0);
  return component.ReportOutOfMemory(out.SetCount(count));
}

// DerOf sets out to the certificate's DER as read, or to a fresh encoding for one built in memory.
int DerOf(const Certificate& certificate, core::BufferCore& out) {
  if (!certificate.der.IsEmpty()) return out.Assign(certificate.der);
  pki::DerWriter writer;
  const int rc = pki::EncodeCertificate(const_cast<Certificate&>(certificate), writer);
  return rc != core::kOk ? rc : out.Assign(writer);
}

// PlatformChain is the case without given certificates. *built is false when the platform's chain is a
// single certificate not issued by itself, which the own builder then takes over.
int PlatformChain(CertKeyComponent& component, ChainValidatorArray& out, uint32_t* status, uint32_t options,
                  bool* built) {
  core::StrList chain;
  uint32_t error_status = 0;
  int rc = GetCertificateChain(component, chain, &error_status, nullptr);
  *built = rc != 0 || chain.Count() > 1 || IsIssuedBy(component, component) == 1;
  if (rc != 0 || !*built) return rc;
  const int32_t count = chain.Count();
  if ((rc = Resize(component, out, count)) != 0) return rc;
  for (int32_t i = 0; i < count; ++i) {
    if ((rc = LoadEntry(component, out, i, chain.Item(i), chain.ItemLength(i))) != 0) return rc;
  }
  const Certificate* last = count > 0 ? SelectedCertificateOf(*out.Get(count - 1)) : nullptr;
  if (status != nullptr) *status = ApplyOptions(error_status, options, last);
  return 0;
}

// OwnChain gathers the candidates and the trusted set from the given texts and builds the chain from
// them. The pool owns copies (the issuer chain points into it); the trusted set points into the pool.
class OwnChain {
 public:
  explicit OwnChain(CertKeyComponent& component) : component_(component) {}

  int AddCandidates(const char* text, const char* excluded);
  int AddTrusted(const char* list, bool skip_failures);
  int Build(ChainValidatorArray& out, uint32_t* status, uint32_t options);

 private:
  int AddToPool(const Certificate& certificate, Certificate** added);
  bool IsTrusted(const Certificate& link) const;
  int CompleteFromPlatform(ChainValidatorArray& out, uint32_t* status);

  CertKeyComponent& component_;
  core::PtrArray<Certificate> pool_;
  CertificatePointers trusted_;
  pki::CertificateChain chain_;
};

int OwnChain::AddToPool(const Certificate& certificate, Certificate** added) {
  Certificate* copy = pki::AddNew(pool_);
  if (copy == nullptr) return core::kOutOfMemory;
  if (added != nullptr) *added = copy;
  return pki::CopyCertificate(*copy, certificate);
}

int OwnChain::AddCandidates(const char* text, const char* excluded) {
  if (IsEmptyText(text)) return 0;
  CertStoreHandle handle;
  core::Buffer error_text;
  int rc = LoadCertificateFromInput(handle, text, -1, false, "", nullptr, nullptr, nullptr, &error_text);
  if (rc != 0) return FailWithText(component_, rc, error_text);
  CertificatePointers collected;
  core::StrList thumbprints;
  if ((rc = handle.CollectCertificates(collected)) != 0) return component_.ReportOutOfMemory(rc);
  if ((rc = core::SplitToStringList(thumbprints, excluded, ",", 1, 1)) != 0) return component_.ReportOutOfMemory(rc);
  int32_t keep = collected.Count();
  if (keep > 0) {
    // Only the last certificate is looked at, and at most once.
    const char* last = pki::Thumbprint(*collected.Get(keep - 1), "SHA256");
    for (int32_t i = 0; i < thumbprints.Count(); ++i) {
      if (std::strcmp(thumbprints.Item(i), last) == 0) {
        --keep;
        break;
      }
    }
  }
  for (int32_t i = 0; i < keep; ++i) {
    if ((rc = AddToPool(*collected.Get(i), nullptr)) != 0) return component_.ReportOutOfMemory(rc);
  }
  return 0;
}

int OwnChain::AddTrusted(const char* list, bool skip_failures) {
  core::StrList items;
  int rc = core::SplitToStringList(items, list, ";", 1, 1);
  if (rc != 0) return component_.ReportOutOfMemory(rc);
  for (int32_t i = 0; i < items.Count(); ++i) {
    CertStoreHandle handle;
    core::Buffer error_text;
    rc = LoadCertificateFromInput(handle, items.Item(i), items.ItemLength(i), true, "", nullptr, nullptr, nullptr,
                                  &error_text);
    if (rc != 0) {
      if (skip_failures) continue;
      return FailWithText(component_, rc, error_text);
    }
    CertificatePointers collected;
    if ((rc = handle.CollectCertificates(collected)) != 0) return component_.ReportOutOfMemory(rc);
    for (int32_t k = 0; k < collected.Count(); ++k) {
      Certificate* added = nullptr;
      if ((rc = AddToPool(*collected.Get(k), &added)) != 0 ||
          (rc = trusted_.InsertAt(trusted_.Count(), added)) != 0) {
        return component_.ReportOutOfMemory(rc);
      }
    }
  }
  return 0;
}

// IsTrusted: the names and serial alone would let anyone who copies a trusted certificate's texts onto a
// key of their own stand in for it, so the SubjectPublicKeyInfo must be the trusted one's too. Each link
// was signature-checked as the chain was built, so that key vouches for the chain below it.
bool OwnChain::IsTrusted(const Certificate& link) const {
  if (link.tbs.spkiDer.IsEmpty()) return false;
  for (int32_t i = 0; i < trusted_.Count(); ++i) {
    const Certificate* anchor = trusted_.Get(i);
    if (anchor != nullptr && SameBytes(link.tbs.subject, anchor->tbs.subject) &&
        SameBytes(link.tbs.issuer, anchor->tbs.issuer) && SameBytes(link.tbs.serialHex, anchor->tbs.serialHex) &&
        SameBytes(link.tbs.spkiDer, anchor->tbs.spkiDer)) {
      return true;
    }
  }
  return false;
}

int OwnChain::Build(ChainValidatorArray& out, uint32_t* status, uint32_t options) {
  const Certificate* start = SelectedCertificateOf(component_);
  if (start == nullptr) return Fail(component_, kNoSubjectMatch, kNoCertificateText);
  int rc = pki::BuildIssuerChain(*start, pool_, chain_);
  if (rc != 0) return Fail(component_, rc, kNoChainText);
  const int32_t count = chain_.Count();
  uint32_t result = kChainUntrustedRoot;
  for (int32_t i = 0; i < count; ++i) {
    const Certificate& link = *chain_.Get(i);
    if (pki::CheckValidityWindow(link.tbs.notBefore.Data(), link.tbs.notAfter.Data()) != 0) {
      result |= kChainNotTimeValid;
    }
  }
  for (int32_t i = count - 1; i >= 0; --i) {
    if (IsTrusted(*chain_.Get(i))) {
      result = 0;
      break;
    }
  }
  result = ApplyOptions(result, options, chain_.Get(count - 1));
  if (status != nullptr) *status = result;
  if ((rc = Resize(component_, out, count)) != 0) return rc;
  for (int32_t i = 0; i < count; ++i) {
    core::Buffer der;
    if ((rc = DerOf(*chain_.Get(i), der)) != 0) return component_.ReportOutOfMemory(rc);
    if ((rc = LoadEntry(component_, out, i, der.Data(), der.Length())) != 0) return rc;
  }
  return (result & kChainUntrustedRoot) != 0 ? CompleteFromPlatform(out, status) : 0;
}

// CompleteFromPlatform asks the platform for the chain of the last certificate; a clean chain of more than
// that certificate supplies the rest of the chain and its trust. Anything short of that changes nothing.
int OwnChain::CompleteFromPlatform(ChainValidatorArray& out, uint32_t* status) {
  CertKeyComponent last;
  core::Buffer der;
  if (DerOf(*chain_.Get(chain_.Count() - 1), der) != 0 ||
      SetCertificateEncoded(last, reinterpret_cast<const uint8_t*>(der.Data()), der.Length()) != 0) {
    return 0;
  }
  core::StrList chain;
  uint32_t error_status = 0;
  if (GetCertificateChain(last, chain, &error_status, nullptr) != 0 || error_status != 0 || chain.Count() < 2) {
    return 0;
  }
  const int32_t first = out.Count();
  int rc = out.SetCount(first + chain.Count() - 1);
  if (rc != 0) return component_.ReportOutOfMemory(rc);
  for (int32_t i = 1; i < chain.Count(); ++i) {
    if ((rc = LoadEntry(component_, out, first + i - 1, chain.Item(i), chain.ItemLength(i))) != 0) return rc;
  }
  if (status != nullptr) *status &= ~kChainUntrustedRoot;
  return 0;
}

}  // namespace

int CheckChainAgainstThumbprints(CertKeyComponent& component, ChainValidatorArray& out, uint32_t* status,
                                 uint32_t options, const char* certificates, const char* trusted,
                                 const char* more_trusted, const char* excluded) {
  if (IsEmptyText(certificates) && IsEmptyText(trusted)) {
    bool built = false;
    const int rc = PlatformChain(component, out, status, options, &built);
    if (built) return rc;
  }
  OwnChain own(component);
  int rc = own.AddCandidates(certificates, excluded);
  if (rc == 0) rc = own.AddTrusted(trusted, false);
  if (rc == 0) rc = own.AddTrusted(more_trusted, true);
  return rc != 0 ? rc : own.Build(out, status, options);
}

}  // namespace velmora::keystore
