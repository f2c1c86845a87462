#include "keystore/certificate_source.h"

#include <cstring>
#include <new>
#include <vector>

#include "pki/certificate_codec.h"
#include "pki/certificate_thumbprint.h"
#include "pki/distinguished_name.h"

namespace velmora::keystore {

namespace {

template <typename T>
int StoreClone(RecordPtr<T>& owner, const T& value) {
  owner = pki::Clone(value);
  return owner == nullptr ? core::kOutOfMemory : core::kOk;
}

// CopyOwner gives target an empty owner of source's kind and copies source into it; 0 when source has
// none.
template <typename T, typename Copy>
int CopyOwner(RecordPtr<T>& target, const RecordPtr<T>& source, Copy copy) {
  if (source == nullptr) return core::kOk;
  target.reset(core::PtrArrayTraits<T>::Create());
  return target == nullptr ? core::kOutOfMemory : copy(*target, *source);
}

Certificate* BundleCertificate(SignedDataEntry& entry) {
  pki::CertificateChoice* choice = entry.signedData.certificates.Get(entry.selectedIndex);
  return choice == nullptr ? nullptr : &choice->certificate;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const char* a, int32_t a_length, const char* b, int32_t b_length) {
  if (a_length != b_length) return false;
  for (int32_t i = 0; i < a_length; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool EqualNoCase(const char* a, const char* b) {
  return EqualNoCase(a, static_cast<int32_t>(std::strlen(a)), b, static_cast<int32_t>(std::strlen(b)));
}

// The certificates of one container, for the searches that work on a Pfx and on a bundle alike.
struct Container {
  int32_t count;
  Certificate* (*at)(void* owner, int32_t index);
  void* owner;
  int32_t* current;
};

Certificate* PfxAt(void* owner, int32_t index) { return static_cast<Pfx*>(owner)->certificates.Get(index); }
Certificate* BundleAt(void* owner, int32_t index) {
  pki::CertificateChoice* choice = static_cast<SignedDataEntry*>(owner)->signedData.certificates.Get(index);
  return choice == nullptr ? nullptr : &choice->certificate;
}
Container Of(Pfx& pfx) { return {pfx.certificates.Count(), PfxAt, &pfx, &pfx.currentIndex}; }
Container Of(SignedDataEntry& entry) {
  return {entry.signedData.certificates.Count(), BundleAt, &entry, &entry.selectedIndex};
}

int ThumbprintIn(const Container& container, const char* text) {
  core::Buffer wanted;
  for (const char* p = text == nullptr ? "" : text; *p != '\0'; ++p) {
    if (*p != ' ' && *p != '\t' && wanted.AppendByte(static_cast<uint8_t>(LowerAscii(*p))) != core::kOk) return -1;
  }
  constexpr char kPrefix[] = "thumbprint=";
  if (!core::BufferStartsWith(wanted, kPrefix)) return -1;
  const char* hex = wanted.Data() + sizeof kPrefix - 1;
  for (int32_t i = 0; i < container.count; ++i) {
    Certificate* certificate = container.at(container.owner, i);
    if (certificate != nullptr && pki::ThumbprintEquals(*certificate, hex)) {
      *container.current = i;
      return i;
    }
  }
  return -1;
}

// SelectInContainer is the subject selection inside one Pfx or bundle: a thumbprint text first, else
// the subject search; the current index becomes the result, or 0 without one.
int SelectInContainer(const Container& container, const char* text) {
  core::Buffer probe;
  if (probe.SetString(text) != core::kOk) return -1;
  if (probe.Contains("=") && probe.FindNoCase("thumbprint", 0) >= 0) {
    if (const int32_t found = ThumbprintIn(container, text); found >= 0) return found;
  }
  core::StrList subjects;
  for (int32_t i = 0; i < container.count; ++i) {
    Certificate* certificate = container.at(container.owner, i);
    if (subjects.AddCString(certificate != nullptr ? certificate->tbs.subject.Data() : "") != core::kOk) return -1;
  }
  const int32_t found = FindSubjectInList(subjects, text);
  *container.current = found < 0 ? 0 : found;
  return found;
}

// SelectSingle runs the container selection of a one-entry list and stores the chosen subject.
int SelectSingle(CertificateSource& entry, core::BufferCore& subject, const char* wanted) {
  if (entry.pfx != nullptr) {
    if (SelectInContainer(Of(*entry.pfx), wanted) < 0) return kNoSubjectMatch;
    Certificate* current = entry.pfx->GetCurrentCertificate();
    if (current != nullptr && subject.Assign(current->tbs.subject) != core::kOk) return core::kOutOfMemory;
  }
  if (entry.signedData != nullptr) {
    if (SelectInContainer(Of(*entry.signedData), wanted) < 0) return kNoSubjectMatch;
    Certificate* current = BundleCertificate(*entry.signedData);
    if (current != nullptr && subject.Assign(current->tbs.subject) != core::kOk) return core::kOutOfMemory;
  }
  return core::kOk;
}

int FindDerIn(const Container& container, const uint8_t* der, int32_t length) {
  for (int32_t i = 0; i < container.count; ++i) {
    Certificate* certificate = container.at(container.owner, i);
    if (certificate != nullptr && certificate->der.EqualsBytes(der, length)) {
      *container.current = i;
      return 0;
    }
  }
  return -1;
}

}  // namespace

// ---- CertificateSource --------------------------------------------------------------------------------

CertificateSource::~CertificateSource() { (void)Reset(); }

int CertificateSource::Reset() {
  certificate.reset();
  pfx.reset();
  key.reset();
  signedData.reset();
  certificateWithKey.reset();
  keyWithCertificates.reset();
  keyCertificatePair.reset();
  return core::kOk;
}

int CertificateSource::CopyFrom(const CertificateSource& source) {
  if (&source == this) return core::kOk;
  (void)Reset();
  auto copy = [](auto& target, const auto& from) { return pki::CopyRecord(target, from); };
  int rc = CopyOwner(certificate, source.certificate, copy);
  if (rc == core::kOk && source.pfx != nullptr) {
    pfx.reset(new (std::nothrow) Pfx());
    rc = pfx == nullptr ? core::kOutOfMemory : Pfx::Copy(*pfx, *source.pfx);
  }
  if (rc == core::kOk) rc = CopyOwner(key, source.key, copy);
  if (rc == core::kOk) {
    rc = CopyOwner(signedData, source.signedData, [](SignedDataEntry& target, const SignedDataEntry& from) {
      target.selectedIndex = from.selectedIndex;
      const int code = target.bytes.Assign(from.bytes);
      return code != core::kOk ? code : pki::SignedData::Copy(target.signedData, from.signedData);
    });
  }
  if (rc == core::kOk) rc = CopyOwner(certificateWithKey, source.certificateWithKey, copy);
  if (rc == core::kOk) rc = CopyOwner(keyWithCertificates, source.keyWithCertificates, copy);
  if (rc == core::kOk) rc = CopyOwner(keyCertificatePair, source.keyCertificatePair, copy);
  return rc;
}

RecordPtr<CertificateSource> CertificateSource::Clone(const CertificateSource& source) {
  RecordPtr<CertificateSource> record(core::PtrArrayTraits<CertificateSource>::Create());
  if (record != nullptr) (void)record->CopyFrom(source);
  return record;
}

KeyRecord* CertificateSource::GetKeyInfo() {
  if (key != nullptr) return key.get();
  if (pfx != nullptr) return CurrentKey(*pfx);
  if (certificate != nullptr) return &certificate->tbs.publicKey.key;
  if (signedData != nullptr) {
    Certificate* selected = BundleCertificate(*signedData);
    return selected == nullptr ? nullptr : &selected->tbs.publicKey.key;
  }
  if (certificateWithKey != nullptr) return &certificateWithKey->key;
  if (keyWithCertificates != nullptr) return &keyWithCertificates->key;
  if (keyCertificatePair != nullptr) return &keyCertificatePair->key;
  return nullptr;
}

Certificate* CertificateSource::GetCertificate() {
  if (key != nullptr) return nullptr;
  if (pfx != nullptr) return pfx->GetCurrentCertificate();
  if (certificate != nullptr) return certificate.get();
  if (signedData != nullptr) return BundleCertificate(*signedData);
  if (certificateWithKey != nullptr) return &certificateWithKey->certificate;
  if (keyWithCertificates != nullptr) return keyWithCertificates->FirstCertificate();
  if (keyCertificatePair != nullptr) return &keyCertificatePair->certificate;
  return nullptr;
}

int CertificateSource::SetCertificate(const Certificate& value) {
  (void)Reset();
  return StoreClone(certificate, value);
}

int CertificateSource::SetPfx(const Pfx& value) {
  (void)Reset();
  pfx.reset(Pfx::Clone(value));
  return pfx == nullptr ? core::kOutOfMemory : core::kOk;
}

int CertificateSource::SetKey(const KeyRecord& value) {
  (void)Reset();
  return StoreClone(key, value);
}

int CertificateSource::SetSignedData(const SignedDataEntry& value) {
  (void)Reset();
  signedData = SignedDataEntry::Clone(value);
  return signedData == nullptr ? core::kOutOfMemory : core::kOk;
}

int CertificateSource::SetCertificateWithKey(const CertificateWithKey& value) {
  (void)Reset();
  return StoreClone(certificateWithKey, value);
}

int CertificateSource::SetKeyWithCertificates(const KeyWithCertificates& value) {
  (void)Reset();
  return StoreClone(keyWithCertificates, value);
}

int CertificateSource::SetKeyCertificatePair(const KeyCertificatePair& value) {
  (void)Reset();
  return StoreClone(keyCertificatePair, value);
}

KeyRecord* CurrentKey(Pfx& pfx) {
  const int32_t i = pfx.currentIndex;
  if (i >= 0 && i < pfx.localKeyIds.Count() && pfx.localKeyIds.ItemLength(i) > 0 && pfx.shroudedKeyIds.Count() > 0) {
    for (int32_t k = 0; k < pfx.shroudedKeyIds.Count() && k < pfx.keys.Count(); ++k) {
      if (pfx.shroudedKeyIds.ItemLength(k) == pfx.localKeyIds.ItemLength(i) &&
          std::memcmp(pfx.shroudedKeyIds.Item(k), pfx.localKeyIds.Item(i), pfx.localKeyIds.ItemLength(i)) == 0) {
        crypto::KeyEntry* entry = pfx.keys.Get(k);
        return entry == nullptr ? nullptr : &entry->Key;
      }
    }
  }
  if (i >= 0 && i < pfx.keys.Count()) {
    crypto::KeyEntry* entry = pfx.keys.Get(i);
    return entry == nullptr ? nullptr : &entry->Key;
  }
  Certificate* current = pfx.GetCurrentCertificate();
  return current == nullptr ? nullptr : &current->tbs.publicKey.key;
}

// ---- CertStoreHandle ----------------------------------------------------------------------------------

CertStoreHandle::~CertStoreHandle() {
  record.Reset();
  (void)entries.Clear();
}

component::CertStoreContents* CertStoreHandle::CloneContents() const {
  auto* copy = new (std::nothrow) CertStoreHandle();
  if (copy == nullptr) return nullptr;
  int rc = copy->record.CopyFrom(record);
  if (rc == core::kOk) rc = pki::CopyRecord(copy->key, key);
  for (int32_t i = 0; rc == core::kOk && i < entries.Count(); ++i) {
    CertificateSource* entry = pki::AddNew(copy->entries);
    if (entry == nullptr) rc = core::kOutOfMemory;
    if (rc == core::kOk && entries.Get(i) != nullptr) rc = entry->CopyFrom(*entries.Get(i));
  }
  if (rc != core::kOk) {
    delete copy;
    return nullptr;
  }
  return copy;
}

CertificateSource* CertStoreHandle::SelectedEntry() const {
  const int32_t index = record.selected_index;
  if (index >= 0 && index < entries.Count()) return entries.Get(index);
  return entries.Get(0);
}

Certificate* CertStoreHandle::SelectedCertificate() const {
  CertificateSource* entry = SelectedEntry();
  return entry == nullptr ? nullptr : entry->GetCertificate();
}

KeyRecord* CertStoreHandle::SelectedKeyInfo() const {
  CertificateSource* entry = SelectedEntry();
  return entry == nullptr ? nullptr : entry->GetKeyInfo();
}

int CertStoreHandle::SelectedCertificateDer(core::BufferCore& out) const {
  Certificate* certificate = SelectedCertificate();
  if (certificate == nullptr) return out.Clear();
  if (certificate->der.Length() > 0) return out.Assign(certificate->der);
  pki::DerWriter writer;
  const int rc = pki::EncodeCertificate(*certificate, writer);
  if (rc != core::kOk) {
    out.Clear();
    return rc;
  }
  return out.Assign(writer);
}

bool CertStoreHandle::SelectedHasPrivateKey() const {
  const KeyRecord* selected = SelectedKeyInfo();
  return selected != nullptr && selected->HasPrivatePart();
}

bool CertStoreHandle::SelectedHasCertificateObject() const {
  const CertificateSource* entry = SelectedEntry();
  return entry != nullptr && entry->certificate != nullptr;
}

bool CertStoreHandle::SelectedHasPfx() const {
  const CertificateSource* entry = SelectedEntry();
  return entry != nullptr && entry->pfx != nullptr;
}

bool CertStoreHandle::SelectedHasSignedData() const {
  const CertificateSource* entry = SelectedEntry();
  return entry != nullptr && entry->signedData != nullptr;
}

bool CertStoreHandle::SelectedHasCertificateWithKey() const {
  const CertificateSource* entry = SelectedEntry();
  return entry != nullptr && entry->certificateWithKey != nullptr;
}

bool CertStoreHandle::SelectedHasKeyWithCertificates() const {
  const CertificateSource* entry = SelectedEntry();
  return entry != nullptr && entry->keyWithCertificates != nullptr;
}

SignedDataEntry* CertStoreHandle::SelectedSignedDataEntry() const {
  CertificateSource* entry = SelectedEntry();
  return entry == nullptr ? nullptr : entry->signedData.get();
}

KeyWithCertificates* CertStoreHandle::SelectedKeyWithCertificates() const {
  CertificateSource* entry = SelectedEntry();
  return entry == nullptr ? nullptr : entry->keyWithCertificates.get();
}

int CertStoreHandle::CollectCertificates(CertificatePointers& out) const {
  (void)out.Clear();
  auto add = [&out](Certificate* certificate) {
    return certificate == nullptr ? core::kOk : out.InsertAt(out.Count(), certificate);
  };
  int rc = core::kOk;
  for (int32_t i = 0; rc == core::kOk && i < entries.Count(); ++i) {
    CertificateSource* entry = entries.Get(i);
    if (entry == nullptr) continue;
    if (entry->pfx != nullptr) {
      for (int32_t c = 0; rc == core::kOk && c < entry->pfx->certificates.Count(); ++c) rc = add(entry->pfx->certificates.Get(c));
    }
    if (entry->signedData != nullptr) {
      for (int32_t c = 0; rc == core::kOk && c < entry->signedData->signedData.certificates.Count(); ++c) {
        rc = add(BundleAt(entry->signedData.get(), c));
      }
    }
    if (rc == core::kOk) rc = add(entry->certificate.get());
    if (rc == core::kOk && entry->certificateWithKey != nullptr && entry->certificateWithKey->certificate.der.Length() > 0) {
      rc = add(&entry->certificateWithKey->certificate);
    }
    if (entry->keyWithCertificates != nullptr) {
      const pki::CertificateList& chain = entry->keyWithCertificates->certificates;
      for (int32_t c = 0; rc == core::kOk && c < chain.Count(); ++c) rc = add(chain.Get(c));
    }
    if (rc == core::kOk && entry->keyCertificatePair != nullptr) rc = add(&entry->keyCertificatePair->certificate);
  }
  return rc;
}

namespace {

// AddEntry appends an entry and lets set fill it; the entry is removed again when that fails.
template <typename Set>
int AddEntry(core::PtrArray<CertificateSource>& entries, Set set) {
  CertificateSource* entry = pki::AddNew(entries);
  if (entry == nullptr) return core::kOutOfMemory;
  const int rc = set(*entry);
  if (rc != core::kOk) (void)entries.RemoveAt(entries.Count() - 1);
  return rc;
}

}  // namespace

int CertStoreHandle::AddCertificate(const Certificate& value) {
  return AddEntry(entries, [&value](CertificateSource& entry) { return entry.SetCertificate(value); });
}
int CertStoreHandle::AddPfx(const Pfx& value) {
  return AddEntry(entries, [&value](CertificateSource& entry) { return entry.SetPfx(value); });
}
int CertStoreHandle::AddKey(const KeyRecord& value) {
  return AddEntry(entries, [&value](CertificateSource& entry) { return entry.SetKey(value); });
}
int CertStoreHandle::AddSignedData(const SignedDataEntry& value) {
  return AddEntry(entries, [&value](CertificateSource& entry) { return entry.SetSignedData(value); });
}
int CertStoreHandle::AddCertificateWithKey(const CertificateWithKey& value) {
  return AddEntry(entries, [&value](CertificateSource& entry) { return entry.SetCertificateWithKey(value); });
}
int CertStoreHandle::AddKeyWithCertificates(const KeyWithCertificates& value) {
  return AddEntry(entries, [&value](CertificateSource& entry) { return entry.SetKeyWithCertificates(value); });
}

int CertStoreHandle::FindEncoded(const uint8_t* der, int32_t length) {
  if (der == nullptr || length <= 0) return -1;
  if (entries.Count() == 1 && entries.Get(0) != nullptr) {
    CertificateSource& only = *entries.Get(0);
    if (only.pfx != nullptr) return FindDerIn(Of(*only.pfx), der, length);
    if (only.signedData != nullptr) return FindDerIn(Of(*only.signedData), der, length);
  }
  for (int32_t i = 0; i < entries.Count(); ++i) {
    Certificate* certificate = entries.Get(i) != nullptr ? entries.Get(i)->GetCertificate() : nullptr;
    if (certificate != nullptr && certificate->der.EqualsBytes(der, length)) {
      record.selected_index = i;
      return i;
    }
  }
  return -1;
}

int CertStoreHandle::SelectBySubject(const char* subject) {
  if (record.subject.SetString(subject != nullptr ? subject : "") != core::kOk) return core::kOutOfMemory;
  const int32_t count = entries.Count();
  if (count == 0) return core::kOk;
  core::Buffer wanted;
  if (wanted.Assign(record.subject) != core::kOk) return core::kOutOfMemory;
  const bool any = wanted.Length() == 0 || wanted.EqualsNoCase("*");
  if (any) {
    record.selected_index = 0;
    Certificate* first = entries.Get(0) != nullptr ? entries.Get(0)->GetCertificate() : nullptr;
    if (first != nullptr && record.subject.Assign(first->tbs.subject) != core::kOk) return core::kOutOfMemory;
  }
  if (count == 1) return entries.Get(0) == nullptr ? core::kOk : SelectSingle(*entries.Get(0), record.subject, wanted.Data());
  core::StrList subjects;
  bool any_certificate = false;
  for (int32_t i = 0; i < count; ++i) {
    Certificate* certificate = entries.Get(i) != nullptr ? entries.Get(i)->GetCertificate() : nullptr;
    any_certificate = any_certificate || certificate != nullptr;
    if (subjects.AddCString(certificate != nullptr ? certificate->tbs.subject.Data() : "") != core::kOk) {
      return core::kOutOfMemory;
    }
  }
  if (!any_certificate && wanted.EqualsNoCase("*")) return core::kOk;
  record.selected_index = FindSubjectInList(subjects, wanted.Data());
  if (record.selected_index < 0) return kNoSubjectMatch;
  Certificate* selected = SelectedCertificate();
  if (selected != nullptr && record.subject.Assign(selected->tbs.subject) != core::kOk) return core::kOutOfMemory;
  return core::kOk;
}

int CertStoreHandle::PairKeysWithCertificates(bool* found) {
  if (found != nullptr) *found = false;
  const int32_t count = entries.Count();
  try {
    std::vector<int32_t> paired;
    std::vector<bool> taken(static_cast<size_t>(count), false);
    for (int32_t k = 0; k < count; ++k) {
      CertificateSource* key_entry = entries.Get(k);
      if (key_entry == nullptr || key_entry->key == nullptr || !key_entry->key->HasPrivatePart()) continue;
      KeyRecord public_key;
      if (const int rc = key_entry->key->GetPublicKey(public_key); rc != core::kOk) return rc;
      for (int32_t c = 0; c < count; ++c) {
        CertificateSource* cert_entry = entries.Get(c);
        if (taken[c] || cert_entry == nullptr || cert_entry->certificate == nullptr) continue;
        KeyRecord certificate_key;
        if (const int rc = pki::CopyRecord(certificate_key, cert_entry->certificate->tbs.publicKey.key); rc != core::kOk) {
          return rc;
        }
        if (!certificate_key.Equals(public_key)) continue;
        KeyCertificatePair pair;
        int rc = pki::CopyRecord(pair.key, *key_entry->key);
        if (rc == core::kOk) rc = pki::CopyRecord(pair.certificate, *cert_entry->certificate);
        if (rc == core::kOk) rc = cert_entry->SetKeyCertificatePair(pair);
        if (rc != core::kOk) return rc;
        taken[c] = true;
        paired.push_back(c);
      }
    }
    std::vector<int32_t> order(paired);
    for (int32_t i = 0; i < count; ++i) {
      if (!taken[i]) order.push_back(i);
    }
    if (const int rc = entries.Reorder(order.data()); rc != core::kOk) return rc;
    if (found != nullptr) *found = !paired.empty();
  } catch (const std::bad_alloc&) {
    return core::kOutOfMemory;
  }
  return core::kOk;
}

// ---- Subject and thumbprint search --------------------------------------------------------------------

bool SubjectMatchesPartially(const char* subject, const char* wanted) {
  if (subject == nullptr || wanted == nullptr) return false;
  core::StrList have;
  if (pki::DnTextToPairList(subject, have) != core::kOk) return false;
  core::Buffer text;
  if (text.SetString(wanted) != core::kOk || text.TrimWhitespace() != core::kOk || text.Length() == 0) return false;
  if (!text.Contains("=")) {
    for (int32_t i = 1; i < have.Count(); i += 2) {
      if (EqualNoCase(have.Item(i), have.ItemLength(i), text.Data(), text.Length())) return true;
    }
    return false;
  }
  core::StrList want;
  if (pki::DnTextToPairList(text.Data(), want) != core::kOk || want.Count() < 2) return false;
  for (int32_t w = 0; w + 1 < want.Count(); w += 2) {
    bool present = false;
    for (int32_t h = 0; h + 1 < have.Count() && !present; h += 2) {
      present = EqualNoCase(have.Item(h), have.ItemLength(h), want.Item(w), want.ItemLength(w)) &&
                EqualNoCase(have.Item(h + 1), have.ItemLength(h + 1), want.Item(w + 1), want.ItemLength(w + 1));
    }
    if (!present) return false;
  }
  return true;
}

int FindSubjectInList(const core::StrList& texts, const char* wanted) {
  if (texts.Count() == 0) return -1;
  const bool any = wanted == nullptr || *wanted == '\0' || std::strcmp(wanted, "*") == 0;
  core::Buffer canonical;
  bool parsed = false;
  if (!any) (void)pki::ParseDistinguishedName(wanted, canonical, &parsed);
  int32_t partial = -1;
  for (int32_t i = 0; i < texts.Count(); ++i) {
    const char* item = texts.Item(i);
    if (item == nullptr || *item == '\0') continue;
    if (any || EqualNoCase(item, wanted)) return i;
    core::Buffer item_canonical;
    bool item_parsed = false;
    (void)pki::ParseDistinguishedName(item, item_canonical, &item_parsed);
    if (parsed && item_parsed && EqualNoCase(item_canonical.Data(), canonical.Data())) return i;
    if (partial < 0 && SubjectMatchesPartially(item, wanted)) partial = i;
  }
  return partial;
}

int FindByThumbprint(Pfx& pfx, const char* text) { return ThumbprintIn(Of(pfx), text); }
int FindByThumbprint(SignedDataEntry& entry, const char* text) { return ThumbprintIn(Of(entry), text); }

}  // namespace velmora::keystore
