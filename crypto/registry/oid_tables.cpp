#include "crypto/registry/oid_tables.h"

#include <cstring>

#include "crypto/digest/hash_ctx.h"
#include "crypto/registry/oid_table_rows.h"
#include "platform/text.h"

namespace velmora::pki {

// The tables carry the digest code's numbering; these keep the two in step.
static_assert(kEngineDigestSha1 == crypto::kEngineSha1 && kEngineDigestSha256 == crypto::kEngineSha256);
static_assert(kEngineDigestSha224 == crypto::kEngineSha224 && kEngineDigestSha512 == crypto::kEngineSha512);
static_assert(kEngineDigestSha384 == crypto::kEngineSha384);
static_assert(kHashIdSha1 == crypto::kHashSha1 && kHashIdMd5 == crypto::kHashMd5 &&
              kHashIdSha256 == crypto::kHashSha256 && kHashIdSha224 == crypto::kHashSha224);
static_assert(kHashIdSha512 == crypto::kHashSha512 && kHashIdSha384 == crypto::kHashSha384 &&
              kHashIdMd4 == crypto::kHashMd4 && kHashIdMd2 == crypto::kHashMd2);

}  // namespace velmora::pki

namespace velmora::pki {
namespace {

using oid_rows::DigestRow;
using oid_rows::kAesAlgorithmNames;
using oid_rows::kAlgorithmOids;
using oid_rows::kDigestAlgorithmNames;
using oid_rows::kDigests;
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

const DigestRow* FindDigest(const char* oid) {
  if (oid == nullptr) return nullptr;
  for (const DigestRow& row : kDigests) {
    if (Same(row.oid, oid)) return &row;
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
  const DigestRow* row = FindDigest(oid);
  return row != nullptr ? row->hash_name : oid;
}

int32_t SignatureOidToEngineDigestId(const char* oid) {
  const DigestRow* row = FindDigest(oid);
  return row != nullptr ? row->engine_id : kEngineDigestNone;
}

int32_t SignatureOidToHashId(const char* oid) {
  const DigestRow* row = FindDigest(oid);
  return row != nullptr ? row->hash_id : kHashIdNone;
}

}  // namespace velmora::pki
