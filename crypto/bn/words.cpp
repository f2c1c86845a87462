#include "crypto/bn/words.h"

#include <cstring>

#include "core/numbers.h"
#include "platform/memory.h"

namespace velmora::crypto::bigint {

void FreeWords(uint32_t* words, int32_t n) {
  if (words == nullptr) return;
  if (n > 0) platform::SecureZero(words, static_cast<size_t>(n) * sizeof(uint32_t));
  core::FreeIfNotNull(words);
}

int32_t CompareWords(const uint32_t* a, int32_t na, const uint32_t* b, int32_t nb) {
  if (na != nb) return na > nb ? 1 : -1;
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (int32_t i = 0; i < na; ++i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  return 0;
}

namespace {

// Allocate returns n zeroed words, or null with *count -1; n == 0 gives null with *count 0.
uint32_t* Allocate(int32_t n, int32_t* count) {
  if (n <= 0) {
    *count = 0;
    return nullptr;
  }
  uint32_t* words = core::AllocZeroedInts(n);
  *count = words != nullptr ? n : -1;
  return words;
}

// PackBytes packs n big-endian bytes into words (most significant first), the missing high bytes of
// the top word set to fill. Word k from the least significant end takes bytes n - 4 k - 4 .. n - 4 k - 1,
// four at a time where all four are there.
void PackBytes(const uint8_t* bytes, int32_t n, uint32_t* words, int32_t count, uint8_t fill) {
  for (int32_t k = 0; k < count; ++k) {
    const int32_t end = n - 4 * k;  // one past the word's least significant byte
    uint32_t word = 0;
    if (end >= 4) {
      const uint8_t* p = bytes + end - 4;
      word = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
    } else {
      for (int32_t i = 0; i < 4; ++i) {
        const uint8_t byte = end - 1 - i >= 0 ? bytes[end - 1 - i] : fill;
        word |= static_cast<uint32_t>(byte) << (8 * i);
      }
    }
    words[count - 1 - k] |= word;
  }
}

// NegateTrimmed turns a two's-complement array into its magnitude (complement, add 1) and returns a
// trimmed copy.
uint32_t* NegateTrimmed(uint32_t* words, int32_t n, int32_t* count) {
  uint32_t carry = 1;
  for (int32_t i = n - 1; i >= 0; --i) {
    const uint64_t sum = static_cast<uint64_t>(~words[i]) + carry;
    words[i] = static_cast<uint32_t>(sum);
    carry = static_cast<uint32_t>(sum >> 32);
  }
  if (carry == 0) return WordsCopyTrimmed(words, n, count);
  // All input words were zero past the sign run: the magnitude is 2^(32 n).
  uint32_t* out = Allocate(n + 1, count);
  if (out != nullptr) out[0] = 1;
  return out;
}

}  // namespace

uint32_t* WordsFromBytes(const uint8_t* bytes, int32_t n, int32_t* count) {
  int32_t zeros = 0;
  while (zeros < n - 1 && bytes[zeros] == 0) ++zeros;
  const int32_t used = n - zeros;
  uint32_t* words = Allocate((used + 3) / 4, count);
  if (words != nullptr) PackBytes(bytes + zeros, used, words, *count, 0);
  return words;
}

uint32_t* WordsCopyTrimmed(const uint32_t* words, int32_t n, int32_t* count) {
  int32_t skip = 0;
  while (skip < n && words[skip] == 0) ++skip;
  uint32_t* out = Allocate(n - skip, count);
  if (out != nullptr) std::memcpy(out, words + skip, static_cast<size_t>(n - skip) * sizeof(uint32_t));
  return out;
}

uint32_t* WordsFromNegativeBytes(const uint8_t* bytes, int32_t n, int32_t* count) {
  int32_t skipped = 0;
  while (skipped < n && bytes[skipped] == 0xFF) ++skipped;
  const int32_t rest = n - skipped;
  int32_t scratch_count = 0;
  // One extra byte of sign: the rest may be empty or all zero.
  uint32_t* scratch = Allocate((rest + 1 + 3) / 4, &scratch_count);
  if (scratch == nullptr) {
    *count = -1;
    return nullptr;
  }
  PackBytes(bytes + skipped, rest, scratch, scratch_count, 0xFF);
  uint32_t* out = NegateTrimmed(scratch, scratch_count, count);
  FreeWords(scratch, scratch_count);
  return out;
}

uint32_t* WordsFromNegativeWords(const uint32_t* words, int32_t n, int32_t* count) {
  int32_t skipped = 0;
  while (skipped < n && words[skipped] == 0xFFFFFFFFu) ++skipped;
  int32_t scratch_count = 0;
  uint32_t* scratch = Allocate(n - skipped + 1, &scratch_count);
  if (scratch == nullptr) {
    *count = -1;
    return nullptr;
  }
  scratch[0] = 0xFFFFFFFFu;
  if (n > skipped) std::memcpy(scratch + 1, words + skipped, static_cast<size_t>(n - skipped) * sizeof(uint32_t));
  uint32_t* out = NegateTrimmed(scratch, scratch_count, count);
  FreeWords(scratch, scratch_count);
  return out;
}

int32_t ModPositive(int32_t a, int32_t b) {
  int64_t x = a;
  int64_t m = b;
  if (m < 0) {
    x = -x;
    m = -m;
  }
  const int64_t r = x % m;
  return static_cast<int32_t>(r < 0 ? r + m : r);
}

namespace {

// WordsMulAddAt adds w * y (ny words) into row[1 .. ny] and stores the carry word in row[0].
void WordsMulAddAt(uint32_t* row, const uint32_t* y, int32_t ny, uint64_t w) {
  uint64_t carry = 0;
  for (int32_t j = ny - 1; j >= 0; --j) {
    const uint64_t t = w * y[j] + row[j + 1] + carry;
    row[j + 1] = static_cast<uint32_t>(t);
    carry = t >> 32;
  }
  row[0] = static_cast<uint32_t>(carry);
}

}  // namespace

void WordsMultiply(const uint32_t* x, int32_t nx, const uint32_t* y, int32_t ny, uint32_t* out) {
  std::memset(out, 0, static_cast<size_t>(nx + ny) * sizeof(uint32_t));
  // Rows from the least significant word of x; out[k] holds significance nx + ny - 1 - k.
  for (int32_t i = nx - 1; i >= 0; --i) WordsMulAddAt(out + i, y, ny, x[i]);
}

void WordsSquare(const uint32_t* x, int32_t n, uint32_t* out) {
  std::memset(out, 0, static_cast<size_t>(2 * n) * sizeof(uint32_t));
  // Cross products x_i x_j (i below j in significance) once.
  for (int32_t i = n - 1; i > 0; --i) WordsMulAddAt(out + i, x, i, x[i]);
  // Double them, then add the squares of the words.
  uint32_t top = 0;
  for (int32_t k = 2 * n - 1; k >= 0; --k) {
    const uint32_t w = out[k];
    out[k] = (w << 1) | top;
    top = w >> 31;
  }
  uint64_t carry = 0;
  for (int32_t i = n - 1; i >= 0; --i) {
    const uint64_t sq = static_cast<uint64_t>(x[i]) * x[i];
    const uint64_t low = static_cast<uint64_t>(out[2 * i + 1]) + static_cast<uint32_t>(sq) + carry;
    out[2 * i + 1] = static_cast<uint32_t>(low);
    const uint64_t high = static_cast<uint64_t>(out[2 * i]) + (sq >> 32) + (low >> 32);
    out[2 * i] = static_cast<uint32_t>(high);
    carry = high >> 32;
  }
}

void WordsMulAddSmall(uint32_t* array, int32_t n, uint32_t m, uint32_t a) {
  uint64_t carry = a;
  for (int32_t i = n - 1; i >= 0; --i) {
    const uint64_t t = static_cast<uint64_t>(array[i]) * m + carry;
    array[i] = static_cast<uint32_t>(t);
    carry = t >> 32;
  }
}

}  // namespace velmora::crypto::bigint
