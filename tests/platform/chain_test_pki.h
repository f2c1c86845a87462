// A small certificate hierarchy for the chain tests, made with the openssl command in a directory the
// test owns: an RSA-2048 root, intermediate and leaf (SAN "a.test"), the same three on P-256, and leaves
// and intermediates that each break one rule. Install() puts the roots into the current user's "ROOT"
// folder and the intermediates into "CA" of the platform store root the test has set
// (platform::test::SetStoreRoot), through the certificate module itself. Header only: any test target
// that links the platform library can use it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/crypto/crypt32_modules.h"

namespace velmora::platform::testing {

// ChainCert is one certificate of the hierarchy: its files and bytes.
struct ChainCert {
  std::string pem_path;
  std::string der_path;
  std::string pem;
  std::vector<uint8_t> der;
};

// ChainTestPkiRead is the whole file at path ("" when it cannot be read).
inline std::string ChainTestPkiRead(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class ChainTestPki {
 public:
  // Leaves live one day; a test that sets "now" this many days ahead sees kExpired expired and every
  // other certificate still valid.
  static constexpr int kExpiredAfterDays = 10;

  // The certificates, by name. Roots go into ROOT, the intermediates named in kInstalledIntermediates
  // into CA; kMissingInter is installed nowhere.
  static constexpr const char* kRoot = "root";
  static constexpr const char* kInter = "inter";
  static constexpr const char* kLeaf = "leaf";  // SAN a.test, serverAuth
  static constexpr const char* kEcRoot = "ec_root";
  static constexpr const char* kEcInter = "ec_inter";
  static constexpr const char* kEcLeaf = "ec_leaf";
  static constexpr const char* kSelfSigned = "self_signed";  // a leaf that signs itself
  static constexpr const char* kExpired = "expired";          // valid for one day
  static constexpr const char* kClientOnly = "client_only";   // EKU clientAuth only
  static constexpr const char* kNoCaInter = "noca_inter";     // basicConstraints CA:FALSE, installed
  static constexpr const char* kNoCaLeaf = "noca_leaf";       // issued by kNoCaInter
  static constexpr const char* kAltered = "altered";          // kLeaf with its signature's last byte changed
  static constexpr const char* kMissingInter = "missing_inter";
  static constexpr const char* kOrphan = "orphan";            // issued by kMissingInter
  static constexpr const char* kEd25519 = "ed25519";          // Ed25519 key, issued by kInter
  static constexpr const char* kCdpInter = "cdp_inter";       // both carry a CRL distribution point
  static constexpr const char* kCdpLeaf = "cdp_leaf";
  static constexpr const char* kCdpLeafUrl = "http://127.0.0.1:9/leaf.crl";
  static constexpr const char* kCdpInterUrl = "http://127.0.0.1:9/inter.crl";

  // OpensslAvailable: the openssl command runs (tests skip without it).
  static bool OpensslAvailable() {
    static const bool available = std::system("openssl version >/dev/null 2>&1") == 0;
    return available;
  }

  // Make writes the hierarchy into dir (an existing directory) and reads it back: false when a step
  // fails.
  bool Make(const std::string& dir) {
    dir_ = dir;
    std::ofstream(dir + "/ext.cnf") << kExtensions;
    const std::string script = std::string("cd '") + dir + "' && (" + kScript + ") >make.log 2>&1";
    if (std::system(script.c_str()) != 0) return false;
    for (const char* name : kAll) {
      if (std::string(name) == kAltered) continue;
      if (!Load(name)) return false;
    }
    // The altered leaf: the last byte of the DER is the last byte of the signature.
    ChainCert altered = certs_[kLeaf];
    altered.der.back() ^= 0x01;
    altered.der_path = dir + "/altered.der";
    altered.pem_path = dir + "/altered.pem";
    std::ofstream(altered.der_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(altered.der.data()), static_cast<std::streamsize>(altered.der.size()));
    const std::string convert = "openssl x509 -inform DER -in '" + altered.der_path + "' -out '" +
                                altered.pem_path + "' >/dev/null 2>&1";
    if (std::system(convert.c_str()) != 0) return false;
    altered.pem = Read(altered.pem_path);
    certs_[kAltered] = altered;
    return true;
  }

  // Install adds the roots to ROOT and the installed intermediates to CA (current user): false when an
  // add fails.
  bool Install() const {
    return Add("ROOT", {kRoot, kEcRoot}) && Add("CA", {kInter, kEcInter, kNoCaInter, kCdpInter});
  }

  const ChainCert& Get(const std::string& name) const { return certs_.at(name); }
  const std::string& Dir() const { return dir_; }

  // Context is a new context of the named certificate (the caller frees it).
  PCCERT_CONTEXT Context(const std::string& name) const {
    const ChainCert& cert = Get(name);
    return CertCreateCertificateContext(kX509AsnEncoding, cert.der.data(), static_cast<DWORD>(cert.der.size()));
  }

 private:
  static std::string Read(const std::string& path) { return ChainTestPkiRead(path); }

  bool Load(const std::string& name) {
    ChainCert cert;
    cert.pem_path = dir_ + "/" + name + ".pem";
    cert.der_path = dir_ + "/" + name + ".der";
    cert.pem = Read(cert.pem_path);
    const std::string der = Read(cert.der_path);
    cert.der.assign(der.begin(), der.end());
    if (cert.pem.empty() || cert.der.empty()) return false;
    certs_[name] = std::move(cert);
    return true;
  }

  bool Add(const char* store_name, std::initializer_list<const char*> names) const {
    HCERTSTORE store = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvSystemA), kX509AsnEncoding, 0,
                                     kCertSystemStoreCurrentUser, store_name);
    if (store == nullptr) return false;
    bool ok = true;
    for (const char* name : names) {
      const ChainCert& cert = Get(name);
      ok = ok && CertAddEncodedCertificateToStore(store, kX509AsnEncoding, cert.der.data(),
                                                  static_cast<DWORD>(cert.der.size()), kCertStoreAddReplaceExisting,
                                                  nullptr) != 0;
    }
    CertCloseStore(store, 0);
    return ok;
  }

  static constexpr const char* kAll[] = {kRoot,      kInter,      kLeaf,      kEcRoot,       kEcInter,
                                         kEcLeaf,    kSelfSigned, kExpired,   kClientOnly,   kNoCaInter,
                                         kNoCaLeaf,  kAltered,    kMissingInter, kOrphan,    kEd25519,
                                         kCdpInter,  kCdpLeaf};

  static constexpr const char* kExtensions =
      "[req]\ndistinguished_name=dn\n[dn]\n"
      "[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
      "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n"
      "[noca]\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,keyCertSign,cRLSign\n"
      "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n"
      "[cdpca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
      "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n"
      "crlDistributionPoints=URI:http://127.0.0.1:9/inter.crl\n"
      "[server]\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
      "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:a.test\n"
      "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n"
      "[client]\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
      "extendedKeyUsage=clientAuth\nsubjectAltName=DNS:a.test\n"
      "[cdpserver]\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:a.test\n"
      "crlDistributionPoints=URI:http://127.0.0.1:9/leaf.crl\n"
      "[self]\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:a.test\n";

  // sign NAME KEYTYPE SUBJECT ISSUER SECTION DAYS SERIAL: a key, a request and the certificate NAME.pem and
  // NAME.der issued by ISSUER (its .pem and .key).
  static constexpr const char* kScript =
      "set -e; "
      "rsa() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out $1.key; }; "
      "ec() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key; }; "
      "ed() { openssl genpkey -algorithm ED25519 -out $1.key; }; "
      "der() { openssl x509 -in $1.pem -outform DER -out $1.der; }; "
      "rootca() { openssl req -new -x509 -key $1.key -subj \"$2\" -days 3650 -sha256 -config ext.cnf "
      "  -extensions ca -set_serial $3 -out $1.pem; der $1; }; "
      "sign() { $2 $1; openssl req -new -key $1.key -subj \"$3\" -out $1.csr -config ext.cnf; "
      "  openssl x509 -req -in $1.csr -CA $4.pem -CAkey $4.key -extfile ext.cnf -extensions $5 -days $6 "
      "  -set_serial $7 -sha256 -out $1.pem; der $1; }; "
      "rsa root; rootca root '/CN=Chain Test Root/O=Velmora Tests' 1; "
      "sign inter rsa '/CN=Chain Test Intermediate/O=Velmora Tests' root ca 3650 2; "
      "sign leaf rsa '/CN=a.test/O=Velmora Tests' inter server 825 3; "
      "ec ec_root; rootca ec_root '/CN=Chain Test EC Root/O=Velmora Tests' 4; "
      "sign ec_inter ec '/CN=Chain Test EC Intermediate/O=Velmora Tests' ec_root ca 3650 5; "
      "sign ec_leaf ec '/CN=a.test/O=Velmora Tests EC' ec_inter server 825 6; "
      "rsa self_signed; openssl req -new -x509 -key self_signed.key -subj '/CN=a.test/O=Self Signed' -days 825 "
      "  -sha256 -config ext.cnf -extensions self -set_serial 7 -out self_signed.pem; der self_signed; "
      "sign expired rsa '/CN=a.test/O=Expired' inter server 1 8; "
      "sign client_only rsa '/CN=a.test/O=Client Only' inter client 825 9; "
      "sign noca_inter rsa '/CN=Chain Test Not A CA/O=Velmora Tests' root noca 3650 10; "
      "sign noca_leaf rsa '/CN=a.test/O=Under Not A CA' noca_inter server 825 11; "
      "sign missing_inter rsa '/CN=Chain Test Missing Intermediate/O=Velmora Tests' root ca 3650 12; "
      "sign orphan rsa '/CN=a.test/O=Orphan' missing_inter server 825 13; "
      "sign ed25519 ed '/CN=a.test/O=Ed25519' inter server 825 14; "
      "sign cdp_inter rsa '/CN=Chain Test CDP Intermediate/O=Velmora Tests' root cdpca 3650 15; "
      "sign cdp_leaf rsa '/CN=a.test/O=With CDP' cdp_inter cdpserver 825 16";

  std::string dir_;
  std::map<std::string, ChainCert> certs_;
};

}  // namespace velmora::platform::testing
