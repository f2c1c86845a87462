// The certificate source over certificates and keys that openssl makes at test time: what each owner kind
// answers, the store operations on the selected entry, selection by subject and by the fingerprints
// `openssl x509 -fingerprint` prints, and the pairing of keys with their certificates.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "keystore/certificate_source.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_thumbprint.h"
#include "pki/key_der.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore {

namespace {

using pki::testing::Bytes;
using pki::testing::RunCommand;

std::string Shell(const std::string& command) {
  std::string out;
  EXPECT_TRUE(RunCommand("(" + command + ") 2>/dev/null", &out)) << command;
  return out;
}

// Material is made once: four certificates (two with their PKCS #8 keys) and their fingerprints.
struct Material {
  pki::testing::ScratchDir dir;
  std::map<std::string, Certificate*> certs;
  std::map<std::string, KeyRecord*> keys;
  std::map<std::string, std::string> fingerprints;  // "name md5" and so on: lower-case hex
  ~Material() {
    for (auto& [name, cert] : certs) delete cert;
    for (auto& [name, key] : keys) delete key;
  }
};

const char* const kSubjects[][2] = {{"test", "/C=US/O=Example/CN=Test"},
                                    {"second", "/C=US/O=Example/CN=Second"},
                                    {"bobby", "/CN=Bobby"},
                                    {"evil", "/CN=Bob Evil"}};

Material* Make() {
  auto* m = new Material;
  for (const auto& [name, subject] : kSubjects) {
    const std::string n = name, base = m->dir / n;
    const std::string algorithm = n == "evil" ? "-newkey ec -pkeyopt ec_paramgen_curve:P-256" : "-newkey rsa:2048";
    Shell("openssl req -x509 " + algorithm + " -nodes -keyout " + base + ".key -out " + base + ".pem -subj '" + subject +
          "' -days 30 && openssl x509 -in " + base + ".pem -outform DER -out " + base + ".der && openssl pkcs8 -topk8 -nocrypt -in " +
          base + ".key -outform DER -out " + base + ".p8");
    const std::string der = m->dir.Read(n + ".der"), p8 = m->dir.Read(n + ".p8");
    auto* cert = new Certificate;
    EXPECT_EQ(pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()), *cert), 0);
    m->certs[n] = cert;
    pki::Pkcs8KeyInfo info;
    EXPECT_EQ(pki::ReadPkcs8PrivateKeyInfo(reinterpret_cast<const uint8_t*>(p8.data()), static_cast<int32_t>(p8.size()), info), 0);
    auto* key = new KeyRecord;
    EXPECT_EQ(key->CopyFrom(info.key), 0);
    m->keys[n] = key;
    for (const char* md : {"md5", "sha1", "sha256"}) {
      std::string line = Shell("openssl x509 -noout -fingerprint -" + std::string(md) + " -in " + base + ".pem");
      std::string hex;
      for (char c : line.substr(line.find('=') + 1)) {
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      m->fingerprints[n + " " + md] = hex;
    }
  }
  return m;
}

class CertificateSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (pki::testing::OpensslAvailable()) material_ = Make();
  }
  static void TearDownTestSuite() {
    delete material_;
    material_ = nullptr;
  }
  void SetUp() override {
    if (material_ == nullptr) GTEST_SKIP() << "openssl missing";
  }
  static Certificate& Cert(const std::string& name) { return *material_->certs.at(name); }
  static KeyRecord& Key(const std::string& name) { return *material_->keys.at(name); }
  static std::string Subject(const Certificate* cert) { return cert == nullptr ? "none" : Bytes(cert->tbs.subject); }
  // Bundle is a loaded P7B of the named certificates, in order.
  static void Bundle(const std::vector<std::string>& names, SignedDataEntry& entry) {
    pki::CertificateList list;
    for (const std::string& name : names) ASSERT_EQ(pki::CopyRecord(*pki::AddNew(list), Cert(name)), 0);
    core::Buffer p7b;
    ASSERT_EQ(pki::BuildP7b(list, p7b), 0);
    ASSERT_EQ(pki::LoadP7b(p7b.Bytes(), p7b.Length(), entry), 0);
  }
  static Material* material_;
  pki::testing::ProvidersLoaded providers_;
};

Material* CertificateSourceTest::material_ = nullptr;

}  // namespace

TEST_F(CertificateSourceTest, EveryOwnerKindAnswersAsItsKind) {
  SignedDataEntry bundle;
  Bundle({"second", "test"}, bundle);
  bundle.selectedIndex = 1;
  Pfx pfx;
  ASSERT_EQ(pki::CopyRecord(*pki::AddNew(pfx.certificates), Cert("bobby")), 0);
  CertificateWithKey with_key;
  ASSERT_EQ(pki::CopyRecord(with_key.certificate, Cert("test")), 0);
  ASSERT_EQ(with_key.key.CopyFrom(Key("test")), 0);
  KeyWithCertificates chain, empty_chain;
  ASSERT_EQ(chain.key.CopyFrom(Key("evil")), 0);
  ASSERT_EQ(pki::CopyRecord(*pki::AddNew(chain.certificates), Cert("evil")), 0);
  ASSERT_EQ(empty_chain.key.CopyFrom(Key("evil")), 0);
  KeyCertificatePair pair;
  ASSERT_EQ(pair.key.CopyFrom(Key("evil")), 0);
  ASSERT_EQ(pki::CopyRecord(pair.certificate, Cert("evil")), 0);
  SignedDataEntry past_end;
  Bundle({"test"}, past_end);
  past_end.selectedIndex = 1;

  struct Row {
    const char* name;
    std::function<int(CertificateSource&)> fill;
    std::string subject;  // "none" for no certificate
    int32_t key_type;     // -1 for no key
    bool private_key;
  } rows[] = {
      {"certificate", [](CertificateSource& s) { return s.SetCertificate(Cert("test")); }, "C=US, O=Example, CN=Test", 1, false},
      {"pfx", [&](CertificateSource& s) { return s.SetPfx(pfx); }, "CN=Bobby", 1, false},
      {"key", [](CertificateSource& s) { return s.SetKey(Key("evil")); }, "none", 3, true},
      {"bundle", [&](CertificateSource& s) { return s.SetSignedData(bundle); }, "C=US, O=Example, CN=Test", 1, false},
      {"bundle past its certificates", [&](CertificateSource& s) { return s.SetSignedData(past_end); }, "none", -1, false},
      {"certificate with key", [&](CertificateSource& s) { return s.SetCertificateWithKey(with_key); }, "C=US, O=Example, CN=Test", 1, true},
      {"key with chain", [&](CertificateSource& s) { return s.SetKeyWithCertificates(chain); }, "CN=Bob Evil", 3, true},
      {"key with empty chain", [&](CertificateSource& s) { return s.SetKeyWithCertificates(empty_chain); }, "none", 3, true},
      {"key and certificate", [&](CertificateSource& s) { return s.SetKeyCertificatePair(pair); }, "CN=Bob Evil", 3, true},
      {"bare key beside a certificate",
       [](CertificateSource& s) {
         s.certificate = pki::Clone(Cert("test"));
         s.key = pki::Clone(Key("evil"));
         return 0;
       },
       "none", 3, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CertStoreHandle handle;
    ASSERT_EQ(pki::AddNew(handle.entries) != nullptr, true);
    ASSERT_EQ(row.fill(*handle.entries.Get(0)), 0);
    CertificateSource& source = *handle.entries.Get(0);
    EXPECT_EQ(Subject(source.GetCertificate()), row.subject);
    EXPECT_EQ(source.GetKeyInfo() == nullptr ? -1 : source.GetKeyInfo()->Type, row.key_type);
    // Index -1 and past the end act as 0.
    for (int32_t index : {-1, 0, 1, 7}) {
      handle.record.selected_index = index;
      EXPECT_EQ(Subject(handle.SelectedCertificate()), row.subject);
      EXPECT_EQ(handle.SelectedKeyInfo(), source.GetKeyInfo());
      EXPECT_EQ(handle.SelectedHasPrivateKey(), row.private_key);
      EXPECT_EQ(handle.SelectedHasPfx(), source.pfx != nullptr);
      EXPECT_EQ(handle.SelectedHasCertificateObject(), source.certificate != nullptr);
      EXPECT_EQ(handle.SelectedHasSignedData(), source.signedData != nullptr);
      EXPECT_EQ(handle.SelectedHasCertificateWithKey(), source.certificateWithKey != nullptr);
      EXPECT_EQ(handle.SelectedHasKeyWithCertificates(), source.keyWithCertificates != nullptr);
      EXPECT_EQ(handle.SelectedSignedDataEntry(), source.signedData.get());
      EXPECT_EQ(handle.SelectedKeyWithCertificates(), source.keyWithCertificates.get());
    }
    core::Buffer der;
    ASSERT_EQ(handle.SelectedCertificateDer(der), 0);
    EXPECT_EQ(Bytes(der), row.subject == "none" ? "" : Bytes(handle.SelectedCertificate()->der));
    // A clone answers the same and owns its own objects.
    RecordPtr<CertificateSource> clone = CertificateSource::Clone(source);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(Subject(clone->GetCertificate()), row.subject);
    if (clone->GetCertificate() != nullptr) {
      EXPECT_NE(clone->GetCertificate(), source.GetCertificate());
    }
  }
  // An empty list answers none and false everywhere.
  CertStoreHandle empty;
  core::Buffer der;
  ASSERT_EQ(der.SetString("x"), 0);
  ASSERT_EQ(empty.SelectedCertificateDer(der), 0);
  EXPECT_EQ(der.Length(), 0);
  EXPECT_TRUE(empty.SelectedCertificate() == nullptr && empty.SelectedKeyInfo() == nullptr && !empty.SelectedHasPrivateKey() &&
              !empty.SelectedHasPfx() && !empty.SelectedHasSignedData() && empty.SelectedSignedDataEntry() == nullptr);
}

TEST_F(CertificateSourceTest, StoreOperationsCollectCloneAndPairKeys) {
  // Pfx::CurrentKey: by localKeyId first, then by index, then the certificate's public key.
  Pfx pfx;
  ASSERT_EQ(pki::CopyRecord(*pki::AddNew(pfx.certificates), Cert("test")), 0);
  ASSERT_EQ(pki::CopyRecord(*pki::AddNew(pfx.certificates), Cert("second")), 0);
  for (const char* name : {"evil", "second"}) ASSERT_EQ(pki::AddNew(pfx.keys)->Key.CopyFrom(Key(name)), 0);
  ASSERT_EQ(pfx.localKeyIds.AddCString("id-test"), 0);
  ASSERT_EQ(pfx.shroudedKeyIds.AddCString("id-other"), 0);
  ASSERT_EQ(pfx.shroudedKeyIds.AddCString("id-test"), 0);
  EXPECT_EQ(CurrentKey(pfx), &pfx.keys.Get(1)->Key);
  pfx.currentIndex = 1;
  EXPECT_EQ(CurrentKey(pfx), &pfx.keys.Get(1)->Key);
  (void)pfx.keys.SetCount(1);
  EXPECT_EQ(CurrentKey(pfx), &pfx.certificates.Get(1)->tbs.publicKey.key);

  // The Add operations store copies; CollectCertificates lists every certificate in entry order.
  CertStoreHandle handle;
  SignedDataEntry bundle;
  Bundle({"bobby", "evil"}, bundle);
  KeyWithCertificates chain;
  ASSERT_EQ(pki::CopyRecord(*pki::AddNew(chain.certificates), Cert("second")), 0);
  CertificateWithKey unread;  // no DER: not collected
  ASSERT_EQ(handle.AddPfx(pfx), 0);
  ASSERT_EQ(handle.AddKey(Key("test")), 0);
  ASSERT_EQ(handle.AddSignedData(bundle), 0);
  ASSERT_EQ(handle.AddCertificate(Cert("test")), 0);
  ASSERT_EQ(handle.AddCertificateWithKey(unread), 0);
  ASSERT_EQ(handle.AddKeyWithCertificates(chain), 0);
  ASSERT_EQ(handle.entries.Count(), 6);
  EXPECT_NE(handle.entries.Get(0)->pfx.get(), &pfx);
  EXPECT_NE(handle.entries.Get(2)->signedData->signedData.certificates.Get(0), bundle.signedData.certificates.Get(0));
  CertificatePointers collected;
  ASSERT_EQ(handle.CollectCertificates(collected), 0);
  const std::vector<Certificate*> expected = {
      handle.entries.Get(0)->pfx->certificates.Get(0), handle.entries.Get(0)->pfx->certificates.Get(1),
      &handle.entries.Get(2)->signedData->signedData.certificates.Get(0)->certificate,
      &handle.entries.Get(2)->signedData->signedData.certificates.Get(1)->certificate, handle.entries.Get(3)->certificate.get(),
      handle.entries.Get(5)->keyWithCertificates->certificates.Get(0)};
  ASSERT_EQ(collected.Count(), static_cast<int32_t>(expected.size()));
  for (int32_t i = 0; i < collected.Count(); ++i) EXPECT_EQ(collected.Get(i), expected[i]) << i;
  component::CertStoreContents* copy = handle.CloneContents();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(static_cast<CertStoreHandle*>(copy)->entries.Count(), 6);
  delete copy;

  // Pairing: each key with the certificate of its public key, pairs first in the order found.
  struct Case {
    const char* name;
    std::vector<std::string> entries;  // "key X" or "cert X"
    std::vector<std::string> after;    // "pair X", "key X", "cert X"
    bool found;
  } cases[] = {
      {"one pair", {"cert bobby", "key test", "cert test"}, {"pair test", "cert bobby", "key test"}, true},
      {"two pairs", {"cert evil", "key test", "cert test", "key evil"}, {"pair test", "pair evil", "key test", "key evil"}, true},
      {"lone key", {"key test", "cert bobby"}, {"key test", "cert bobby"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertStoreHandle list;
    for (const std::string& e : c.entries) {
      const std::string name = e.substr(e.find(' ') + 1);
      ASSERT_EQ(e.starts_with("key") ? list.AddKey(Key(name)) : list.AddCertificate(Cert(name)), 0);
    }
    bool found = !c.found;
    ASSERT_EQ(list.PairKeysWithCertificates(&found), 0);
    EXPECT_EQ(found, c.found);
    std::vector<std::string> after;
    for (int32_t i = 0; i < list.entries.Count(); ++i) {
      const CertificateSource& s = *list.entries.Get(i);
      for (const auto& [name, subject] : kSubjects) {
        if (s.keyCertificatePair != nullptr && s.keyCertificatePair->certificate.der.Equals(Cert(name).der) &&
            s.keyCertificatePair->key.Equals(Key(name))) {
          after.push_back("pair " + std::string(name));
        }
        if (s.certificate != nullptr && s.certificate->der.Equals(Cert(name).der)) after.push_back("cert " + std::string(name));
        if (s.key != nullptr && s.key->Equals(Key(name))) after.push_back("key " + std::string(name));
      }
    }
    EXPECT_EQ(after, c.after);
  }
}

TEST_F(CertificateSourceTest, KeyClassesFollowTheTypeTable) {
  const std::map<std::string, std::set<int>> record_classes = {
      {"dsa", {2}}, {"ec", {3}}, {"edwards", {4}}, {"elliptic", {3, 4}}};
  const std::map<std::string, std::set<int>> curve_classes = {
      {"sec", {0, 1, 2, 7, 8, 9, 10}}, {"brainpool", {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
      {"eddsa", {3, 4}}, {"ed25519", {3}}, {"ed448", {4}}, {"x25519", {5}}, {"x448", {6}}, {"curve25519", {3, 5}},
      {"curve448", {4, 6}}};
  for (int type = -1; type <= 25; ++type) {
    SCOPED_TRACE(type);
    KeyRecord key;
    key.Type = type;
    crypto::EcKeyParams curve;
    curve.KeyType = type;
    const std::map<std::string, bool> answers = {
        {"dsa", key.IsDsa()}, {"ec", key.IsEc()}, {"edwards", key.IsEdDsaOrXdh()}, {"elliptic", key.IsEllipticCurve()},
        {"sec", curve.IsSecCurve()}, {"brainpool", curve.IsBrainpool()}, {"eddsa", curve.IsEdDsa()},
        {"ed25519", curve.IsEd25519()}, {"ed448", curve.IsEd448()}, {"x25519", curve.IsX25519()}, {"x448", curve.IsX448()},
        {"curve25519", curve.IsCurve25519()}, {"curve448", curve.IsCurve448()}};
    for (const auto& [name, answer] : answers) {
      const auto& table = record_classes.contains(name) ? record_classes.at(name) : curve_classes.at(name);
      EXPECT_EQ(answer, table.contains(type)) << name;
    }
  }
}

TEST_F(CertificateSourceTest, SelectionBySubjectThumbprintAndEncoding) {
  // Thumbprints equal openssl's fingerprints; an unknown digest name gives "".
  for (const auto& [name, subject] : kSubjects) {
    for (const char* md : {"md5", "sha1", "sha256"}) {
      const std::string upper = md == std::string("md5") ? "MD5" : md == std::string("sha1") ? "SHA1" : "sha256";
      EXPECT_EQ(std::string(pki::Thumbprint(Cert(name), upper.c_str())), material_->fingerprints.at(std::string(name) + " " + md));
    }
    EXPECT_STREQ(pki::Thumbprint(Cert(name), "SHA-256"), "");
    // A certificate without stored DER is encoded from its fields and that encoding digested.
    Certificate fresh;
    ASSERT_EQ(pki::CopyRecord(fresh, Cert(name)), 0);
    fresh.der.Clear();
    pki::DerWriter encoded;
    ASSERT_EQ(pki::EncodeCertificate(fresh, encoded), 0);
    const std::string path = material_->dir.Write("fresh.der", Bytes(encoded));
    std::string digest = Shell("openssl dgst -sha1 -r " + path);
    EXPECT_EQ(std::string(pki::Thumbprint(fresh, "SHA1")), digest.substr(0, digest.find(' ')));
  }

  // Subjects over a list of bare certificates: exact and canonical first, then the first partial match.
  struct Row {
    const char* wanted;
    std::vector<std::string> entries;
    int result;
    int32_t index;
  } rows[] = {
      {"*", {"second", "test"}, 0, 0},
      {"", {"second", "test"}, 0, 0},
      {"Test", {"bobby", "second", "test"}, 0, 2},
      {"CN=Bob", {"bobby", "evil"}, kNoSubjectMatch, -1},
      {"O=Example", {"bobby", "second", "test"}, 0, 1},
      {"cn=test, o=example, c=us", {"second", "test"}, 0, 1},
      {"CN=Test, O=Example", {"second", "test"}, 0, 1},
      {"CN=Bobby", {"evil", "bobby"}, 0, 1},
      {"Bob", {"evil", "bobby"}, kNoSubjectMatch, -1},
      {"O=Example, CN=Second", {"test", "second"}, 0, 1},
      {"C=US, O=Example, CN=Test", {"second", "test"}, 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wanted);
    CertStoreHandle handle;
    for (const std::string& name : row.entries) ASSERT_EQ(handle.AddCertificate(Cert(name)), 0);
    EXPECT_EQ(handle.SelectBySubject(row.wanted), row.result);
    EXPECT_EQ(handle.record.selected_index, row.index);
    if (row.result == 0) {
      EXPECT_EQ(Bytes(handle.record.subject), Subject(handle.SelectedCertificate()));
    }
  }
  // "*" on several entries takes the first with a subject.
  CertStoreHandle keys_first;
  ASSERT_EQ(keys_first.AddKey(Key("test")), 0);
  ASSERT_EQ(keys_first.AddCertificate(Cert("bobby")), 0);
  ASSERT_EQ(keys_first.SelectBySubject("*"), 0);
  EXPECT_EQ(keys_first.record.selected_index, 1);

  // Thumbprints inside a bundle: blanks and case ignored, any of the three digests, 30 digits match nothing.
  SignedDataEntry bundle;
  Bundle({"test", "bobby", "evil"}, bundle);
  for (const char* md : {"md5", "sha1", "sha256"}) {
    std::string spaced = " Thumbprint = ";
    const std::string hex = material_->fingerprints.at(std::string("evil ") + md);
    for (size_t i = 0; i < hex.size(); i += 2) spaced += (i == 0 ? "" : " ") + hex.substr(i, 2);
    for (char& c : spaced) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    CertStoreHandle handle;
    ASSERT_EQ(handle.AddSignedData(bundle), 0);
    EXPECT_EQ(handle.SelectBySubject(spaced.c_str()), 0) << md;
    EXPECT_EQ(handle.entries.Get(0)->signedData->selectedIndex, 2) << md;
    EXPECT_EQ(Subject(handle.SelectedCertificate()), "CN=Bob Evil");
  }
  const std::string thirty = "thumbprint=" + material_->fingerprints.at("evil sha1").substr(0, 30);
  EXPECT_EQ(FindByThumbprint(bundle, thirty.c_str()), -1);
  CertStoreHandle one;
  ASSERT_EQ(one.AddSignedData(bundle), 0);
  EXPECT_EQ(one.SelectBySubject(thirty.c_str()), kNoSubjectMatch);

  // FindEncoded: inside a single bundle, else entry by entry.
  EXPECT_EQ(one.FindEncoded(Cert("bobby").der.Bytes(), Cert("bobby").der.Length()), 0);
  EXPECT_EQ(one.entries.Get(0)->signedData->selectedIndex, 1);
  EXPECT_EQ(one.FindEncoded(Cert("second").der.Bytes(), Cert("second").der.Length()), -1);
  CertStoreHandle several;
  for (const char* name : {"test", "evil", "bobby"}) ASSERT_EQ(several.AddCertificate(Cert(name)), 0);
  EXPECT_EQ(several.FindEncoded(Cert("bobby").der.Bytes(), Cert("bobby").der.Length()), 2);
  EXPECT_EQ(several.record.selected_index, 2);
}

}  // namespace velmora::keystore
