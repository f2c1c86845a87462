// System certificate stores: a PFX made by the openssl command line imported, added to the current
// user's "MY" and found again after reopening; the machine's "ROOT" against the bundle as openssl lists
// it; damaged store files and PFX bytes; and the seeded mutation loop of the store files. Every test
// runs under a temporary store root and ends with no context or store alive.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/ncrypt_modules.h"
#include "platform/last_error.h"
#include "platform/store_root.h"
#include "platform/win_codes.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/fuzz_support.h"

namespace velmora::platform {

std::string FuzzStoreFileInput(const std::string& input);

namespace {

constexpr DWORD kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;
constexpr DWORD kUserExisting = kCertSystemStoreCurrentUser | kCertStoreOpenExistingFlag;
constexpr DWORD kMachineExisting = kCertSystemStoreLocalMachine | kCertStoreOpenExistingFlag;

HCERTSTORE OpenSystem(DWORD flags, const char* name) {
  return CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvSystemA), 0, 0, flags, name);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Shell(const std::string& command) {
  std::string out;
  return pki::testing::RunCommand(command, &out) ? out : "";
}

class Crypt32SystemStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/velmora_system_store_XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
    test::SetStoreRoot((dir_ + "/root").c_str());
  }
  void TearDown() override {
    EXPECT_EQ(test::LiveCertHandles(), 0);
    test::SetStoreRoot(nullptr);
    std::filesystem::remove_all(dir_);
  }
  // MakePfx has openssl make a self-signed certificate with that subject and a PKCS #12 file of it.
  bool MakePfx(const std::string& subject, const std::string& password, std::string* pfx, std::string* sha1) {
    const std::string base = dir_ + "/made";
    // PrintableString where possible, as CertStrToNameA writes it.
    std::ofstream(base + ".cnf") << "[req]\ndistinguished_name = dn\nstring_mask = default\n[dn]\n";
    if (!pki::testing::OpensslAvailable() ||
        !pki::testing::Runs(("openssl req -config " + base + ".cnf -x509 -newkey rsa:2048 -nodes -days 30 -subj '" + subject +
                             "' -keyout " +
                             base + ".key -out " + base + ".pem 2>/dev/null && openssl pkcs12 -export -in " + base +
                             ".pem -inkey " + base + ".key -passout pass:" + password + " -out " + base + ".pfx")
                                .c_str())) {
      return false;
    }
    *pfx = Slurp(base + ".pfx");
    const std::string fingerprint = Shell("openssl x509 -in " + base + ".pem -noout -fingerprint -sha1");
    sha1->clear();
    for (const char c : fingerprint.substr(fingerprint.find('=') + 1)) {
      if (std::isxdigit(static_cast<unsigned char>(c))) sha1->push_back(c);
    }
    *sha1 = testing_support::FromHex(*sha1);
    return sha1->size() == 20;
  }
  std::string dir_;
};

HCERTSTORE Import(std::string& pfx, const char16_t* password, DWORD flags) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), reinterpret_cast<uint8_t*>(pfx.data())};
  return PFXImportCertStore(&blob, password, flags);
}

PCCERT_CONTEXT FindBySha1(HCERTSTORE store, std::string sha1) {
  CRYPT_HASH_BLOB hash{static_cast<DWORD>(sha1.size()), reinterpret_cast<uint8_t*>(sha1.data())};
  return CertFindCertificateInStore(store, kEncoding, 0, kCertFindSha1Hash, &hash, nullptr);
}

PCCERT_CONTEXT FindBySubjectText(HCERTSTORE store, const char* text) {
  uint8_t name[2000];
  DWORD length = sizeof name;
  if (CertStrToNameA(kEncoding, text, kCertOidNameStr, nullptr, name, &length, nullptr) == 0) return nullptr;
  CERT_NAME_BLOB blob{length, name};
  return CertFindCertificateInStore(store, kEncoding, 0, kCertFindSubjectName, &blob, nullptr);
}

TEST_F(Crypt32SystemStore, ImportedPfxIsFoundInMyAndSurvivesReopening) {
  std::string pfx, sha1;
  if (!MakePfx("/CN=Alice Example/O=Velmora Test", "pw", &pfx, &sha1)) GTEST_SKIP() << "openssl is missing";
  EXPECT_EQ(Import(pfx, u"wrong", 1), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidPassword);
  HCERTSTORE imported = Import(pfx, u"pw", kPfxExportable);
  ASSERT_NE(imported, nullptr);
  PCCERT_CONTEXT certificate = FindBySha1(imported, sha1);
  ASSERT_NE(certificate, nullptr);

  HCERTSTORE my = OpenSystem(kUserExisting, "my");
  ASSERT_NE(my, nullptr);
  EXPECT_TRUE(CertAddCertificateContextToStore(my, certificate, kCertStoreAddNew, nullptr));
  EXPECT_FALSE(CertAddCertificateContextToStore(my, certificate, kCertStoreAddNew, nullptr));
  EXPECT_EQ(GetLastError(), kCryptEExists);
  CertFreeCertificateContext(certificate);
  ASSERT_TRUE(CertCloseStore(my, 0));

  my = OpenSystem(kUserExisting, "MY");
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT by_name = FindBySubjectText(my, "CN=Alice Example, O=Velmora Test");
  PCCERT_CONTEXT by_hash = FindBySha1(my, sha1);
  PCCERT_CONTEXT by_text = CertFindCertificateInStore(my, kEncoding, 0, kCertFindSubjectStrA, "alice EX", nullptr);
  ASSERT_NE(by_name, nullptr);
  EXPECT_EQ(by_hash, by_name);
  EXPECT_EQ(by_text, by_name);
  EXPECT_EQ(FindBySubjectText(my, "CN=Alice Example"), nullptr);
  EXPECT_EQ(CertFindCertificateInStore(my, kEncoding, 0, kCertFindSubjectStrA, "bob", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kCryptENotFound);
  // The key came along: its information survives in the properties file, and the key opens and exports.
  DWORD spec = 0, size = sizeof spec;
  EXPECT_TRUE(CertGetCertificateContextProperty(by_name, kCertKeySpecPropId, &spec, &size));
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  BOOL must_free = 0;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(by_name, kCryptAcquirePreferNcryptKeyFlag, nullptr, &key, &spec,
                                                &must_free));
  EXPECT_EQ(NCryptFreeObject(key), 0);
  HCERTSTORE out = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvMemory), 0, 0, 0, nullptr);
  EXPECT_TRUE(CertAddCertificateContextToStore(out, by_name, kCertStoreAddAlways, nullptr));
  CRYPT_DATA_BLOB exported{0, nullptr};
  ASSERT_TRUE(PFXExportCertStore(out, &exported, u"", 7));
  std::string bytes(exported.cbData, '\0');
  exported.pbData = reinterpret_cast<uint8_t*>(bytes.data());
  ASSERT_TRUE(PFXExportCertStore(out, &exported, u"", 7));
  bytes.resize(exported.cbData);
  std::ofstream(dir_ + "/out.pfx", std::ios::binary) << bytes;
  const std::string modulus_in = Shell("openssl rsa -in " + dir_ + "/made.key -noout -modulus");
  EXPECT_EQ(Shell("openssl pkcs12 -in " + dir_ + "/out.pfx -passin pass: -nocerts -nodes | openssl rsa -noout -modulus"),
            modulus_in);
  EXPECT_FALSE(modulus_in.empty());
  CertCloseStore(out, 0);
  // Deleting removes the files: reopened, the store is empty.
  CertFreeCertificateContext(by_hash);
  CertFreeCertificateContext(by_text);
  EXPECT_TRUE(CertDeleteCertificateFromStore(by_name));
  CertCloseStore(my, 0);
  my = OpenSystem(kUserExisting, "MY");
  EXPECT_EQ(CertFindCertificateInStore(my, kEncoding, 0, kCertFindAny, nullptr, nullptr), nullptr);
  CertCloseStore(my, 0);
  CertCloseStore(imported, 0);

  // Without CRYPT_EXPORTABLE the key stays: export with flag 2 is refused, with flag 1 alone the
  // certificate goes; a certificate without key and flag 1 is refused.
  imported = Import(pfx, u"pw", 0);
  ASSERT_NE(imported, nullptr);
  exported = {0, nullptr};
  EXPECT_FALSE(PFXExportCertStore(imported, &exported, u"", 7));
  EXPECT_EQ(GetLastError(), kNtePermCode);
  EXPECT_TRUE(PFXExportCertStore(imported, &exported, u"", 5));
  CertCloseStore(imported, 0);
  out = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvMemory), 0, 0, 0, nullptr);
  const std::string cert_der = Shell("openssl x509 -in " + dir_ + "/made.pem -outform DER | od -An -v -tx1 | tr -d ' \\n'");
  const std::string raw = testing_support::FromHex(cert_der);
  EXPECT_TRUE(CertAddEncodedCertificateToStore(out, kEncoding, reinterpret_cast<const uint8_t*>(raw.data()),
                                               static_cast<DWORD>(raw.size()), kCertStoreAddNew, nullptr));
  exported = {0, nullptr};
  EXPECT_FALSE(PFXExportCertStore(out, &exported, u"", 5));
  EXPECT_EQ(GetLastError(), kCryptENotFound);
  CertCloseStore(out, 0);
}

TEST_F(Crypt32SystemStore, MachineRootListsTheBundleAsOpensslDoes) {
  const std::string bundle = X509_get_default_cert_file();
  const std::string listed = Shell("openssl crl2pkcs7 -nocrl -certfile " + bundle +
                                 " | openssl pkcs7 -print_certs | /usr/bin/python3 -c \"import sys,re,base64,hashlib;"
                                 "[print(hashlib.sha1(base64.b64decode(b)).hexdigest()) for b in re.findall("
                                 "r'-----BEGIN CERTIFICATE-----(.*?)-----END', sys.stdin.read(), re.S)]\"");
  if (listed.empty()) GTEST_SKIP() << "openssl or the certificate bundle is missing";
  HCERTSTORE root = OpenSystem(kMachineExisting, "ROOT");
  ASSERT_NE(root, nullptr);
  std::string seen;
  PCCERT_CONTEXT context = nullptr;
  PCCERT_CONTEXT first = nullptr;
  while ((context = CertFindCertificateInStore(root, kEncoding, 0, kCertFindAny, nullptr, context)) != nullptr) {
    uint8_t sha1[20];
    DWORD size = sizeof sha1;
    ASSERT_TRUE(CertGetCertificateContextProperty(context, kCertSha1HashPropId, sha1, &size));
    seen += testing_support::ToHex(std::string(reinterpret_cast<char*>(sha1), 20)) + "\n";
    if (first == nullptr) first = CertDuplicateCertificateContext(context);
  }
  std::string lower = seen;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(lower, listed);
  ASSERT_NE(first, nullptr);
  // Bundle certificates cannot be deleted; a test certificate added to the machine's ROOT shows in the
  // current user's.
  EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(first)));
  EXPECT_EQ(GetLastError(), kEAccessDenied);
  std::string pfx, sha1;
  if (MakePfx("/CN=Test Root", "x", &pfx, &sha1)) {
    HCERTSTORE imported = Import(pfx, u"x", 0);
    PCCERT_CONTEXT made = FindBySha1(imported, sha1);
    EXPECT_TRUE(CertAddCertificateContextToStore(root, made, kCertStoreAddNew, nullptr));
    CertFreeCertificateContext(made);
    CertCloseStore(imported, 0);
    HCERTSTORE user_root = OpenSystem(kUserExisting, "ROOT");
    made = FindBySha1(user_root, sha1);
    EXPECT_NE(made, nullptr);
    CertFreeCertificateContext(made);
    CertCloseStore(user_root, 0);
  }
  CertCloseStore(root, 0);
  HCERTSTORE read_only = OpenSystem(kUserExisting | kCertStoreReadOnlyFlag, "CA");
  EXPECT_FALSE(CertAddCertificateContextToStore(read_only, first, kCertStoreAddNew, nullptr));
  EXPECT_EQ(GetLastError(), kEAccessDenied);
  CertFreeCertificateContext(first);
  CertCloseStore(read_only, 0);
  EXPECT_EQ(OpenSystem(kUserExisting, "Other"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(Crypt32SystemStore, DamagedFilesAndPfxBytesFailWithTheirErrors) {
  std::string pfx, sha1;
  if (!MakePfx("/CN=Damaged", "pw", &pfx, &sha1)) GTEST_SKIP() << "openssl is missing";
  HCERTSTORE imported = Import(pfx, u"pw", 0);
  PCCERT_CONTEXT made = FindBySha1(imported, sha1);
  const std::string der(reinterpret_cast<const char*>(made->pbCertEncoded), made->cbCertEncoded);
  HCERTSTORE my = OpenSystem(kUserExisting, "MY");
  EXPECT_TRUE(CertAddCertificateContextToStore(my, made, kCertStoreAddNew, nullptr));
  CertCloseStore(my, 0);
  CertFreeCertificateContext(made);
  CertCloseStore(imported, 0);
  const std::string folder = dir_ + "/root/stores/MY/";
  const std::string name = testing_support::ToHex(sha1);
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string props = Slurp(folder + lower + ".props");
  ASSERT_FALSE(props.empty());
  struct Case {
    std::string der, props;
    uint32_t error;
  };
  std::string flipped = der;
  flipped[der.size() / 2] ^= 0x40;
  const Case cases[] = {
      {der.substr(0, der.size() - 10), props, kCryptEAsn1Eod},
      {"\x31" + der.substr(1), props, kCryptEAsn1Badtag},
      {flipped, props, kCryptEFileError},  // no longer the bytes its name hashes
      {der, props.substr(0, props.size() - 3), kCryptEFileError},
      {der, "prov 0 0 1 xzz -\n", kCryptEFileError},
      {der, props, 0},
  };
  for (const Case& c : cases) {
    std::ofstream(folder + lower + ".der", std::ios::binary | std::ios::trunc) << c.der;
    std::ofstream(folder + lower + ".props", std::ios::binary | std::ios::trunc) << c.props;
    HCERTSTORE store = OpenSystem(kUserExisting, "MY");
    EXPECT_EQ(store == nullptr ? GetLastError() : 0u, c.error);
    CertCloseStore(store, 0);
  }
  std::string mutated = pfx;
  std::mt19937_64 rng(testing_support::FuzzSeed());
  for (int i = 0; i < 200; ++i) {
    mutated = pfx;
    testing_support::MutateOnce(mutated, rng, std::string("\x00\x30\x80\xFF", 4));
    HCERTSTORE store = Import(mutated, u"pw", 0);
    if (store == nullptr) {
      const uint32_t error = GetLastError();
      EXPECT_TRUE(error == kCryptEBadDecode || error == kErrorInvalidPassword) << std::hex << error;
    }
    CertCloseStore(store, 0);
  }
}

TEST_F(Crypt32SystemStore, MutatedStoreFilesOpenOrFailCleanly) {
  std::string pfx, sha1;
  if (!MakePfx("/CN=Fuzz Seed", "pw", &pfx, &sha1)) GTEST_SKIP() << "openssl is missing";
  HCERTSTORE imported = Import(pfx, u"pw", 0);
  PCCERT_CONTEXT made = FindBySha1(imported, sha1);
  const std::string der(reinterpret_cast<const char*>(made->pbCertEncoded), made->cbCertEncoded);
  CertFreeCertificateContext(made);
  CertCloseStore(imported, 0);
  const std::string length{static_cast<char>(der.size() >> 8), static_cast<char>(der.size() & 0xFF)};
  const std::vector<std::string> seeds = {"\x03" + length + der + "prov 0 32 1 x7b00 x4d00\nfriendly x4100\n",
                                          "\x01" + length + der, "\x02" + length + der + "param 1 0 x00\n"};
  testing_support::RunMutationLoop("StoreFile", seeds, 2000, std::string("\x00\x30\x80\xFF x-\n", 8),
                                   FuzzStoreFileInput);
}

}  // namespace
}  // namespace velmora::platform
