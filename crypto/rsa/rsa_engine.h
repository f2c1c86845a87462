// The library's own RSA: a key held as RsaKeyParams, the raw private (CRT or exponent, blinded) and
// public operations, key checking and completion, key generation, the PKCS#1 encryption paddings
// (OAEP and v1.5) and the PKCS#1 signatures (v1.5 with a DigestInfo, and PSS).
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/bn/big_int.h"
#include "crypto/bn/montgomery.h"
#include "crypto/keys/key_params.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

inline constexpr int kRsaNoModulus = 1101;
inline constexpr int kRsaZeroModulus = 1102;
inline constexpr int kRsaNoExponent = 1103;
inline constexpr int kRsaZeroPublicExponent = 1104;
inline constexpr int kRsaZeroPrivateExponent = 1105;
inline constexpr int kRsaUnknownDigestInfo = 1106;
inline constexpr int kRsaNoDigest = 1107;
inline constexpr int kRsaNoSignature = 1108;
inline constexpr int kRsaPrefixLengthMismatch = 1109;
inline constexpr int kRsaNoPublicKey = 1110;  // also: no modulus for a padding operation
inline constexpr int kRsaNoPrivateKey = 1111;
inline constexpr int kRsaModulusTooShort = 1112;
inline constexpr int kRsaNoInput = 1113;
inline constexpr int kRsaOaepDecryptFailed = 1114;   // OAEP: any padding fault; both: block longer than k
inline constexpr int kRsaPkcs1DecryptFailed = 1116;  // v1.5: any fault of the padding structure
inline constexpr int kRsaMessageTooLong = 1118;
inline constexpr int kRsaPssInvalid = 1119;  // every PSS verification failure

// The engine's operations, in this order. Statuses are 0 or a code; results are appended to out.
class RsaEngineBase {
 public:
  virtual ~RsaEngineBase() { ReleaseNativeKey(Random); }

  // PKCS#1 v1.5 (block type 2) decryption and encryption.
  [[nodiscard]] virtual int Pkcs1Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out) = 0;
  [[nodiscard]] virtual int Pkcs1Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out) = 0;
  [[nodiscard]] virtual int GenerateKey(bool include_private, RsaKeyParams& out, bool variant) = 0;
  [[nodiscard]] virtual int SetKeyParams(const RsaKeyParams& params) = 0;
  // Verify checks a signature over a digest: v1.5 with the DigestInfo of digest_name when pss is 0
  // (the DigestInfo bytes are compared only when check_prefix is nonzero), else PSS. valid is 1 or 0;
  // a failed PSS check returns 1119 instead of a clear valid flag.
  [[nodiscard]] virtual int Verify(const uint8_t* digest, int32_t digest_length, const char* digest_name,
                                   const uint8_t* signature, int32_t signature_length, int32_t& valid, int32_t pss,
                                   int32_t salt_length, int32_t check_prefix) = 0;
  // Sign appends a k-byte signature over a digest: v1.5 with the DigestInfo of digest_name when pss is
  // 0, else PSS with a salt of salt_length bytes (the digest length when negative).
  [[nodiscard]] virtual int Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name,
                                 core::BufferCore& out, int32_t pss, int32_t salt_length) = 0;
  // DecryptByPadding and EncryptByPadding: v1.5 when oaep is 0, else OAEP with the label (given when
  // non-null and at least one byte), the OAEP digest (SHA-1 when null) and the MGF1 digest.
  [[nodiscard]] virtual int DecryptByPadding(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                             const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                             const char* mgf_digest) = 0;
  [[nodiscard]] virtual int EncryptByPadding(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                             const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                             const char* mgf_digest) = 0;

  int32_t Kind = kKeyKindRsa;
  RandomContext Random{};
  int32_t KeyBits = 1024;
};

class RsaEngine : public RsaEngineBase {
 public:
  RsaKeyParams Params;

  [[nodiscard]] int Pkcs1Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out) override;
  [[nodiscard]] int Pkcs1Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out) override;
  // GenerateKey generates a key of KeyBits bits when none is held (variant selects the second
  // generator) and hands the held key out (D only with include_private).
  [[nodiscard]] int GenerateKey(bool include_private, RsaKeyParams& out, bool variant) override;
  // SetKeyParams replaces the key, deriving missing CRT values.
  [[nodiscard]] int SetKeyParams(const RsaKeyParams& params) override;
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const char* digest_name,
                           const uint8_t* signature, int32_t signature_length, int32_t& valid, int32_t pss,
                           int32_t salt_length, int32_t check_prefix) override;
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name, core::BufferCore& out,
                         int32_t pss, int32_t salt_length) override;
  [[nodiscard]] int DecryptByPadding(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                     const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                     const char* mgf_digest) override;
  [[nodiscard]] int EncryptByPadding(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                     const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                     const char* mgf_digest) override;

  // The padding routines behind the slots.
  [[nodiscard]] int EncryptPkcs1v15(const uint8_t* input, int32_t length, core::BufferCore& out);
  // DecryptPkcs1v15 returns one code, 1116, for every fault of the block structure, and examines the
  // whole block whatever it finds.
  [[nodiscard]] int DecryptPkcs1v15(const uint8_t* input, int32_t length, core::BufferCore& out);
  [[nodiscard]] int EncryptOaep(const uint8_t* input, int32_t length, core::BufferCore& out, const uint8_t* label,
                                int32_t label_length, const char* oaep_digest, const char* mgf_digest);
  [[nodiscard]] int DecryptOaep(const uint8_t* input, int32_t length, core::BufferCore& out, const uint8_t* label,
                                int32_t label_length, const char* oaep_digest, const char* mgf_digest);

  // PrivateOperation: input^d mod n in minimal big-endian form (blinded; CRT when the CRT values are
  // present, else D and the modulus).
  [[nodiscard]] int PrivateOperation(const uint8_t* input, int32_t length, core::BufferCore& out);
  // PublicOperation appends input^e mod n, left-padded to KeyBits / 8 bytes.
  [[nodiscard]] int PublicOperation(const uint8_t* input, int32_t length, core::BufferCore& out);

 private:
  // The blinding pair r^e and r^-1 mod n: drawn once per key, then squared after each use.
  [[nodiscard]] int NextBlinding(const BigInt& n, const BigInt& e);
  bool blinding_ready_ = false;
  BigInt blind_;
  BigInt unblind_;
  BigInt blind_modulus_;  // the modulus the pair belongs to
  // The Montgomery set-up of n, p and q, kept between operations (each is set up again when the key's
  // value changes).
  MontgomeryContext n_context_;
  MontgomeryContext p_context_;
  MontgomeryContext q_context_;
};

// AppendDigestInfoPrefix appends the DER DigestInfo prefix for a digest name (upper-cased; null or
// empty means "SHA1"): "SHA1", "MD5", "MD2", "SHA256", "SHA384", "SHA512", "SHA224", "RIPEMD160" and
// "RIPEMD-160"; "MD5SHA1" gives the single length byte 0x24 and "RAW" empties out. 1106 otherwise.
[[nodiscard]] int AppendDigestInfoPrefix(const char* name, core::BufferCore& out);
// RsaDigestInfoLengthAdjust turns a DigestInfo prefix into its form without the NULL parameters.
[[nodiscard]] int RsaDigestInfoLengthAdjust(core::BufferCore& prefix);
// RsaVerifyPkcs1v15 checks an RSASSA-PKCS1-v1_5 signature over digest with a DigestInfo prefix (empty
// for a bare digest); prefix is shortened when the signature carries the DigestInfo without NULL.
[[nodiscard]] int RsaVerifyPkcs1v15(RsaEngine& engine, const uint8_t* digest, int32_t digest_length,
                                    core::BufferCore& prefix, const uint8_t* signature, int32_t signature_length,
                                    int32_t check_prefix, int32_t& valid);
// RsaVerifyPss checks an RSASSA-PSS signature (MGF1 with the named digest); every failure is 1119.
[[nodiscard]] int RsaVerifyPss(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, const char* digest_name,
                               int32_t salt_length, const uint8_t* signature, int32_t signature_length,
                               int32_t& valid);
// RsaPkcs1v15Sign appends the RSASSA-PKCS1-v1_5 signature of prefix || digest, k bytes.
[[nodiscard]] int RsaPkcs1v15Sign(RsaEngine& engine, const uint8_t* digest, int32_t digest_length,
                                  const core::BufferCore& prefix, core::BufferCore& out);
// RsaPssSign appends an RSASSA-PSS signature with a fresh salt of salt_length bytes (the digest length
// when negative), k bytes.
[[nodiscard]] int RsaPssSign(RsaEngine& engine, const uint8_t* digest, int32_t digest_length, const char* digest_name,
                             int32_t salt_length, core::BufferCore& out);

// The two generators: fill engine.Params with a key of engine.KeyBits bits.
[[nodiscard]] int GenerateRsaKey(RsaEngine& engine);
[[nodiscard]] int GenerateRsaKeyVariant2(RsaEngine& engine);

// kEngineNotAvailable: an operation the chosen engine does not offer.
inline constexpr int kEngineNotAvailable = 9998;

}  // namespace velmora::crypto
