#include "crypto/curve448/ed448_scalar.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// L = 2^446 - c, with c from the group order of RFC 8032 section 5.2.
constexpr uint32_t kEd448C[7] = {0x54a7bb0d, 0xdc873d6d, 0x723a70aa, 0xde933d8d, 0x5129c96f, 0x3bb124b6, 0x8335dc16};
// The descriptor is constant-initialised, so no thread can see it half filled.
constexpr ScalarDescriptor kEd448Modulus = {kEd448ScalarWords, 30, 7, kEd448C};

constexpr int32_t kMaxWideWords = 1024;
constexpr int32_t kMaxMulWords = 64;
constexpr int32_t kMaxDescriptorWords = 63;

uint32_t TopMask(const ScalarDescriptor& d) { return d.top_bits == 0 ? 0xffffffffu : (1u << d.top_bits) - 1; }

// SubMasked sets x -= b AND mask over words words (b has b_words words) and returns the borrow.
uint32_t SubMasked(uint32_t* x, int32_t words, const uint32_t* b, int32_t b_words, uint32_t mask) {
  uint64_t borrow = 0;
  for (int32_t i = 0; i < words; ++i) {
    const uint64_t t = static_cast<uint64_t>(x[i]) - (i < b_words ? (b[i] & mask) : 0) - borrow;
    x[i] = static_cast<uint32_t>(t);
    borrow = (t >> 32) & 1;
  }
  return static_cast<uint32_t>(borrow);
}

// LoadModulus writes L over the descriptor's words.
void LoadModulus(uint32_t* l, const ScalarDescriptor& d) {
  std::memset(l, 0, sizeof(uint32_t) * static_cast<size_t>(d.words));
  (void)SubMasked(l, d.words, d.c, d.c_words, 0xffffffffu);
  l[d.words - 1] &= TopMask(d);
}

// AddCAndSplit adds c to x (n words) and returns how many times 2^B the sum holds; x keeps the
// sum reduced below 2^B.
uint32_t AddCAndSplit(uint32_t* x, const ScalarDescriptor& d) {
  const uint32_t t = ScalarMulWordAdd(x, 0, d.words, d.c, d.c_words, 1, 0);
  if (d.top_bits == 0) return t;
  const uint32_t split = (t << (32 - d.top_bits)) + (x[d.words - 1] >> d.top_bits);
  x[d.words - 1] &= TopMask(d);
  return split;
}

}  // namespace

const ScalarDescriptor& Ed448Modulus() { return kEd448Modulus; }

uint32_t ScalarMulWordAdd(uint32_t* x, int32_t offset, int32_t words, const uint32_t* b, int32_t b_words, uint32_t w,
                          uint32_t carry_in) {
  if (b_words > words) return kCurveInternalError;
  uint64_t carry = carry_in;
  for (int32_t i = 0; i < words; ++i) {
    carry += static_cast<uint64_t>(x[offset + i]) + (i < b_words ? static_cast<uint64_t>(b[i]) * w : 0);
    x[offset + i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return static_cast<uint32_t>(carry);
}

uint32_t ScalarAdd(uint32_t* a, const uint32_t* b, int32_t words) {
  return ScalarMulWordAdd(a, 0, words, b, words, 1, 0);
}

uint32_t ScalarAddMasked(uint32_t* out, const uint32_t* a, int32_t words, const uint32_t* b, int32_t b_offset,
                         int32_t b_words, uint32_t mask) {
  uint64_t carry = 0;
  for (int32_t i = 0; i < words; ++i) {
    const uint32_t addend = i < b_words ? b[b_offset + i] & mask : 0;
    carry += static_cast<uint64_t>(a[i]) + addend;
    out[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  return static_cast<uint32_t>(carry);
}

int ScalarReduce(uint32_t* x, int32_t words, uint32_t extra, const ScalarDescriptor& d) {
  const int32_t n = d.words;
  if (n < 1 || n > kMaxDescriptorWords || words < n || (extra >> d.top_bits) != 0) {
    return kCurveInternalError;
  }
  // 2^(32 n) is 2^(32 - top) c modulo L: fold each word above the low n down with that constant.
  uint32_t fold[kMaxDescriptorWords + 1] = {};
  std::memcpy(fold, d.c, sizeof(uint32_t) * static_cast<size_t>(d.c_words));
  int32_t fold_words = d.c_words;
  if (d.top_bits != 0) {
    fold[fold_words++] = 0;
    (void)ScalarMulWordAdd(fold, 0, fold_words, d.c, d.c_words, (1u << (32 - d.top_bits)) - 1, 0);
  }
  int result = fold_words > n ? kCurveInternalError : 0;
  if (result != 0) return result;
  for (int32_t k = words; k >= n; --k) {
    uint32_t h = k == words ? extra : x[k];
    if (k < words) x[k] = 0;
    // A first fold may carry once out of the span; folding that carry again cannot.
    h = ScalarMulWordAdd(x, k - n, n, fold, fold_words, h, 0);
    if (ScalarMulWordAdd(x, k - n, n, fold, fold_words, h, 0) != 0) result = kCurveInternalError;
  }
  if (d.top_bits != 0) {
    const uint32_t h = x[n - 1] >> d.top_bits;
    x[n - 1] &= TopMask(d);
    if (ScalarMulWordAdd(x, 0, n, d.c, d.c_words, h, 0) != 0) result = kCurveInternalError;
  }
  // Now x < 2L: keep x + c - 2^B when that reaches 2^B, else take c back off.
  const uint32_t split = AddCAndSplit(x, d);
  (void)SubMasked(x, n, d.c, d.c_words, split - 1);
  return result;
}

uint32_t ScalarFromBytes(uint32_t* out, const uint8_t* bytes, const ScalarDescriptor& d) {
  const int32_t count = 4 * d.words - (d.top_bits == 0 ? 0 : (32 - d.top_bits) / 8);
  std::memset(out, 0, sizeof(uint32_t) * static_cast<size_t>(d.words));
  for (int32_t i = 0; i < count; ++i) out[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
  uint32_t sum[kMaxDescriptorWords];
  std::memcpy(sum, out, sizeof(uint32_t) * static_cast<size_t>(d.words));
  const uint32_t split = AddCAndSplit(sum, d);
  return static_cast<uint32_t>((static_cast<uint64_t>(split) - 1) >> 32);
}

int ScalarFromBytesWide(uint32_t* out, const uint8_t* bytes, size_t length, const ScalarDescriptor& d) {
  const int32_t words = std::max(static_cast<int32_t>((length + 3) / 4), d.words);
  if (length > 4 * static_cast<size_t>(kMaxWideWords) || words > kMaxWideWords) return kCurveInternalError;
  uint32_t wide[kMaxWideWords] = {};
  for (size_t i = 0; i < length; ++i) wide[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
  int result = ScalarReduce(wide, words, 0, d);
  std::memcpy(out, wide, sizeof(uint32_t) * static_cast<size_t>(d.words));
  for (int32_t i = d.words; i < words; ++i) {
    if (wide[i] != 0) result = kCurveInternalError;
  }
  platform::SecureZero(wide, sizeof(uint32_t) * static_cast<size_t>(words));
  return result;
}

int ScalarMulAdd(uint32_t* out, int32_t out_words, const uint32_t* a, int32_t a_words, const uint32_t* b,
                 int32_t b_words, const ScalarDescriptor& d, bool accumulate) {
  const int32_t n = d.words;
  // Two spare words: a shifted partial result below L plus a b[i] with any a_words-word a fits.
  const int32_t w = std::max(a_words, n) + 2;
  const int32_t width = (w < out_words && accumulate) ? out_words : w;
  if (out_words < n || width > kMaxMulWords) return kCurveInternalError;
  uint32_t acc[kMaxMulWords + 1] = {};
  int result = 0;
  for (int32_t i = b_words - 1; i >= 0; --i) {
    if (acc[width - 1] != 0) result = kCurveInternalError;
    std::memmove(acc + 1, acc, sizeof(uint32_t) * static_cast<size_t>(width - 1));
    acc[0] = 0;
    if (ScalarMulWordAdd(acc, 0, width, a, a_words, b[i], 0) != 0) result = kCurveInternalError;
    if (ScalarReduce(acc, width, 0, d) != 0) result = kCurveInternalError;
  }
  if (accumulate) {
    const uint32_t carry = ScalarMulWordAdd(acc, 0, width, out, out_words, 1, 0);
    if (ScalarReduce(acc, width, carry, d) != 0) result = kCurveInternalError;
  }
  for (int32_t i = 0; i < out_words; ++i) out[i] = i < width ? acc[i] : 0;
  for (int32_t i = out_words; i < width; ++i) {
    if (acc[i] != 0) result = kCurveInternalError;
  }
  platform::SecureZero(acc, sizeof acc);
  return result;
}

int ScalarNegate(uint32_t* x, int32_t words, const ScalarDescriptor& d) {
  int result = ScalarReduce(x, words, 0, d);
  uint32_t l[kMaxDescriptorWords];
  LoadModulus(l, d);
  if (SubMasked(l, d.words, x, d.words, 0xffffffffu) != 0) result = kCurveInternalError;
  std::memcpy(x, l, sizeof(uint32_t) * static_cast<size_t>(d.words));
  return result;
}

void ScalarToBytes(uint8_t* out, const uint32_t* words, int32_t byte_count) {
  for (int32_t i = 0; i < byte_count / 4; ++i) {
    for (int k = 0; k < 4; ++k) out[4 * i + k] = static_cast<uint8_t>(words[i] >> (8 * k));
  }
}

int ScalarHalveAdd(uint32_t* out, const uint32_t* x, int32_t words, const uint32_t* even_constant,
                   const uint32_t* odd_constant, int32_t constant_words) {
  if (constant_words > words || words < 1) return kCurveInternalError;
  const uint32_t mask = 0u - (x[0] & 1);
  uint64_t carry = 0;
  for (int32_t i = 0; i < words; ++i) {
    const uint32_t k = i < constant_words ? ((even_constant[i] & ~mask) | (odd_constant[i] & mask)) : 0;
    carry += static_cast<uint64_t>(x[i]) + k;
    out[i] = static_cast<uint32_t>(carry);
    carry >>= 32;
  }
  for (int32_t i = 0; i < words - 1; ++i) out[i] = (out[i] >> 1) | (out[i + 1] << 31);
  out[words - 1] = (out[words - 1] >> 1) | (static_cast<uint32_t>(carry) << 31);
  return 0;
}

int ScalarRecodeSigned(int32_t* out, const uint32_t* s, int32_t bits, int32_t width) {
  if (bits < 0 || width < 1 || width > 29) return kCurveInternalError;
  const int64_t bound = int64_t{1} << (width + 1);
  const int32_t limit = bits / (width + 1) + 2;
  int32_t count = 0;
  int64_t v = 0;
  auto emit = [&](int32_t position, int64_t digit) {
    if (count >= limit) return false;
    out[2 * count] = position;
    out[2 * count + 1] = static_cast<int32_t>(digit);
    ++count;
    return true;
  };
  for (int32_t i = bits - 1; i >= 0; --i) {
    v = 2 * v + ((s[i / 32] >> (i % 32)) & 1);
    if (v >= -bound && v < bound) continue;
    int64_t digit = (v + 1) >> 1;
    v = -(v & 1);
    int32_t position = i;
    while ((digit & 1) == 0) {
      digit >>= 1;
      ++position;
    }
    if (!emit(position + 1, digit)) return kCurveInternalError;
  }
  if (v != 0) {
    int32_t position = 0;
    while ((v & 1) == 0) {
      v >>= 1;
      ++position;
    }
    if (!emit(position, v)) return kCurveInternalError;
  }
  out[2 * count] = -1;
  out[2 * count + 1] = 0;
  return count;
}

uint32_t Ed448ScalarFromBytes(uint32_t* out, const uint8_t* bytes) { return ScalarFromBytes(out, bytes, kEd448Modulus); }

int Ed448ScalarFromBytesWide(uint32_t* out, const uint8_t* bytes, size_t length) {
  return ScalarFromBytesWide(out, bytes, length, kEd448Modulus);
}

int Ed448ScalarMulAdd(uint32_t* out, int32_t out_words, const uint32_t* a, int32_t a_words, const uint32_t* b,
                      int32_t b_words, bool accumulate) {
  return ScalarMulAdd(out, out_words, a, a_words, b, b_words, kEd448Modulus, accumulate);
}

int Ed448ScalarNegate(uint32_t* x, int32_t words) { return ScalarNegate(x, words, kEd448Modulus); }

int Ed448ScalarReduce(uint32_t* x, int32_t words, uint32_t extra) {
  return ScalarReduce(x, words, extra, kEd448Modulus);
}

namespace {

// MakeHalvingPair computes (2^bits - 1) mod L and that plus L, the even one first.
void MakeHalvingPair(Ed448HalvingPair& pair, int32_t bits) {
  uint32_t ones[kEd448ScalarWords + 1] = {};
  const int32_t words = (bits + 31) / 32;
  for (int32_t i = 0; i < words; ++i) ones[i] = 0xffffffffu;
  if (bits % 32 != 0) ones[words - 1] = (1u << (bits % 32)) - 1;
  (void)ScalarReduce(ones, std::max(words, kEd448ScalarWords), 0, kEd448Modulus);
  uint32_t plus_l[kEd448ScalarWords];
  LoadModulus(plus_l, kEd448Modulus);
  (void)ScalarAdd(plus_l, ones, kEd448ScalarWords);
  const bool reduced_even = (ones[0] & 1) == 0;
  std::memcpy(pair.even, reduced_even ? ones : plus_l, sizeof pair.even);
  std::memcpy(pair.odd, reduced_even ? plus_l : ones, sizeof pair.odd);
}

}  // namespace

const Ed448HalvingPair& Ed448HalvingPair448() {
  static const Ed448HalvingPair pair = [] {
    Ed448HalvingPair p;
    MakeHalvingPair(p, 448);
    return p;
  }();
  return pair;
}

const Ed448HalvingPair& Ed448HalvingPair450() {
  static const Ed448HalvingPair pair = [] {
    Ed448HalvingPair p;
    MakeHalvingPair(p, 450);
    return p;
  }();
  return pair;
}

int Ed448ScalarForComb(uint32_t* out, const uint32_t* s, int32_t bits) {
  if (bits > 448 || bits < 0) return 0;
  uint32_t k[kEd448ScalarWords] = {};
  std::memcpy(k, s, sizeof(uint32_t) * static_cast<size_t>((bits + 31) / 32));
  const Ed448HalvingPair& pair = Ed448HalvingPair448();
  const int result = ScalarHalveAdd(out, k, kEd448ScalarWords, pair.even, pair.odd, kEd448ScalarWords);
  platform::SecureZero(k, sizeof k);
  return result == 0 ? 1 : 0;
}

}  // namespace velmora::crypto
