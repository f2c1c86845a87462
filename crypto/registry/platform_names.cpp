#include "crypto/registry/platform_names.h"

#include "crypto/digest/digest_registry.h"

namespace velmora::crypto {

namespace {

// The platform names of the digests it knows, by HashAlgorithmId (null: none).
const char16_t* PlatformNameOfRow(int32_t hash_id) {
  switch (hash_id) {
    case kHashSha1:
      return u"SHA1";
    case kHashSha256:
      return u"SHA256";
    case kHashSha384:
      return u"SHA384";
    case kHashSha512:
      return u"SHA512";
    case kHashMd5:
      return u"MD5";
    case kHashMd4:
      return u"MD4";
    case kHashMd2:
      return u"MD2";
    default:
      return nullptr;
  }
}

bool SameAscii(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const char x = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
    const char y = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// RowByCanonicalName: the registry row whose canonical name is name (any case), or null. Other spellings
// ("SHA-256") are not the platform's names.
const DigestAlgorithm* RowByCanonicalName(const char* name) {
  const DigestAlgorithm* row = DigestByName(name, kNameSelect | kNameEngine);
  return row != nullptr && SameAscii(row->Name(), name) ? row : nullptr;
}

}  // namespace

const char16_t* CngHashNameByIdW(int32_t id) {
  static constexpr const char16_t* kNames[] = {u"SHA1",   u"SHA256", u"SHA384", u"SHA512", u"MD2",    u"MD4",
                                               u"MD5",    u"SHA1",   u"SHA256", u"SHA384", u"SHA512", u"MD5"};
  return id >= 0 && id < static_cast<int32_t>(sizeof kNames / sizeof kNames[0]) ? kNames[id] : u"";
}

const char16_t* CngKdfNameW(int32_t id) {
  switch (id) {
    case 0:
      return u"HASH";
    case 1:
      return u"HMAC";
    case 2:
      return u"TLS_PRF";
    case 99:
      return u"TRUNCATE";
    default:
      return u"";
  }
}

const char16_t* CngHashNameW(const char* name) {
  if (name == nullptr || *name == '\0') return u"SHA1";
  const DigestAlgorithm* row = RowByCanonicalName(name);
  return row != nullptr ? PlatformNameOfRow(row->hash_id) : nullptr;
}

int IsPlatformHashName(const char* name) {
  if (name == nullptr || *name == '\0' || SameAscii(name, "RAW")) return 1;
  const DigestAlgorithm* row = RowByCanonicalName(name);
  return row != nullptr && row->platform_index >= 0 ? 1 : 0;
}

const char16_t* CngEcdsaCurveNameW(const EcKeyParams& params) {
  switch (params.KeyType) {
    case 0:
      return u"ECDSA_P256";
    case 1:
      return u"ECDSA_P384";
    case 2:
      return u"ECDSA_P521";
    default:
      return u"";
  }
}

}  // namespace velmora::crypto
