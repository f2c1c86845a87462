// InternalCipher: parameters, Init with its options, the key set-up, the block dispatchers, copying,
// the AEAD slots.
#include "crypto/cipher/internal_cipher.h"

#include <cstdlib>
#include <cstring>

#include "crypto/cipher/aes.h"
#include "crypto/cipher/cipher_cores.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// SameNameNoCase compares two option names without regard to ASCII case.
bool SameNameNoCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
    const char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

}  // namespace

// ---- schedule holders -----------------------------------------------------------------------------------

AesContext::AesContext()
    : round_keys_(static_cast<uint32_t*>(platform::Alloc(kRoundKeyWords * sizeof(uint32_t)))) {}

AesContext::~AesContext() {
  if (round_keys_ != nullptr) platform::SecureZero(round_keys_, kRoundKeyWords * sizeof(uint32_t));
  platform::Free(round_keys_, kRoundKeyWords * sizeof(uint32_t));
}

int AesContext::CopyFrom(const AesContext& other) {
  rounds_ = other.rounds_;
  if (round_keys_ == nullptr || other.round_keys_ == nullptr) return core::kOutOfMemory;
  std::memcpy(round_keys_, other.round_keys_, kRoundKeyWords * sizeof(uint32_t));
  return 0;
}

// ---- object storage -------------------------------------------------------------------------------------

void* CipherObject::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void CipherObject::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }


InternalCipher::InternalCipher() = default;

InternalCipher::~InternalCipher() {
  platform::SecureZero(scratch_, sizeof scratch_);
  platform::SecureZero(&streams_, sizeof streams_);
}

// ---- parameters -----------------------------------------------------------------------------------------

int InternalCipher::SetAlgorithm(int32_t internal_id) {
  stream_ = 0;
  algorithm_ = internal_id;
  ready_ = 0;
  const CipherDefaults* defaults = DefaultsFor(internal_id);
  if (defaults == nullptr) return kUnknownCipher;
  key_bits_ = defaults->key_bits;
  block_bits_ = defaults->block_bits;
  feedback_bits_ = defaults->block_bits;
  stream_ = defaults->stream;
  if (defaults->mode >= 0) mode_ = defaults->mode;
  if (defaults->padding >= 0) padding_ = defaults->padding;
  if (defaults->tag_bits >= 0) tag_bits_ = defaults->tag_bits;
  return 0;
}

int InternalCipher::SetKeySize(int32_t bits) {
  const int rc = CheckKeySize(bits);
  if (rc == 0) key_bits_ = bits;
  return rc;
}

int InternalCipher::SetBlockSize(int32_t bits) {
  const int rc = CheckBlockSize(bits);
  if (rc == 0) block_bits_ = bits;
  return rc;
}

int InternalCipher::SetKey(const uint8_t* bytes, int32_t length) {
  const int rc = CheckKeySize(length * 8);
  if (rc != 0) return rc;
  ready_ = 0;
  return key_.SetData(length > 0 && bytes != nullptr ? length : 0, bytes);
}

int InternalCipher::SetIv(const uint8_t* bytes, int32_t length) {
  if (mode_ == kModeEcb) return 0;
  const bool any_length = mode_ == kModeGcm || algorithm_ == kCipherAesGcm ||
                          algorithm_ == kCipherChaCha20Poly1305 || algorithm_ == kCipherAesOcb;
  if (!any_length) {
    const int rc = CheckBlockSize(length * 8);
    if (rc != 0) return rc;
  }
  ready_ = 0;
  return iv_.SetData(length > 0 && bytes != nullptr ? length : 0, bytes);
}

int InternalCipher::SetTagLength(int32_t bits) {
  if (algorithm_ == kCipherAesGcm && bits != 0) {
    const int rc = CheckTagSize(bits);
    if (rc != 0) return rc;
  }
  tag_bits_ = bits;
  return 0;
}

// ---- Init -------------------------------------------------------------------------------------------------

int InternalCipher::Init(int32_t algorithm, const uint8_t* key, int32_t key_length, const uint8_t* iv,
                         int32_t iv_length, int32_t decrypt, int32_t mode, int32_t padding, const char* options) {
  encrypting_ = decrypt == 0 ? 1 : 0;
  int rc = SetAlgorithm(algorithm);
  if (rc != 0) return rc;
  if (mode > 0) mode_ = mode;
  if (padding > 0) padding_ = padding;
  rc = SetKey(key, key_length);
  if (rc != 0) return rc;
  // A wrong IV ends Init here: the object is left without a key schedule rather than chaining from a
  // zero-filled register.
  if (iv != nullptr && iv_length > 0) {
    rc = SetIv(iv, iv_length);
    if (rc != 0) return rc;
  }
  rc = ParseOptions(options);
  if (rc != 0) return rc;
  return encrypting_ != 0 ? SetupEncryptEngine() : SetupDecryptEngine();
}

int InternalCipher::ParseOptions(const char* options) {
  if (options == nullptr || options[0] == '\0') return 0;
  core::Buffer text;
  int rc = text.SetString(options);
  if (rc != 0) return rc;
  char* item = text.Data();
  while (item != nullptr) {
    char* next = std::strchr(item, ',');
    if (next != nullptr) *next++ = '\0';
    char* equals = std::strchr(item, '=');
    // Items that are not exactly "name=value" are skipped.
    if (equals != nullptr && std::strchr(equals + 1, '=') == nullptr) {
      *equals = '\0';
      rc = ApplyOption(item, equals + 1);
      if (rc != 0) return rc;
    }
    item = next;
  }
  return 0;
}

int InternalCipher::ApplyOption(const char* name, const char* value) {
  const long long number = std::strtoll(value, nullptr, 10);
  const auto as_int = static_cast<int32_t>(number);
  if (SameNameNoCase(name, "AESXTSInitialTweak")) {
    options_.xts_initial_tweak = std::strtoull(value, nullptr, 10);
  } else if (SameNameNoCase(name, "AESXTSDataUnitLength")) {
    options_.xts_data_unit_length = number;
  } else if (SameNameNoCase(name, "ChaChaInitialCounter")) {
    options_.chacha_initial_counter = std::strtoull(value, nullptr, 10);
  } else if (SameNameNoCase(name, "Salsa20Algorithm")) {
    options_.salsa20_algorithm = as_int;
  } else if (SameNameNoCase(name, "SalsaRounds")) {
    if (number != 8 && number != 12 && number != 20) return kBadSalsaRounds;
    options_.salsa_rounds = as_int;
  } else if (SameNameNoCase(name, "TeaRounds")) {
    options_.tea_rounds = as_int;
  } else if (SameNameNoCase(name, "XTEAAlgorithm")) {
    options_.xtea_algorithm = as_int;
  } else if (SameNameNoCase(name, "BlockSize")) {
    return SetBlockSize(as_int);
  } else if (SameNameNoCase(name, "FeedbackSize")) {
    feedback_bits_ = as_int;
  }
  // UseAESASM and unknown names change nothing.
  return 0;
}

int InternalCipher::InitEncrypt(const uint8_t* key, int32_t key_length, const uint8_t* iv, int32_t iv_length) {
  int rc = SetKey(key, key_length);
  if (rc == 0 && iv != nullptr && iv_length > 0) rc = SetIv(iv, iv_length);
  return rc != 0 ? rc : SetupEncryptEngine();
}

int InternalCipher::InitDecrypt(const uint8_t* key, int32_t key_length, const uint8_t* iv, int32_t iv_length) {
  int rc = SetKey(key, key_length);
  if (rc == 0 && iv != nullptr && iv_length > 0) rc = SetIv(iv, iv_length);
  return rc != 0 ? rc : SetupDecryptEngine();
}

// ---- engine set-up and block dispatch ----------------------------------------------------------------------

bool InternalCipher::UsesForwardCipher() const {
  return mode_ == kModeCfb || mode_ == kModeOfb || mode_ == kModeCtr;
}

int InternalCipher::SetupEncryptEngine() { return SetupEngine(1); }
int InternalCipher::SetupDecryptEngine() { return SetupEngine(0); }

int InternalCipher::SetupEngine(int32_t encrypting) {
  ready_ = 0;
  ctr_position_ = 0;
  encrypting_ = encrypting;
  int rc = working_iv_.Assign(iv_);
  if (rc != 0) return rc;
  cts_hold_.Clear();
  ctr_keystream_.Clear();
  const CipherCore* core = FindCipherCore(algorithm_);
  if (core == nullptr) return kUnknownCipher;
  // CFB, OFB and CTR run the forward cipher in both directions.
  const bool decrypt_form = encrypting == 0 && !UsesForwardCipher();
  rc = IsXts() ? XtsSetup(*this, decrypt_form) : core->setup(*this, decrypt_form);
  if (rc == 0) ready_ = 1;
  return rc;
}

int BlockEncryptByAlgorithm(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  const CipherCore* core = FindCipherCore(cipher.Algorithm());
  if (core == nullptr || core->encrypt == nullptr) return kUnknownCipher;
  return core->encrypt(cipher, in, out, length);
}

int BlockDecryptByAlgorithm(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  const CipherCore* core = FindCipherCore(cipher.Algorithm());
  if (core == nullptr || core->decrypt == nullptr) return kUnknownCipher;
  const int32_t mode = cipher.Mode();
  if (mode == kModeCfb || mode == kModeOfb || mode == kModeCtr || core->whole_length) {
    return BlockEncryptByAlgorithm(cipher, in, out, length);
  }
  return core->decrypt(cipher, in, out, length);
}

int InternalCipher::Block(const uint8_t* in, uint8_t* out, int32_t length, bool forward) {
  return forward ? BlockEncryptByAlgorithm(*this, in, out, length) : BlockDecryptByAlgorithm(*this, in, out, length);
}

int InternalCipher::Blocks(const uint8_t* in, uint8_t* out, int32_t blocks, bool forward) {
  if (blocks <= 0) return 0;
  const int32_t b = B();
  // The first block goes through the checked dispatcher, which also tests the schedule storage.
  int rc = Block(in, out, b, forward);
  if (rc != 0 || blocks == 1) return rc;
  const CipherCore* core = FindCipherCore(algorithm_);
  auto* bulk = forward ? core->encrypt_blocks : core->decrypt_blocks;
  if (bulk != nullptr) {
    bulk(*this, in + b, out + b, static_cast<size_t>(blocks - 1));
    return 0;
  }
  for (int32_t i = 1; i < blocks && rc == 0; ++i) rc = Block(in + i * b, out + i * b, b, forward);
  return rc;
}

// ---- copy -----------------------------------------------------------------------------------------------

int InternalCipher::CopyFrom(const InternalCipher& other) {
  algorithm_ = other.algorithm_;
  key_bits_ = other.key_bits_;
  block_bits_ = other.block_bits_;
  mode_ = other.mode_;
  padding_ = other.padding_;
  feedback_bits_ = other.feedback_bits_;
  encrypting_ = other.encrypting_;
  stream_ = other.stream_;
  ready_ = other.ready_;
  tag_bits_ = other.tag_bits_;
  options_ = other.options_;
  ctr_position_ = other.ctr_position_;
  streams_ = other.streams_;
  int rc = iv_.Assign(other.iv_);
  if (rc == 0) rc = key_.Assign(other.key_);
  if (rc == 0) rc = working_iv_.Assign(other.working_iv_);
  if (rc == 0) rc = tag_.Assign(other.tag_);
  if (rc == 0) rc = aad_.Assign(other.aad_);
  if (rc == 0) rc = cts_hold_.Assign(other.cts_hold_);
  if (rc == 0) rc = ctr_keystream_.Assign(other.ctr_keystream_);
  if (rc == 0) rc = aes_.CopyFrom(other.aes_);
  if (rc == 0) rc = rijndael_.CopyFrom(other.rijndael_);
  if (rc == 0) rc = block_keys_.CopyFrom(other.block_keys_);
  if (rc != 0) ready_ = 0;
  return rc;
}

// ---- AEAD slots -----------------------------------------------------------------------------------------

int InternalCipher::ReInitAead(const uint8_t* iv, int32_t iv_length, int32_t tag_bytes, const uint8_t* aad,
                               int32_t aad_length, int32_t) {
  int rc = SetTagLength(tag_bytes * 8);
  if (rc == 0) rc = SetIv(iv, iv_length);
  if (rc == 0) rc = aad_.SetData(aad != nullptr && aad_length > 0 ? aad_length : 0, aad);
  if (rc != 0) return rc;
  return encrypting_ != 0 ? SetupEncryptEngine() : SetupDecryptEngine();
}

int InternalCipher::EncryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                int32_t final_flag) {
  if (final_flag == 0) return Encrypt(data, offset, length, out, 0);
  const int rc = ProcessFinal(data, offset, *length, out);
  return rc != 0 ? rc : out.Append(tag_);
}

int InternalCipher::DecryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                                int32_t final_flag) {
  if (final_flag == 0) return Decrypt(data, offset, length, out, 0);
  const int32_t tag_bytes = tag_bits_ / 8;
  if (*length < tag_bytes) return kBadTagSize;
  const int32_t body = *length - tag_bytes;
  const int rc = tag_.SetData(tag_bytes, data + offset + body);
  return rc != 0 ? rc : ProcessFinal(data, offset, body, out);
}

}  // namespace velmora::crypto
