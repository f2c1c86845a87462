// BlockCipherKeys: the key state of the cipher object's DES, Triple DES, CAST-128, Blowfish, Twofish, IDEA,
// RC2, RC4 and TEA-family cores. The Twofish table and the RC4 permutation come from the library's
// allocator when the object is built (null when memory ran out; their cores then give 200).
#pragma once

#include <cstdint>

#include "crypto/cipher/blowfish.h"
#include "crypto/cipher/des.h"
#include "crypto/cipher/idea_rc.h"
#include "crypto/cipher/twofish.h"

namespace velmora::crypto {

class BlockCipherKeys {
 public:
  BlockCipherKeys();
  BlockCipherKeys(const BlockCipherKeys&) = delete;
  BlockCipherKeys& operator=(const BlockCipherKeys&) = delete;
  ~BlockCipherKeys();
  // CopyFrom copies every schedule; 200 when either side's heap storage is missing.
  [[nodiscard]] int CopyFrom(const BlockCipherKeys& other);

  uint32_t des[kDesScheduleWords] = {};
  uint32_t triple_des[kTripleDesScheduleWords] = {};
  uint32_t cast_km[16] = {};
  uint32_t cast_kr[16] = {};
  int32_t cast_rounds = 16;
  uint32_t blowfish_p[kBlowfishPWords] = {};
  uint32_t blowfish_s[4][kBlowfishSWords] = {};
  uint32_t twofish_k[kTwofishSubkeys] = {};
  uint32_t* twofish_t;
  uint16_t idea[kIdeaSubkeys] = {};
  uint32_t rc2[64] = {};
  uint32_t* rc4_s;
  uint32_t rc4_indices[2] = {};
  uint32_t tea_key[4] = {};
};

}  // namespace velmora::crypto
