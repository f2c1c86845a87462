// AES-GCM (NIST SP 800-38D) for the cipher object: key set-up with H and J0, the AAD, the data step
// and the tag. Whole blocks go through the bulk AES path and GHASH together; partial blocks carry over
// between calls. The counter blocks of one message are limited to 2^32 - 2.
#include <atomic>
#include <cstring>

#include "core/byte_order.h"
#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

std::atomic<uint64_t> g_gcm_budget{kGcmBlockBudget};

// Blocks handled per bulk step (the counter and keystream scratch on the stack).
constexpr size_t kBatch = 32;

void StoreBits(uint8_t* p, uint64_t v) { core::PutUIntBigEndian(v, p, 0, 8); }

// Fold XORs n bytes into the accumulator at position at and multiplies once a block is complete.
void Fold(GcmState& g, const uint8_t* bytes, size_t n, uint64_t* byte_count) {
  size_t at = static_cast<size_t>(*byte_count % 16);
  *byte_count += n;
  size_t i = 0;
  if (at != 0) {
    for (; i < n && at < 16; ++i, ++at) g.x[at] ^= bytes[i];
    if (at < 16) return;
    GHashMultiply(g.key, g.x, g.x);
  }
  const size_t whole = (n - i) / 16;
  GhashBlocks(g.key, g.x, bytes + i, whole);
  i += whole * 16;
  for (size_t k = 0; i < n; ++i, ++k) g.x[k] ^= bytes[i];
}

// StartData ends the AAD: a partial AAD block is multiplied in as it stands (zero padded).
void StartData(GcmState& g) {
  if (g.phase != 1) return;
  if (g.aad_bits % 128 != 0) GHashMultiply(g.key, g.x, g.x);
  g.phase = 2;
  g.position = 0;
}

// GcmCrypt runs length bytes: encryption reads plain and writes cipher, decryption the reverse. 1001
// when the block budget runs out (the bytes before that point are done).
int GcmCrypt(AesContext& aes, GcmState& g, uint8_t* plain, size_t length, uint8_t* cipher, bool encrypt) {
  if (g.position > 15 || g.phase < 1 || g.phase > 2) return kWrongPhase;
  StartData(g);
  const uint8_t* src = encrypt ? plain : cipher;
  uint8_t* dst = encrypt ? cipher : plain;
  uint64_t data_bytes = g.data_bits / 8;
  size_t at = 0;
  const bool bulk = GcmBulkAvailable(g.key);
  uint8_t counters[kBatch * 16];
  uint8_t stream[kBatch * 16];
  while (at < length) {
    const size_t remaining = length - at;
    if (g.position == 0 && remaining >= 16 && bulk) {
      // All whole blocks in one call: the data so far is whole blocks too, so the accumulator is ready.
      size_t n = remaining / 16;
      if (g.budget < n) n = static_cast<size_t>(g.budget);
      if (n == 0) break;
      g.budget -= n;
      GcmBulkBlocks(aes.RoundKeys(), aes.Rounds(), g.key, g.x, g.counter, src + at, dst + at, n, encrypt);
      data_bytes += 16 * n;
      at += 16 * n;
      continue;
    }
    if (g.position == 0 && remaining >= 16) {
      size_t n = remaining / 16 < kBatch ? remaining / 16 : kBatch;
      if (g.budget < n) n = static_cast<size_t>(g.budget);
      if (n == 0) break;
      for (size_t k = 0; k < n; ++k) {
        IncrementCounterBigEndian(g.counter + 12, 4);
        std::memcpy(counters + 16 * k, g.counter, 16);
      }
      g.budget -= n;
      AesEncryptBlocks(aes.RoundKeys(), aes.Rounds(), counters, stream, n);
      if (!encrypt) Fold(g, src + at, 16 * n, &data_bytes);
      XorBytes(dst + at, src + at, stream, static_cast<int32_t>(16 * n));
      if (encrypt) Fold(g, dst + at, 16 * n, &data_bytes);
      at += 16 * n;
      continue;
    }
    if (g.position == 0) {
      if (IncrementCounterBlock32(g.counter, &g.budget) != 0) break;
      AesEncryptBlock(aes.RoundKeys(), aes.Rounds(), g.counter, g.keystream);
    }
    size_t take = 16 - g.position;
    if (take > remaining) take = remaining;
    if (!encrypt) Fold(g, src + at, take, &data_bytes);
    XorBytes(dst + at, src + at, g.keystream + g.position, static_cast<int32_t>(take));
    if (encrypt) Fold(g, dst + at, take, &data_bytes);
    g.position = (g.position + static_cast<uint32_t>(take)) % 16;
    at += take;
  }
  g.data_bits = data_bytes * 8;
  platform::SecureZero(stream, sizeof stream);
  return at == length ? 0 : kCounterBudgetExhausted;
}

// GcmFinishTag computes the full 16-byte tag.
void GcmFinishTag(AesContext& aes, GcmState& g, uint8_t tag[16]) {
  StartData(g);
  if (g.position != 0) GHashMultiply(g.key, g.x, g.x);
  uint8_t lengths[16];
  StoreBits(lengths, g.aad_bits);
  StoreBits(lengths + 8, g.data_bits);
  GhashBlocks(g.key, g.x, lengths, 1);
  AesEncryptBlock(aes.RoundKeys(), aes.Rounds(), g.j0, tag);
  XorBlockInto(tag, g.x);
  g.phase = 0;
}

}  // namespace

void SetGcmBlockBudgetForTest(uint64_t budget) { g_gcm_budget.store(budget, std::memory_order_relaxed); }

int GcmSetup(InternalCipher& cipher, bool) {
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  const int32_t rounds = AesSetEncryptKey(aes.RoundKeys(), cipher.Key().Bytes(), cipher.Key().Length() * 8);
  if (rounds == 0) return kBadKeySize;
  aes.Rounds() = rounds;
  // NIST SP 800-38D section 8.2 asks for a nonce of at least one bit: with none, J0 is the same for every
  // message under the key, and so is the keystream.
  if (cipher.Iv().Length() < 1) return kBadNonceSize;
  GcmState& g = cipher.Streams().gcm;
  std::memset(&g, 0, sizeof g);
  uint8_t h[16] = {};
  AesEncryptBlock(aes.RoundKeys(), rounds, h, h);
  GhashSetKey(g.key, h);
  platform::SecureZero(h, sizeof h);
  const uint8_t* iv = cipher.Iv().Bytes();
  const auto iv_length = static_cast<size_t>(cipher.Iv().Length());
  if (iv_length == 12) {
    std::memcpy(g.j0, iv, 12);
    g.j0[15] = 1;
  } else {
    // Any other length: J0 = GHASH(IV zero padded, then its bit length).
    uint64_t ignored = 0;
    Fold(g, iv, iv_length, &ignored);
    if (iv_length % 16 != 0) GHashMultiply(g.key, g.x, g.x);
    uint8_t lengths[16] = {};
    StoreBits(lengths + 8, static_cast<uint64_t>(iv_length) * 8);
    GhashBlocks(g.key, g.x, lengths, 1);
    std::memcpy(g.j0, g.x, 16);
    std::memset(g.x, 0, 16);
  }
  std::memcpy(g.counter, g.j0, 16);
  g.budget = g_gcm_budget.load(std::memory_order_relaxed);
  g.phase = 1;
  uint64_t aad_bytes = 0;
  Fold(g, cipher.Aad().Bytes(), static_cast<size_t>(cipher.Aad().Length()), &aad_bytes);
  g.aad_bits = aad_bytes * 8;
  return 0;
}

int GcmProcess(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag) {
  GcmState& g = cipher.Streams().gcm;
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  const int32_t old = out.Length();
  if (length > 0) {
    if (out.SetData(old + length, nullptr) != 0) return core::kOutOfMemory;
    auto* dst = reinterpret_cast<uint8_t*>(out.Data()) + old;
    const bool encrypt = cipher.Encrypting() != 0;
    int rc = encrypt ? GcmCrypt(aes, g, const_cast<uint8_t*>(in), static_cast<size_t>(length), dst, true)
                     : GcmCrypt(aes, g, dst, static_cast<size_t>(length), const_cast<uint8_t*>(in), false);
    if (rc != 0) {
      (void)out.Resize(old);
      return encrypt && rc == kCounterBudgetExhausted ? kGcmBudgetExhausted : rc;
    }
  }
  if (final_flag == 0) return 0;
  if (g.phase != 1 && g.phase != 2) return kWrongPhase;
  uint8_t tag[16];
  GcmFinishTag(aes, g, tag);
  int32_t t = cipher.TagBits() / 8;
  int rc = 0;
  if (cipher.Encrypting() != 0) {
    if (t < 1) t = 12;
    rc = cipher.Tag().SetData(t < 16 ? t : 16, tag);
  } else {
    const int32_t expected = cipher.Tag().Length();
    const bool same = t == expected && expected > 0 &&
                      TagsEqual(cipher.Tag().Bytes(), tag, static_cast<size_t>(expected < 16 ? expected : 16));
    if (!same) {
      out.Clear();
      rc = kAuthenticationFailed;
    }
  }
  platform::SecureZero(tag, sizeof tag);
  return rc;
}

}  // namespace velmora::crypto
