// UMAC (RFC 4418) with AES-128: the key derivation, the NH layer over 1024-byte chunks, the polynomial
// layer modulo 2^64 - 59 for longer messages, the L3 inner product modulo 2^36 - 5 and the pad of the
// nonce, with a cache of the last pad block so that nonces differing only in their low bits share one
// AES computation.
#include "crypto/mac/umac.h"

#include <atomic>
#include <cstring>

#include "core/byte_order.h"
#include "crypto/cipher/aes.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr size_t kChunk = 1024;
constexpr uint64_t kP64 = 0xFFFFFFFFFFFFFFC5ull;  // 2^64 - 59
constexpr uint64_t kP36 = 0xFFFFFFFFBull;         // 2^36 - 5

std::atomic<uint64_t> g_pad_computations{0};

uint32_t Le32(const uint8_t* p) { return core::ReadUInt32LE(p); }

uint64_t Be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

// NhKernel adds the NH sums of length / 32 groups to the accumulators of the streams in use; stream s
// meets the key 4·s words further on.
void NhKernel(const uint32_t* key, const uint8_t* data, size_t length, int32_t streams, uint64_t acc[4]) {
  for (size_t g = 0; g < length / 32; ++g, data += 32, key += 8) {
    uint32_t m[8];
    for (int j = 0; j < 8; ++j) m[j] = Le32(data + 4 * j);
    for (int32_t s = 0; s < streams; ++s) {
      const uint32_t* k = key + 4 * s;
      uint64_t sum = 0;
      for (int j = 0; j < 4; ++j) sum += uint64_t{static_cast<uint32_t>(m[j] + k[j])} * static_cast<uint32_t>(m[j + 4] + k[j + 4]);
      acc[s] += sum;
    }
  }
}

// PolyStep: cur × key + data modulo 2^64 - 59, not fully reduced, from 32-bit halves (the key masks keep
// every product within 64 bits).
uint64_t PolyStep(uint64_t cur, uint64_t key, uint64_t data) {
  const uint64_t key_hi = key >> 32, key_lo = key & 0xFFFFFFFF;
  const uint64_t cur_hi = cur >> 32, cur_lo = cur & 0xFFFFFFFF;
  const uint64_t x = key_hi * cur_lo + cur_hi * key_lo;
  uint64_t res = (key_hi * cur_hi + (x >> 32)) * 59 + key_lo * cur_lo;
  const uint64_t t = x << 32;
  res += t;
  if (res < t) res += 59;
  res += data;
  if (res < data) res += 59;
  return res;
}

uint32_t ReduceP36(uint64_t x) {
  uint64_t t = (x >> 36) * 5 + (x & 0xFFFFFFFFFull);
  if (t >= kP36) t -= kP36;
  return static_cast<uint32_t>(t);
}

// L3 turns one stream's 64-bit value into 32 tag bits, written big-endian.
void L3(const uint64_t key[4], uint32_t translate, uint64_t y, uint8_t out[4]) {
  const uint64_t sum = key[0] * (y >> 48) + key[1] * ((y >> 32) & 0xFFFF) + key[2] * ((y >> 16) & 0xFFFF) + key[3] * (y & 0xFFFF);
  const uint32_t word = ReduceP36(sum) ^ translate;
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(word >> (24 - 8 * i));
}

}  // namespace

void* Umac::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void Umac::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

uint64_t Umac::PadComputationsForTest() { return g_pad_computations.load(std::memory_order_relaxed); }

Umac::~Umac() {
  platform::SecureZero(pad_cache_, sizeof pad_cache_);
  platform::SecureZero(tag_, sizeof tag_);
  platform::SecureZero(&hash_, sizeof hash_);
}

void Umac::Kdf(uint8_t* out, uint8_t index, size_t length) {
  uint8_t t[16] = {};
  uint8_t block[16];
  t[7] = index;
  for (size_t at = 0; at < length; at += 16) {
    ++t[15];
    AesEncryptBlock(hash_key_.RoundKeys(), hash_key_.Rounds(), t, block);
    std::memcpy(out + at, block, length - at < 16 ? length - at : 16);
  }
  platform::SecureZero(t, sizeof t);
  platform::SecureZero(block, sizeof block);
}

int Umac::Key(const uint8_t* key, int32_t key_length, int32_t tag_bits) {
  if (tag_bits != 32 && tag_bits != 64 && tag_bits != 96 && tag_bits != 128) return -1;
  if (key == nullptr || key_length != 16) return -1;
  tag_length_ = tag_bits / 8;
  return SetKey(key);
}

int Umac::SetKey(const uint8_t key[16]) {
  if (hash_key_.RoundKeys() == nullptr || pad_key_.RoundKeys() == nullptr) return core::kOutOfMemory;
  std::memset(pad_cache_, 0, sizeof pad_cache_);
  std::memset(nonce_, 0, sizeof nonce_);
  std::memset(tag_, 0, sizeof tag_);
  hash_key_.Rounds() = AesSetEncryptKey(hash_key_.RoundKeys(), key, 128);
  // The pad key, and the pad of the all-zero nonce block.
  uint8_t derived[288];
  Kdf(derived, 0, 16);
  pad_key_.Rounds() = AesSetEncryptKey(pad_key_.RoundKeys(), derived, 128);
  AesEncryptBlock(pad_key_.RoundKeys(), pad_key_.Rounds(), nonce_, pad_cache_);
  g_pad_computations.fetch_add(1, std::memory_order_relaxed);
  // The hash keys.
  std::memset(&hash_, 0, sizeof hash_);
  auto* nh_bytes = reinterpret_cast<uint8_t*>(hash_.nh_key);
  Kdf(nh_bytes, 1, sizeof hash_.nh_key);
  for (uint32_t& word : hash_.nh_key) {
    const auto* b = reinterpret_cast<const uint8_t*>(&word);
    word = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
  }
  Kdf(derived, 2, sizeof derived);
  for (int i = 0; i < 4; ++i) hash_.poly_key[i] = Be64(derived + 24 * i) & 0x01FFFFFF01FFFFFFull;
  Kdf(derived, 3, sizeof derived);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) hash_.l3_key[i][j] = Be64(derived + 64 * i + 32 + 8 * j) % kP36;
  }
  Kdf(derived, 4, 16);
  for (int i = 0; i < 4; ++i) hash_.l3_translate[i] = static_cast<uint32_t>(Be64(derived + 4 * i) >> 32);
  platform::SecureZero(derived, sizeof derived);
  UhashReset();
  return 0;
}

// ---- NH layer -----------------------------------------------------------------------------------------

void Umac::NhBlocks(const uint8_t* data, size_t length) {
  NhKernel(hash_.nh_key + hash_.chunk_offset / 4, data, length, Streams(), hash_.nh);
}

void Umac::NhUpdate(const uint8_t* data, size_t length) {
  if (hash_.buffered + length >= 64) {
    if (hash_.buffered > 0) {
      const size_t take = 64 - hash_.buffered;
      std::memcpy(hash_.buffer + hash_.buffered, data, take);
      NhBlocks(hash_.buffer, 64);
      hash_.chunk_offset += 64;
      data += take;
      length -= take;
      hash_.buffered = 0;
    }
    const size_t whole = length - length % 64;
    NhBlocks(data, whole);
    hash_.chunk_offset += static_cast<uint32_t>(whole);
    data += whole;
    length -= whole;
  }
  std::memcpy(hash_.buffer + hash_.buffered, data, length);
  hash_.buffered += static_cast<uint32_t>(length);
}

void Umac::NhFinal(uint64_t out[4]) {
  if (hash_.buffered > 0) {
    const uint32_t padded = (hash_.buffered + 31) / 32 * 32;
    std::memset(hash_.buffer + hash_.buffered, 0, padded - hash_.buffered);
    NhBlocks(hash_.buffer, padded);
    hash_.chunk_offset += hash_.buffered;
  } else if (hash_.chunk_offset == 0) {
    static const uint8_t kZeros[32] = {};
    NhBlocks(kZeros, 32);
  }
  for (int32_t s = 0; s < Streams(); ++s) out[s] = hash_.nh[s] + 8 * uint64_t{hash_.chunk_offset};
  hash_.buffered = 0;
  hash_.chunk_offset = 0;
  std::memset(hash_.nh, 0, sizeof hash_.nh);
}

void Umac::NhChunk(const uint8_t* data, uint64_t out[4]) {
  for (int32_t s = 0; s < Streams(); ++s) out[s] = 8 * kChunk;
  NhKernel(hash_.nh_key, data, kChunk, Streams(), out);
}

// ---- polynomial layer, message flow, tag ---------------------------------------------------------------------

void Umac::PolyHash(const uint64_t d[4]) {
  for (int32_t s = 0; s < Streams(); ++s) {
    if (d[s] >> 32 == 0xFFFFFFFF) {
      hash_.poly[s] = PolyStep(hash_.poly[s], hash_.poly_key[s], kP64 - 1);
      hash_.poly[s] = PolyStep(hash_.poly[s], hash_.poly_key[s], d[s] - 59);
    } else {
      hash_.poly[s] = PolyStep(hash_.poly[s], hash_.poly_key[s], d[s]);
    }
  }
}

void Umac::Update(const uint8_t* data, size_t length) {
  if (hash_.count + length <= kChunk) {
    NhUpdate(data, length);
    hash_.count += length;
    return;
  }
  uint64_t d[4] = {};
  const size_t done = hash_.count == kChunk ? kChunk : static_cast<size_t>(hash_.count % kChunk);
  if (done + length >= kChunk) {
    if (done != 0) {
      const size_t take = kChunk - done;
      NhUpdate(data, take);
      NhFinal(d);
      PolyHash(d);
      hash_.count += take;
      data += take;
      length -= take;
    }
    for (; length >= kChunk; data += kChunk, length -= kChunk) {
      NhChunk(data, d);
      hash_.count += kChunk;
      PolyHash(d);
    }
  }
  NhUpdate(data, length);
  hash_.count += length;
}

void Umac::UhashFinal(uint8_t tag[16]) {
  uint64_t d[4] = {};
  if (hash_.count <= kChunk) {
    NhFinal(d);
    for (int32_t s = 0; s < Streams(); ++s) L3(hash_.l3_key[s], hash_.l3_translate[s], d[s], tag + 4 * s);
  } else {
    if (hash_.count % kChunk != 0) {
      NhFinal(d);
      PolyHash(d);
    }
    for (int32_t s = 0; s < Streams(); ++s) {
      uint64_t y = hash_.poly[s];
      if (y >= kP64) y -= kP64;
      L3(hash_.l3_key[s], hash_.l3_translate[s], y, tag + 4 * s);
    }
  }
  UhashReset();
}

void Umac::UhashReset() {
  hash_.buffered = 0;
  hash_.chunk_offset = 0;
  std::memset(hash_.nh, 0, sizeof hash_.nh);
  hash_.count = 0;
  for (int32_t s = 0; s < 4; ++s) hash_.poly[s] = 1;
}

void Umac::PdfXor(const uint8_t nonce[8], uint8_t tag[16]) {
  const uint8_t mask = tag_length_ == 4 ? 3 : tag_length_ == 8 ? 1 : 0;
  const int32_t index = nonce[7] & mask;
  uint8_t masked[8];
  std::memcpy(masked, nonce, 8);
  masked[7] = static_cast<uint8_t>(masked[7] & ~mask);
  if (std::memcmp(masked, nonce_, 8) != 0) {
    std::memcpy(nonce_, masked, 8);
    AesEncryptBlock(pad_key_.RoundKeys(), pad_key_.Rounds(), nonce_, pad_cache_);
    g_pad_computations.fetch_add(1, std::memory_order_relaxed);
  }
  const int32_t n = Streams() * 4;
  const int32_t from = tag_length_ == 4 ? 4 * index : tag_length_ == 8 ? 8 * index : 0;
  for (int32_t i = 0; i < n; ++i) tag[i] ^= pad_cache_[from + i];
}

int Umac::Final(const uint8_t* nonce, int32_t nonce_length) {
  if (nonce == nullptr || nonce_length != 8) return -1;
  if (hash_key_.RoundKeys() == nullptr || pad_key_.RoundKeys() == nullptr) return core::kOutOfMemory;
  uint8_t tag[16] = {};
  UhashFinal(tag);
  PdfXor(nonce, tag);
  const int32_t n = Streams() * 4;
  std::memcpy(tag_, tag, 16);
  std::memset(tag_ + n, 0, static_cast<size_t>(16 - n));
  platform::SecureZero(tag, sizeof tag);
  return 0;
}

}  // namespace velmora::crypto
