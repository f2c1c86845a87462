// Integrated encryption on the EC engine: an ephemeral key pair agrees a secret with the recipient's key,
// an X9.63 KDF stretches it into a cipher key and a MAC key, and the message goes out as
// R || ciphertext || tag (AES-CBC, Triple DES CBC or a XOR key stream with an HMAC tag, or AES-GCM).
#include "crypto/ec/integrated_encryption.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "crypto/keys/curve_params.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/kdf/kdf_shared.h"

namespace velmora::crypto {
namespace {

// HashAlgorithmIds of the KDF digest selector (SHA-1, SHA-224, SHA-256, SHA-384, SHA-512) and of the
// MAC digest code (the same, then RIPEMD-160).
constexpr int32_t kKdfDigestIds[] = {0, 3, 2, 7, 4};
constexpr int32_t kMacDigestIds[] = {0, 3, 2, 7, 4, 8};

bool IsOctetKeyType(int32_t type) { return type >= 3 && type <= 6; }

// TagsEqual compares two tags over their whole length whatever they hold.
bool TagsEqual(const uint8_t* a, const uint8_t* b, int32_t n) {
  uint8_t diff = 0;
  for (int32_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

int32_t TagLength(const IntegratedEncryptionState& s) {
  return s.Scheme == kIesAesGcm ? 16 : HashDigestSize(s.Mac.DigestId());
}

// A fresh key pair of the engine's key type for one message.
int GenerateEphemeral(int32_t key_type, EcKeyParams& key) {
  return IsOctetKeyType(key_type) ? GenerateOkpKey(key_type, key) : GenerateEcKey(key_type, key);
}

}  // namespace

int IntegratedMac(InternalHmac& mac, const core::BufferCore& extra, int32_t with_length, core::BufferCore& out) {
  int rc = mac.Update(extra.Bytes(), static_cast<uint32_t>(extra.Length()));
  if (rc == 0 && with_length != 0) {
    uint8_t bits[8];
    core::PutUIntBigEndian(static_cast<uint64_t>(extra.Length()) * 8, bits, 0, 8);
    rc = mac.Update(bits, 8);
  }
  if (rc == 0) rc = mac.Final();
  return rc != 0 ? rc : out.Append(mac.Digest(), mac.DigestLength());
}

int EccEngine::IntegratedSetup(const core::BufferCore& iv, int32_t aes_key_bits, int32_t mac_key_bits, int32_t scheme,
                               int32_t kdf_digest, int32_t mac_digest, const core::BufferCore& mac_shared_info,
                               int32_t kdf_counter_flag, const core::BufferCore& kdf_shared_info,
                               int32_t agreement_flag, int32_t encrypt, int32_t kdf_variant, int32_t zero_mac_key) {
  IntegratedEncryptionState& s = Integrated;
  if (IsOctetKeyType(Params.KeyType)) return kEcUnsupported;
  if (encrypt != 0 && !Params.HasPublicKey()) return kEcNoPublicKey;
  if (encrypt == 0 && !Params.HasPrivateKey()) return kEcNoPrivateKey;
  // A new set-up ends whatever the previous one left.
  s.EncryptReady = 0;
  s.KdfDigest = kdf_digest;
  s.MacKeyBits = mac_key_bits;
  s.KdfCounterFlag = kdf_counter_flag;
  s.AesKeyBits = aes_key_bits;
  s.Scheme = scheme;
  s.AgreementFlag = agreement_flag;
  s.KdfVariant = kdf_variant;
  s.ZeroMacKey = zero_mac_key;
  int rc = s.Iv.Assign(iv);
  if (rc == 0) rc = s.MacSharedInfo.Assign(mac_shared_info);
  if (rc == 0) rc = s.KdfSharedInfo.Assign(kdf_shared_info);
  if (rc == 0) rc = s.EphemeralPoint.SetData(0, nullptr);
  if (rc == 0) rc = s.Pending.SetData(0, nullptr);
  if (rc != 0) return rc;
  if (scheme != kIesAesGcm) {
    if (mac_digest < 0 || mac_digest > 5) return kIesBadMacDigest;
    rc = s.Mac.SetKey(kMacDigestIds[mac_digest], nullptr, 0);
    if (rc != 0) return rc;
  }
  if (encrypt == 0) {
    const CurveParams* curve = Params.GetCurve();
    if (curve == nullptr) return kEcInvalidKey;
    s.EphemeralPointLength = 2 * CurveFieldByteLength(*curve) + 1;
    return 0;
  }
  if (scheme == kIesXor) return 0;
  EcKeyParams ephemeral;
  rc = GenerateEphemeral(Params.KeyType, ephemeral);
  if (rc == 0) rc = EncodeEcPublicPoint(ephemeral, false, s.EphemeralPoint);
  if (rc == 0) rc = IntegratedDeriveKeys(ephemeral.D, Params, s.EphemeralPoint, 1, 0, nullptr);
  if (rc != 0) return rc;
  s.EphemeralPointLength = s.EphemeralPoint.Length();
  s.EncryptReady = 1;
  return 0;
}

int EccEngine::IntegratedDeriveKeys(const core::BufferCore& own_private, const EcKeyParams& peer,
                                    const core::BufferCore& shared, int32_t encrypt, int32_t message_length,
                                    core::BufferCore* key_stream) {
  IntegratedEncryptionState& s = Integrated;
  if (s.KdfDigest < 0 || s.KdfDigest > 4) return kIesBadKdfDigest;
  const int32_t kdf_id = kKdfDigestIds[s.KdfDigest];
  InternalCipher& cipher = s.Cipher;
  int rc = 0;
  int32_t key_bits = 0;
  switch (s.Scheme) {
    case kIesAesCbc:
    case kIes3DesCbc: {
      const bool aes = s.Scheme == kIesAesCbc;
      rc = cipher.SetAlgorithm(aes ? kCipherAes : kCipher3Des);
      if (rc == 0) rc = cipher.SetBlockSize(aes ? 128 : 64);
      cipher.SetMode(kModeCbc);
      cipher.SetFeedbackSize(aes ? 128 : 64);
      key_bits = aes ? s.AesKeyBits : 192;
      if (rc == 0) rc = cipher.SetKeySize(key_bits);
      break;
    }
    case kIesAesGcm:
      key_bits = s.AesKeyBits;
      rc = cipher.SetAlgorithm(kCipherAesGcm);
      if (rc == 0) rc = cipher.SetKeySize(key_bits);
      if (rc == 0) rc = cipher.SetTagLength(128);
      break;
    case kIesXor:
      break;
    default:
      return kIesBadScheme;
  }
  if (rc != 0) return rc;

  int32_t mac_length;
  if (s.MacKeyBits > 0) {
    mac_length = s.MacKeyBits / 8;
  } else {
    mac_length = s.Scheme == kIesAesGcm ? 16 : HashDigestSize(s.Mac.DigestId());
  }
  const int32_t key_length = s.Scheme == kIesXor ? message_length : key_bits / 8;
  if (key_length < 0) return kIesBadMessage;

  core::SecureBuffer z;
  rc = EcdhRawAgreement(own_private, peer, s.AgreementFlag, z);
  if (rc != 0) return rc;
  core::SecureBuffer k;
  if (s.Scheme == kIesAesGcm) {
    rc = X963Kdf(z, shared, kdf_id, key_length + mac_length, s.KdfCounterFlag, k);
  } else {
    core::SecureBuffer secret;
    if (s.PrefixEphemeralPoint == 1) rc = secret.Assign(shared);
    if (rc == 0) rc = secret.Append(z);
    if (rc == 0) {
      rc = s.KdfVariant == 1 ? X963KdfVariant(secret, s.KdfSharedInfo, kdf_id, key_length + mac_length,
                                              s.KdfCounterFlag, k)
                             : X963Kdf(secret, s.KdfSharedInfo, kdf_id, key_length + mac_length, s.KdfCounterFlag, k);
    }
  }
  if (rc != 0) return rc;

  const uint8_t* key = k.Bytes();
  const uint8_t* mac_key = k.Bytes() + key_length;
  if (s.Scheme == kIesXor && s.PrefixEphemeralPoint == 1) {
    mac_key = k.Bytes();
    key = k.Bytes() + mac_length;
  }
  core::SecureBuffer zero_key;
  if (s.Scheme != kIesXor && s.ZeroMacKey == 1) {
    rc = zero_key.AppendRepeatedByte(mac_length, 0);
    if (rc != 0) return rc;
    mac_key = zero_key.Bytes();
  }

  switch (s.Scheme) {
    case kIesAesCbc:
    case kIes3DesCbc: {
      rc = s.Mac.SetKey(s.Mac.DigestId(), mac_key, mac_length);
      if (rc != 0) return rc;
      core::Buffer iv;
      rc = s.Iv.IsEmpty() ? iv.AppendRepeatedByte(cipher.BlockSize() / 8, 0) : iv.Assign(s.Iv);
      if (rc != 0) return rc;
      cipher.SetPadding(s.Padding);
      return encrypt != 0 ? cipher.InitEncrypt(key, key_length, iv.Bytes(), iv.Length())
                          : cipher.InitDecrypt(key, key_length, iv.Bytes(), iv.Length());
    }
    case kIesXor:
      rc = s.Mac.SetKey(s.Mac.DigestId(), mac_key, mac_length);
      if (rc == 0 && key_stream != nullptr) rc = key_stream->SetData(key_length, key);
      return rc;
    default:  // AES-GCM: the MAC-key bytes are the nonce
      return encrypt != 0 ? cipher.InitEncrypt(key, key_length, mac_key, mac_length)
                          : cipher.InitDecrypt(key, key_length, mac_key, mac_length);
  }
}

// ---- Encryption ---------------------------------------------------------------------------------------

int EccEngine::IntegratedEncrypt(const uint8_t* message, int32_t length, core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  if (s.Scheme == kIesXor) return IntegratedEncryptEphemeral(message, length, out);
  if (s.EncryptReady == 0) return kEcUnsupported;
  core::Buffer body;
  int rc = IntegratedEncryptUpdate(message, length, body);
  if (rc != 0) return rc;
  core::Buffer tail;
  rc = IntegratedEncryptFinish(tail);
  if (rc != 0) return rc;
  rc = out.Append(body);
  return rc != 0 ? rc : out.Append(tail);
}

int EccEngine::IntegratedEncryptUpdate(const uint8_t* data, int32_t length, core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  if (s.EncryptReady == 0 || s.Scheme == kIesXor) return kEcUnsupported;
  if (length < 0 || (data == nullptr && length > 0)) return kIesBadMessage;
  if (s.EphemeralPoint.IsEmpty() && length == 0) return 0;
  const int32_t b = s.Cipher.BlockSize() / 8;
  // The input is what was held back followed by the new data; its whole blocks go out now.
  core::SecureBuffer input;
  int rc = input.Assign(s.Pending);
  if (rc == 0) rc = input.Append(data, length);
  if (rc != 0) return rc;
  const int32_t whole = input.Length() - input.Length() % b;
  core::Buffer result;
  rc = result.Assign(s.EphemeralPoint);
  if (rc != 0) return rc;
  if (whole > 0) {
    const int32_t before = result.Length();
    int32_t n = whole;
    rc = s.Cipher.ProcessUpdate(input.Bytes(), 0, &n, result);
    if (rc == 0 && s.Scheme != kIesAesGcm) {
      rc = s.Mac.Update(result.Bytes() + before, static_cast<uint32_t>(result.Length() - before));
    }
    if (rc != 0) return rc;
  }
  rc = out.Assign(result);
  if (rc != 0) return rc;
  (void)s.EphemeralPoint.SetData(0, nullptr);
  return s.Pending.SetData(input.Length() - whole, input.Bytes() + whole);
}

int EccEngine::IntegratedEncryptFinish(core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  if (s.EncryptReady == 0 || s.Scheme == kIesXor) return kEcUnsupported;
  core::Buffer written;
  int rc = written.Assign(s.EphemeralPoint);
  if (rc == 0) rc = s.Cipher.ProcessFinal(s.Pending.Bytes(), 0, s.Pending.Length(), written);
  if (rc != 0) return rc;
  if (s.Scheme == kIesAesGcm) {
    rc = written.Append(s.Cipher.Tag());
  } else {
    rc = s.Mac.Update(written.Bytes(), static_cast<uint32_t>(written.Length()));
    if (rc == 0) rc = IntegratedMac(s.Mac, s.MacSharedInfo, s.PrefixEphemeralPoint, written);
  }
  if (rc == 0) rc = out.Append(written);
  if (rc != 0) return rc;
  // The keys of this set-up have served their message.
  s.EncryptReady = 0;
  (void)s.EphemeralPoint.SetData(0, nullptr);
  return s.Pending.SetData(0, nullptr);
}

int EccEngine::IntegratedEncryptEphemeral(const uint8_t* message, int32_t length, core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  if (length < 0 || (message == nullptr && length > 0)) return kIesBadMessage;
  if (!Params.HasPublicKey()) return kEcNoPublicKey;
  EcKeyParams ephemeral;
  int rc = GenerateEphemeral(Params.KeyType, ephemeral);
  if (rc == 0) rc = EncodeEcPublicPoint(ephemeral, false, s.EphemeralPoint);
  if (rc != 0) return rc;
  s.EphemeralPointLength = s.EphemeralPoint.Length();
  core::SecureBuffer stream;
  rc = IntegratedDeriveKeys(ephemeral.D, Params, s.EphemeralPoint, 1, length, &stream);
  if (rc != 0) return rc;
  core::Buffer result;
  rc = result.Assign(s.EphemeralPoint);
  if (rc == 0) rc = result.Append(message, length);
  if (rc != 0) return rc;
  uint8_t* body = reinterpret_cast<uint8_t*>(result.Data()) + s.EphemeralPointLength;
  for (int32_t i = 0; i < length; ++i) body[i] ^= stream.Bytes()[i];
  rc = s.Mac.Update(body, static_cast<uint32_t>(length));
  if (rc == 0) rc = IntegratedMac(s.Mac, s.MacSharedInfo, s.PrefixEphemeralPoint, result);
  if (rc == 0) rc = out.Assign(result);
  (void)s.EphemeralPoint.SetData(0, nullptr);
  return rc;
}

// ---- Decryption ---------------------------------------------------------------------------------------

int EccEngine::IntegratedDecrypt(core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  const int32_t t = TagLength(s);
  const int32_t held = s.Pending.Length();
  if (t <= 0 || held < t) return kIesBadMessage;
  const int32_t c = held - t;
  const uint8_t* tag = s.Pending.Bytes() + c;
  core::SecureBuffer plain;
  int rc;
  if (s.Scheme == kIesAesGcm) {
    rc = s.Cipher.Tag().SetData(t, tag);
    if (rc == 0) rc = s.Cipher.ProcessFinal(s.Pending.Bytes(), 0, c, plain);
    return rc != 0 ? rc : out.Append(plain);
  }
  // The tag covers the whole ciphertext and is checked before the last block is decrypted, so a
  // forged message learns nothing from its padding: a bad tag and a bad padding answer alike.
  core::Buffer mac;
  rc = s.Mac.Update(s.Pending.Bytes(), static_cast<uint32_t>(c));
  if (rc == 0) rc = IntegratedMac(s.Mac, s.MacSharedInfo, s.PrefixEphemeralPoint, mac);
  if (rc != 0) return rc;
  if (mac.Length() < t || !TagsEqual(mac.Bytes(), tag, t)) return kIesBadMessage;
  if (c > 0) {
    rc = s.Cipher.ProcessFinal(s.Pending.Bytes(), 0, c, plain);
    if (rc == kBadPadding || rc == kNotWholeBlocks) return kIesBadMessage;
    if (rc != 0) return rc;
  }
  return out.Append(plain);
}

int EccEngine::IntegratedDecryptMessage(const uint8_t* data, int32_t length, core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  if (s.Scheme == kIesXor) return IntegratedDecryptXor(data, length, out);
  if (s.EphemeralPointLength == 0) return kIesNotSetUp;
  core::SecureBuffer first;
  int rc = IntegratedDecryptUpdate(data, length, first);
  if (rc != 0) return rc;
  core::SecureBuffer last;
  rc = IntegratedDecrypt(last);
  if (rc != 0) return rc;
  core::SecureBuffer both;
  rc = both.Assign(first);
  if (rc == 0) rc = both.Append(last);
  return rc != 0 ? rc : out.Append(both);
}

int EccEngine::IntegratedDecryptUpdate(const uint8_t* data, int32_t length, core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  if (length == 0) return 0;
  if (length < 0 || data == nullptr) return kIesBadMessage;
  if (s.EphemeralPointLength == 0 || s.Scheme == kIesXor) return kIesNotSetUp;
  core::BufferCore* work_buffer = nullptr;
  const uint8_t* work = data;
  int32_t w = length;
  int rc;
  const int32_t header_length = s.EphemeralPointLength;
  if (s.EphemeralPoint.Length() < header_length) {
    const int32_t take = std::min(length, header_length - s.EphemeralPoint.Length());
    rc = s.EphemeralPoint.Append(data, take);
    if (rc != 0) return rc;
    if (s.EphemeralPoint.Length() < header_length) return 0;
    if (s.EphemeralPoint.Bytes()[0] != 0x04) return kIesBadMessage;
    EcKeyParams ephemeral;
    ephemeral.KeyType = Params.KeyType;
    rc = ephemeral.SetPublicPoint(s.EphemeralPoint);
    if (rc == 0) rc = IntegratedDeriveKeys(Params.D, ephemeral, s.EphemeralPoint, 0, 0, nullptr);
    if (rc != 0) return rc;
    if (take == length) return 0;
    rc = s.Pending.SetData(length - take, data + take);
    if (rc != 0) return rc;
    work_buffer = &s.Pending;
  } else if (!s.Pending.IsEmpty()) {
    rc = s.Pending.Append(data, length);
    if (rc != 0) return rc;
    work_buffer = &s.Pending;
  }
  if (work_buffer != nullptr) {
    work = work_buffer->Bytes();
    w = work_buffer->Length();
  }

  // Keep the tag and at least one whole block back for the final step, which removes the padding.
  const int32_t t = TagLength(s);
  int32_t consumed = 0;
  if (w > t) {
    const int32_t b = s.Cipher.BlockSize() / 8;
    const int32_t q = (w - t) / b - 1;
    if (q > 0) {
      int32_t n = q * b;
      if (s.Scheme != kIesAesGcm) {
        rc = s.Mac.Update(work, static_cast<uint32_t>(n));
        if (rc != 0) return rc;
      }
      rc = s.Cipher.ProcessUpdate(work, 0, &n, out);
      if (rc != 0) return rc;
      consumed = n;
    }
  }
  if (work_buffer == nullptr) return s.Pending.SetData(w - consumed, work + consumed);
  if (consumed == 0) return 0;
  core::SecureBuffer rest;
  rc = rest.SetData(w - consumed, work + consumed);
  return rc != 0 ? rc : s.Pending.Assign(rest);
}

int EccEngine::IntegratedDecryptXor(const uint8_t* data, int32_t length, core::BufferCore& out) {
  IntegratedEncryptionState& s = Integrated;
  const int32_t t = HashDigestSize(s.Mac.DigestId());
  const int32_t h = s.EphemeralPointLength;
  if (data == nullptr && length > 0) return kIesBadMessage;
  const int32_t c = length - h - t;
  if (h <= 0 || c < 0) return kIesBadMessage;
  int rc = s.EphemeralPoint.SetData(h, data);
  if (rc != 0) return rc;
  EcKeyParams ephemeral;
  ephemeral.KeyType = Params.KeyType;
  rc = ephemeral.SetPublicPoint(s.EphemeralPoint);
  if (rc != 0) return rc;
  core::SecureBuffer stream;
  rc = IntegratedDeriveKeys(Params.D, ephemeral, s.EphemeralPoint, 0, c, &stream);
  if (rc != 0) return rc;
  const uint8_t* ct = data + h;
  core::SecureBuffer plain;
  rc = plain.SetData(c, ct);
  if (rc != 0) return rc;
  uint8_t* p = reinterpret_cast<uint8_t*>(plain.Data());
  for (int32_t i = 0; i < c; ++i) p[i] ^= stream.Bytes()[i];
  core::Buffer mac;
  rc = s.Mac.Update(ct, static_cast<uint32_t>(c));
  if (rc == 0) rc = IntegratedMac(s.Mac, s.MacSharedInfo, s.PrefixEphemeralPoint, mac);
  if (rc != 0) return rc;
  if (mac.Length() < t || !TagsEqual(mac.Bytes(), ct + c, t)) {
    (void)out.SetData(0, nullptr);
    return kIesBadMessage;
  }
  return out.Assign(plain);
}

}  // namespace velmora::crypto
