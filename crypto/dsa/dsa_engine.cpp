#include "crypto/dsa/dsa_engine.h"

#include <cstring>

#include "crypto/bn/big_int.h"
#include "crypto/keys/der_signature.h"
#include "crypto/digest/digest_cores.h"
#include "platform/memory.h"

namespace velmora::crypto {
namespace {

// A valid key signs within a handful of attempts (an attempt fails only when r or s is short by a
// byte, about 1 in 128); this many failures in a row means parameters that can never give a
// signature of the right width, such as g = 1.
constexpr int kMaxSignAttempts = 256;

bool Set(const core::BufferCore& b) { return b.Length() > 0; }

int ToInt(const core::BufferCore& b, BigInt& out) {
  return BigInt::FromBytes(reinterpret_cast<const uint8_t*>(b.Data()), b.Length(), 1, out);
}

// Big-endian bytes of a non-negative value without leading zero bytes (zero as one 00 byte).
int ToMinimalBytes(const BigInt& value, core::BufferCore& out) {
  int status = value.ToBytes(out);
  if (status == 0 && out.Length() > 1 && out.Data()[0] == 0) status = core::BufferConsumeFront(out, 1);
  return status;
}

int Copy(const core::BufferCore& from, core::BufferCore& to) { return to.Assign(from); }

// A uniform value in [1, bound) from whole random bytes: `bytes` bytes, the top ones masked down to
// the bound's bit length, drawn again when out of range. The caller's bound is at least 2.
int RandomBelow(const BigInt& bound, int32_t bytes, RandomContext& random, BigInt& out) {
  core::SecureBuffer draw;
  int status = draw.Resize(bytes);
  if (status != 0) return status;
  uint8_t* p = reinterpret_cast<uint8_t*>(draw.Data());
  const int32_t excess = bytes * 8 - bound.BitLength();
  const uint8_t top_mask = excess >= 8 ? 0 : static_cast<uint8_t>(0xFF >> (excess > 0 ? excess : 0));
  for (;;) {
    RandomBytes(random, p, bytes);
    if (excess > 0) p[0] &= top_mask;
    if ((status = BigInt::FromBytes(p, bytes, 1, out)) != 0) return status;
    if (!out.IsZero() && BigInt::Compare(out, bound) < 0) return 0;
  }
}

// The part after p and q that both generators share: g from h = 2, 3, ..., the key pair, and every
// number stored in the engine without leading zero bytes.
int FinishKey(DsaEngine& engine, const BigInt& p, const BigInt& q) {
  DsaKeyParams& key = engine.Params;
  int status;
  BigInt j, p1, h, g, x, y;
  if ((status = BigInt::Subtract(p, BigIntOne(), p1)) != 0 || (status = BigInt::Divide(p1, q, j)) != 0 ||
      (status = BigInt::FromInt64(2, h)) != 0) {
    return status;
  }
  for (;;) {
    if (BigInt::Compare(h, p1) >= 0) return kDsaMissingParams;
    if ((status = BigInt::ModPow(h, j, p, g)) != 0) return status;
    if (BigInt::Compare(g, BigIntOne()) > 0) break;
    if ((status = BigInt::Add(h, BigIntOne(), h)) != 0) return status;
  }
  // x is uniform in [1, q): drawing numbers of exactly N bits would never give one below 2^(N-1).
  if ((status = RandomBelow(q, (q.BitLength() + 7) / 8, engine.Random, x)) != 0 ||
      (status = BigInt::ModPow(g, x, p, y)) != 0) {
    return status;
  }
  if ((status = key.Clear()) != 0 || (status = ToMinimalBytes(p, key.P)) != 0 ||
      (status = ToMinimalBytes(q, key.Q)) != 0 || (status = ToMinimalBytes(j, key.J)) != 0 ||
      (status = ToMinimalBytes(g, key.G)) != 0 || (status = ToMinimalBytes(y, key.Y)) != 0) {
    return status;
  }
  return ToMinimalBytes(x, key.X);
}

// seed + add, modulo 2^160, as 20 big-endian bytes.
void AddToSeed(const uint8_t seed[20], uint32_t add, uint8_t out[20]) {
  uint64_t carry = add;
  for (int i = 19; i >= 0; --i) {
    carry += seed[i];
    out[i] = static_cast<uint8_t>(carry);
    carry >>= 8;
  }
}

void Sha1(const uint8_t* data, uint32_t length, uint8_t out[20]) {
  Sha1State state;
  state.Init();
  state.Update(data, length);
  std::memcpy(out, state.Final(), 20);
}

// FIPS 186-2 Appendix 2.2 steps 1-5: q from a SEED, or false when that q is not prime.
int SeededQ(const uint8_t seed[20], RandomContext& random, BigInt& q, bool* prime) {
  uint8_t u[20], next[20], digest[20];
  Sha1(seed, 20, u);
  AddToSeed(seed, 1, next);
  Sha1(next, 20, digest);
  for (int i = 0; i < 20; ++i) u[i] ^= digest[i];
  u[0] |= 0x80;
  u[19] |= 0x01;
  int status = BigInt::FromBytes(u, 20, 1, q);
  if (status == 0) status = BigInt::IsProbablePrime(q, 20, &random, prime);
  return status;
}

// Steps 7-13 for one counter value: the candidate p built from SHA-1 of seed + offset + k.
int SeededCandidate(const uint8_t seed[20], uint32_t offset, int32_t l, const BigInt& q, BigInt& p) {
  const int32_t n = (l - 1) / 160;
  core::Buffer w_bytes;
  int status = w_bytes.Resize(20 * (n + 1));
  if (status != 0) return status;
  uint8_t* w = reinterpret_cast<uint8_t*>(w_bytes.Data());
  for (int32_t k = 0; k <= n; ++k) {
    uint8_t value[20];
    AddToSeed(seed, offset + static_cast<uint32_t>(k), value);
    // V_k is the k-th 160-bit digit of W counting from the least significant end.
    Sha1(value, 20, w + 20 * (n - k));
  }
  BigInt big_w, x, two_q, c;
  if ((status = BigInt::FromBytes(w, w_bytes.Length(), 1, big_w)) != 0 ||
      (status = BigInt::LowBits(big_w, l - 1, big_w)) != 0 || (status = BigInt::ShiftLeft(BigIntOne(), l - 1, x)) != 0 ||
      (status = BigInt::Add(big_w, x, x)) != 0 || (status = BigInt::ShiftLeft(q, 1, two_q)) != 0 ||
      (status = BigInt::Mod(x, two_q, c)) != 0 || (status = BigInt::Subtract(x, c, p)) != 0) {
    return status;
  }
  return BigInt::Add(p, BigIntOne(), p);
}

}  // namespace

int DsaEngine::SetKeyParams(const DsaKeyParams& params) {
  p_context_.Clear();
  q_context_.Clear();
  int status = Params.Clear();
  if (status != 0) return status;
  if (!Set(params.P) || !Set(params.Q) || !Set(params.G) || (!Set(params.Y) && !Set(params.X))) {
    return kDsaMissingParams;
  }
  BigInt p, q;
  if ((status = ToInt(params.P, p)) != 0) return status;
  if (p.IsZero()) return kDsaMissingParams;
  KeySize = p.BitLength();
  if ((status = ToInt(params.Q, q)) != 0) return status;
  if (q.IsZero()) return kDsaMissingParams;
  if ((status = Copy(params.P, Params.P)) != 0 || (status = Copy(params.Q, Params.Q)) != 0 ||
      (status = Copy(params.G, Params.G)) != 0) {
    return status;
  }
  if (Set(params.Y) && (status = Copy(params.Y, Params.Y)) != 0) return status;
  return Set(params.X) ? Copy(params.X, Params.X) : 0;
}

int DsaEngine::Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) {
  if (digest == nullptr || digest_length < 1) return kDsaNoDigest;
  if (!Set(Params.G)) return kDsaNoKey;
  if (!Set(Params.X)) return kDsaNoPrivateKey;
  BigInt p, q, g, x, h, q2;
  int status;
  if ((status = ToInt(Params.P, p)) != 0 || (status = ToInt(Params.Q, q)) != 0 ||
      (status = ToInt(Params.G, g)) != 0 || (status = ToInt(Params.X, x)) != 0 ||
      (status = BigInt::FromBytes(digest, digest_length, 1, h)) != 0 ||
      (status = BigInt::Subtract(q, BigIntOne(), q2)) != 0 || (status = BigInt::Subtract(q2, BigIntOne(), q2)) != 0) {
    return status;
  }
  const int32_t qbytes = q.BitLength() / 8;
  // A q below 2^8 gives no room for k, and p must be a modulus.
  if (qbytes < 1 || p.IsZero()) return kDsaMissingParams;
  core::SecureBuffer r_bytes, s_bytes;
  for (int attempt = 0; attempt < kMaxSignAttempts; ++attempt) {
    BigInt k, gk, r, kinv, s, check;
    // k from qbytes random bytes, drawn again while it is 0 or not below q.
    core::SecureBuffer draw;
    if ((status = draw.Resize(qbytes)) != 0) return status;
    do {
      RandomBytes(Random, draw.Data(), qbytes);
      if ((status = BigInt::FromBytes(reinterpret_cast<const uint8_t*>(draw.Data()), qbytes, 1, k)) != 0) {
        return status;
      }
    } while (k.IsZero() || BigInt::Compare(k, q) >= 0);
    // k^-1 = k^(q-2) mod q: q is prime, and the exponentiation runs in time independent of k.
    if ((status = ModPowWithContext(p_context_, g, k, p, gk)) != 0 || (status = BigInt::Mod(gk, q, r)) != 0 ||
        (status = ModPowWithContext(q_context_, k, q2, q, kinv)) != 0 || (status = BigInt::Multiply(x, r, s)) != 0 ||
        (status = BigInt::Add(s, h, s)) != 0 || (status = BigInt::Multiply(kinv, s, s)) != 0 ||
        (status = BigInt::Mod(s, q, s)) != 0 || (status = BigInt::Multiply(k, kinv, check)) != 0 ||
        (status = BigInt::Mod(check, q, check)) != 0) {
      return status;
    }
    // Only a q that is not prime makes k^(q-2) something other than the inverse.
    if (BigInt::Compare(check, BigIntOne()) != 0) return kBigIntNotInvertible;
    if (r.IsZero() || s.IsZero()) continue;
    if ((status = ToMinimalBytes(r, r_bytes)) != 0 || (status = ToMinimalBytes(s, s_bytes)) != 0) return status;
    if (r_bytes.Length() != qbytes || s_bytes.Length() != qbytes) continue;
    if (DerOutput == 1) {
      core::SecureBuffer raw, der;
      if ((status = raw.Append(r_bytes)) != 0 || (status = raw.Append(s_bytes)) != 0 ||
          (status = EncodeRawSignatureAsDer(raw.Bytes(), raw.Length(), der)) != 0) {
        return status;
      }
      return out.Append(der);
    }
    if ((status = out.Append(r_bytes.Data(), qbytes)) != 0) return status;
    return out.Append(s_bytes.Data(), qbytes);
  }
  return kDsaMissingParams;
}

int DsaEngine::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                      int32_t signature_length, int32_t* result) {
  *result = 0;
  if (digest == nullptr || digest_length < 1) return kDsaNoDigest;
  if (signature == nullptr || signature_length < 1) return kDsaNoSignature;
  if (!Set(Params.G)) return kDsaNoKey;
  // Without the public value nothing can verify; say so rather than answer "invalid".
  if (!Set(Params.Y)) return kDsaNoKey;
  if (signature_length < digest_length) return 0;
  const uint8_t* r_at;
  const uint8_t* s_at;
  int32_t r_length, s_length;
  if (IsDerSignatureShape(signature, signature_length)) {
    // Short-form lengths only (the shape test guarantees them and that both INTEGERs are inside).
    r_length = signature[3];
    r_at = signature + 4;
    s_length = signature[r_length + 5];
    s_at = signature + r_length + 6;
    if (signature[1] != r_length + 4 + s_length) return 0;
  } else {
    // A raw signature splits by the digest's length, not q's.
    r_at = signature;
    r_length = digest_length;
    s_at = signature + digest_length;
    s_length = signature_length - digest_length;
    if (s_length == 0) return 0;
  }
  BigInt p, q, g, y, h, r, s, w, u1, u2, a, b;
  int status;
  if ((status = ToInt(Params.P, p)) != 0 || (status = ToInt(Params.Q, q)) != 0 ||
      (status = ToInt(Params.G, g)) != 0 || (status = ToInt(Params.Y, y)) != 0 ||
      (status = BigInt::FromBytes(digest, digest_length, 1, h)) != 0 ||
      (status = BigInt::FromBytes(r_at, r_length, 1, r)) != 0 || (status = BigInt::FromBytes(s_at, s_length, 1, s)) != 0) {
    return status;
  }
  if (r.IsZero() || s.IsZero() || BigInt::Compare(r, q) >= 0 || BigInt::Compare(s, q) >= 0) return 0;
  if (p.IsZero() || q.IsZero()) return 0;
  // y must lie in [2, p - 2]: under y = 1, or y = p - 1 for an even u2, a signature made with x = 0
  // verifies for any key holder, and y = 0 (or p) is no group element.
  if ((status = BigInt::Subtract(p, BigIntOne(), a)) != 0) return status;
  if (BigInt::Compare(y, BigIntOne()) <= 0 || BigInt::Compare(y, a) >= 0) return 0;
  if ((status = BigInt::ModInverse(s, q, w)) != 0) return status;
  if ((status = BigInt::Multiply(h, w, u1)) != 0 || (status = BigInt::Mod(u1, q, u1)) != 0 ||
      (status = BigInt::Multiply(r, w, u2)) != 0 || (status = BigInt::Mod(u2, q, u2)) != 0) {
    return status;
  }
  if (p.IsOdd() && p.BitLength() > 1) {
    // g^u1 y^u2 in one pass: everything here is public, so it may run in variable time.
    if (!p_context_.Matches(p) && (status = p_context_.Set(p)) != 0) return status;
    if ((status = BigInt::Mod(g, p, b)) != 0 || (status = p_context_.ModPow2Public(b, u1, y, u2, a)) != 0) {
      return status;
    }
  } else if ((status = BigInt::ModPow(g, u1, p, a)) != 0 || (status = BigInt::ModPow(y, u2, p, b)) != 0 ||
             (status = BigInt::Multiply(a, b, a)) != 0 || (status = BigInt::Mod(a, p, a)) != 0) {
    return status;
  }
  if ((status = BigInt::Mod(a, q, a)) != 0) return status;
  *result = BigInt::Compare(a, r) == 0 ? 1 : 0;
  return 0;
}

int DsaEngine::GenerateKey(bool include_private, DsaKeyParams& out, bool seeded) {
  int status;
  if (!Set(Params.G)) {
    if ((status = seeded ? GenerateDsaKeyWithSeed(*this) : GenerateDsaKey(*this)) != 0) return status;
  }
  if ((status = out.Clear()) != 0 || (status = Copy(Params.P, out.P)) != 0 || (status = Copy(Params.Q, out.Q)) != 0 ||
      (status = Copy(Params.G, out.G)) != 0 || (status = Copy(Params.Y, out.Y)) != 0) {
    return status;
  }
  return include_private ? Copy(Params.X, out.X) : 0;
}

int GenerateDsaKey(DsaEngine& engine) {
  const int32_t l = engine.KeySize;
  int status = CheckKeySize(kKeyKindDsa, l);
  if (status != 0) return status;
  const int32_t n = l < 2048 ? 160 : 256;
  BigInt q, p, low, high;
  if ((status = BigInt::ShiftLeft(BigIntOne(), l - 1, low)) != 0 || (status = BigInt::ShiftLeft(BigIntOne(), l, high)) != 0 ||
      (status = BigInt::Subtract(high, BigIntOne(), high)) != 0) {
    return status;
  }
  for (;;) {
    if ((status = BigInt::RandomPrime(n, 20, engine.Random, q)) != 0) return status;
    int found = 0;
    if ((status = RandomPrimeInRange(low, high, BigIntOne(), q, engine.Random, p, &found)) != 0) return status;
    if (found) return FinishKey(engine, p, q);
  }
}

int GenerateDsaKeyWithSeed(DsaEngine& engine) {
  const int32_t l = engine.KeySize;
  // The construction needs at least one full SHA-1 block of p; nothing smaller is a DSA key.
  if (l < 512) return kKeySizeRefused;
  const int32_t n = (l - 1) / 160;
  BigInt q, p, low;
  int status = BigInt::ShiftLeft(BigIntOne(), l - 1, low);
  if (status != 0) return status;
  uint8_t seed[20];
  for (;;) {
    if (engine.seed_hook_ != nullptr) {
      engine.seed_hook_(engine.seed_hook_context_, seed);
    } else {
      RandomBytes(engine.Random, seed, 20);
    }
    bool prime = false;
    if ((status = SeededQ(seed, engine.Random, q, &prime)) != 0) return status;
    if (!prime) continue;
    uint32_t offset = 2;
    for (int32_t counter = 0; counter < 4096; ++counter, offset += static_cast<uint32_t>(n + 1)) {
      if ((status = SeededCandidate(seed, offset, l, q, p)) != 0) return status;
      if (BigInt::Compare(p, low) < 0) continue;
      if ((status = BigInt::IsProbablePrime(p, 10, &engine.Random, &prime)) != 0) return status;
      if (prime) {
        platform::SecureZero(seed, sizeof seed);
        return FinishKey(engine, p, q);
      }
    }
  }
}

}  // namespace velmora::crypto
