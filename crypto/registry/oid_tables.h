// Fixed lookups between algorithm names, dotted OID texts, display names and digest ids. Every table is
// an ordered list searched from the top; the first matching row wins. Results are constant texts that
// live as long as the program, except that an input returned unchanged stays the caller's. No state:
// any thread may call them.
#pragma once

#include <cstdint>

#include "crypto/digest/digest_registry.h"

namespace velmora::pki {

// The digest ids the lookups return, by their registry rows.
constexpr int32_t kEngineDigestSha1 = crypto::kEngineFirstDigest + crypto::kHashSha1;
constexpr int32_t kEngineDigestMd5 = crypto::kEngineFirstDigest + crypto::kHashMd5;
constexpr int32_t kEngineDigestSha256 = crypto::kEngineFirstDigest + crypto::kHashSha256;
constexpr int32_t kEngineDigestSha224 = crypto::kEngineFirstDigest + crypto::kHashSha224;
constexpr int32_t kEngineDigestSha512 = crypto::kEngineFirstDigest + crypto::kHashSha512;
constexpr int32_t kEngineDigestSha384 = crypto::kEngineFirstDigest + crypto::kHashSha384;
constexpr int32_t kEngineDigestMd4 = crypto::kEngineFirstDigest + crypto::kHashMd4;
constexpr int32_t kEngineDigestMd2 = crypto::kEngineFirstDigest + crypto::kHashMd2;
constexpr int32_t kEngineDigestNone = -1;

constexpr int32_t kHashIdSha1 = crypto::kHashSha1;
constexpr int32_t kHashIdMd5 = crypto::kHashMd5;
constexpr int32_t kHashIdSha256 = crypto::kHashSha256;
constexpr int32_t kHashIdSha224 = crypto::kHashSha224;
constexpr int32_t kHashIdSha512 = crypto::kHashSha512;
constexpr int32_t kHashIdSha384 = crypto::kHashSha384;
constexpr int32_t kHashIdMd4 = crypto::kHashMd4;
constexpr int32_t kHashIdMd2 = crypto::kHashMd2;
constexpr int32_t kHashIdNone = crypto::kHashAlgorithmCount;  // no digest

// AlgorithmNameToOid returns the OID text of an algorithm name (case ignored): "" for null or "", the
// name itself when no row matches.
const char* AlgorithmNameToOid(const char* name);
// OidToName returns the display name of an OID text (compared exactly): "" for null, the text itself
// when it is empty or no row matches.
const char* OidToName(const char* oid);
// OidToAlgorithmName returns the algorithm name of an OID text: "" for null or "", the text itself
// when no row matches.
const char* OidToAlgorithmName(const char* oid);
// HashNameFromOid returns the digest name ("SHA256", ...) of a digest or signature OID: "" for null or
// "", the text itself when no row matches.
const char* HashNameFromOid(const char* oid);
// SignatureOidToEngineDigestId returns the engine digest id of a digest or signature OID, or
// kEngineDigestNone.
int32_t SignatureOidToEngineDigestId(const char* oid);
// SignatureOidToHashId returns the HashAlgorithmId of a digest or signature OID, or kHashIdNone.
int32_t SignatureOidToHashId(const char* oid);
// DsaSignatureHashId returns the HashAlgorithmId of a DSA signature OID (not null): SHA-224 and SHA-256
// for the NIST DSA OIDs, SHA-1 for any other text.
int32_t DsaSignatureHashId(const char* oid);

}  // namespace velmora::pki
