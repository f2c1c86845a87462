// Umac, the UMAC object (RFC 4418) a CryptoComponent holds, over the AES schedules of the cipher module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/base/crypto_object.h"
#include "crypto/cipher/internal_cipher.h"

namespace velmora::crypto {

// Umac is the UMAC object a CryptoComponent holds (engine id 52): UMAC of RFC 4418 with AES-128, 8-byte
// nonces and tags of 4, 8, 12 or 16 bytes. Two AES schedules (the PRF key of the user key and the
// derived pad key), the tag length in bytes (16 when built), the hash state, and the pad cache, nonce
// and tag blocks (zeroed when built). Messages longer than 16 MiB keep the 64-bit polynomial layer
// throughout (no switch to the 128-bit one), so their tags differ from RFC 4418's.
class Umac final : public component::CryptoObject {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  Umac() = default;
  ~Umac() override;

  // Key is the keying entry: -1 unless tag_bits is 32, 64, 96 or 128 and the key is 16 bytes; else the
  // tag length becomes tag_bits / 8 and SetKey runs: 0, or 200 when a schedule's storage is missing.
  [[nodiscard]] int Key(const uint8_t* key, int32_t key_length, int32_t tag_bits);
  // SetKey keys the object with a 16-byte key under the current tag length.
  [[nodiscard]] int SetKey(const uint8_t key[16]);
  // Update adds message bytes.
  void Update(const uint8_t* data, size_t length);
  // Final finishes the message with an 8-byte nonce (else -1, nothing changed): the tag lands in
  // TagBlock(), the bytes past the tag length zero, and the hash state is ready for the next message.
  [[nodiscard]] int Final(const uint8_t* nonce, int32_t nonce_length);

  AesContext& PadKey() { return pad_key_; }
  AesContext& HashKey() { return hash_key_; }
  int32_t& TagLength() { return tag_length_; }
  uint8_t* PadCache() { return pad_cache_; }
  uint8_t* NonceBlock() { return nonce_; }
  uint8_t* TagBlock() { return tag_; }

  // Pad computations (AES under the pad key) since the process started, for the tests of the cache.
  static uint64_t PadComputationsForTest();

 private:
  struct Hash {
    uint32_t nh_key[268];
    uint8_t buffer[64];
    uint32_t buffered;
    uint32_t chunk_offset;
    uint64_t nh[4];
    uint64_t poly_key[4];
    uint64_t poly[4];
    uint64_t l3_key[4][4];
    uint32_t l3_translate[4];
    uint64_t count;
  };
  int32_t Streams() const { return tag_length_ == 4 || tag_length_ == 8 || tag_length_ == 12 ? tag_length_ / 4 : 4; }
  void Kdf(uint8_t* out, uint8_t index, size_t length);
  void NhBlocks(const uint8_t* data, size_t length);
  void NhUpdate(const uint8_t* data, size_t length);
  void NhFinal(uint64_t out[4]);
  void NhChunk(const uint8_t* data, uint64_t out[4]);
  void PolyHash(const uint64_t d[4]);
  void UhashFinal(uint8_t tag[16]);
  void UhashReset();
  void PdfXor(const uint8_t nonce[8], uint8_t tag[16]);

  AesContext pad_key_;
  AesContext hash_key_;
  int32_t tag_length_ = 16;
  uint8_t pad_cache_[16] = {};
  uint8_t nonce_[16] = {};
  uint8_t tag_[16] = {};
  Hash hash_ = {};
};

}  // namespace velmora::crypto
