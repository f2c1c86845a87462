#include "crypto/digest/digest_registry.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "core/buffer.h"
#include "crypto/digest/digest_cores.h"

namespace velmora::crypto {

namespace {

// ---- the cores ----------------------------------------------------------------------------------------

// FailureOf is the code of a record whose Final gave no digest.
int FailureOf(const Sha1State& state) { return state.corrupted; }
int FailureOf(const Md5Sha1State& state) { return state.sha1.corrupted; }
template <typename State>
int FailureOf(const State&) {
  return 0;
}

// RecordCore serves the plain records: zeroed, then set to the initial value by Init, or by Reset for
// the SHA-2 records after their variant is set.
template <typename State>
struct RecordCore {
  static State& Of(void* state) { return *static_cast<State*>(state); }
  static void Init(void* state) {
    if constexpr (requires(State s) { s.Init(); }) {
      Of(state).Init();
    } else {
      Of(state).Reset();
    }
  }
  static void Create(void* block, const DigestAlgorithm& row) {
    std::memset(block, 0, sizeof(State));
    if constexpr (std::is_same_v<State, Sha256State>) Of(block).sha224 = row.variant;
    if constexpr (std::is_same_v<State, Sha512State>) Of(block).variant = static_cast<Sha512Variant>(row.variant);
    Init(block);
  }
  static void Reselect(void* state, const DigestAlgorithm&) { Init(state); }
  static void Update(void* state, const uint8_t* data, uint32_t length) { (void)Of(state).Update(data, length); }
  static int Final(void* state, const uint8_t** digest, int32_t*) {
    *digest = Of(state).Final();
    return *digest != nullptr ? 0 : FailureOf(Of(state));
  }
  static void Destroy(void*) {}
  static int Copy(void* to, const void* from) {
    std::memcpy(to, from, sizeof(State));
    return 0;
  }
  static constexpr DigestCore kCore = {sizeof(State), Create, Init, Reselect, Update, Final, Destroy, Copy};
};

// SpongeCore serves SHA-3 and SHAKE (FIPS 202): the rate is the row's variant, the output its digest size,
// and SHAKE's security strength half its capacity.
template <typename State>
struct SpongeCore {
  static KeccakState& Of(void* state) { return *static_cast<KeccakState*>(state); }
  static void Create(void* block, const DigestAlgorithm& row) {
    if constexpr (std::is_same_v<State, ShakeState>) {
      new (block) ShakeState(row.variant, row.digest_size * 8, (200 - row.variant) * 4);
    } else {
      new (block) KeccakState(row.variant, row.digest_size * 8);
    }
  }
  static void Init(void* state) { Of(state).Reset(); }
  static void Reselect(void* state, const DigestAlgorithm& row) {
    Of(state).Reset();
    Of(state).SetKeccakPadding(0);
    Of(state).SetOutputBits(row.digest_size * 8);
  }
  static void Update(void* state, const uint8_t* data, uint32_t length) { Of(state).Absorb(data, length); }
  static int Final(void* state, const uint8_t** digest, int32_t* size) {
    *digest = Of(state).Final();
    if (*digest == nullptr) return core::kOutOfMemory;
    *size = Of(state).Output().Length();
    return 0;
  }
  static void Destroy(void* state) { Of(state).~KeccakState(); }
  static int Copy(void* to, const void* from) { return Of(to).CopyFrom(*static_cast<const KeccakState*>(from)); }
  static constexpr DigestCore kCore = {sizeof(State), Create, Init, Reselect, Update, Final, Destroy, Copy};
};

constexpr const DigestCore* kSha1 = &RecordCore<Sha1State>::kCore;
constexpr const DigestCore* kMd5 = &RecordCore<Md5State>::kCore;
constexpr const DigestCore* kSha256 = &RecordCore<Sha256State>::kCore;
constexpr const DigestCore* kSha512 = &RecordCore<Sha512State>::kCore;
constexpr const DigestCore* kRipemd160 = &RecordCore<Ripemd160State>::kCore;
constexpr const DigestCore* kMd4 = &RecordCore<Md4State>::kCore;
constexpr const DigestCore* kMd2 = &RecordCore<Md2State>::kCore;
constexpr const DigestCore* kMd5Sha1 = &RecordCore<Md5Sha1State>::kCore;
constexpr const DigestCore* kSha3 = &SpongeCore<KeccakState>::kCore;
constexpr const DigestCore* kShake = &SpongeCore<ShakeState>::kCore;

// ---- the rows -----------------------------------------------------------------------------------------

constexpr uint8_t kSelectAndInfo = kNameSelect | kNameDigestInfo;
constexpr int32_t kSha512Form = static_cast<int32_t>(Sha512Variant::kSha512);
constexpr int32_t kSha384Form = static_cast<int32_t>(Sha512Variant::kSha384);
constexpr int32_t kSha512_224Form = static_cast<int32_t>(Sha512Variant::kSha512_224);
constexpr int32_t kSha512_256Form = static_cast<int32_t>(Sha512Variant::kSha512_256);

// The OIDs: OIW SHA-1, RSADSI digestAlgorithm MD2/MD4/MD5, TeleTrusT RIPEMD-160, NIST hashAlgs
// (2.16.840.1.101.3.4.2). The rates are those of FIPS 202 sections 6.1 and 6.2.
// clang-format off
constexpr DigestAlgorithm kRows[kHashAlgorithmCount] = {
    {kHashSha1, 23, -1, kEngineHmacSha1, 0, {{{"SHA1", kSelectAndInfo}, {"SHA-1", kNameSelect}}},
     "SHA1", "1.3.14.3.2.26", 20, 64, 64, kSha1, 0},
    {kHashMd5, 24, -1, kEngineHmacMd5, -1, {{{"MD5", kSelectAndInfo}}},
     "MD5", "1.2.840.113549.2.5", 16, 64, 64, kMd5, 0},
    {kHashSha256, 25, -1, kEngineHmacSha256, 1, {{{"SHA256", kSelectAndInfo}, {"SHA-256", kNameSelect}}},
     "SHA256", "2.16.840.1.101.3.4.2.1", 32, 64, 64, kSha256, 0},
    {kHashSha224, 26, -1, kEngineHmacSha224, -1, {{{"SHA224", kSelectAndInfo}, {"SHA-224", kNameSelect}}},
     "SHA224", "2.16.840.1.101.3.4.2.4", 28, 64, 64, kSha256, 1},
    {kHashSha512, 27, -1, kEngineHmacSha512, 3, {{{"SHA512", kSelectAndInfo}, {"SHA-512", kNameSelect}}},
     "SHA512", "2.16.840.1.101.3.4.2.3", 64, 128, 128, kSha512, kSha512Form},
    {kHashSha512_224, 28, -1, -1, -1, {{{"SHA512/224", kNameSelect}, {"SHA-512/224", kNameSelect}}},
     nullptr, "2.16.840.1.101.3.4.2.5", 28, 128, 128, kSha512, kSha512_224Form},
    {kHashSha512_256, 29, -1, -1, -1, {{{"SHA512/256", kNameSelect}, {"SHA-512/256", kNameSelect}}},
     nullptr, "2.16.840.1.101.3.4.2.6", 32, 128, 128, kSha512, kSha512_256Form},
    {kHashSha384, 30, -1, kEngineHmacSha384, 2, {{{"SHA384", kSelectAndInfo}, {"SHA-384", kNameSelect}}},
     "SHA384", "2.16.840.1.101.3.4.2.2", 48, 128, 128, kSha512, kSha384Form},
    {kHashRipemd160, 31, -1, kEngineHmacRipemd160, -1,
     {{{"RIPEMD160", kSelectAndInfo}, {"RIPEMD-160", kSelectAndInfo}, {"MD160", kNameSelect}}},
     "RIPEMD", "1.3.36.3.2.1", 20, 64, 64, kRipemd160, 0},
    {kHashMd4, 32, -1, -1, -1, {{{"MD4", kNameSelect}}},
     nullptr, "1.2.840.113549.2.4", 16, 64, 64, kMd4, 0},
    {kHashMd2, 33, -1, -1, -1, {{{"MD2", kSelectAndInfo}}},
     nullptr, "1.2.840.113549.2.2", 16, 64, 64, kMd2, 0},
    {kHashMd5Sha1, 34, -1, -1, -1, {{{"MD5SHA1", kSelectAndInfo}}},
     nullptr, nullptr, 36, 64, 64, kMd5Sha1, 0},
    {kHashSha3_224, 35, 41, -1, -1, {{{"SHA3_224", kNameSelect}, {"SHA-3-224", kNameSelect}, {"SHA3-224", kNameEngine}}},
     nullptr, "2.16.840.1.101.3.4.2.7", 28, 144, 64, kSha3, 144},
    {kHashSha3_256, 36, 42, -1, -1, {{{"SHA3_256", kNameSelect}, {"SHA-3-256", kNameSelect}, {"SHA3-256", kNameEngine}}},
     nullptr, "2.16.840.1.101.3.4.2.8", 32, 136, 64, kSha3, 136},
    {kHashSha3_384, 37, 43, -1, -1, {{{"SHA3_384", kNameSelect}, {"SHA-3-384", kNameSelect}, {"SHA3-384", kNameEngine}}},
     nullptr, "2.16.840.1.101.3.4.2.9", 48, 104, 64, kSha3, 104},
    {kHashSha3_512, 38, 44, -1, -1, {{{"SHA3_512", kNameSelect}, {"SHA-3-512", kNameSelect}, {"SHA3-512", kNameEngine}}},
     nullptr, "2.16.840.1.101.3.4.2.10", 64, 72, 64, kSha3, 72},
    {kHashShake128, 39, -1, -1, -1, {{{"SHAKE128", kNameSelect}}},
     nullptr, "2.16.840.1.101.3.4.2.11", 32, 64, 64, kShake, 168},
    {kHashShake256, 40, -1, -1, -1, {{{"SHAKE256", kNameSelect}}},
     nullptr, "2.16.840.1.101.3.4.2.12", 64, 64, 64, kShake, 136},
};
// clang-format on

constexpr bool RowsInOrder() {
  for (int32_t id = 0; id < kHashAlgorithmCount; ++id) {
    const DigestAlgorithm& row = kRows[id];
    if (row.hash_id != id || row.engine_id != kEngineFirstDigest + id) return false;
    if (row.keccak_engine_id >= 0 && row.keccak_engine_id != kEngineFirstKeccak + id - kHashSha3_224) return false;
  }
  return true;
}
static_assert(RowsInOrder(), "a row's index is its HashAlgorithmId and its engine ids follow from it");

// ---- DigestInfo prefixes, encoded from the OIDs at compile time ---------------------------------------

struct EncodedPrefix {
  uint8_t bytes[24] = {};
  uint8_t length = 0;
};

// EncodeOid writes the X.690 8.19 contents of a dotted OID text: the first two arcs as 40 * a + b, then
// each arc in base 128, high groups first with the top bit set.
constexpr int32_t EncodeOid(const char* text, uint8_t* out) {
  uint64_t arcs[16] = {};
  int32_t count = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '.') {
      ++count;
    } else {
      arcs[count] = arcs[count] * 10 + static_cast<uint64_t>(*p - '0');
    }
  }
  ++count;
  arcs[1] += 40 * arcs[0];
  int32_t length = 0;
  for (int32_t i = 1; i < count; ++i) {
    int32_t groups = 1;
    while (groups < 10 && (arcs[i] >> (7 * groups)) != 0) ++groups;
    for (int32_t g = groups - 1; g >= 0; --g) {
      out[length++] = static_cast<uint8_t>(((arcs[i] >> (7 * g)) & 0x7F) | (g > 0 ? 0x80 : 0));
    }
  }
  return length;
}

constexpr EncodedPrefix EncodePrefix(const DigestAlgorithm& row) {
  EncodedPrefix prefix;
  const auto size = static_cast<uint8_t>(row.digest_size);
  if (row.oid == nullptr) {
    prefix.bytes[prefix.length++] = size;
    return prefix;
  }
  uint8_t oid[16] = {};
  const auto oid_length = static_cast<uint8_t>(EncodeOid(row.oid, oid));
  const uint8_t head[] = {0x30, static_cast<uint8_t>(oid_length + 8 + size), 0x30,
                          static_cast<uint8_t>(oid_length + 4), 0x06, oid_length};
  for (uint8_t byte : head) prefix.bytes[prefix.length++] = byte;
  for (uint8_t i = 0; i < oid_length; ++i) prefix.bytes[prefix.length++] = oid[i];
  for (uint8_t byte : {uint8_t{0x05}, uint8_t{0x00}, uint8_t{0x04}, size}) prefix.bytes[prefix.length++] = byte;
  return prefix;
}

constexpr std::array<EncodedPrefix, kHashAlgorithmCount> kPrefixes = [] {
  std::array<EncodedPrefix, kHashAlgorithmCount> prefixes;
  for (int32_t id = 0; id < kHashAlgorithmCount; ++id) prefixes[id] = EncodePrefix(kRows[id]);
  return prefixes;
}();

// ---- names --------------------------------------------------------------------------------------------

// UpperName copies name upper-cased into out; false when it is too long to be a name.
constexpr size_t kMaxName = 16;
bool UpperName(const char* name, char (&out)[kMaxName]) {
  if (name == nullptr) name = "";
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i + 1 >= kMaxName) return false;
    const char c = name[i];
    out[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  out[i] = '\0';
  return true;
}

// The order HMAC names are tried in, which decides for a name that holds two digest names.
constexpr int32_t kHmacNameOrder[] = {kHashSha1,   kHashSha224, kHashSha256,   kHashSha384,
                                      kHashSha512, kHashMd5,    kHashRipemd160};

}  // namespace

// ---- lookups ------------------------------------------------------------------------------------------

const DigestAlgorithm* DigestById(int32_t id) { return id >= 0 && id < kHashAlgorithmCount ? &kRows[id] : nullptr; }

const DigestAlgorithm* DigestByEngineId(int32_t engine_id) {
  if (const DigestAlgorithm* row = DigestById(engine_id - kEngineFirstDigest)) return row;
  for (const DigestAlgorithm& row : kRows) {
    if (row.keccak_engine_id >= 0 && row.keccak_engine_id == engine_id) return &row;
  }
  return nullptr;
}

const DigestAlgorithm* DigestByHmacId(int32_t hmac_id) {
  for (const DigestAlgorithm& row : kRows) {
    if (row.hmac_id >= 0 && row.hmac_id == hmac_id) return &row;
  }
  return nullptr;
}

const DigestAlgorithm* DigestByName(const char* name, uint8_t uses) {
  char upper[kMaxName];
  if (!UpperName(name, upper)) return nullptr;
  for (const DigestAlgorithm& row : kRows) {
    for (const DigestName& spelling : row.names) {
      if (spelling.text != nullptr && (spelling.uses & uses) != 0 && std::strcmp(spelling.text, upper) == 0) {
        return &row;
      }
    }
  }
  return nullptr;
}

std::span<const uint8_t> DigestInfoPrefix(const DigestAlgorithm& row) {
  const EncodedPrefix& prefix = kPrefixes[row.hash_id];
  return {prefix.bytes, prefix.length};
}

int32_t HashDigestSize(int32_t id) {
  const DigestAlgorithm* row = DigestById(id);
  return row != nullptr ? row->digest_size : 0;
}

int32_t EngineIdToHashId(int32_t engine_id) {
  const DigestAlgorithm* row = DigestByEngineId(engine_id);
  return row != nullptr ? row->hash_id : -1;
}

int32_t HmacIdToHashId(int32_t engine_id) {
  const DigestAlgorithm* row = DigestByHmacId(engine_id);
  return row != nullptr ? row->hash_id : -1;
}

int32_t EngineDigestSize(int32_t engine_id) {
  const DigestAlgorithm* row = DigestByEngineId(engine_id);
  if (row == nullptr) row = DigestByHmacId(engine_id);
  return row != nullptr ? row->digest_size : -1;
}

int32_t HashNameToEngineId(const char* name) {
  const DigestAlgorithm* row = DigestByName(name, kNameSelect | kNameEngine);
  return row != nullptr ? row->engine_id : -1;
}

int32_t HmacNameToEngineId(const char* name) {
  core::Buffer upper;
  if (upper.SetString(name != nullptr ? name : "") != 0) return -1;
  upper.ToUpperAscii();
  if (upper.Find("HMAC", 0) < 0) return -1;
  for (int32_t id : kHmacNameOrder) {
    if (upper.Find(kRows[id].hmac_name, 1) >= 1) return kRows[id].hmac_id;
  }
  return -1;
}

int32_t PlatformDigestIndex(int32_t engine_id) {
  const DigestAlgorithm* row = DigestById(engine_id - kEngineFirstDigest);
  return row != nullptr ? row->platform_index : -1;
}

int32_t PlatformHmacIndex(int32_t engine_id) {
  const DigestAlgorithm* row = DigestByHmacId(engine_id);
  return row != nullptr ? row->platform_index : -1;
}

int32_t HmacBlockSize(int32_t id) {
  const DigestAlgorithm* row = DigestById(id);
  return row != nullptr ? row->hmac_block_size : 64;
}

}  // namespace velmora::crypto
