// The component certificate in system stores: certificates made and packed by the openssl command line,
// imported into the current user's "MY" and looked up every way a subject setting names one; partial
// subjects; the certificate moved into the loaded store with or without its key; the file, data and
// encoded ways of choosing it. Every test runs under a temporary store root and ends with no platform
// context or store alive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "component/tls_services.h"
#include "keystore/cert_export.h"
#include "keystore/system_stores.h"
#include "platform/last_error.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/pki/pem_test_support.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypt32_modules.h"
#endif

namespace velmora::keystore {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO
namespace plat = platform;
using component::CertKeyComponent;

constexpr plat::DWORD kEncoding = plat::kX509AsnEncoding | plat::kPkcs7AsnEncoding;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Fingerprint(const std::string& pem, const char* digest) {
  std::string out, hex;
  pki::testing::RunCommand("openssl x509 -in " + pem + " -noout -fingerprint -" + digest, &out);
  for (const char c : out.substr(out.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
  }
  return hex;
}

struct Made {
  std::string base, der, pfx, md5, sha1, sha256;
};

class SystemStores : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pki::testing::OpensslAvailable()) GTEST_SKIP() << "openssl is missing";
    char path[] = "/tmp/velmora_system_stores_XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
    plat::test::SetStoreRoot((dir_ + "/root").c_str());
    component::LoadCrypt32Functions();
    std::ofstream(dir_ + "/req.cnf") << "[req]\ndistinguished_name = dn\nstring_mask = default\n[dn]\n";
  }
  void TearDown() override {
    if (dir_.empty()) return;
    EXPECT_EQ(plat::test::LiveCertHandles(), 0);
    plat::test::SetStoreRoot(nullptr);
    std::filesystem::remove_all(dir_);
  }

  // Make has openssl make a self-signed RSA certificate, its DER, a PKCS #12 file (password "pw") and
  // its three fingerprints.
  Made Make(const std::string& name, const std::string& subject) {
    Made made;
    made.base = dir_ + "/" + name;
    const std::string& b = made.base;
    EXPECT_TRUE(pki::testing::Runs(("openssl req -config " + dir_ + "/req.cnf -x509 -newkey rsa:2048 -nodes -days 30 -subj '" +
                                    subject + "' -keyout " + b + ".key -out " + b + ".pem 2>/dev/null && openssl x509 -in " +
                                    b + ".pem -outform der -out " + b + ".der && openssl pkcs12 -export -in " + b +
                                    ".pem -inkey " + b + ".key -passout pass:pw -out " + b + ".pfx")
                                       .c_str()));
    made.der = Slurp(b + ".der");
    made.pfx = Slurp(b + ".pfx");
    made.md5 = Fingerprint(b + ".pem", "md5");
    made.sha1 = Fingerprint(b + ".pem", "sha1");
    made.sha256 = Fingerprint(b + ".pem", "sha256");
    return made;
  }

  // Add puts the certificate into a system store of the current user: with its key from the PKCS #12
  // file (exportable or not), or alone.
  void Add(const Made& made, const char* store_name, bool with_key, plat::DWORD import_flags = plat::kPfxExportable,
           plat::DWORD location = plat::kCertSystemStoreCurrentUser) {
    plat::HCERTSTORE store = plat::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvSystemA), 0, 0,
                                                 location, store_name);
    ASSERT_NE(store, nullptr);
    if (with_key) {
      std::string pfx = made.pfx;
      plat::CRYPT_DATA_BLOB blob{static_cast<plat::DWORD>(pfx.size()), reinterpret_cast<uint8_t*>(pfx.data())};
      plat::HCERTSTORE imported = plat::PFXImportCertStore(&blob, u"pw", import_flags);
      ASSERT_NE(imported, nullptr);
      plat::PCCERT_CONTEXT context = plat::CertFindCertificateInStore(imported, kEncoding, 0, plat::kCertFindAny,
                                                                      nullptr, nullptr);
      ASSERT_NE(context, nullptr);
      EXPECT_TRUE(plat::CertAddCertificateContextToStore(store, context, plat::kCertStoreAddAlways, nullptr));
      plat::CertFreeCertificateContext(context);
      plat::CertCloseStore(imported, 0);
    } else {
      EXPECT_TRUE(plat::CertAddEncodedCertificateToStore(store, kEncoding, reinterpret_cast<const uint8_t*>(made.der.data()),
                                                         static_cast<plat::DWORD>(made.der.size()),
                                                         plat::kCertStoreAddAlways, nullptr));
    }
    plat::CertCloseStore(store, 0);
  }

  // Find looks the subject (or data) up in the current user's store; the DER found, "" for none.
  std::string Find(CertKeyComponent& component, const char* store, const std::string& subject,
                   const std::string* data = nullptr, bool require_key = false, int* rc = nullptr) {
    const plat::CERT_CONTEXT* found = nullptr;
    const int result = OpenSystemStoreAndFind(component, 0, store, subject.c_str(),
                                              data ? reinterpret_cast<const uint8_t*>(data->data()) : nullptr,
                                              data ? static_cast<int32_t>(data->size()) : 0, &found, require_key);
    if (rc != nullptr) *rc = result;
    std::string der;
    if (found != nullptr) {
      der.assign(reinterpret_cast<const char*>(found->pbCertEncoded), found->cbCertEncoded);
      plat::CertFreeCertificateContext(found);
    }
    return der;
  }

  std::string dir_;
  pki::testing::ProvidersLoaded providers_;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST_F(SystemStores, ImportedCertificateIsFoundByEverySubjectForm) {
  const Made keyless = Make("keyless", "/CN=Keyless/O=Velmora Test");
  const Made alice = Make("alice", "/CN=Alice Example/O=Velmora Test");
  Add(keyless, "MY", false);
  Add(alice, "MY", true);
  const struct {
    std::string subject;
    bool require_key;
    const std::string* expected;  // null: nothing is found (272)
  } cases[] = {
      {"CN=Alice Example, O=Velmora Test", false, &alice.der},
      {"Thumbprint=" + alice.sha1, false, &alice.der},
      {"thumbprint = " + Lower(alice.sha1), false, &alice.der},
      {"Thumbprint=" + alice.sha1.substr(1), false, nullptr},
      {"Thumbprint=" + alice.md5, false, &alice.der},
      {"Thumbprint=" + Lower(alice.sha256), false, &alice.der},
      {"Thumbprint=" + keyless.sha1, false, &keyless.der},
      // "*" takes the first certificate the store lists, and a store lists its files by SHA-1.
      {"*", false, Lower(keyless.sha1) < Lower(alice.sha1) ? &keyless.der : &alice.der},
      {"*", true, &alice.der},
      {"CN=Alice Example", false, &alice.der},
      {"Alice Example", false, &alice.der},
      {"CN=Alice", false, nullptr},
      {"CN=\"Alice", false, nullptr},
      {std::string(3000, 'A'), false, nullptr},
      {"XYZ=Alice Example", false, nullptr},
  };
  for (const auto& c : cases) {
    CertKeyComponent component;
    int rc = -1;
    const std::string found = Find(component, "MY", c.subject, nullptr, c.require_key, &rc);
    EXPECT_EQ(rc, c.expected != nullptr ? 0 : 272) << c.subject.substr(0, 60);
    EXPECT_EQ(found, c.expected != nullptr ? *c.expected : "") << c.subject.substr(0, 60);
    if (c.expected == nullptr) {
      EXPECT_EQ(std::string(component.LastErrorText().Data()).rfind("The certificate could not be found (0x", 0), 0u);
    }
  }
  // By encoding: the DER itself and the certificate as PEM; with a key required the keyless one fails.
  CertKeyComponent component;
  const std::string pem = Slurp(alice.base + ".pem");
  EXPECT_EQ(Find(component, "MY", "", &alice.der, true), alice.der);
  EXPECT_EQ(Find(component, "MY", "", &pem, true), alice.der);
  EXPECT_EQ(Find(component, "MY", "", &keyless.der, false), keyless.der);
  int rc = 0;
  EXPECT_EQ(Find(component, "MY", "", &keyless.der, true, &rc), "");
  EXPECT_EQ(rc, 272);
}

TEST_F(SystemStores, PartialSubjectsTakeWholeValuesOnly) {
  Add(Make("bob", "/CN=Bob"), "MY", false);
  Add(Make("bobby", "/CN=Bobby"), "MY", false);
  Add(Make("bobby2", "/CN=Bobby"), "CA", false);
  Add(Make("evil", "/CN=Bob Evil"), "CA", false);
  for (const char* wanted : {"Bobby", "Bob", "CN=Bob", "bobby"}) {
    CertKeyComponent component;
    ASSERT_EQ(component.StoreName().SetString("MY"), 0);
    EXPECT_EQ(SetCertificateSubject(component, wanted, nullptr), 0) << wanted;
    EXPECT_TRUE(component.Subject().EqualsNoCase((std::string("CN=") + (wanted[0] == 'C' ? wanted + 3 : wanted)).c_str()))
        << wanted << " -> " << component.Subject().Data();
  }
  CertKeyComponent component;
  ASSERT_EQ(component.StoreName().SetString("CA"), 0);
  EXPECT_EQ(SetCertificateSubject(component, "CN=Bob", nullptr), 272);
  EXPECT_EQ(std::string(component.LastErrorText().Data()).rfind("The certificate could not be found (0x", 0), 0u);
}

TEST_F(SystemStores, SystemCertificateArrivesWithItsKeyOnlyWhenExportable) {
  const Made alice = Make("alice", "/CN=Alice/O=Velmora Test");
  Add(alice, "MY", true);
  CertKeyComponent component;
  ASSERT_EQ(component.StoreName().SetString("MY"), 0);
  ASSERT_EQ(SetCertificateSubject(component, "CN=Alice, O=Velmora Test", nullptr), 0);
  CertStoreHandle* store = LoadedStoreOf(component);
  ASSERT_TRUE(store->SelectedHasPrivateKey());
  EXPECT_TRUE(IsSelectedKeyRsa(component));
  EXPECT_FALSE(IsSelectedKeyDsa(component));
  core::Buffer key;
  const core::StrList none;
  ASSERT_EQ(ExportCertificateKey(*store, "PKCS8", true, "", none, none, nullptr, nullptr, key, nullptr), 0);
  std::ofstream(dir_ + "/moved.key", std::ios::binary) << std::string(key.Data(), key.Length());
  std::ofstream(dir_ + "/message") << "signed by the moved key";
  EXPECT_TRUE(pki::testing::Runs(("openssl pkeyutl -sign -inkey " + dir_ + "/moved.key -in " + dir_ +
                                  "/message -out " + dir_ + "/sig && openssl pkeyutl -verify -certin -inkey " +
                                  alice.base + ".pem -in " + dir_ + "/message -sigfile " + dir_ + "/sig >/dev/null")
                                     .c_str()));
  // Each refusal to export the key brings the certificate alone; another failure brings nothing.
  for (const uint32_t code : {0x80092004u, 0x80090003u, 0x8009000Bu, 0x8009000Du, 0x80090010u, 0x80090016u,
                              0x80070057u}) {
    CertStoreHandle handle;
    plat::test::FailNextPfxExport(code);
    EXPECT_EQ(LoadSystemCertificate(component, handle, component.CertificateContext()), 0) << std::hex << code;
    EXPECT_EQ(handle.entries.Count(), code == 0x80070057u ? 0 : 1) << std::hex << code;
    EXPECT_FALSE(handle.SelectedHasPrivateKey()) << std::hex << code;
  }
  // Kept without an exportable key, the certificate still arrives and the store stays open for its key.
  const Made kept = Make("kept", "/CN=Kept");
  Add(kept, "MY", true, 0);
  CertKeyComponent holder;
  ASSERT_EQ(holder.StoreName().SetString("MY"), 0);
  ASSERT_EQ(SetCertificateSubject(holder, "CN=Kept", nullptr), 0);
  EXPECT_FALSE(LoadedStoreOf(holder)->SelectedHasPrivateKey());
  ASSERT_TRUE(holder.HoldsKeyStore());
  core::StrList listed;
  ASSERT_EQ(EnumerateStoreCertificates(holder, listed), 0);
  EXPECT_EQ(listed.Count(), 2);
  CertKeyComponent copy;
  CopyCertificateHolder(copy, holder);
  ASSERT_NE(copy.CertificateContext(), nullptr);
  EXPECT_EQ(std::string(copy.Subject().Data()), "CN=Kept");
  EXPECT_EQ(copy.CertificateContext()->cbCertEncoded, kept.der.size());
  EXPECT_EQ(LoadedStoreOf(copy)->entries.Count(), 1);
}

TEST_F(SystemStores, SubjectAndEncodingChooseTheCertificateOfEveryStoreKind) {
  const Made alice = Make("alice", "/CN=Alice/O=Velmora Test");
  Add(alice, "MY", true);
  Add(alice, "MY", true, plat::kPfxExportable, plat::kCertSystemStoreLocalMachine);
  const std::string file = alice.base + ".pfx";
  const std::string pem = alice.base + ".pem";
  const char* const kSubject = "CN=Alice, O=Velmora Test";
  const char* const kWrongKind = "The certificate store could not be opened (0x80092002).";
  const struct {
    int32_t kind;
    std::string store, password, subject;
    int rc;
    const char* text;  // the subject afterwards, or the error text
  } cases[] = {
      {0, "MY", "", kSubject, 0, kSubject},
      {1, "my", "", "Alice", 0, kSubject},
      {1, "NOPE", "", kSubject, 271, "The certificate store could not be opened (0x2)."},
      {2, file, "pw", "*", 0, kSubject},
      {3, alice.pfx, "pw", "Alice", 0, kSubject},
      {2, alice.pfx, "pw", "*", 271, kWrongKind},
      {11, file, "pw", "*", 271, kWrongKind},
      {99, alice.pfx, "pw", "*", 0, kSubject},
      {99, file, "pw", "*", 0, kSubject},
      {8, pem, "", "CN=Alice", 0, kSubject},
      {2, file, "pw", "Nobody", 272, "Cannot find specified certificate."},
  };
  for (const auto& c : cases) {
    CertKeyComponent component;
    component.StoreKind() = c.kind;
    ASSERT_EQ(component.StoreName().SetData(static_cast<int32_t>(c.store.size()), c.store.data()), 0);
    ASSERT_EQ(component.StorePassword().SetString(c.password.c_str()), 0);
    const int rc = SetCertificateSubject(component, c.subject.c_str(), nullptr);
    EXPECT_EQ(rc, c.rc) << c.kind << " " << c.subject;
    const core::Buffer& text = rc == 0 ? component.Subject() : component.LastErrorText();
    EXPECT_STREQ(text.Data() ? text.Data() : "", c.text) << c.kind << " " << c.subject;
  }
  // By encoding: found in the system store, inside a PKCS #12 file, or taken as the store itself.
  const uint8_t* der = reinterpret_cast<const uint8_t*>(alice.der.data());
  const int32_t length = static_cast<int32_t>(alice.der.size());
  for (const int32_t kind : {0, 2, 7}) {
    CertKeyComponent component;
    component.StoreKind() = kind;
    ASSERT_EQ(component.StoreName().SetString(kind == 2 ? file.c_str() : "MY"), 0);
    ASSERT_EQ(component.StorePassword().SetString("pw"), 0);
    EXPECT_EQ(SetCertificateEncoded(component, der, length), 0) << kind;
    EXPECT_STREQ(component.Subject().Data(), kSubject) << kind;
    EXPECT_EQ(component.CertificateSet(), kind == 7 ? 0 : 1) << kind;
    EXPECT_EQ(component.StoreName().Length(), kind == 7 ? length : component.StoreName().Length());
  }
  CertKeyComponent component;
  const plat::CERT_CONTEXT* found = nullptr;
  EXPECT_EQ(OpenSystemStoreAndFind(component, 2, "MY", kSubject, nullptr, 0, &found, false), 202);
  EXPECT_EQ(found, nullptr);
}

// A certificate handed over as DER, PEM or base64 is found inside the configured PKCS #12 or PKCS #7
// store, which stays with its kind and key; one that is not there selects nothing.
TEST_F(SystemStores, EncodedCertificateInAnyFormIsFoundInTheConfiguredStore) {
  const Made alice = Make("alice", "/CN=Alice/O=Velmora Test");
  const Made bob = Make("bob", "/CN=Bob");
  ASSERT_TRUE(pki::testing::Runs(("openssl crl2pkcs7 -nocrl -certfile " + alice.base + ".pem -certfile " + bob.base +
                                 ".pem -outform der -out " + dir_ + "/both.p7b && openssl base64 -A -in " + bob.base +
                                 ".der -out " + bob.base + ".b64 && openssl base64 -A -in " + alice.base + ".der -out " +
                                 alice.base + ".b64").c_str()));
  const std::string p7b = Slurp(dir_ + "/both.p7b");
  const struct {
    int32_t kind;
    const std::string* store;
    const Made* wanted;
    const char* subject;
  } cases[] = {{3, &alice.pfx, &alice, "CN=Alice, O=Velmora Test"}, {12, &p7b, &bob, "CN=Bob"}};
  for (const auto& c : cases) {
    for (const std::string& form : {c.wanted->der, Slurp(c.wanted->base + ".pem"), Slurp(c.wanted->base + ".b64")}) {
      SCOPED_TRACE(std::to_string(c.kind) + " " + form.substr(0, 12));
      CertKeyComponent component;
      component.StoreKind() = c.kind;
      ASSERT_EQ(component.StoreName().SetData(static_cast<int32_t>(c.store->size()), c.store->data()), 0);
      ASSERT_EQ(component.StorePassword().SetString("pw"), 0);
      EXPECT_EQ(SetCertificateEncoded(component, reinterpret_cast<const uint8_t*>(form.data()),
                                      static_cast<int32_t>(form.size())), 0);
      EXPECT_EQ(component.CertificateSet(), 1);
      EXPECT_EQ(component.StoreKind(), c.kind);
      EXPECT_TRUE(component.StoreName().EqualsBytes(c.store->data(), static_cast<int32_t>(c.store->size())));
      EXPECT_STREQ(component.Subject().Data(), c.subject);
      EXPECT_EQ(LoadedStoreOf(component)->SelectedHasPrivateKey(), c.kind == 3);
      if (c.kind != 3) continue;
      const std::string absent = Slurp(bob.base + ".pem");
      EXPECT_EQ(FindByEncodedCertificate(component, reinterpret_cast<const uint8_t*>(absent.data()),
                                         static_cast<int32_t>(absent.size())), -1);
      EXPECT_EQ(LoadedStoreOf(component)->entries.Count(), 1);
      EXPECT_TRUE(LoadedStoreOf(component)->SelectedHasPrivateKey());
    }
  }
}
#endif

}  // namespace
}  // namespace velmora::keystore
