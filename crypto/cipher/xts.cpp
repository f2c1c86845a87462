// AES-XTS (IEEE 1619) for the cipher object (algorithm aes, mode 8): a 32-byte key split into the data
// key (the cipher's AES schedule, in the direction's form) and the tweak key (the cipher's second
// schedule holder); the tweak of data unit n is E(tweak key, n as 16 little-endian bytes), doubled
// after every block. The block index within the unit is kept across calls, so a unit may be split
// over several update calls. A partial last block on the final call uses ciphertext stealing.
#include <cstring>

#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int64_t kDefaultUnitLength = 512;

// StepUnit moves to the tweak of the next block, starting a new data unit at a unit boundary.
void StepUnit(InternalCipher& cipher, XtsState& x) {
  if (x.block_index == static_cast<uint64_t>(x.unit_length / 16)) (void)CipherSetCounterBlock(cipher, x.unit + 1);
}

// OneBlock runs one block under the given tweak.
void OneBlock(InternalCipher& cipher, const uint8_t* in, uint8_t* out, const uint8_t tweak[16]) {
  AesContext& aes = cipher.Aes();
  uint8_t t[16];
  for (int i = 0; i < 16; ++i) t[i] = static_cast<uint8_t>(in[i] ^ tweak[i]);
  if (cipher.Encrypting() != 0) {
    AesEncryptBlock(aes.RoundKeys(), aes.Rounds(), t, t);
  } else {
    AesDecryptBlock(aes.RoundKeys(), aes.Rounds(), t, t);
  }
  for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(t[i] ^ tweak[i]);
}

}  // namespace

int CipherSetCounterBlock(InternalCipher& cipher, uint64_t unit) {
  XtsState& x = cipher.Streams().xts;
  AesContext& tweak_key = cipher.Rijndael();
  if (tweak_key.RoundKeys() == nullptr) return core::kOutOfMemory;
  x.unit = unit;
  x.block_index = 0;
  std::memset(x.tweak, 0, sizeof x.tweak);
  for (int i = 0; i < 8; ++i) x.tweak[i] = static_cast<uint8_t>(unit >> (8 * i));
  AesEncryptBlock(tweak_key.RoundKeys(), tweak_key.Rounds(), x.tweak, x.tweak);
  return 0;
}

int XtsSetup(InternalCipher& cipher, bool decrypt_form) {
  AesContext& data_key = cipher.Aes();
  AesContext& tweak_key = cipher.Rijndael();
  if (data_key.RoundKeys() == nullptr || tweak_key.RoundKeys() == nullptr) return core::kOutOfMemory;
  // Two AES-128 keys; any other total is refused before a schedule is built.
  if (cipher.Key().Length() != 32) return kBadKeySize;
  int64_t unit_length = cipher.OptionValues().xts_data_unit_length;
  if (unit_length == 0) unit_length = kDefaultUnitLength;
  if (unit_length < 16 || unit_length % 16 != 0) return kBadBlockSize;
  const uint8_t* key = cipher.Key().Bytes();
  data_key.Rounds() = decrypt_form ? AesSetDecryptKey(data_key.RoundKeys(), key, 128)
                                   : AesSetEncryptKey(data_key.RoundKeys(), key, 128);
  tweak_key.Rounds() = AesSetEncryptKey(tweak_key.RoundKeys(), key + 16, 128);
  XtsState& x = cipher.Streams().xts;
  std::memset(&x, 0, sizeof x);
  x.unit_length = unit_length;
  return CipherSetCounterBlock(cipher, cipher.OptionValues().xts_initial_tweak);
}

int XtsProcess(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag) {
  if (length <= 0) return 0;
  const int32_t r = length % 16;
  if (length < 16 || (r != 0 && final_flag == 0)) return kNotWholeBlocks;
  XtsState& x = cipher.Streams().xts;
  AesContext& aes = cipher.Aes();
  if (aes.RoundKeys() == nullptr) return core::kOutOfMemory;
  const bool encrypt = cipher.Encrypting() != 0;
  const int32_t old = out.Length();
  if (out.SetData(old + length, nullptr) != 0) return core::kOutOfMemory;
  auto* dst = reinterpret_cast<uint8_t*>(out.Data()) + old;
  const size_t blocks = static_cast<size_t>(length / 16 - (r != 0 ? 1 : 0));
  const auto unit_blocks = static_cast<uint64_t>(x.unit_length / 16);
  size_t at = 0;
  while (at < blocks) {
    // The rest of the current data unit in one fused run; the tweak is doubled as it goes.
    StepUnit(cipher, x);
    uint64_t count = unit_blocks - x.block_index;
    if (count > blocks - at) count = blocks - at;
    AesXtsBlocks(aes.RoundKeys(), aes.Rounds(), x.tweak, in + 16 * at, dst + 16 * at, static_cast<size_t>(count),
                 encrypt);
    x.block_index += count;
    at += static_cast<size_t>(count);
  }
  if (r != 0) {
    StepUnit(cipher, x);
    x.block_index += 2;
    (void)XtsStealTail(x.tweak, in + 16 * blocks, dst + 16 * blocks, r, encrypt,
                       [&cipher](const uint8_t* block_in, uint8_t* block_out, const uint8_t* tweak) {
                         OneBlock(cipher, block_in, block_out, tweak);
                         return 0;
                       });
  }
  return 0;
}

namespace {

int XtsInPlace(InternalCipher& cipher, uint8_t* data, int32_t length, uint64_t unit, bool encrypt) {
  if ((cipher.Encrypting() != 0) != encrypt) {
    const int rc = encrypt ? cipher.SetupEncryptEngine() : cipher.SetupDecryptEngine();
    if (rc != 0) return rc;
  }
  int rc = CipherSetCounterBlock(cipher, unit);
  core::SecureBuffer out;
  if (rc == 0) rc = XtsProcess(cipher, data, length, out, 1);
  if (rc == 0 && out.Length() == length) std::memcpy(data, out.Data(), static_cast<size_t>(length));
  return rc;
}

}  // namespace

int XtsEncryptInPlace(InternalCipher& cipher, uint8_t* data, int32_t length, uint64_t unit) {
  return XtsInPlace(cipher, data, length, unit, true);
}

int XtsDecryptInPlace(InternalCipher& cipher, uint8_t* data, int32_t length, uint64_t unit) {
  return XtsInPlace(cipher, data, length, unit, false);
}

}  // namespace velmora::crypto
