// The cipher cores of InternalCipher, one row per internal id.
#include "crypto/cipher/cipher_cores.h"

#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"

namespace velmora::crypto {

namespace {

// ---- AES (also the 16-byte Rijndael schedule shape) -----------------------------------------------------

int AesSetup(InternalCipher& cipher, bool decrypt_form) {
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  const uint8_t* key = cipher.Key().Bytes();
  const int32_t bits = cipher.Key().Length() * 8;
  const int32_t rounds = decrypt_form ? AesSetDecryptKey(aes.RoundKeys(), key, bits)
                                      : AesSetEncryptKey(aes.RoundKeys(), key, bits);
  if (rounds == 0) return kBadKeySize;
  aes.Rounds() = rounds;
  return 0;
}

int AesEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  AesEncryptBlock(aes.RoundKeys(), aes.Rounds(), in, out);
  return 0;
}

int AesDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  AesDecryptBlock(aes.RoundKeys(), aes.Rounds(), in, out);
  return 0;
}

void AesEncryptMany(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks) {
  AesEncryptBlocks(cipher.Aes().RoundKeys(), cipher.Aes().Rounds(), in, out, blocks);
}

void AesDecryptMany(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks) {
  AesDecryptBlocks(cipher.Aes().RoundKeys(), cipher.Aes().Rounds(), in, out, blocks);
}

void AesCbcEncryptMany(InternalCipher& cipher, uint8_t* reg, const uint8_t* in, uint8_t* out, size_t blocks) {
  AesCbcEncryptBlocks(cipher.Aes().RoundKeys(), cipher.Aes().Rounds(), reg, in, out, blocks);
}

// ---- Rijndael -------------------------------------------------------------------------------------------

int RijndaelSetup(InternalCipher& cipher, bool decrypt_form) {
  RijndaelContext& state = cipher.Rijndael();
  if (state.RoundKeys() == nullptr) return core::kOutOfMemory;
  const int32_t block_bytes = cipher.BlockSize() / 8;
  const int32_t rounds = RijndaelSetKey(state.RoundKeys(), cipher.Key().Bytes(), cipher.Key().Length(),
                                        block_bytes, decrypt_form ? 1 : 0);
  if (rounds == 0) return kBadKeySize;
  state.Rounds() = rounds;
  state.BlockBytes() = block_bytes;
  return 0;
}

int RijndaelEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  RijndaelContext& state = cipher.Rijndael();
  if (state.RoundKeys() == nullptr) return core::kOutOfMemory;
  RijndaelEncryptBlock(state.RoundKeys(), state.BlockBytes(), state.Rounds(), in, out);
  return 0;
}

int RijndaelDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  RijndaelContext& state = cipher.Rijndael();
  if (state.RoundKeys() == nullptr) return core::kOutOfMemory;
  RijndaelDecryptBlock(state.RoundKeys(), state.BlockBytes(), state.Rounds(), in, out);
  return 0;
}

constexpr CipherCore kAesCore = {AesSetup,       AesEncrypt,        AesDecrypt, AesEncryptMany,
                                 AesDecryptMany, AesCbcEncryptMany, nullptr,    false};
constexpr CipherCore kRijndaelCore = {RijndaelSetup, RijndaelEncrypt, RijndaelDecrypt, nullptr, nullptr, nullptr,
                                      nullptr,       false};
// The AEAD ciphers process whole pieces; ChaCha20 and Salsa20 XOR their keystream over any length.
constexpr CipherCore kGcmCore = {GcmSetup, nullptr, nullptr, nullptr, nullptr, nullptr, GcmProcess, false};
constexpr CipherCore kOcbCore = {OcbSetup, nullptr, nullptr, nullptr, nullptr, nullptr, OcbProcess, false};
constexpr CipherCore kChaCha20Core = {ChaCha20Setup, ChaCha20Xor, ChaCha20Xor, nullptr, nullptr, nullptr,
                                      nullptr,       true};
constexpr CipherCore kChaCha20Poly1305Core = {ChaCha20Poly1305Setup, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              ChaCha20Poly1305Process, false};
constexpr CipherCore kSalsa20Core = {Salsa20Setup, Salsa20Xor, Salsa20Xor, nullptr, nullptr, nullptr, nullptr, true};

}  // namespace

const CipherCore* FindCipherCore(int32_t internal_id) {
  switch (internal_id) {
    case kCipherAes:
      return &kAesCore;
    case kCipherRijndael:
      return &kRijndaelCore;
    case kCipherAesGcm:
      return &kGcmCore;
    case kCipherAesOcb:
      return &kOcbCore;
    case kCipherChaCha20:
      return &kChaCha20Core;
    case kCipherChaCha20Poly1305:
      return &kChaCha20Poly1305Core;
    case kCipherSalsa20:
      return &kSalsa20Core;
    default:
      // DES, Triple DES, CAST-128, Blowfish, Twofish, IDEA, RC4, RC2, TEA, XTEA and XXTEA.
      return FindBlockCipherCore(internal_id);
  }
}

}  // namespace velmora::crypto
