// Key containers and stored keys under the platform store root: blobs that must be refused (a seeded
// mutation test over CryptoAPI and CNG private blobs through key_blob_fuzz_target.cpp and named imports;
// VELMORABLE_FUZZ_SEED replays one), names that try to leave the root, handles used after they were closed,
// and the files left behind.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/last_error.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/core/python_oracle.h"

namespace velmora::platform {

namespace testing {
std::string FuzzKeyBlob(const std::string& input);
}

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr DWORD kRsaFull = 1;
constexpr DWORD kNewKeyset = 8;

// The oracle prints private blobs of fresh keys, one a line: CryptoAPI RSA (exchange) and DSS, then CNG
// RSA and P-256.
constexpr char kBlobs[] = R"PY(
import struct
from cryptography.hazmat.primitives.asymmetric import rsa, dsa, ec
def be(v, n=None): return v.to_bytes(n or (v.bit_length() + 7) // 8, "big")
def le(v, n): return v.to_bytes(n, "little")
k = rsa.generate_private_key(65537, 1024).private_numbers(); pub = k.public_numbers
capi = struct.pack("<BBHI4s2I", 7, 2, 0, 0xA400, b"RSA2", 1024, pub.e) + le(pub.n, 128)
for v in (k.p, k.q, k.dmp1, k.dmq1, k.iqmp): capi += le(v, 64)
print((capi + le(k.d, 128)).hex())
d = dsa.generate_private_key(1024).private_numbers(); p = d.public_numbers.parameter_numbers
dss = struct.pack("<BBHI4s4I", 7, 3, 0, 0x2200, b"DSS4", 1024, 160, 0, 160) + struct.pack("<I", 0xFFFFFFFF) + bytes(20)
print((dss + le(p.p, 128) + le(p.q, 20) + le(p.g, 128) + le(d.public_numbers.y, 128) + le(d.x, 20)).hex())
e, m, pp, q = be(pub.e), be(pub.n), be(k.p), be(k.q)
print((struct.pack("<6I", 0x32415352, 1024, len(e), len(m), len(pp), len(q)) + e + m + pp + q).hex())
c = ec.generate_private_key(ec.SECP256R1()).private_numbers()
print((struct.pack("<2I", 0x32534345, 32) + be(c.public_numbers.x, 32) + be(c.public_numbers.y, 32) +
       be(c.private_value, 32)).hex())
)PY";

Bytes FromHexBytes(const std::string& hex) {
  const std::string bytes = testing_support::FromHex(hex);
  return {bytes.begin(), bytes.end()};
}

// Files lists every file under a path, and its folders when asked.
std::vector<fs::path> Files(const std::string& path, bool folders = false) {
  std::vector<fs::path> found;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(path, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (folders || !it->is_directory()) found.push_back(it->path());
  }
  return found;
}

uint32_t Failure(BOOL result) { return result == 0 ? GetLastError() : 0; }

class KeyStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_keystore_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    base_ = base;
    root_ = base_ + "/root";
    ASSERT_TRUE(fs::create_directory(root_));
    test::SetStoreRoot(root_.c_str());
  }
  void TearDown() override {
    EXPECT_EQ(test::LiveCryptoHandles(), 0);
    EXPECT_EQ(capi::LiveHandles(), 0);
    EXPECT_EQ(ksp::LiveKeys(), 0);
    test::SetStoreRoot(nullptr);
    fs::remove_all(base_);
  }
  // NamedImport imports a CNG blob as a software-provider key named by the buffer: the name's units and a
  // terminator.
  static SECURITY_STATUS NamedImport(const char16_t* blob_type, const Bytes& blob, const std::u16string& units,
                                     NCRYPT_KEY_HANDLE* key) {
    std::u16string name = units + u'\0';
    NCryptBuffer buffer{static_cast<ULONG>(name.size() * 2), kNcryptBufferPkcsKeyName, name.data()};
    NCryptBufferDesc list{0, 1, &buffer};
    SECURITY_STATUS status = ksp::ImportKey(ksp::Provider::kSoftware, 0, blob_type, &list, key, blob.data(),
                                            static_cast<DWORD>(blob.size()), kNcryptDoNotFinalizeFlag);
    if (status == 0 && (status = ksp::FinalizeKey(*key, 0)) != 0) (void)ksp::FreeKey(*key);
    return status;
  }
  std::string base_, root_;
};

TEST_F(KeyStorageTest, MutatedBlobsAreRefusedAndLeaveNothing) {
  if (std::system((std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "python3-cryptography is not installed";
  }
  std::string out;
  ASSERT_TRUE(testing_support::RunPython(kBlobs, "", "", &out, pki::testing::kDebianPython));
  const auto lines = testing_support::Lines(out);
  ASSERT_EQ(lines.size(), 4u);
  struct Seed {
    const char* what;
    Bytes blob;
    DWORD provider_type;       // CryptoAPI blobs
    const char16_t* cng_type;  // CNG blobs
  };
  const Seed seeds[] = {{"capi rsa", FromHexBytes(lines[0][0]), kProvRsaAes, nullptr},
                        {"capi dss", FromHexBytes(lines[1][0]), kProvDss, nullptr},
                        {"cng rsa", FromHexBytes(lines[2][0]), 0, kRsaPrivateBlob},
                        {"cng p256", FromHexBytes(lines[3][0]), 0, kEccPrivateBlob}};
  const std::set<uint32_t> capi_refusals = {kNteBadDataCode, kNteBadTypeCode, kNteBadAlgIdCode};
  const std::set<uint32_t> cng_refusals = {static_cast<uint32_t>(kNteBadData), static_cast<uint32_t>(kNteNotSupported),
                                           static_cast<uint32_t>(kNteInvalidParameter)};

  const char* replay = std::getenv("VELMORABLE_FUZZ_SEED");
  const uint32_t seed = replay != nullptr ? static_cast<uint32_t>(std::strtoul(replay, nullptr, 10))
                                          : std::random_device{}();
  std::printf("KeyStorageTest.MutatedBlobsAreRefusedAndLeaveNothing seed %u\n", seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 400; ++round) {
    const Seed& s = seeds[round % 4];
    Bytes blob = s.blob;
    const size_t at = rng() % blob.size();
    switch (rng() % 4) {
      case 0: blob[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 1: blob.resize(at); break;
      case 2: blob.insert(blob.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
      default: {  // a length or magic field of the headers
        const size_t field = (rng() % 7) * 4;
        const uint32_t values[] = {0, 1, 0xFFFFFFFFu, 0x80000000u, static_cast<uint32_t>(rng())};
        const uint32_t value = values[rng() % 5];
        for (size_t i = 0; i < 4 && field + i < blob.size(); ++i) {
          blob[field + i] = static_cast<uint8_t>(value >> (8 * i));
        }
      }
    }
    SCOPED_TRACE(std::string(s.what) + " round " + std::to_string(round));
    // Every reader, without a name; then the blob's own, into a named container or key.
    EXPECT_EQ(testing::FuzzKeyBlob(std::string(blob.begin(), blob.end())), "");
    if (s.cng_type == nullptr) {
      HCRYPTPROV provider = 0;
      ASSERT_EQ(CryptAcquireContextA(&provider, "fuzz", nullptr, s.provider_type, kNewKeyset), 1);
      HCRYPTKEY key = 0;
      const uint32_t status =
          Failure(CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key));
      if (status == 0) {
        EXPECT_EQ(CryptDestroyKey(key), 1);
      } else {
        EXPECT_TRUE(capi_refusals.count(status) != 0) << std::hex << status;
        EXPECT_FALSE(fs::exists(root_ + "/capi/user/" + StoreFileName(u"fuzz")));
      }
      EXPECT_EQ(CryptReleaseContext(provider, 0), 1);
      HCRYPTPROV gone = 0;
      (void)CryptAcquireContextA(&gone, "fuzz", nullptr, s.provider_type, kCryptDeleteKeyset);
    } else {
      NCRYPT_KEY_HANDLE key = 0;
      const SECURITY_STATUS status = NamedImport(s.cng_type, blob, u"fuzz", &key);
      if (status == 0) {
        EXPECT_EQ(ksp::DeleteKey(key, 0), 0);
      } else {
        EXPECT_TRUE(cng_refusals.count(static_cast<uint32_t>(status)) != 0) << std::hex << status;
      }
    }
    const auto left = Files(root_ + "/capi"), keys = Files(root_ + "/ksp/software");
    ASSERT_TRUE(left.empty() && keys.empty()) << (left.empty() ? keys : left).front();
  }
}

TEST_F(KeyStorageTest, NamesStayInsideTheRootAndStaleHandlesAreRefused) {
  if (std::system((std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "python3-cryptography is not installed";
  }
  std::string out;
  ASSERT_TRUE(testing_support::RunPython(kBlobs, "", "", &out, pki::testing::kDebianPython));
  const auto lines = testing_support::Lines(out);
  ASSERT_EQ(lines.size(), 4u);
  const Bytes capi_rsa = FromHexBytes(lines[0][0]), cng_rsa = FromHexBytes(lines[2][0]);

  // Names that would climb out of a folder, hold a NUL, or run to 300 bytes: each is refused or stored
  // under the root, and nothing appears beside it.
  const std::string escape = "../../velmora_escape_" + std::to_string(getpid());
  const std::string names[] = {"a/b", "..", "../x", escape, "/" + escape.substr(3), std::string(300, 'n')};
  std::set<std::string> stored;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextA(&provider, name.c_str(), nullptr, kProvRsaAes, kNewKeyset) == 1) {
      HCRYPTKEY key = 0;
      if (CryptImportKey(provider, capi_rsa.data(), static_cast<DWORD>(capi_rsa.size()), 0, 0, &key) == 1) {
        EXPECT_EQ(CryptDestroyKey(key), 1);
        stored.insert("capi " + name);
      }
      EXPECT_EQ(CryptReleaseContext(provider, 0), 1);
    } else {
      EXPECT_NE(GetLastError(), 0u);
    }
    const std::u16string wide(name.begin(), name.end());
    for (const std::u16string& key_name : {wide, wide + u'\0' + u"tail"}) {
      NCRYPT_KEY_HANDLE key = 0;
      if (NamedImport(kRsaPrivateBlob, cng_rsa, key_name, &key) == 0) {
        EXPECT_EQ(ksp::FreeKey(key), true);
        stored.insert("ksp " + name);
      }
    }
  }
  EXPECT_EQ(Files(base_, true).size(), Files(root_, true).size() + 1) << "a file beside the root";
  EXPECT_FALSE(fs::exists(base_ + "/velmora_escape_" + std::to_string(getpid())));
  EXPECT_FALSE(fs::exists("/tmp/velmora_escape_" + std::to_string(getpid())));
  // What was stored is found again under its name.
  for (const std::string& name : names) {
    if (stored.count("capi " + name) != 0) {
      EXPECT_FALSE(test::ContainerKeyDer(name.c_str(), false, kAtKeyExchange).empty()) << name;
    }
    if (stored.count("ksp " + name) != 0) {
      const std::u16string wide(name.begin(), name.end());
      NCRYPT_KEY_HANDLE key = 0;
      ASSERT_EQ(ksp::OpenKey(ksp::Provider::kSoftware, &key, wide.c_str(), 0, 0), 0) << name;
      EXPECT_EQ(ksp::DeleteKey(key, 0), 0);
    }
  }

  // Handles used after they were closed.
  HCRYPTPROV provider = 0;
  ASSERT_EQ(CryptAcquireContextA(&provider, "stale", nullptr, kProvRsaAes, kNewKeyset), 1);
  HCRYPTKEY key = 0;
  ASSERT_EQ(CryptImportKey(provider, capi_rsa.data(), static_cast<DWORD>(capi_rsa.size()), 0, 0, &key), 1);
  EXPECT_EQ(CryptDestroyKey(key), 1);
  EXPECT_EQ(Failure(CryptDestroyKey(key)), kNteBadKeyCode);
  EXPECT_EQ(CryptReleaseContext(provider, 0), 1);
  uint8_t bytes[8];
  HCRYPTKEY other = 0;
  EXPECT_EQ(Failure(CryptReleaseContext(provider, 0)), 6u);
  EXPECT_EQ(Failure(CryptGenRandom(provider, sizeof bytes, bytes)), 6u);
  EXPECT_EQ(Failure(CryptImportKey(provider, capi_rsa.data(), static_cast<DWORD>(capi_rsa.size()), 0, 0, &other)),
            6u);
  NCRYPT_KEY_HANDLE cng_key = 0;
  ASSERT_EQ(NamedImport(kRsaPrivateBlob, cng_rsa, u"stale", &cng_key), 0);
  EXPECT_TRUE(ksp::FreeKey(cng_key));
  EXPECT_FALSE(ksp::FreeKey(cng_key));
  uint8_t hash[32] = {}, signature[128];
  DWORD size = 0;
  BCRYPT_PKCS1_PADDING_INFO padding{u"SHA256"};
  EXPECT_EQ(ksp::SignHash(cng_key, &padding, hash, sizeof hash, signature, sizeof signature, &size,
                          kNcryptPadPkcs1Flag), kNteInvalidHandle);
  EXPECT_EQ(ksp::DeleteKey(cng_key, 0), kNteInvalidHandle);
}

TEST_F(KeyStorageTest, FilesArePrivateAndDeletionLeavesNone) {
  // A process that only draws random bytes, as the random source does, writes nothing.
  HCRYPTPROV random = 0;
  if (CryptAcquireContextA(&random, "_VLM_RNG_", nullptr, kRsaFull, 0) == 0) {
    ASSERT_EQ(CryptAcquireContextA(&random, "_VLM_RNG_", nullptr, kRsaFull, kNewKeyset), 1);
  }
  uint8_t bytes[64];
  EXPECT_EQ(CryptGenRandom(random, sizeof bytes, bytes), 1);
  EXPECT_EQ(CryptReleaseContext(random, 0), 1);
  EXPECT_TRUE(Files(root_, true).empty());

  if (std::system((std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "python3-cryptography is not installed";
  }
  std::string out;
  ASSERT_TRUE(testing_support::RunPython(kBlobs, "", "", &out, pki::testing::kDebianPython));
  const auto lines = testing_support::Lines(out);
  ASSERT_EQ(lines.size(), 4u);
  // A container of each machine scope, a software key, a TPM key and a card key.
  for (const DWORD scope : {0u, kCryptMachineKeyset}) {
    HCRYPTPROV provider = 0;
    ASSERT_EQ(CryptAcquireContextA(&provider, "kept", nullptr, kProvRsaAes, kNewKeyset | scope), 1);
    const Bytes blob = FromHexBytes(lines[0][0]);
    HCRYPTKEY key = 0;
    ASSERT_EQ(CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key), 1);
    EXPECT_EQ(CryptDestroyKey(key), 1);
    EXPECT_EQ(CryptReleaseContext(provider, 0), 1);
  }
  NCRYPT_KEY_HANDLE key = 0;
  ASSERT_EQ(NamedImport(kRsaPrivateBlob, FromHexBytes(lines[2][0]), u"kept", &key), 0);
  EXPECT_TRUE(ksp::FreeKey(key));
  std::u16string name = u"tpm kept";
  NCryptBuffer buffer{static_cast<ULONG>((name.size() + 1) * 2), kNcryptBufferPkcsKeyName, name.data()};
  NCryptBufferDesc list{0, 1, &buffer};
  const Bytes ec = FromHexBytes(lines[3][0]);
  ASSERT_EQ(ksp::ImportKey(ksp::Provider::kPlatformCrypto, 0, kEccPrivateBlob, &list, &key, ec.data(),
                           static_cast<DWORD>(ec.size()), kNcryptDoNotFinalizeFlag), 0);
  const char16_t password[] = u"pass";
  ASSERT_EQ(ksp::SetProperty(key, kNcryptMigrationPasswordProperty, reinterpret_cast<const uint8_t*>(password),
                             sizeof password, 0), 0);
  ASSERT_EQ(ksp::FinalizeKey(key, 0), 0);
  EXPECT_TRUE(ksp::FreeKey(key));
  ASSERT_TRUE(ksp::test::EnrolSmartCardKey(u"card", u"1234", u"card kept", {0x30, 0x00}, {}));

  const std::vector<fs::path> files = Files(root_, true);
  ASSERT_FALSE(files.empty());
  for (const fs::path& file : files) {
    struct stat info;
    ASSERT_EQ(lstat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << file;
    EXPECT_TRUE(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)) << file;
  }
  // Deleting every container and key leaves no file.
  for (const DWORD scope : {0u, kCryptMachineKeyset}) {
    HCRYPTPROV gone = 0;
    EXPECT_EQ(CryptAcquireContextA(&gone, "kept", nullptr, kProvRsaAes, kCryptDeleteKeyset | scope), 1);
  }
  // The software key of the containers' name went with them.
  EXPECT_EQ(ksp::OpenKey(ksp::Provider::kSoftware, &key, u"kept", 0, 0), kNteBadKeyset);
  ASSERT_EQ(ksp::OpenKey(ksp::Provider::kPlatformCrypto, &key, u"tpm kept", 0, 0), 0);
  EXPECT_EQ(ksp::DeleteKey(key, 0), 0);
  std::vector<fs::path> left;
  for (const fs::path& file : Files(root_)) {
    if (file.string().find("/ksp/smartcard/") == std::string::npos) left.push_back(file);
  }
  EXPECT_TRUE(left.empty()) << left.front();
}

}  // namespace
}  // namespace velmora::platform
