// AES and Rijndael with table-driven rounds. The tables are computed at compile time from the field
// arithmetic of FIPS-197 section 4 (the S-box is the affine image of the multiplicative inverse), so
// no table is typed in.
#include "crypto/cipher/aes.h"

#include <atomic>
#include <cstring>

#include "core/byte_order.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr uint8_t XTime(uint8_t b) { return static_cast<uint8_t>((b << 1) ^ ((b & 0x80) != 0 ? 0x1b : 0)); }

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (; b != 0; b >>= 1, a = XTime(a)) {
    if ((b & 1) != 0) product ^= a;
  }
  return product;
}

constexpr uint8_t Rotl8(uint8_t b, int n) { return static_cast<uint8_t>((b << n) | (b >> (8 - n))); }

// FIPS-197 5.1.1: the inverse in GF(2^8) (b^254, with 0 mapped to 0) followed by the affine transform.
constexpr uint8_t SubByte(uint8_t b) {
  // b^254 by square-and-multiply over the exponent bits 11111110 (0^254 is 0, as required).
  uint8_t inverse = 1;
  for (int bit = 7; bit >= 0; --bit) {
    inverse = GfMul(inverse, inverse);
    if (bit != 0) inverse = GfMul(inverse, b);
  }
  return static_cast<uint8_t>(inverse ^ Rotl8(inverse, 1) ^ Rotl8(inverse, 2) ^ Rotl8(inverse, 3) ^
                              Rotl8(inverse, 4) ^ 0x63);
}

constexpr uint32_t Word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | b3;
}

constexpr uint32_t Rotr(uint32_t w, int n) { return n == 0 ? w : (w >> n) | (w << (32 - n)); }

constexpr internal::AesTables MakeTables() {
  internal::AesTables t{};
  for (int x = 0; x < 256; ++x) t.sbox[x] = SubByte(static_cast<uint8_t>(x));
  for (int x = 0; x < 256; ++x) t.inverse_sbox[t.sbox[x]] = static_cast<uint8_t>(x);
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = t.sbox[x];
    const uint8_t v = t.inverse_sbox[x];
    // One column of MixColumns (02 01 01 03) and of InvMixColumns (0e 09 0d 0b) on a single byte.
    const uint32_t te0 = Word(GfMul(s, 2), s, s, GfMul(s, 3));
    const uint32_t td0 = Word(GfMul(v, 14), GfMul(v, 9), GfMul(v, 13), GfMul(v, 11));
    for (int k = 0; k < 4; ++k) {
      t.te[k][x] = Rotr(te0, 8 * k);
      t.td[k][x] = Rotr(td0, 8 * k);
    }
  }
  return t;
}

constexpr internal::AesTables kTables = MakeTables();
constexpr auto& kTe = kTables.te;
constexpr auto& kTd = kTables.td;
constexpr auto& kSbox = kTables.sbox;
constexpr auto& kInverseSbox = kTables.inverse_sbox;

// Round constants: successive powers of x, enough for the longest Rijndael schedule (120 words, Nk 4).
constexpr auto kRcon = [] {
  struct {
    uint8_t value[30];
  } r{};
  uint8_t c = 1;
  for (auto& v : r.value) {
    v = c;
    c = XTime(c);
  }
  return r;
}();

inline uint32_t Load32(const uint8_t* p) { return Word(p[0], p[1], p[2], p[3]); }
inline void Store32(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

inline uint32_t SubWord(uint32_t w) {
  return Word(kSbox[w >> 24], kSbox[(w >> 16) & 255], kSbox[(w >> 8) & 255], kSbox[w & 255]);
}

// InvMixColumn of one word, the form the decryption rounds expect their round keys in.
inline uint32_t InvMixWord(uint32_t w) {
  return kTd[0][kSbox[w >> 24]] ^ kTd[1][kSbox[(w >> 16) & 255]] ^ kTd[2][kSbox[(w >> 8) & 255]] ^
         kTd[3][kSbox[w & 255]];
}

int32_t RoundsFor(int32_t key_bytes, int32_t block_bytes) {
  const int32_t larger = key_bytes > block_bytes ? key_bytes : block_bytes;
  return larger == 16 ? 10 : larger == 24 ? 12 : 14;
}

bool ValidSize(int32_t bytes) { return bytes == 16 || bytes == 24 || bytes == 32; }

// ExpandKey writes (rounds + 1) * nb words in encryption order (FIPS-197 5.2, widened to nb columns).
void ExpandKey(uint32_t* w, const uint8_t* key, int32_t nk, int32_t nb, int32_t rounds) {
  const int32_t total = (rounds + 1) * nb;
  for (int32_t i = 0; i < nk; ++i) w[i] = Load32(key + 4 * i);
  for (int32_t i = nk; i < total; ++i) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = SubWord(Rotr(temp, 24)) ^ (uint32_t{kRcon.value[i / nk - 1]} << 24);
    } else if (nk > 6 && i % nk == 4) {
      temp = SubWord(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }
}

// ToDecryptionOrder reverses the round keys (nb words each) and folds InvMixColumns into every round
// key but the first and the last (FIPS-197 5.3.5, the equivalent inverse cipher).
void ToDecryptionOrder(uint32_t* w, int32_t nb, int32_t rounds) {
  for (int32_t lo = 0, hi = rounds; lo < hi; ++lo, --hi) {
    for (int32_t j = 0; j < nb; ++j) {
      const uint32_t t = w[lo * nb + j];
      w[lo * nb + j] = w[hi * nb + j];
      w[hi * nb + j] = t;
    }
  }
  for (int32_t i = nb; i < rounds * nb; ++i) w[i] = InvMixWord(w[i]);
}

// The round function over NB columns. Shift holds the column offsets of rows 1..3 (ShiftRows for
// encryption, its inverse for decryption); T are the round tables and Last the final S-box.
template <int NB, int C1, int C2, int C3>
inline void Rounds(const uint32_t* rk, int32_t rounds, const uint8_t* in, uint8_t* out, const uint32_t (&t)[4][256],
                   const uint8_t* last) {
  uint32_t s[NB];
  uint32_t n[NB];
  for (int j = 0; j < NB; ++j) s[j] = Load32(in + 4 * j) ^ rk[j];
  for (int32_t r = 1; r < rounds; ++r) {
    rk += NB;
#pragma GCC unroll 8
    for (int j = 0; j < NB; ++j) {
      n[j] = t[0][s[j] >> 24] ^ t[1][(s[(j + C1) % NB] >> 16) & 255] ^ t[2][(s[(j + C2) % NB] >> 8) & 255] ^
             t[3][s[(j + C3) % NB] & 255] ^ rk[j];
    }
    for (int j = 0; j < NB; ++j) s[j] = n[j];
  }
  rk += NB;
  for (int j = 0; j < NB; ++j) {
    const uint32_t v = Word(last[s[j] >> 24], last[(s[(j + C1) % NB] >> 16) & 255],
                            last[(s[(j + C2) % NB] >> 8) & 255], last[s[(j + C3) % NB] & 255]);
    Store32(out + 4 * j, v ^ rk[j]);
  }
}

void AesEncryptPortable(const uint32_t* rk, int32_t rounds, const uint8_t* in, uint8_t* out) {
  Rounds<4, 1, 2, 3>(rk, rounds, in, out, kTe, kSbox);
}
void AesDecryptPortable(const uint32_t* rk, int32_t rounds, const uint8_t* in, uint8_t* out) {
  Rounds<4, 3, 2, 1>(rk, rounds, in, out, kTd, kInverseSbox);
}

std::atomic<internal::AesPath> g_path{internal::AesPath::kWide};

bool UseAesNi() {
  static const bool available = internal::CpuHasAesNi();
  return available && g_path.load(std::memory_order_relaxed) != internal::AesPath::kPortable;
}

bool UseWideAes() {
  static const bool available = internal::CpuHasWideAes();
  return available && g_path.load(std::memory_order_relaxed) == internal::AesPath::kWide;
}

}  // namespace

const internal::AesTables& internal::AesTablesForTest() { return kTables; }

void SetPortableAes(bool portable) {
  internal::ForceAesPath(portable ? internal::AesPath::kPortable : internal::AesPath::kWide);
}
bool AesAccelerationActive() { return UseAesNi(); }
void internal::ForceAesPath(AesPath path) { g_path.store(path, std::memory_order_relaxed); }
bool internal::AesWideActive() { return UseAesNi() && UseWideAes(); }

int32_t AesSetEncryptKey(uint32_t* round_keys, const uint8_t* key, int32_t key_bits) {
  if (!ValidSize(key_bits / 8) || key_bits % 8 != 0) return 0;
  const int32_t rounds = RoundsFor(key_bits / 8, 16);
  if (key_bits == 128 && UseAesNi()) {
    internal::AesExpandKey128Ni(round_keys, key);
  } else {
    ExpandKey(round_keys, key, key_bits / 32, 4, rounds);
  }
  return rounds;
}

int32_t AesSetDecryptKey(uint32_t* round_keys, const uint8_t* key, int32_t key_bits) {
  const int32_t rounds = AesSetEncryptKey(round_keys, key, key_bits);
  if (rounds != 0) ToDecryptionOrder(round_keys, 4, rounds);
  return rounds;
}

void AesEncryptBlock(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out) {
  if (UseAesNi()) {
    internal::AesEncryptBlocksNi(round_keys, rounds, in, out, 1);
  } else {
    AesEncryptPortable(round_keys, rounds, in, out);
  }
}

void AesDecryptBlock(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out) {
  if (UseAesNi()) {
    internal::AesDecryptBlocksNi(round_keys, rounds, in, out, 1);
  } else {
    AesDecryptPortable(round_keys, rounds, in, out);
  }
}

void AesEncryptBlocks(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out, size_t blocks) {
  if (UseAesNi()) return internal::AesEncryptBlocksNi(round_keys, rounds, in, out, blocks);
  for (size_t i = 0; i < blocks; ++i) AesEncryptPortable(round_keys, rounds, in + 16 * i, out + 16 * i);
}

void AesDecryptBlocks(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out, size_t blocks) {
  if (UseAesNi()) return internal::AesDecryptBlocksNi(round_keys, rounds, in, out, blocks);
  for (size_t i = 0; i < blocks; ++i) AesDecryptPortable(round_keys, rounds, in + 16 * i, out + 16 * i);
}

void AesCbcEncryptBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks) {
  if (UseAesNi()) return internal::AesCbcEncryptBlocksNi(round_keys, rounds, iv, in, out, blocks);
  for (size_t i = 0; i < blocks; ++i) {
    for (int j = 0; j < 16; ++j) iv[j] ^= in[16 * i + j];
    AesEncryptPortable(round_keys, rounds, iv, iv);
    std::memcpy(out + 16 * i, iv, 16);
  }
}

void AesCbcDecryptBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks) {
  if (UseAesNi()) return internal::AesCbcDecryptBlocksNi(round_keys, rounds, iv, in, out, blocks);
  uint8_t block[16];
  for (size_t i = 0; i < blocks; ++i) {
    std::memcpy(block, in + 16 * i, 16);
    AesDecryptPortable(round_keys, rounds, block, out + 16 * i);
    for (int j = 0; j < 16; ++j) out[16 * i + j] ^= iv[j];
    std::memcpy(iv, block, 16);
  }
}

void AesCtrBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t counter[16], const uint8_t* in, uint8_t* out,
                  size_t blocks) {
  if (UseWideAes() && UseAesNi()) return internal::AesCtrBlocksWide(round_keys, rounds, counter, in, out, blocks);
  if (UseAesNi()) return internal::AesCtrBlocksNi(round_keys, rounds, counter, in, out, blocks);
  uint64_t high = core::LoadUInt64BE(counter), low = core::LoadUInt64BE(counter + 8);
  uint8_t stream[16];
  for (size_t i = 0; i < blocks; ++i) {
    core::StoreUInt64BE(stream, high);
    core::StoreUInt64BE(stream + 8, low);
    if (++low == 0) ++high;
    AesEncryptPortable(round_keys, rounds, stream, stream);
    for (int j = 0; j < 16; ++j) out[16 * i + j] = static_cast<uint8_t>(in[16 * i + j] ^ stream[j]);
  }
  core::StoreUInt64BE(counter, high);
  core::StoreUInt64BE(counter + 8, low);
  platform::SecureZero(stream, sizeof stream);
}

void AesXtsBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in, uint8_t* out,
                  size_t blocks, bool encrypt) {
  if (UseWideAes() && UseAesNi()) {
    return internal::AesXtsBlocksWide(round_keys, rounds, tweak, in, out, blocks, encrypt);
  }
  if (UseAesNi()) return internal::AesXtsBlocksNi(round_keys, rounds, tweak, in, out, blocks, encrypt);
  uint8_t block[16];
  for (size_t i = 0; i < blocks; ++i) {
    for (int j = 0; j < 16; ++j) block[j] = static_cast<uint8_t>(in[16 * i + j] ^ tweak[j]);
    if (encrypt) {
      AesEncryptPortable(round_keys, rounds, block, block);
    } else {
      AesDecryptPortable(round_keys, rounds, block, block);
    }
    for (int j = 0; j < 16; ++j) out[16 * i + j] = static_cast<uint8_t>(block[j] ^ tweak[j]);
    DoubleLittleEndian(tweak);
  }
  platform::SecureZero(block, sizeof block);
}

int32_t RijndaelSetKey(uint32_t* round_keys, const uint8_t* key, int32_t key_bytes, int32_t block_bytes,
                       int32_t decrypt) {
  if (!ValidSize(key_bytes) || !ValidSize(block_bytes)) return 0;
  const int32_t nb = block_bytes / 4;
  const int32_t rounds = RoundsFor(key_bytes, block_bytes);
  ExpandKey(round_keys, key, key_bytes / 4, nb, rounds);
  if (decrypt != 0) ToDecryptionOrder(round_keys, nb, rounds);
  return rounds;
}

void RijndaelEncryptBlock(const uint32_t* round_keys, int32_t block_bytes, int32_t rounds, const uint8_t* in,
                          uint8_t* out) {
  // ShiftRows offsets of the Rijndael proposal: (1, 2, 3) up to six columns, (1, 3, 4) for eight.
  if (block_bytes == 24) {
    Rounds<6, 1, 2, 3>(round_keys, rounds, in, out, kTe, kSbox);
  } else if (block_bytes == 32) {
    Rounds<8, 1, 3, 4>(round_keys, rounds, in, out, kTe, kSbox);
  } else {
    AesEncryptBlock(round_keys, rounds, in, out);
  }
}

void RijndaelDecryptBlock(const uint32_t* round_keys, int32_t block_bytes, int32_t rounds, const uint8_t* in,
                          uint8_t* out) {
  if (block_bytes == 24) {
    Rounds<6, 5, 4, 3>(round_keys, rounds, in, out, kTd, kInverseSbox);
  } else if (block_bytes == 32) {
    Rounds<8, 7, 5, 4>(round_keys, rounds, in, out, kTd, kInverseSbox);
  } else {
    AesDecryptBlock(round_keys, rounds, in, out);
  }
}

namespace {

// CfbOverBuffer is CFB-128 in place; the register takes the ciphertext byte of each position.
void CfbOverBuffer(uint8_t* data, int32_t length, const uint8_t* key, int32_t key_bits, const uint8_t iv[16],
                   bool encrypt) {
  uint32_t round_keys[60];
  const int32_t rounds = AesSetEncryptKey(round_keys, key, key_bits);
  uint8_t reg[16];
  uint8_t stream[16];
  std::memcpy(reg, iv, 16);
  for (int32_t at = 0; at < length; at += 16) {
    AesEncryptBlock(round_keys, rounds, reg, stream);
    const int32_t n = length - at < 16 ? length - at : 16;
    for (int32_t j = 0; j < n; ++j) {
      const uint8_t in = data[at + j];
      data[at + j] = static_cast<uint8_t>(in ^ stream[j]);
      reg[j] = encrypt ? data[at + j] : in;
    }
  }
  platform::SecureZero(round_keys, sizeof round_keys);
  platform::SecureZero(stream, sizeof stream);
}

}  // namespace

void AesCfbEncrypt(uint8_t* data, int32_t length, const uint8_t* key, int32_t key_bits, const uint8_t iv[16]) {
  CfbOverBuffer(data, length, key, key_bits, iv, true);
}

void AesCfbDecrypt(uint8_t* data, int32_t length, const uint8_t* key, int32_t key_bits, const uint8_t iv[16]) {
  CfbOverBuffer(data, length, key, key_bits, iv, false);
}

void AesEcbEncryptPadded(uint8_t* data, int32_t* length, const uint8_t* key, int32_t key_bits) {
  const int32_t pad = 16 - *length % 16;
  std::memset(data + *length, pad, static_cast<size_t>(pad));
  *length += pad;
  uint32_t round_keys[60];
  const int32_t rounds = AesSetEncryptKey(round_keys, key, key_bits);
  AesEncryptBlocks(round_keys, rounds, data, data, static_cast<size_t>(*length / 16));
  platform::SecureZero(round_keys, sizeof round_keys);
}

int AesEcbDecryptPadded(uint8_t* data, int32_t* length, const uint8_t* key, int32_t key_bits) {
  if (*length <= 0 || *length % 16 != 0) return kNotWholeBlocks;
  uint32_t round_keys[60];
  const int32_t rounds = AesSetDecryptKey(round_keys, key, key_bits);
  AesDecryptBlocks(round_keys, rounds, data, data, static_cast<size_t>(*length / 16));
  platform::SecureZero(round_keys, sizeof round_keys);
  // The pad is checked without a data-dependent early exit.
  const uint8_t pad = data[*length - 1];
  uint32_t bad = static_cast<uint32_t>(pad == 0) | static_cast<uint32_t>(pad > 16);
  for (int32_t i = 1; i <= 16; ++i) {
    const uint32_t inside = static_cast<uint32_t>(i <= pad);
    bad |= inside & static_cast<uint32_t>(data[*length - i] != pad);
  }
  if (bad != 0) return kBadPadding;
  *length -= pad;
  return 0;
}

void IncrementBigEndianCounter(uint8_t* bytes, int32_t count) { IncrementCounterBigEndian(bytes, count); }

}  // namespace velmora::crypto
