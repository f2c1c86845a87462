// The numbering of the symmetric ciphers, modes and paddings, their names, and the key, block and tag
// size rules of the cipher object.
#pragma once

#include <cstdint>

namespace velmora::crypto {

// Result codes of the cipher code (0 = success, 200 = missing storage, core::kOutOfMemory).
constexpr int kWrongPhase = -1;
constexpr int kCounterBudgetExhausted = 1001;
constexpr int kUnknownCipher = 2001;
constexpr int kModeNotSupported = 2002;
constexpr int kNotWholeBlocks = 2003;
constexpr int kBadPadding = 2004;
constexpr int kBadKeySize = 2005;
constexpr int kBadBlockSize = 2006;
constexpr int kCtsTooShort = 2007;
constexpr int kBadTagSize = 2009;
constexpr int kBadSalsaRounds = 3002;
constexpr int kBadTeaRounds = 3002;

// InternalCipherId: the id the cipher object stores.
constexpr int32_t kCipherAes = 0;
constexpr int32_t kCipherDes = 1;
constexpr int32_t kCipher3Des = 2;
constexpr int32_t kCipherCast5 = 3;
constexpr int32_t kCipherBlowfish = 4;
constexpr int32_t kCipherTwofish = 5;
constexpr int32_t kCipherIdea = 6;
constexpr int32_t kCipherRc4 = 7;
constexpr int32_t kCipherRc2 = 8;
constexpr int32_t kCipherTea = 9;
constexpr int32_t kCipherXtea = 10;
constexpr int32_t kCipherXxtea = 11;
constexpr int32_t kCipherAesGcm = 12;
constexpr int32_t kCipherRijndael = 13;
constexpr int32_t kCipherChaCha20 = 14;
constexpr int32_t kCipherChaCha20Poly1305 = 15;
constexpr int32_t kCipherSalsa20 = 16;
constexpr int32_t kCipherAesOcb = 17;
constexpr int32_t kCipherCount = 18;

// CipherAlgorithmId: the engine ids of the crypto components that differ from the internal ones.
constexpr int32_t kEngineCipherAes = 0;
constexpr int32_t kEngineCipherDes = 1;
constexpr int32_t kEngineCipher3Des = 2;
constexpr int32_t kEngineCipherAesGcm = 15;

// CipherModeId.
constexpr int32_t kModeCbc = 1;
constexpr int32_t kModeEcb = 2;
constexpr int32_t kModeOfb = 3;
constexpr int32_t kModeCfb = 4;
constexpr int32_t kModeCts = 5;
constexpr int32_t kModeGcm = 6;
constexpr int32_t kModeCtr = 7;
constexpr int32_t kModeXts = 8;
constexpr int32_t kModeGcmShortTag = 9;

// CipherPaddingId.
constexpr int32_t kPaddingNone = 1;
constexpr int32_t kPaddingPkcs7 = 2;
constexpr int32_t kPaddingZeros = 3;
constexpr int32_t kPaddingZerosLength = 4;
constexpr int32_t kPaddingRandomLength = 5;

// CipherEngineIdToInternalId maps an engine id 0..17 to the internal id; -1 for any other value.
int32_t CipherEngineIdToInternalId(int32_t engine_id);
// CipherIdToName returns the name of an engine id, or "" for any other value (static text).
const char* CipherIdToName(int32_t engine_id);
// CipherNameToId returns the engine id named by name (blanks around it and letter case ignored, the
// aliases "tripledes", "cast128", "arcfour", "blocktea" and "correctedblocktea" accepted), 2001 for an
// unknown name, or 200 when the copy of the name cannot be made. Null counts as "".
int32_t CipherNameToId(const char* name);

// The size rules on an internal id (key and block) or a mode (tag): 0, or 2005, 2006, 2009.
int CheckKeySizeFor(int32_t internal_id, int32_t bits);
int CheckBlockSizeFor(int32_t internal_id, int32_t bits);
int CheckTagSizeFor(int32_t mode, int32_t bits);

// CipherDefaults are the settings InternalCipher::SetAlgorithm writes for an internal id; a negative
// mode, padding or tag means "left as it was".
struct CipherDefaults {
  int32_t key_bits;
  int32_t block_bits;
  int32_t stream;
  int32_t mode;
  int32_t padding;
  int32_t tag_bits;
};
// DefaultsFor returns the defaults of an internal id 0..17, or null.
const CipherDefaults* DefaultsFor(int32_t internal_id);

}  // namespace velmora::crypto
