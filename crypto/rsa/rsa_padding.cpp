// RSA encryption with the PKCS#1 paddings: v1.5 (block type 2) and OAEP with separately named
// digests for the label hash and MGF1.
#include <cstring>

#include "crypto/rsa/rsa_engine.h"
#include "crypto/rsa/rsa_util.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/kdf/kdf_shared.h"

namespace velmora::crypto {
namespace {

using rsa_detail::MaskIfEqual;
using rsa_detail::MaskIfLess;
using rsa_detail::MaskIfNonZero;
using rsa_detail::MaskIfZero;
using rsa_detail::ModulusBits;
using rsa_detail::Select;

bool LabelGiven(const uint8_t* label, int32_t label_length) { return label != nullptr && label_length >= 1; }

// OaepStart checks what both directions check first and selects the label digest: the named one when
// a name is given, else SHA-1. hash_length receives its size, k the modulus length.
int OaepStart(const RsaKeyParams& key, const uint8_t* input, int32_t length, HashCtx& ctx, const char* oaep_digest,
              int32_t& hash_length, int32_t& k) {
  if (input == nullptr || length < 1) return kRsaNoInput;
  if (key.Modulus.IsEmpty()) return kRsaNoPublicKey;
  k = (ModulusBits(key.Modulus) + 7) / 8;
  hash_length = 20;
  if (oaep_digest == nullptr) return ctx.SetAlgorithm(kHashSha1);
  const int status = ctx.SetAlgorithmByName(oaep_digest);
  if (status == 0) hash_length = HashDigestSize(ctx.Id());
  return status;
}

// LabelHash: the digest of the label when one is given; without a label the digest of the empty
// message chosen by the digest length alone (SHA-1, SHA-224, SHA-256, SHA-384 or SHA-512; SHA-1 for
// any other length, then cut or zero-filled to that length so that the block layout holds).
int LabelHash(HashCtx& ctx, int32_t hash_length, const uint8_t* label, int32_t label_length, core::BufferCore& out) {
  if (LabelGiven(label, label_length)) return DigestToBuffer(ctx, label, static_cast<uint32_t>(label_length), out);
  int32_t id = kHashSha1;
  switch (hash_length) {
    case 28: id = kHashSha224; break;
    case 32: id = kHashSha256; break;
    case 48: id = kHashSha384; break;
    case 64: id = kHashSha512; break;
    default: break;
  }
  const int status = HashBytes(id, nullptr, 0, out);
  return status != 0 ? status : out.Resize(hash_length);
}

// XorMask xors count bytes of MGF1(seed) over target.
int XorMask(const uint8_t* seed, int32_t seed_length, const char* mgf_digest, uint8_t* target, int32_t count) {
  core::SecureBuffer mask;
  const int status = Mgf1ByHashName(seed, seed_length, mgf_digest, count, mask);
  if (status != 0) return status;
  if (mask.Length() != count) return kRsaOaepDecryptFailed;
  for (int32_t i = 0; i < count; ++i) target[i] ^= mask.Bytes()[i];
  return 0;
}

}  // namespace

int RsaEngine::Pkcs1Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out) {
  return DecryptPkcs1v15(input, length, out);
}

int RsaEngine::Pkcs1Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out) {
  return EncryptPkcs1v15(input, length, out);
}

int RsaEngine::DecryptByPadding(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                const char* mgf_digest) {
  if (oaep == 0) return DecryptPkcs1v15(input, length, out);
  return DecryptOaep(input, length, out, label, label_length, oaep_digest, mgf_digest);
}

int RsaEngine::EncryptByPadding(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                const char* mgf_digest) {
  if (oaep == 0) return EncryptPkcs1v15(input, length, out);
  return EncryptOaep(input, length, out, label, label_length, oaep_digest, mgf_digest);
}

int RsaEngine::EncryptPkcs1v15(const uint8_t* input, int32_t length, core::BufferCore& out) {
  if (input == nullptr || length < 1) return kRsaNoInput;
  if (Params.Modulus.IsEmpty()) return kRsaNoPublicKey;
  const int32_t k = (ModulusBits(Params.Modulus) + 7) / 8;
  if (length > k - 11) return kRsaMessageTooLong;
  // 00 02 PS 00 M; a zero byte drawn for PS becomes 01 rather than being drawn again.
  core::SecureBuffer em;
  int status = em.AppendRepeatedByte(k, 0);
  if (status != 0) return status;
  auto* block = reinterpret_cast<uint8_t*>(em.Data());
  const int32_t padding = k - length - 3;
  block[1] = 2;
  RandomBytes(Random, block + 2, padding);
  for (int32_t i = 2; i < 2 + padding; ++i) block[i] |= static_cast<uint8_t>(MaskIfZero(block[i]) & 1);
  std::memcpy(block + 3 + padding, input, static_cast<size_t>(length));
  return PublicOperation(block, k, out);
}

int RsaEngine::DecryptPkcs1v15(const uint8_t* input, int32_t length, core::BufferCore& out) {
  if (input == nullptr || length < 1) return kRsaNoInput;
  if (Params.Modulus.IsEmpty()) return kRsaNoPublicKey;
  const int32_t bits = ModulusBits(Params.Modulus);
  if (bits + 7 < 88) return kRsaModulusTooShort;
  const int32_t k = (bits + 7) / 8;
  core::SecureBuffer em;
  int status = PrivateOperation(input, length, em);
  if (status != 0) return status;
  // The block as the private operation gives it, without leading zeros: type byte, padding, 00,
  // message. Types 0, 1 and 2 pass. Every fault of the structure gives the same code, and the whole
  // block is examined whatever is found on the way.
  const auto* block = em.Bytes();
  const auto n = static_cast<uint32_t>(em.Length());
  uint32_t bad = MaskIfLess(static_cast<uint32_t>(k), n);
  bad |= MaskIfLess(n, 2);
  if (n >= 1) bad |= MaskIfLess(2, block[0]);
  // separator = index of the first 00 from index 1 on, n when there is none.
  uint32_t separator = n;
  uint32_t searching = ~0u;
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t hit = searching & MaskIfZero(block[i]);
    separator = Select(hit, i, separator);
    searching &= ~hit;
  }
  bad |= MaskIfLess(separator, 9);
  bad |= MaskIfEqual(separator, n);
  if (bad != 0) return kRsaPkcs1DecryptFailed;
  return out.Append(block + separator + 1, static_cast<int32_t>(n - separator - 1));
}

int RsaEngine::EncryptOaep(const uint8_t* input, int32_t length, core::BufferCore& out, const uint8_t* label,
                           int32_t label_length, const char* oaep_digest, const char* mgf_digest) {
  HashCtx ctx;
  int32_t h = 0, k = 0;
  int status = OaepStart(Params, input, length, ctx, oaep_digest, h, k);
  if (status != 0) return status;
  if (mgf_digest == nullptr || mgf_digest[0] == '\0') mgf_digest = "SHA1";
  if (length > k - 2 * h - 2) return kRsaMessageTooLong;
  core::Buffer label_hash;
  if ((status = LabelHash(ctx, h, label, label_length, label_hash)) != 0) return status;
  // EM = 00 || maskedSeed (h) || maskedDB (k - h - 1), DB = lHash || 00...00 || 01 || M.
  core::SecureBuffer em;
  if ((status = em.AppendRepeatedByte(k, 0)) != 0) return status;
  auto* block = reinterpret_cast<uint8_t*>(em.Data());
  uint8_t* seed = block + 1;
  uint8_t* db = block + 1 + h;
  const int32_t db_length = k - h - 1;
  std::memcpy(db, label_hash.Bytes(), static_cast<size_t>(h));
  db[db_length - length - 1] = 1;
  std::memcpy(db + db_length - length, input, static_cast<size_t>(length));
  RandomBytes(Random, seed, h);
  if ((status = XorMask(seed, h, mgf_digest, db, db_length)) != 0 ||
      (status = XorMask(db, db_length, mgf_digest, seed, h)) != 0) {
    return status;
  }
  return PublicOperation(block, k, out);
}

int RsaEngine::DecryptOaep(const uint8_t* input, int32_t length, core::BufferCore& out, const uint8_t* label,
                           int32_t label_length, const char* oaep_digest, const char* mgf_digest) {
  HashCtx ctx;
  int32_t h = 0, k = 0;
  int status = OaepStart(Params, input, length, ctx, oaep_digest, h, k);
  if (status != 0) return status;
  // Only an absent MGF name means SHA-1 here: an empty one is looked up, and fails, as a name.
  if (mgf_digest == nullptr) mgf_digest = "SHA1";
  if (k < 2 * h + 2) return kRsaModulusTooShort;
  core::SecureBuffer em;
  if ((status = PrivateOperation(input, length, em)) != 0) return status;
  if (em.Length() > k) return kRsaOaepDecryptFailed;
  if ((status = core::PadLeftWithZeros(em, k)) != 0) return status;
  auto* block = reinterpret_cast<uint8_t*>(em.Data());
  uint8_t* seed = block + 1;
  uint8_t* db = block + 1 + h;
  const int32_t db_length = k - h - 1;
  if ((status = XorMask(db, db_length, mgf_digest, seed, h)) != 0 ||
      (status = XorMask(seed, h, mgf_digest, db, db_length)) != 0) {
    return status;
  }
  core::Buffer label_hash;
  if ((status = LabelHash(ctx, h, label, label_length, label_hash)) != 0) return status;
  // The checks run over the whole block: first byte, lHash, the zero run and the 01 marker.
  uint32_t bad = MaskIfNonZero(block[0]);
  for (int32_t j = 0; j < h; ++j) bad |= MaskIfNonZero(static_cast<uint32_t>(db[j] ^ label_hash.Bytes()[j]));
  const auto last = static_cast<uint32_t>(k - h - 2);  // the zero run stops here at the latest
  uint32_t marker = last;
  uint32_t searching = ~0u;
  for (uint32_t i = static_cast<uint32_t>(h); i < static_cast<uint32_t>(db_length); ++i) {
    const uint32_t stop = searching & (MaskIfNonZero(db[i]) | MaskIfEqual(i, last));
    marker = Select(stop, i, marker);
    searching &= ~stop;
  }
  uint8_t marker_byte = 0;
  for (uint32_t i = static_cast<uint32_t>(h); i < static_cast<uint32_t>(db_length); ++i) {
    marker_byte |= static_cast<uint8_t>(db[i] & MaskIfEqual(i, marker));
  }
  bad |= MaskIfNonZero(marker_byte ^ 1u);
  if (bad != 0) return kRsaOaepDecryptFailed;
  return out.Append(db + marker + 1, static_cast<int32_t>(db_length - marker - 1));
}

}  // namespace velmora::crypto
