// The library's own DSA: domain parameter and key generation (random search, or the seeded SHA-1
// construction of FIPS 186-2 Appendix 2.2), signing a digest and verifying a signature, all on BigInt
// with random numbers from the engine's own RandomContext.
//
// Signatures come in two forms. Raw: r then s, each exactly qbytes = bitlength(q) / 8 bytes,
// big-endian. DER: SEQUENCE { INTEGER r, INTEGER s }.
//
// Two behaviours differ from FIPS 186-3/4 and are kept because callers rely on them:
//  - the whole digest is the number H, never cut to the bit length of q;
//  - a raw signature is split by the digest's length when verifying (r is the first digest-length
//    bytes), not by q's length.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/bn/montgomery.h"
#include "crypto/keys/key_params.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

inline constexpr int kDsaMissingParams = 1201;
inline constexpr int kDsaNoDigest = 1202;
inline constexpr int kDsaNoKey = 1203;
inline constexpr int kDsaNoPrivateKey = 1204;
inline constexpr int kDsaNoSignature = 1205;
// kDsaFipsKeySize: FIPS-compliant mode refuses to sign with a key that is not 2048 or 3072 bits.
inline constexpr int kDsaFipsKeySize = 9999;

// DsaEngineBase: the engine interface, with the kind and the random context every engine carries.
// The destructor releases the random context.
class DsaEngineBase {
 public:
  DsaEngineBase() = default;
  DsaEngineBase(const DsaEngineBase&) = delete;
  DsaEngineBase& operator=(const DsaEngineBase&) = delete;
  virtual ~DsaEngineBase() { ReleaseNativeKey(Random); }

  // Sign appends the signature of the digest to out (raw, or DER when the engine says so): 0, 1202 for
  // no digest, 1203 for no key, 1204 for no private value, or a BigInt/Buffer code.
  [[nodiscard]] virtual int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) = 0;
  // Verify sets *result to 1 when the signature (raw or DER) is valid for the digest, else 0. The
  // return is 0 for any verdict; 1202/1205/1203 only for a missing digest, signature or key.
  [[nodiscard]] virtual int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                                   int32_t signature_length, int32_t* result) = 0;
  // GenerateKey makes a key when none is held (seeded selects the FIPS 186-2 construction) and copies
  // P, Q, G, Y (and X with include_private) into out.
  [[nodiscard]] virtual int GenerateKey(bool include_private, DsaKeyParams& out, bool seeded) = 0;
  // SetKeyParams replaces the held key by P, Q, G and Y and/or X of params: 0, 1201 when one is
  // missing or P or Q is zero (the engine's key is then empty), or a Buffer code.
  [[nodiscard]] virtual int SetKeyParams(const DsaKeyParams& params) = 0;

  int32_t Kind = kKeyKindDsa;
  RandomContext Random{};
};

// DsaSeedHook supplies the 20-byte SEED of the seeded generation in place of random bytes; context is
// the pointer given with it. Used to reproduce published parameters.
using DsaSeedHook = void (*)(void* context, uint8_t seed[20]);

class DsaEngine : public DsaEngineBase {
 public:
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) override;
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, int32_t* result) override;
  [[nodiscard]] int GenerateKey(bool include_private, DsaKeyParams& out, bool seeded) override;
  [[nodiscard]] int SetKeyParams(const DsaKeyParams& params) override;

  // SetSeedHook makes the seeded generation take its seeds from hook (null: random seeds again).
  void SetSeedHook(DsaSeedHook hook, void* context) {
    seed_hook_ = hook;
    seed_hook_context_ = context;
  }

  int32_t KeySize = 1024;  // bits of p
  DsaKeyParams Params;
  int32_t DerOutput = 0;  // 1: Sign writes DER

 private:
  friend int GenerateDsaKeyWithSeed(DsaEngine& engine);
  DsaSeedHook seed_hook_ = nullptr;
  void* seed_hook_context_ = nullptr;
  // The Montgomery set-up of p and q, kept between operations (set up again when they change).
  MontgomeryContext p_context_;
  MontgomeryContext q_context_;
};

// GenerateDsaKey fills engine.Params with new domain parameters (N = 160 below L = 2048 bits, else
// 256) and a key pair, L = engine.KeySize: 0, 1206 for L outside 512..4096 or not a multiple of 64,
// or a BigInt code.
[[nodiscard]] int GenerateDsaKey(DsaEngine& engine);
// GenerateDsaKeyWithSeed does the same with p and q from FIPS 186-2 Appendix 2.2 (SHA-1, q of 160
// bits), for any L from 512 up (1206 below). The SEED and counter are not kept.
[[nodiscard]] int GenerateDsaKeyWithSeed(DsaEngine& engine);

}  // namespace velmora::crypto
