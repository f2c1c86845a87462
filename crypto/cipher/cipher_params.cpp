#include "crypto/cipher/cipher_params.h"

#include <cstring>

#include "core/buffer.h"

namespace velmora::crypto {

namespace {

struct CipherName {
  const char* name;
  int32_t internal_id;
};

// Indexed by engine id.
constexpr CipherName kNames[kCipherCount] = {
    {"aes", kCipherAes},         {"des", kCipherDes},
    {"3des", kCipher3Des},       {"cast5", kCipherCast5},
    {"blowfish", kCipherBlowfish}, {"twofish", kCipherTwofish},
    {"idea", kCipherIdea},       {"rc4", kCipherRc4},
    {"rc2", kCipherRc2},         {"tea", kCipherTea},
    {"xtea", kCipherXtea},       {"xxtea", kCipherXxtea},
    {"rijndael", kCipherRijndael}, {"chacha20", kCipherChaCha20},
    {"salsa20", kCipherSalsa20}, {"aes-gcm", kCipherAesGcm},
    {"aes-ocb", kCipherAesOcb},  {"chacha20-poly1305", kCipherChaCha20Poly1305},
};

struct NameMatch {
  const char* name;
  int32_t engine_id;
};

// Matched in this order; "3des" comes before "des" and the aliases sit next to their names.
constexpr NameMatch kMatchOrder[] = {
    {"aes", 0},       {"3des", 2},      {"tripledes", 2},  {"des", 1},         {"rc2", 8},
    {"cast5", 3},     {"cast128", 3},   {"blowfish", 4},   {"twofish", 5},     {"idea", 6},
    {"rc4", 7},       {"arcfour", 7},   {"tea", 9},        {"xtea", 10},       {"blocktea", 10},
    {"xxtea", 11},    {"correctedblocktea", 11},           {"rijndael", 12},   {"aes-gcm", 15},
    {"aes-ocb", 16},  {"chacha20", 13}, {"chacha20-poly1305", 17},             {"salsa20", 14},
};

constexpr int32_t kSame = -1;

// Indexed by internal id.
constexpr CipherDefaults kDefaults[kCipherCount] = {
    {256, 128, 0, kModeCbc, kPaddingNone, kSame},  // aes
    {64, 64, 0, kModeCbc, kPaddingNone, kSame},    // des
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // 3des
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // cast5
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // blowfish
    {256, 128, 0, kModeCbc, kPaddingNone, kSame},  // twofish
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // idea
    {128, 64, 1, kSame, kSame, kSame},             // rc4
    {64, 64, 0, kModeCbc, kPaddingNone, kSame},    // rc2
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // tea
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // xtea
    {128, 64, 0, kModeCbc, kPaddingNone, kSame},   // xxtea
    {256, 128, 1, kModeGcm, kPaddingNone, 96},     // aes-gcm
    {256, 128, 0, kModeCbc, kPaddingNone, kSame},  // rijndael
    {256, 512, 1, kSame, kSame, kSame},            // chacha20
    {256, 128, 1, kSame, kPaddingNone, kSame},     // chacha20-poly1305
    {256, 512, 1, kSame, kPaddingNone, kSame},     // salsa20
    {256, 128, 1, kSame, kPaddingNone, 96},        // aes-ocb
};

struct SizeRule {
  int32_t minimum;
  int32_t maximum;
  int32_t step;  // 0: any value in the range
};

constexpr SizeRule kKeyRules[kCipherCount] = {
    {128, 256, 64},  // aes
    {64, 64, 0},     // des
    {128, 192, 64},  // 3des
    {40, 128, 8},    // cast5
    {32, 448, 0},    // blowfish
    {128, 256, 8},   // twofish
    {128, 128, 0},   // idea
    {8, 2048, 8},    // rc4
    {8, 128, 8},     // rc2
    {128, 128, 0},   // tea
    {128, 128, 0},   // xtea
    {128, 128, 0},   // xxtea
    {128, 256, 64},  // aes-gcm
    {128, 256, 64},  // rijndael
    {256, 256, 0},   // chacha20
    {256, 256, 0},   // chacha20-poly1305
    {128, 256, 128}, // salsa20
    {128, 256, 64},  // aes-ocb
};

constexpr SizeRule kAnySize = {INT32_MIN, INT32_MAX, 0};
constexpr SizeRule kOnlyZero = {0, 0, 0};

constexpr SizeRule kBlockRules[kCipherCount] = {
    {128, 128, 0},         // aes
    {64, 64, 0},           // des
    {64, 64, 0},           // 3des
    {64, 64, 0},           // cast5
    {64, 64, 0},           // blowfish
    {128, 128, 0},         // twofish
    {64, 64, 0},           // idea
    kAnySize,              // rc4
    {64, 64, 0},           // rc2
    {64, 64, 0},           // tea
    {64, 64, 0},           // xtea
    {64, INT32_MAX, 32},   // xxtea
    kOnlyZero,             // aes-gcm
    {128, 256, 64},        // rijndael
    kAnySize,              // chacha20
    kOnlyZero,             // chacha20-poly1305
    kAnySize,              // salsa20
    kOnlyZero,             // aes-ocb
};

bool Passes(const SizeRule& rule, int32_t bits) {
  return bits >= rule.minimum && bits <= rule.maximum && (rule.step == 0 || bits % rule.step == 0);
}

bool KnownInternal(int32_t id) { return id >= 0 && id < kCipherCount; }

}  // namespace

int32_t CipherEngineIdToInternalId(int32_t engine_id) {
  return KnownInternal(engine_id) ? kNames[engine_id].internal_id : -1;
}

const char* CipherIdToName(int32_t engine_id) { return KnownInternal(engine_id) ? kNames[engine_id].name : ""; }

int32_t CipherNameToId(const char* name) {
  core::Buffer text;
  int rc = text.SetString(name != nullptr ? name : "");
  if (rc == 0) rc = text.TrimByte(' ');
  if (rc != 0) return rc;
  text.ToLowerAscii();
  for (const NameMatch& match : kMatchOrder) {
    if (std::strcmp(text.Data(), match.name) == 0 && static_cast<size_t>(text.Length()) == std::strlen(match.name)) {
      return match.engine_id;
    }
  }
  return kUnknownCipher;
}

int CheckKeySizeFor(int32_t internal_id, int32_t bits) {
  const bool ok = KnownInternal(internal_id) ? Passes(kKeyRules[internal_id], bits) : bits == 0;
  return ok ? 0 : kBadKeySize;
}

int CheckBlockSizeFor(int32_t internal_id, int32_t bits) {
  const bool ok = KnownInternal(internal_id) ? Passes(kBlockRules[internal_id], bits) : bits == 0;
  return ok ? 0 : kBadBlockSize;
}

int CheckTagSizeFor(int32_t mode, int32_t bits) {
  bool ok = bits == 0;
  if (mode == kModeGcm) ok = bits >= 96 && bits <= 128 && bits % 8 == 0;
  if (mode == kModeGcmShortTag) ok = bits >= 8 && bits <= 128 && bits % 8 == 0;
  return ok ? 0 : kBadTagSize;
}

const CipherDefaults* DefaultsFor(int32_t internal_id) {
  return KnownInternal(internal_id) ? &kDefaults[internal_id] : nullptr;
}

}  // namespace velmora::crypto
