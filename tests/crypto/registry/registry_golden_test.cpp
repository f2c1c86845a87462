// Every digest lookup of the security core over its whole input domain, against
// tests/data/crypto/registry/golden_tables.txt: ids (with the neighbours of each range), every name
// spelling the lookups accept (with case variants and near misses) and every OID of the OID tables.
// Each line is `Function(argument) = answer`; the test evaluates the line's function on its argument.
// VELMORA_RECORD_GOLDEN=1 rewrites the file from the current code instead.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/kdf/kdf_password.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/sign_by_key.h"
#include "crypto/registry/oid_table_rows.h"
#include "crypto/registry/oid_tables.h"
#include "crypto/rsa/rsa_engine.h"

namespace velmora::crypto::testing {
namespace {

const std::string kGoldenPath = std::string(VELMORA_TEST_DATA_DIR) + "/crypto/registry/golden_tables.txt";

// An argument is an integer, a quoted text or null; `text` is null for null.
struct Argument {
  int32_t number = 0;
  const char* text = nullptr;
};

std::string Quote(const char* text) { return text == nullptr ? "null" : "\"" + std::string(text) + "\""; }

std::string Hex(const core::BufferCore& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (int32_t i = 0; i < bytes.Length(); ++i) {
    hex += kDigits[bytes.Bytes()[i] >> 4];
    hex += kDigits[bytes.Bytes()[i] & 15];
  }
  return hex;
}

// DigestOfAbc hashes "abc" with a HashAlgorithmId (with the Keccak padding flag when keccak is set):
// the code of the first failing step, or the digest in hex.
std::string DigestOfAbc(int32_t id, bool keccak) {
  HashCtx ctx;
  int rc = ctx.SetAlgorithm(id);
  if (rc == 0 && keccak) rc = SetSha3ContextFlag(ctx, 1);
  if (rc == 0) rc = ctx.Update("abc", 3);
  if (rc == 0) rc = ctx.Final();
  return rc != 0 ? "rc " + std::to_string(rc) : Hex(ctx.Output());
}

using Lookup = std::function<std::string(const Argument&)>;

std::string Int(int32_t value) { return std::to_string(value); }

// The lookups by the name the golden file gives them; `kind` says how their argument is written.
enum class Kind { kId, kText };
struct Function {
  Kind kind;
  Lookup lookup;
};

const std::map<std::string, Function>& Functions() {
  static const std::map<std::string, Function> functions = {
      {"HashDigestSize", {Kind::kId, [](const Argument& a) { return Int(HashDigestSize(a.number)); }}},
      {"HmacBlockSize", {Kind::kId, [](const Argument& a) { return Int(HmacBlockSize(a.number)); }}},
      {"EngineDigestSize", {Kind::kId, [](const Argument& a) { return Int(EngineDigestSize(a.number)); }}},
      {"EngineIdToHashId", {Kind::kId, [](const Argument& a) { return Int(EngineIdToHashId(a.number)); }}},
      {"HmacIdToHashId", {Kind::kId, [](const Argument& a) { return Int(HmacIdToHashId(a.number)); }}},
      {"PlatformDigestIndex", {Kind::kId, [](const Argument& a) { return Int(PlatformDigestIndex(a.number)); }}},
      {"PlatformHmacIndex", {Kind::kId, [](const Argument& a) { return Int(PlatformHmacIndex(a.number)); }}},
      {"Pkcs12BlockSize", {Kind::kId, [](const Argument& a) { return Int(Pkcs12BlockSize(a.number)); }}},
      {"DigestOfAbc", {Kind::kId, [](const Argument& a) { return DigestOfAbc(a.number, false); }}},
      {"KeccakDigestOfAbc", {Kind::kId, [](const Argument& a) { return DigestOfAbc(a.number, true); }}},
      {"HashNameToEngineId", {Kind::kText, [](const Argument& a) { return Int(HashNameToEngineId(a.text)); }}},
      {"HmacNameToAlgId", {Kind::kText, [](const Argument& a) { return Int(HmacNameToAlgId(a.text)); }}},
      {"SetAlgorithmByName",
       {Kind::kText,
        [](const Argument& a) {
          HashCtx ctx;
          const int rc = ctx.SetAlgorithmByName(a.text);
          return Int(rc) + " " + Int(ctx.Id());
        }}},
      {"AppendDigestInfoPrefix",
       {Kind::kText,
        [](const Argument& a) {
          // The buffer starts with one byte so that appending and replacing differ.
          core::Buffer out;
          const uint8_t marker = 0xAA;
          if (out.SetData(1, &marker) != 0) return std::string("no memory");
          const int rc = AppendDigestInfoPrefix(a.text, out);
          return Int(rc) + " " + (out.IsEmpty() ? std::string("(empty)") : Hex(out));
        }}},
      {"AlgorithmNameToOid", {Kind::kText, [](const Argument& a) { return Quote(pki::AlgorithmNameToOid(a.text)); }}},
      {"OidToName", {Kind::kText, [](const Argument& a) { return Quote(pki::OidToName(a.text)); }}},
      {"OidToAlgorithmName", {Kind::kText, [](const Argument& a) { return Quote(pki::OidToAlgorithmName(a.text)); }}},
      {"HashNameFromOid", {Kind::kText, [](const Argument& a) { return Quote(pki::HashNameFromOid(a.text)); }}},
      {"SignatureOidToEngineDigestId",
       {Kind::kText, [](const Argument& a) { return Int(pki::SignatureOidToEngineDigestId(a.text)); }}},
      {"SignatureOidToHashId",
       {Kind::kText, [](const Argument& a) { return Int(pki::SignatureOidToHashId(a.text)); }}},
      // Its callers never pass null.
      {"DsaDigestName",
       {Kind::kText, [](const Argument& a) { return Quote(a.text == nullptr ? nullptr : DsaDigestName(a.text)); }}},
  };
  return functions;
}

// ---- recording ----------------------------------------------------------------------------------------

std::vector<std::string> RecordedNames() {
  std::vector<std::string> names = {
      // The spellings of the name lookups of the digest code, the DigestInfo table and the HMAC names.
      "SHA1", "SHA-1", "MD5", "SHA256", "SHA-256", "SHA224", "SHA-224", "SHA512", "SHA-512", "SHA512/224",
      "SHA-512/224", "SHA512/256", "SHA-512/256", "SHA384", "SHA-384", "RIPEMD160", "RIPEMD-160", "MD160", "MD4",
      "MD2", "MD5SHA1", "SHA3_224", "SHA-3-224", "SHA3_256", "SHA-3-256", "SHA3_384", "SHA-3-384", "SHA3_512",
      "SHA-3-512", "SHAKE128", "SHAKE256", "SHA3-224", "SHA3-256", "SHA3-384", "SHA3-512", "RAW",
      "HMACSHA1", "HMAC-SHA1", "HMAC_SHA224", "HMACSHA256", "HMAC-SHA384", "HMACSHA512", "HMACMD5", "HMACRIPEMD160",
      "HMACRIPEMD", "HMAC-SHA-256", "HMACSHA512/256", "HMACSHA3-256", "HMAC", "SHA256HMAC", "SHA256-HMAC",
      "XHMACSHA1", "HMACMD5SHA256", "HMACSHA256SHA1", "HMACSHA384MD5", "HMACRIPEMDSHA512",
      // Near misses and names no table holds.
      "", "SHA", "SHA2", "SHA-2", "SHA3", "SHA-3", "SHAKE", "BLAKE2B", "MD6", "RIPEMD", "SHA256 ", " SHA256",
      "SHA_256", "SHA-256/224", "SHA512-224", "SHA3-224X", "SHA1234567890123", "SHA12345678901234",
      "RIPEMD-160-EXTRA", "MD5-SHA1", "RAWX"};
  for (const auto& row : pki::oid_rows::kAlgorithmOids) names.push_back(row.name);
  std::vector<std::string> all;
  std::set<std::string> seen;
  auto add = [&](const std::string& name) {
    if (seen.insert(name).second) all.push_back(name);
  };
  for (const std::string& name : names) {
    add(name);
    std::string lower = name, mixed = name;
    for (size_t i = 0; i < name.size(); ++i) {
      lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
      mixed[i] = i % 2 == 0 ? static_cast<char>(std::toupper(static_cast<unsigned char>(name[i]))) : lower[i];
    }
    add(lower);
    add(mixed);
  }
  return all;
}

std::vector<std::string> RecordedOids() {
  std::vector<std::string> oids;
  std::set<std::string> seen;
  auto add = [&](const std::string& oid) {
    if (seen.insert(oid).second) oids.push_back(oid);
  };
  for (const auto& row : pki::oid_rows::kAlgorithmOids) add(row.oid);
  for (const auto& row : pki::oid_rows::kOidNames) add(row.oid);
  for (const auto& row : pki::oid_rows::kDigestAlgorithmNames) add(row.oid);
  for (const auto& row : pki::oid_rows::kAesAlgorithmNames) add(row.oid);
  for (const auto& row : pki::oid_rows::kDigests) add(row.oid);
  // The NIST digest, DSA and ECDSA arcs beyond the tables, other digests' OIDs, and near misses.
  for (int arc = 1; arc <= 13; ++arc) add("2.16.840.1.101.3.4.2." + std::to_string(arc));
  for (int arc = 1; arc <= 9; ++arc) add("2.16.840.1.101.3.4.3." + std::to_string(arc));
  for (int arc = 1; arc <= 5; ++arc) add("1.2.840.10045.4.3." + std::to_string(arc));
  for (const char* oid : {"1.3.36.3.2.1", "1.2.840.113549.2.4", "1.2.840.113549.2.6", "1.2.840.113549.1.1.15",
                          "1.2.840.113549.1.1.16", "1.2.840.10040.4.2", "1.3.14.3.2.26.0", "1.3.14.3.2.2.6",
                          "1.3.14.3.2", "2.16.840.1.101.3.4.2", "1.2.3", "0", "", "sha256", " 1.3.14.3.2.26"}) {
    add(oid);
  }
  return oids;
}

void Record() {
  std::ofstream file(kGoldenPath);
  file << "# Generated by velmora_crypto_registry_test with VELMORA_RECORD_GOLDEN=1 from the digest lookups "
          "as they stood before the digest registry.\n";
  auto line = [&](const std::string& name, const std::string& argument, const Argument& value) {
    file << name << "(" << argument << ") = " << Functions().at(name).lookup(value) << "\n";
  };
  for (const char* name : {"HashDigestSize", "HmacBlockSize", "DigestOfAbc"}) {
    for (int32_t id = -1; id <= kHashAlgorithmCount; ++id) line(name, Int(id), {id, nullptr});
  }
  for (const char* name : {"EngineDigestSize", "EngineIdToHashId", "HmacIdToHashId", "PlatformDigestIndex",
                           "PlatformHmacIndex", "Pkcs12BlockSize"}) {
    for (int32_t id = -1; id <= 53; ++id) line(name, Int(id), {id, nullptr});
  }
  for (int32_t id = kHashSha3_224 - 1; id <= kHashSha3_512 + 1; ++id) line("KeccakDigestOfAbc", Int(id), {id, nullptr});
  const std::vector<std::string> names = RecordedNames();
  for (const char* name :
       {"HashNameToEngineId", "SetAlgorithmByName", "HmacNameToAlgId", "AppendDigestInfoPrefix", "AlgorithmNameToOid"}) {
    line(name, "null", {});
    for (const std::string& text : names) line(name, Quote(text.c_str()), {0, text.c_str()});
  }
  const std::vector<std::string> oids = RecordedOids();
  for (const char* name : {"OidToName", "OidToAlgorithmName", "HashNameFromOid", "SignatureOidToEngineDigestId",
                           "SignatureOidToHashId", "DsaDigestName"}) {
    line(name, "null", {});
    for (const std::string& text : oids) line(name, Quote(text.c_str()), {0, text.c_str()});
  }
}

// ---- checking -----------------------------------------------------------------------------------------

// ParseArgument reads `null`, a quoted text (kept in storage) or a decimal id; false when malformed.
bool ParseArgument(const std::string& text, Kind kind, std::string& storage, Argument& argument) {
  if (text == "null") return kind == Kind::kText;
  if (kind == Kind::kText) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
    storage = text.substr(1, text.size() - 2);
    argument.text = storage.c_str();
    return true;
  }
  char* end = nullptr;
  argument.number = static_cast<int32_t>(std::strtol(text.c_str(), &end, 10));
  return !text.empty() && *end == '\0';
}

TEST(RegistryGolden, EveryRecordedAnswerStillHolds) {
  if (std::getenv("VELMORA_RECORD_GOLDEN") != nullptr) {
    Record();
    GTEST_SKIP() << "recorded " << kGoldenPath;
  }
  std::ifstream file(kGoldenPath);
  ASSERT_TRUE(file.is_open()) << kGoldenPath;
  std::set<std::string> used;
  std::string line;
  int line_number = 0, checked = 0;
  while (std::getline(file, line)) {
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    const size_t open = line.find('('), close = line.rfind(") = ");
    ASSERT_TRUE(open != std::string::npos && close != std::string::npos && close > open)
        << kGoldenPath << ":" << line_number << ": malformed line " << line;
    const std::string name = line.substr(0, open);
    const auto function = Functions().find(name);
    ASSERT_TRUE(function != Functions().end()) << kGoldenPath << ":" << line_number << ": unknown function " << name;
    std::string storage;
    Argument argument;
    ASSERT_TRUE(ParseArgument(line.substr(open + 1, close - open - 1), function->second.kind, storage, argument))
        << kGoldenPath << ":" << line_number << ": malformed argument in " << line;
    const std::string expected = line.substr(close + 4);
    EXPECT_EQ(function->second.lookup(argument), expected) << kGoldenPath << ":" << line_number << ": " << line;
    used.insert(name);
    ++checked;
  }
  // Every lookup has lines, so a renamed function cannot drop out of the comparison unnoticed.
  for (const auto& [name, function] : Functions()) EXPECT_EQ(used.count(name), 1u) << "no lines for " << name;
  EXPECT_GT(checked, 1000);
}

}  // namespace
}  // namespace velmora::crypto::testing
