#include "crypto/bn/big_int.h"

#include <cstring>
#include <utility>

#include "core/numbers.h"
#include "crypto/bn/big_nat.h"
#include "crypto/bn/words.h"

namespace velmora::crypto {

using bigint::BitLength32;
using bigint::CompareWords;
using bigint::CountTrailingZeroBits32;

// ---- Lifetime ---------------------------------------------------------------------------------------

BigInt::BigInt(BigInt&& other) noexcept { *this = std::move(other); }

BigInt& BigInt::operator=(BigInt&& other) noexcept {
  if (this == &other) return *this;
  Clear();
  sign_ = other.sign_;
  words_ = std::exchange(other.words_, nullptr);
  count_ = std::exchange(other.count_, 0);
  bit_length_ = std::exchange(other.bit_length_, -1);
  lowest_set_bit_ = std::exchange(other.lowest_set_bit_, -2);
  low_zero_words_ = std::exchange(other.low_zero_words_, -2);
  owns_ = std::exchange(other.owns_, true);
  other.sign_ = 0;
  return *this;
}

void BigInt::Clear() {
  if (owns_) bigint::FreeWords(words_, count_);
  words_ = nullptr;
  owns_ = true;
  count_ = 0;
  bit_length_ = -1;
  lowest_set_bit_ = -2;
  low_zero_words_ = -2;
}

// Adopt replaces the value by an array from the word routines (count -1 reports a failed allocation,
// which leaves the empty value).
int BigInt::Adopt(uint32_t* words, int32_t count, int32_t sign) {
  Clear();
  sign_ = 0;
  if (count < 0) return kBigIntNoMemory;
  words_ = words;
  count_ = count;
  if (count > 0) sign_ = sign;
  return 0;
}

BigInt BigInt::Constant(const uint32_t* word) {
  BigInt value;
  value.sign_ = 1;
  value.words_ = const_cast<uint32_t*>(word);
  value.count_ = 1;
  value.owns_ = false;
  return value;
}

const BigInt& BigIntZero() {
  static const uint32_t kWord = 0;
  static const BigInt value = BigInt::Constant(&kWord);
  return value;
}

const BigInt& BigIntOne() {
  static const uint32_t kWord = 1;
  static const BigInt value = BigInt::Constant(&kWord);
  return value;
}

int BigInt::Assign(const BigInt& source) {
  if (this == &source) return 0;
  uint32_t* words = nullptr;
  if (source.count_ > 0) {
    words = core::AllocZeroedInts(source.count_);
    if (words == nullptr) {
      Clear();
      sign_ = 0;
      return kBigIntNoMemory;
    }
    std::memcpy(words, source.words_, static_cast<size_t>(source.count_) * sizeof(uint32_t));
  }
  Clear();
  sign_ = source.sign_;
  words_ = words;
  count_ = source.count_;
  bit_length_ = source.bit_length_;
  lowest_set_bit_ = source.lowest_set_bit_;
  low_zero_words_ = source.low_zero_words_;
  return 0;
}

int BigInt::Negate(BigInt& out) const {
  BigInt result;
  if (const int rc = result.Assign(*this); rc != 0) return rc;
  result.sign_ = -result.sign_;
  result.bit_length_ = -1;
  out = std::move(result);
  return 0;
}

// ---- Construction -----------------------------------------------------------------------------------

int BigInt::FromInt64(int64_t v, BigInt& out) {
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  const uint32_t pair[2] = {static_cast<uint32_t>(magnitude >> 32), static_cast<uint32_t>(magnitude)};
  const int32_t n = pair[0] == 0 ? 1 : 2;
  return FromWords(pair + 2 - n, n, v < 0 ? -1 : 1, out);
}

int BigInt::FromBytes(const uint8_t* bytes, int32_t n, int32_t sign, BigInt& out) {
  int32_t count = 0;
  uint32_t* words = bigint::WordsFromBytes(bytes, n, &count);
  return out.Adopt(words, count, sign);
}

int BigInt::FromSignAndBytes(int32_t sign, const uint8_t* bytes, int32_t n, BigInt& out) {
  return FromBytes(bytes, n, (sign >= -1 && sign <= 1) ? sign : 0, out);
}

int BigInt::FromWords(const uint32_t* words, int32_t n, int32_t sign, BigInt& out) {
  uint32_t* copy = nullptr;
  int32_t count = 0;
  if (n > 0) {
    copy = core::AllocZeroedInts(n);
    count = copy != nullptr ? n : -1;
    if (copy != nullptr) std::memcpy(copy, words, static_cast<size_t>(n) * sizeof(uint32_t));
  }
  return out.Adopt(copy, count, sign);
}

int BigInt::FromSignAndWords(int32_t sign, const uint32_t* words, int32_t n, BigInt& out) {
  int32_t count = 0;
  uint32_t* copy = bigint::WordsCopyTrimmed(words, n, &count);
  return out.Adopt(copy, count, sign);
}

int BigInt::FromTwosComplementBytes(const uint8_t* bytes, int32_t n, BigInt& out) {
  int32_t count = 0;
  if (n > 0 && bytes[0] >= 0x80) {
    uint32_t* words = bigint::WordsFromNegativeBytes(bytes, n, &count);
    return out.Adopt(words, count, -1);
  }
  uint32_t* words = n > 0 ? bigint::WordsFromBytes(bytes, n, &count) : nullptr;
  return out.Adopt(words, count, 1);
}

int BigInt::FromTwosComplementWords(const uint32_t* words, int32_t n, BigInt& out) {
  int32_t count = 0;
  if (n > 0 && words[0] >= 0x80000000u) {
    uint32_t* magnitude = bigint::WordsFromNegativeWords(words, n, &count);
    return out.Adopt(magnitude, count, -1);
  }
  uint32_t* magnitude = bigint::WordsCopyTrimmed(words, n, &count);
  return out.Adopt(magnitude, count, 1);
}

int BigInt::FromBigNat(const BigNat& a, int32_t sign, BigInt& out) {
  return FromSignAndWords(a.Length() > 0 ? sign : 0, a.Used(), a.Length(), out);
}

namespace {

// About 1024 * log2(radix), for radix 2 to 32: the word count of a digit string.
constexpr int32_t kBitsPerDigit[31] = {1024, 1624, 2048, 2378, 2648, 2875, 3072, 3247, 3402, 3543, 3672,
                                       3790, 3899, 4001, 4096, 4186, 4271, 4350, 4426, 4498, 4567, 4633,
                                       4696, 4756, 4814, 4870, 4923, 4975, 5025, 5074, 5120};
// The most digits of each radix whose value fits 31 bits.
constexpr int32_t kDigitsPerWord[31] = {30, 19, 15, 13, 11, 11, 10, 9, 9, 8, 8, 8, 8, 7, 7, 7,
                                        7,  7,  7,  7,  6,  6,  6,  6, 6, 6, 6, 6, 6, 6, 6};

uint64_t GroupValue(const char* digits, int32_t n, int32_t radix) {
  uint64_t value = 0;
  for (int32_t i = 0; i < n; ++i) {
    value = value * static_cast<uint64_t>(radix) + static_cast<uint64_t>(DigitValue(digits[i], radix));
  }
  return value;
}

}  // namespace

int64_t DigitValue(char c, int32_t /*radix*/) {
  // The radix does not change a single digit's value; it only decides which digits a caller accepts.
  const int32_t code = static_cast<signed char>(c);
  if (static_cast<uint32_t>(code - '0') < 10) return code - '0';
  if (code >= 'a' && code <= 'z') return code - 87;
  return code - 55;
}

int BigInt::FromText(const char* text, int32_t n, int32_t radix, int32_t sign, BigInt& out) {
  out.Clear();
  out.sign_ = 0;
  if (radix < 2 || radix > 32 || text == nullptr) return 0;
  int32_t skip = 0;
  while (skip < n && DigitValue(text[skip], radix) == 0) ++skip;
  const char* digits = text + skip;
  const int32_t count = n - skip;
  if (count <= 0) return 0;
  const int32_t per_word = kDigitsPerWord[radix - 2];
  const int32_t n_words = static_cast<int32_t>((int64_t{kBitsPerDigit[radix - 2]} * count / 1024 + 32) / 32);
  uint32_t* words = core::AllocZeroedInts(n_words);
  if (words == nullptr) return kBigIntNoMemory;
  uint32_t radix_power = 1;
  for (int32_t i = 0; i < per_word; ++i) radix_power *= static_cast<uint32_t>(radix);
  int32_t group = count % per_word == 0 ? per_word : count % per_word;
  bool negative_group = false;
  for (int32_t at = 0; at < count && !negative_group; at += group, group = per_word) {
    const auto value = static_cast<int32_t>(GroupValue(digits + at, group, radix));
    negative_group = value < 0;
    if (at == 0) {
      words[n_words - 1] = static_cast<uint32_t>(value);
    } else {
      bigint::WordsMulAddSmall(words, n_words, radix_power, static_cast<uint32_t>(value));
    }
  }
  int rc = 0;
  if (!negative_group) rc = FromSignAndWords(sign, words, n_words, out);
  bigint::FreeWords(words, n_words);
  return rc;
}

// ---- Queries ----------------------------------------------------------------------------------------

bool BigInt::IsZero() const {
  for (int32_t i = 0; i < count_; ++i) {
    if (words_[i] != 0) return false;
  }
  return true;
}

int32_t BigInt::Compare(const BigInt& a, const BigInt& b) {
  if (a.sign_ != b.sign_) return a.sign_ > b.sign_ ? 1 : -1;
  return CompareWords(a.words_, a.count_, b.words_, b.count_) * a.sign_;
}

bool BigInt::Equals(const BigInt& a, const BigInt& b) {
  if (&a == &b) return true;
  return a.sign_ == b.sign_ && a.count_ == b.count_ && CompareWords(a.words_, a.count_, b.words_, b.count_) == 0;
}

int32_t BigInt::BitLength() const {
  if (bit_length_ >= 0) return bit_length_;
  int32_t top = 0;
  while (top < count_ && words_[top] == 0) ++top;
  int32_t bits = 0;
  if (top < count_) {
    bits = 32 * (count_ - top - 1) + BitLength32(words_[top]);
    if (sign_ < 0 && std::has_single_bit(words_[top]) && LowZeroWords() == count_ - top - 1) --bits;
  }
  bit_length_ = bits;
  return bits;
}

int32_t BigInt::LowZeroWords() const {
  if (low_zero_words_ >= -1) return low_zero_words_;
  int32_t n = 0;
  while (n < count_ && words_[count_ - 1 - n] == 0) ++n;
  low_zero_words_ = n;
  return n;
}

uint32_t BigInt::WordAt(int32_t i) const {
  if (i < 0 || count_ == 0) return 0;
  if (i >= count_) return sign_ < 0 ? 0xFFFFFFFFu : 0;
  const uint32_t m = words_[count_ - 1 - i];
  if (sign_ >= 0) return m;
  return i <= LowZeroWords() ? 0u - m : ~m;
}

bool BigInt::TestBit(int32_t n) const { return n >= 0 && ((WordAt(n / 32) >> (n % 32)) & 1) != 0; }

int32_t BigInt::LowestSetBit() const {
  if (lowest_set_bit_ >= -1) return lowest_set_bit_;
  const int32_t zeros = LowZeroWords();
  lowest_set_bit_ = zeros >= count_ ? -1 : 32 * zeros + CountTrailingZeroBits32(WordAt(zeros));
  return lowest_set_bit_;
}

int BigInt::ToBytes(core::BufferCore& out) const {
  const int32_t n = BitLength() / 8 + 1;
  if (const int rc = out.SetData(n, nullptr); rc != 0) return rc;
  WriteBytes(reinterpret_cast<uint8_t*>(out.Data()), n);
  return 0;
}

void BigInt::WriteBytes(uint8_t* destination, int32_t n) const {
  for (int32_t j = 0; j < n; ++j) {
    destination[n - 1 - j] = static_cast<uint8_t>(WordAt(j / 4) >> (8 * (j % 4)));
  }
}

}  // namespace velmora::crypto
