// The cipher object's cores for DES, Triple DES, CAST-128, Blowfish, Twofish, IDEA, RC4, RC2, TEA, XTEA
// and XXTEA, and their key state.
#include <cstring>

#include "crypto/cipher/block_cipher_keys.h"
#include "crypto/cipher/cast128.h"
#include "crypto/cipher/cipher_cores.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"
#include "crypto/cipher/tea.h"
#include "platform/memory.h"

namespace velmora::crypto {

// ---- key state ----------------------------------------------------------------------------------------------

namespace {
constexpr size_t kTwofishTableBytes = kTwofishTableWords * sizeof(uint32_t);
constexpr size_t kRc4Bytes = 256 * sizeof(uint32_t);
}  // namespace

BlockCipherKeys::BlockCipherKeys()
    : twofish_t(static_cast<uint32_t*>(platform::Alloc(kTwofishTableBytes))),
      rc4_s(static_cast<uint32_t*>(platform::Alloc(kRc4Bytes))) {}

BlockCipherKeys::~BlockCipherKeys() {
  if (twofish_t != nullptr) platform::SecureZero(twofish_t, kTwofishTableBytes);
  if (rc4_s != nullptr) platform::SecureZero(rc4_s, kRc4Bytes);
  platform::Free(twofish_t, kTwofishTableBytes);
  platform::Free(rc4_s, kRc4Bytes);
  // Everything before the heap pointers and after them is plain key material.
  platform::SecureZero(des, sizeof des);
  platform::SecureZero(triple_des, sizeof triple_des);
  platform::SecureZero(cast_km, sizeof cast_km);
  platform::SecureZero(cast_kr, sizeof cast_kr);
  platform::SecureZero(blowfish_p, sizeof blowfish_p);
  platform::SecureZero(blowfish_s, sizeof blowfish_s);
  platform::SecureZero(twofish_k, sizeof twofish_k);
  platform::SecureZero(idea, sizeof idea);
  platform::SecureZero(rc2, sizeof rc2);
  platform::SecureZero(rc4_indices, sizeof rc4_indices);
  platform::SecureZero(tea_key, sizeof tea_key);
}

int BlockCipherKeys::CopyFrom(const BlockCipherKeys& other) {
  std::memcpy(des, other.des, sizeof des);
  std::memcpy(triple_des, other.triple_des, sizeof triple_des);
  std::memcpy(cast_km, other.cast_km, sizeof cast_km);
  std::memcpy(cast_kr, other.cast_kr, sizeof cast_kr);
  cast_rounds = other.cast_rounds;
  std::memcpy(blowfish_p, other.blowfish_p, sizeof blowfish_p);
  std::memcpy(blowfish_s, other.blowfish_s, sizeof blowfish_s);
  std::memcpy(twofish_k, other.twofish_k, sizeof twofish_k);
  std::memcpy(idea, other.idea, sizeof idea);
  std::memcpy(rc2, other.rc2, sizeof rc2);
  std::memcpy(rc4_indices, other.rc4_indices, sizeof rc4_indices);
  std::memcpy(tea_key, other.tea_key, sizeof tea_key);
  if (twofish_t == nullptr || other.twofish_t == nullptr || rc4_s == nullptr || other.rc4_s == nullptr) {
    return core::kOutOfMemory;
  }
  std::memcpy(twofish_t, other.twofish_t, kTwofishTableBytes);
  std::memcpy(rc4_s, other.rc4_s, kRc4Bytes);
  return 0;
}

namespace {

using BlockFn = int (*)(InternalCipher&, const uint8_t*, uint8_t*, int32_t);

// The bulk forms of a block function of kBytes-byte blocks: ECB order and CBC encryption.
template <BlockFn kFn, int32_t kBytes>
void ManyOf(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i) kFn(cipher, in + kBytes * i, out + kBytes * i, kBytes);
}

template <BlockFn kFn, int32_t kBytes>
void CbcOf(InternalCipher& cipher, uint8_t* reg, const uint8_t* in, uint8_t* out, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i) {
    for (int32_t j = 0; j < kBytes; ++j) reg[j] ^= in[kBytes * i + j];
    kFn(cipher, reg, reg, kBytes);
    std::memcpy(out + kBytes * i, reg, kBytes);
  }
}

const uint8_t* KeyBytes(InternalCipher& cipher) { return cipher.Key().Bytes(); }
int32_t KeyLength(InternalCipher& cipher) { return cipher.Key().Length(); }

// ---- DES and Triple DES --------------------------------------------------------------------------------

int DesSetup(InternalCipher& cipher, bool decrypt_form) {
  if (KeyLength(cipher) != 8) return kBadKeySize;
  DesSetKey(cipher.BlockKeys().des, KeyBytes(cipher), decrypt_form ? 1 : 0);
  return 0;
}

int DesBlock(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  DesCryptBlock(cipher.BlockKeys().des, in, out);
  return 0;
}

void DesMany(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks) {
  DesCryptBlocks(cipher.BlockKeys().des, in, out, static_cast<int64_t>(blocks));
}

int TripleDesSetup(InternalCipher& cipher, bool decrypt_form) {
  const int32_t length = KeyLength(cipher);
  if (length != 16 && length != 24) return kBadKeySize;
  uint8_t key[24];
  std::memcpy(key, KeyBytes(cipher), static_cast<size_t>(length));
  if (length == 16) std::memcpy(key + 16, key, 8);  // two-key form: K3 = K1
  TripleDesSetKey(cipher.BlockKeys().triple_des, key, decrypt_form ? 1 : 0);
  platform::SecureZero(key, sizeof key);
  return 0;
}

int TripleDesBlock(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  TripleDesCryptBlock(cipher.BlockKeys().triple_des, in, out);
  return 0;
}

void TripleDesMany(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks) {
  TripleDesCryptBlocks(cipher.BlockKeys().triple_des, in, out, static_cast<int64_t>(blocks));
}

// ---- CAST-128 and Blowfish ------------------------------------------------------------------------------------

int CastSetup(InternalCipher& cipher, bool) {
  BlockCipherKeys& keys = cipher.BlockKeys();
  return Cast128SetKey(KeyBytes(cipher), KeyLength(cipher), keys.cast_km, keys.cast_kr, &keys.cast_rounds);
}

int CastEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  BlockCipherKeys& keys = cipher.BlockKeys();
  return Cast128EncryptBlock(keys.cast_km, keys.cast_kr, keys.cast_rounds, in, out);
}

int CastDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  BlockCipherKeys& keys = cipher.BlockKeys();
  return Cast128DecryptBlock(keys.cast_km, keys.cast_kr, keys.cast_rounds, in, out);
}

int BlowfishSetup(InternalCipher& cipher, bool) {
  BlockCipherKeys& k = cipher.BlockKeys();
  if (KeyLength(cipher) < 1) return kBadKeySize;
  return BlowfishSetKey(KeyBytes(cipher), KeyLength(cipher), k.blowfish_p, k.blowfish_s[0], k.blowfish_s[1],
                        k.blowfish_s[2], k.blowfish_s[3]);
}

int BlowfishEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  BlockCipherKeys& k = cipher.BlockKeys();
  return BlowfishEncryptBlock(k.blowfish_p, k.blowfish_s[0], k.blowfish_s[1], k.blowfish_s[2], k.blowfish_s[3], in,
                              out);
}

int BlowfishDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  BlockCipherKeys& k = cipher.BlockKeys();
  return BlowfishDecryptBlock(k.blowfish_p, k.blowfish_s[0], k.blowfish_s[1], k.blowfish_s[2], k.blowfish_s[3], in,
                              out);
}

// ---- Twofish ------------------------------------------------------------------------------------------------

int TwofishSetup(InternalCipher& cipher, bool) {
  BlockCipherKeys& k = cipher.BlockKeys();
  if (k.twofish_t == nullptr) return core::kOutOfMemory;
  const int32_t length = KeyLength(cipher);
  if (length < 16 || length > 32) return kBadKeySize;
  // Lengths between the three key sizes are zero-padded to the next one.
  uint8_t key[32] = {};
  std::memcpy(key, KeyBytes(cipher), static_cast<size_t>(length));
  const int32_t padded = length <= 16 ? 16 : length <= 24 ? 24 : 32;
  const int rc = TwofishSetKey(key, padded, k.twofish_k, k.twofish_t);
  platform::SecureZero(key, sizeof key);
  return rc;
}

int TwofishEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  BlockCipherKeys& k = cipher.BlockKeys();
  if (k.twofish_t == nullptr) return core::kOutOfMemory;
  return TwofishEncryptBlock(k.twofish_k, k.twofish_t, in, out);
}

int TwofishDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  BlockCipherKeys& k = cipher.BlockKeys();
  if (k.twofish_t == nullptr) return core::kOutOfMemory;
  return TwofishDecryptBlock(k.twofish_k, k.twofish_t, in, out);
}

// ---- IDEA, RC2, RC4 ------------------------------------------------------------------------------------------

int IdeaSetup(InternalCipher& cipher, bool decrypt_form) {
  if (KeyLength(cipher) != 16) return kBadKeySize;
  uint16_t* z = cipher.BlockKeys().idea;
  return decrypt_form ? IdeaSetDecryptKey(KeyBytes(cipher), 16, z) : IdeaSetEncryptKey(KeyBytes(cipher), 16, z);
}

int IdeaBlock(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  return IdeaCryptBlock(cipher.BlockKeys().idea, in, out);
}

int Rc2Setup(InternalCipher& cipher, bool) {
  return Rc2SetKey(KeyBytes(cipher), KeyLength(cipher), cipher.BlockKeys().rc2) == 0 ? 0 : kBadKeySize;
}

int Rc2Encrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  return Rc2EncryptBlock(in, out, cipher.BlockKeys().rc2);
}

int Rc2Decrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  return Rc2DecryptBlock(in, out, cipher.BlockKeys().rc2);
}

int Rc4Setup(InternalCipher& cipher, bool) {
  BlockCipherKeys& k = cipher.BlockKeys();
  if (k.rc4_s == nullptr) return core::kOutOfMemory;
  if (KeyLength(cipher) < 1) return kBadKeySize;
  k.rc4_indices[0] = 0;
  k.rc4_indices[1] = 0;
  return Rc4SetKey(KeyBytes(cipher), KeyLength(cipher), k.rc4_s);
}

int Rc4Run(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  BlockCipherKeys& k = cipher.BlockKeys();
  if (k.rc4_s == nullptr) return core::kOutOfMemory;
  Rc4Crypt(in, length, out, k.rc4_s, k.rc4_indices);
  return 0;
}

// ---- TEA, XTEA, XXTEA -------------------------------------------------------------------------------------------

int TeaSetup(InternalCipher& cipher, bool) {
  if (KeyLength(cipher) != 16) return kBadKeySize;
  // A cycle count of 0 or less would leave the data unencrypted.
  if (cipher.OptionValues().tea_rounds <= 0) return kBadTeaRounds;
  return TeaSetKey(KeyBytes(cipher), 16, cipher.BlockKeys().tea_key);
}

int TeaEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  return TeaEncryptBlock(in, out, cipher.BlockKeys().tea_key, cipher.OptionValues().tea_rounds);
}

int TeaDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  return TeaDecryptBlock(in, out, cipher.BlockKeys().tea_key, cipher.OptionValues().tea_rounds);
}

int XteaEncrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  const InternalCipher::Options& o = cipher.OptionValues();
  return XteaEncryptBlock(in, out, cipher.BlockKeys().tea_key, o.tea_rounds, o.xtea_algorithm);
}

int XteaDecrypt(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t) {
  const InternalCipher::Options& o = cipher.OptionValues();
  return XteaDecryptBlock(in, out, cipher.BlockKeys().tea_key, o.tea_rounds, o.xtea_algorithm);
}

// The length-byte paddings store the pad length in one byte that decryption reads as at most 127, so
// blocks above 127 bytes cannot carry them.
constexpr int32_t kLargestLengthBytePad = 127;

int XxteaSetup(InternalCipher& cipher, bool) {
  if (KeyLength(cipher) != 16) return kBadKeySize;
  const int32_t padding = cipher.Padding();
  const bool length_byte =
      padding == kPaddingPkcs7 || padding == kPaddingZerosLength || padding == kPaddingRandomLength;
  if (length_byte && cipher.BlockSize() / 8 > kLargestLengthBytePad) return kBadBlockSize;
  return XxteaSetKey(KeyBytes(cipher), 16, cipher.BlockKeys().tea_key);
}

int XxteaResult(int rc) { return rc == 0 ? 0 : rc < 0 ? core::kOutOfMemory : kBadBlockSize; }

int XxteaEncryptCore(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  return XxteaResult(XxteaEncrypt(in, length, out, cipher.BlockKeys().tea_key));
}

int XxteaDecryptCore(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  return XxteaResult(XxteaDecrypt(in, length, out, cipher.BlockKeys().tea_key));
}

template <BlockFn kEncrypt, BlockFn kDecrypt, int32_t kBytes>
constexpr CipherCore BlockCore(int (*setup)(InternalCipher&, bool)) {
  return {setup,
          kEncrypt,
          kDecrypt,
          ManyOf<kEncrypt, kBytes>,
          ManyOf<kDecrypt, kBytes>,
          CbcOf<kEncrypt, kBytes>,
          nullptr,
          false};
}

constexpr CipherCore kDesCore = {DesSetup, DesBlock, DesBlock, DesMany, DesMany, CbcOf<DesBlock, 8>, nullptr, false};
constexpr CipherCore kTripleDesCore = {TripleDesSetup, TripleDesBlock,           TripleDesBlock, TripleDesMany,
                                       TripleDesMany,  CbcOf<TripleDesBlock, 8>, nullptr,        false};
constexpr CipherCore kCastCore = BlockCore<CastEncrypt, CastDecrypt, 8>(CastSetup);
constexpr CipherCore kBlowfishCore = BlockCore<BlowfishEncrypt, BlowfishDecrypt, 8>(BlowfishSetup);
constexpr CipherCore kTwofishCore = BlockCore<TwofishEncrypt, TwofishDecrypt, 16>(TwofishSetup);
constexpr CipherCore kIdeaCore = BlockCore<IdeaBlock, IdeaBlock, 8>(IdeaSetup);
constexpr CipherCore kRc4Core = {Rc4Setup, Rc4Run, Rc4Run, nullptr, nullptr, nullptr, nullptr, true};
constexpr CipherCore kRc2Core = BlockCore<Rc2Encrypt, Rc2Decrypt, 8>(Rc2Setup);
constexpr CipherCore kTeaCore = BlockCore<TeaEncrypt, TeaDecrypt, 8>(TeaSetup);
constexpr CipherCore kXteaCore = BlockCore<XteaEncrypt, XteaDecrypt, 8>(TeaSetup);
constexpr CipherCore kXxteaCore = {XxteaSetup, XxteaEncryptCore, XxteaDecryptCore, nullptr,
                                   nullptr,    nullptr,          nullptr,          false};

}  // namespace

const CipherCore* FindBlockCipherCore(int32_t internal_id) {
  switch (internal_id) {
    case kCipherDes:
      return &kDesCore;
    case kCipher3Des:
      return &kTripleDesCore;
    case kCipherCast5:
      return &kCastCore;
    case kCipherBlowfish:
      return &kBlowfishCore;
    case kCipherTwofish:
      return &kTwofishCore;
    case kCipherIdea:
      return &kIdeaCore;
    case kCipherRc4:
      return &kRc4Core;
    case kCipherRc2:
      return &kRc2Core;
    case kCipherTea:
      return &kTeaCore;
    case kCipherXtea:
      return &kXteaCore;
    case kCipherXxtea:
      return &kXxteaCore;
    default:
      return nullptr;
  }
}

}  // namespace velmora::crypto
