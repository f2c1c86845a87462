#include "crypto/rsa/rsa_engine.h"

#include <initializer_list>

#include "crypto/bn/big_int.h"

namespace velmora::crypto {
namespace {

bool Set(const core::BufferCore& b) { return b.Length() > 0; }

int ToInt(const core::BufferCore& b, BigInt& out) {
  return BigInt::FromBytes(reinterpret_cast<const uint8_t*>(b.Data()), b.Length(), 1, out);
}

int StripLeadingZeros(core::BufferCore& b) {
  int32_t zeros = 0;
  while (zeros < b.Length() && b.Data()[zeros] == 0) ++zeros;
  return zeros == 0 ? 0 : core::BufferConsumeFront(b, zeros);
}

// Minimal big-endian bytes of a non-negative value (zero as one 00 byte).
int ToMinimalBytes(const BigInt& value, core::BufferCore& out) {
  int status = value.ToBytes(out);
  if (status == 0 && out.Length() > 1 && out.Data()[0] == 0) status = core::BufferConsumeFront(out, 1);
  return status;
}

// The private exponentiation itself, CRT when all CRT values are present, through the contexts kept
// for n, p and q.
int PrivateCore(const RsaKeyParams& key, const BigInt& m, MontgomeryContext& n_context, MontgomeryContext& p_context,
                MontgomeryContext& q_context, BigInt& out) {
  int status;
  if (Set(key.DP) && Set(key.DQ) && Set(key.P) && Set(key.Q) && Set(key.InverseQ)) {
    BigInt p, q, dp, dq, qinv, m1, m2, h;
    if ((status = ToInt(key.P, p)) != 0 || (status = ToInt(key.Q, q)) != 0 || (status = ToInt(key.DP, dp)) != 0 ||
        (status = ToInt(key.DQ, dq)) != 0 || (status = ToInt(key.InverseQ, qinv)) != 0) {
      return status;
    }
    BigInt reduced;
    if ((status = BigInt::Mod(m, p, reduced)) != 0 || (status = ModPowWithContext(p_context, reduced, dp, p, m1)) != 0 ||
        (status = BigInt::Mod(m, q, reduced)) != 0 || (status = ModPowWithContext(q_context, reduced, dq, q, m2)) != 0 ||
        (status = BigInt::Subtract(m1, m2, h)) != 0 || (status = BigInt::Multiply(h, qinv, reduced)) != 0 ||
        (status = BigInt::Mod(reduced, p, h)) != 0 || (status = BigInt::Multiply(q, h, reduced)) != 0) {
      return status;
    }
    return BigInt::Add(m2, reduced, out);
  }
  if (Set(key.D) && Set(key.Modulus)) {
    BigInt d, n, reduced;
    if ((status = ToInt(key.D, d)) != 0 || (status = ToInt(key.Modulus, n)) != 0 ||
        (status = BigInt::Mod(m, n, reduced)) != 0) {
      return status;
    }
    return ModPowWithContext(n_context, reduced, d, n, out);
  }
  return kRsaNoPrivateKey;
}

}  // namespace

int RsaEngine::PrivateOperation(const uint8_t* input, int32_t length, core::BufferCore& out) {
  const RsaKeyParams& key = Params;
  if (!(Set(key.D) && Set(key.Modulus)) && !(Set(key.P) && Set(key.Q) && Set(key.InverseQ))) return kRsaNoPrivateKey;
  BigInt m, result;
  int status = BigInt::FromBytes(input, length, 1, m);
  if (status != 0) return status;
  // Blinding: with e and n known the exponentiation runs on m r^e and the result is multiplied by
  // r^-1, so its timing does not follow the input. The result is the same as without.
  BigInt n, e;
  bool blinded = Set(key.Exponent) && Set(key.Modulus);
  if (blinded && ((status = ToInt(key.Modulus, n)) != 0 || (status = ToInt(key.Exponent, e)) != 0)) return status;
  if (blinded) {
    BigInt product;
    if ((status = NextBlinding(n, e)) != 0 || (status = BigInt::Multiply(m, blind_, product)) != 0 ||
        (status = BigInt::Mod(product, n, m)) != 0) {
      return status;
    }
  }
  if ((status = PrivateCore(key, m, n_context_, p_context_, q_context_, result)) != 0) return status;
  if (blinded) {
    BigInt product;
    if ((status = BigInt::Multiply(result, unblind_, product)) != 0 || (status = BigInt::Mod(product, n, result)) != 0) {
      return status;
    }
  }
  return ToMinimalBytes(result, out);
}

int RsaEngine::NextBlinding(const BigInt& n, const BigInt& e) {
  int status;
  BigInt square;
  if (blinding_ready_ && BigInt::Equals(n, blind_modulus_)) {
    // Squaring both keeps r^e and r^-1 paired: (r^2)^e and (r^2)^-1.
    if ((status = BigInt::Square(blind_, square)) != 0 || (status = BigInt::Mod(square, n, blind_)) != 0 ||
        (status = BigInt::Square(unblind_, square)) != 0 || (status = BigInt::Mod(square, n, unblind_)) != 0) {
      blinding_ready_ = false;
      return status;
    }
    return 0;
  }
  BigInt r;
  for (int attempt = 0; attempt < 8; ++attempt) {
    if ((status = BigInt::Random(n.BitLength() > 2 ? n.BitLength() - 1 : 2, Random, r)) != 0) return status;
    status = BigInt::ModInverse(r, n, unblind_);
    if (status == 2002) continue;  // r shares a factor with n: draw again
    if (status != 0) return status;
    if ((status = ModPowWithContext(n_context_, r, e, n, blind_)) != 0 || (status = blind_modulus_.Assign(n)) != 0) {
      return status;
    }
    blinding_ready_ = true;
    return 0;
  }
  return 2002;
}

int RsaEngine::PublicOperation(const uint8_t* input, int32_t length, core::BufferCore& out) {
  if (!Set(Params.Modulus) || !Set(Params.Exponent)) return kRsaNoPublicKey;
  BigInt m, e, n, c;
  int status;
  if ((status = BigInt::FromBytes(input, length, 1, m)) != 0 || (status = ToInt(Params.Exponent, e)) != 0 ||
      (status = ToInt(Params.Modulus, n)) != 0 || (status = ModPowWithContext(n_context_, m, e, n, c)) != 0) {
    return status;
  }
  core::Buffer bytes;
  if ((status = c.ToBytes(bytes)) != 0 || (status = StripLeadingZeros(bytes)) != 0) return status;
  // Left-padded to KeyBits / 8 bytes: one byte short of the modulus when its bit length is not a
  // multiple of 8.
  if (bytes.Length() < KeyBits / 8 && (status = out.AppendRepeatedByte(KeyBits / 8 - bytes.Length(), 0)) != 0) {
    return status;
  }
  return out.Append(bytes);
}

int RsaEngine::SetKeyParams(const RsaKeyParams& params) {
  blinding_ready_ = false;
  n_context_.Clear();
  p_context_.Clear();
  q_context_.Clear();
  int status = Params.Clear();
  if (status != 0) return status;
  BigInt value;
  if (!Set(params.Modulus)) return kRsaNoModulus;
  if ((status = ToInt(params.Modulus, value)) != 0) return status;
  if (value.IsZero()) return kRsaZeroModulus;
  KeyBits = value.BitLength();
  if (!Set(params.Exponent) && !Set(params.D)) return kRsaNoExponent;
  if (Set(params.Exponent)) {
    if ((status = ToInt(params.Exponent, value)) != 0) return status;
    if (value.IsZero()) return kRsaZeroPublicExponent;
  }
  if (Set(params.D)) {
    if ((status = ToInt(params.D, value)) != 0) return status;
    if (value.IsZero()) return kRsaZeroPrivateExponent;
  }
  if ((status = Params.Modulus.Assign(params.Modulus)) != 0 || (status = Params.Exponent.Assign(params.Exponent)) != 0 ||
      (status = Params.D.Assign(params.D)) != 0 || (status = Params.P.Assign(params.P)) != 0 ||
      (status = Params.Q.Assign(params.Q)) != 0 || (status = Params.DP.Assign(params.DP)) != 0 ||
      (status = Params.DQ.Assign(params.DQ)) != 0 || (status = Params.InverseQ.Assign(params.InverseQ)) != 0) {
    return status;
  }
  if (Set(Params.InverseQ)) return 0;
  return Params.CompleteCrt();
}

namespace {

// FinishKey stores d and the CRT values of p, q and e, 2002 when e has no inverse mod (p-1)(q-1).
int StoreKey(RsaKeyParams& key, const BigInt& p, const BigInt& q, const BigInt& n, const BigInt& e, bool* d_has_zero_top) {
  BigInt p1, q1, phi, d, value;
  int status;
  if ((status = BigInt::Subtract(p, BigIntOne(), p1)) != 0 || (status = BigInt::Subtract(q, BigIntOne(), q1)) != 0 ||
      (status = BigInt::Multiply(p1, q1, phi)) != 0) {
    return status;
  }
  if ((status = ToMinimalBytes(p, key.P)) != 0 || (status = ToMinimalBytes(q, key.Q)) != 0 ||
      (status = ToMinimalBytes(n, key.Modulus)) != 0) {
    return status;
  }
  if ((status = BigInt::ModInverse(e, phi, d)) != 0) return status;
  if ((status = ToMinimalBytes(d, key.D)) != 0) return status;
  if (d_has_zero_top != nullptr) *d_has_zero_top = d.BitLength() % 8 == 0;
  if ((status = BigInt::ModInverse(e, p1, value)) != 0 || (status = ToMinimalBytes(value, key.DP)) != 0 ||
      (status = BigInt::ModInverse(e, q1, value)) != 0 || (status = ToMinimalBytes(value, key.DQ)) != 0 ||
      (status = BigInt::ModInverse(q, p, value)) != 0) {
    return status;
  }
  return ToMinimalBytes(value, key.InverseQ);
}

int Generate(RsaEngine& engine, bool variant) {
  const int32_t half = engine.KeyBits / 2;
  BigInt e, p, q, n;
  int status;
  if ((status = BigInt::FromInt64(65537, e)) != 0 || (status = ToMinimalBytes(e, engine.Params.Exponent)) != 0) {
    return status;
  }
  RandomContext random{};
  struct Release {
    RandomContext& context;
    ~Release() { ReleaseNativeKey(context); }
  } release{random};
  if (variant) {
    if ((status = BigInt::RandomPrime(half, 100, random, p)) != 0) return status;
  } else {
    BigInt lower, upper, seed, two;
    if ((status = BigInt::FromInt64(0xB6, seed)) != 0 || (status = BigInt::ShiftLeft(seed, half - 8, lower)) != 0 ||
        (status = BigInt::FromInt64(2, two)) != 0 || (status = BigInt::Pow(two, half, upper)) != 0 ||
        (status = BigInt::Subtract(upper, BigIntOne(), upper)) != 0) {
      return status;
    }
    // The range search may in principle end without a prime; it is then run again.
    int found = 0;
    while (found == 0) {
      if ((status = RandomPrimeInRange(lower, upper, BigIntZero(), BigIntOne(), random, p, &found)) != 0) return status;
    }
  }
  for (;;) {
    if ((status = BigInt::RandomPrime(half, 100, random, q)) != 0) return status;
    if (BigInt::Compare(p, q) < 0) {
      BigInt t;
      if ((status = t.Assign(p)) != 0 || (status = p.Assign(q)) != 0 || (status = q.Assign(t)) != 0) return status;
    }
    if (BigInt::Compare(p, q) == 0) continue;
    if ((status = BigInt::Multiply(p, q, n)) != 0) return status;
    if (n.BitLength() != engine.KeyBits) continue;
    bool d_top_zero = false;
    status = StoreKey(engine.Params, p, q, n, e, &d_top_zero);
    if (status == 2002) continue;
    if (status != 0) return status;
    if (variant && d_top_zero) continue;
    return 0;
  }
}

}  // namespace

int GenerateRsaKey(RsaEngine& engine) { return Generate(engine, false); }
int GenerateRsaKeyVariant2(RsaEngine& engine) { return Generate(engine, true); }

int RsaEngine::GenerateKey(bool include_private, RsaKeyParams& out, bool variant) {
  int status;
  if (!Set(Params.Modulus)) {
    if ((status = variant ? GenerateRsaKeyVariant2(*this) : GenerateRsaKey(*this)) != 0) return status;
    for (core::BufferCore* b : {static_cast<core::BufferCore*>(&Params.Exponent), static_cast<core::BufferCore*>(&Params.P),
                                static_cast<core::BufferCore*>(&Params.Q), static_cast<core::BufferCore*>(&Params.Modulus),
                                static_cast<core::BufferCore*>(&Params.D), static_cast<core::BufferCore*>(&Params.DQ),
                                static_cast<core::BufferCore*>(&Params.DP),
                                static_cast<core::BufferCore*>(&Params.InverseQ)}) {
      if ((status = StripLeadingZeros(*b)) != 0) return status;
    }
  }
  if ((status = out.Clear()) != 0) return status;
  if ((status = out.Modulus.Assign(Params.Modulus)) != 0 || (status = out.Exponent.Assign(Params.Exponent)) != 0 ||
      (status = out.P.Assign(Params.P)) != 0 || (status = out.Q.Assign(Params.Q)) != 0 ||
      (status = out.DP.Assign(Params.DP)) != 0 || (status = out.DQ.Assign(Params.DQ)) != 0 ||
      (status = out.InverseQ.Assign(Params.InverseQ)) != 0) {
    return status;
  }
  return include_private ? out.D.Assign(Params.D) : 0;
}

}  // namespace velmora::crypto
