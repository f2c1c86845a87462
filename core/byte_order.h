// Fixed-order integer loads and stores on raw bytes. None of them checks bounds: the caller provides
// the bytes. Bytes beyond the eighth of a wider field are zero.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velmora::core {

namespace byte_order_internal {
inline const uint8_t* At(const void* bytes, int32_t offset = 0) { return static_cast<const uint8_t*>(bytes) + offset; }
inline uint8_t* At(void* bytes, int32_t offset = 0) { return static_cast<uint8_t*>(bytes) + offset; }
// ByteOf returns byte i (0 = least significant) of value; 0 past the eighth.
inline uint8_t ByteOf(uint64_t value, int32_t i) { return i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0; }
}  // namespace byte_order_internal

inline uint32_t ReadUInt32BE(const void* bytes) {
  const uint8_t* b = byte_order_internal::At(bytes);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

inline uint32_t ReadUInt24BE(const void* bytes) {
  const uint8_t* b = byte_order_internal::At(bytes);
  return (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
}

inline uint32_t ReadUInt32LE(const void* bytes) {
  const uint8_t* b = byte_order_internal::At(bytes);
  return b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

inline uint64_t ReadUInt64LE(const void* bytes) {
  const uint8_t* b = byte_order_internal::At(bytes);
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | b[i];
  return value;
}

inline void StoreUInt64LE(void* bytes, uint64_t value) {
  uint8_t* b = byte_order_internal::At(bytes);
  for (int i = 0; i < 8; ++i) b[i] = byte_order_internal::ByteOf(value, i);
}

// LoadUInt64BE and StoreUInt64BE move a big-endian 64-bit word in one load or store.
inline uint64_t LoadUInt64BE(const void* bytes) {
  uint64_t value;
  std::memcpy(&value, bytes, 8);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  return value;
}

inline void StoreUInt64BE(void* bytes, uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  std::memcpy(bytes, &value, 8);
}

// PutUIntBigEndian writes the low n bytes of value at bytes + offset, most significant first.
inline void PutUIntBigEndian(uint64_t value, void* bytes, int32_t offset, int32_t n) {
  uint8_t* b = byte_order_internal::At(bytes, offset);
  for (int32_t i = 0; i < n; ++i) b[i] = byte_order_internal::ByteOf(value, n - 1 - i);
}

// PutUIntLittleEndian writes the low n bytes of value, least significant first; returns n, or 0 for n
// below 1.
inline int32_t PutUIntLittleEndian(uint64_t value, void* bytes, int32_t n) {
  if (n < 1) return 0;
  uint8_t* b = byte_order_internal::At(bytes);
  for (int32_t i = 0; i < n; ++i) b[i] = byte_order_internal::ByteOf(value, i);
  return n;
}

inline uint32_t GetUInt24LittleEndian(const void* bytes, int32_t offset) {
  const uint8_t* b = byte_order_internal::At(bytes, offset);
  return b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16);
}

inline uint32_t GetUInt32LittleEndian(const void* bytes, int32_t offset) {
  return ReadUInt32LE(byte_order_internal::At(bytes, offset));
}

}  // namespace velmora::core
