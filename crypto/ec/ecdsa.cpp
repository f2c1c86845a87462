// ECDSA (SEC 1 section 4.1) over the Weierstrass curves of the curve table, for the key held by an
// EccEngine, and the DER form of a DSA or ECDSA signature.
#include <cstring>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/ec_binary.h"
#include "crypto/ec/ec_curve_ops.h"
#include "crypto/ec/ec_prime.h"
#include "crypto/ec/ecdsa.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/mont_field.h"
#include "crypto/rand/random.h"
#include "platform/memory.h"

namespace velmora::crypto {
namespace {

using F = FixedBigInt;

// The longest digest taken: a FixedBigInt holds at most 384 words.
constexpr int32_t kMaxDigestBytes = 4 * F::kMaxWords;
// Extra random bits drawn above the order's length, so that the nonce reduced modulo n is uniform to
// within 2^-64.
constexpr int32_t kNonceExtraBytes = 8;
constexpr int kNonceAttempts = 64;

test::EcdsaNonceHook nonce_hook = nullptr;
void* nonce_hook_context = nullptr;

// The curve's numbers as FixedBigInts: the field and the coefficients with the field's word count.
struct CurveNumbers {
  F p, n, a, b, gx, gy;
  uint32_t form = 0;
  uint32_t field_id = 0;
  int32_t n_bits = 0;
  int32_t n_bytes = 0;
};

int LoadCurve(const CurveParams& curve, CurveNumbers& c) {
  int status;
  if ((status = WordsFromBufferPadded(curve.Field, nullptr, c.p)) != 0 ||
      (status = WordsFromBufferPadded(curve.Order, nullptr, c.n)) != 0 ||
      (status = WordsFromBufferPadded(curve.A, &c.p, c.a)) != 0 ||
      (status = WordsFromBufferPadded(curve.B, &c.p, c.b)) != 0 ||
      (status = WordsFromBufferPadded(curve.Gx, &c.p, c.gx)) != 0 ||
      (status = WordsFromBufferPadded(curve.Gy, &c.p, c.gy)) != 0) {
    return status;
  }
  c.form = curve.CurveForm;
  c.field_id = curve.FieldId;
  c.n_bits = F::BitLength(c.n);
  c.n_bytes = (c.n_bits + 7) / 8;
  return 0;
}

bool CurveUsable(const CurveParams* curve) {
  return curve != nullptr && curve->Order.Length() > 0 && curve->Field.Length() > 0 && curve->A.Length() > 0 &&
         curve->B.Length() > 0 && curve->Gx.Length() > 0 && curve->Gy.Length() > 0;
}

// The point operations by curve form; a form other than prime or binary is 1401.
// (For a binary curve, p holds the reduction polynomial.)
int MultiplyByForm(const CurveNumbers& c, const F& x, const F& y, const F& k, F& out_x, F& out_y) {
  if (c.form == kCurveFormPrime) return EcPointMulPrime(x, y, c.p, c.a, k, c.field_id, out_x, out_y);
  if (c.form == kCurveFormBinary) return EcPointMulBinary(x, y, c.p, c.a, k, c.field_id, out_x, out_y);
  return kEcInvalidKey;
}

int MultiplyBaseByForm(const CurveNumbers& c, const F& k, F& out_x, F& out_y) {
  if (c.form == kCurveFormPrime) return EcPointMulPrimeFixedBase(c.gx, c.gy, c.p, c.a, k, c.field_id, out_x, out_y);
  return MultiplyByForm(c, c.gx, c.gy, k, out_x, out_y);
}

int AddByForm(const CurveNumbers& c, const F& x1, const F& y1, const F& x2, const F& y2, F& out_x, F& out_y) {
  if (c.form == kCurveFormPrime) return EcPointAddAffinePrime(x1, y1, x2, y2, c.a, c.p, c.field_id, out_x, out_y);
  if (c.form == kCurveFormBinary) return EcPointAddAffineBinary(x1, y1, x2, y2, c.p, c.a, c.field_id, out_x, out_y);
  return kEcInvalidKey;
}

// DigestToInteger: e of the digest, its leftmost n_bits bits, or (reduce) the whole digest mod n.
int DigestToInteger(const CurveNumbers& c, const uint8_t* digest, int32_t length, bool reduce, F& e) {
  if (length > kMaxDigestBytes) return kFixedTooLong;
  int status = F::FromBytes(digest, length, e);
  if (status != 0) return status;
  if (reduce) {
    if (F::IsGreater(e, c.n)) {
      F r;
      if ((status = F::Mod(e, c.n, r)) != 0) return status;
      F::Copy(e, r);
    }
  } else if (8 * length > c.n_bits) {
    F::ShiftRight(e, 8 * length - c.n_bits);
  }
  return 0;
}

// ModOrder: a value below 2^(128 limbs) taken modulo n, as limbs.
void ModOrder(const ec::MontField& order, const F& value, uint64_t* out) {
  uint64_t wide[2 * ec::kMaxLimbs] = {};
  ec::LimbsFromFixed(value, 2 * order.n, wide);
  ec::ReduceWide(order, out, wide);
  platform::SecureZero(wide, sizeof wide);
}

int DrawNonceBytes(RandomContext& random, uint8_t* out, int32_t count) {
  if (nonce_hook != nullptr) return nonce_hook(out, count, nonce_hook_context) == 0 ? 0 : kEcRandomFailed;
  RandomBytes(random, out, count);
  return 0;
}

int LimbsToBytes(const uint64_t* limbs, const ec::MontField& field, int32_t words, int32_t length,
                 core::BufferCore& out) {
  F value;
  ec::LimbsToFixed(limbs, field.n, words, value);
  const int status = F::ToBytes(value, length, out);
  platform::SecureZero(value.Words, sizeof(uint32_t) * static_cast<size_t>(words));
  return status;
}

// ReadInteger strips leading zero bytes; false when more than max_length bytes remain.
bool ReadInteger(const uint8_t* bytes, int32_t length, int32_t max_length, F& out) {
  while (length > 0 && bytes[0] == 0) {
    ++bytes;
    --length;
  }
  return length <= max_length && F::FromBytes(bytes, length, out) == 0;
}

// SplitDer reads SEQUENCE { INTEGER r, INTEGER s } that fills the whole input (short or one-byte long
// lengths, as the signatures of every supported curve need); false for anything else.
bool SplitDer(const uint8_t* der, int32_t length, const uint8_t*& r, int32_t& r_length, const uint8_t*& s,
              int32_t& s_length) {
  auto read_length = [&](int32_t& pos, int32_t& out) {
    if (pos >= length) return false;
    const uint8_t first = der[pos++];
    if (first < 0x80) {
      out = first;
    } else if (first == 0x81 && pos < length && der[pos] >= 0x80) {
      out = der[pos++];
    } else {
      return false;
    }
    return out <= length - pos;
  };
  int32_t pos = 0, body = 0;
  if (length < 2 || der[pos++] != 0x30 || !read_length(pos, body) || pos + body != length) return false;
  const uint8_t** parts[2] = {&r, &s};
  int32_t* lengths[2] = {&r_length, &s_length};
  for (int i = 0; i < 2; ++i) {
    if (pos >= length || der[pos++] != 0x02 || !read_length(pos, *lengths[i]) || *lengths[i] == 0) return false;
    *parts[i] = der + pos;
    pos += *lengths[i];
  }
  return pos == length;
}

}  // namespace

int EncodeDsaSignatureDer(core::BufferCore& r, core::BufferCore& s, core::BufferCore& out) {
  core::BufferCore* parts[2] = {&r, &s};
  for (core::BufferCore* part : parts) {
    int32_t zeros = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(part->Data());
    while (zeros < part->Length() - 1 && data[zeros] == 0) ++zeros;
    int status = 0;
    if (zeros > 0) status = core::BufferConsumeFront(*part, zeros);
    if (status == 0 && part->Length() == 0) status = part->AppendByte(0);
    if (status == 0 && static_cast<uint8_t>(part->Data()[0]) >= 0x80) {
      core::Buffer padded;
      if ((status = padded.AppendByte(0)) == 0 && (status = padded.Append(*part)) == 0) status = part->Assign(padded);
    }
    if (status != 0) return status;
  }
  const int32_t content = r.Length() + s.Length() + 4;
  int status = out.AppendByte(0x30);
  if (status == 0 && content >= 0x80) status = out.AppendByte(0x81);
  if (status == 0) status = out.AppendByte(static_cast<uint8_t>(content));
  for (core::BufferCore* part : parts) {
    if (status == 0) status = out.AppendByte(0x02);
    if (status == 0) status = out.AppendByte(static_cast<uint8_t>(part->Length()));
    if (status == 0) status = out.Append(*part);
  }
  return status;
}

int EccEngine::EcdsaSign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) {
  CurveParams* curve = Params.GetCurve();
  if (!CurveUsable(curve) || Params.D.Length() == 0) return kEcInvalidKey;
  const int status = ValidateKey();
  if (status != 0) return status;
  const EcdsaSettings settings{DerSignatures, ReduceHashModOrder};
  return EcdsaSignOnCurve(*curve, Params.D, digest, digest_length, settings, out);
}

int EcdsaSignOnCurve(const CurveParams& curve, const core::BufferCore& private_key, const uint8_t* digest,
                     int32_t digest_length, const EcdsaSettings& settings, core::BufferCore& out) {
  if (!CurveUsable(&curve) || private_key.Length() == 0) return kEcInvalidKey;
  int status;
  CurveNumbers c;
  if ((status = LoadCurve(curve, c)) != 0) return status;
  ec::MontField order;
  if ((status = order.InitCached(c.n)) != 0) return status;
  F e, d;
  if ((status = DigestToInteger(c, digest, digest_length, settings.der_signatures == 1 && settings.reduce_hash_mod_order != 0, e)) != 0 ||
      (status = WordsFromBufferPadded(private_key, nullptr, d)) != 0) {
    return status;
  }
  if (F::BitLength(d) > 128 * order.n) return kEcInvalidKey;
  ec::Limbs e_m, d_m, r_m, s_m, k_m, t, k;
  ModOrder(order, e, t);
  ec::ToMont(order, e_m, t);
  ModOrder(order, d, t);
  ec::ToMont(order, d_m, t);
  platform::SecureZero(d.Words, sizeof(uint32_t) * static_cast<size_t>(d.Count));
  const int32_t n_words = c.n.Count;
  const int32_t draw = c.n_bytes + kNonceExtraBytes;
  uint8_t random[4 * F::kMaxWords + kNonceExtraBytes];
  RandomContext random_context;
  status = kEcRandomFailed;
  for (int attempt = 0; attempt < kNonceAttempts; ++attempt) {
    // k from n_bytes + 8 random bytes reduced modulo n; a zero k is drawn again.
    if ((status = DrawNonceBytes(random_context, random, draw)) != 0) break;
    F wide;
    if ((status = F::FromBytes(random, draw, wide)) != 0) break;
    ModOrder(order, wide, k);
    platform::SecureZero(wide.Words, sizeof(uint32_t) * static_cast<size_t>(wide.Count));
    if (ec::IsZeroMask(order, k) != 0) continue;
    F k_fixed, rx, ry;
    ec::LimbsToFixed(k, order.n, n_words, k_fixed);  // the same word count for every nonce
    status = MultiplyBaseByForm(c, k_fixed, rx, ry);
    platform::SecureZero(k_fixed.Words, sizeof(uint32_t) * static_cast<size_t>(n_words));
    if (status != 0) break;
    status = kEcRandomFailed;
    if (EcIsInfinity(rx)) continue;
    ModOrder(order, rx, r_m);
    if (ec::IsZeroMask(order, r_m) != 0) continue;
    // s = k^-1 (e + r d) mod n, all in Montgomery form modulo n.
    ec::ToMont(order, k_m, k);
    ec::MontInverse(order, k_m, k_m);
    ec::ToMont(order, t, r_m);
    ec::MontMul(order, t, t, d_m);
    ec::ModAdd(order, t, t, e_m);
    ec::MontMul(order, s_m, t, k_m);
    ec::FromMont(order, s_m, s_m);
    if (ec::IsZeroMask(order, s_m) != 0) continue;
    status = 0;
    break;
  }
  platform::SecureZero(random, sizeof random);
  platform::SecureZero(k, sizeof k);
  platform::SecureZero(k_m, sizeof k_m);
  platform::SecureZero(d_m, sizeof d_m);
  platform::SecureZero(t, sizeof t);
  if (status != 0) return status;
  core::Buffer r_bytes, s_bytes;
  if ((status = LimbsToBytes(r_m, order, n_words, c.n_bytes, r_bytes)) != 0 ||
      (status = LimbsToBytes(s_m, order, n_words, c.n_bytes, s_bytes)) != 0) {
    return status;
  }
  if (settings.der_signatures == 0) {
    if ((status = out.Assign(r_bytes)) != 0) return status;
    return out.Append(s_bytes);
  }
  return EncodeDsaSignatureDer(r_bytes, s_bytes, out);
}

int EccEngine::EcdsaVerify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, int32_t& valid) {
  valid = 0;
  const int status = ValidateKey();
  if (status != 0) return status;
  CurveParams* curve = Params.GetCurve();
  if (curve == nullptr) return kEcInvalidKey;
  const EcdsaSettings settings{DerSignatures, ReduceHashModOrder};
  return EcdsaVerifyOnCurve(*curve, Params.X, Params.Y, digest, digest_length, signature, signature_length, settings,
                            valid);
}

int EcdsaVerifyOnCurve(const CurveParams& curve, const core::BufferCore& public_x, const core::BufferCore& public_y,
                       const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                       int32_t signature_length, const EcdsaSettings& settings, int32_t& valid) {
  valid = 0;
  int status;
  const uint8_t *r_bytes = nullptr, *s_bytes = nullptr;
  int32_t r_length = 0, s_length = 0;
  const bool der = signature != nullptr && SplitDer(signature, signature_length, r_bytes, r_length, s_bytes, s_length);
  if (!der) {
    if (signature == nullptr || signature_length < 2) return 0;
    r_bytes = signature;
    r_length = signature_length / 2;
    s_bytes = signature + r_length;
    s_length = signature_length - r_length;
  }
  if (!CurveUsable(&curve) || public_x.Length() == 0 || public_y.Length() == 0) return kEcInvalidKey;
  CurveNumbers c;
  if ((status = LoadCurve(curve, c)) != 0) return status;
  if (public_x.Length() > c.n_bytes || public_y.Length() > c.n_bytes) return 0;
  // The public point must be a field point on the curve: the multiplication takes (0, 0) for the neutral
  // element, under which a signature made with d = 0 verifies, and reduces coordinates of p or more.
  bool on_curve = false;
  if ((status = EcCurveContains(curve, public_x, public_y, on_curve)) != 0) return status;
  if (!on_curve) return 0;
  if (digest == nullptr && digest_length > 0) return 0;
  if (digest_length > kMaxDigestBytes) return 0;
  F qx, qy, e, r, s;
  if (!ReadInteger(r_bytes, r_length, c.n_bytes, r) || !ReadInteger(s_bytes, s_length, c.n_bytes, s)) return 0;
  if (F::IsZero(r) || F::IsZero(s) || !F::IsGreater(c.n, r) || !F::IsGreater(c.n, s)) return 0;
  if ((status = WordsFromBufferPadded(public_x, &c.p, qx)) != 0 ||
      (status = WordsFromBufferPadded(public_y, &c.p, qy)) != 0 ||
      (status = DigestToInteger(c, digest, digest_length, der && settings.reduce_hash_mod_order != 0, e)) != 0) {
    return status;
  }
  ec::MontField order;
  if ((status = order.InitCached(c.n)) != 0) return status;
  ec::Limbs w, u1, u2, t;
  ec::LimbsFromFixed(s, order.n, t);
  ec::ToMont(order, w, t);
  ec::MontInverse(order, w, w);  // w = s^-1 in Montgomery form
  ModOrder(order, e, t);
  ec::MontMul(order, u1, t, w);  // the Montgomery factor of w cancels against the plain operand
  ec::LimbsFromFixed(r, order.n, t);
  ec::MontMul(order, u2, t, w);
  F k1, k2, x1, y1, x2, y2, sx, sy;
  ec::LimbsToFixed(u1, order.n, c.n.Count, k1);
  ec::LimbsToFixed(u2, order.n, c.n.Count, k2);
  if (c.form == kCurveFormPrime && !ec::internal::GenericPathForced()) {
    // u1, u2, G and Q are all public here: the variable-time double multiplication is safe.
    status = EcPointMulTwoPrime(c.gx, c.gy, k1, qx, qy, k2, c.p, c.a, sx, sy);
  } else if ((status = MultiplyBaseByForm(c, k1, x1, y1)) != 0 ||
      (status = MultiplyByForm(c, qx, qy, k2, x2, y2)) != 0 || (status = AddByForm(c, x1, y1, x2, y2, sx, sy)) != 0) {
    return status;
  }
  if (status != 0) return status;
  if (EcIsInfinity(sx)) return 0;
  ec::Limbs v, r_limbs;
  ModOrder(order, sx, v);
  ec::LimbsFromFixed(r, order.n, r_limbs);
  valid = ec::EqualMask(order, v, r_limbs) != 0 ? 1 : 0;
  return 0;
}

void test::SetEcdsaNonceHook(EcdsaNonceHook hook, void* context) {
  nonce_hook = hook;
  nonce_hook_context = context;
}

}  // namespace velmora::crypto
