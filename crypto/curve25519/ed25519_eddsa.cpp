// Ed25519, Ed25519ctx and Ed25519ph signing and verification over SHA-512.
#include "crypto/curve25519/ed25519_eddsa.h"

#include <cstring>
#include <initializer_list>

#include "crypto/curve25519/ed25519_group.h"
#include "crypto/curve25519/ed25519_scalar.h"
#include "crypto/digest/hash_ctx.h"
#include "platform/ct_check.h"

namespace velmora::crypto {
namespace {

constexpr char kDom2Prefix[] = "SigEd25519 no Ed25519 collisions";

// The variant of one call: the dom2 block (absent for pure Ed25519) and the prehash choice.
struct Variant {
  bool dom = false;
  uint8_t flag = 0;  // 0 for Ed25519ctx, 1 for Ed25519ph
  const uint8_t* context = nullptr;
  uint32_t context_length = 0;
  bool prehash = false;
  bool prehashed = false;
};

struct Chunk {
  const void* data;
  uint32_t length;
};

// Hash computes SHA-512 over the dom2 block of the variant and the chunks into out (64 bytes).
int Hash(HashCtx& ctx, const Variant& variant, std::initializer_list<Chunk> chunks, core::BufferCore& out) {
  int rc = ctx.SetAlgorithm(kHashSha512);
  if (rc == 0 && variant.dom) {
    const uint8_t octets[2] = {variant.flag, static_cast<uint8_t>(variant.context_length)};
    rc = ctx.Update(kDom2Prefix, sizeof kDom2Prefix - 1);
    if (rc == 0) rc = ctx.Update(octets, 2);
    if (rc == 0 && variant.context_length > 0) rc = ctx.Update(variant.context, variant.context_length);
  }
  for (const Chunk& chunk : chunks) {
    if (rc == 0 && chunk.length > 0) rc = ctx.Update(chunk.data, chunk.length);
  }
  if (rc == 0) rc = ctx.Final();
  if (rc == 0) rc = out.Assign(ctx.Output());
  return rc;
}

uint8_t* Writable(core::BufferCore& buffer) { return reinterpret_cast<uint8_t*>(buffer.Data()); }

// ExpandKey hashes the private key into az and clamps its first half into the secret scalar.
int ExpandKey(HashCtx& ctx, const uint8_t* private_key, core::BufferCore& az) {
  int rc = ctx.SetAlgorithm(kHashSha512);
  if (rc == 0) rc = DigestToBuffer(ctx, private_key, 32, az);
  if (rc != 0) return rc;
  uint8_t* a = Writable(az);
  a[0] &= 248;
  a[31] &= 63;
  a[31] |= 64;
  return 0;
}

// The message the signature covers: the message itself, or its SHA-512 digest for Ed25519ph.
int MessageOf(HashCtx& ctx, const Variant& variant, const uint8_t* message, uint32_t message_length,
              core::BufferCore& digest, Chunk& covered) {
  covered = {message, message_length};
  if (!variant.prehash) return 0;
  if (variant.prehashed) return message_length == 64 ? 0 : kEd25519BadPrehash;
  int rc = ctx.SetAlgorithm(kHashSha512);
  if (rc == 0) rc = DigestToBuffer(ctx, message, message_length, digest);
  covered = {digest.Data(), static_cast<uint32_t>(digest.Length())};
  return rc;
}

int Sign(const Variant& variant, const uint8_t* message, uint32_t message_length, const uint8_t* public_key,
         uint32_t public_length, const uint8_t* private_key, uint32_t private_length, core::BufferCore& signature) {
  if (public_length != 32 || private_length != 32) return kEd25519BadKey;
  if (variant.dom && (variant.context_length > 255 || (variant.flag == 0 && variant.context_length == 0))) {
    return kEd25519BadContext;
  }
  HashCtx ctx;
  core::SecureBuffer az, nonce;
  core::Buffer digest, challenge;
  int rc = ExpandKey(ctx, private_key, az);
  if (rc != 0) return rc;

  // Hashing a public key that is not the private key's would let two signatures of one message share
  // the nonce with different challenges, which gives the private scalar away: derive and compare.
  Ed25519PointP3 point;
  uint8_t derived[32];
  rc = Ed25519ScalarMultBase(point, az.Bytes(), 32);
  if (rc == 0) rc = Ed25519P3ToBytes(derived, sizeof derived, point);
  if (rc != 0) return rc;
  platform::DeclarePublic(derived, sizeof derived);
  if (std::memcmp(derived, public_key, 32) != 0) return kEd25519BadKey;

  rc = signature.Resize(64);
  if (rc != 0) return rc;
  Chunk covered;
  rc = MessageOf(ctx, variant, message, message_length, digest, covered);
  if (rc == 0) rc = Hash(ctx, variant, {{az.Bytes() + 32, 32}, covered}, nonce);
  if (rc != 0) return rc;
  Ed25519ScalarReduce(Writable(nonce), 64);
  uint8_t* out = Writable(signature);
  rc = Ed25519ScalarMultBase(point, nonce.Bytes(), 32);
  if (rc == 0) rc = Ed25519P3ToBytes(out, 32, point);
  if (rc == 0) rc = Hash(ctx, variant, {{out, 32}, {public_key, 32}, covered}, challenge);
  if (rc != 0) return rc;
  Ed25519ScalarReduce(Writable(challenge), 64);
  Ed25519ScalarMulAdd(out + 32, 32, challenge.Bytes(), 32, az.Bytes(), 32, nonce.Bytes(), 32);
  return 0;
}

int Verify(const Variant& variant, const uint8_t* message, uint32_t message_length, const uint8_t* public_key,
           uint32_t public_length, const uint8_t* signature, uint32_t signature_length) {
  if (public_length != 32 || signature_length != 64) return 0;
  if (variant.dom && (variant.context_length > 255 || (variant.flag == 0 && variant.context_length == 0))) return 0;
  if ((signature[63] & 0xE0) != 0) return 0;  // S must be below 2^253
  Ed25519PointP3 negated;
  if (Ed25519PointFromBytesNegate(negated, public_key, 32) == 0) return 0;
  HashCtx ctx;
  core::Buffer digest, challenge;
  Chunk covered;
  if (MessageOf(ctx, variant, message, message_length, digest, covered) != 0) return 0;
  if (Hash(ctx, variant, {{signature, 32}, {public_key, 32}, covered}, challenge) != 0) return 0;
  Ed25519ScalarReduce(Writable(challenge), 64);
  Ed25519PointP2 check;
  Ed25519DoubleScalarMultVartime(check, challenge.Bytes(), 32, negated, signature + 32, 32);
  uint8_t encoded[32];
  Ed25519P2ToBytes(encoded, sizeof encoded, check);
  return std::memcmp(encoded, signature, 32) == 0 ? 1 : 0;
}

Variant Ctx(const uint8_t* context, uint32_t context_length) {
  Variant v;
  v.dom = true;
  v.context = context;
  v.context_length = context_length;
  return v;
}

Variant Ph(bool prehashed, const uint8_t* context, uint32_t context_length) {
  Variant v = Ctx(context, context_length);
  v.flag = 1;
  v.prehash = true;
  v.prehashed = prehashed;
  return v;
}

}  // namespace

int Ed25519PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key) {
  if (private_key.Length() != 32) return kEd25519BadKey;
  HashCtx ctx;
  core::SecureBuffer az;
  int rc = ExpandKey(ctx, private_key.Bytes(), az);
  Ed25519PointP3 point;
  if (rc == 0) rc = Ed25519ScalarMultBase(point, az.Bytes(), 32);
  if (rc == 0) rc = public_key.Resize(32);
  if (rc == 0) rc = Ed25519P3ToBytes(Writable(public_key), 32, point);
  return rc;
}

int Ed25519Sign(const uint8_t* message, uint32_t message_length, const uint8_t* public_key, uint32_t public_length,
                const uint8_t* private_key, uint32_t private_length, core::BufferCore& signature) {
  return Sign(Variant{}, message, message_length, public_key, public_length, private_key, private_length, signature);
}

int Ed25519CtxSign(const uint8_t* message, uint32_t message_length, const uint8_t* context, uint32_t context_length,
                   const uint8_t* public_key, uint32_t public_length, const uint8_t* private_key,
                   uint32_t private_length, core::BufferCore& signature) {
  return Sign(Ctx(context, context_length), message, message_length, public_key, public_length, private_key,
              private_length, signature);
}

int Ed25519PhSign(const uint8_t* message, uint32_t message_length, bool prehashed, const uint8_t* context,
                  uint32_t context_length, const uint8_t* public_key, uint32_t public_length,
                  const uint8_t* private_key, uint32_t private_length, core::BufferCore& signature) {
  return Sign(Ph(prehashed, context, context_length), message, message_length, public_key, public_length,
              private_key, private_length, signature);
}

int Ed25519Verify(const uint8_t* message, uint32_t message_length, const uint8_t* public_key, uint32_t public_length,
                  const uint8_t* signature, uint32_t signature_length) {
  return Verify(Variant{}, message, message_length, public_key, public_length, signature, signature_length);
}

int Ed25519CtxVerify(const uint8_t* message, uint32_t message_length, const uint8_t* context, uint32_t context_length,
                     const uint8_t* public_key, uint32_t public_length, const uint8_t* signature,
                     uint32_t signature_length) {
  return Verify(Ctx(context, context_length), message, message_length, public_key, public_length, signature,
                signature_length);
}

int Ed25519PhVerify(const uint8_t* message, uint32_t message_length, bool prehashed, const uint8_t* context,
                    uint32_t context_length, const uint8_t* public_key, uint32_t public_length,
                    const uint8_t* signature, uint32_t signature_length) {
  return Verify(Ph(prehashed, context, context_length), message, message_length, public_key, public_length,
                signature, signature_length);
}

}  // namespace velmora::crypto
