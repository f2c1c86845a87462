// GCM (NIST SP 800-38D) for the "AES" keys in "ChainingModeGCM", over the key's ECB context. The state of
// chained calls lives in the caller's records, as the platform defines it: the counter block in the IV
// handed to each call, the GHASH accumulator in the MAC context, the lengths in cbAAD and cbData, and
// the in-progress flag in dwFlags.
//
// The keystream is made a batch of counter blocks at a time by the ECB context; each batch is then XORed
// into the data and its ciphertext folded into GHASH while both are still in cache. GHASH runs on
// carry-less multiplication where the processor has it (two blocks to an instruction where it has
// VPCLMULQDQ), else one bit at a time; no path branches on or indexes by the key or the data.
#include <openssl/crypto.h>

#include <atomic>
#include <cstring>

#include "platform/crypto/cipher_internal.h"
#include "platform/crypto/cipher_modules.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define VELMORA_GCM_CLMUL 1
#else
#define VELMORA_GCM_CLMUL 0
#endif

namespace velmora::platform {

namespace {

constexpr ULONG kNonceBytes = 12;
constexpr size_t kBatchBytes = 1024;

std::atomic<test::GhashPath> g_ghash_path{test::GhashPath::kWide};

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

void Store64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// GhashMultiply sets x = x * h in GF(2^128) (SP 800-38D algorithm 1), without branches on the data.
void GhashMultiply(uint8_t x[16], const uint8_t h[16]) {
  uint64_t vh = Load64(h);
  uint64_t vl = Load64(h + 8);
  uint64_t zh = 0;
  uint64_t zl = 0;
  for (int i = 0; i < 128; ++i) {
    const uint64_t bit = (x[i / 8] >> (7 - i % 8)) & 1u;
    const uint64_t mask = 0 - bit;
    zh ^= vh & mask;
    zl ^= vl & mask;
    const uint64_t carry = 0 - (vl & 1u);
    vl = (vl >> 1) | (vh << 63);
    vh = (vh >> 1) ^ (0xE100000000000000ull & carry);
  }
  Store64(x, zh);
  Store64(x + 8, zl);
}

// PortableCrypt is CryptAndHash one bit of GHASH at a time.
void PortableCrypt(const uint8_t h[16], uint8_t acc[16], const uint8_t* in, const uint8_t* stream, size_t length,
                   uint8_t* out, bool encrypt) {
  for (size_t at = 0; at < length; at += 16) {
    const size_t n = length - at < 16 ? length - at : 16;
    for (size_t i = 0; i < n; ++i) {
      uint8_t hashed = in[at + i];
      if (stream != nullptr) {
        const uint8_t o = static_cast<uint8_t>(hashed ^ stream[at + i]);
        out[at + i] = o;
        if (encrypt) hashed = o;
      }
      acc[i] ^= hashed;
    }
    GhashMultiply(acc, h);
  }
}

#if VELMORA_GCM_CLMUL
// The carry-less path works on blocks byte-reversed into little-endian integers, where GHASH by H is
// POLYVAL by H * x (RFC 8452 appendix A): products are reduced by x^128 modulo x^128 + x^127 + x^126 +
// x^121 + 1, two 64-bit folds of one carry-less multiplication each.
#define VELMORA_GCM_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))

bool CpuHasClmul() {
  static const bool has = __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("ssse3") != 0;
  return has;
}

// UseClmul: GHASH and the counter layout take the carry-less path (the hash powers are made wherever the
// processor has it, so that ForceGcmGhashPath may change paths under a live key).
bool UseClmul() { return CpuHasClmul() && g_ghash_path.load(std::memory_order_relaxed) != test::GhashPath::kPortable; }

VELMORA_GCM_CLMUL_TARGET inline __m128i Swap(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

VELMORA_GCM_CLMUL_TARGET inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

VELMORA_GCM_CLMUL_TARGET inline void Store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Product sums carry-less products by Karatsuba: lo and hi halves and the middle term of the halves'
// sums, combined once by Reduce.
struct Product {
  __m128i lo, mid, hi;
};

// MulAdd adds a * p to sum; p_halves holds p's two halves XORed in its low word.
VELMORA_GCM_CLMUL_TARGET inline void MulAdd(Product& sum, __m128i a, __m128i p, __m128i p_halves) {
  sum.lo = _mm_xor_si128(sum.lo, _mm_clmulepi64_si128(a, p, 0x00));
  sum.hi = _mm_xor_si128(sum.hi, _mm_clmulepi64_si128(a, p, 0x11));
  const __m128i a_halves = _mm_xor_si128(a, _mm_shuffle_epi32(a, 0x4E));
  sum.mid = _mm_xor_si128(sum.mid, _mm_clmulepi64_si128(a_halves, p_halves, 0x00));
}

VELMORA_GCM_CLMUL_TARGET inline __m128i Reduce(const Product& sum) {
  const __m128i mid = _mm_xor_si128(sum.mid, _mm_xor_si128(sum.lo, sum.hi));
  const __m128i lo = _mm_xor_si128(sum.lo, _mm_slli_si128(mid, 8));
  const __m128i hi = _mm_xor_si128(sum.hi, _mm_srli_si128(mid, 8));
  const __m128i poly = _mm_set_epi64x(static_cast<long long>(0xC200000000000000ull), 0);
  __m128i t = _mm_xor_si128(_mm_shuffle_epi32(lo, 0x4E), _mm_clmulepi64_si128(lo, poly, 0x10));
  t = _mm_xor_si128(_mm_shuffle_epi32(t, 0x4E), _mm_clmulepi64_si128(t, poly, 0x10));
  return _mm_xor_si128(hi, t);
}

VELMORA_GCM_CLMUL_TARGET inline __m128i Multiply(__m128i a, __m128i p) {
  Product sum{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  MulAdd(sum, a, p, _mm_xor_si128(p, _mm_shuffle_epi32(p, 0x4E)));
  return Reduce(sum);
}

// ClmulPowers fills powers with H * x, then its products with itself up to the kGcmPowers-th, from the
// hash key.
VELMORA_GCM_CLMUL_TARGET void ClmulPowers(const uint8_t hash_key[16], uint8_t powers[kGcmPowers][16]) {
  uint64_t words[2];
  std::memcpy(words, hash_key, 16);
  uint64_t lo = __builtin_bswap64(words[1]);
  uint64_t hi = __builtin_bswap64(words[0]);
  const uint64_t carry = 0 - (hi >> 63);
  hi = (hi << 1) | (lo >> 63);
  lo <<= 1;
  hi ^= 0xC200000000000000ull & carry;
  lo ^= 1u & carry;
  __m128i p[kGcmPowers];
  p[0] = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  // Each round doubles the powers known, their products independent of one another.
  for (int known = 1; known < kGcmPowers; known *= 2) {
    for (int k = 0; k < known; ++k) p[known + k] = Multiply(p[k], p[known - 1]);
  }
  for (int k = 0; k < kGcmPowers; ++k) Store(powers[k], p[k]);
}

// Step handles m whole blocks: XORs the keystream in (unless stream is null) and folds the m ciphertext
// blocks into acc with one reduction, by H^m .. H.
VELMORA_GCM_CLMUL_TARGET __attribute__((always_inline)) inline void Step(const __m128i* p, const __m128i* halves,
                                                                         __m128i& acc, const uint8_t* in,
                                                                         const uint8_t* stream, uint8_t* out,
                                                                         bool encrypt, size_t m) {
  Product sum{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  for (size_t k = 0; k < m; ++k) {
    __m128i x = Load(in + 16 * k);
    if (stream != nullptr) {
      const __m128i y = _mm_xor_si128(x, Load(stream + 16 * k));
      Store(out + 16 * k, y);
      if (encrypt) x = y;
    }
    x = Swap(x);
    if (k == 0) x = _mm_xor_si128(x, acc);
    MulAdd(sum, x, p[m - 1 - k], halves[m - 1 - k]);
  }
  acc = Reduce(sum);
}

// The wide path multiplies two blocks at once in 256-bit registers, where the processor has VPCLMULQDQ.
#define VELMORA_GCM_WIDE_TARGET __attribute__((target("avx2,pclmul,vpclmulqdq")))

bool CpuHasWideClmul() {
  static const bool has = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("vpclmulqdq") != 0;
  return has;
}

bool UseWideClmul() {
  return CpuHasWideClmul() && g_ghash_path.load(std::memory_order_relaxed) == test::GhashPath::kWide;
}

// WideSteps is Step for groups runs of kGcmPowers whole blocks, blocks 2j and 2j + 1 side by side in
// the halves of one register.
constexpr int kPairs = kGcmPowers / 2;
constexpr size_t kGroupBytes = 16 * kGcmPowers;

VELMORA_GCM_WIDE_TARGET void WideSteps(const __m128i* p, const __m128i* halves, __m128i& acc, const uint8_t* in,
                                       const uint8_t* stream, uint8_t* out, bool encrypt, size_t groups) {
  const __m256i swap = _mm256_broadcastsi128_si256(
      _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  __m256i wp[kPairs];
  __m256i wh[kPairs];
  for (int j = 0; j < kPairs; ++j) {
    wp[j] = _mm256_set_m128i(p[kGcmPowers - 2 - 2 * j], p[kGcmPowers - 1 - 2 * j]);
    wh[j] = _mm256_set_m128i(halves[kGcmPowers - 2 - 2 * j], halves[kGcmPowers - 1 - 2 * j]);
  }
  __m256i state = _mm256_set_m128i(_mm_setzero_si128(), acc);
  for (size_t g = 0; g < groups; ++g) {
    __m256i lo = _mm256_setzero_si256();
    __m256i mid = _mm256_setzero_si256();
    __m256i hi = _mm256_setzero_si256();
    for (int j = 0; j < kPairs; ++j) {
      const size_t at = kGroupBytes * g + 32 * j;
      __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at));
      if (stream != nullptr) {
        const __m256i y = _mm256_xor_si256(x, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stream + at)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at), y);
        if (encrypt) x = y;
      }
      x = _mm256_shuffle_epi8(x, swap);
      if (j == 0) x = _mm256_xor_si256(x, state);
      lo = _mm256_xor_si256(lo, _mm256_clmulepi64_epi128(x, wp[j], 0x00));
      hi = _mm256_xor_si256(hi, _mm256_clmulepi64_epi128(x, wp[j], 0x11));
      const __m256i x_halves = _mm256_xor_si256(x, _mm256_shuffle_epi32(x, 0x4E));
      mid = _mm256_xor_si256(mid, _mm256_clmulepi64_epi128(x_halves, wh[j], 0x00));
    }
    const Product sum{
        _mm_xor_si128(_mm256_castsi256_si128(lo), _mm256_extracti128_si256(lo, 1)),
        _mm_xor_si128(_mm256_castsi256_si128(mid), _mm256_extracti128_si256(mid, 1)),
        _mm_xor_si128(_mm256_castsi256_si128(hi), _mm256_extracti128_si256(hi, 1)),
    };
    state = _mm256_set_m128i(_mm_setzero_si128(), Reduce(sum));
  }
  acc = _mm256_castsi256_si128(state);
}

// Ssse3Counters lays out blocks counter blocks from counter and advances it (on the processors of the
// carry-less path): the last 32-bit word is kept byte-swapped, as a number, in a register.
VELMORA_GCM_CLMUL_TARGET void Ssse3Counters(uint8_t counter[16], uint8_t* stream, size_t blocks) {
  const __m128i swap_last = _mm_set_epi8(12, 13, 14, 15, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i one = _mm_set_epi32(1, 0, 0, 0);
  __m128i v = _mm_shuffle_epi8(Load(counter), swap_last);
  for (size_t i = 0; i < blocks; ++i) {
    Store(stream + 16 * i, _mm_shuffle_epi8(v, swap_last));
    v = _mm_add_epi32(v, one);
  }
  Store(counter, _mm_shuffle_epi8(v, swap_last));
}

VELMORA_GCM_CLMUL_TARGET void ClmulCrypt(const uint8_t powers[kGcmPowers][16], uint8_t acc_bytes[16],
                                         const uint8_t* in, const uint8_t* stream, size_t length, uint8_t* out,
                                         bool encrypt) {
  __m128i p[kGcmPowers];
  __m128i halves[kGcmPowers];
  for (int k = 0; k < kGcmPowers; ++k) {
    p[k] = Load(powers[k]);
    halves[k] = _mm_xor_si128(p[k], _mm_shuffle_epi32(p[k], 0x4E));
  }
  __m128i acc = Swap(Load(acc_bytes));
  const size_t blocks = length / 16;
  size_t at = 0;
  if (blocks >= kGcmPowers && UseWideClmul()) {
    const size_t groups = blocks / kGcmPowers;
    WideSteps(p, halves, acc, in, stream, out, encrypt, groups);
    at = groups * kGcmPowers;
  }
  while (at < blocks) {
    // Without a stream there is no output either: only in is stepped through.
    const uint8_t* s = stream == nullptr ? nullptr : stream + 16 * at;
    uint8_t* o = stream == nullptr ? nullptr : out + 16 * at;
    if (blocks - at >= kGcmPowers) {
      Step(p, halves, acc, in + 16 * at, s, o, encrypt, kGcmPowers);  // a constant count, unrolled
      at += kGcmPowers;
    } else {
      Step(p, halves, acc, in + 16 * at, s, o, encrypt, blocks - at);
      at = blocks;
    }
  }
  const size_t tail = length % 16;
  if (tail != 0) {
    // The last partial block is hashed zero-filled.
    const size_t base = 16 * blocks;
    uint8_t block[16] = {};
    for (size_t i = 0; i < tail; ++i) {
      block[i] = in[base + i];
      if (stream != nullptr) {
        const uint8_t o = static_cast<uint8_t>(block[i] ^ stream[base + i]);
        out[base + i] = o;
        if (encrypt) block[i] = o;
      }
    }
    acc = Multiply(_mm_xor_si128(acc, Swap(Load(block))), p[0]);
    SecureZero(block, sizeof block);
  }
  Store(acc_bytes, Swap(acc));
}
#endif

// CryptAndHash XORs the keystream in stream into length bytes of in, writing out, and folds the
// ciphertext (out when encrypting, in otherwise; in is read first, so the call may run in place) into
// the GHASH accumulator acc, the last partial block zero-filled. With stream null it only hashes in.
void CryptAndHash(const BcryptKeyObject& key, uint8_t acc[16], const uint8_t* in, const uint8_t* stream,
                  size_t length, uint8_t* out, bool encrypt) {
#if VELMORA_GCM_CLMUL
  if (UseClmul()) {
    ClmulCrypt(key.hash_powers, acc, in, stream, length, out, encrypt);
    return;
  }
#endif
  PortableCrypt(key.hash_key, acc, in, stream, length, out, encrypt);
}

void Increment32(uint8_t block[16]) {
  for (int i = 15; i >= 12; --i) {
    if (++block[i] != 0) break;
  }
}

// LayCounters writes the next blocks counter blocks to stream and advances the counter, whose last 32
// bits alone count (SP 800-38D inc32).
void LayCounters(uint8_t counter[16], uint8_t* stream, size_t blocks) {
#if VELMORA_GCM_CLMUL
  if (UseClmul()) {
    Ssse3Counters(counter, stream, blocks);
    return;
  }
#endif
  for (size_t i = 0; i < blocks; ++i) {
    std::memcpy(stream + 16 * i, counter, 16);
    Increment32(counter);
  }
}

// Keystream encrypts the next blocks counter blocks into stream and advances the counter.
bool Keystream(EVP_CIPHER_CTX* context, uint8_t counter[16], uint8_t* stream, size_t blocks) {
  LayCounters(counter, stream, blocks);
  int produced = 0;
  return EVP_EncryptUpdate(context, stream, &produced, stream, static_cast<int>(16 * blocks)) == 1;
}

bool RecordUsable(const BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO* info) {
  return info->cbSize == sizeof(BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO) &&
         info->dwInfoVersion == kBcryptAuthModeInfoVersion && info->pbNonce != nullptr &&
         info->cbNonce == kNonceBytes && info->pbTag != nullptr && info->cbTag >= 12 && info->cbTag <= 16 &&
         (info->pbAuthData != nullptr || info->cbAuthData == 0);
}

}  // namespace

bool GcmKeySetUp(BcryptKeyObject& key) {
  EVP_CIPHER_CTX* context = KeyContext(key, true, nullptr, nullptr);
  int produced = 0;
  static constexpr uint8_t kZero[16] = {};
  if (context == nullptr || EVP_EncryptUpdate(context, key.hash_key, &produced, kZero, 16) != 1) return false;
#if VELMORA_GCM_CLMUL
  if (CpuHasClmul()) ClmulPowers(key.hash_key, key.hash_powers);
#endif
  return true;
}

NTSTATUS GcmCipher(BcryptKeyObject& key, bool encrypt, const uint8_t* input, ULONG input_size, void* padding_info,
                   uint8_t* iv, ULONG iv_size, uint8_t* output) {
  auto* info = static_cast<BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO*>(padding_info);
  if (!RecordUsable(info)) return kStatusInvalidParameter;
  const bool chain = (info->dwFlags & kBcryptAuthModeChainCalls) != 0;
  const bool in_progress = (info->dwFlags & kBcryptAuthModeInProgress) != 0;
  if ((chain || in_progress) &&
      (info->pbMacContext == nullptr || info->cbMacContext < 16 || iv == nullptr || iv_size != 16)) {
    return kStatusInvalidParameter;
  }
  if (chain && input_size % 16 != 0) return kStatusInvalidBufferSize;
  EVP_CIPHER_CTX* context = KeyContext(key, true, nullptr, nullptr);
  if (context == nullptr) return kStatusUnsuccessful;

  uint8_t counter[16];
  uint8_t acc[16];
  if (in_progress) {
    std::memcpy(counter, iv, 16);
    std::memcpy(acc, info->pbMacContext, 16);
  } else {
    std::memcpy(counter, info->pbNonce, kNonceBytes);
    std::memset(counter + kNonceBytes, 0, 4);
    counter[15] = 2;  // block 1 is J0, kept for the tag
    std::memset(acc, 0, sizeof acc);
    CryptAndHash(key, acc, info->pbAuthData, nullptr, info->cbAuthData, nullptr, false);
    info->cbAAD = info->cbAuthData;
    info->cbData = 0;
  }
  uint8_t stream[kBatchBytes];
  for (ULONG at = 0; at < input_size;) {
    const ULONG n = input_size - at < kBatchBytes ? input_size - at : static_cast<ULONG>(kBatchBytes);
    if (!Keystream(context, counter, stream, (n + 15) / 16)) {
      SecureZero(stream, sizeof stream);
      return kStatusUnsuccessful;
    }
    CryptAndHash(key, acc, input + at, stream, n, output + at, encrypt);
    at += n;
  }
  SecureZero(stream, input_size < kBatchBytes ? (input_size + 15) / 16 * 16 : kBatchBytes);
  info->cbData += input_size;

  if (chain) {
    std::memcpy(iv, counter, 16);
    std::memcpy(info->pbMacContext, acc, 16);
    info->dwFlags |= kBcryptAuthModeInProgress;
    SecureZero(acc, sizeof acc);
    return kStatusSuccess;
  }
  info->dwFlags &= ~kBcryptAuthModeInProgress;
  uint8_t lengths[16];
  Store64(lengths, static_cast<uint64_t>(info->cbAAD) * 8);
  Store64(lengths + 8, info->cbData * 8);
  CryptAndHash(key, acc, lengths, nullptr, 16, nullptr, false);
  uint8_t j0[16] = {};
  std::memcpy(j0, info->pbNonce, kNonceBytes);
  j0[15] = 1;
  uint8_t tag[16];
  if (!Keystream(context, j0, stream, 1)) return kStatusUnsuccessful;
  for (int i = 0; i < 16; ++i) tag[i] = static_cast<uint8_t>(acc[i] ^ stream[i]);
  SecureZero(stream, 16);
  SecureZero(acc, sizeof acc);
  NTSTATUS status = kStatusSuccess;
  if (encrypt) {
    std::memcpy(info->pbTag, tag, info->cbTag);
  } else if (CRYPTO_memcmp(tag, info->pbTag, info->cbTag) != 0) {
    std::memset(output, 0, input_size);
    status = kStatusAuthTagMismatch;
  }
  SecureZero(tag, sizeof tag);
  return status;
}

namespace test {

bool ForceGcmGhashPath(GhashPath path) {
  g_ghash_path.store(path, std::memory_order_relaxed);
#if VELMORA_GCM_CLMUL
  if (path == GhashPath::kWide) return CpuHasClmul() && CpuHasWideClmul();
  if (path == GhashPath::kClmul) return CpuHasClmul();
#endif
  return path == GhashPath::kPortable;
}

}  // namespace test

}  // namespace velmora::platform
