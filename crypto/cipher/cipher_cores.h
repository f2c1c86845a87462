// CipherCore: what one cipher contributes to InternalCipher. The cipher object finds the row of its
// internal id with FindCipherCore; an id without a row gives 2001 from the set-up and the block
// dispatchers. A new cipher adds its key state to InternalCipher (and to InternalCipher::CopyFrom) and
// its row to the table in cipher_cores.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

class InternalCipher;

struct CipherCore {
  // setup builds the key state from the cipher's key: the decryption form when decrypt_form is set.
  // 0, 200 when the state's storage is missing, or the core's code.
  int (*setup)(InternalCipher& cipher, bool decrypt_form);
  // encrypt and decrypt run one block (block ciphers) or the whole length (stream ciphers).
  int (*encrypt)(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length);
  int (*decrypt)(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length);
  // Optional bulk forms over whole blocks for the hot modes; null: the modes call encrypt/decrypt per
  // block. They run only after encrypt/decrypt accepted the state (storage present).
  void (*encrypt_blocks)(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks);
  void (*decrypt_blocks)(InternalCipher& cipher, const uint8_t* in, uint8_t* out, size_t blocks);
  void (*cbc_encrypt_blocks)(InternalCipher& cipher, uint8_t* reg, const uint8_t* in, uint8_t* out, size_t blocks);
  // Stream and AEAD ciphers that do not run as a plain keystream XOR process a whole piece here
  // (final_flag set for the last one); null: the stream path XORs through encrypt.
  int (*process)(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out,
                 int32_t final_flag);
  // Stream ciphers: the encrypt function runs over the whole length rather than one block.
  bool whole_length;
};

// FindCipherCore returns the row of an internal id, or null.
const CipherCore* FindCipherCore(int32_t internal_id);
// FindBlockCipherCore returns the rows of DES, Triple DES, CAST-128, Blowfish, Twofish, IDEA, RC4, RC2,
// TEA, XTEA and XXTEA (block_cipher_cores.cpp), or null.
const CipherCore* FindBlockCipherCore(int32_t internal_id);

}  // namespace velmora::crypto
