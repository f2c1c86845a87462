#include "crypto/curve448/ed448.h"

#include <cstring>

#include "crypto/curve448/ed448_group.h"
#include "crypto/curve448/ed448_scalar.h"
#include "crypto/digest/digest_cores.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kShakeRate = 136;
constexpr int32_t kWideBytes = 114;
constexpr int32_t kMaxContext = 255;

// Dom4 is the RFC 8032 domain prefix "SigEd448" || flag || context length || context.
struct Dom4 {
  uint8_t bytes[10 + kMaxContext];
  size_t length;
};

void MakeDom4(Dom4& dom, uint8_t flag, const uint8_t* context, int32_t context_len) {
  std::memcpy(dom.bytes, "SigEd448", 8);
  dom.bytes[8] = flag;
  dom.bytes[9] = static_cast<uint8_t>(context_len);
  if (context_len > 0) std::memcpy(dom.bytes + 10, context, static_cast<size_t>(context_len));
  dom.length = 10 + static_cast<size_t>(context_len);
}

struct Piece {
  const uint8_t* data;
  size_t length;
};

// Shake hashes the pieces with SHAKE256 into out_len bytes; the state is wiped before it goes.
void Shake(uint8_t* out, int32_t out_len, std::initializer_list<Piece> pieces) {
  ShakeState state(kShakeRate, 8 * out_len, 256);
  for (const Piece& piece : pieces) state.Absorb(piece.data, piece.length);
  const uint8_t* digest = state.Final();
  if (digest != nullptr) {
    std::memcpy(out, digest, static_cast<size_t>(out_len));
    // The digest may be an expanded private key: its copy in the state's output goes too.
    platform::SecureZero(const_cast<uint8_t*>(digest), static_cast<size_t>(out_len));
  } else {
    std::memset(out, 0, static_cast<size_t>(out_len));
  }
  state.Reset();
}

// ExpandedKey holds h = SHAKE256(private key, 114): the clamped secret scalar from its first 56 bytes and
// the nonce prefix in bytes 57..113.
struct ExpandedKey {
  uint8_t h[kWideBytes];
  uint32_t s[kEd448ScalarWords];
  ~ExpandedKey() { platform::SecureZero(this, sizeof *this); }
};

void Expand(ExpandedKey& key, const uint8_t* private_key) {
  Shake(key.h, kWideBytes, {{private_key, kEd448KeyBytes}});
  key.h[0] &= 0xfc;
  key.h[55] |= 0x80;
  (void)Ed448ScalarFromBytes(key.s, key.h);
}

int EncodeBaseMultiple(uint8_t* out, const uint32_t* s) {
  Ed448Point point;
  int result = Ed448BaseMul(point, s, kEd448ScalarWords);
  if (result == 0) result = Ed448PointToBytes(out, kEd448KeyBytes, point);
  return result;
}

uint32_t BytesDiffer(const uint8_t* a, const uint8_t* b, size_t n) {
  uint32_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<uint32_t>(a[i] ^ b[i]);
  return diff;
}

// SignMessage signs m (the message, or its digest for Ed448ph) with the prefix flag given.
int SignMessage(uint8_t flag, const uint8_t* m, size_t m_len, const uint8_t* context, int32_t context_len,
                const uint8_t* public_key, const uint8_t* private_key, core::BufferCore& out) {
  ExpandedKey key;
  Expand(key, private_key);
  // The public key enters the hash of k: signing under a key that is not the private key's own would
  // let two signatures of one message reveal the secret scalar, so it is derived and compared.
  uint8_t derived[kEd448KeyBytes];
  int result = EncodeBaseMultiple(derived, key.s);
  if (result != 0) return result;
  if (BytesDiffer(derived, public_key, kEd448KeyBytes) != 0) return kEd448BadKey;
  result = out.Resize(kEd448SignatureBytes);
  if (result != 0) return result;
  uint8_t* sig = reinterpret_cast<uint8_t*>(out.Data());
  Dom4 dom;
  MakeDom4(dom, flag, context, context_len);
  uint8_t digest[kWideBytes];
  uint32_t r[kEd448ScalarWords], k[kEd448ScalarWords];
  Shake(digest, kWideBytes, {{dom.bytes, dom.length}, {key.h + 57, 57}, {m, m_len}});
  result = Ed448ScalarFromBytesWide(r, digest, kWideBytes);
  if (result == 0) result = EncodeBaseMultiple(sig, r);
  if (result == 0) {
    Shake(digest, kWideBytes, {{dom.bytes, dom.length}, {sig, kEd448KeyBytes}, {public_key, kEd448KeyBytes}, {m, m_len}});
    result = Ed448ScalarFromBytesWide(k, digest, kWideBytes);
  }
  // S = r + k s mod L.
  if (result == 0) result = Ed448ScalarMulAdd(r, kEd448ScalarWords, k, kEd448ScalarWords, key.s, kEd448ScalarWords, true);
  if (result == 0) {
    ScalarToBytes(sig + kEd448KeyBytes, r, kEd448ScalarBytes);
    sig[kEd448SignatureBytes - 1] = 0;
  }
  platform::SecureZero(digest, sizeof digest);
  platform::SecureZero(r, sizeof r);
  return result;
}

// TimesFour sets p = [4]p on E: the part of p in the prime-order subgroup, its small-order part gone.
void TimesFour(Ed448Point& p) {
  Ed448PointDouble(p);
  Ed448PointDouble(p);
}

int VerifyMessage(uint8_t flag, const uint8_t* m, size_t m_len, const uint8_t* context, int32_t context_len,
                  const uint8_t* public_key, const uint8_t* signature) {
  if (signature[kEd448SignatureBytes - 1] != 0) return 0;
  Ed448Point a, r;
  if (Ed448PointFromBytes(a, public_key, kEd448KeyBytes) != 1) return 0;
  if (Ed448PointFromBytes(r, signature, kEd448KeyBytes) != 1) return 0;
  // [4]A and [4]R lie in the prime-order subgroup, the only points the twist maps faithfully. A key whose
  // [4]A is neutral is of small order: no private key makes it, and every message would verify under it.
  TimesFour(a);
  if (Ed448IsNeutral(a) != 0) return 0;
  TimesFour(r);
  uint32_t s[kEd448ScalarWords], k[kEd448ScalarWords];
  if (Ed448ScalarFromBytes(s, signature + kEd448KeyBytes) == 0) return 0;
  Dom4 dom;
  MakeDom4(dom, flag, context, context_len);
  uint8_t digest[kWideBytes];
  Shake(digest, kWideBytes,
        {{dom.bytes, dom.length}, {signature, kEd448KeyBytes}, {public_key, kEd448KeyBytes}, {m, m_len}});
  if (Ed448ScalarFromBytesWide(k, digest, kWideBytes) != 0) return 0;
  // [4][S]B' against ([4]R)' + [k]([4]A)' on the twist; the final doubling of both sides removes the
  // order-2 ambiguity of the twist.
  Ed448Point left, right, r_twisted;
  if (Ed448TwBaseMulComb(left, s, 448) != 1) return 0;
  Ed448TwistPoint(right, a);
  Ed448TwScalarMul(right, k);
  Ed448TwistPoint(r_twisted, r);
  Ed448PNiels r_pniels;
  Ed448TwToPNiels(r_pniels, r_twisted);
  Ed448TwAddPNiels(right, r_pniels);
  for (int i = 0; i < 3; ++i) Ed448TwDouble(left);
  Ed448TwDouble(right);
  return Ed448TwEqual(right, left);
}

// SignChecks: the key lengths, then the context length, then the message length.
int SignChecks(int32_t message_len, int32_t context_len, int32_t public_key_len, int32_t private_key_len) {
  if (public_key_len != kEd448KeyBytes || private_key_len != kEd448KeyBytes) return kEd448BadKey;
  if (context_len > kMaxContext) return kEd448BadContext;
  if (message_len < 0) return kEd448BadMessage;
  return 0;
}

bool VerifyChecks(int32_t message_len, int32_t context_len, int32_t public_key_len, int32_t signature_len) {
  return public_key_len == kEd448KeyBytes && signature_len == kEd448SignatureBytes && context_len <= kMaxContext &&
         message_len >= 0;
}

int32_t ContextLength(const uint8_t* context, int32_t context_len) {
  return context == nullptr || context_len < 0 ? 0 : context_len;
}

}  // namespace

int Ed448PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& out) {
  if (private_key.Length() != kEd448KeyBytes) return kEd448BadKey;
  ExpandedKey key;
  Expand(key, private_key.Bytes());
  uint8_t public_key[kEd448KeyBytes];
  const int result = EncodeBaseMultiple(public_key, key.s);
  if (result != 0) return result;
  return out.SetData(kEd448KeyBytes, public_key);
}

int Ed448Sign(const uint8_t* message, int32_t message_len, const uint8_t* context, int32_t context_len,
              const uint8_t* public_key, int32_t public_key_len, const uint8_t* private_key, int32_t private_key_len,
              core::BufferCore& out) {
  context_len = ContextLength(context, context_len);
  const int checked = SignChecks(message_len, context_len, public_key_len, private_key_len);
  if (checked != 0) return checked;
  return SignMessage(0, message, static_cast<size_t>(message_len), context, context_len, public_key, private_key,
                     out);
}

int Ed448Verify(const uint8_t* message, int32_t message_len, const uint8_t* context, int32_t context_len,
                const uint8_t* public_key, int32_t public_key_len, const uint8_t* signature, int32_t signature_len) {
  context_len = ContextLength(context, context_len);
  if (!VerifyChecks(message_len, context_len, public_key_len, signature_len)) return 0;
  return VerifyMessage(0, message, static_cast<size_t>(message_len), context, context_len, public_key, signature);
}

namespace {

// Prehash sets digest to the message when it is already a digest (false unless 64 bytes), else to
// SHAKE256(message, 64).
bool Prehash(uint8_t* digest, const uint8_t* message, int32_t message_len, bool prehashed) {
  if (prehashed) {
    if (message_len != kEd448PrehashBytes) return false;
    std::memcpy(digest, message, kEd448PrehashBytes);
    return true;
  }
  Shake(digest, kEd448PrehashBytes, {{message, static_cast<size_t>(message_len)}});
  return true;
}

}  // namespace

int Ed448phSign(const uint8_t* message, int32_t message_len, bool prehashed, const uint8_t* context,
                int32_t context_len, const uint8_t* public_key, int32_t public_key_len, const uint8_t* private_key,
                int32_t private_key_len, core::BufferCore& out) {
  context_len = ContextLength(context, context_len);
  const int checked = SignChecks(message_len, context_len, public_key_len, private_key_len);
  if (checked != 0) return checked;
  uint8_t digest[kEd448PrehashBytes];
  if (!Prehash(digest, message, message_len, prehashed)) return kEd448BadMessage;
  return SignMessage(1, digest, sizeof digest, context, context_len, public_key, private_key, out);
}

int Ed448phVerify(const uint8_t* message, int32_t message_len, bool prehashed, const uint8_t* context,
                  int32_t context_len, const uint8_t* public_key, int32_t public_key_len, const uint8_t* signature,
                  int32_t signature_len) {
  context_len = ContextLength(context, context_len);
  if (!VerifyChecks(message_len, context_len, public_key_len, signature_len)) return 0;
  uint8_t digest[kEd448PrehashBytes];
  if (!Prehash(digest, message, message_len, prehashed)) return 0;
  return VerifyMessage(1, digest, sizeof digest, context, context_len, public_key, signature);
}

}  // namespace velmora::crypto
