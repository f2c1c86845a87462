// The digest registry: one row per digest with every number the security core gives it (HashAlgorithmId,
// engine id, HMAC id, platform index), the names it is known by, its OID, its sizes and the functions of
// its working state. The lookups below and the DigestInfo, HMAC, PKCS #12 and OID tables read these rows
// instead of keeping numbers of their own. The rows are constant: any thread may read them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::crypto {

// HashAlgorithmId values; each is the index of its row.
constexpr int32_t kHashSha1 = 0;
constexpr int32_t kHashMd5 = 1;
constexpr int32_t kHashSha256 = 2;
constexpr int32_t kHashSha224 = 3;
constexpr int32_t kHashSha512 = 4;
constexpr int32_t kHashSha512_224 = 5;
constexpr int32_t kHashSha512_256 = 6;
constexpr int32_t kHashSha384 = 7;
constexpr int32_t kHashRipemd160 = 8;
constexpr int32_t kHashMd4 = 9;
constexpr int32_t kHashMd2 = 10;
constexpr int32_t kHashMd5Sha1 = 11;
constexpr int32_t kHashSha3_224 = 12;
constexpr int32_t kHashSha3_256 = 13;
constexpr int32_t kHashSha3_384 = 14;
constexpr int32_t kHashSha3_512 = 15;
constexpr int32_t kHashShake128 = 16;
constexpr int32_t kHashShake256 = 17;
constexpr int32_t kHashAlgorithmCount = 18;

// Engine algorithm ids of the digests: kEngineFirstDigest + HashAlgorithmId (23..40), SHA3-224..512 with
// Keccak padding 41..44, HMACs 45..51. The rows hold each digest's ids; these name the ones other code
// asks for by name.
constexpr int32_t kEngineFirstDigest = 23;
constexpr int32_t kEngineSha1 = kEngineFirstDigest + kHashSha1;
constexpr int32_t kEngineSha256 = kEngineFirstDigest + kHashSha256;
constexpr int32_t kEngineSha224 = kEngineFirstDigest + kHashSha224;
constexpr int32_t kEngineSha512 = kEngineFirstDigest + kHashSha512;
constexpr int32_t kEngineSha384 = kEngineFirstDigest + kHashSha384;
constexpr int32_t kEngineFirstKeccak = 41;
constexpr int32_t kEngineLastDigest = 44;
constexpr int32_t kEngineHmacSha1 = 45;
constexpr int32_t kEngineHmacMd5 = 46;
constexpr int32_t kEngineHmacSha256 = 47;
constexpr int32_t kEngineHmacSha224 = 48;
constexpr int32_t kEngineHmacSha512 = 49;
constexpr int32_t kEngineHmacSha384 = 50;
constexpr int32_t kEngineHmacRipemd160 = 51;

// The lookups that accept a name spelling (bits of DigestName::uses).
constexpr uint8_t kNameSelect = 1;      // HashCtx::SetAlgorithmByName and HashNameToEngineId
constexpr uint8_t kNameEngine = 2;      // HashNameToEngineId only
constexpr uint8_t kNameDigestInfo = 4;  // AppendDigestInfoPrefix

// DigestName is one spelling of a digest's name, upper case; the lookups compare ignoring ASCII case.
struct DigestName {
  const char* text;
  uint8_t uses;
};

// DigestCore is the function table of a digest's working state (a Sha1State, Sha256State, KeccakState
// ... as digest_cores.h declares them). HashCtx owns the memory; the functions construct, run and tear
// down the record in it.
struct DigestAlgorithm;
struct DigestCore {
  size_t state_size;
  // Create builds the record in state_size bytes at block, at its initial value.
  void (*create)(void* block, const DigestAlgorithm& row);
  // Init brings the record back to its initial value (a Keccak padding flag is kept).
  void (*init)(void* state);
  // Reselect is Init for a digest selected again: a sponge also drops the Keccak padding flag and
  // takes back its output size.
  void (*reselect)(void* state, const DigestAlgorithm& row);
  void (*update)(void* state, const uint8_t* data, uint32_t length);
  // Final points *digest at the finished digest and sets *size when it differs from the row's: 0, or
  // the code of a state that cannot finish (1 for SHA-1 past 2^64 bits, 200 when memory runs out).
  int (*final)(void* state, const uint8_t** digest, int32_t* size);
  // Destroy ends the record's lifetime before its memory is wiped and freed.
  void (*destroy)(void* state);
  // Copy copies a record of the same digest: 0 or 200.
  int (*copy)(void* to, const void* from);
};

// DigestAlgorithm is the row of one digest.
struct DigestAlgorithm {
  int32_t hash_id;
  int32_t engine_id;         // kEngineFirstDigest + hash_id
  int32_t keccak_engine_id;  // the engine id of the form with Keccak padding, or -1
  int32_t hmac_id;           // the engine id of its HMAC, or -1
  int32_t platform_index;    // the platform's digest and HMAC algorithm 0..3, or -1 without a platform form
  // The spellings of the name, the canonical one first; unused entries are null.
  std::array<DigestName, 3> names;
  const char* hmac_name;  // what selects its HMAC inside an HMAC name, or null
  const char* oid;        // dotted OID text, or null; the DigestInfo prefix is encoded from it
  int32_t digest_size;    // bytes
  // block_size is v of RFC 7292 appendix B.2 in bytes: the input block, the rate for SHA-3; PKCS #12 v1.0
  // gives MD2 512 bits, and SHAKE, which has no PKCS #12 form, counts as 64.
  int32_t block_size;
  // hmac_block_size is B of RFC 2104 as the HMAC here uses it; the sponge rows keep 64 (the HMAC key
  // blocks hold at most 128 bytes), not their rate.
  int32_t hmac_block_size;
  const DigestCore* core;
  // variant picks the core's form: nonzero for SHA-224 in the SHA-256 core, the Sha512Variant in the
  // SHA-512 core, the rate in bytes in the sponge cores.
  int32_t variant;

  const char* Name() const { return names[0].text; }
};

// DigestById returns the row of a HashAlgorithmId, null outside 0..17.
const DigestAlgorithm* DigestById(int32_t id);
// DigestByEngineId returns the row of a digest engine id 23..44, else null.
const DigestAlgorithm* DigestByEngineId(int32_t engine_id);
// DigestByHmacId returns the row of an HMAC engine id 45..51, else null.
const DigestAlgorithm* DigestByHmacId(int32_t hmac_id);
// DigestByName returns the row with a spelling that one of the lookups in uses accepts, compared
// ignoring ASCII case (null counts as ""), or null.
const DigestAlgorithm* DigestByName(const char* name, uint8_t uses);
// DigestInfoPrefix returns the DER DigestInfo prefix of a row (RFC 8017 section 9.2 note 1): SEQUENCE {
// SEQUENCE { OID, NULL }, OCTET STRING header }, the digest bytes to follow. A row without an OID gives
// the length byte alone (MD5+SHA-1 is signed bare). The bytes live as long as the program.
std::span<const uint8_t> DigestInfoPrefix(const DigestAlgorithm& row);

// HashDigestSize returns the digest size in bytes of a HashAlgorithmId, 0 for an unknown id.
int32_t HashDigestSize(int32_t id);
// EngineDigestSize returns the digest size of an engine id 23..51, -1 for any other id.
int32_t EngineDigestSize(int32_t engine_id);
// EngineIdToHashId maps engine ids 23..44 to their HashAlgorithmId, -1 otherwise.
int32_t EngineIdToHashId(int32_t engine_id);
// HmacIdToHashId maps the HMAC engine ids 45..51 to their HashAlgorithmId, -1 otherwise.
int32_t HmacIdToHashId(int32_t engine_id);
// HashNameToEngineId accepts the names of SetAlgorithmByName and "SHA3-224" .. "SHA3-512", in any case;
// returns the engine id 23..40, or -1.
int32_t HashNameToEngineId(const char* name);
// HmacNameToEngineId returns the HMAC engine id named by name ("HMAC" and a digest name anywhere after
// the first character, in any case), or -1.
int32_t HmacNameToEngineId(const char* name);
// PlatformDigestIndex: the platform hash algorithm of engine ids 23, 25, 30, 27 (0..3), else -1.
int32_t PlatformDigestIndex(int32_t engine_id);
// PlatformHmacIndex: the platform algorithm of HMAC ids 45, 47, 50, 49 (0..3), else -1.
int32_t PlatformHmacIndex(int32_t engine_id);
// HmacBlockSize returns the HMAC key block size (RFC 2104 B) in bytes of a HashAlgorithmId: 128 for the
// SHA-512 family, 64 for every other id.
int32_t HmacBlockSize(int32_t id);

}  // namespace velmora::crypto
