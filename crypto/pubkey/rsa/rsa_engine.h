// The library's own RSA: a key held as RsaKeyParams, the raw private (CRT or exponent, blinded) and
// public operations, key checking and completion, and key generation.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/pubkey/bigint/big_int.h"
#include "crypto/pubkey/keys/key_record.h"
#include "crypto/symmetric/hash_objects.h"
#include "crypto/symmetric/random.h"

namespace velmora::crypto {

inline constexpr int kRsaNoModulus = 1101;
inline constexpr int kRsaZeroModulus = 1102;
inline constexpr int kRsaNoExponent = 1103;
inline constexpr int kRsaZeroPublicExponent = 1104;
inline constexpr int kRsaZeroPrivateExponent = 1105;
inline constexpr int kRsaNoPublicKey = 1110;
inline constexpr int kRsaNoPrivateKey = 1111;
inline constexpr int kKeySizeRefused = 1206;

// CheckKeySize: RSA (kind 0) 384..4096 in steps of 8, DSA (1, 2) 512..4096 in steps of 64, kind 3
// exactly 128, other kinds only 0; 1206 otherwise.
[[nodiscard]] int CheckKeySize(int32_t kind, int32_t bits);

class RsaEngineBase {
 public:
  virtual ~RsaEngineBase() { ReleaseNativeKey(Random); }
  int32_t Kind = kKeyKindRsa;
  RandomContext Random{};
  int32_t KeyBits = 1024;
};

class RsaEngine : public RsaEngineBase {
 public:
  RsaKeyParams Params;

  // GenerateKey generates a key of KeyBits bits when none is held (variant selects the second
  // generator) and hands the held key out (D only with include_private).
  [[nodiscard]] virtual int GenerateKey(bool include_private, RsaKeyParams& out, bool variant);
  // SetKeyParams replaces the key, deriving missing CRT values.
  [[nodiscard]] virtual int SetKeyParams(const RsaKeyParams& params);

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
};

// The two generators: fill engine.Params with a key of engine.KeyBits bits.
[[nodiscard]] int GenerateRsaKey(RsaEngine& engine);
[[nodiscard]] int GenerateRsaKeyVariant2(RsaEngine& engine);

// Key creation and completion by provider mode (kProviderInternal, kProviderPlatform, kProviderDefault of
// hash_objects.h). The platform provider is not available here: mode 1 gives -1.
inline constexpr int kEngineNotAvailable = 9998;
[[nodiscard]] int CngCreateRsaKey(int32_t bits, RsaKeyParams& out, int32_t provider_mode = kProviderDefault);
[[nodiscard]] int CngCreateDsaKey(int32_t bits, DsaKeyParams& out, int32_t provider_mode = kProviderDefault);
[[nodiscard]] int CngCreateEccKey(int32_t key_type, EcKeyParams& out, int32_t provider_mode = kProviderDefault);
[[nodiscard]] int CompleteRsaPrivateKey(RsaKeyParams& params, int32_t provider_mode = kProviderDefault);

}  // namespace velmora::crypto
