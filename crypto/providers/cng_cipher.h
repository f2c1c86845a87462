// CngCipher, the platform twin of InternalCipher for aes (engine id 0), 3des (2) and aes-gcm (15): the same
// slots, with the block work done by the platform's BCrypt functions (bcrypt_cipher_functions.h). The
// platform chains ECB, CBC, CFB and GCM; counter mode runs here over platform ECB, and XTS over the
// platform's "XTS-AES" algorithm or, where that is missing, over two AES-ECB keys.
//
// Where a caller sees a difference from InternalCipher: key lengths 16, 24 or 32 bytes (601) and, outside
// ECB and GCM, a one-block IV (602); data that is not whole blocks where blocks are needed gives 602;
// a GCM tag mismatch 2010; padding removal reads the count from the last byte only; platform statuses
// pass through unchanged.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/crypto/cipher_types.h"

namespace velmora::crypto {

// CipherBase is the interface both cipher objects present to a CryptoComponent.
using CipherBase = CipherObject;

// Codes of the platform cipher beyond those of cipher_params.h.
constexpr int kPlatformUnavailable = 600;
constexpr int kPlatformBadKeyLength = 601;
constexpr int kPlatformBadLength = 602;
constexpr int kPlatformBadMode = 604;
constexpr int kPlatformTagMismatch = 2010;

// CngXtsState is the handle block of platform XTS (also held alone by a component as id 53): the
// platform's "XTS-AES" key, or two AES-ECB keys (data, tweak) in heap key objects, the number of the
// next data unit and the data-unit length. On the two-key path the tweak of the current unit and the
// block index within it are kept across calls, so a unit may be split over calls.
struct CngXtsState {
  platform::BCRYPT_ALG_HANDLE algorithm = nullptr;
  platform::BCRYPT_KEY_HANDLE data_key = nullptr;
  platform::BCRYPT_KEY_HANDLE tweak_key = nullptr;
  uint8_t* data_key_object = nullptr;
  uint8_t* tweak_key_object = nullptr;
  uint32_t data_key_object_size = 0;
  uint32_t tweak_key_object_size = 0;
  uint64_t unit = 0;
  int32_t native = 0;
  int32_t unit_length = 0;
  // Two-key path only.
  uint64_t block_index = 0;
  int32_t tweak_ready = 0;
  uint8_t tweak[16] = {};
  core::SecureBuffer scratch;

  // SetKey is CngXtsImportKey and SetDataUnitLength CngSetMessageBlockLength on this block.
  [[nodiscard]] int SetKey(const uint8_t* key, int32_t key_length);
  [[nodiscard]] int SetDataUnitLength(int32_t length);
};

// CngXtsImportKey keys the block: through "XTS-AES" when the platform has it (the whole key; data-unit
// length 512), else through two AES-ECB keys of half the length each. 0, 600 when the BCrypt functions
// are not loaded, 200 without memory for a key object, or the platform's status.
[[nodiscard]] int CngXtsImportKey(CngXtsState& xts, const uint8_t* key, int32_t key_length);
// CngSetMessageBlockLength sets the data-unit length in bytes (a multiple of 16, else 602) and, on the
// "XTS-AES" key, its "MessageBlockLength": 0 or the platform's status.
[[nodiscard]] int CngSetMessageBlockLength(CngXtsState& xts, int32_t length);
// ProbeCngCfbSupport returns 1 when the platform accepts full-block CFB, else 0. The first definite
// answer is kept for the process; ResetCngCfbProbeForTest forgets it.
int ProbeCngCfbSupport();
void ResetCngCfbProbeForTest();

inline int CngXtsState::SetKey(const uint8_t* key, int32_t key_length) { return CngXtsImportKey(*this, key, key_length); }
inline int CngXtsState::SetDataUnitLength(int32_t length) { return CngSetMessageBlockLength(*this, length); }

class CngCipher final : public CipherObject {
 public:
  CngCipher() = default;
  ~CngCipher() override;

  // SetConfig sets the object up for one message (engine id, key, IV, decrypt flag, mode, padding and
  // the options "AESXTSInitialTweak", "AESXTSDataUnitLength", "FeedbackSize"): 0, or 600 (id, functions
  // or full-block CFB not available), 601 (key length), 602 (IV length, a nonce above 16 bytes, an XTS
  // data unit not a multiple of 16), 604 (mode), 200, or the platform's status. Nothing else works until
  // it succeeded.
  [[nodiscard]] int SetConfig(int32_t engine_id, const uint8_t* key, int32_t key_length, const uint8_t* iv,
                              int32_t iv_length, int32_t decrypt, int32_t mode, int32_t padding, const char* options);
  [[nodiscard]] int Init(int32_t engine_id, const uint8_t* key, int32_t key_length, const uint8_t* iv,
                         int32_t iv_length, int32_t decrypt, int32_t mode, int32_t padding,
                         const char* options) override {
    return SetConfig(engine_id, key, key_length, iv, iv_length, decrypt, mode, padding, options);
  }
  [[nodiscard]] int Encrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                            int32_t final_flag) override;
  [[nodiscard]] int Decrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                            int32_t final_flag) override;
  int32_t BlockSize() const override { return block_bits_; }
  int32_t BlockSizeBytes() const { return block_bits_ / 8; }
  // ReInitAead starts a GCM message: tag length in bytes (at most 16, else 2009), a nonce (at most 16
  // bytes, else 602; length 0 keeps the current one) and AAD. The last argument is not used here.
  [[nodiscard]] int ReInitAead(const uint8_t* iv, int32_t iv_length, int32_t tag_bytes, const uint8_t* aad,
                               int32_t aad_length, int32_t flag) override;
  // EncryptAead and DecryptAead run GCM pieces; a piece before the final one is cut to whole 16-byte
  // blocks and *length says how much was taken. The final DecryptAead takes the tag from the end of its
  // piece (shorter than the tag: 602); a mismatch gives 2010 and appends nothing.
  [[nodiscard]] int EncryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                int32_t final_flag) override;
  [[nodiscard]] int DecryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                int32_t final_flag) override;

  // CtrKeystream XORs length bytes of counter-mode keystream (the counter in the IV, encrypted through
  // platform ECB, incremented as a big-endian number) into output; *produced gets the count.
  [[nodiscard]] int CtrKeystream(const uint8_t* input, int32_t length, uint8_t* output, int32_t* produced);
  [[nodiscard]] int CtrWholeBlocks(const uint8_t* input, int32_t blocks, uint8_t* output, int32_t* done);
  // XtsProcess runs *length bytes of XTS (direction 1 encrypt, 0 decrypt) into output, at least 16 bytes
  // (602), a partial last block only on the final call.
  [[nodiscard]] static int XtsProcess(CngXtsState& xts, const uint8_t* input, int32_t* length, uint8_t* output,
                               int32_t direction, int32_t final_flag);
  // ReleaseHandles closes and frees everything the block holds.
  static void ReleaseHandles(CngXtsState& xts);

  int32_t Mode() const { return mode_; }
  int32_t Padding() const { return padding_; }
  int32_t MessageBlockBytes() const { return message_block_bytes_; }
  const CngXtsState& Xts() const { return xts_; }
  bool UsesHeapKeyObject() const { return key_object_ != nullptr && key_object_ != key_object_inline_; }

 private:
  void BuildAuthInfo();
  void ReleaseKey();
  [[nodiscard]] int ConfigureXts(const uint8_t* key, int32_t key_length, bool tweak_given, int64_t tweak,
                                 bool unit_given, int64_t unit_length);
  [[nodiscard]] int OpenAndImport(int32_t engine_id, const uint8_t* key, int32_t key_length, const char16_t* chaining);
  [[nodiscard]] int StreamPath(const uint8_t* in, int32_t* length, core::BufferCore& out, int32_t direction,
                               int32_t final_flag);
  [[nodiscard]] int RunBlocks(bool encrypt, const uint8_t* input, int32_t length, uint8_t* output, int32_t room,
                              int32_t* produced);
  [[nodiscard]] static int XtsTwoKeys(CngXtsState& xts, const uint8_t* input, int32_t length, uint8_t* output, bool encrypt);
  [[nodiscard]] static int XtsNextTweak(CngXtsState& xts);
  [[nodiscard]] int RemovePadding(core::BufferCore& out) const;

  int32_t mode_ = kModeCbc;
  int32_t padding_ = kPaddingNone;
  int32_t feedback_bits_ = 128;
  int32_t message_block_bytes_ = 16;
  int32_t block_bits_ = 128;
  int32_t decrypt_ = 0;
  int32_t configured_ = 0;
  platform::BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  int32_t algorithm_family_ = -1;  // the engine id the handle was opened for
  platform::BCRYPT_KEY_HANDLE key_ = nullptr;
  uint8_t* key_object_ = nullptr;
  uint32_t key_object_size_ = 0;
  uint8_t* iv_ = nullptr;
  int32_t iv_length_ = 0;
  uint8_t iv_copy_[16] = {};
  uint8_t key_object_inline_[1024] = {};
  uint8_t keystream_[16] = {};
  int32_t keystream_position_ = 0;
  core::Buffer aad_;
  int32_t tag_length_ = 0;
  uint8_t tag_[16] = {};
  uint8_t chaining_iv_[16] = {};
  uint8_t mac_context_[16] = {};
  platform::BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO auth_info_ = {};
  CngXtsState xts_;
  int32_t xts_flag_ = 0;
};

namespace internal {
// ForcePortableCtrCounters(true) lays counter blocks out one at a time in 64-bit registers instead of
// two to an AVX2 store, for tests and benchmarks that compare both forms.
void ForcePortableCtrCounters(bool portable);
}  // namespace internal

}  // namespace velmora::crypto
