// Certificates made by openssl for the chain check tests, and one call of the check with what it gave.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keystore/chain_check.h"
#include "keystore/issuer_checks.h"
#include "keystore/system_stores.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

// kMakeChainPki writes PEM certificates (P-256): root (serial 0x1001), inter (issued by root, valid for two
// days only) and leaf; resigned, root re-signed with its own key; fake, root's subject, issuer and serial
// over another key, with finter and fleaf below it; a cross-signed pair a and b (a0 and b0 their
// self-signed forms). Each gets a .der beside it, and chain.p7b holds leaf and inter.
constexpr char kMakeChainPki[] = R"(set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key; }
self() { openssl req -x509 -new -key $2.key -subj /CN=$3 -set_serial ${4:-1} -days 3650 \
  -addext basicConstraints=critical,CA:TRUE -out $1.pem; }
sign() { openssl req -new -key $2.key -subj /CN=$3 | openssl x509 -req -CA $4.pem -CAkey $5.key -set_serial $6 \
  -days ${7:-3650} -extfile ca.cnf -out $1.pem; }
printf 'basicConstraints=critical,CA:TRUE\n' > ca.cnf
for k in root fake inter leaf finter fleaf a b; do key $k; done
self root root root 4097; self fake fake root 4097
openssl x509 -in root.pem -signkey root.key -preserve_dates -out resigned.pem
sign inter inter inter root root 2 2; sign leaf leaf leaf inter inter 3
sign finter finter inter fake fake 2; sign fleaf fleaf leaf finter finter 3
self a0 a a; self b0 b b; sign a a a b0 b 5; sign b b b a0 a 6
openssl crl2pkcs7 -nocrl -certfile leaf.pem -certfile inter.pem -out chain.p7b
for f in *.pem; do openssl x509 -in $f -outform DER -out ${f%.pem}.der; done
)";

struct ChainPki {
  pki::testing::ScratchDir dir;
  bool made = false;

  ChainPki() {
    if (!pki::testing::OpensslAvailable()) return;
    dir.Write("make.sh", kMakeChainPki);
    made = pki::testing::Runs(("cd " + dir.path + " && sh make.sh >/dev/null 2>&1").c_str());
  }
  std::string Path(const std::string& name) const { return dir / (name + ".pem"); }
  std::string Pem(const std::string& name) const { return dir.Read(name + ".pem"); }
  std::string Der(const std::string& name) const { return dir.Read(name + ".der"); }
};

// Outcome is what one check gave: its result, status, the last-error text, the subjects of the output
// entries joined by "|" and their DER.
struct Outcome {
  int rc = -1;
  uint32_t status = 0xDEAD;
  std::string error;
  std::string subjects;
  std::vector<std::string> ders;
};

inline const char* TextOrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// CheckChainOf runs the check for a component holding der (none for "").
inline Outcome CheckChainOf(const std::string& der, const std::string& certificates, const std::string& trusted,
                            const std::string& more_trusted, const std::string& excluded, uint32_t options) {
  component::CertKeyComponent holder;
  if (!der.empty()) {
    EXPECT_EQ(SetCertificateEncoded(holder, reinterpret_cast<const uint8_t*>(der.data()),
                                    static_cast<int32_t>(der.size())),
              0);
    holder.LastErrorText().Clear();  // the load may leave a text of a reader it tried first
  }
  component::ChainValidatorArray out;
  Outcome outcome;
  outcome.rc = CheckChainAgainstThumbprints(holder, out, &outcome.status, options, TextOrNull(certificates),
                                            TextOrNull(trusted), TextOrNull(more_trusted), TextOrNull(excluded));
  outcome.error = pki::testing::Bytes(holder.LastErrorText());
  for (int32_t i = 0; i < out.Count(); ++i) {
    const pki::Certificate* certificate = out.Get(i) != nullptr ? SelectedCertificateOf(*out.Get(i)) : nullptr;
    outcome.subjects += (i > 0 ? "|" : "") + (certificate != nullptr ? pki::testing::Bytes(certificate->tbs.subject)
                                                                      : std::string("<none>"));
    outcome.ders.push_back(certificate != nullptr ? pki::testing::Bytes(certificate->der) : "");
  }
  return outcome;
}

}  // namespace velmora::keystore::testing
