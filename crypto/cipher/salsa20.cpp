// Salsa20 with 8, 12 or 20 rounds and its extended-nonce form XSalsa20 (the HSalsa20 subkey, always 20
// rounds) for the cipher object. The stored position continues the stream across calls; whole blocks
// at a block boundary go straight into the output.
#include <cstring>

#include "core/byte_order.h"
#include "crypto/cipher/aead.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

uint32_t Le32(const uint8_t* p) { return core::ReadUInt32LE(p); }

uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// The constant words of "expand 32-byte k" and "expand 16-byte k".
constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr uint32_t kTau[4] = {0x61707865, 0x3120646e, 0x79622d36, 0x6b206574};

void Permute(uint32_t x[16], int32_t rounds) {
  const int32_t doubles = rounds > 0 ? (rounds - 1) / 2 + 1 : 0;
  for (int32_t i = 0; i < doubles; ++i) {
    // Columns.
    x[4] ^= Rotl(x[0] + x[12], 7);
    x[8] ^= Rotl(x[4] + x[0], 9);
    x[12] ^= Rotl(x[8] + x[4], 13);
    x[0] ^= Rotl(x[12] + x[8], 18);
    x[9] ^= Rotl(x[5] + x[1], 7);
    x[13] ^= Rotl(x[9] + x[5], 9);
    x[1] ^= Rotl(x[13] + x[9], 13);
    x[5] ^= Rotl(x[1] + x[13], 18);
    x[14] ^= Rotl(x[10] + x[6], 7);
    x[2] ^= Rotl(x[14] + x[10], 9);
    x[6] ^= Rotl(x[2] + x[14], 13);
    x[10] ^= Rotl(x[6] + x[2], 18);
    x[3] ^= Rotl(x[15] + x[11], 7);
    x[7] ^= Rotl(x[3] + x[15], 9);
    x[11] ^= Rotl(x[7] + x[3], 13);
    x[15] ^= Rotl(x[11] + x[7], 18);
    // Rows.
    x[1] ^= Rotl(x[0] + x[3], 7);
    x[2] ^= Rotl(x[1] + x[0], 9);
    x[3] ^= Rotl(x[2] + x[1], 13);
    x[0] ^= Rotl(x[3] + x[2], 18);
    x[6] ^= Rotl(x[5] + x[4], 7);
    x[7] ^= Rotl(x[6] + x[5], 9);
    x[4] ^= Rotl(x[7] + x[6], 13);
    x[5] ^= Rotl(x[4] + x[7], 18);
    x[11] ^= Rotl(x[10] + x[9], 7);
    x[8] ^= Rotl(x[11] + x[10], 9);
    x[9] ^= Rotl(x[8] + x[11], 13);
    x[10] ^= Rotl(x[9] + x[8], 18);
    x[12] ^= Rotl(x[15] + x[14], 7);
    x[13] ^= Rotl(x[12] + x[15], 9);
    x[14] ^= Rotl(x[13] + x[12], 13);
    x[15] ^= Rotl(x[14] + x[13], 18);
  }
}

void NextBlock(Salsa20State& s, uint8_t out[64]) {
  Salsa20Core(s.input, s.rounds, out);
  if (++s.input[8] == 0) ++s.input[9];
}

}  // namespace

void Salsa20Core(const uint32_t input[16], int32_t rounds, uint8_t out[64]) {
  uint32_t x[16];
  std::memcpy(x, input, sizeof x);
  Permute(x, rounds);
  for (int i = 0; i < 16; ++i) {
    core::PutUIntLittleEndian(x[i] + input[i], out + 4 * i, 4);
  }
  platform::SecureZero(x, sizeof x);
}

void Salsa20State::Clear() {
  std::memset(input, 0, sizeof input);
  std::memset(keystream, 0, sizeof keystream);
  position = 0;
  variant = 1;
  rounds = 20;
}

int Salsa20State::SetKeyAndNonce(const uint8_t* key, int32_t key_length, const uint8_t* nonce, int32_t nonce_length,
                                 uint64_t counter) {
  const bool extended = variant == 1;
  if (extended ? key_length != 32 : key_length != 16 && key_length != 32) return kBadStreamKeySize;
  if (nonce_length != (extended ? 24 : 8)) return kBadNonceSize;
  const uint32_t* constants = key_length == 32 ? kSigma : kTau;
  const uint8_t* second = key_length == 32 ? key + 16 : key;
  input[0] = constants[0];
  input[5] = constants[1];
  input[10] = constants[2];
  input[15] = constants[3];
  for (int i = 0; i < 4; ++i) {
    input[1 + i] = Le32(key + 4 * i);
    input[11 + i] = Le32(second + 4 * i);
  }
  input[6] = Le32(nonce);
  input[7] = Le32(nonce + 4);
  if (extended) {
    // HSalsa20 over the key and the first 16 nonce bytes gives the working key.
    input[8] = Le32(nonce + 8);
    input[9] = Le32(nonce + 12);
    uint32_t x[16];
    std::memcpy(x, input, sizeof x);
    Permute(x, 20);
    const int from[8] = {0, 5, 10, 15, 6, 7, 8, 9};
    const int to[8] = {1, 2, 3, 4, 11, 12, 13, 14};
    for (int i = 0; i < 8; ++i) input[to[i]] = x[from[i]];
    platform::SecureZero(x, sizeof x);
    input[6] = Le32(nonce + 16);
    input[7] = Le32(nonce + 20);
  }
  input[8] = static_cast<uint32_t>(counter);
  input[9] = static_cast<uint32_t>(counter >> 32);
  position = 0;
  return 0;
}

void Salsa20State::XorKeystream(const uint8_t* in, uint8_t* out, size_t length) {
  size_t at = 0;
  while (at < length) {
    const size_t remaining = length - at;
    if (position == 0 && remaining >= 64) {
      uint8_t block[64];
      for (; length - at >= 64; at += 64) {
        NextBlock(*this, block);
        XorBytes(out + at, in + at, block, 64);
      }
      platform::SecureZero(block, sizeof block);
      continue;
    }
    if (position == 0) NextBlock(*this, keystream);
    size_t take = static_cast<size_t>(64 - position);
    if (take > remaining) take = remaining;
    XorBytes(out + at, in + at, keystream + position, static_cast<int32_t>(take));
    position = static_cast<int32_t>((static_cast<size_t>(position) + take) % 64);
    at += take;
  }
}

int Salsa20Setup(InternalCipher& cipher, bool) {
  Salsa20State& s = cipher.Streams().salsa;
  s.Clear();
  const InternalCipher::Options& options = cipher.OptionValues();
  if (options.salsa_rounds != 8 && options.salsa_rounds != 12 && options.salsa_rounds != 20) return kBadSalsaRounds;
  s.variant = options.salsa20_algorithm;
  s.rounds = options.salsa_rounds;
  return s.SetKeyAndNonce(cipher.Key().Bytes(), cipher.Key().Length(), cipher.Iv().Bytes(), cipher.Iv().Length(), 0);
}

int Salsa20Xor(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  if (length > 0) cipher.Streams().salsa.XorKeystream(in, out, static_cast<size_t>(length));
  return 0;
}

}  // namespace velmora::crypto
