// The software key storage provider of the "ncrypt" stand-in: its stated answers, blobs that must be
// refused (a seeded mutation test; VELMORABLE_FUZZ_SEED replays one), and named keys on disk under a
// temporary store root.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/modules.h"
#include "platform/store_root.h"
#include "tests/core/python_oracle.h"

namespace velmora::platform {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The stand-in's entry points, looked up as a caller would.
struct Ncrypt {
  ModuleHandle module = LoadModule("Ncrypt.dll");
  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(GetProc(module, name));
  }
  NCryptOpenStorageProviderFn open = Get<NCryptOpenStorageProviderFn>("NCryptOpenStorageProvider");
  NCryptFreeObjectFn free_object = Get<NCryptFreeObjectFn>("NCryptFreeObject");
  NCryptCreatePersistedKeyFn create = Get<NCryptCreatePersistedKeyFn>("NCryptCreatePersistedKey");
  NCryptOpenKeyFn open_key = Get<NCryptOpenKeyFn>("NCryptOpenKey");
  NCryptSetPropertyFn set = Get<NCryptSetPropertyFn>("NCryptSetProperty");
  NCryptGetPropertyFn get = Get<NCryptGetPropertyFn>("NCryptGetProperty");
  NCryptFinalizeKeyFn finalize = Get<NCryptFinalizeKeyFn>("NCryptFinalizeKey");
  NCryptExportKeyFn export_key = Get<NCryptExportKeyFn>("NCryptExportKey");
  NCryptImportKeyFn import = Get<NCryptImportKeyFn>("NCryptImportKey");
  NCryptSignHashFn sign = Get<NCryptSignHashFn>("NCryptSignHash");
  NCryptCipherFn encrypt = Get<NCryptCipherFn>("NCryptEncrypt");
  NCryptDeleteKeyFn delete_key = Get<NCryptDeleteKeyFn>("NCryptDeleteKey");
  NCryptEnumKeysFn enum_keys = Get<NCryptEnumKeysFn>("NCryptEnumKeys");
  NCryptFreeBufferFn free_buffer = Get<NCryptFreeBufferFn>("NCryptFreeBuffer");
  ~Ncrypt() { (void)FreeModule(module); }
};

// The numbers of the committed 1024-bit key, little helpers to build blobs from them.
std::map<std::string, Bytes> FirstKey() {
  std::ifstream in(VELMORA_TEST_DATA_DIR "/crypto/pubkey/platform_rsa_keys.txt");
  std::map<std::string, Bytes> key;
  for (std::string line; std::getline(in, line) && !line.empty();) {
    if (line[0] == '#') continue;
    const size_t equals = line.find(" = ");
    const std::string bytes = testing_support::FromHex(line.substr(equals + 3));
    key[line.substr(0, equals)] = Bytes(bytes.begin(), bytes.end());
  }
  return key;
}

void PutLe32(Bytes& blob, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) blob[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes Blob(ULONG magic, uint32_t bits, const std::vector<const Bytes*>& parts, size_t primes) {
  Bytes blob(kRsaBlobHeaderSize);
  PutLe32(blob, 0, magic);
  PutLe32(blob, 4, bits);
  for (size_t i = 0; i < 2; ++i) PutLe32(blob, 8 + 4 * i, static_cast<uint32_t>(parts[i]->size()));
  for (size_t i = 0; i < 2; ++i)
    PutLe32(blob, 16 + 4 * i, i < primes ? static_cast<uint32_t>(parts[2 + i]->size()) : 0);
  for (const Bytes* part : parts) blob.insert(blob.end(), part->begin(), part->end());
  return blob;
}

class KspTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_ksp_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    base_ = base;
    root_ = base_ + "/store";
    test::SetStoreRoot(root_.c_str());
    ASSERT_EQ(nc_.open(&provider_, kSoftwareKeyStorageProvider, 0), 0);
  }
  void TearDown() override {
    EXPECT_EQ(nc_.free_object(provider_), 0);
    EXPECT_EQ(test::LiveCryptoHandles(), 0);
    test::SetStoreRoot(nullptr);
    fs::remove_all(base_);
  }
  SECURITY_STATUS Import(const char16_t* type, const Bytes& blob, NCRYPT_KEY_HANDLE* key) {
    return nc_.import(provider_, 0, type, nullptr, key, blob.data(), static_cast<DWORD>(blob.size()), 0);
  }
  DWORD Property(NCRYPT_HANDLE key, const char16_t* name) {
    DWORD value = 0, size = 0;
    EXPECT_EQ(nc_.get(key, name, reinterpret_cast<uint8_t*>(&value), sizeof value, &size, 0), 0);
    return value;
  }
  Ncrypt nc_;
  NCRYPT_PROV_HANDLE provider_ = 0;
  std::string base_, root_;
};

TEST_F(KspTest, StatedAnswers) {
  auto key = FirstKey();
  NCRYPT_PROV_HANDLE other = 0;
  EXPECT_EQ(nc_.open(&other, u"Some Other Key Storage Provider", 0), kNteProvDllNotFound);
  NCRYPT_KEY_HANDLE made = 0;
  EXPECT_EQ(nc_.create(provider_, &made, u"DSA", nullptr, 0, 0), kNteBadAlgId);
  ASSERT_EQ(nc_.create(provider_, &made, u"RSA", nullptr, 0, 0), 0);
  for (DWORD length : {448u, 16448u, 1000u}) {
    EXPECT_EQ(nc_.set(made, kNcryptLengthProperty, reinterpret_cast<uint8_t*>(&length), 4, 0), kNteInvalidParameter)
        << length;
  }
  EXPECT_EQ(nc_.free_object(made), 0);

  // A private blob of a 1025-bit key whose header says 1032 bits: the size reported is the modulus's.
  Bytes n1025(129, 0);  // 2^1024 + 3
  n1025.front() = 1;
  n1025.back() = 3;
  NCRYPT_KEY_HANDLE imported = 0;
  ASSERT_EQ(Import(kRsaPublicBlob, Blob(kRsaPublicMagic, 1032, {&key["Exponent"], &n1025}, 0), &imported), 0);
  EXPECT_EQ(Property(imported, kNcryptLengthProperty), 1025u);
  EXPECT_EQ(nc_.free_object(imported), 0);

  // Private exports need plain-text export in the policy; public ones do not.
  ASSERT_EQ(
      Import(kRsaPrivateBlob,
             Blob(kRsaPrivateMagic, 1024, {&key["Exponent"], &key["Modulus"], &key["P"], &key["Q"]}, 2), &imported),
      0);
  DWORD size = 0;
  EXPECT_EQ(nc_.export_key(imported, 0, kRsaFullPrivateBlob, nullptr, nullptr, 0, &size, 0), kNteNotSupported);
  EXPECT_EQ(nc_.export_key(imported, 0, kRsaPublicBlob, nullptr, nullptr, 0, &size, 0), 0);
  EXPECT_EQ(size, 24u + 3 + 128);
  const DWORD policy = kAllowPlaintextExportFlag;
  ASSERT_EQ(nc_.set(imported, kNcryptExportPolicyProperty, reinterpret_cast<const uint8_t*>(&policy), 4, 0), 0);
  EXPECT_EQ(nc_.export_key(imported, 0, kRsaFullPrivateBlob, nullptr, nullptr, 0, &size, 0), 0);
  // The no-padding flag is not served; a null output asks for the size.
  uint8_t hash[32] = {1};
  BCRYPT_PKCS1_PADDING_INFO pkcs1 = {u"SHA256"};
  EXPECT_EQ(nc_.sign(imported, &pkcs1, hash, 32, nullptr, 0, &size, kNcryptNoPaddingFlag), kNteNotSupported);
  EXPECT_EQ(nc_.encrypt(imported, hash, 32, nullptr, nullptr, 0, &size, kNcryptNoPaddingFlag), kNteNotSupported);
  EXPECT_EQ(nc_.sign(imported, &pkcs1, hash, 32, nullptr, 0, &size, kNcryptPadPkcs1Flag), 0);
  EXPECT_EQ(size, 128u);
  EXPECT_EQ(nc_.free_object(imported), 0);
}

TEST_F(KspTest, MalformedBlobsAreRefusedWhole) {
  auto key = FirstKey();
  const Bytes& e = key["Exponent"];
  const Bytes& n = key["Modulus"];
  const Bytes& p = key["P"];
  const Bytes& q = key["Q"];
  const Bytes zero(n.size(), 0);
  const Bytes short_n(n.begin() + 64, n.end());
  struct Case {
    const char* what;
    const char16_t* type;
    Bytes blob;
  };
  std::vector<Case> cases = {
      {"public magic in a private blob", kRsaPrivateBlob, Blob(kRsaPublicMagic, 1024, {&e, &n, &p, &q}, 2)},
      {"private magic in a public blob", kRsaPublicBlob, Blob(kRsaPrivateMagic, 1024, {&e, &n}, 0)},
      {"zero modulus", kRsaPublicBlob, Blob(kRsaPublicMagic, 1024, {&e, &zero}, 0)},
      {"modulus shorter than the primes", kRsaPrivateBlob, Blob(kRsaPrivateMagic, 512, {&e, &short_n, &p, &q}, 2)},
      {"primes of another modulus", kRsaPrivateBlob, Blob(kRsaPrivateMagic, 1024, {&e, &n, &p, &p}, 2)},
  };
  cases.push_back({"header only", kRsaPublicBlob, Blob(kRsaPublicMagic, 1024, {&e, &n}, 0)});
  cases.back().blob.resize(kRsaBlobHeaderSize);
  for (size_t field = 8; field < 24; field += 4) {
    Case past{"a length past the end", kRsaPrivateBlob, Blob(kRsaPrivateMagic, 1024, {&e, &n, &p, &q}, 2)};
    PutLe32(past.blob, field, 0xFFFFFFF0u);
    cases.push_back(past);
  }
  for (const Case& c : cases) {
    NCRYPT_KEY_HANDLE made = 0;
    EXPECT_EQ(Import(c.type, c.blob, &made), kNteBadData) << c.what;
    EXPECT_EQ(made, 0u) << c.what;
  }
  // Random damage: each blob is refused with NTE_BAD_DATA or, where the damage still leaves a key (an
  // exponent changed to another valid one), imported; never a crash or a half-made key.
  const char* replay = std::getenv("VELMORABLE_FUZZ_SEED");
  const uint32_t seed = replay != nullptr ? static_cast<uint32_t>(std::strtoul(replay, nullptr, 10))
                                          : static_cast<uint32_t>(std::random_device{}());
  std::printf("KspTest.MalformedBlobsAreRefusedWhole seed %u\n", seed);
  std::mt19937 rng(seed);
  const Bytes good = Blob(kRsaPrivateMagic, 1024, {&e, &n, &p, &q}, 2);
  for (int round = 0; round < 300; ++round) {
    Bytes blob = good;
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips)
      blob[rng() % blob.size()] ^= 1u << (rng() % 8);
    if (rng() % 4 == 0) blob.resize(rng() % blob.size());
    NCRYPT_KEY_HANDLE made = 0;
    const SECURITY_STATUS status = Import(kRsaPrivateBlob, blob, &made);
    EXPECT_TRUE(status == kNteBadData || (status == 0 && blob != good) || blob == good) << round << " " << status;
    if (status == 0) {
      EXPECT_EQ(nc_.free_object(made), 0);
    }
  }
}

std::vector<std::string> FilesUnder(const std::string& folder) {
  std::vector<std::string> files;
  if (!fs::exists(folder)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  return files;
}

TEST_F(KspTest, NamedKeysLiveInFilesUnderTheRoot) {
  const std::u16string with_nul = std::u16string(u"nul") + u'\0' + u"tail";
  const std::vector<std::u16string> names = {u"plain", u"../../escape", u"a/b", with_nul};
  std::map<std::u16string, Bytes> public_blobs;
  for (const std::u16string& name : names) {
    for (DWORD machine : {0u, kNcryptMachineKeyFlag}) {
      NCRYPT_KEY_HANDLE made = 0;
      ASSERT_EQ(nc_.create(provider_, &made, u"RSA", name.c_str(), 1, machine), 0);
      const DWORD length = 1024;
      ASSERT_EQ(nc_.set(made, kNcryptLengthProperty, reinterpret_cast<const uint8_t*>(&length), 4, 0), 0);
      ASSERT_EQ(nc_.finalize(made, 0), 0);
      Bytes blob(200);
      DWORD size = 0;
      ASSERT_EQ(nc_.export_key(made, 0, kRsaPublicBlob, nullptr, blob.data(), 200, &size, 0), 0);
      blob.resize(size);
      public_blobs[name.c_str() + std::u16string(machine != 0 ? u"#m" : u"")] = blob;
      NCRYPT_KEY_HANDLE again = 0;
      EXPECT_EQ(nc_.create(provider_, &again, u"RSA", name.c_str(), 0, machine), kNteExists);
      EXPECT_EQ(nc_.free_object(made), 0);
    }
  }
  // Only the store root holds files, each 0600 in folders of 0700; nothing beside the root.
  EXPECT_EQ(std::vector<std::string>(1, root_), [&] {
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(base_)) top.push_back(entry.path().string());
    return top;
  }());
  const auto files = FilesUnder(root_);
  EXPECT_EQ(files.size(), 16u);
  for (const std::string& file : files) {
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    ASSERT_EQ(stat(fs::path(file).parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << file;
  }
  EXPECT_EQ(FilesUnder(root_ + "/ksp/software/machine").size(), 8u);

  // A new process: the keys are found by name, with the same key and properties, and listed.
  ksp::test::ForgetOpenKeys();
  void* state = nullptr;
  std::vector<std::u16string> listed;
  for (void* entry = nullptr; nc_.enum_keys(provider_, nullptr, &entry, &state, 0) == 0;) {
    listed.push_back(static_cast<NCryptKeyName*>(entry)->pszName);
    EXPECT_EQ(static_cast<NCryptKeyName*>(entry)->dwLegacyKeySpec, 1u);
    EXPECT_EQ(nc_.free_buffer(entry), 0);
  }
  EXPECT_EQ(nc_.free_buffer(state), 0);
  EXPECT_EQ(listed.size(), 4u);
  for (const auto& [label, blob] : public_blobs) {
    const bool machine = label.size() > 2 && label.substr(label.size() - 2) == u"#m";
    const std::u16string name = machine ? label.substr(0, label.size() - 2) : label;
    NCRYPT_KEY_HANDLE opened = 0;
    ASSERT_EQ(nc_.open_key(provider_, &opened, name.c_str(), 0, machine ? kNcryptMachineKeyFlag : 0), 0);
    Bytes again(200);
    DWORD size = 0;
    ASSERT_EQ(nc_.export_key(opened, 0, kRsaPublicBlob, nullptr, again.data(), 200, &size, 0), 0);
    again.resize(size);
    EXPECT_EQ(again, blob);
    EXPECT_EQ(Property(opened, kNcryptLengthProperty), 1024u);
    EXPECT_EQ(nc_.delete_key(opened, 0), 0);
  }
  EXPECT_TRUE(FilesUnder(root_).empty());
  NCRYPT_KEY_HANDLE gone = 0;
  EXPECT_EQ(nc_.open_key(provider_, &gone, u"plain", 0, 0), kNteBadKeyset);
}

}  // namespace
}  // namespace velmora::platform
