#include "platform/crypto/ksp_ec.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "platform/crypto/openssl_ptr.h"

namespace velmora::platform::ksp::ec {

namespace {

using ossl::Bn;
using ossl::BnCtx;
using ossl::Params;
using ossl::Pkey;
using ossl::PkeyCtx;
using ossl::ParamBuild;
using Group = ossl::Ptr<EC_GROUP, EC_GROUP_free>;
using Point = ossl::Ptr<EC_POINT, EC_POINT_free>;
using Sig = ossl::Ptr<ECDSA_SIG, ECDSA_SIG_free>;

struct Curve {
  const char16_t* algorithm;
  const char* group;
  int nid;
  DWORD length;
  DWORD bits;
};
constexpr Curve kCurves[] = {{u"ECDSA_P256", "P-256", NID_X9_62_prime256v1, 32, 256},
                             {u"ECDSA_P384", "P-384", NID_secp384r1, 48, 384},
                             {u"ECDSA_P521", "P-521", NID_secp521r1, 66, 521}};
constexpr DWORD kHeaderSize = 8;

bool AllZero(const uint8_t* bytes, DWORD length) {
  return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

// PkeyOf builds the EVP_PKEY of a checked point and, when d is set, its private scalar.
Pkey PkeyOf(int curve, const EC_GROUP* group, const EC_POINT* point, const BIGNUM* d, BN_CTX* ctx) {
  uint8_t octets[1 + 2 * 66];
  const size_t size = EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, octets, sizeof octets, ctx);
  ParamBuild build(OSSL_PARAM_BLD_new());
  if (size == 0 || build == nullptr ||
      OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurves[curve].group, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, octets, size) != 1 ||
      (d != nullptr && OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) != 1)) {
    return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx pctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (params == nullptr || pctx == nullptr || EVP_PKEY_fromdata_init(pctx.get()) != 1 ||
      EVP_PKEY_fromdata(pctx.get(), &pkey, d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return Pkey(pkey);
}

// ReadPoint sets point to (x, y) when both are below the field prime and the point is on the curve.
bool ReadPoint(const EC_GROUP* group, const uint8_t* x_bytes, const uint8_t* y_bytes, DWORD length, EC_POINT* point,
               BN_CTX* ctx) {
  Bn p(BN_new());
  Bn x(BN_bin2bn(x_bytes, static_cast<int>(length), nullptr));
  Bn y(BN_bin2bn(y_bytes, static_cast<int>(length), nullptr));
  return p != nullptr && x != nullptr && y != nullptr &&
         EC_GROUP_get_curve(group, p.get(), nullptr, nullptr, ctx) == 1 && BN_cmp(x.get(), p.get()) < 0 &&
         BN_cmp(y.get(), p.get()) < 0 && EC_POINT_set_affine_coordinates(group, point, x.get(), y.get(), ctx) == 1 &&
         EC_POINT_is_on_curve(group, point, ctx) == 1;
}

}  // namespace

int CurveOfKey(const EVP_PKEY* pkey) {
  char name[32] = {0};
  if (pkey == nullptr ||
      EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, nullptr) != 1) {
    return kNoCurve;
  }
  const int nid = OBJ_sn2nid(name) != NID_undef ? OBJ_sn2nid(name) : EC_curve_nist2nid(name);
  for (int i = 0; i < static_cast<int>(std::size(kCurves)); ++i) {
    if (kCurves[i].nid == nid) return i;
  }
  return kNoCurve;
}

int CurveOfAlgorithm(const char16_t* name) {
  for (int curve = 0; curve < 3; ++curve) {
    if (name != nullptr && CompareCryptNames(name, kCurves[curve].algorithm) == 0) return curve;
  }
  return kNoCurve;
}

const char16_t* AlgorithmName(int curve) { return kCurves[curve].algorithm; }
DWORD FieldLength(int curve) { return kCurves[curve].length; }
DWORD Bits(int curve) { return kCurves[curve].bits; }

SECURITY_STATUS Generate(int curve, EVP_PKEY** pkey) {
  *pkey = EVP_EC_gen(kCurves[curve].group);
  return *pkey != nullptr ? 0 : kNteFailStatus;
}

SECURITY_STATUS ImportBlob(bool private_blob, const uint8_t* input, DWORD input_size, EVP_PKEY** pkey, int* curve,
                           bool* agreement) {
  if (input == nullptr || input_size < kHeaderSize || input[0] != 'E' || input[1] != 'C' ||
      (input[2] != 'S' && input[2] != 'K') || input[3] < '1' || input[3] > '6') {
    return kNteBadData;
  }
  const int digit = input[3] - '1';
  const int at = digit / 2;
  if ((digit % 2 == 1) != private_blob) return kNteBadData;
  const DWORD length = static_cast<DWORD>(input[4]) | static_cast<DWORD>(input[5]) << 8 |
                       static_cast<DWORD>(input[6]) << 16 | static_cast<DWORD>(input[7]) << 24;
  if (length != kCurves[at].length || input_size != kHeaderSize + (private_blob ? 3 : 2) * length) return kNteBadData;
  const uint8_t* x = input + kHeaderSize;
  const uint8_t* y = x + length;
  Group group(EC_GROUP_new_by_curve_name(kCurves[at].nid));
  BnCtx ctx(BN_CTX_new());
  Point point(group != nullptr ? EC_POINT_new(group.get()) : nullptr);
  if (group == nullptr || ctx == nullptr || point == nullptr) return kNteNoMemory;
  Bn d;
  if (private_blob) {
    d.reset(BN_bin2bn(y + length, static_cast<int>(length), nullptr));
    if (d == nullptr) return kNteNoMemory;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    const BIGNUM* order = EC_GROUP_get0_order(group.get());
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), order) >= 0 ||
        EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, ctx.get()) != 1) {
      return kNteBadData;
    }
    if (!AllZero(x, 2 * length)) {
      Point given(EC_POINT_new(group.get()));
      if (given == nullptr || !ReadPoint(group.get(), x, y, length, given.get(), ctx.get()) ||
          EC_POINT_cmp(group.get(), point.get(), given.get(), ctx.get()) != 0) {
        return kNteBadData;
      }
    }
  } else if (!ReadPoint(group.get(), x, y, length, point.get(), ctx.get())) {
    return kNteBadData;
  }
  Pkey made = PkeyOf(at, group.get(), point.get(), d.get(), ctx.get());
  if (made == nullptr) return kNteBadData;
  *pkey = made.release();
  *curve = at;
  *agreement = input[2] == 'K';
  return 0;
}

SECURITY_STATUS WriteBlob(const EVP_PKEY* pkey, int curve, bool agreement, bool private_blob, uint8_t* output,
                          DWORD output_size, DWORD* result) {
  const DWORD length = kCurves[curve].length;
  const DWORD size = kHeaderSize + (private_blob ? 3 : 2) * length;
  *result = size;
  if (output == nullptr) return 0;
  if (output_size < size) return kNteBufferTooSmall;
  uint8_t octets[1 + 2 * 66];
  size_t octet_size = 0;
  if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, octets, sizeof octets, &octet_size) != 1 ||
      octet_size != 1 + 2 * length || octets[0] != POINT_CONVERSION_UNCOMPRESSED) {
    return kNteFailStatus;
  }
  Bn d;
  if (private_blob) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &value) != 1) return kNteFailStatus;
    d.reset(value);
    if (BN_bn2binpad(d.get(), output + kHeaderSize + 2 * length, static_cast<int>(length)) < 0) return kNteFailStatus;
  }
  output[0] = 'E';
  output[1] = 'C';
  output[2] = agreement ? 'K' : 'S';
  output[3] = static_cast<uint8_t>('1' + 2 * curve + (private_blob ? 1 : 0));
  for (int i = 0; i < 4; ++i) output[4 + i] = static_cast<uint8_t>(length >> (8 * i));
  std::copy(octets + 1, octets + octet_size, output + kHeaderSize);
  return 0;
}

SECURITY_STATUS Sign(EVP_PKEY* pkey, int curve, const uint8_t* hash, DWORD hash_size, uint8_t* output,
                     DWORD output_size, DWORD* result) {
  const DWORD length = kCurves[curve].length;
  *result = 2 * length;
  if (output == nullptr) return 0;
  if (output_size < 2 * length) return kNteBufferTooSmall;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  uint8_t der[160];
  size_t der_size = sizeof der;
  if (ctx == nullptr || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), der, &der_size, hash, hash_size) != 1) {
    return kNteFailStatus;
  }
  const uint8_t* at = der;
  Sig sig(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(der_size)));
  if (sig == nullptr || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), output, static_cast<int>(length)) < 0 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), output + length, static_cast<int>(length)) < 0) {
    return kNteFailStatus;
  }
  return 0;
}

SECURITY_STATUS Verify(EVP_PKEY* pkey, int curve, const uint8_t* hash, DWORD hash_size, const uint8_t* signature,
                       DWORD signature_size) {
  const DWORD length = kCurves[curve].length;
  if (signature_size != 2 * length) return kNteBadSignature;
  Sig sig(ECDSA_SIG_new());
  Bn r(BN_bin2bn(signature, static_cast<int>(length), nullptr));
  Bn s(BN_bin2bn(signature + length, static_cast<int>(length), nullptr));
  if (sig == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
    return kNteNoMemory;
  }
  (void)r.release();
  (void)s.release();
  unsigned char* der = nullptr;
  const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_size <= 0) return kNteNoMemory;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  const bool valid = ctx != nullptr && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                     EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(der_size), hash, hash_size) == 1;
  OPENSSL_free(der);
  return valid ? 0 : kNteBadSignature;
}

SECURITY_STATUS Agree(EVP_PKEY* own, EVP_PKEY* peer, int curve, std::vector<uint8_t>& z) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
  size_t size = kCurves[curve].length;
  z.assign(size, 0);
  if (ctx == nullptr || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1 ||
      EVP_PKEY_derive(ctx.get(), z.data(), &size) != 1 || size != kCurves[curve].length) {
    return kNteFailStatus;
  }
  return 0;
}

}  // namespace velmora::platform::ksp::ec
