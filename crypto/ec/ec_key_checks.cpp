#include "crypto/ec/ec_key_checks.h"

#include <cstring>
#include <initializer_list>

#include "crypto/bn/integer_bytes.h"
#include "crypto/curve25519/ed25519_eddsa.h"
#include "crypto/curve448/ed448.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ec_curve_ops.h"
#include "crypto/kdf/kdf_shared.h"
#include "crypto/mac/hmac.h"

namespace velmora::crypto {

namespace {

// LessThan compares two unsigned big-endian numbers of any lengths.
bool LessThan(const core::BufferCore& a, const core::BufferCore& b) {
  int32_t ia = 0;
  int32_t ib = 0;
  while (ia < a.Length() && a.Bytes()[ia] == 0) ++ia;
  while (ib < b.Length() && b.Bytes()[ib] == 0) ++ib;
  const int32_t la = a.Length() - ia;
  const int32_t lb = b.Length() - ib;
  if (la != lb) return la < lb;
  return std::memcmp(a.Bytes() + ia, b.Bytes() + ib, static_cast<size_t>(la)) < 0;
}

// Digests of the derivation ids 0-11 (ids 7-11 through HMAC).
int32_t AgreeDigest(int32_t id) {
  static constexpr int32_t kIds[] = {kHashSha1,   kHashSha256, kHashSha384, kHashSha512, kHashMd2, kHashMd4,
                                     kHashMd5,    kHashSha1,   kHashSha256, kHashSha384, kHashSha512, kHashMd5};
  return id >= 0 && id < 12 ? kIds[id] : kHashSha1;
}

struct Bytes {
  const uint8_t* data;
  int32_t length;
};

// DigestParts hashes (or, with hmac, authenticates) the parts in order into out.
int DigestParts(int32_t digest, const Bytes* hmac_key, std::initializer_list<Bytes> parts, core::BufferCore& out) {
  int status;
  if (hmac_key != nullptr) {
    InternalHmac hmac;
    if ((status = hmac.SetKey(digest, hmac_key->data, hmac_key->length)) != 0) return status;
    for (const Bytes& part : parts) {
      if (part.length > 0 && (status = hmac.Update(part.data, static_cast<uint32_t>(part.length))) != 0) {
        return status;
      }
    }
    if ((status = hmac.Final()) != 0) return status;
    return out.SetData(hmac.DigestLength(), hmac.Digest());
  }
  HashCtx ctx;
  if ((status = ctx.SetAlgorithm(digest)) != 0) return status;
  for (const Bytes& part : parts) {
    if (part.length > 0 && (status = ctx.Update(part.data, static_cast<uint32_t>(part.length))) != 0) return status;
  }
  if ((status = ctx.Final()) != 0) return status;
  return out.Assign(ctx.Output());
}

// CheckAndAgree runs the key checks and the raw agreement of the engine's key with peer into z.
int CheckAndAgree(EccEngine& engine, const EcKeyParams& peer, core::BufferCore& z) {
  int status = engine.Params.Validate(engine);
  if (status == 0) status = EcdhCheckKeys(engine.Params, peer);
  if (status == 0) status = EcdhRawAgreement(EcPrivatePart(engine.Params), peer, 0, z);
  return status;
}

}  // namespace

// ---- key checks -----------------------------------------------------------------------------------------

int ValidateOkpKey(const EcKeyParams& params, int32_t full) {
  const int32_t length = EcKeyTypeByteLength(params.KeyType);
  const bool has_public = !params.PublicKey.IsEmpty();
  const bool has_private = !params.PrivateKey.IsEmpty();
  if (!has_public && !has_private) return 0;
  if ((has_public && params.PublicKey.Length() != length) || (has_private && params.PrivateKey.Length() != length)) {
    return 0;
  }
  if (full == 0 || !has_public || !has_private) return 1;
  core::Buffer derived;
  if (OkpPublicFromPrivate(params.KeyType, params.PrivateKey, derived) != 0) return 0;
  return derived.Equals(params.PublicKey) != 0 ? 1 : 0;
}

int ValidateWeierstrassKey(const EcKeyParams& params, int32_t full) {
  const bool has_point = !params.X.IsEmpty() && !params.Y.IsEmpty();
  const bool has_d = !params.D.IsEmpty();
  if (!has_point && !has_d) return 0;
  if (full == 0) return 1;
  const CurveParams* curve = EcCurveOfKeyType(params.KeyType);
  if (curve == nullptr) return 0;
  if (has_point) {
    bool on_curve = false;
    if (EcCurveContains(*curve, params.X, params.Y, on_curve) != 0 || !on_curve) return 0;
  }
  if (has_d && !LessThan(params.D, curve->Order)) return 0;
  if (has_point && has_d) {
    bool infinity = false;
    core::Buffer x;
    core::Buffer y;
    if (EcCurveMultiplyBase(*curve, params.D, infinity, x, y) != 0 || infinity) return 0;
    if (x.EqualsIgnoringLeadingZeros(params.X) == 0 || y.EqualsIgnoringLeadingZeros(params.Y) == 0) return 0;
  }
  return 1;
}

namespace {

int ValidByType(const EcKeyParams& params, int32_t full) {
  return params.UsesRawKeys() ? ValidateOkpKey(params, full) : ValidateWeierstrassKey(params, full);
}

}  // namespace

int EcKeyParams::Validate(const EccEngine& engine) {
  if (KeyType == -1) return kEcInvalidKey;
  const CurveParams* curve = GetCurve();
  if (curve == nullptr || !IsCompleteCurve(*curve)) return kEcInvalidKey;
  return ValidByType(*this, engine.FullKeyCheck) != 0 ? 0 : kEcInvalidKey;
}

int EcdhCheckKeys(const EcKeyParams& own, const EcKeyParams& peer) {
  if (!own.HasPrivateKey()) return kEcNoPrivateKey;
  if (!peer.HasPublicKey()) return kEcNoPublicKey;
  return own.KeyType != peer.KeyType ? kEcCurveMismatch : 0;
}

// ---- public part ----------------------------------------------------------------------------------------

int ComputeEcPublicKey(EcKeyParams& params) {
  if (!params.HasPrivateKey() || params.HasPublicKey()) return 0;
  if (params.UsesRawKeys()) return OkpPublicFromPrivate(params.KeyType, params.PrivateKey, params.PublicKey);
  return EcPublicFromPrivate(params);
}

int BuildCngEccKeyBlob(const EcKeyParams& params, bool private_blob, bool agreement, core::BufferCore& out) {
  if (private_blob && !params.HasPrivateKey()) return 0;
  int status = out.Clear();
  if (status != 0) return status;
  static constexpr int32_t kLengths[] = {32, 48, 66};
  const int32_t type = params.KeyType;
  if (type < 0 || type > 2) return kEcUnsupported;
  const int32_t length = kLengths[type];
  const char magic[4] = {'E', 'C', agreement ? 'K' : 'S', static_cast<char>('1' + 2 * type + (private_blob ? 1 : 0))};
  const uint8_t length_le[4] = {static_cast<uint8_t>(length), 0, 0, 0};
  if ((status = out.Append(magic, 4)) != 0 || (status = out.Append(length_le, 4)) != 0) return status;
  const core::BufferCore* parts[] = {&params.X, &params.Y, &params.D};
  core::SecureBuffer padded;
  for (int32_t i = 0; i < (private_blob ? 3 : 2); ++i) {
    if ((status = PadBytesLeft(parts[i]->Bytes(), parts[i]->Length(), length, padded)) != 0 ||
        (status = out.Append(padded)) != 0) {
      return status;
    }
  }
  return 0;
}

// ---- the engine's slots ---------------------------------------------------------------------------------

int EccEngine::SetKeyParams(const EcKeyParams& params) {
  if (params.KeyType == -1) return kEcInvalidKey;
  if (ValidByType(params, FullKeyCheck) == 0) return kEcInvalidKey;
  return Params.CopyFrom(params, true);
}

int EccEngine::GenerateKey(bool include_private, EcKeyParams& out) {
  if (!Params.HasPublicKey()) {
    const int32_t type = Params.KeyType;
    const int status = Params.UsesRawKeys() ? GenerateOkpKey(type, Params) : GenerateEcKey(type, Params);
    if (status != 0) return kEcUnsupported;
  }
  return out.CopyFrom(Params, include_private);
}

int EccEngine::Agree(const EcKeyParams& peer, int32_t derivation_id, const uint8_t* prepend, int32_t prepend_length,
                     const uint8_t* append, int32_t append_length, const uint8_t* hmac_key, int32_t hmac_key_length,
                     core::BufferCore& out) {
  if (derivation_id == kEcdhKdfTlsPrf) {
    if (append_length != kEcdhTlsPrfSeedLength) return kEcTlsPrfBadSeed;
    if (prepend_length < 1) return kEcTlsPrfNoLabel;
  }
  core::SecureBuffer z;
  int status = CheckAndAgree(*this, peer, z);
  if (status != 0) return status;
  const Bytes before{prepend, prepend == nullptr ? 0 : prepend_length};
  const Bytes after{append, append == nullptr ? 0 : append_length};
  const Bytes secret{z.Bytes(), z.Length()};
  switch (derivation_id) {
    case kEcdhKdfRaw:
      return out.Assign(z);
    case kEcdhKdfTlsPrf:
      return TlsPrf(z, prepend, prepend_length, append, append_length, kEcdhTlsPrfOutputLength, out);
    case 7:
    case 8:
    case 9:
    case 10:
    case 11: {
      // Without an HMAC key the platform's derivation keys HMAC with Z itself; so does this one, so that
      // the two providers derive the same bytes.
      const bool keyed = hmac_key != nullptr && hmac_key_length > 0;
      const Bytes key = keyed ? Bytes{hmac_key, hmac_key_length} : secret;
      return DigestParts(AgreeDigest(derivation_id), &key, {before, secret, after}, out);
    }
    default:
      return DigestParts(AgreeDigest(derivation_id), nullptr, {before, secret, after}, out);
  }
}

int EccEngine::AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                            int32_t algorithm_id_length, const uint8_t* party_u_info, int32_t party_u_length,
                            const uint8_t* party_v_info, int32_t party_v_length, const uint8_t* supp_pub_info,
                            int32_t supp_pub_length, const uint8_t* supp_priv_info, int32_t supp_priv_length,
                            core::BufferCore& out) {
  int status = Params.Validate(*this);
  if (status == 0) status = EcdhCheckKeys(Params, peer);
  if (status != 0) return status;
  if (algorithm_id == nullptr || algorithm_id_length < 1) return kEcNoAlgorithmId;
  if (party_u_info == nullptr || party_u_length < 1) return kEcNoPartyUInfo;
  if (party_v_info == nullptr || party_v_length < 1) return kEcNoPartyVInfo;
  core::SecureBuffer z;
  if ((status = EcdhRawAgreement(EcPrivatePart(Params), peer, 0, z)) != 0) return status;
  core::Buffer other_info;
  const Bytes pieces[] = {{algorithm_id, algorithm_id_length},
                          {party_u_info, party_u_length},
                          {party_v_info, party_v_length},
                          {supp_pub_info, supp_pub_info == nullptr ? 0 : supp_pub_length},
                          {supp_priv_info, supp_priv_info == nullptr ? 0 : supp_priv_length}};
  for (const Bytes& piece : pieces) {
    if (piece.length > 0 && (status = other_info.Append(piece.data, piece.length)) != 0) return status;
  }
  const char* name = digest_name == nullptr || digest_name[0] == '\0' ? "SHA256" : digest_name;
  core::SecureBuffer derived;
  status = ConcatKdf(z.Bytes(), z.Length(), name, kEcdhConcatKdfLength, other_info.Bytes(), other_info.Length(),
                     derived);
  if (status != 0) return status;
  return out.SetData(kEcdhConcatKdfLength, derived.Bytes());
}

int EccEngine::EdDSASign(const uint8_t* message, int32_t length, core::BufferCore& out, int32_t prehash,
                         const uint8_t* context, int32_t context_length) {
  const core::BufferCore& secret = Params.PrivateKey;
  const core::BufferCore& key = Params.PublicKey;
  if (secret.IsEmpty() || key.IsEmpty() || key.Length() != secret.Length()) return kEcInvalidKey;
  const auto message_length = static_cast<uint32_t>(length < 0 ? 0 : length);
  const auto ctx_length = static_cast<uint32_t>(context == nullptr || context_length < 0 ? 0 : context_length);
  const auto key_length = static_cast<uint32_t>(key.Length());
  if (Params.KeyType == 3) {
    if (prehash != 0) {
      return Ed25519PhSign(message, message_length, true, context, ctx_length, key.Bytes(), key_length,
                           secret.Bytes(), key_length, out);
    }
    if (ctx_length > 0) {
      return Ed25519CtxSign(message, message_length, context, ctx_length, key.Bytes(), key_length, secret.Bytes(),
                            key_length, out);
    }
    return Ed25519Sign(message, message_length, key.Bytes(), key_length, secret.Bytes(), key_length, out);
  }
  if (Params.KeyType == 4) {
    if (prehash != 0) {
      return Ed448phSign(message, length, true, context, static_cast<int32_t>(ctx_length), key.Bytes(), key.Length(),
                         secret.Bytes(), secret.Length(), out);
    }
    return Ed448Sign(message, length, context, static_cast<int32_t>(ctx_length), key.Bytes(), key.Length(),
                     secret.Bytes(), secret.Length(), out);
  }
  return kEcInvalidKey;
}

int EccEngine::EdDSAVerify(const uint8_t* message, int32_t length, const uint8_t* signature,
                           int32_t signature_length, int32_t& result, int32_t prehash, const uint8_t* context,
                           int32_t context_length) {
  result = 0;
  const core::BufferCore& key = Params.PublicKey;
  if (key.Length() != EcKeyTypeByteLength(Params.KeyType) || signature == nullptr) return 0;
  const auto message_length = static_cast<uint32_t>(length < 0 ? 0 : length);
  const auto ctx_length = static_cast<uint32_t>(context == nullptr || context_length < 0 ? 0 : context_length);
  const auto key_length = static_cast<uint32_t>(key.Length());
  const auto sig_length = static_cast<uint32_t>(signature_length < 0 ? 0 : signature_length);
  if (Params.KeyType == 3) {
    if (signature_length != 64) return 0;
    if (prehash != 0) {
      result = Ed25519PhVerify(message, message_length, true, context, ctx_length, key.Bytes(), key_length, signature,
                               sig_length);
    } else if (ctx_length > 0) {
      result = Ed25519CtxVerify(message, message_length, context, ctx_length, key.Bytes(), key_length, signature,
                                sig_length);
    } else {
      result = Ed25519Verify(message, message_length, key.Bytes(), key_length, signature, sig_length);
    }
  } else if (Params.KeyType == 4) {
    if (signature_length != kEd448SignatureBytes) return 0;
    result = prehash != 0 ? Ed448phVerify(message, length, true, context, static_cast<int32_t>(ctx_length),
                                          key.Bytes(), key.Length(), signature, signature_length)
                          : Ed448Verify(message, length, context, static_cast<int32_t>(ctx_length), key.Bytes(),
                                        key.Length(), signature, signature_length);
  }
  return 0;
}

}  // namespace velmora::crypto
