#include "pki/pfx.h"

#include <cstring>
#include <new>

#include "asn1/der_codes.h"
#include "component/component_base.h"
#include "pki/certificate_codec.h"
#include "pki/key_der.h"
#include "pki/password_encryption.h"
#include "pki/pkcs_der.h"

namespace velmora::pki {

using internal::DerSpan;

namespace {

using internal::kOidCertBag;
using internal::kOidData;
using internal::kOidEncryptedData;
using internal::kOidLocalKeyId;
using internal::kOidShroudedKeyBag;
using internal::kOidX509Certificate;

constexpr const char* kOidKeyBag = "1.2.840.113549.1.12.10.1.1";

// The digests a MacData may name.
struct MacDigestOid {
  const char* oid;
  const char* name;
};

constexpr MacDigestOid kMacDigestOids[] = {
    {"1.3.14.3.2.26", "SHA1"},           {"2.16.840.1.101.3.4.2.4", "SHA224"}, {"2.16.840.1.101.3.4.2.1", "SHA256"},
    {"2.16.840.1.101.3.4.2.2", "SHA384"}, {"2.16.840.1.101.3.4.2.3", "SHA512"},
};

// ReadContentInfoHeader reads a ContentInfo: its type OID and the element inside its [0] wrapper.
int ReadContentInfoHeader(const DerSpan& element, core::BufferCore& oid, DerSpan* content) {
  DerSpan items[2];
  int32_t count = 0;
  if (element.tag != 0x30 || !internal::Children(element, items, 2, &count) || count != 2 || items[1].tag != 0xA0 ||
      !internal::ReadElement(items[1].bytes, items[1].content, items[1].content_end, content)) {
    return kDerBadOuter;
  }
  return internal::OidText(items[0], oid);
}

int AddStrings(core::StrList& target, const core::StrList& source) {
  for (int32_t i = 0; i < source.Count(); ++i) {
    const int rc = target.Add(source.Item(i), source.ItemLength(i));
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

Pfx::~Pfx() {
  keys.Clear();
  certificates.Clear();
  (void)localKeyIds.Clear();
  (void)shroudedKeyIds.Clear();
  password.Clear();
}

int Pfx::SetDecodeError(const char* text) {
  (void)decodeError.SetString(text);
  return kDerBadInner;
}

int Pfx::Load(const uint8_t* data, int32_t length, const char* password, Pfx& pfx) {
  if (data == nullptr || length <= 0) return kDerBadOuter;
  int rc = pfx.input.SetData(length, data);
  if (rc == 0) rc = pfx.password.SetString(password != nullptr ? password : "");
  return rc == 0 ? pfx.Decode() : rc;
}

namespace {

// PfxReader holds the steps of the decoder for one Pfx.
class PfxReader {
 public:
  explicit PfxReader(Pfx& pfx) : pfx_(pfx) {}

  int MacData(const DerSpan& element, const core::BufferCore& signed_bytes) {
    DerSpan items[3], digest_info[2], algorithm[2];
    int32_t count = 0, n = 0;
    if (element.tag != 0x30 || !internal::Children(element, items, 3, &count) || count < 2 ||
        !internal::Children(items[0], digest_info, 2, &n) || n != 2 ||
        !internal::Children(digest_info[0], algorithm, 2, &n) || n < 1) {
      return kDerBadOuter;
    }
    int rc = internal::OidText(algorithm[0], pfx_.macDigestOid);
    if (rc == 0) rc = pfx_.macDigest.SetData(digest_info[1].Length(), digest_info[1].Content());
    if (rc == 0) rc = pfx_.macSalt.SetData(items[1].Length(), items[1].Content());
    if (rc != 0) return rc;
    if (count == 3) {
      int64_t iterations = 0;
      if (!internal::SmallInteger(items[2], &iterations) || iterations < 1) return kDerBadInner;
      if (iterations > kMaxPbeIterations) return kPbeUnsupported;
      pfx_.macIterations = static_cast<int32_t>(iterations);
    }
    return VerifyMac(signed_bytes);
  }

  int AuthenticatedSafe(const core::BufferCore& safe) {
    DerSpan top;
    if (!internal::ReadTop(safe.Bytes(), safe.Length(), &top) || top.tag != 0x30) {
      return pfx_.SetDecodeError("Failed to parse AuthenticatedSafe.");
    }
    for (int32_t pos = top.content; pos < top.content_end;) {
      DerSpan info, content;
      core::Buffer oid;
      if (!internal::ReadElement(top.bytes, pos, top.content_end, &info)) {
        return pfx_.SetDecodeError("Failed to parse AuthenticatedSafe.");
      }
      pos = info.end;
      int rc = ReadContentInfoHeader(info, oid, &content);
      if (rc != 0) return rc;
      core::SecureBuffer contents;
      if (std::strcmp(oid.Data(), kOidData) == 0) {
        if ((content.tag & 0xDF) != 0x04) return pfx_.SetDecodeError("Failed to parse AuthenticatedSafe.");
        rc = internal::JoinOctets(content, contents);
      } else if (std::strcmp(oid.Data(), kOidEncryptedData) == 0) {
        rc = DecodeEncryptedData(&pfx_.decodeError, content.Encoding(), content.EncodingLength(), pfx_.password,
                                 contents);
      } else {
        return pfx_.SetDecodeError("Failed to parse AuthenticatedSafe.");
      }
      if (rc == 0) rc = SafeContents(contents);
      if (rc != 0) return rc;
    }
    return 0;
  }

 private:
  int VerifyMac(const core::BufferCore& signed_bytes) {
    // The PKCS #12 derivation is not a FIPS one, so in FIPS mode the MAC stays unchecked.
    if (component::UseFIPSCompliantAPI() != 0) return 0;
    const char* digest = nullptr;
    for (const MacDigestOid& row : kMacDigestOids) {
      if (std::strcmp(row.oid, pfx_.macDigestOid.Data()) == 0) digest = row.name;
    }
    if (digest == nullptr) return kPbeUnsupported;
    core::Buffer mac, zero;
    int rc = Pkcs12ComputeMac(signed_bytes.Bytes(), signed_bytes.Length(), pfx_.macSalt, pfx_.password, mac, digest,
                              pfx_.macIterations);
    if (rc != 0 || mac.Equals(pfx_.macDigest) != 0 || pfx_.password.Length() != 0) {
      return rc != 0 ? rc : (mac.Equals(pfx_.macDigest) != 0 ? 0 : kPfxMacMismatch);
    }
    // An empty password also stands for its zero-terminated BMPString form.
    if ((rc = zero.AppendByte(0)) != 0) return rc;
    rc = Pkcs12ComputeMac(signed_bytes.Bytes(), signed_bytes.Length(), pfx_.macSalt, zero, mac, digest,
                          pfx_.macIterations);
    if (rc != 0) return rc;
    return mac.Equals(pfx_.macDigest) != 0 ? 0 : kPfxMacMismatch;
  }

  int SafeContents(const core::BufferCore& contents) {
    DerSpan top;
    if (!internal::ReadTop(contents.Bytes(), contents.Length(), &top) || top.tag != 0x30) {
      return pfx_.SetDecodeError("Failed to parse SafeBag.");
    }
    for (int32_t pos = top.content; pos < top.content_end;) {
      DerSpan bag, items[3], value;
      int32_t count = 0;
      if (!internal::ReadElement(top.bytes, pos, top.content_end, &bag) || bag.tag != 0x30 ||
          !internal::Children(bag, items, 3, &count) || count < 2 || items[1].tag != 0xA0 ||
          !internal::ReadElement(items[1].bytes, items[1].content, items[1].content_end, &value)) {
        return pfx_.SetDecodeError("Failed to parse SafeBag.");
      }
      pos = bag.end;
      core::Buffer type;
      core::StrList names, values;
      int rc = internal::OidText(items[0], type);
      if (rc == 0 && count == 3) rc = internal::ReadBagAttributes(items[2], names, values);
      if (rc != 0) return rc == core::kOutOfMemory ? rc : pfx_.SetDecodeError("Failed to parse SafeBag.");
      const bool shrouded = std::strcmp(type.Data(), kOidShroudedKeyBag) == 0;
      if (shrouded) {
        rc = ShroudedKeyBag(value);
      } else if (std::strcmp(type.Data(), kOidCertBag) == 0) {
        rc = CertBag(value);
      } else if (std::strcmp(type.Data(), kOidKeyBag) == 0) {
        rc = AddKey(value.Encoding(), value.EncodingLength());
      } else {
        rc = pfx_.SetDecodeError("Failed to parse SafeBag.");
      }
      if (rc != 0) return rc;
      const int32_t id = names.IndexOf(kOidLocalKeyId, 0);
      if (id >= 0) {
        core::StrList& ids = shrouded ? pfx_.shroudedKeyIds : pfx_.localKeyIds;
        if ((rc = ids.Add(values.Item(id), values.ItemLength(id))) != 0) return rc;
      }
    }
    return 0;
  }

  int AddKey(const uint8_t* bytes, int32_t length) {
    Pkcs8KeyInfo info;
    const int read = ReadPkcs8PrivateKeyInfo(bytes, length, info);
    if (read == core::kOutOfMemory) return read;
    if (read != 0) {
      (void)pfx_.SetDecodeError("Private key is not parsed.");
      return kPfxMacMismatch;
    }
    const int32_t index = pfx_.keys.Count();
    int rc = pfx_.keys.SetCount(index + 1);
    crypto::KeyEntry* entry = rc == 0 ? pfx_.keys.GetOrCreate(index) : nullptr;
    if (entry == nullptr) {
      (void)pfx_.keys.SetCount(index);
      return core::kOutOfMemory;
    }
    return entry->Key.CopyFrom(info.key);
  }

  int ShroudedKeyBag(const DerSpan& value) {
    DerSpan items[2];
    int32_t count = 0;
    if (value.tag != 0x30 || !internal::Children(value, items, 2, &count) || count != 2 || items[1].tag != 0x04) {
      return pfx_.SetDecodeError("Failed to parse PKCS8ShroudedKeyBag.");
    }
    core::Buffer oid, params, cipher_text;
    core::SecureBuffer plain;
    int32_t iterations = 0;
    int rc = DecodePbeAlgorithm(&pfx_.decodeError, items[0].Encoding(), items[0].EncodingLength(), oid, params,
                                &iterations);
    if (rc == 0) rc = cipher_text.SetData(items[1].Length(), items[1].Content());
    if (rc == 0) rc = PbeDecryptWithRetry(&pfx_.decodeError, cipher_text, oid, params, iterations, pfx_.password, plain);
    return rc == 0 ? AddKey(plain.Bytes(), plain.Length()) : rc;
  }

  int CertBag(const DerSpan& value) {
    DerSpan items[2], wrapper;
    int32_t count = 0;
    core::Buffer type, der;
    if (value.tag != 0x30 || !internal::Children(value, items, 2, &count) || count != 2 || items[1].tag != 0xA0 ||
        !internal::ReadElement(items[1].bytes, items[1].content, items[1].content_end, &wrapper) ||
        (wrapper.tag & 0xDF) != 0x04) {
      return pfx_.SetDecodeError("Failed to parse CertBag.");
    }
    int rc = internal::OidText(items[0], type);
    if (rc == 0 && std::strcmp(type.Data(), kOidX509Certificate) != 0) rc = kDerBadInner;
    if (rc == 0) rc = internal::JoinOctets(wrapper, der);
    if (rc != 0) return rc == core::kOutOfMemory ? rc : pfx_.SetDecodeError("Failed to parse CertBag.");
    const int32_t index = pfx_.certificates.Count();
    rc = pfx_.certificates.SetCount(index + 1);
    Certificate* certificate = rc == 0 ? pfx_.certificates.GetOrCreate(index) : nullptr;
    if (certificate == nullptr) {
      (void)pfx_.certificates.SetCount(index);
      return core::kOutOfMemory;
    }
    return ParseCertificate(der.Bytes(), der.Length(), *certificate);
  }

  Pfx& pfx_;
};

}  // namespace

int Pfx::Decode() {
  keys.Clear();
  certificates.Clear();
  (void)localKeyIds.Clear();
  (void)shroudedKeyIds.Clear();
  DerSpan top, items[3], content;
  int32_t count = 0;
  if (!internal::ReadTop(input.Bytes(), input.Length(), &top) || top.tag != 0x30 ||
      !internal::Children(top, items, 3, &count) || count < 2) {
    return kDerBadOuter;
  }
  int64_t value = 0;
  if (!internal::SmallInteger(items[0], &value)) return kDerBadInner;
  version = static_cast<int32_t>(value);
  core::Buffer oid;
  core::SecureBuffer safe;
  int rc = ReadContentInfoHeader(items[1], oid, &content);
  if (rc == 0 && (std::strcmp(oid.Data(), kOidData) != 0 || (content.tag & 0xDF) != 0x04)) rc = kDerBadOuter;
  if (rc == 0) rc = internal::JoinOctets(content, safe);
  if (rc != 0) return rc;
  PfxReader reader(*this);
  // The MAC is checked before anything inside it is believed.
  if (count == 3 && (rc = reader.MacData(items[2], safe)) != 0) return rc;
  return reader.AuthenticatedSafe(safe);
}

int Pfx::Copy(Pfx& destination, const Pfx& source) {
  if (&destination == &source) return 0;
  destination.version = source.version;
  destination.macIterations = source.macIterations;
  destination.currentIndex = source.currentIndex;
  int rc = destination.input.Assign(source.input);
  if (rc == 0) rc = destination.macDigestOid.Assign(source.macDigestOid);
  if (rc == 0) rc = destination.macDigest.Assign(source.macDigest);
  if (rc == 0) rc = destination.macSalt.Assign(source.macSalt);
  if (rc == 0) rc = destination.password.Assign(source.password);
  if (rc == 0) rc = destination.decodeError.Assign(source.decodeError);
  destination.keys.Clear();
  destination.certificates.Clear();
  if (rc == 0) rc = destination.keys.SetCount(source.keys.Count());
  for (int32_t i = 0; rc == 0 && i < source.keys.Count(); ++i) {
    const crypto::KeyEntry* from = source.keys.Get(i);
    crypto::KeyEntry* to = destination.keys.GetOrCreate(i);
    if (to == nullptr) rc = core::kOutOfMemory;
    if (rc == 0 && from != nullptr) rc = to->CopyFrom(*from);
  }
  if (rc == 0) rc = destination.certificates.SetCount(source.certificates.Count());
  for (int32_t i = 0; rc == 0 && i < source.certificates.Count(); ++i) {
    const Certificate* from = source.certificates.Get(i);
    Certificate* to = destination.certificates.GetOrCreate(i);
    if (to == nullptr) rc = core::kOutOfMemory;
    if (rc == 0 && from != nullptr) rc = CopyCertificate(*to, *from);
  }
  (void)destination.localKeyIds.Clear();
  (void)destination.shroudedKeyIds.Clear();
  if (rc == 0) rc = AddStrings(destination.localKeyIds, source.localKeyIds);
  if (rc == 0) rc = AddStrings(destination.shroudedKeyIds, source.shroudedKeyIds);
  return rc;
}

Pfx* Pfx::Clone(const Pfx& source) {
  Pfx* copy = new (std::nothrow) Pfx();
  if (copy != nullptr && Copy(*copy, source) != 0) {
    delete copy;
    copy = nullptr;
  }
  return copy;
}

Certificate* Pfx::GetCurrentCertificate() {
  if (currentIndex < 0 || currentIndex >= certificates.Count()) return nullptr;
  return certificates.GetOrCreate(currentIndex);
}

}  // namespace velmora::pki
