// Word loads and stores of the digest cores: fixed byte order on unaligned bytes, one machine load or
// store each on this little-endian target.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::crypto::internal {

inline uint32_t Load32LE(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline uint32_t Load32BE(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

inline uint64_t Load64LE(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline uint64_t Load64BE(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

inline void Store32LE(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

inline void Store32BE(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

inline void Store64LE(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline void Store64BE(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// FeedBlocks is the buffered update of the block-at-a-time digests: held bytes wait in block; they
// are completed and compressed first, whole blocks are compressed straight from data, and the rest is
// kept. compress(pointer, block count) runs the block function.
template <uint32_t kBlock, typename Compress>
void FeedBlocks(uint8_t* block, uint32_t held, const uint8_t* data, uint32_t length, Compress compress) {
  uint32_t taken = 0;
  if (held != 0) {
    const uint32_t room = kBlock - held;
    if (length < room) {
      std::memcpy(block + held, data, length);
      return;
    }
    std::memcpy(block + held, data, room);
    compress(block, 1);
    taken = room;
  }
  const size_t whole = (length - taken) / kBlock;
  if (whole > 0) compress(data + taken, whole);
  taken += static_cast<uint32_t>(whole * kBlock);
  if (taken < length) std::memcpy(block, data + taken, length - taken);
}

// The 64 SHA-256 round constants (FIPS 180-4 4.2.2), 16-byte aligned.
extern const uint32_t kSha256RoundConstants[64];

// Block functions of the cores: compress `blocks` whole blocks starting at data into the chaining value.
void Sha1BlocksPortable(uint32_t h[5], const uint8_t* data, size_t blocks);
void Sha256BlocksPortable(uint32_t h[8], const uint8_t* data, size_t blocks);
// The SHA extensions forms; only called when ShaExtensionsAvailable() says so.
void Sha1BlocksShaNi(uint32_t h[5], const uint8_t* data, size_t blocks);
void Sha256BlocksShaNi(uint32_t h[8], const uint8_t* data, size_t blocks);
bool CpuHasShaExtensions();
// UseShaExtensions is true when the processor has the SHA extensions and SetPortableDigests has not
// switched them off.
bool UseShaExtensions();
// PortableDigestsForced is true while SetPortableDigests(true) is in force.
bool PortableDigestsForced();
// UseBmi2 is true when the processor has BMI1 and BMI2 and the portable forms are not forced: Keccak
// then runs its rounds compiled for those extensions.
bool UseBmi2();
// Sha256Blocks runs the SHA-extensions form when it is available and not switched off.
void Sha256Blocks(uint32_t h[8], const uint8_t* data, size_t blocks);

}  // namespace velmora::crypto::internal
