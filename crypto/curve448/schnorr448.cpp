#include "crypto/curve448/schnorr448.h"

#include <cstring>
#include <initializer_list>

#include "crypto/curve448/curve448_field.h"
#include "crypto/curve448/ed448_group.h"
#include "crypto/curve448/ed448_scalar.h"
#include "crypto/digest/hash_ctx.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kFieldBytes = kSchnorr448PublicBytes;
constexpr int32_t kPublicOffset = 56;
constexpr int32_t kSeedOffset = 112;
// The two labels stand one after the other: "derivepk" at 0, "signonce" at 8.
constexpr char kLabels[] = "derivepksignonce";
constexpr int32_t kLabelBytes = 8;
// c, s and the nonce are below L < 2^446: the double multiplication reads 446 bits of each.
constexpr int32_t kScalarBits = 446;

struct Piece {
  const void* data;
  uint32_t length;
};

// HashToScalar sets out to SHA-512 of the pieces, reduced modulo L; the digest is wiped.
int HashToScalar(uint32_t* out, std::initializer_list<Piece> pieces) {
  HashCtx ctx;
  int result = ctx.SetAlgorithm(kHashSha512);
  for (const Piece& piece : pieces) {
    if (result == 0 && piece.length > 0) result = ctx.Update(piece.data, piece.length);
  }
  if (result == 0) result = ctx.Final();
  if (result == 0) {
    const core::Buffer& digest = ctx.Output();
    result = Ed448ScalarFromBytesWide(out, digest.Bytes(), static_cast<size_t>(digest.Length()));
    platform::SecureZero(const_cast<char*>(digest.Data()), static_cast<size_t>(digest.Length()));
  }
  return result;
}

// Encode writes the one-element encoding of a point of E'.
int Encode(uint8_t* out, const Ed448Point& p) {
  Fe448 element;
  Ed448TwToField(element, p);
  return Fe448ToBytes(out, kFieldBytes, element);
}

// Secrets bundles what signing and key derivation must wipe.
struct Secrets {
  uint32_t x[kEd448ScalarWords];
  uint32_t r[kEd448ScalarWords];
  uint32_t s[kEd448ScalarWords];
  Ed448Point point;
  uint8_t record[kSchnorr448RecordBytes];
  ~Secrets() { platform::SecureZero(this, sizeof *this); }
};

// DeriveRecord fills k.record (and k.x) from the seed.
int DeriveRecord(Secrets& k, const uint8_t* seed) {
  std::memcpy(k.record + kSeedOffset, seed, kSchnorr448SeedBytes);
  const int result = HashToScalar(k.x, {{kLabels, kLabelBytes}, {seed, kSchnorr448SeedBytes}});
  if (result != 0) return result;
  ScalarToBytes(k.record, k.x, kEd448ScalarBytes);
  if (Ed448TwBaseMulComb(k.point, k.x, 448) != 1) return kCurveInternalError;
  return Encode(k.record + kPublicOffset, k.point);
}

// RecordsDiffer compares two key records without branching on their bytes.
bool RecordsDiffer(const uint8_t* a, const uint8_t* b) {
  uint32_t diff = 0;
  for (int32_t i = 0; i < kSchnorr448RecordBytes; ++i) diff |= static_cast<uint32_t>(a[i] ^ b[i]);
  return diff != 0;
}

}  // namespace

int Schnorr448KeyPair(const uint8_t* seed, int32_t seed_len, core::BufferCore& out) {
  if (seed_len != kSchnorr448SeedBytes) return kSchnorr448BadSeed;
  Secrets k;
  const int result = DeriveRecord(k, seed);
  return result != 0 ? result : out.SetData(kSchnorr448RecordBytes, k.record);
}

int Schnorr448Sign(const uint8_t* message, uint32_t message_len, const uint8_t* record, int32_t record_len,
                   core::BufferCore& out) {
  if (record_len != kSchnorr448RecordBytes) return kSchnorr448BadRecord;
  Secrets k;
  if (Ed448ScalarFromBytes(k.x, record) == 0) return kSchnorr448BadScalar;
  const uint8_t* seed = record + kSeedOffset;
  const uint8_t* public_key = record + kPublicOffset;
  // The nonce covers only the seed and the message, while the challenge covers A: two signatures of
  // one message under records that share the seed but differ in x or A would give away x. So the
  // record must be the one its seed derives.
  int result = DeriveRecord(k, seed);
  if (result != 0) return result;
  if (RecordsDiffer(k.record, record)) return kSchnorr448BadRecord;
  uint8_t* signature = k.record;  // R || s, built in wiped storage
  // The nonce r hashes the seed on both sides of the message.
  result = HashToScalar(k.r, {{kLabels + kLabelBytes, kLabelBytes},
                                  {seed, kSchnorr448SeedBytes},
                                  {message, message_len},
                                  {seed, kSchnorr448SeedBytes}});
  if (result != 0) return result;
  if (Ed448TwBaseMulComb(k.point, k.r, 448) != 1) return kCurveInternalError;
  Ed448TwDouble(k.point);
  result = Encode(signature, k.point);
  uint32_t c[kEd448ScalarWords];
  if (result == 0) {
    result = HashToScalar(c, {{public_key, kSchnorr448PublicBytes}, {signature, kFieldBytes}, {message, message_len}});
  }
  // s = 2 (r - c x) mod L.
  if (result == 0) result = Ed448ScalarNegate(c, kEd448ScalarWords);
  if (result == 0) result = Ed448ScalarMulAdd(k.r, kEd448ScalarWords, c, kEd448ScalarWords, k.x, kEd448ScalarWords, true);
  if (result == 0) {
    const uint32_t carry = ScalarAddMasked(k.s, k.r, kEd448ScalarWords, k.r, 0, kEd448ScalarWords, 0xffffffffu);
    result = Ed448ScalarReduce(k.s, kEd448ScalarWords, carry);
  }
  if (result != 0) return result;
  ScalarToBytes(signature + kFieldBytes, k.s, kEd448ScalarBytes);
  return out.SetData(kSchnorr448SignatureBytes, signature);
}

int Schnorr448Verify(const uint8_t* message, uint32_t message_len, const uint8_t* public_key, int32_t public_key_len,
                     const uint8_t* signature, int32_t signature_len) {
  if (public_key_len != kSchnorr448PublicBytes || signature_len < kSchnorr448SignatureBytes) return 0;
  Fe448 a, rho;
  if (Fe448FromBytes(a, public_key, kFieldBytes) != 1) return 0;
  uint32_t s[kEd448ScalarWords], c[kEd448ScalarWords];
  if (Ed448ScalarFromBytes(s, signature + kFieldBytes) == 0) return 0;
  if (HashToScalar(c, {{public_key, kSchnorr448PublicBytes}, {signature, kFieldBytes}, {message, message_len}}) != 0) {
    return 0;
  }
  if (Fe448FromBytes(rho, signature, kFieldBytes) != 1) return 0;
  // Decoding A gives 2A' up to a point of order 2; the signer doubled R to match, and the encoding of
  // the result does not see the order-2 part.
  Ed448Point p;
  if (Ed448TwFromField(p, Ed448TwFieldConstant(), a) != 0xffffffffu) return 0;
  // A key that decodes to the neutral element or (0, -1) is of small order: no secret scalar makes it,
  // and a signature with s = 0 would verify under it for every message.
  if (Fe448IsZero(p.x) != 0) return 0;
  if (Ed448TwDoubleScalarMulVt(p, c, kScalarBits, s, kScalarBits) != 0) return 0;
  Fe448 q;
  Ed448TwToField(q, p);
  return Fe448Equal(rho, q) != 0 ? 1 : 0;
}

}  // namespace velmora::crypto
