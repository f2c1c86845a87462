// ChaCha20, Poly1305 and ChaCha20-Poly1305 (RFC 8439) for the cipher object. Poly1305 works on 64-bit
// words with 128-bit products; ChaCha20 keeps a 64-byte keystream block and its position so
// that calls of any length continue the stream, and runs whole blocks straight into the output.
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

void StoreLe32(uint8_t* p, uint32_t v) { core::PutUIntLittleEndian(v, p, 4); }

uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// Four 32-bit lanes: word i of four consecutive blocks side by side. The compiler's vector extension
// maps this onto the processor's 128-bit registers where there are any, else onto plain words.
using Lanes = uint32_t __attribute__((vector_size(16)));

inline Lanes Rotl(Lanes v, int n) { return (v << n) | (v >> (32 - n)); }

#define VELMORA_QUARTER(a, b, c, d) \
  a += b;                           \
  d = Rotl(d ^ a, 16);              \
  c += d;                           \
  b = Rotl(b ^ c, 12);              \
  a += b;                           \
  d = Rotl(d ^ a, 8);               \
  c += d;                           \
  b = Rotl(b ^ c, 7)

using Wide = unsigned __int128;

uint64_t Le64(const uint8_t* p) { return core::ReadUInt64LE(p); }

// PolyBlocks absorbs whole 16-byte blocks; hibit is 1 for full blocks, 0 for the padded last one. The
// accumulator is h0 + h1·2^64 + h2·2^128 with h2 kept small; r1 is a multiple of four (clamped), so
// r1·2^128 = (r1 / 4)·2^130 = 5·r1/4 = s1 modulo 2^130 - 5, which folds the high products down.
void PolyBlocks(Poly1305& p, const uint8_t* m, size_t blocks, uint64_t hibit) {
  const uint64_t r0 = p.r[0], r1 = p.r[1], s1 = r1 + (r1 >> 2);
  uint64_t h0 = p.h[0], h1 = p.h[1], h2 = p.h[2];
  for (size_t i = 0; i < blocks; ++i, m += 16) {
    Wide t = Wide{h0} + Le64(m);
    h0 = static_cast<uint64_t>(t);
    t = Wide{h1} + Le64(m + 8) + static_cast<uint64_t>(t >> 64);
    h1 = static_cast<uint64_t>(t);
    h2 += hibit + static_cast<uint64_t>(t >> 64);
    // h2 < 8, r0 < 2^60 and s1 < 2^61: none of the sums below overflows.
    const Wide d0 = Wide{h0} * r0 + Wide{h1} * s1;
    Wide d1 = Wide{h0} * r1 + Wide{h1} * r0 + Wide{h2} * s1;
    uint64_t d2 = h2 * r0;
    h0 = static_cast<uint64_t>(d0);
    d1 += static_cast<uint64_t>(d0 >> 64);
    h1 = static_cast<uint64_t>(d1);
    d2 += static_cast<uint64_t>(d1 >> 64);
    // Bits from 2^130 up come back in times five.
    const uint64_t c = (d2 & ~uint64_t{3}) + (d2 >> 2);
    h2 = d2 & 3;
    t = Wide{h0} + c;
    h0 = static_cast<uint64_t>(t);
    t = Wide{h1} + static_cast<uint64_t>(t >> 64);
    h1 = static_cast<uint64_t>(t);
    h2 += static_cast<uint64_t>(t >> 64);
  }
  p.h[0] = h0;
  p.h[1] = h1;
  p.h[2] = h2;
}

// TwentyRounds runs the ten column and diagonal double rounds over the sixteen words, on plain words
// or on lanes of several blocks.
template <typename Word>
inline void TwentyRounds(Word (&x)[16]) {
  for (int i = 0; i < 10; ++i) {
    VELMORA_QUARTER(x[0], x[4], x[8], x[12]);
    VELMORA_QUARTER(x[1], x[5], x[9], x[13]);
    VELMORA_QUARTER(x[2], x[6], x[10], x[14]);
    VELMORA_QUARTER(x[3], x[7], x[11], x[15]);
    VELMORA_QUARTER(x[0], x[5], x[10], x[15]);
    VELMORA_QUARTER(x[1], x[6], x[11], x[12]);
    VELMORA_QUARTER(x[2], x[7], x[8], x[13]);
    VELMORA_QUARTER(x[3], x[4], x[9], x[14]);
  }
}

// XorFourBlocks XORs the next four keystream blocks into 256 bytes from in to out and steps word 12 by
// four (each lane's word 12 wraps by itself, as the single-block path does).
void XorFourBlocks(ChaCha20State& s, const uint8_t* in, uint8_t* out) {
  Lanes start[16];
  for (int i = 0; i < 16; ++i) start[i] = Lanes{s.words[i], s.words[i], s.words[i], s.words[i]};
  start[12] += Lanes{0, 1, 2, 3};
  Lanes x[16];
  for (int i = 0; i < 16; ++i) x[i] = start[i];
  TwentyRounds(x);
  for (int i = 0; i < 16; ++i) x[i] += start[i];
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < 16; ++i) {
      const size_t at = static_cast<size_t>(64 * j + 4 * i);
      StoreLe32(out + at, Le32(in + at) ^ x[i][j]);
    }
  }
  platform::SecureZero(x, sizeof x);
  s.words[12] += 4;
}

// NextBlock makes the keystream block of the current words and steps word 12 (no carry onwards).
void NextBlock(ChaCha20State& s, uint8_t out[64]) {
  ChaCha20Block(s.words, out);
  ++s.words[12];
}

}  // namespace

// ---- Poly1305 -------------------------------------------------------------------------------------------

void Poly1305::SetKey(const uint8_t key[32]) {
  r[0] = Le64(key) & 0x0FFFFFFC0FFFFFFFull;
  r[1] = Le64(key + 8) & 0x0FFFFFFC0FFFFFFCull;
  pad[0] = Le64(key + 16);
  pad[1] = Le64(key + 24);
  std::memset(h, 0, sizeof h);
  leftover = 0;
}

void Poly1305::Update(const uint8_t* bytes, size_t length) {
  if (leftover != 0) {
    size_t take = 16 - leftover;
    if (take > length) take = length;
    std::memcpy(buffer + leftover, bytes, take);
    leftover += static_cast<uint32_t>(take);
    bytes += take;
    length -= take;
    if (leftover < 16) return;
    PolyBlocks(*this, buffer, 1, 1);
    leftover = 0;
  }
  const size_t whole = length / 16;
  PolyBlocks(*this, bytes, whole, 1);
  bytes += whole * 16;
  length -= whole * 16;
  std::memcpy(buffer, bytes, length);
  leftover = static_cast<uint32_t>(length);
}

void Poly1305::Finish(uint8_t tag[16]) {
  if (leftover != 0) {
    buffer[leftover] = 1;
    std::memset(buffer + leftover + 1, 0, 15 - leftover);
    PolyBlocks(*this, buffer, 1, 0);
  }
  // h < 2^130 + 2^66 here, so less than 2p: h - p is kept when h + 5 reaches 2^130, chosen with masks.
  Wide t = Wide{h[0]} + 5;
  const uint64_t g0 = static_cast<uint64_t>(t);
  t = Wide{h[1]} + static_cast<uint64_t>(t >> 64);
  const uint64_t g1 = static_cast<uint64_t>(t);
  const uint64_t g2 = h[2] + static_cast<uint64_t>(t >> 64);
  const uint64_t keep_g = uint64_t{0} - (g2 >> 2);
  const uint64_t h0 = (h[0] & ~keep_g) | (g0 & keep_g);
  const uint64_t h1 = (h[1] & ~keep_g) | (g1 & keep_g);
  t = Wide{h0} + pad[0];
  core::PutUIntLittleEndian(static_cast<uint64_t>(t), tag, 8);
  t = Wide{h1} + pad[1] + static_cast<uint64_t>(t >> 64);
  core::PutUIntLittleEndian(static_cast<uint64_t>(t), tag + 8, 8);
  platform::SecureZero(this, sizeof *this);
}

// ---- ChaCha20 -------------------------------------------------------------------------------------------

void ChaCha20Block(const uint32_t words[16], uint8_t out[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = words[i];
  TwentyRounds(x);
  for (int i = 0; i < 16; ++i) StoreLe32(out + 4 * i, x[i] + words[i]);
}

int ChaCha20SetKey(ChaCha20State& state, const uint8_t* key, int32_t key_length, const uint8_t* nonce,
                   int32_t nonce_length, uint64_t counter) {
  if (key_length != 32) return kBadStreamKeySize;
  if (nonce_length != 8 && nonce_length != 12) return kBadNonceSize;
  std::memset(&state, 0, sizeof state);
  state.words[0] = 0x61707865;
  state.words[1] = 0x3320646e;
  state.words[2] = 0x79622d32;
  state.words[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) state.words[4 + i] = Le32(key + 4 * i);
  if (nonce_length == 12) {
    state.words[12] = static_cast<uint32_t>(counter);
    for (int i = 0; i < 3; ++i) state.words[13 + i] = Le32(nonce + 4 * i);
  } else {
    state.words[12] = static_cast<uint32_t>(counter >> 32);
    state.words[13] = static_cast<uint32_t>(counter);
    state.words[14] = Le32(nonce);
    state.words[15] = Le32(nonce + 4);
  }
  return 0;
}

void ChaCha20XorKeystream(ChaCha20State& state, const uint8_t* in, uint8_t* out, size_t length) {
  size_t at = 0;
  while (at < length) {
    const size_t remaining = length - at;
    if (state.position == 0 && remaining >= 256) {
      for (; length - at >= 256; at += 256) XorFourBlocks(state, in + at, out + at);
      continue;
    }
    if (state.position == 0 && remaining >= 64) {
      uint8_t block[64];
      for (; length - at >= 64; at += 64) {
        NextBlock(state, block);
        XorBytes(out + at, in + at, block, 64);
      }
      platform::SecureZero(block, sizeof block);
      continue;
    }
    if (state.position == 0) NextBlock(state, state.keystream);
    size_t take = 64 - state.position;
    if (take > remaining) take = remaining;
    XorBytes(out + at, in + at, state.keystream + state.position, static_cast<int32_t>(take));
    state.position = (state.position + static_cast<uint32_t>(take)) % 64;
    at += take;
  }
}

int ChaCha20Setup(InternalCipher& cipher, bool) {
  return ChaCha20SetKey(cipher.Streams().chacha_poly.chacha, cipher.Key().Bytes(), cipher.Key().Length(),
                        cipher.Iv().Bytes(), cipher.Iv().Length(), cipher.OptionValues().chacha_initial_counter);
}

int ChaCha20Xor(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  if (length > 0) ChaCha20XorKeystream(cipher.Streams().chacha_poly.chacha, in, out, static_cast<size_t>(length));
  return 0;
}

// ---- ChaCha20-Poly1305 ----------------------------------------------------------------------------------

namespace {

void PadTo16(Poly1305& poly, uint64_t length) {
  static const uint8_t kZeros[16] = {};
  if (length % 16 != 0) poly.Update(kZeros, 16 - length % 16);
}

}  // namespace

int ChaCha20Poly1305Setup(InternalCipher& cipher, bool) {
  ChaChaPolyState& s = cipher.Streams().chacha_poly;
  int rc = ChaCha20SetKey(s.chacha, cipher.Key().Bytes(), cipher.Key().Length(), cipher.Iv().Bytes(),
                          cipher.Iv().Length(), cipher.OptionValues().chacha_initial_counter);
  if (rc != 0) return rc;
  // The first block keys Poly1305; the data starts with the next one.
  uint8_t block[64];
  NextBlock(s.chacha, block);
  s.poly.SetKey(block);
  platform::SecureZero(block, sizeof block);
  s.chacha.position = 0;
  s.aad_length = static_cast<uint64_t>(cipher.Aad().Length());
  s.data_length = 0;
  s.poly.Update(cipher.Aad().Bytes(), static_cast<size_t>(s.aad_length));
  PadTo16(s.poly, s.aad_length);
  return 0;
}

int ChaCha20Poly1305Process(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out,
                            int32_t final_flag) {
  ChaChaPolyState& s = cipher.Streams().chacha_poly;
  const bool encrypt = cipher.Encrypting() != 0;
  if (length > 0) {
    const int32_t old = out.Length();
    if (out.SetData(old + length, nullptr) != 0) return core::kOutOfMemory;
    auto* dst = reinterpret_cast<uint8_t*>(out.Data()) + old;
    if (!encrypt) s.poly.Update(in, static_cast<size_t>(length));
    ChaCha20XorKeystream(s.chacha, in, dst, static_cast<size_t>(length));
    if (encrypt) s.poly.Update(dst, static_cast<size_t>(length));
    s.data_length += static_cast<uint64_t>(length);
  }
  if (final_flag == 0) return 0;
  if (!encrypt && cipher.Tag().Length() <= 0) return kNoExpectedTag;
  PadTo16(s.poly, s.data_length);
  uint8_t lengths[16];
  for (int i = 0; i < 8; ++i) {
    lengths[i] = static_cast<uint8_t>(s.aad_length >> (8 * i));
    lengths[8 + i] = static_cast<uint8_t>(s.data_length >> (8 * i));
  }
  s.poly.Update(lengths, 16);
  uint8_t tag[16];
  s.poly.Finish(tag);
  int rc = 0;
  if (encrypt) {
    rc = cipher.Tag().SetData(16, tag);
  } else if (cipher.Tag().Length() != 16 || !TagsEqual(cipher.Tag().Bytes(), tag, 16)) {
    out.Clear();
    rc = kAuthenticationFailed;
  }
  platform::SecureZero(tag, sizeof tag);
  return rc;
}

}  // namespace velmora::crypto
