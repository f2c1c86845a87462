// The certificate module: contexts compared with what OpenSSL's command line and Debian's python3 read from
// the same certificates, properties, memory stores and their reference counts, and bad input. Every test
// ends with no context or store left alive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/last_error.h"
#include "tests/core/python_oracle.h"

namespace velmora::platform {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;
constexpr const char* kDebianPython = "/usr/bin/python3";
const char* const kCertificateNames[] = {"rsa2048", "p256", "ed25519", "v1"};

// Certificates: the committed DER of each test certificate (and of one CRL), by name.
const std::map<std::string, std::string>& Certificates() {
  static const std::map<std::string, std::string> certificates = [] {
    std::map<std::string, std::string> read;
    std::ifstream in(VELMORA_TEST_DATA_DIR "/platform/crypt32_certificates.txt");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string name, hex;
      fields >> name >> hex;
      read[name] = testing_support::FromHex(hex);
    }
    return read;
  }();
  return certificates;
}

Bytes Der(const std::string& name) {
  const std::string& der = Certificates().at(name);
  return Bytes(der.begin(), der.end());
}

PCCERT_CONTEXT Create(const Bytes& der) {
  return CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
}

Bytes Blob(const CRYPT_DATA_BLOB& blob) { return Bytes(blob.pbData, blob.pbData + blob.cbData); }
std::string HexOf(const CRYPT_DATA_BLOB& blob) {
  return testing_support::ToHex(std::string(blob.pbData, blob.pbData + blob.cbData));
}

uint64_t Ticks(const FILETIME& time) { return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; }
FILETIME FileTime(uint64_t ticks) { return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

// Property reads the whole value of a property by the size query then the read; false when not there.
bool Property(PCCERT_CONTEXT context, DWORD id, Bytes* value) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(context, id, nullptr, &size)) return false;
  value->assign(size, 0);
  return CertGetCertificateContextProperty(context, id, value->data(), &size) == 1 && size == value->size();
}

bool Runs(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class Crypt32Module : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(Certificates().empty()) << "test certificates missing"; }
  void TearDown() override { EXPECT_EQ(test::LiveCryptoHandles(), 0); }
};

// The oracle prints, per certificate: name, version, serial (little-endian, as the context holds it),
// issuer and subject DER, validity as FILETIME ticks, and the public-key algorithm OID.
constexpr char kReadCertificates[] = R"(
import sys, datetime
from cryptography import x509
from asn1crypto import x509 as asn1x509
EPOCH = datetime.datetime(1601, 1, 1)
def ticks(t):
    d = t - EPOCH
    return (d.days * 86400 + d.seconds) * 10**7 + d.microseconds * 10
for line in sys.stdin:
    name, der = line.split()
    der = bytes.fromhex(der)
    c = x509.load_der_x509_certificate(der)
    n = c.serial_number
    serial = n.to_bytes((n.bit_length() + 8) // 8, 'little', signed=True)
    oid = asn1x509.Certificate.load(der)['tbs_certificate']['subject_public_key_info']['algorithm']['algorithm'].dotted
    print(name, c.version.value, serial.hex(), c.issuer.public_bytes().hex(), c.subject.public_bytes().hex(),
          ticks(c.not_valid_before), ticks(c.not_valid_after), oid)
)";

TEST_F(Crypt32Module, ContextsAgreeWithOpensslAndPython) {
  if (!Runs(std::string(kDebianPython) + " -c 'import cryptography, asn1crypto'")) {
    GTEST_SKIP() << "Debian's python3 with cryptography and asn1crypto is not installed";
  }
  if (!Runs("openssl version")) GTEST_SKIP() << "the openssl command line is not installed";
  std::string input;
  for (const char* name : kCertificateNames)
    input += std::string(name) + " " + testing_support::ToHex(Certificates().at(name)) + "\n";
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kReadCertificates, "", input, &output, kDebianPython));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), std::size(kCertificateNames));

  for (const auto& expected : lines) {
    ASSERT_EQ(expected.size(), 8u);
    SCOPED_TRACE(expected[0]);
    const Bytes der = Der(expected[0]);
    PCCERT_CONTEXT context = Create(der);
    ASSERT_NE(context, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(context->dwCertEncodingType, kEncoding);
    EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded), der);
    EXPECT_NE(context->pbCertEncoded, der.data());
    const CERT_INFO& info = *context->pCertInfo;
    EXPECT_EQ(info.dwVersion, std::stoul(expected[1]));
    EXPECT_EQ(HexOf(info.SerialNumber), expected[2]);
    EXPECT_EQ(HexOf(info.Issuer), expected[3]);
    EXPECT_EQ(HexOf(info.Subject), expected[4]);
    EXPECT_EQ(Ticks(info.NotBefore), std::stoull(expected[5]));
    EXPECT_EQ(Ticks(info.NotAfter), std::stoull(expected[6]));
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, expected[7].c_str());

    // The time check reads the same window.
    const FILETIME before = FileTime(Ticks(info.NotBefore) - 1);
    const FILETIME after = FileTime(Ticks(info.NotAfter) + 1);
    EXPECT_EQ(CertVerifyTimeValidity(&before, &info), -1);
    EXPECT_EQ(CertVerifyTimeValidity(&info.NotBefore, &info), 0);
    EXPECT_EQ(CertVerifyTimeValidity(&after, &info), 1);

    const std::string path = "/tmp/velmora_crypt32_" + std::to_string(getpid()) + ".der";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    std::string fingerprint;
    FILE* pipe = popen(("openssl x509 -inform DER -noout -fingerprint -sha1 -in " + path).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char chunk[256];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) fingerprint.append(chunk, got);
    EXPECT_EQ(pclose(pipe), 0);
    std::remove(path.c_str());
    std::string hex;
    for (char c : fingerprint.substr(fingerprint.find('=') + 1)) {
      if (std::isxdigit(static_cast<unsigned char>(c)))
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    Bytes sha1;
    ASSERT_TRUE(Property(context, kCertSha1HashPropId, &sha1));
    EXPECT_EQ(testing_support::ToHex(std::string(sha1.begin(), sha1.end())), hex);
    EXPECT_EQ(CertFreeCertificateContext(context), 1);
  }
}

TEST_F(Crypt32Module, KeyProviderBlockIsSelfContainedAndNamesTheKeySpec) {
  PCCERT_CONTEXT context = Create(Der("rsa2048"));
  ASSERT_NE(context, nullptr);
  Bytes value;
  EXPECT_FALSE(Property(context, kCertKeyProvInfoPropId, &value));
  EXPECT_EQ(GetLastError(), kCryptENotFound);
  EXPECT_FALSE(Property(context, kCertKeySpecPropId, &value));
  EXPECT_EQ(GetLastError(), kCryptENotFound);

  std::u16string container = u"0123456789abcdef0123456789ABCDEF";
  std::u16string provider = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
  uint8_t param_bytes[] = {1, 2, 3};
  CRYPT_KEY_PROV_PARAM param{7, param_bytes, sizeof param_bytes, 0};
  for (const DWORD param_count : {0u, 1u}) {
    SCOPED_TRACE(param_count);
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 24, 0x20, param_count, &param, 1};
    ASSERT_EQ(CertSetCertificateContextProperty(context, kCertKeyProvInfoPropId, 0, &info), 1);
    container[0] = u'X';  // the module holds its own copy
    DWORD size = 0;
    ASSERT_EQ(CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, nullptr, &size), 1);
    EXPECT_LT(size, 548u);
    // A buffer shorter than needed: refused with the size, and nothing written past what was announced.
    Bytes short_block(size - 1, 0xEE);
    DWORD announced = size - 1;
    EXPECT_EQ(CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, short_block.data(), &announced), 0);
    EXPECT_EQ(GetLastError(), kErrorMoreData);
    EXPECT_EQ(announced, size);
    EXPECT_EQ(short_block, Bytes(size - 1, 0xEE));

    auto* block = static_cast<uint8_t*>(std::malloc(size));
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, block, &size), 1);
    CRYPT_KEY_PROV_INFO read;
    std::memcpy(&read, block, sizeof read);
    auto inside = [&](const void* p) { return p >= block && p < block + size; };
    EXPECT_TRUE(inside(read.pwszContainerName));
    EXPECT_TRUE(inside(read.pwszProvName));
    EXPECT_EQ(std::u16string(read.pwszContainerName), u"0123456789abcdef0123456789ABCDEF");
    EXPECT_EQ(std::u16string(read.pwszProvName), provider);
    EXPECT_EQ(read.dwProvType, 24u);
    EXPECT_EQ(read.dwFlags, 0x20u);
    EXPECT_EQ(read.dwKeySpec, 1u);
    EXPECT_EQ(read.cProvParam, param_count);
    if (param_count == 1) {
      ASSERT_TRUE(inside(read.rgProvParam));
      EXPECT_TRUE(inside(read.rgProvParam[0].pbData));
      EXPECT_EQ(Bytes(read.rgProvParam[0].pbData, read.rgProvParam[0].pbData + read.rgProvParam[0].cbData),
                Bytes(param_bytes, param_bytes + 3));
    }
    std::free(block);
    container[0] = u'0';
  }
  ASSERT_TRUE(Property(context, kCertKeySpecPropId, &value));
  ASSERT_EQ(value.size(), sizeof(DWORD));
  EXPECT_EQ(value[0], 1);
  CRYPT_KEY_PROV_INFO no_key{container.data(), provider.data(), 24, 0, 0, nullptr, 0};
  ASSERT_EQ(CertSetCertificateContextProperty(context, kCertKeyProvInfoPropId, 0, &no_key), 1);
  EXPECT_FALSE(Property(context, kCertKeySpecPropId, &value));
  EXPECT_EQ(GetLastError(), kCryptENotFound);

  std::u16string name = u"Velmora test certificate";
  CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * 2), reinterpret_cast<uint8_t*>(name.data())};
  ASSERT_EQ(CertSetCertificateContextProperty(context, kCertFriendlyNamePropId, 0, &blob), 1);
  ASSERT_TRUE(Property(context, kCertFriendlyNamePropId, &value));
  EXPECT_EQ(value, Bytes(blob.pbData, blob.pbData + blob.cbData));
  ASSERT_EQ(CertSetCertificateContextProperty(context, kCertFriendlyNamePropId, 0, nullptr), 1);
  EXPECT_FALSE(Property(context, kCertFriendlyNamePropId, &value));
  EXPECT_EQ(CertFreeCertificateContext(context), 1);
}

// Enumerate lists the store's certificates by a find loop, each as its encoded bytes.
std::vector<Bytes> Enumerate(HCERTSTORE store, DWORD find_type = kCertFindAny, const void* para = nullptr) {
  std::vector<Bytes> found;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertFindCertificateInStore(store, kEncoding, 0, find_type, para, context)) != nullptr) {
    found.emplace_back(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
  }
  EXPECT_EQ(GetLastError(), kCryptENotFound);
  return found;
}

HCERTSTORE OpenMemoryStore() {
  return CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvMemory), 0, 0, 0, nullptr);
}

TEST_F(Crypt32Module, MemoryStoreAddsFindsAndDeletesByDisposition) {
  const Bytes rsa = Der("rsa2048");
  const Bytes p256 = Der("p256");
  HCERTSTORE store = OpenMemoryStore();
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT context = Create(rsa);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_EQ(CertAddCertificateContextToStore(store, context, kCertStoreAddNew, &added), 1);
  EXPECT_NE(added, context);
  EXPECT_EQ(added->hCertStore, store);
  PCCERT_CONTEXT again = context;
  EXPECT_EQ(CertAddCertificateContextToStore(store, context, kCertStoreAddNew, &again), 0);
  EXPECT_EQ(GetLastError(), kCryptEExists);
  EXPECT_EQ(again, nullptr);
  PCCERT_CONTEXT existing = nullptr;
  ASSERT_EQ(CertAddCertificateContextToStore(store, context, kCertStoreAddUseExisting, &existing), 1);
  EXPECT_EQ(existing, added);
  ASSERT_EQ(CertAddCertificateContextToStore(store, context, kCertStoreAddAlways, nullptr), 1);
  ASSERT_EQ(CertAddEncodedCertificateToStore(store, kEncoding, p256.data(), static_cast<DWORD>(p256.size()),
                                             kCertStoreAddNew, nullptr),
            1);
  EXPECT_EQ(Enumerate(store), (std::vector<Bytes>{rsa, rsa, p256}));

  Bytes hash;
  ASSERT_TRUE(Property(context, kCertSha1HashPropId, &hash));
  const CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
  EXPECT_EQ(Enumerate(store, kCertFindSha1Hash, &blob), (std::vector<Bytes>{rsa, rsa}));

  // Replacing takes the new copy's properties.
  std::u16string name = u"replaced";
  CRYPT_DATA_BLOB friendly{static_cast<DWORD>(name.size() * 2), reinterpret_cast<uint8_t*>(name.data())};
  ASSERT_EQ(CertSetCertificateContextProperty(context, kCertFriendlyNamePropId, 0, &friendly), 1);
  PCCERT_CONTEXT replaced = nullptr;
  ASSERT_EQ(CertAddCertificateContextToStore(store, context, kCertStoreAddReplaceExisting, &replaced), 1);
  Bytes value;
  EXPECT_TRUE(Property(replaced, kCertFriendlyNamePropId, &value));
  EXPECT_EQ(Enumerate(store).size(), 3u);
  EXPECT_FALSE(Property(added, kCertFriendlyNamePropId, &value));  // the one replaced, still referenced

  // Deleting the found context removes it and gives its reference back.
  const int live = test::LiveCryptoHandles();
  PCCERT_CONTEXT first = CertFindCertificateInStore(store, kEncoding, 0, kCertFindAny, nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CertDeleteCertificateFromStore(first), 1);
  EXPECT_EQ(test::LiveCryptoHandles(), live - 1);
  EXPECT_EQ(Enumerate(store).size(), 2u);

  // A context still referenced outlives the store's close.
  PCCERT_CONTEXT kept = CertDuplicateCertificateContext(replaced);
  EXPECT_EQ(CertCloseStore(store, 0), 1);
  EXPECT_EQ(CertCloseStore(store, 0), 0);  // closed: no longer a handle
  Bytes kept_hash;
  ASSERT_TRUE(Property(kept, kCertSha1HashPropId, &kept_hash));
  EXPECT_EQ(kept_hash, hash);
  EXPECT_EQ(Bytes(kept->pCertInfo->Subject.pbData, kept->pCertInfo->Subject.pbData + kept->pCertInfo->Subject.cbData),
            Blob(context->pCertInfo->Subject));
  EXPECT_EQ(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(kept)), 0);  // in no store now
  EXPECT_EQ(GetLastError(), kCryptENotFound);
  for (PCCERT_CONTEXT c : {context, added, existing, replaced, kept}) EXPECT_EQ(CertFreeCertificateContext(c), 1);
}

TEST_F(Crypt32Module, RepeatedEnumerationsBalanceTheirReferences) {
  HCERTSTORE store = OpenMemoryStore();
  ASSERT_NE(store, nullptr);
  for (const char* name : kCertificateNames) {
    const Bytes der = Der(name);
    ASSERT_EQ(CertAddEncodedCertificateToStore(store, kX509AsnEncoding, der.data(), static_cast<DWORD>(der.size()),
                                               kCertStoreAddAlways, nullptr),
              1);
  }
  const int live = test::LiveCryptoHandles();
  for (int round = 0; round < 1000; ++round) {
    int seen = 0;
    for (PCCERT_CONTEXT c = nullptr;
         (c = CertFindCertificateInStore(store, kEncoding, 0, kCertFindAny, nullptr, c)) != nullptr;)
      ++seen;
    ASSERT_EQ(seen, 4);
  }
  EXPECT_EQ(test::LiveCryptoHandles(), live);
  EXPECT_EQ(CertCloseStore(store, 0), 1);
}

TEST_F(Crypt32Module, BadInputFailsWithALastErrorAndLeavesNothing) {
  const Bytes rsa = Der("rsa2048");
  const Bytes crl = Der("crl");
  struct Case {
    const char* what;
    DWORD encoding;
    const uint8_t* der;
    DWORD len;
    uint32_t error;
  };
  const Case cases[] = {
      {"truncated", kEncoding, rsa.data(), static_cast<DWORD>(rsa.size() / 2), kCryptEAsn1Eod},
      {"one byte short", kEncoding, rsa.data(), static_cast<DWORD>(rsa.size() - 1), kCryptEAsn1Eod},
      {"a CRL", kEncoding, crl.data(), static_cast<DWORD>(crl.size()), kCryptEAsn1Corrupt},
      {"length 0", kEncoding, rsa.data(), 0, kCryptEAsn1Eod},
      {"null", kEncoding, nullptr, 100, kEInvalidArg},
      {"PKCS #7 only", kPkcs7AsnEncoding, rsa.data(), static_cast<DWORD>(rsa.size()), kEInvalidArg},
      {"no encoding", 0, rsa.data(), static_cast<DWORD>(rsa.size()), kEInvalidArg},
      {"not a SEQUENCE", kEncoding, rsa.data() + 2, static_cast<DWORD>(rsa.size() - 2), kCryptEAsn1Badtag},
  };
  HCERTSTORE store = OpenMemoryStore();
  ASSERT_NE(store, nullptr);
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(c.encoding, c.der, c.len), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    PCCERT_CONTEXT added = reinterpret_cast<PCCERT_CONTEXT>(&c);
    EXPECT_EQ(CertAddEncodedCertificateToStore(store, c.encoding, c.der, c.len, kCertStoreAddNew, &added), 0) << c.what;
    EXPECT_EQ(added, nullptr);
  }
  EXPECT_TRUE(Enumerate(store).empty());
  EXPECT_EQ(CertCloseStore(store, 0), 1);

  for (const uintptr_t provider : {uintptr_t{1}, uintptr_t{10}}) {
    EXPECT_EQ(CertOpenStore(reinterpret_cast<const char*>(provider), 0, 0, 0x14000, "MY"), nullptr);
    EXPECT_EQ(GetLastError(), kENotImpl);
  }
  EXPECT_EQ(CertOpenStore("System", 0, 0, 0, "MY"), nullptr);
  EXPECT_EQ(GetLastError(), kENotImpl);
  EXPECT_EQ(PFXImportCertStore(nullptr, u"", 0), nullptr);
  EXPECT_EQ(GetLastError(), kEInvalidArg);

  // Calls on things that are no context or store are refused, not followed.
  CERT_CONTEXT forged{};
  EXPECT_EQ(CertFreeCertificateContext(&forged), 0);
  EXPECT_EQ(GetLastError(), kEInvalidArg);
  EXPECT_EQ(CertCloseStore(&forged, 0), 0);
  DWORD size = 0;
  EXPECT_EQ(CertGetCertificateContextProperty(&forged, kCertSha1HashPropId, nullptr, &size), 0);
}

uint64_t Seed() {
  const char* seed = std::getenv("VELMORABLE_FUZZ_SEED");
  return seed != nullptr ? std::strtoull(seed, nullptr, 0) : 0xC3A7u;
}

TEST_F(Crypt32Module, MutatedCertificatesNeverCrashOrLeak) {
  const uint64_t seed = Seed();
  std::printf("certificate mutation seed: 0x%llX (set VELMORABLE_FUZZ_SEED to replay)\n",
              static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  int accepted = 0;
  for (const char* name : kCertificateNames) {
    const Bytes original = Der(name);
    for (int round = 0; round < 500; ++round) {
      Bytes der = original;
      if (rng() % 3 == 0) {
        der.resize(rng() % der.size());
      } else {
        for (uint64_t flips = 1 + rng() % 4; flips > 0; --flips)
          der[rng() % der.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      // A heap copy of exactly the input's length, so a read past it shows.
      auto* input = static_cast<uint8_t*>(std::malloc(der.size() + 1));
      if (!der.empty()) std::memcpy(input, der.data(), der.size());
      PCCERT_CONTEXT context = CertCreateCertificateContext(kEncoding, input, static_cast<DWORD>(der.size()));
      std::free(input);
      if (context == nullptr) {
        EXPECT_NE(GetLastError(), 0u) << "seed 0x" << std::hex << seed;
        continue;
      }
      ++accepted;
      const CERT_INFO& info = *context->pCertInfo;
      volatile uint8_t sink = 0;
      for (const CRYPT_DATA_BLOB* blob : {&info.SerialNumber, &info.Issuer, &info.Subject}) {
        for (DWORD i = 0; i < blob->cbData; ++i) sink = sink ^ blob->pbData[i];
      }
      Bytes hash;
      EXPECT_TRUE(Property(context, kCertSha1HashPropId, &hash));
      EXPECT_EQ(CertFreeCertificateContext(context), 1);
    }
  }
  std::printf("%d of %zu mutations decoded\n", accepted, std::size(kCertificateNames) * 500);
}

}  // namespace
}  // namespace velmora::platform
