// RSA signatures over a digest: RSASSA-PKCS1-v1_5 with a DER DigestInfo and RSASSA-PSS with MGF1,
// signing and verification.
#include <cstring>

#include "crypto/rsa/rsa_engine.h"
#include "crypto/rsa/rsa_util.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/kdf/kdf_shared.h"
#include "platform/text.h"

namespace velmora::crypto {
namespace {

using rsa_detail::DigestsDiffer;
using rsa_detail::ModulusBits;

// Modulus length k and bit length of the engine's key, 0 when it has no modulus.
struct ModulusSize {
  int32_t bits;
  int32_t bytes;
};
ModulusSize SizeOf(const RsaEngine& engine) {
  const int32_t bits = ModulusBits(engine.Params.Modulus);
  return {bits, (bits + 7) / 8};
}

// PublicBlock: signature^e mod n as exactly k bytes; false (with status 0) when it does not fit. A
// signature of n or more is refused rather than reduced, which would let genuine + n verify as well,
// and so is an exponent below 3, under which every block is its own signature.
int PublicBlock(RsaEngine& engine, const uint8_t* signature, int32_t length, int32_t k, core::BufferCore& em,
                bool& fits) {
  fits = false;
  int status = engine.PublicOperation(signature, length, em);
  if (status != 0) return status;
  BigInt s, n, e, three;
  const core::BufferCore& modulus = engine.Params.Modulus;
  const core::BufferCore& exponent = engine.Params.Exponent;
  if ((status = BigInt::FromBytes(signature, length, 1, s)) != 0 ||
      (status = BigInt::FromBytes(modulus.Bytes(), modulus.Length(), 1, n)) != 0 ||
      (status = BigInt::FromBytes(exponent.Bytes(), exponent.Length(), 1, e)) != 0 ||
      (status = BigInt::FromInt64(3, three)) != 0) {
    return status;
  }
  if (BigInt::Compare(s, n) >= 0 || BigInt::Compare(e, three) < 0) return 0;
  status = core::PadLeftWithZeros(em, k);
  fits = status == 0 && em.Length() == k;
  return status;
}

// SignBlock runs the private operation on an encoded block and appends the result as k bytes.
int SignBlock(RsaEngine& engine, const core::BufferCore& em, int32_t k, core::BufferCore& out) {
  core::Buffer signature;
  int status = engine.PrivateOperation(em.Bytes(), em.Length(), signature);
  if (status == 0) status = core::PadLeftWithZeros(signature, k);
  return status != 0 ? status : out.Append(signature);
}

// Pkcs1v15Sign encodes 00 01 FF.. 00 [prefix] digest; the prefix takes part in the checks either way
// but is written into the block only when emit_prefix is set.
int Pkcs1v15Sign(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, const core::BufferCore& prefix,
                 bool emit_prefix, core::BufferCore& out) {
  if (digest == nullptr || digest_length < 1) return kRsaNoDigest;
  const int32_t prefix_length = prefix.Length();
  if (prefix_length > 0 && prefix.Bytes()[prefix_length - 1] != digest_length) return kRsaPrefixLengthMismatch;
  if (engine.Params.Modulus.IsEmpty()) return kRsaNoPublicKey;
  const int32_t k = SizeOf(engine).bytes;
  if (static_cast<int64_t>(k) < static_cast<int64_t>(digest_length) + 11 + prefix_length) return kRsaModulusTooShort;
  const int32_t written = emit_prefix ? prefix_length : 0;
  core::Buffer em;
  int status;
  if ((status = em.AppendByte(0)) != 0 || (status = em.AppendByte(1)) != 0 ||
      (status = em.AppendRepeatedByte(k - written - digest_length - 3, 0xFF)) != 0 ||
      (status = em.AppendByte(0)) != 0 || (status = em.Append(prefix.Data(), written)) != 0 ||
      (status = em.Append(digest, digest_length)) != 0) {
    return status;
  }
  return SignBlock(engine, em, k, out);
}

}  // namespace

int AppendDigestInfoPrefix(const char* name, core::BufferCore& out) {
  if (name == nullptr || name[0] == '\0') name = "SHA1";
  if (platform::CompareAsciiNoCase(name, "RAW") == 0) return out.Clear();
  const DigestAlgorithm* row = DigestByName(name, kNameDigestInfo);
  if (row == nullptr) return kRsaUnknownDigestInfo;
  const std::span<const uint8_t> prefix = DigestInfoPrefix(*row);
  return out.Append(prefix.data(), static_cast<int32_t>(prefix.size()));
}

int RsaDigestInfoLengthAdjust(core::BufferCore& prefix) {
  auto* bytes = reinterpret_cast<uint8_t*>(prefix.Data());
  if (prefix.Length() >= 2) bytes[1] = static_cast<uint8_t>(bytes[1] - 2);
  if (prefix.Length() >= 4) bytes[3] = static_cast<uint8_t>(bytes[3] - 2);
  return prefix.Delete(prefix.Length() - 4, 2);
}

int RsaVerifyPkcs1v15(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, core::BufferCore& prefix,
                      const uint8_t* signature, int32_t signature_length, int32_t check_prefix, int32_t& valid) {
  valid = 0;
  if (digest == nullptr || digest_length < 1) return kRsaNoDigest;
  if (signature == nullptr || signature_length < 1) return kRsaNoSignature;
  int32_t prefix_length = prefix.Length();
  if (prefix_length > 0 && prefix.Bytes()[prefix_length - 1] != digest_length) return kRsaPrefixLengthMismatch;
  if (engine.Params.Modulus.IsEmpty()) return kRsaNoPublicKey;
  const int32_t k = SizeOf(engine).bytes;
  if (static_cast<int64_t>(k) < static_cast<int64_t>(digest_length) + 11 + prefix_length) return kRsaModulusTooShort;
  core::Buffer block;
  bool fits = false;
  int status = PublicBlock(engine, signature, signature_length, k, block, fits);
  if (status != 0 || !fits) return status;
  const uint8_t* em = block.Bytes();
  if (em[0] != 0x00 || em[1] != 0x01) return 0;
  int32_t first = 2;  // the first byte after the FF run
  while (first < k && em[first] == 0xFF) ++first;
  int32_t separator = k - prefix_length - digest_length - 1;
  // A DigestInfo written without its NULL parameters is two bytes shorter. A bare digest or the
  // single MD5+SHA-1 length byte has no parameters to leave out.
  if (prefix_length > 1 && first == separator + 2) {
    separator += 2;
    if ((status = RsaDigestInfoLengthAdjust(prefix)) != 0) return status;
    prefix_length = prefix.Length();
  } else if (first < separator) {
    return 0;
  }
  if (check_prefix != 0 && prefix_length != 1) {
    if (em[separator] != 0x00 || std::memcmp(em + separator + 1, prefix.Data(), prefix_length) != 0) return 0;
  }
  valid = std::memcmp(em + separator + 1 + prefix_length, digest, static_cast<size_t>(digest_length)) == 0 ? 1 : 0;
  return 0;
}

int RsaVerifyPss(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, const char* digest_name,
                 int32_t salt_length, const uint8_t* signature, int32_t signature_length, int32_t& valid) {
  valid = 0;
  if (digest == nullptr || digest_length < 1) return kRsaNoDigest;
  if (signature == nullptr || signature_length < 1) return kRsaNoSignature;
  if (engine.Params.Modulus.IsEmpty()) return kRsaNoPublicKey;
  const ModulusSize size = SizeOf(engine);
  const int32_t k = size.bytes;
  if (signature_length != k) return kRsaPssInvalid;
  core::Buffer block;
  bool fits = false;
  int status = PublicBlock(engine, signature, signature_length, k, block, fits);
  if (status != 0) return status;
  if (!fits) return kRsaPssInvalid;
  // The encoded message has modBits - 1 bits: one byte shorter than k when modBits is 1 mod 8, and
  // the surplus top bits of its first byte are zero.
  const int32_t em_bits = size.bits - 1;
  const int32_t em_length = (em_bits + 7) / 8;
  const int32_t zero_bits = 8 * em_length - em_bits;
  const uint8_t* em = block.Bytes() + (k - em_length);
  const int64_t salt = salt_length >= 0 ? salt_length : digest_length;
  if (em_length < static_cast<int64_t>(digest_length) + salt + 2) return kRsaPssInvalid;
  if (block.Bytes()[k - 1] != 0xBC) return kRsaPssInvalid;
  if (em_length < k && block.Bytes()[0] != 0) return kRsaPssInvalid;
  if ((em[0] & (0xFF00u >> zero_bits) & 0xFFu) != 0) return kRsaPssInvalid;
  const int32_t db_length = em_length - digest_length - 1;
  const uint8_t* h = em + db_length;
  core::Buffer db;
  if ((status = Mgf1ByHashName(h, digest_length, digest_name, db_length, db)) != 0) return status;
  if (db.Length() != db_length) return kRsaPssInvalid;
  auto* d = reinterpret_cast<uint8_t*>(db.Data());
  for (int32_t i = 0; i < db_length; ++i) d[i] ^= em[i];
  d[0] &= static_cast<uint8_t>(0xFFu >> zero_bits);
  int32_t i = 0;
  while (d[i] == 0 && i < db_length - 1) ++i;
  if (d[i] != 0x01) return kRsaPssInvalid;
  if (salt > 0 && db_length - (i + 1) != salt) return kRsaPssInvalid;
  HashCtx ctx;
  const uint8_t zeros[8] = {};
  if ((status = ctx.SetAlgorithmByName(digest_name)) != 0 || (status = ctx.Update(zeros, 8)) != 0 ||
      (status = ctx.Update(digest, static_cast<uint32_t>(digest_length))) != 0 ||
      (status = ctx.Update(d + db_length - salt, static_cast<uint32_t>(salt))) != 0 || (status = ctx.Final()) != 0) {
    return status;
  }
  if (ctx.Output().Length() < digest_length || DigestsDiffer(ctx.Output().Bytes(), h, digest_length)) {
    return kRsaPssInvalid;
  }
  valid = 1;
  return 0;
}

int RsaPkcs1v15Sign(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, const core::BufferCore& prefix,
                    core::BufferCore& out) {
  return Pkcs1v15Sign(engine, digest, digest_length, prefix, true, out);
}

int RsaPssSign(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, const char* digest_name,
               int32_t salt_length, core::BufferCore& out) {
  if (digest == nullptr || digest_length < 1) return kRsaNoDigest;
  if (engine.Params.Modulus.IsEmpty()) return kRsaNoPublicKey;
  const ModulusSize size = SizeOf(engine);
  const int32_t salt = salt_length >= 0 ? salt_length : digest_length;
  // As in verification: modBits - 1 bits of encoded message, k - 1 bytes when modBits is 1 mod 8.
  const int32_t em_bits = size.bits - 1;
  const int32_t em_length = (em_bits + 7) / 8;
  if (em_length < static_cast<int64_t>(digest_length) + salt + 2) return kRsaModulusTooShort;
  HashCtx ctx;
  int status = ctx.SetAlgorithmByName(digest_name);
  if (status != 0) return status;
  // H fills digest_length bytes of the block: a digest shorter than that cannot.
  if (HashDigestSize(ctx.Id()) < digest_length) return kRsaPrefixLengthMismatch;
  core::Buffer em;
  const int32_t db_length = em_length - digest_length - 1;
  if ((status = em.AppendRepeatedByte(db_length - salt - 1, 0)) != 0 || (status = em.AppendByte(1)) != 0 ||
      (status = em.AppendRepeatedByte(salt, 0)) != 0) {
    return status;
  }
  auto* block = reinterpret_cast<uint8_t*>(em.Data());
  uint8_t* salt_bytes = block + db_length - salt;
  RandomBytes(engine.Random, salt_bytes, salt);
  const uint8_t zeros[8] = {};
  if ((status = ctx.Update(zeros, 8)) != 0 || (status = ctx.Update(digest, static_cast<uint32_t>(digest_length))) != 0 ||
      (status = ctx.Update(salt_bytes, static_cast<uint32_t>(salt))) != 0 || (status = ctx.Final()) != 0 ||
      (status = em.Append(ctx.Output().Data(), digest_length)) != 0 || (status = em.AppendByte(0xBC)) != 0) {
    return status;
  }
  block = reinterpret_cast<uint8_t*>(em.Data());
  const uint8_t* h = block + db_length;
  core::Buffer mask;
  if ((status = Mgf1ByHashName(h, digest_length, digest_name, db_length, mask)) != 0) return status;
  if (mask.Length() != db_length) return kRsaModulusTooShort;
  for (int32_t i = 0; i < db_length; ++i) block[i] ^= mask.Bytes()[i];
  block[0] &= static_cast<uint8_t>(0xFFu >> (8 * em_length - em_bits));
  return SignBlock(engine, em, size.bytes, out);
}

int RsaEngine::Verify(const uint8_t* digest, int32_t digest_length, const char* digest_name, const uint8_t* signature,
                      int32_t signature_length, int32_t& valid, int32_t pss, int32_t salt_length,
                      int32_t check_prefix) {
  valid = 0;
  if (pss != 0) {
    return RsaVerifyPss(*this, digest, digest_length, digest_name, salt_length, signature, signature_length, valid);
  }
  core::Buffer prefix;
  const int status = AppendDigestInfoPrefix(digest_name, prefix);
  if (status != 0) return status;
  return RsaVerifyPkcs1v15(*this, digest, digest_length, prefix, signature, signature_length, check_prefix, valid);
}

int RsaEngine::Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name, core::BufferCore& out,
                    int32_t pss, int32_t salt_length) {
  if (pss != 0) return RsaPssSign(*this, digest, digest_length, digest_name, salt_length, out);
  core::Buffer prefix;
  const int status = AppendDigestInfoPrefix(digest_name, prefix);
  if (status != 0) return status;
  // MD5+SHA-1 signs the bare 36 digest bytes, as TLS 1.0 does: its one-byte prefix is checked but not
  // written.
  return Pkcs1v15Sign(*this, digest, digest_length, prefix, prefix.Length() != 1, out);
}

}  // namespace velmora::crypto
