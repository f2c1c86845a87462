// Random pools through the chain check's own builder: 2 to 20 certificates drawn from real, re-signed,
// look-alike and cross-signed ones, duplicates allowed, spread over the three texts. Every check must end
// with a chain whose links openssl's view of the certificates allows, and with the trust verdict that
// view gives: trusted exactly when a chain certificate has a trusted one's names, serial and key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "pki/chain_checks.h"
#include "tests/fuzz_support.h"
#include "tests/keystore/chain_check_pki.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::Shell;

// Known is one certificate: what openssl prints of its names, serial and key (identity), its subject
// and issuer lines, and the key it carries and the key that signed it (by how kMakeChainPki made them).
struct Known {
  std::string name, key, signer, der, pem, identity, subject, issuer;
};

std::vector<Known> KnownCertificates(const ChainPki& pki) {
  const char* kMade[][3] = {{"root", "root", "root"},   {"resigned", "root", "root"}, {"fake", "fake", "fake"},
                            {"inter", "inter", "root"}, {"leaf", "leaf", "inter"},    {"finter", "finter", "fake"},
                            {"fleaf", "fleaf", "finter"}, {"a0", "a", "a"},           {"b0", "b", "b"},
                            {"a", "a", "b"},            {"b", "b", "a"}};
  std::vector<Known> known;
  for (const auto& made : kMade) {
    Known k{made[0], made[1], made[2], pki.Der(made[0]), pki.Pem(made[0]), "", "", ""};
    if (!Shell("openssl x509 -noout -subject -issuer -serial -pubkey -nameopt RFC2253 -in " + pki.Path(k.name),
               &k.identity)) {
      return {};
    }
    const size_t issuer_line = k.identity.find("\nissuer=");
    k.subject = k.identity.substr(8, issuer_line - 8);
    k.issuer = k.identity.substr(issuer_line + 8, k.identity.find("\nserial=") - issuer_line - 8);
    known.push_back(k);
  }
  return known;
}

bool SameIdentity(const Known& a, const Known& b) { return a.identity == b.identity; }

bool Signs(const Known& issuer, const Known& subject) {
  return subject.issuer == issuer.subject && subject.signer == issuer.key;
}

// CheckOnePool runs one random pool and says what went wrong, "" when nothing did.
std::string CheckOnePool(const ChainPki& pki, const std::vector<Known>& known, std::mt19937_64& rng) {
  const auto pick = [&]() -> const Known& { return known[rng() % known.size()]; };
  std::vector<const Known*> candidates, trusted;
  std::string certificates, trusted_text, more_trusted;
  const Known* last_collected = nullptr;
  for (int n = 2 + static_cast<int>(rng() % 19), i = 0; i < n; ++i) {
    const Known& k = pick();
    const std::string item = rng() % 2 == 0 ? pki.Path(k.name) : k.pem;
    switch (i == 0 ? 0 : rng() % 3) {
      case 0: certificates += k.pem, candidates.push_back(&k), last_collected = &k; break;
      case 1: trusted_text += item + ";", trusted.push_back(&k); break;
      default: more_trusted += item + (rng() % 4 == 0 ? ";not a certificate;" : ";"), trusted.push_back(&k);
    }
  }
  std::string excluded;
  if (rng() % 2 == 0) {
    const Known& named = rng() % 2 == 0 ? *last_collected : pick();
    std::string thumbprint;
    if (!Shell("openssl x509 -noout -fingerprint -sha256 -in " + pki.Path(named.name) + " | tr -d ':' | cut -d= -f2 |"
               " tr A-F a-f",
               &thumbprint)) {
      return "no thumbprint";
    }
    excluded = thumbprint.substr(0, 64);
    if (named.der == last_collected->der) candidates.pop_back();
  }
  for (const Known* t : trusted) candidates.push_back(t);
  const Known& start = pick();
  const uint32_t options = (rng() % 2 != 0 ? kChainIgnoreValidity : 0) | (rng() % 2 != 0 ? kChainAcceptSelfIssued : 0);

  const Outcome got = CheckChainOf(start.der, certificates, trusted_text, more_trusted, excluded, options);
  if (got.rc != 0) return "result " + std::to_string(got.rc) + ": " + got.error;
  if ((got.status & ~kChainUntrustedRoot) != 0) return "status " + std::to_string(got.status);

  std::vector<const Known*> chain;
  for (const std::string& der : got.ders) {
    const Known* k = nullptr;
    for (const Known& each : known) k = each.der == der ? &each : k;
    if (k == nullptr) return "an entry holds no known certificate";
    chain.push_back(k);
  }
  if (chain.empty() || chain.front()->der != start.der) return "the chain does not start at the certificate";
  if (chain.size() > static_cast<size_t>(pki::kMaxIssuerChain)) return "chain too long";
  std::set<std::string> seen;
  bool trusted_match = false;
  for (size_t i = 0; i < chain.size(); ++i) {
    if (!seen.insert(chain[i]->der).second) return chain[i]->name + " twice in the chain";
    if (i > 0 && !Signs(*chain[i], *chain[i - 1])) return chain[i]->name + " does not issue " + chain[i - 1]->name;
    if (i > 0 && std::none_of(candidates.begin(), candidates.end(), [&](const Known* c) { return c == chain[i]; })) {
      return chain[i]->name + " is not in the pool";
    }
    for (const Known* t : trusted) trusted_match = trusted_match || SameIdentity(*chain[i], *t);
  }
  const Known& last = *chain.back();
  if (last.issuer != last.subject) {
    for (const Known* c : candidates) {
      if (Signs(*c, last) && seen.count(c->der) == 0) return "the chain stops before " + c->name;
    }
  }
  const bool accepted = trusted_match || ((options & kChainAcceptSelfIssued) != 0 && last.issuer == last.subject);
  if (accepted != ((got.status & kChainUntrustedRoot) == 0)) {
    return "status " + std::to_string(got.status) + " for a chain ending in " + last.name;
  }
  return "";
}

TEST(ChainCheckPools, RandomPoolsEndWithTheVerdictOpensslsViewGives) {
  ChainPki pki;
  if (!pki.made) GTEST_SKIP() << "needs openssl";
  pki::testing::ProvidersLoaded providers;
  const std::vector<Known> known = KnownCertificates(pki);
  ASSERT_FALSE(known.empty()) << "openssl could not print the certificates";
  const uint64_t seed = testing_support::FuzzSeed();
  std::printf("chain check pools fuzz seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  for (int64_t i = 0, count = testing_support::FuzzScaled(150); i < count; ++i) {
    const std::string wrong = CheckOnePool(pki, known, rng);
    ASSERT_EQ(wrong, "") << "pool " << i;
  }
}

}  // namespace
}  // namespace velmora::keystore::testing
