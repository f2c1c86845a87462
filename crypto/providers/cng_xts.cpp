// Platform XTS (IEEE 1619): the "XTS-AES" algorithm where the platform has it, else two AES-ECB keys with
// the tweaks made here; and the one-time probe for full-block CFB.
#include <atomic>
#include <cstring>

#include "crypto/providers/bcrypt_cipher_functions.h"
#include "crypto/providers/cng_cipher.h"
#include "crypto/cipher/block_modes.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kNativeDataUnit = 512;

BcryptCipherFunctions& F() { return BcryptCipherTable(); }

std::atomic<int> g_cfb_probe{0};  // 1 supported, -1 not, 0 not asked yet

int SetDword(void* object, const char16_t* property, platform::DWORD value) {
  return F().set_property(object, property, reinterpret_cast<const uint8_t*>(&value), sizeof value, 0);
}

// ImportHalf imports one AES key into a heap key object of the algorithm's "ObjectLength".
int ImportHalf(platform::BCRYPT_ALG_HANDLE algorithm, const uint8_t* key, int32_t length,
               platform::BCRYPT_KEY_HANDLE* handle, uint8_t** object, uint32_t* object_size) {
  platform::DWORD object_length = 0;
  platform::ULONG got = 0;
  int status = F().get_property(algorithm, u"ObjectLength", reinterpret_cast<uint8_t*>(&object_length),
                                sizeof object_length, &got, 0);
  if (status != 0) return status;
  *object = static_cast<uint8_t*>(platform::Alloc(object_length));
  if (*object == nullptr) return core::kOutOfMemory;
  *object_size = object_length;
  uint8_t blob[platform::kBcryptKeyDataBlobHeaderSize + 32];
  const platform::ULONG header[3] = {platform::kBcryptKeyDataBlobMagic, platform::kBcryptKeyDataBlobVersion1,
                                     static_cast<platform::ULONG>(length)};
  std::memcpy(blob, header, sizeof header);
  std::memcpy(blob + sizeof header, key, static_cast<size_t>(length));
  status = F().import_key(algorithm, nullptr, u"KeyDataBlob", handle, *object, object_length, blob,
                          platform::kBcryptKeyDataBlobHeaderSize + static_cast<platform::ULONG>(length), 0);
  platform::SecureZero(blob, sizeof blob);
  if (status != 0) *handle = nullptr;
  return status;
}

void ReleaseKeys(CngXtsState& xts) {
  for (platform::BCRYPT_KEY_HANDLE* key : {&xts.data_key, &xts.tweak_key}) {
    if (*key != nullptr && F().destroy_key != nullptr) (void)F().destroy_key(*key);
    *key = nullptr;
  }
  for (auto [object, size] : {std::pair{&xts.data_key_object, &xts.data_key_object_size},
                              std::pair{&xts.tweak_key_object, &xts.tweak_key_object_size}}) {
    if (*object != nullptr) platform::SecureZero(*object, *size);
    platform::Free(*object, *size);
    *object = nullptr;
    *size = 0;
  }
}

// EcbBlock runs one block in place through an ECB key.
int EcbBlock(platform::BCRYPT_KEY_HANDLE key, uint8_t block[16], bool encrypt) {
  platform::ULONG got = 0;
  return (encrypt ? F().encrypt : F().decrypt)(key, block, 16, nullptr, nullptr, 0, block, 16, &got, 0);
}

// TweakedBlock runs one block under a tweak through the data key.
int TweakedBlock(CngXtsState& xts, const uint8_t* in, uint8_t* out, const uint8_t tweak[16], bool encrypt) {
  uint8_t t[16];
  XorBytes(t, in, tweak, 16);
  const int status = EcbBlock(xts.data_key, t, encrypt);
  XorBytes(out, t, tweak, 16);
  platform::SecureZero(t, sizeof t);
  return status;
}

}  // namespace

int CngXtsImportKey(CngXtsState& xts, const uint8_t* key, int32_t key_length) {
  const BcryptCipherFunctions& f = F();
  if (f.open_algorithm_provider == nullptr || f.import_key == nullptr || f.generate_symmetric_key == nullptr ||
      f.get_property == nullptr || f.set_property == nullptr) {
    return kPlatformUnavailable;
  }
  if (key == nullptr || key_length < 2 || key_length % 2 != 0) return kPlatformBadKeyLength;
  ReleaseKeys(xts);
  if (xts.algorithm != nullptr && f.close_algorithm_provider != nullptr) {
    (void)f.close_algorithm_provider(xts.algorithm, 0);
  }
  xts.algorithm = nullptr;
  xts.block_index = 0;
  xts.tweak_ready = 0;
  if (f.open_algorithm_provider(&xts.algorithm, u"XTS-AES", nullptr, 0) == 0) {
    xts.native = 1;
    int status = f.generate_symmetric_key(xts.algorithm, &xts.data_key, nullptr, 0, key,
                                          static_cast<platform::ULONG>(key_length), 0);
    if (status != 0) {
      xts.data_key = nullptr;
      return status;
    }
    status = SetDword(xts.data_key, u"MessageBlockLength", kNativeDataUnit);
    if (status == 0) xts.unit_length = kNativeDataUnit;
    return status;
  }
  xts.native = 0;
  xts.algorithm = nullptr;
  int status = f.open_algorithm_provider(&xts.algorithm, u"AES", nullptr, 0);
  if (status != 0) {
    xts.algorithm = nullptr;
    return status;
  }
  static constexpr char16_t kEcb[] = u"ChainingModeECB";
  status = f.set_property(xts.algorithm, u"ChainingMode", reinterpret_cast<const uint8_t*>(kEcb), sizeof kEcb, 0);
  const int32_t half = key_length / 2;
  if (status == 0) {
    status = ImportHalf(xts.algorithm, key, half, &xts.data_key, &xts.data_key_object, &xts.data_key_object_size);
  }
  if (status == 0) {
    status = ImportHalf(xts.algorithm, key + half, half, &xts.tweak_key, &xts.tweak_key_object,
                        &xts.tweak_key_object_size);
  }
  return status;
}

int CngSetMessageBlockLength(CngXtsState& xts, int32_t length) {
  if (length < 16 || length % 16 != 0) return kPlatformBadLength;
  xts.unit_length = length;
  // The AES-ECB keys of the two-key path have no such property; the length is used here only.
  if (xts.native == 0) return 0;
  if (F().set_property == nullptr) return kPlatformUnavailable;
  return SetDword(xts.data_key, u"MessageBlockLength", static_cast<platform::DWORD>(length));
}

void CngCipher::ReleaseHandles(CngXtsState& xts) {
  if (xts.algorithm != nullptr && F().close_algorithm_provider != nullptr) {
    (void)F().close_algorithm_provider(xts.algorithm, 0);
  }
  xts.algorithm = nullptr;
  ReleaseKeys(xts);
  platform::SecureZero(xts.tweak, sizeof xts.tweak);
  xts.tweak_ready = 0;
  (void)xts.scratch.Clear();
}

int CngCipher::XtsProcess(CngXtsState& xts, const uint8_t* input, int32_t* length, uint8_t* output,
                          int32_t direction, int32_t final_flag) {
  const int32_t n = *length;
  if (n == 0) return 0;
  if (n < 16 || (final_flag == 0 && n % 16 != 0)) return kPlatformBadLength;
  if (xts.unit_length < 16 || xts.data_key == nullptr) return kWrongPhase;
  if (xts.native == 0) return XtsTwoKeys(xts, input, n, output, direction != 0);
  uint8_t iv[8];
  for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(xts.unit >> (8 * i));
  platform::ULONG got = 0;
  const int32_t status = (direction != 0 ? F().encrypt : F().decrypt)(
      xts.data_key, input, static_cast<platform::ULONG>(n), nullptr, iv, sizeof iv, output,
      static_cast<platform::ULONG>(n), &got, 0);
  if (status != 0) return status;
  // Every platform call starts a new unit, so a unit it began and did not finish is not used again.
  const uint64_t unit_length = static_cast<uint64_t>(xts.unit_length);
  xts.unit += (got + unit_length - 1) / unit_length;
  *length = static_cast<int32_t>(got);
  return 0;
}

// XtsNextTweak moves to the tweak of the next block: E(tweak key, unit number) at the start of a data
// unit, else the running tweak (doubled by the caller after each block).
int CngCipher::XtsNextTweak(CngXtsState& xts) {
  const uint64_t blocks_per_unit = static_cast<uint64_t>(xts.unit_length / 16);
  if (xts.tweak_ready != 0 && xts.block_index < blocks_per_unit) return 0;
  if (xts.tweak_ready != 0) ++xts.unit;
  std::memset(xts.tweak, 0, sizeof xts.tweak);
  for (int i = 0; i < 8; ++i) xts.tweak[i] = static_cast<uint8_t>(xts.unit >> (8 * i));
  const int status = EcbBlock(xts.tweak_key, xts.tweak, true);
  if (status != 0) return status;
  xts.block_index = 0;
  xts.tweak_ready = 1;
  return 0;
}

// XtsTwoKeys is XTS over the two ECB keys. The unit number and the block index within the unit carry
// over from call to call, so the pieces of a split unit chain as if given at once.
int CngCipher::XtsTwoKeys(CngXtsState& xts, const uint8_t* input, int32_t length, uint8_t* output, bool encrypt) {
  const int32_t r = length % 16;
  const int32_t straight = length / 16 - (r != 0 ? 1 : 0);
  if (xts.scratch.SetData(16 * straight, nullptr) != 0) return core::kOutOfMemory;
  auto* tweaks = reinterpret_cast<uint8_t*>(xts.scratch.Data());
  for (int32_t i = 0; i < straight; ++i) {
    const int status = XtsNextTweak(xts);
    if (status != 0) return status;
    std::memcpy(tweaks + 16 * i, xts.tweak, 16);
    DoubleLittleEndian(xts.tweak);
    ++xts.block_index;
  }
  if (straight > 0) {
    const int32_t run = 16 * straight;
    XorBytes(output, input, tweaks, run);
    platform::ULONG got = 0;
    const int32_t status = (encrypt ? F().encrypt : F().decrypt)(xts.data_key, output, static_cast<platform::ULONG>(run),
                                                                 nullptr, nullptr, 0, output,
                                                                 static_cast<platform::ULONG>(run), &got, 0);
    if (status != 0) return status;
    XorBytes(output, output, tweaks, run);
  }
  if (r == 0) return 0;
  const int status = XtsNextTweak(xts);
  if (status != 0) return status;
  xts.block_index += 2;
  return XtsStealTail(xts.tweak, input + 16 * straight, output + 16 * straight, r, encrypt,
                      [&xts, encrypt](const uint8_t* block_in, uint8_t* block_out, const uint8_t* tweak) {
                        return TweakedBlock(xts, block_in, block_out, tweak, encrypt);
                      });
}

int ProbeCngCfbSupport() {
  const BcryptCipherFunctions& f = F();
  if (f.open_algorithm_provider == nullptr || f.set_property == nullptr || f.close_algorithm_provider == nullptr) {
    return 0;
  }
  const int cached = g_cfb_probe.load();
  if (cached != 0) return cached > 0 ? 1 : 0;
  platform::BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (f.open_algorithm_provider(&algorithm, u"AES", nullptr, 0) != 0) return 0;
  static constexpr char16_t kCfb[] = u"ChainingModeCFB";
  if (f.set_property(algorithm, u"ChainingMode", reinterpret_cast<const uint8_t*>(kCfb), sizeof kCfb, 0) != 0) {
    (void)f.close_algorithm_provider(algorithm, 0);
    return 0;
  }
  const int status = SetDword(algorithm, u"MessageBlockLength", 16);
  (void)f.close_algorithm_provider(algorithm, 0);
  g_cfb_probe.store(status == 0 ? 1 : -1);
  return status == 0 ? 1 : 0;
}

void ResetCngCfbProbeForTest() { g_cfb_probe.store(0); }

}  // namespace velmora::crypto
