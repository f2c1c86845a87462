#include "crypto/ec/ec_agreement.h"

#include <cstring>

#include "crypto/ec/ec_curve_ops.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/curve25519/ed25519_eddsa.h"
#include "crypto/curve448/ed448.h"
#include "crypto/bn/integer_bytes.h"
#include "crypto/curve25519/x25519_x448.h"
#include "crypto/rand/random.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kMaxScalarBytes = 80;  // the longest order here is 521 bits; one spare word for h d

// MultiplySmall sets out = h value for a big-endian value, one byte longer than value.
int MultiplySmall(const core::BufferCore& value, uint32_t h, core::BufferCore& out) {
  const int32_t length = value.Length();
  int status = out.Resize(length + 1);
  if (status != 0) return status;
  auto* bytes = reinterpret_cast<uint8_t*>(out.Data());
  uint32_t carry = 0;
  for (int32_t i = length - 1; i >= 0; --i) {
    const uint32_t product = value.Bytes()[i] * h + carry;
    bytes[i + 1] = static_cast<uint8_t>(product);
    carry = product >> 8;
  }
  bytes[0] = static_cast<uint8_t>(carry);
  return 0;
}

// Assign2 assigns both outputs, or neither when the first cannot be stored.
int Assign2(core::BufferCore& out_x, const core::BufferCore& x, core::BufferCore& out_y, const core::BufferCore& y) {
  const int status = out_x.Assign(x);
  return status != 0 ? status : out_y.Assign(y);
}

// WriteCoordinate writes value right-aligned in flen bytes at out.
void WriteCoordinate(const core::BufferCore& value, int32_t flen, uint8_t* out) {
  std::memset(out, 0, static_cast<size_t>(flen));
  std::memcpy(out + flen - value.Length(), value.Bytes(), static_cast<size_t>(value.Length()));
}

}  // namespace

int EcdhPointAgreement(const core::BufferCore& own_private, const EcKeyParams& peer, int32_t cofactor,
                       core::BufferCore& out_x, core::BufferCore& out_y) {
  const CurveParams* curve = EcCurveOfKeyType(peer.KeyType);
  if (curve == nullptr) return kEcInvalidKey;
  // Every peer point is checked before use: the formulas never read b, so a point of another curve
  // with a small subgroup would reveal the private scalar modulo that subgroup's order.
  if (peer.X.IsEmpty() || peer.Y.IsEmpty()) return kEcInvalidKey;
  bool on_curve = false;
  int status = EcCurveContains(*curve, peer.X, peer.Y, on_curve);
  if (status != 0) return status;
  if (!on_curve) return kEcInvalidKey;
  core::SecureBuffer scalar;
  if (cofactor != 0 && curve->Cofactor >= 2) {
    status = MultiplySmall(own_private, curve->Cofactor, scalar);
  } else {
    status = scalar.Assign(own_private);
  }
  if (status != 0) return status;
  if (scalar.Length() > kMaxScalarBytes) return kEcInvalidKey;
  bool infinity = false;
  core::SecureBuffer x;
  core::SecureBuffer y;
  status = EcCurveMultiply(*curve, scalar, peer.X, peer.Y, infinity, x, y);
  if (status != 0) return status;
  // A shared point at infinity has no x to hand out: refused rather than reported as an empty secret.
  if (infinity) return kEcInvalidKey;
  return Assign2(out_x, x, out_y, y);
}

int EcdhRawAgreement(const core::BufferCore& own_private, const EcKeyParams& peer, int32_t cofactor,
                     core::BufferCore& out) {
  core::SecureBuffer secret;
  int status;
  if (peer.KeyType == 5 || peer.KeyType == 6) {
    const int32_t length = peer.KeyType == 5 ? kX25519Bytes : kX448Bytes;
    if ((status = secret.Resize(length)) != 0) return status;
    auto* bytes = reinterpret_cast<uint8_t*>(secret.Data());
    status = peer.KeyType == 5 ? X25519(own_private.Bytes(), own_private.Length(), peer.PublicKey.Bytes(),
                                        peer.PublicKey.Length(), bytes, length)
                               : X448(own_private.Bytes(), own_private.Length(), peer.PublicKey.Bytes(),
                                      peer.PublicKey.Length(), bytes, length);
  } else {
    core::SecureBuffer y;
    status = EcdhPointAgreement(own_private, peer, cofactor, secret, y);
  }
  return status != 0 ? status : out.Assign(secret);
}

int GenerateEcKey(int32_t key_type, EcKeyParams& params) {
  int status = params.Clear();
  if (status != 0) return status;
  params.KeyType = key_type;
  const CurveParams* curve = EcCurveOfKeyType(key_type);
  if (curve == nullptr) return kEcInvalidKey;
  const int32_t order_bits = ByteStringBitLength(curve->Order);
  const int32_t order_bytes = (order_bits + 7) / 8;
  if (order_bytes < 1 || order_bytes > kMaxScalarBytes) return kEcInvalidKey;
  // d is drawn by rejection: order_bits random bits until 0 < d < n. Unlike a reduction modulo n this
  // is uniform and runs no division on the secret.
  core::SecureBuffer d;
  if ((status = d.Resize(order_bytes)) != 0) return status;
  auto* bytes = reinterpret_cast<uint8_t*>(d.Data());
  const uint8_t top_mask = static_cast<uint8_t>(0xFF >> ((8 - order_bits % 8) % 8));
  const uint8_t* order = curve->Order.Bytes() + (curve->Order.Length() - order_bytes);
  for (;;) {
    RandomContext random;
    RandomBytes(random, bytes, order_bytes);
    bytes[0] &= top_mask;
    uint32_t nonzero = 0;
    int32_t borrow = 0;
    for (int32_t i = order_bytes - 1; i >= 0; --i) {
      nonzero |= bytes[i];
      borrow = (static_cast<int32_t>(bytes[i]) - order[i] - borrow) < 0 ? 1 : 0;
    }
    if (nonzero != 0 && borrow != 0) break;  // d != 0 and d - n < 0
  }
  bool infinity = false;
  if ((status = EcCurveMultiplyBase(*curve, d, infinity, params.X, params.Y)) != 0) return status;
  if (infinity) return kEcInvalidKey;
  return params.D.Assign(d);
}

int GenerateOkpKey(int32_t key_type, EcKeyParams& params) {
  if (key_type < 3 || key_type > 6) return kUnknownCurve;
  params.KeyType = key_type;
  const int32_t length = EcKeyTypeByteLength(key_type);
  int status = params.PrivateKey.Resize(length);
  if (status != 0) return status;
  auto* bytes = reinterpret_cast<uint8_t*>(params.PrivateKey.Data());
  RandomContext random;
  RandomBytes(random, bytes, length);
  // RFC 7748 section 5: the scalar's low cofactor bits cleared and its top bit fixed.
  if (key_type == 5) {
    bytes[0] &= 248;
    bytes[31] = static_cast<uint8_t>((bytes[31] & 63) | 64);
  } else if (key_type == 6) {
    bytes[0] &= 252;
    bytes[55] |= 128;
  }
  return OkpPublicFromPrivate(key_type, params.PrivateKey, params.PublicKey);
}

int OkpPublicFromPrivate(int32_t key_type, const core::BufferCore& private_key, core::BufferCore& out) {
  switch (key_type) {
    case 3:
      return Ed25519PublicFromPrivate(private_key, out);
    case 4:
      return Ed448PublicFromPrivate(private_key, out);
    case 5:
      return X25519PublicFromPrivate(private_key, out);
    case 6:
      return X448PublicFromPrivate(private_key, out);
    default:
      return kUnknownCurve;
  }
}

int EcPublicFromPrivate(EcKeyParams& params) {
  if (!params.HasPrivateKey()) return kEcNoPrivatePart;
  const CurveParams* curve = EcCurveOfKeyType(params.KeyType);
  if (curve == nullptr || params.D.Length() > kMaxScalarBytes) return kEcInvalidKey;
  bool infinity = false;
  core::Buffer x;
  core::Buffer y;
  int status = EcCurveMultiplyBase(*curve, params.D, infinity, x, y);
  if (status != 0) return status;
  if (infinity) return kEcInvalidKey;
  return Assign2(params.X, x, params.Y, y);
}

int EncodeEcPoint(const core::BufferCore& x, const core::BufferCore& y, const CurveParams& curve, bool compressed,
                  bool hybrid, core::BufferCore& out) {
  const bool known_form = curve.CurveForm == kCurveFormPrime || curve.CurveForm == kCurveFormBinary;
  if ((compressed || hybrid) && !known_form) return kEcInvalidKey;
  const int32_t flen = CurveFieldByteLength(curve);
  if (x.Length() < 1 || x.Length() > flen || y.Length() < 1 || y.Length() > flen) return kEcInvalidKey;
  int32_t bit = 0;
  int status = 0;
  if (compressed || hybrid) {
    if ((status = EcCurveCompressedBit(curve, x, y, bit)) != 0) return status;
  }
  const int32_t length = compressed ? 1 + flen : 1 + 2 * flen;
  if ((status = out.Resize(length)) != 0) return status;
  auto* bytes = reinterpret_cast<uint8_t*>(out.Data());
  bytes[0] = static_cast<uint8_t>(compressed ? 0x02 + bit : hybrid ? 0x06 + bit : 0x04);
  WriteCoordinate(x, flen, bytes + 1);
  if (!compressed) WriteCoordinate(y, flen, bytes + 1 + flen);
  return 0;
}

int EncodeEcPublicPoint(EcKeyParams& params, bool compressed, core::BufferCore& out) {
  const CurveParams* curve = params.GetCurve();
  if (curve == nullptr) return kEcInvalidKey;
  const int32_t flen = CurveFieldByteLength(*curve);
  core::Buffer x;
  core::Buffer y;
  int status = PadBytesLeft(params.X.Bytes(), params.X.Length(), flen, x);
  if (status == 0) status = PadBytesLeft(params.Y.Bytes(), params.Y.Length(), flen, y);
  return status != 0 ? status : EncodeEcPoint(x, y, *curve, compressed, false, out);
}

int DecodeEcPointOctets(const core::BufferCore& octets, const CurveParams& curve, int32_t& valid,
                        core::BufferCore& x, core::BufferCore& y) {
  valid = 0;
  const int32_t length = octets.Length();
  // The point at infinity (a single 0x00) is no usable key: it decodes as invalid, as an empty input.
  if (length == 0) return 0;
  const int32_t flen = CurveFieldByteLength(curve);
  const uint8_t* bytes = octets.Bytes();
  const uint8_t first = bytes[0];
  int status = 0;
  if (first == 0x04 || first == 0x06 || first == 0x07) {
    if (flen < 1 || length % 2 == 0 || (length - 1) / 2 != flen) return 0;
    if ((status = x.SetData(flen, bytes + 1)) != 0 || (status = y.SetData(flen, bytes + 1 + flen)) != 0) {
      return status;
    }
    valid = 1;
    return 0;
  }
  if (first != 0x02 && first != 0x03) return 0;
  if (flen < 1 || length != 1 + flen) return 0;
  if (curve.CurveForm != kCurveFormPrime && curve.CurveForm != kCurveFormBinary) return 0;
  core::Buffer given_x;
  core::Buffer recovered_y;
  if ((status = given_x.SetData(flen, bytes + 1)) != 0) return status;
  bool found = false;
  if ((status = EcCurveRecoverY(curve, first - 2, given_x, found, recovered_y)) != 0) return status;
  if (!found) return 0;
  if ((status = Assign2(x, given_x, y, recovered_y)) != 0) return status;
  valid = 1;
  return 0;
}

int EcKeyParams::SetPublicPoint(const core::BufferCore& octets) {
  const CurveParams* curve = GetCurve();
  if (curve == nullptr) return kEcInvalidKey;
  int32_t valid = 0;
  core::Buffer x;
  core::Buffer y;
  int status = DecodeEcPointOctets(octets, *curve, valid, x, y);
  if (status != 0) return status;
  if (valid == 0) return kEcInvalidKey;
  // A compressed point was found on the curve; an uncompressed or hybrid one is only read, so check it.
  const uint8_t first = octets.Bytes()[0];
  if (first != 0x02 && first != 0x03) {
    bool on_curve = false;
    if ((status = EcCurveContains(*curve, x, y, on_curve)) != 0) return status;
    if (!on_curve) return kEcInvalidKey;
  }
  return Assign2(X, x, Y, y);
}

}  // namespace velmora::crypto
