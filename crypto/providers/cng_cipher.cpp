#include "crypto/providers/cng_cipher.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/byte_order.h"
#include "crypto/providers/bcrypt_cipher_functions.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kInlineKeyObject = 1024;
constexpr int64_t kDefaultDataUnit = 512;

BcryptCipherFunctions& F() { return BcryptCipherTable(); }

struct ConfigOptions {
  bool tweak_given = false;
  int64_t tweak = 0;
  bool unit_given = false;
  int64_t unit_length = 0;
  bool feedback_given = false;
  int64_t feedback_bits = 0;
};

// ParseConfigOptions reads "Name=Value" items joined by ","; items that are not exactly a name and a
// value, and unknown names, are skipped.
ConfigOptions ParseConfigOptions(const char* options) {
  ConfigOptions parsed;
  if (options == nullptr) return parsed;
  const char* item = options;
  while (*item != '\0') {
    const char* end = std::strchr(item, ',');
    if (end == nullptr) end = item + std::strlen(item);
    char text[96];
    const size_t length = static_cast<size_t>(end - item);
    if (length < sizeof text) {
      std::memcpy(text, item, length);
      text[length] = '\0';
      char* equals = std::strchr(text, '=');
      if (equals != nullptr && equals != text && equals[1] != '\0' && std::strchr(equals + 1, '=') == nullptr) {
        *equals = '\0';
        const long long value = std::strtoll(equals + 1, nullptr, 10);
        if (platform::CompareAsciiNoCase(text, "AESXTSInitialTweak") == 0) {
          parsed.tweak_given = true;
          parsed.tweak = value;
        } else if (platform::CompareAsciiNoCase(text, "AESXTSDataUnitLength") == 0) {
          parsed.unit_given = true;
          parsed.unit_length = value;
        } else if (platform::CompareAsciiNoCase(text, "FeedbackSize") == 0) {
          parsed.feedback_given = true;
          parsed.feedback_bits = value;
        }
      }
    }
    item = *end == ',' ? end + 1 : end;
  }
  return parsed;
}

const char16_t* ChainingName(int32_t mode) {
  switch (mode) {
    case kModeCbc:
      return u"ChainingModeCBC";
    case kModeEcb:
    case kModeCtr:  // the keystream is made here over ECB
      return u"ChainingModeECB";
    case kModeCfb:
      return u"ChainingModeCFB";
    case kModeGcm:
      return u"ChainingModeGCM";
    default:
      return nullptr;
  }
}

uint32_t WideBytes(const char16_t* text) {
  uint32_t n = 0;
  while (text[n] != 0) ++n;
  return 2 * (n + 1);
}

// Grow extends out by n bytes and returns where they start, or null.
uint8_t* Grow(core::BufferCore& out, int32_t n) {
  const int32_t old = out.Length();
  if (n < 0 || n > INT32_MAX - old || out.SetData(old + n, nullptr) != 0) return nullptr;
  return reinterpret_cast<uint8_t*>(out.Data()) + old;
}

}  // namespace

CngCipher::~CngCipher() {
  ReleaseKey();
  if (algorithm_ != nullptr && F().close_algorithm_provider != nullptr) {
    (void)F().close_algorithm_provider(algorithm_, 0);
  }
  algorithm_ = nullptr;
  ReleaseHandles(xts_);
  (void)aad_.Clear();
  platform::SecureZero(iv_copy_, sizeof iv_copy_);
  platform::SecureZero(keystream_, sizeof keystream_);
  platform::SecureZero(key_object_inline_, sizeof key_object_inline_);
}

void CngCipher::ReleaseKey() {
  if (key_ != nullptr && F().destroy_key != nullptr) (void)F().destroy_key(key_);
  key_ = nullptr;
  if (UsesHeapKeyObject()) {
    platform::SecureZero(key_object_, key_object_size_);
    platform::Free(key_object_, key_object_size_);
  }
  key_object_ = nullptr;
  key_object_size_ = 0;
}

// ---- Configuration --------------------------------------------------------------------------------------

int CngCipher::SetConfig(int32_t engine_id, const uint8_t* key, int32_t key_length, const uint8_t* iv,
                         int32_t iv_length, int32_t decrypt, int32_t mode, int32_t padding, const char* options) {
  configured_ = 0;
  if (engine_id == kEngineCipherAes || engine_id == kEngineCipherAesGcm) {
    block_bits_ = 128;
  } else if (engine_id == kEngineCipher3Des) {
    block_bits_ = 64;
  } else {
    return kPlatformUnavailable;
  }
  feedback_bits_ = block_bits_;
  keystream_position_ = 0;
  const ConfigOptions parsed = ParseConfigOptions(options);
  if (parsed.feedback_given) feedback_bits_ = static_cast<int32_t>(parsed.feedback_bits);

  if (engine_id == kEngineCipherAes && mode == kModeXts) {
    const int rc = ConfigureXts(key, key_length, parsed.tweak_given, parsed.tweak, parsed.unit_given,
                                parsed.unit_length);
    xts_flag_ = rc == 0 ? 1 : 0;
    configured_ = rc == 0 ? 1 : 0;
    return rc;
  }
  xts_flag_ = 0;
  const BcryptCipherFunctions& f = F();
  // The block operations call the rest unchecked, so configuration asks for all of them.
  if (f.open_algorithm_provider == nullptr || f.get_property == nullptr || f.import_key == nullptr ||
      f.set_property == nullptr || f.encrypt == nullptr || f.decrypt == nullptr) {
    return kPlatformUnavailable;
  }
  if (key == nullptr || (key_length != 16 && key_length != 24 && key_length != 32)) return kPlatformBadKeyLength;
  if (engine_id == kEngineCipher3Des && key_length == 32) return kPlatformBadKeyLength;
  decrypt_ = decrypt;
  const bool gcm_engine = engine_id == kEngineCipherAesGcm;
  mode_ = mode < 1 ? (gcm_engine ? kModeGcm : kModeCbc) : mode;
  padding_ = padding < 1 ? kPaddingNone : padding;
  tag_length_ = gcm_engine ? 12 : 0;
  const char16_t* chaining = ChainingName(mode_);
  if (chaining == nullptr) return kPlatformBadMode;
  const int32_t block_bytes = BlockSizeBytes();
  if (mode_ != kModeEcb && mode_ != kModeGcm && (iv == nullptr || iv_length != block_bytes)) return kPlatformBadLength;
  // The IV copy holds 16 bytes; a longer GCM nonce is not taken, and neither is an empty one (NIST SP
  // 800-38D section 8.2: without a nonce every message under the key shares one keystream).
  if (mode_ == kModeGcm && (iv == nullptr || iv_length < 1 || iv_length > 16)) return kPlatformBadLength;
  if (mode_ == kModeCfb && (feedback_bits_ < 8 || feedback_bits_ % 8 != 0 || feedback_bits_ > block_bits_)) {
    return kPlatformBadLength;
  }
  if (mode_ == kModeEcb) {
    iv_ = nullptr;
    iv_length_ = 0;
  } else {
    const int32_t n = iv != nullptr && iv_length > 0 ? iv_length : 0;
    if (n > 0) std::memcpy(iv_copy_, iv, static_cast<size_t>(n));
    iv_ = iv_copy_;
    iv_length_ = n;
  }
  uint8_t key24[24];
  if (engine_id == kEngineCipher3Des && key_length == 16) {
    // Two-key 3DES is K1 K2 K1.
    std::memcpy(key24, key, 16);
    std::memcpy(key24 + 16, key, 8);
    key = key24;
    key_length = 24;
  }
  const int rc = OpenAndImport(engine_id, key, key_length, chaining);
  platform::SecureZero(key24, sizeof key24);
  configured_ = rc == 0 ? 1 : 0;
  return rc;
}

int CngCipher::OpenAndImport(int32_t engine_id, const uint8_t* key, int32_t key_length, const char16_t* chaining) {
  const BcryptCipherFunctions& f = F();
  // The handle is kept across configurations of the same algorithm; another algorithm needs its own.
  const int32_t family = engine_id == kEngineCipher3Des ? kEngineCipher3Des : kEngineCipherAes;
  if (algorithm_ != nullptr && algorithm_family_ != family && f.close_algorithm_provider != nullptr) {
    (void)f.close_algorithm_provider(algorithm_, 0);
    algorithm_ = nullptr;
  }
  if (algorithm_ == nullptr) {
    const int32_t status = f.open_algorithm_provider(&algorithm_, family == kEngineCipher3Des ? u"3DES" : u"AES",
                                                     mode_ == kModeGcm ? u"Microsoft Primitive Provider" : nullptr, 0);
    if (status != 0) {
      algorithm_ = nullptr;
      return status;
    }
    algorithm_family_ = family;
  }
  // A key of an earlier configuration goes before its successor is made.
  ReleaseKey();
  platform::DWORD object_length = 0;
  platform::ULONG got = 0;
  int32_t status = f.get_property(algorithm_, u"ObjectLength", reinterpret_cast<uint8_t*>(&object_length),
                                  sizeof object_length, &got, 0);
  if (status != 0) return status;
  if (object_length > static_cast<platform::DWORD>(kInlineKeyObject)) {
    key_object_ = static_cast<uint8_t*>(platform::Alloc(object_length));
    if (key_object_ == nullptr) return core::kOutOfMemory;
  } else {
    key_object_ = key_object_inline_;
  }
  key_object_size_ = object_length;
  status = f.set_property(algorithm_, u"ChainingMode", reinterpret_cast<const uint8_t*>(chaining),
                          WideBytes(chaining), 0);
  if (status != 0) return status;
  message_block_bytes_ = BlockSizeBytes();
  if (mode_ == kModeCfb) {
    message_block_bytes_ = feedback_bits_ / 8;
    const platform::DWORD step = static_cast<platform::DWORD>(message_block_bytes_);
    status = f.set_property(algorithm_, u"MessageBlockLength", reinterpret_cast<const uint8_t*>(&step), sizeof step, 0);
    if (status == platform::kStatusNotSupported) {
      // A smaller step is the platform's default CFB, which moves one byte at a time.
      if (feedback_bits_ == block_bits_) return kPlatformUnavailable;
    } else if (status != 0) {
      return status;
    }
  }
  uint8_t blob[platform::kBcryptKeyDataBlobHeaderSize + 32];
  const platform::ULONG header[3] = {platform::kBcryptKeyDataBlobMagic, platform::kBcryptKeyDataBlobVersion1,
                                     static_cast<platform::ULONG>(key_length)};
  std::memcpy(blob, header, sizeof header);
  std::memcpy(blob + sizeof header, key, static_cast<size_t>(key_length));
  status = f.import_key(algorithm_, nullptr, u"KeyDataBlob", &key_, key_object_, key_object_size_, blob,
                        platform::kBcryptKeyDataBlobHeaderSize + static_cast<platform::ULONG>(key_length), 0);
  platform::SecureZero(blob, sizeof blob);
  if (status != 0) key_ = nullptr;
  return status;
}

int CngCipher::ConfigureXts(const uint8_t* key, int32_t key_length, bool tweak_given, int64_t tweak, bool unit_given,
                            int64_t unit_length) {
  if (F().encrypt == nullptr || F().decrypt == nullptr) return kPlatformUnavailable;
  // Without the options the first unit is 0 and a unit is 512 bytes, as in the library's own XTS.
  const int64_t unit = unit_given ? unit_length : kDefaultDataUnit;
  if (unit < 16 || unit % 16 != 0 || unit > INT32_MAX) return kPlatformBadLength;
  int rc = CngXtsImportKey(xts_, key, key_length);
  if (rc != 0) return rc;
  rc = CngSetMessageBlockLength(xts_, static_cast<int32_t>(unit));
  if (rc != 0) return rc;
  xts_.unit = tweak_given ? static_cast<uint64_t>(tweak) : 0;
  xts_.block_index = 0;
  xts_.tweak_ready = 0;
  block_bits_ = 128;
  feedback_bits_ = 128;
  keystream_position_ = 0;
  return 0;
}

// ---- Counter mode ---------------------------------------------------------------------------------------

namespace {

std::atomic<bool> g_portable_counters{false};

// The counter is the IV, which travels with the ciphertext: the layout below may branch on its value
// (whether the low half wraps inside a run) without telling anything about the key or the data.

// LayCountersPortable writes n big-endian counters from (high, low) at stream, stepping the two 64-bit
// halves in registers with the carry into the high half.
void LayCountersPortable(uint8_t* stream, uint64_t& high, uint64_t& low, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const uint64_t words[2] = {__builtin_bswap64(high), __builtin_bswap64(low)};
    std::memcpy(stream + 16 * i, words, 16);
    high += ++low == 0 ? 1 : 0;
  }
}

#if defined(__x86_64__)
// LayCountersAvx2 writes n counters (n even) two to a 256-bit store: the lanes hold (high, low, high,
// low + 1) as numbers, step by two in the low halves and are byte-swapped on the way out. The caller
// makes sure the low half does not wrap inside the run.
__attribute__((target("avx2"))) void LayCountersAvx2(uint8_t* stream, uint64_t high, uint64_t low, int32_t n) {
  const __m256i swap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,  //
                                        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  const auto h = static_cast<long long>(high);
  const __m256i step = _mm256_setr_epi64x(0, 2, 0, 2);
  const __m256i step4 = _mm256_setr_epi64x(0, 8, 0, 8);
  __m256i c0 = _mm256_setr_epi64x(h, static_cast<long long>(low), h, static_cast<long long>(low + 1));
  __m256i c1 = _mm256_add_epi64(c0, step);
  __m256i c2 = _mm256_add_epi64(c1, step);
  __m256i c3 = _mm256_add_epi64(c2, step);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(stream + 16 * i), _mm256_shuffle_epi8(c0, swap));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(stream + 16 * i + 32), _mm256_shuffle_epi8(c1, swap));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(stream + 16 * i + 64), _mm256_shuffle_epi8(c2, swap));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(stream + 16 * i + 96), _mm256_shuffle_epi8(c3, swap));
    c0 = _mm256_add_epi64(c0, step4);
    c1 = _mm256_add_epi64(c1, step4);
    c2 = _mm256_add_epi64(c2, step4);
    c3 = _mm256_add_epi64(c3, step4);
  }
  for (; i < n; i += 2) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(stream + 16 * i), _mm256_shuffle_epi8(c0, swap));
    c0 = _mm256_add_epi64(c0, step);
  }
  _mm256_zeroupper();
}
#endif

// LayCounters writes n counters from the IV's halves and leaves the halves n steps on.
void LayCounters(uint8_t* stream, uint64_t& high, uint64_t& low, int32_t n) {
#if defined(__x86_64__)
  const auto even = static_cast<uint64_t>(n & ~1);
  if (even >= 2 && low <= UINT64_MAX - (even - 1) && !g_portable_counters.load(std::memory_order_relaxed) &&
      internal::CpuHasAvx2()) {
    LayCountersAvx2(stream, high, low, static_cast<int32_t>(even));
    low += even;  // 0 exactly when the next counter carries into the high half
    if (low == 0) ++high;
    LayCountersPortable(stream + 16 * even, high, low, n - static_cast<int32_t>(even));
    return;
  }
#endif
  LayCountersPortable(stream, high, low, n);
}

}  // namespace

void internal::ForcePortableCtrCounters(bool portable) {
  g_portable_counters.store(portable, std::memory_order_relaxed);
}

int CngCipher::CtrKeystream(const uint8_t* input, int32_t length, uint8_t* output, int32_t* produced) {
  *produced = 0;
  if (length < 1) return 0;
  const int32_t b = iv_length_;
  if (b < 1 || b > 16) return kPlatformBadLength;
  while (*produced < length) {
    if (keystream_position_ == 0 && b == 16 && length - *produced >= 16) {
      int32_t done = 0;
      const int rc = CtrWholeBlocks(input + *produced, (length - *produced) / 16, output + *produced, &done);
      if (rc != 0) return rc;
      *produced += 16 * done;
      continue;
    }
    if (keystream_position_ == 0) {
      std::memcpy(keystream_, iv_, static_cast<size_t>(b));
      platform::ULONG got = 0;
      const int32_t status = F().encrypt(key_, keystream_, static_cast<platform::ULONG>(b), nullptr, nullptr, 0,
                                         keystream_, static_cast<platform::ULONG>(b), &got, 0);
      if (status != 0) return status;
    }
    const int32_t at = keystream_position_;
    int32_t n = b - at;
    if (n > length - *produced) {
      n = length - *produced;
      keystream_position_ += n;
    } else {
      IncrementCounterBigEndian(iv_, b);
      keystream_position_ = 0;
    }
    XorBytes(output + *produced, input + *produced, keystream_ + at, n);
    *produced += n;
  }
  return 0;
}

// CtrWholeBlocks runs a run of whole 16-byte blocks: their counters laid out, encrypted in one platform
// call, XORed with the data; *done receives their count. The keystream is made in the output itself
// when it does not overlap the input, else in a local buffer of fewer blocks. 0, the platform's status,
// or 600 when it reported fewer bytes than asked.
int CngCipher::CtrWholeBlocks(const uint8_t* input, int32_t blocks, uint8_t* output, int32_t* done) {
  constexpr int32_t kDirectRun = 1024;  // 16 KiB of keystream per platform call
  constexpr int32_t kBufferedRun = 256;
  *done = 0;
  uint8_t buffer[16 * kBufferedRun];
  const auto span = static_cast<size_t>(blocks) * 16;
  const bool apart = output + span <= input || input + span <= output;
  const int32_t n = blocks < (apart ? kDirectRun : kBufferedRun) ? blocks : (apart ? kDirectRun : kBufferedRun);
  uint8_t* stream = apart ? output : buffer;
  // The counter is stepped as two 64-bit halves in registers and written back once.
  uint64_t high = core::LoadUInt64BE(iv_), low = core::LoadUInt64BE(iv_ + 8);
  LayCounters(stream, high, low, n);
  core::StoreUInt64BE(iv_, high);
  core::StoreUInt64BE(iv_ + 8, low);
  const auto bytes = static_cast<platform::ULONG>(16 * n);
  platform::ULONG got = 0;
  const int32_t status = F().encrypt(key_, stream, bytes, nullptr, nullptr, 0, stream, bytes, &got, 0);
  const bool whole = status == 0 && got == bytes;
  if (whole) XorBytes(output, input, stream, 16 * n);
  // Keystream must not stay behind: in the local buffer, nor in the output after a failed call.
  if (!apart) platform::SecureZero(buffer, sizeof buffer);
  if (apart && !whole) platform::SecureZero(output, 16 * static_cast<size_t>(n));
  if (status != 0) return status;
  if (!whole) return kPlatformUnavailable;
  *done = n;
  return 0;
}

// RunBlocks sends length bytes through the platform (or the keystream in CTR) until all are done, each
// call taking only what is left.
int CngCipher::RunBlocks(bool encrypt, const uint8_t* input, int32_t length, uint8_t* output, int32_t room,
                         int32_t* produced) {
  *produced = 0;
  while (*produced < length) {
    int32_t count = 0;
    if (mode_ == kModeCtr) {
      const int rc = CtrKeystream(input + *produced, length - *produced, output + *produced, &count);
      if (rc != 0) return rc;
    } else {
      platform::ULONG got = 0;
      const platform::BCryptCipherFn call = encrypt ? F().encrypt : F().decrypt;
      const int32_t status = call(key_, input + *produced, static_cast<platform::ULONG>(length - *produced), nullptr,
                                  iv_, static_cast<platform::ULONG>(iv_length_), output + *produced,
                                  static_cast<platform::ULONG>(room - *produced), &got, 0);
      if (status != 0) return status;
      count = got > static_cast<platform::ULONG>(length - *produced) ? 0 : static_cast<int32_t>(got);
    }
    // A platform call that makes no progress would loop for ever.
    if (count <= 0) return kPlatformUnavailable;
    *produced += count;
  }
  return 0;
}

// ---- Encrypt and Decrypt --------------------------------------------------------------------------------

// StreamPath runs XTS (a non-final piece cut to whole blocks) and CTR without padding, which take the
// data as it comes; *length becomes the bytes produced.
int CngCipher::StreamPath(const uint8_t* in, int32_t* length, core::BufferCore& out, int32_t direction,
                          int32_t final_flag) {
  const int32_t old = out.Length();
  int32_t n = *length;
  if (xts_flag_ != 0 && final_flag == 0) n -= n % 16;
  uint8_t* dst = Grow(out, n);
  if (dst == nullptr) return core::kOutOfMemory;
  int32_t produced = n;
  const int rc = xts_flag_ != 0 ? XtsProcess(xts_, in, &produced, dst, direction, final_flag)
                                : CtrKeystream(in, n, dst, &produced);
  (void)out.SetData(rc == 0 ? old + produced : old, nullptr);
  if (rc == 0) *length = produced;
  return rc;
}

int CngCipher::Encrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                       int32_t final_flag) {
  if (configured_ == 0) return kWrongPhase;
  if (length == nullptr || *length < 0 || (data == nullptr && *length > 0)) return kPlatformBadLength;
  const uint8_t* in = data + offset;
  if (xts_flag_ != 0 || (mode_ == kModeCtr && padding_ == kPaddingNone)) {
    return StreamPath(in, length, out, 1, final_flag);
  }
  const int32_t old = out.Length();
  int32_t n = *length;
  const int32_t b = BlockSizeBytes();
  const int32_t r = padding_ == kPaddingNone && message_block_bytes_ == 1 ? 0 : n % b;
  if (final_flag == 0 && r >= 1 && mode_ != kModeCtr) return kPlatformBadLength;
  if (final_flag != 0 && padding_ == kPaddingNone && r >= 1 && message_block_bytes_ > 1 && mode_ != kModeCfb &&
      mode_ != kModeCtr) {
    return kPlatformBadLength;
  }
  uint8_t* dst = Grow(out, n + b);
  if (dst == nullptr) return core::kOutOfMemory;
  int32_t produced = 0;
  int rc = RunBlocks(true, in, n - r, dst, n + b, &produced);
  if (rc == 0 && final_flag != 0) {
    uint8_t last[16];
    std::memcpy(last, in + n - r, static_cast<size_t>(r));
    int32_t piece = r;
    int32_t fill = 0;
    if (padding_ != kPaddingNone) {
      FillPadding(last + r, b - r, padding_);
      piece = b;
    } else if (mode_ == kModeCfb && r % message_block_bytes_ != 0) {
      fill = message_block_bytes_ - r % message_block_bytes_;
      std::memset(last + r, 0, static_cast<size_t>(fill));
      piece = r + fill;
    }
    int32_t done = 0;
    if (piece > 0) rc = RunBlocks(true, last, piece, last, piece, &done);
    if (rc == 0) {
      std::memcpy(dst + produced, last, static_cast<size_t>(piece - fill));
      produced += piece - fill;
    }
    platform::SecureZero(last, sizeof last);
  }
  (void)out.SetData(rc == 0 ? old + produced : old, nullptr);
  if (rc == 0) *length = produced;
  return rc;
}

int CngCipher::Decrypt(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                       int32_t final_flag) {
  if (configured_ == 0) return kWrongPhase;
  if (length == nullptr || *length < 0 || (data == nullptr && *length > 0)) return kPlatformBadLength;
  const uint8_t* in = data + offset;
  if (xts_flag_ != 0 || (mode_ == kModeCtr && padding_ == kPaddingNone)) {
    return StreamPath(in, length, out, 0, final_flag);
  }
  const int32_t old = out.Length();
  int32_t n = *length;
  // The unit the ciphertext comes in: the platform's step without padding (one byte in CFB-8), as on
  // the encrypting side; with a padding whole blocks.
  const int32_t unit = padding_ == kPaddingNone ? message_block_bytes_ : BlockSizeBytes();
  int32_t extra = 0;
  const uint8_t* source = in;
  core::SecureBuffer extended;
  if (final_flag != 0 && mode_ == kModeCfb && padding_ == kPaddingNone && n % unit != 0) {
    extra = unit - n % unit;
    if (extended.SetData(n + extra, nullptr) != 0) return core::kOutOfMemory;
    std::memcpy(extended.Data(), in, static_cast<size_t>(n));
    std::memset(extended.Data() + n, 0, static_cast<size_t>(extra));
    source = extended.Bytes();
  }
  if (final_flag != 0 && n >= 1 && n + extra < unit) return kPlatformBadLength;
  if (n % unit != 0 && extra == 0 && mode_ != kModeCtr) return kPlatformBadLength;
  uint8_t* dst = Grow(out, n + extra);
  if (dst == nullptr) return core::kOutOfMemory;
  int32_t produced = 0;
  int rc = RunBlocks(false, source, n + extra, dst, n + extra, &produced);
  if (rc != 0) {
    (void)out.SetData(old, nullptr);
    return rc;
  }
  (void)out.SetData(old + produced - extra, nullptr);
  if (final_flag != 0 && extra == 0 && padding_ != kPaddingNone) {
    rc = RemovePadding(out);
    if (rc != 0) {
      (void)out.SetData(old, nullptr);
      return rc;
    }
  }
  *length = produced;
  return 0;
}

// RemovePadding drops the count of bytes the padding id names: the last byte (PKCS#7 and the two
// length-byte paddings, the pad bytes themselves not compared) or every trailing zero byte.
int CngCipher::RemovePadding(core::BufferCore& out) const {
  const int32_t total = out.Length();
  const auto* bytes = reinterpret_cast<const uint8_t*>(out.Data());
  int32_t n = 0;
  if (padding_ == kPaddingPkcs7 || padding_ == kPaddingZerosLength || padding_ == kPaddingRandomLength) {
    if (total == 0) return kBadPadding;
    n = static_cast<int8_t>(bytes[total - 1]);
  } else if (padding_ == kPaddingZeros) {
    while (n < total && bytes[total - 1 - n] == 0) ++n;
  }
  if (n < 0 || n > total) return kBadPadding;
  return out.SetData(total - n, nullptr);
}

// ---- AEAD -----------------------------------------------------------------------------------------------

void CngCipher::BuildAuthInfo() {
  auth_info_.cbSize = sizeof auth_info_;
  auth_info_.dwInfoVersion = platform::kBcryptAuthModeInfoVersion;
  auth_info_.pbNonce = iv_;
  auth_info_.cbNonce = static_cast<platform::ULONG>(iv_length_);
  auth_info_.pbAuthData = reinterpret_cast<uint8_t*>(aad_.Data());
  auth_info_.cbAuthData = static_cast<platform::ULONG>(aad_.Length());
  auth_info_.pbTag = tag_;
  auth_info_.cbTag = static_cast<platform::ULONG>(tag_length_);
  auth_info_.pbMacContext = mac_context_;
  auth_info_.cbMacContext = sizeof mac_context_;
  auth_info_.cbAAD = 0;
  auth_info_.dwFlags |= platform::kBcryptAuthModeChainCalls;
}

int CngCipher::ReInitAead(const uint8_t* iv, int32_t iv_length, int32_t tag_bytes, const uint8_t* aad,
                          int32_t aad_length, int32_t) {
  if (configured_ == 0) return kWrongPhase;
  if (tag_bytes < 0 || tag_bytes > 16) return kBadTagSize;
  if (iv_length > 16) return kPlatformBadLength;
  platform::SecureZero(chaining_iv_, sizeof chaining_iv_);
  platform::SecureZero(mac_context_, sizeof mac_context_);
  platform::SecureZero(tag_, sizeof tag_);
  auth_info_ = {};
  tag_length_ = tag_bytes;
  if (iv != nullptr && iv_length >= 1) {
    std::memcpy(iv_copy_, iv, static_cast<size_t>(iv_length));
    iv_ = iv_copy_;
    iv_length_ = iv_length;
  }
  const int rc = aad_.SetData(aad != nullptr && aad_length > 0 ? aad_length : 0, aad);
  if (rc != 0) return rc;
  BuildAuthInfo();
  return 0;
}

int CngCipher::EncryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                           int32_t final_flag) {
  if (configured_ == 0 || key_ == nullptr) return kWrongPhase;
  if (length == nullptr || *length < 0 || (data == nullptr && *length > 0)) return kPlatformBadLength;
  int32_t n = *length;
  // Chained platform calls take whole blocks; the rest goes with the next piece.
  if (final_flag == 0) n -= n % 16;
  const int32_t old = out.Length();
  uint8_t* dst = Grow(out, n);
  if (dst == nullptr) return core::kOutOfMemory;
  if (final_flag != 0) auth_info_.dwFlags &= ~platform::kBcryptAuthModeChainCalls;
  platform::ULONG got = 0;
  const int32_t status = F().encrypt(key_, data + offset, static_cast<platform::ULONG>(n), &auth_info_, chaining_iv_,
                                     sizeof chaining_iv_, dst, static_cast<platform::ULONG>(n), &got, 0);
  if (status != 0) {
    (void)out.SetData(old, nullptr);
    return status;
  }
  (void)out.SetData(old + static_cast<int32_t>(got), nullptr);
  *length = static_cast<int32_t>(got);
  return final_flag != 0 ? out.Append(tag_, tag_length_) : 0;
}

int CngCipher::DecryptAead(const uint8_t* data, int32_t offset, int32_t* length, core::BufferCore& out,
                           int32_t final_flag) {
  if (configured_ == 0 || key_ == nullptr) return kWrongPhase;
  if (length == nullptr || *length < 0 || (data == nullptr && *length > 0)) return kPlatformBadLength;
  int32_t n = *length;
  const uint8_t* in = data + offset;
  if (final_flag == 0) {
    n -= n % 16;
  } else {
    if (n < tag_length_) return kPlatformBadLength;
    n -= tag_length_;
    auth_info_.dwFlags &= ~platform::kBcryptAuthModeChainCalls;
    // The platform reads the expected tag from the end of the caller's data.
    auth_info_.pbTag = const_cast<uint8_t*>(in + n);
  }
  const int32_t old = out.Length();
  uint8_t* dst = Grow(out, n);
  if (dst == nullptr) return core::kOutOfMemory;
  platform::ULONG got = 0;
  const int32_t status = F().decrypt(key_, in, static_cast<platform::ULONG>(n), &auth_info_, chaining_iv_,
                                     sizeof chaining_iv_, dst, static_cast<platform::ULONG>(n), &got, 0);
  auth_info_.pbTag = tag_;
  if (status != 0) {
    (void)out.SetData(old, nullptr);
    return status == platform::kStatusAuthTagMismatch ? kPlatformTagMismatch : status;
  }
  (void)out.SetData(old + static_cast<int32_t>(got), nullptr);
  *length = final_flag != 0 ? *length : static_cast<int32_t>(got);
  return 0;
}

}  // namespace velmora::crypto
