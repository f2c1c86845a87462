// BigInt as text in a radix from 2 to 32, and the small conversions beside it.
#include <cstring>

#include "crypto/bn/big_int.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuv";

// ChunkDivisor is the largest power of the radix below 2^63 and its exponent: the magnitude is cut into
// chunks of that many digits, each small enough for one 64-bit remainder.
struct ChunkDivisor {
  uint64_t divisor;
  int32_t digits;
};

ChunkDivisor ChunkFor(int32_t radix) {
  const auto r = static_cast<uint64_t>(radix);
  constexpr uint64_t kLimit = (UINT64_C(1) << 63) - 1;
  ChunkDivisor chunk{r, 1};
  while (chunk.divisor <= kLimit / r) {
    chunk.divisor *= r;
    ++chunk.digits;
  }
  return chunk;
}

// DivideLimbs divides the n 64-bit limbs (least significant first) by d in place and returns the
// remainder.
uint64_t DivideLimbs(uint64_t* limbs, int32_t n, uint64_t d) {
  unsigned __int128 rem = 0;
  for (int32_t i = n - 1; i >= 0; --i) {
    const unsigned __int128 cur = (rem << 64) | limbs[i];
    limbs[i] = static_cast<uint64_t>(cur / d);
    rem = cur % d;
  }
  return static_cast<uint64_t>(rem);
}

// WriteChunk writes value in the radix right-aligned into the digits characters ending at end, padded
// with "0"; it returns where the written digits start when pad is false.
char* WriteChunk(uint64_t value, int32_t radix, int32_t digits, char* end, bool pad) {
  char* p = end;
  const auto r = static_cast<uint64_t>(radix);
  do {
    *--p = kDigits[value % r];
    value /= r;
  } while (value != 0);
  if (pad) {
    while (p > end - digits) *--p = '0';
  }
  return p;
}

int AppendHex(const BigInt& number, int32_t first, core::BufferCore& out) {
  const uint32_t* words = number.Words();
  int rc = out.AppendFormat("%x", words[first]);
  for (int32_t i = first + 1; i < number.Count() && rc == 0; ++i) rc = out.AppendFormat("%08x", words[i]);
  return rc;
}

}  // namespace

int BigInt::ToText(core::BufferCore& out, int32_t radix) const {
  if (sign_ == 0 || count_ == 0) return out.AppendCString("0");
  if (radix < 2 || radix > 32) radix = 10;
  // Leading zero words (FromWords keeps them) write nothing.
  int32_t first = 0;
  while (first < count_ - 1 && words_[first] == 0) ++first;
  const int32_t used = count_ - first;
  if (IsNegative()) {
    const int rc = out.AppendByte('-');
    if (rc != 0) return rc;
  }
  if (radix == 16) return AppendHex(*this, first, out);

  const int32_t n_limbs = (used + 1) / 2;
  const ChunkDivisor chunk = ChunkFor(radix);
  // Each chunk takes at least 30 bits of the magnitude (radix 2 takes 62, radix 32 takes 60, and every
  // radix's divisor is above 2^58), so 64 * n_limbs / 58 + 1 chunks are enough.
  const int32_t max_chunks = n_limbs * 64 / 58 + 1;
  const std::size_t bytes = sizeof(uint64_t) * static_cast<std::size_t>(n_limbs + max_chunks);
  auto* block = static_cast<uint64_t*>(platform::Alloc(bytes));
  if (block == nullptr) return core::kOutOfMemory;
  uint64_t* limbs = block;
  uint64_t* chunks = block + n_limbs;
  for (int32_t i = 0; i < n_limbs; ++i) {
    const int32_t low = count_ - 1 - 2 * i;
    const uint64_t high = low - 1 >= first ? words_[low - 1] : 0;
    limbs[i] = (high << 32) | words_[low];
  }
  int32_t top = n_limbs;
  int32_t n_chunks = 0;
  do {
    chunks[n_chunks++] = DivideLimbs(limbs, top, chunk.divisor);
    while (top > 0 && limbs[top - 1] == 0) --top;
  } while (top > 0);

  char text[64];
  char* end = text + sizeof text;
  const char* lead = WriteChunk(chunks[n_chunks - 1], radix, chunk.digits, end, false);
  int rc = out.Append(lead, static_cast<int32_t>(end - lead));
  for (int32_t i = n_chunks - 2; i >= 0 && rc == 0; --i) {
    WriteChunk(chunks[i], radix, chunk.digits, end, true);
    rc = out.Append(end - chunk.digits, chunk.digits);
  }
  std::memset(block, 0, bytes);
  platform::Free(block, bytes);
  return rc;
}

uint64_t BigInt::Low64() const { return (static_cast<uint64_t>(WordAt(1)) << 32) | WordAt(0); }

int BigInt::FromUint32(uint32_t value, BigInt& out) { return FromWords(&value, 1, 1, out); }

}  // namespace velmora::crypto
