#include "crypto/registry/oid_tables.h"

#include <cstring>

#include "crypto/digest/digest_registry.h"
#include "crypto/registry/oid_table_rows.h"
#include "platform/text.h"

namespace velmora::pki {
namespace {

using oid_rows::DigestRow;
using oid_rows::kAesAlgorithmNames;
using oid_rows::kAlgorithmOids;
using oid_rows::kDigestAlgorithmNames;
using oid_rows::kDigests;
using oid_rows::kDsaDigests;
using oid_rows::kOidNames;
using oid_rows::NameToOidRow;
using oid_rows::OidNameRow;

bool Same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

template <typename Row, size_t N>
const char* FindText(const Row (&rows)[N], const char* oid) {
  for (const Row& row : rows) {
    if (Same(row.oid, oid)) return row.text;
  }
  return nullptr;
}

// FindDigest returns the registry row of the digest an OID names in rows, or null.
template <size_t N>
const crypto::DigestAlgorithm* FindDigest(const DigestRow (&rows)[N], const char* oid) {
  if (oid == nullptr) return nullptr;
  for (const DigestRow& row : rows) {
    if (Same(row.oid, oid)) return crypto::DigestById(row.hash_id);
  }
  return nullptr;
}

}  // namespace

const char* AlgorithmNameToOid(const char* name) {
  if (name == nullptr || *name == '\0') return "";
  for (const NameToOidRow& row : kAlgorithmOids) {
    if (platform::CompareAsciiNoCase(row.name, name) == 0) return row.oid;
  }
  return name;
}

const char* OidToName(const char* oid) {
  if (oid == nullptr) return "";
  for (const OidNameRow& row : kOidNames) {
    if (Same(row.oid, oid)) return row.name;
  }
  return oid;
}

const char* OidToAlgorithmName(const char* oid) {
  if (oid == nullptr || *oid == '\0') return "";
  if (const char* text = FindText(kDigestAlgorithmNames, oid)) return text;
  for (const OidNameRow& row : kOidNames) {
    if (row.algorithm != nullptr && Same(row.oid, oid)) return row.algorithm;
  }
  if (const char* text = FindText(kAesAlgorithmNames, oid)) return text;
  return oid;
}

const char* HashNameFromOid(const char* oid) {
  if (oid == nullptr || *oid == '\0') return "";
  const crypto::DigestAlgorithm* row = FindDigest(kDigests, oid);
  return row != nullptr ? row->Name() : oid;
}

int32_t SignatureOidToEngineDigestId(const char* oid) {
  const crypto::DigestAlgorithm* row = FindDigest(kDigests, oid);
  return row != nullptr ? row->engine_id : kEngineDigestNone;
}

int32_t SignatureOidToHashId(const char* oid) {
  const crypto::DigestAlgorithm* row = FindDigest(kDigests, oid);
  return row != nullptr ? row->hash_id : kHashIdNone;
}

int32_t DsaSignatureHashId(const char* oid) {
  const crypto::DigestAlgorithm* row = FindDigest(kDsaDigests, oid);
  return row != nullptr ? row->hash_id : crypto::kHashSha1;
}

}  // namespace velmora::pki
