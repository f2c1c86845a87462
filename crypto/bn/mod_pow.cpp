// Modular exponentiation by an odd modulus in Montgomery form.
//
// The exponent may be a private key, so every exponent other than the public 65537 is processed with
// a fixed window: the same squarings and multiplications for every exponent of a given bit length, the
// table entry read by a masked scan of the whole table, and the Montgomery product's final
// subtraction done by a mask. The arithmetic runs on 64-bit limbs, least significant first.
#include <algorithm>
#include <cstring>

#include "core/numbers.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/big_nat.h"
#include "crypto/bn/words.h"

namespace velmora::crypto {

namespace {

using Limb = uint64_t;
using Wide = unsigned __int128;

// LimbInverse returns x^-1 mod 2^64 for an odd x by Newton steps.
Limb LimbInverse(Limb x) {
  Limb y = x;  // correct to 3 bits
  for (int i = 0; i < 5; ++i) y *= 2 - x * y;
  return y;
}

// Montgomery holds the modulus and the scratch of one exponentiation.
struct Montgomery {
  int32_t n = 0;  // limbs
  const Limb* m = nullptr;
  Limb m_prime = 0;  // -m^-1 mod 2^64
  Limb* t = nullptr;  // 2 n + 2 limbs

  // Multiply sets out = a * b * 2^(-64 n) mod m for a, b < m (CIOS). out may be a or b.
  void Multiply(Limb* out, const Limb* a_in, const Limb* b_in) const {
    // No operand aliases the scratch, which lets the compiler keep the loops in registers.
    Limb* __restrict t = this->t;
    const Limb* __restrict m = this->m;
    const Limb* __restrict a = a_in;
    const Limb* __restrict b = b_in;
    std::memset(t, 0, static_cast<size_t>(n + 2) * sizeof(Limb));
    for (int32_t i = 0; i < n; ++i) {
      Limb carry = 0;
      const Limb bi = b[i];
      for (int32_t j = 0; j < n; ++j) {
        const Wide s = static_cast<Wide>(a[j]) * bi + t[j] + carry;
        t[j] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
      }
      Wide s = static_cast<Wide>(t[n]) + carry;
      t[n] = static_cast<Limb>(s);
      t[n + 1] = static_cast<Limb>(s >> 64);
      const Limb q = t[0] * m_prime;
      s = static_cast<Wide>(q) * m[0] + t[0];
      carry = static_cast<Limb>(s >> 64);
      for (int32_t j = 1; j < n; ++j) {
        s = static_cast<Wide>(q) * m[j] + t[j] + carry;
        t[j - 1] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
      }
      s = static_cast<Wide>(t[n]) + carry;
      t[n - 1] = static_cast<Limb>(s);
      t[n] = t[n + 1] + static_cast<Limb>(s >> 64);
    }
    FinalSubtract(out, t, t[n]);
  }

  // Square sets out = a * a * 2^(-64 n) mod m: the square with each cross product once, then the
  // reduction word by word. out may be a.
  void Square(Limb* out, const Limb* a_in) const {
    Limb* __restrict t = this->t;
    const Limb* __restrict m = this->m;
    const Limb* __restrict a = a_in;
    std::memset(t, 0, static_cast<size_t>(2 * n + 2) * sizeof(Limb));
    for (int32_t i = 0; i < n; ++i) {
      Limb carry = 0;
      for (int32_t j = i + 1; j < n; ++j) {
        const Wide s = static_cast<Wide>(a[i]) * a[j] + t[i + j] + carry;
        t[i + j] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
      }
      t[i + n] = carry;
    }
    Limb top = 0;
    for (int32_t k = 0; k < 2 * n; ++k) {
      const Limb w = t[k];
      t[k] = (w << 1) | top;
      top = w >> 63;
    }
    Limb carry = 0;
    for (int32_t i = 0; i < n; ++i) {
      const Wide sq = static_cast<Wide>(a[i]) * a[i];
      Wide s = static_cast<Wide>(t[2 * i]) + static_cast<Limb>(sq) + carry;
      t[2 * i] = static_cast<Limb>(s);
      s = static_cast<Wide>(t[2 * i + 1]) + static_cast<Limb>(sq >> 64) + static_cast<Limb>(s >> 64);
      t[2 * i + 1] = static_cast<Limb>(s);
      carry = static_cast<Limb>(s >> 64);
    }
    Limb high = 0;  // the carry out of limb i + n, at most 1
    for (int32_t i = 0; i < n; ++i) {
      const Limb q = t[i] * m_prime;
      Limb c = 0;
      for (int32_t j = 0; j < n; ++j) {
        const Wide s = static_cast<Wide>(q) * m[j] + t[i + j] + c;
        t[i + j] = static_cast<Limb>(s);
        c = static_cast<Limb>(s >> 64);
      }
      const Wide s = static_cast<Wide>(t[i + n]) + c + high;
      t[i + n] = static_cast<Limb>(s);
      high = static_cast<Limb>(s >> 64);
    }
    FinalSubtract(out, t + n, high);
  }

  // FinalSubtract: v (n limbs below `top`) is below 2m; out = v - m unless that borrows, by a mask.
  void FinalSubtract(Limb* out, const Limb* v, Limb top) const {
    Limb borrow = 0;
    for (int32_t j = 0; j < n; ++j) {
      const Wide d = static_cast<Wide>(v[j]) - m[j] - borrow;
      out[j] = static_cast<Limb>(d);
      borrow = static_cast<Limb>(d >> 64) & 1;
    }
    const Limb keep_v = 0 - static_cast<Limb>(borrow > top);  // all ones: v was below m
    for (int32_t j = 0; j < n; ++j) out[j] = (out[j] & ~keep_v) | (v[j] & keep_v);
  }
};

// Select copies table entry index (of count entries of n limbs) into out, reading every entry.
void Select(Limb* out, const Limb* table, int32_t count, int32_t n, uint32_t index) {
  std::memset(out, 0, static_cast<size_t>(n) * sizeof(Limb));
  for (int32_t e = 0; e < count; ++e) {
    const Limb mask = 0 - ((static_cast<Limb>(static_cast<uint32_t>(e) ^ index) - 1) >> 63);
    const Limb* entry = table + static_cast<size_t>(e) * n;
    for (int32_t j = 0; j < n; ++j) out[j] |= entry[j] & mask;
  }
}

// ToLimbs writes the low 64 n bits of a non-negative value.
void ToLimbs(const BigInt& a, Limb* out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<Limb>(a.WordAt(2 * i)) | static_cast<Limb>(a.WordAt(2 * i + 1)) << 32;
}

// ToMontgomery sets out = a * 2^(64 n) mod m through one long division.
int ToMontgomery(const BigInt& a, const BigInt& m, int32_t n, Limb* out) {
  BigInt shifted, reduced;
  if (const int rc = BigInt::ShiftLeft(a, 64 * n, shifted); rc != 0) return rc;
  if (const int rc = BigInt::Mod(shifted, m, reduced); rc != 0) return rc;
  ToLimbs(reduced, out, n);
  return 0;
}

// WindowBits is the window width for an exponent of the given length: one more than the number of
// the thresholds 7, 25, 81, 241, 673 it exceeds, at most 6 (a 64-entry table).
int32_t WindowBits(int32_t exponent_bits) {
  static constexpr int32_t kThresholds[] = {7, 25, 81, 241, 673};
  int32_t w = 1;
  for (const int32_t threshold : kThresholds) w += exponent_bits > threshold ? 1 : 0;
  return w;
}

// ExponentWindow returns the w bits of e from bit `low` up.
uint32_t ExponentWindow(const BigInt& e, int32_t low, int32_t w) {
  uint32_t bits = 0;
  for (int32_t i = w - 1; i >= 0; --i) bits = (bits << 1) | (e.TestBit(low + i) ? 1u : 0u);
  return bits;
}

}  // namespace

int BigInt::ModPowOdd(const BigInt& base, const BigInt& e, const BigInt& m, BigInt& out) {
  if (e.Sign() > 0 && e.BitLength() == 1) return out.Assign(base);
  if (base.IsZero()) return out.Assign(BigIntZero());
  const int32_t n = (m.BitLength() + 63) / 64;
  const int32_t ebits = e.BitLength();
  const bool public_exponent = e.Count() == 1 && e.Words()[0] == 0x10001 && e.Sign() > 0;
  const int32_t w = public_exponent ? 1 : WindowBits(ebits);
  const int32_t entries = 1 << w;
  // One block: modulus, table, accumulator, selected entry, product scratch, result words.
  const int32_t limbs = n * (1 + entries + 2) + (2 * n + 2);
  const int32_t block_words = 2 * limbs + 2 * n;
  uint32_t* block = core::AllocZeroedInts(block_words);
  if (block == nullptr) return kBigIntNoMemory;
  Limb* modulus = reinterpret_cast<Limb*>(block);
  Limb* table = modulus + n;
  Limb* acc = table + static_cast<size_t>(entries) * n;
  Limb* entry = acc + n;
  Limb* scratch = entry + n;
  uint32_t* result_words = block + 2 * limbs;

  ToLimbs(m, modulus, n);
  Montgomery mont{n, modulus, 0 - LimbInverse(modulus[0]), scratch};
  int rc = ToMontgomery(BigIntOne(), m, n, table);
  if (rc == 0) rc = ToMontgomery(base, m, n, table + n);
  if (rc == 0) {
    for (int32_t i = 2; i < entries; ++i) mont.Multiply(table + i * n, table + (i - 1) * n, table + n);
    if (public_exponent) {
      // 65537 = 2^16 + 1 is public: sixteen squarings and one product.
      std::memcpy(acc, table + n, static_cast<size_t>(n) * sizeof(Limb));
      for (int32_t i = 0; i < 16; ++i) mont.Square(acc, acc);
      mont.Multiply(acc, acc, table + n);
    } else {
      const int32_t windows = (ebits + w - 1) / w;
      std::memcpy(acc, table, static_cast<size_t>(n) * sizeof(Limb));
      for (int32_t k = windows - 1; k >= 0; --k) {
        if (k != windows - 1) {
          for (int32_t s = 0; s < w; ++s) mont.Square(acc, acc);
        }
        Select(entry, table, entries, n, ExponentWindow(e, k * w, w));
        mont.Multiply(acc, acc, entry);
      }
    }
    // Leave Montgomery form: multiply by 1.
    std::memset(entry, 0, static_cast<size_t>(n) * sizeof(Limb));
    entry[0] = 1;
    mont.Multiply(acc, acc, entry);
    for (int32_t i = 0; i < n; ++i) {
      result_words[2 * n - 1 - 2 * i] = static_cast<uint32_t>(acc[i]);
      result_words[2 * n - 2 - 2 * i] = static_cast<uint32_t>(acc[i] >> 32);
    }
    rc = FromSignAndWords(1, result_words, 2 * n, out);
  }
  bigint::FreeWords(block, block_words);
  return rc;
}

}  // namespace velmora::crypto
