// The symmetric cipher object: CipherObject (the interface a CryptoComponent holds for a cipher, the
// library's own InternalCipher or a platform twin) and InternalCipher with its parameters, mode pipeline
// and key schedules. The UMAC object is in crypto/mac/umac.h; the choice of a cipher object for a
// component is in crypto/objects/cipher_selection.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"
#include "crypto/base/crypto_object.h"
#include "crypto/cipher/aead.h"
#include "crypto/cipher/block_cipher_keys.h"
#include "crypto/cipher/cipher_params.h"

namespace velmora::crypto {

// AesContext holds one AES key schedule: 1024 bytes from the library's allocator (null when memory ran
// out; the users then give 200) and the round count (14 when built).
class AesContext {
 public:
  AesContext();
  AesContext(const AesContext&) = delete;
  AesContext& operator=(const AesContext&) = delete;
  ~AesContext();

  uint32_t* RoundKeys() const { return round_keys_; }
  int32_t& Rounds() { return rounds_; }
  int32_t Rounds() const { return rounds_; }
  // CopyFrom copies the schedule into this context's own storage; 200 when either storage is missing.
  [[nodiscard]] int CopyFrom(const AesContext& other);

 private:
  uint32_t* round_keys_;
  int32_t rounds_ = 14;
};

// RijndaelContext is an AesContext with the block size in bytes (16, 24 or 32).
class RijndaelContext : public AesContext {
 public:
  int32_t& BlockBytes() { return block_bytes_; }
  int32_t BlockBytes() const { return block_bytes_; }
  [[nodiscard]] int CopyFrom(const RijndaelContext& other) {
    block_bytes_ = other.block_bytes_;
    return AesContext::CopyFrom(other);
  }

 private:
  int32_t block_bytes_ = 16;
};

// CipherObject is the interface of a cipher object. Instances come from the library's allocator; `new`
// gives null when memory runs out. One thread at a time.
class CipherObject : public component::CryptoObject {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  // Init sets up the object for one message: the algorithm (internal id) with its defaults, mode and
  // padding when above 0, key, IV, the options text ("Name=Value" items joined by ","), then the key
  // schedule for the direction (decrypt nonzero: decryption). 0, or the first failing code.
  [[nodiscard]] virtual int Init(int32_t algorithm, const uint8_t* key, int32_t key_length, const uint8_t* iv,
                                 int32_t iv_length, int32_t decrypt, int32_t mode, int32_t padding,
                                 const char* options) = 0;
  // Encrypt and Decrypt run the object's direction over length bytes of data at offset, appending to
  // out. Without final_flag the bytes that cannot be processed yet are left to the caller and *length
  // comes back as the count consumed; with final_flag the piece ends the message (padding added or
  // checked and removed).
  [[nodiscard]] virtual int Encrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                    int32_t final_flag) = 0;
  [[nodiscard]] virtual int Decrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                    int32_t final_flag) = 0;
  virtual int32_t BlockSize() const = 0;
  // ReInitAead starts a new AEAD message with a tag length in bytes, an IV and AAD on the same key.
  [[nodiscard]] virtual int ReInitAead(const uint8_t* iv, int32_t iv_length, int32_t tag_bytes, const uint8_t* aad,
                                       int32_t aad_length, int32_t flag) = 0;
  // EncryptAead is Encrypt that appends the tag after the final piece; DecryptAead takes the tag from
  // the end of the final piece. Decryption update calls hand out plaintext before the tag is checked;
  // only the final call checks it (2010 and that call's output cleared on a mismatch), so a caller
  // holds back what the update calls gave until the final call succeeded.
  [[nodiscard]] virtual int EncryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                        int32_t final_flag) = 0;
  [[nodiscard]] virtual int DecryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                        int32_t final_flag) = 0;
};

// InternalCipher is the library's own implementation of every symmetric cipher. A cipher whose core is
// not part of the library yet gives 2001 from its key set-up.
class InternalCipher final : public CipherObject {
 public:
  InternalCipher();
  ~InternalCipher() override;

  [[nodiscard]] int Init(int32_t algorithm, const uint8_t* key, int32_t key_length, const uint8_t* iv,
                         int32_t iv_length, int32_t decrypt, int32_t mode, int32_t padding,
                         const char* options) override;
  [[nodiscard]] int Encrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                            int32_t final_flag) override;
  [[nodiscard]] int Decrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                            int32_t final_flag) override;
  int32_t BlockSize() const override { return block_bits_; }
  [[nodiscard]] int ReInitAead(const uint8_t* iv, int32_t iv_length, int32_t tag_bytes, const uint8_t* aad,
                               int32_t aad_length, int32_t flag) override;
  [[nodiscard]] int EncryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                int32_t final_flag) override;
  [[nodiscard]] int DecryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                int32_t final_flag) override;

  // Parameters. Each setter returns 0 or the code of its rule and leaves its field unchanged on failure.
  [[nodiscard]] int SetAlgorithm(int32_t internal_id);
  [[nodiscard]] int SetKeySize(int32_t bits);
  [[nodiscard]] int SetBlockSize(int32_t bits);
  [[nodiscard]] int SetKey(const uint8_t* bytes, int32_t length);
  // SetIv ignores the IV in ECB; the AEAD ids and GCM take any length; everything else one block.
  [[nodiscard]] int SetIv(const uint8_t* bytes, int32_t length);
  [[nodiscard]] int SetTagLength(int32_t bits);
  [[nodiscard]] int CheckKeySize(int32_t bits) const { return CheckKeySizeFor(algorithm_, bits); }
  [[nodiscard]] int CheckBlockSize(int32_t bits) const { return CheckBlockSizeFor(algorithm_, bits); }
  [[nodiscard]] int CheckTagSize(int32_t bits) const { return CheckTagSizeFor(mode_, bits); }
  void SetMode(int32_t mode) { mode_ = mode; }
  void SetPadding(int32_t padding) { padding_ = padding; }
  void SetFeedbackSize(int32_t bits) { feedback_bits_ = bits; }

  // InitEncrypt and InitDecrypt: key-size check, key, IV, then the key schedule for the direction.
  [[nodiscard]] int InitEncrypt(const uint8_t* key, int32_t key_length, const uint8_t* iv, int32_t iv_length);
  [[nodiscard]] int InitDecrypt(const uint8_t* key, int32_t key_length, const uint8_t* iv, int32_t iv_length);
  // SetupEncryptEngine and SetupDecryptEngine reset the running state (register from the IV, CTS
  // hold-back, CTR keystream) and build the schedule of the current algorithm: 0, 200 when its storage
  // is missing, 2001 when the algorithm has no core.
  [[nodiscard]] int SetupEncryptEngine();
  [[nodiscard]] int SetupDecryptEngine();

  // ProcessUpdate and ProcessFinal are the streaming and the last step behind Encrypt and Decrypt.
  [[nodiscard]] int ProcessUpdate(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out);
  [[nodiscard]] int ProcessFinal(const uint8_t* data, int32_t offset, int32_t length, core::BufferCore& out);

  // CopyFrom makes this object a copy of other, running state included, so both continue
  // independently; 200 when memory or schedule storage is missing.
  [[nodiscard]] int CopyFrom(const InternalCipher& other);

  // Read access for the cores, the modes and the tests.
  int32_t Algorithm() const { return algorithm_; }
  int32_t KeyBits() const { return key_bits_; }
  int32_t Mode() const { return mode_; }
  int32_t Padding() const { return padding_; }
  int32_t FeedbackBits() const { return feedback_bits_; }
  int32_t Encrypting() const { return encrypting_; }
  int32_t Stream() const { return stream_; }
  int32_t TagBits() const { return tag_bits_; }
  const core::BufferCore& Iv() const { return iv_; }
  const core::BufferCore& Key() const { return key_; }
  core::BufferCore& Tag() { return tag_; }
  core::BufferCore& Aad() { return aad_; }
  AesContext& Aes() { return aes_; }
  RijndaelContext& Rijndael() { return rijndael_; }
  // The running states of the AEAD, stream and XTS constructions.
  StreamStates& Streams() { return streams_; }
  BlockCipherKeys& BlockKeys() { return block_keys_; }

  // Option values that later set-ups read.
  struct Options {
    uint64_t xts_initial_tweak = 0;
    int64_t xts_data_unit_length = 0;
    uint64_t chacha_initial_counter = 0;
    int32_t salsa20_algorithm = 1;
    int32_t salsa_rounds = 20;
    int32_t tea_rounds = 64;
    int32_t xtea_algorithm = 0;
  };
  const Options& OptionValues() const { return options_; }

 private:
  [[nodiscard]] int ParseOptions(const char* options);
  [[nodiscard]] int ApplyOption(const char* name, const char* value);
  [[nodiscard]] int SetupEngine(int32_t encrypting);
  [[nodiscard]] int Block(const uint8_t* in, uint8_t* out, int32_t length, bool forward);
  [[nodiscard]] int Blocks(const uint8_t* in, uint8_t* out, int32_t blocks, bool forward);
  bool UsesBulkAes();
  bool UsesForwardCipher() const;
  bool IsXts() const { return mode_ == kModeXts && algorithm_ == kCipherAes; }
  int32_t B() const { return block_bits_ / 8; }

  // The mode routines; each appends to out.
  [[nodiscard]] int CipherModeDispatch(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int EcbProcess(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int CbcProcess(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int CfbProcess(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int Cfb8Process(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int OfbProcess(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int Ofb8Process(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int EightBitFeedback(const uint8_t* in, int32_t length, core::BufferCore& out, bool cfb);
  struct FeedbackWork {
    uint8_t* reg;
    uint8_t* stream;
    uint8_t* dst;
  };
  [[nodiscard]] int BeginFeedback(int32_t length, core::BufferCore& out, FeedbackWork* work);
  [[nodiscard]] int CtrProcess(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int CtsProcess(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int CtsFinal(const uint8_t* in, int32_t length, core::BufferCore& out);
  [[nodiscard]] int StreamProcess(const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag);
  [[nodiscard]] int RemovePadding(core::BufferCore& out);
  // Register returns the chaining register widened to one block (missing bytes zero), stored back by
  // StoreRegister.
  uint8_t* LoadRegister();
  [[nodiscard]] int StoreRegister(const uint8_t* reg);
  // Scratch returns n bytes of scratch area `which`, inline up to 1024 bytes, else a Buffer: 0 the
  // register, 1 a keystream or cipher-output block, 2 the CTR batch and the CTS block, 3 the padded
  // last block.
  uint8_t* Scratch(int which, int32_t n);
  // Grow extends out by n bytes and returns where they start, or null (200).
  static uint8_t* Grow(core::BufferCore& out, int32_t n);

  int32_t algorithm_ = kCipherAes;
  int32_t key_bits_ = 256;
  int32_t block_bits_ = 128;
  int32_t mode_ = kModeCbc;
  int32_t padding_ = kPaddingNone;
  int32_t feedback_bits_ = 128;
  int32_t encrypting_ = 1;
  int32_t stream_ = 0;
  int32_t ready_ = 0;  // a set-up succeeded since the last change of algorithm, key or IV
  core::Buffer iv_;
  core::SecureBuffer key_;
  core::SecureBuffer working_iv_;
  core::Buffer tag_;
  core::Buffer aad_;
  int32_t tag_bits_ = 0;
  Options options_;
  AesContext aes_;
  RijndaelContext rijndael_;
  BlockCipherKeys block_keys_;
  core::SecureBuffer cts_hold_;
  core::SecureBuffer ctr_keystream_;
  int32_t ctr_position_ = 0;
  uint8_t scratch_[4][1024] = {};
  core::SecureBuffer wide_scratch_[4];
  StreamStates streams_ = {};
};

// BlockEncryptByAlgorithm and BlockDecryptByAlgorithm run one block (the whole length for the stream
// ciphers) by the cipher's internal id: 0, 200 when the schedule storage is missing, 2001 for an id
// without a block function. The decrypting form runs the forward cipher in CFB, OFB and CTR and for the
// stream ciphers.
[[nodiscard]] int BlockEncryptByAlgorithm(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length);
[[nodiscard]] int BlockDecryptByAlgorithm(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length);

}  // namespace velmora::crypto
