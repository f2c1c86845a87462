// Fixed lookups between algorithm names, dotted OID texts, display names and digest ids. Every table is
// an ordered list searched from the top; the first matching row wins. Results are constant texts that
// live as long as the program, except that an input returned unchanged stays the caller's. No state:
// any thread may call them.
#pragma once

#include <cstdint>

namespace velmora::pki {

// Digest ids of the crypto engine, and below the HashAlgorithmId values, as the digest code numbers its
// algorithms. They are declared here so that the tables link none of that code; oid_tables.cpp ties each
// constant to the digest code's own with static_asserts.
constexpr int32_t kEngineDigestSha1 = 23;
constexpr int32_t kEngineDigestMd5 = 24;
constexpr int32_t kEngineDigestSha256 = 25;
constexpr int32_t kEngineDigestSha224 = 26;
constexpr int32_t kEngineDigestSha512 = 27;
constexpr int32_t kEngineDigestSha384 = 30;
constexpr int32_t kEngineDigestMd4 = 32;
constexpr int32_t kEngineDigestMd2 = 33;
constexpr int32_t kEngineDigestNone = -1;

// HashAlgorithmId values of the digest code; kHashIdNone means no digest.
constexpr int32_t kHashIdSha1 = 0;
constexpr int32_t kHashIdMd5 = 1;
constexpr int32_t kHashIdSha256 = 2;
constexpr int32_t kHashIdSha224 = 3;
constexpr int32_t kHashIdSha512 = 4;
constexpr int32_t kHashIdSha384 = 7;
constexpr int32_t kHashIdMd4 = 9;
constexpr int32_t kHashIdMd2 = 10;
constexpr int32_t kHashIdNone = 18;

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

}  // namespace velmora::pki
