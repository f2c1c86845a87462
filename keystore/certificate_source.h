// Where one loaded certificate and key live (CertificateSource: a bare certificate, a PKCS #12 container,
// a bare key, a PKCS #7 bundle or one of three certificate-and-key composites), the list of such records
// that one opened store is (CertStoreHandle), and the selection of an entry by subject, thumbprint or
// encoding. Selection picks a certificate; it never vouches for it.
//
// Lookups return null (or false, or -1) rather than failing; operations that change something return 0,
// 200 when memory runs out, or the code of the reader below them; 272 means no certificate matches the
// subject. One thread at a time per record.
#pragma once

#include <cstdint>
#include <memory>

#include "component/cert_store_records.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "core/str_list.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_composites.h"
#include "pki/certificate.h"
#include "pki/pfx.h"
#include "pki/pkcs7.h"

namespace velmora::keystore {

using crypto::KeyRecord;
using pki::Certificate;
using pki::CertificateWithKey;
using pki::KeyCertificatePair;
using pki::KeyWithCertificates;
using pki::Pfx;
using pki::RecordPtr;
using pki::SignedDataEntry;

// kNoSubjectMatch: no certificate of the store matches the wanted subject.
inline constexpr int kNoSubjectMatch = 272;

// CertificatePointers holds certificates that something else owns: adding one stores the pointer and
// clearing destroys nothing.
struct NonOwningCertificates {
  static Certificate* Copy(Certificate* certificate) { return certificate; }
  static void Destroy(Certificate*) {}
};
using CertificatePointers = core::PtrArray<Certificate, NonOwningCertificates>;

// CertificateSource owns at most one object of each kind below; normally exactly one is set. Copies
// are deep.
class CertificateSource {
 public:
  CertificateSource() = default;
  virtual ~CertificateSource();
  CertificateSource(const CertificateSource&) = delete;
  CertificateSource& operator=(const CertificateSource&) = delete;

  // Reset destroys every owner; returns 0.
  int Reset();
  // CopyFrom resets this record, then copies each owner set in source, in member order; the first
  // failing code ends the copy and the owners copied before it stay.
  [[nodiscard]] int CopyFrom(const CertificateSource& source);
  // Clone returns a new record filled by CopyFrom, even when the copy failed part way; null when the
  // record cannot be allocated.
  static RecordPtr<CertificateSource> Clone(const CertificateSource& source);

  // GetKeyInfo returns the key: a bare key, the Pfx's current key, the public key of the certificate (or
  // of the bundle's selected certificate), or a composite's key; null when there is none.
  KeyRecord* GetKeyInfo();
  // GetCertificate returns the certificate; null for a bare key (whatever else is set), for a bundle
  // whose selected index is not below its certificate count, and for an empty chain.
  Certificate* GetCertificate();

  bool HasPfx() const { return pfx != nullptr; }
  bool HasCertificateWithKey() const { return certificateWithKey != nullptr; }
  bool HasKeyCertificatePair() const { return keyCertificatePair != nullptr; }

  // The setters reset the record and store a clone of the given object as its owner of that kind; 200
  // when the clone cannot be made.
  [[nodiscard]] int SetCertificate(const Certificate& value);
  [[nodiscard]] int SetPfx(const Pfx& value);
  [[nodiscard]] int SetKey(const KeyRecord& value);
  [[nodiscard]] int SetSignedData(const SignedDataEntry& value);
  [[nodiscard]] int SetCertificateWithKey(const CertificateWithKey& value);
  [[nodiscard]] int SetKeyWithCertificates(const KeyWithCertificates& value);
  [[nodiscard]] int SetKeyCertificatePair(const KeyCertificatePair& value);

  RecordPtr<Certificate> certificate;
  std::unique_ptr<Pfx> pfx;
  RecordPtr<KeyRecord> key;
  RecordPtr<SignedDataEntry> signedData;
  RecordPtr<CertificateWithKey> certificateWithKey;
  RecordPtr<KeyWithCertificates> keyWithCertificates;
  RecordPtr<KeyCertificatePair> keyCertificatePair;
};

// CurrentKey returns the key of the Pfx's current certificate: the key whose localKeyId equals the
// certificate's, else key i for current index i, else the current certificate's public key; null when
// there is none.
KeyRecord* CurrentKey(Pfx& pfx);

// CertStoreHandle is one opened certificate store: the component's record (kind, selected index,
// detected kind, subject, store data, file name, password), the loaded entries and a key. A component
// owns one through component::CertStoreContents.
class CertStoreHandle : public component::CertStoreContents {
 public:
  CertStoreHandle() = default;
  ~CertStoreHandle() override;

  component::CertStoreContents* CloneContents() const override;

  // The selected entry is the one at record.selected_index when that is inside the list, else entry 0,
  // else none; accessors never change the index.
  CertificateSource* SelectedEntry() const;
  Certificate* SelectedCertificate() const;
  KeyRecord* SelectedKeyInfo() const;
  // SelectedCertificateDer sets out to the selected certificate's stored DER, or to a fresh encoding
  // when it has none (out cleared when that fails); out cleared and 0 without a certificate.
  [[nodiscard]] int SelectedCertificateDer(core::BufferCore& out) const;
  // SelectedHasPrivateKey: the selected key (RSA, DSA, EC, Edwards) holds its private part.
  bool SelectedHasPrivateKey() const;
  bool SelectedHasCertificateObject() const;
  bool SelectedHasPfx() const;
  bool SelectedHasSignedData() const;
  bool SelectedHasCertificateWithKey() const;
  bool SelectedHasKeyWithCertificates() const;
  SignedDataEntry* SelectedSignedDataEntry() const;
  KeyWithCertificates* SelectedKeyWithCertificates() const;

  // CollectCertificates replaces out with the certificates of every entry in order, not copied (valid
  // while the entries stay): all of a Pfx, of a bundle and of a chain, a bare certificate, the
  // certificate of a pair, and that of a certificate-with-key when its DER is not empty. 0 or 200.
  [[nodiscard]] int CollectCertificates(CertificatePointers& out) const;

  // The Add operations append an entry owning a copy of value; 0 or 200.
  [[nodiscard]] int AddCertificate(const Certificate& value);
  [[nodiscard]] int AddPfx(const Pfx& value);
  [[nodiscard]] int AddKey(const KeyRecord& value);
  [[nodiscard]] int AddSignedData(const SignedDataEntry& value);
  [[nodiscard]] int AddCertificateWithKey(const CertificateWithKey& value);
  [[nodiscard]] int AddKeyWithCertificates(const KeyWithCertificates& value);

  // FindEncoded selects the certificate whose stored DER equals length bytes of der: inside the container
  // of a single Pfx or bundle entry (0 when found), else the first such entry (its index). -1 for none.
  int FindEncoded(const uint8_t* der, int32_t length);
  // SelectBySubject stores subject (null as "") and selects by it: "*" or "" takes entry 0 (in a list of
  // several, the first with a subject); a single Pfx or bundle is searched inside. 0; 272 when nothing
  // matches (the selected index then -1); 200.
  [[nodiscard]] int SelectBySubject(const char* subject);
  // PairKeysWithCertificates replaces each certificate entry whose public key matches a loaded private
  // key by a pair of copies of both, and moves those entries to the front in the order found, the others
  // after them in their order. *found is true when a pair was made. 0, or the first failing code.
  [[nodiscard]] int PairKeysWithCertificates(bool* found);

  component::CertStoreHandle record;
  core::PtrArray<CertificateSource> entries;
  KeyRecord key;
};

// FindSubjectInList returns the index of the item of texts that matches wanted, or -1. Items are visited
// in order, empty ones skipped. A full match ends the search: wanted null, "" or "*"; equal ignoring
// ASCII case; equal canonical names. Otherwise the first partial match wins: a wanted text without "="
// equal (ASCII case ignored) to one whole attribute value of the item, or one whose every attribute
// pair is in the item. A partial match is never a substring match.
int FindSubjectInList(const core::StrList& texts, const char* wanted);
// SubjectMatchesPartially is the partial rule of FindSubjectInList for one subject text (also used by
// the system-store search).
bool SubjectMatchesPartially(const char* subject, const char* wanted);
// FindByThumbprint selects, among count certificates, the first whose thumbprint is the hex digits after
// "thumbprint=" in text (blanks and tabs dropped, case ignored); its index, or -1 without the prefix or
// a match. The Pfx and bundle forms make that certificate current.
int FindByThumbprint(Pfx& pfx, const char* text);
int FindByThumbprint(SignedDataEntry& entry, const char* text);

}  // namespace velmora::keystore
