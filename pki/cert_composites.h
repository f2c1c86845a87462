// The records that carry certificates together with other things: the PKCS #6 extended certificate and
// its codec, the choice of an element of a certificate set, a certificate with its private key, a key
// with its chain, a key paired with its certificate; and the deep copies and clones of these and of the
// records they hold, with the list operations every list of owned records uses.
//
// Every record owns its members. A copy overwrites the target's members in order and stops at the first
// member that cannot be copied, returning its code (200) and keeping the members copied so far. A clone
// is a new record made in the platform allocator and filled by the copy; null when either fails. One
// thread at a time per record.
#pragma once

#include <cstdint>
#include <memory>

#include "asn1/algorithm_identifier.h"
#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "core/str_list.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_extensions.h"
#include "pki/certificate.h"

namespace velmora::pki {

using crypto::KeyEntry;
using crypto::KeyRecord;

using CertificateList = core::PtrArray<Certificate>;

// ExtendedCertificate: a PKCS #6 ExtendedCertificate. Each attribute is held as an extension record:
// oid the attribute type, critical 0, value the complete SET of values. signature is the BIT STRING
// content without its unused-bits byte.
struct ExtendedCertificate {
  int32_t version = 0;
  Certificate certificate;
  CertExtensionList attributes;
  AlgorithmIdentifier signatureAlgorithm;
  core::Buffer signature;

  // Decode fills the record from the DER of an ExtendedCertificate: the certificate as ParseCertificate
  // reads it, the attribute list replaced by the attributes read, the signature algorithm's OID with
  // its parameters element as it stands. 0; 447 for a malformed outer element or an element of fewer
  // than three items; 446 for a malformed inner item; the certificate reader's codes; 200. The fields
  // read before a failure keep their values.
  [[nodiscard]] int Decode(const uint8_t* bytes, int32_t length);
  // EncodeInfo appends the ExtendedCertificateInfo: version, certificate, the SET of attributes (31 00
  // when there are none). 0 or the first writer, encoder or Buffer code; the writer then holds a partial
  // encoding.
  [[nodiscard]] int EncodeInfo(DerWriter& writer);
  // Encode appends SEQUENCE { info, signature algorithm with parameters, BIT STRING signature }; the
  // results of EncodeInfo.
  [[nodiscard]] int Encode(DerWriter& writer);
};

// CertificateChoice: an element of a certificate set, a certificate or an extended certificate; the one
// whose signature is not empty counts, the certificate first.
struct CertificateChoice {
  Certificate certificate;
  ExtendedCertificate extended;

  // Encode appends the member that counts; nothing (and 0) when both signatures are empty.
  [[nodiscard]] int Encode(DerWriter& writer);
};

// CertificateWithKey: a certificate, its private key and named attributes; attributeNames item i names
// attributeValues item i.
struct CertificateWithKey {
  Certificate certificate;
  KeyRecord key;
  core::StrList attributeNames;
  core::StrList attributeValues;

  // AddAttribute appends the name text and then the value bytes; the first failing code.
  [[nodiscard]] int AddAttribute(const char* name, const core::BufferCore& value);
  // GetAttribute sets out to the value bytes of the first attribute named exactly name: 0, 202
  // (kNoSuchAttribute, out unchanged) when there is none, or 200.
  [[nodiscard]] int GetAttribute(const char* name, core::BufferCore& out) const;
};

// kNoSuchAttribute: a certificate-with-key attribute that is not there.
inline constexpr int kNoSuchAttribute = 202;

// KeyWithCertificates: a private key with its certificate chain, leaf first, and a text the loaders
// fill (it is not copied).
struct KeyWithCertificates {
  KeyRecord key;
  CertificateList certificates;
  core::Buffer text;

  // FirstCertificate returns the first certificate, made empty in its slot when the slot is null; null
  // for an empty list or when memory runs out.
  Certificate* FirstCertificate();
};

// KeyCertificatePair: a private key and the certificate of its public key.
struct KeyCertificatePair {
  KeyRecord key;
  Certificate certificate;
};

// IndexEntry: one row of an index over a list: the indexed record (not owned) and two numbers kept
// beside it, such as its position and a sort key. Its copy and clone copy the three members.
struct IndexEntry {
  const void* record = nullptr;
  int32_t first = 0;
  int32_t second = 0;
};

// CopyRecord makes target a deep copy of source; 0 or the first failing member's code. A certificate's
// extensions are added after those the target holds (CopyCertificate); every other list of the target
// is replaced.
[[nodiscard]] int CopyRecord(AlgorithmIdentifier& target, const AlgorithmIdentifier& source);
[[nodiscard]] int CopyRecord(CertExtension& target, const CertExtension& source);
[[nodiscard]] int CopyRecord(Certificate& target, const Certificate& source);
[[nodiscard]] int CopyRecord(KeyRecord& target, const KeyRecord& source);
[[nodiscard]] int CopyRecord(KeyEntry& target, const KeyEntry& source);
[[nodiscard]] int CopyRecord(ExtendedCertificate& target, const ExtendedCertificate& source);
[[nodiscard]] int CopyRecord(CertificateChoice& target, const CertificateChoice& source);
[[nodiscard]] int CopyRecord(CertificateWithKey& target, const CertificateWithKey& source);
[[nodiscard]] int CopyRecord(KeyWithCertificates& target, const KeyWithCertificates& source);
[[nodiscard]] int CopyRecord(KeyCertificatePair& target, const KeyCertificatePair& source);
inline int CopyRecord(IndexEntry& target, const IndexEntry& source) {
  target = source;
  return core::kOk;
}

// RecordDeleter destroys a record made in the platform allocator, as the lists destroy their elements.
template <typename T>
struct RecordDeleter {
  void operator()(T* record) const { core::PtrArrayTraits<T>::Destroy(record); }
};
template <typename T>
using RecordPtr = std::unique_ptr<T, RecordDeleter<T>>;

// Clone returns a new deep copy of source, or null when the record cannot be allocated or copied (the
// partial copy is destroyed).
template <typename T>
RecordPtr<T> Clone(const T& source) {
  RecordPtr<T> record(core::PtrArrayTraits<T>::Create());
  if (record != nullptr && CopyRecord(*record, source) != core::kOk) record.reset();
  return record;
}

// AddNew appends an empty element to list and returns it; null (the list unchanged) when the list
// cannot grow or the element cannot be made.
template <typename T>
T* AddNew(core::PtrArray<T>& list) {
  const int32_t count = list.Count();
  if (count == INT32_MAX || list.SetCount(count + 1) != core::kOk) return nullptr;
  T* element = list.GetOrCreate(count);
  if (element == nullptr) (void)list.SetCount(count);
  return element;
}

// AppendCopies appends a copy of every element of source to target in order, a null source slot as an
// empty element. A failure stops the walk: the element whose copy failed stays in place with the
// members copied into it, and its code is returned.
template <typename T>
int AppendCopies(core::PtrArray<T>& target, const core::PtrArray<T>& source) {
  const int32_t count = source.Count();
  for (int32_t i = 0; i < count; ++i) {
    T* element = AddNew(target);
    if (element == nullptr) return core::kOutOfMemory;
    if (const T* from = source.Get(i); from != nullptr) {
      if (int rc = CopyRecord(*element, *from); rc != core::kOk) return rc;
    }
  }
  return core::kOk;
}

// CopyList replaces target's elements by copies of source's (AppendCopies after clearing target).
template <typename T>
int CopyList(core::PtrArray<T>& target, const core::PtrArray<T>& source) {
  if (&target == &source) return core::kOk;
  (void)target.Clear();
  return AppendCopies(target, source);
}

// AssignList is the list assignment: every null slot of source is first filled with a new empty
// element, then target is replaced by copies of source's elements. 200 when a slot cannot be filled.
template <typename T>
int AssignList(core::PtrArray<T>& target, core::PtrArray<T>& source) {
  if (&target == &source) return core::kOk;
  (void)target.Clear();
  for (int32_t i = 0; i < source.Count(); ++i) {
    if (source.GetOrCreate(i) == nullptr) return core::kOutOfMemory;
  }
  return AppendCopies(target, source);
}

}  // namespace velmora::pki
