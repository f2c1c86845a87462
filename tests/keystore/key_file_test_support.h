// Shared by the private key file tests: the python oracle, a key's numbers in the oracle's form, and the
// scratch folder with the tools' keys.
#pragma once

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "crypto/objects/key_record.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

using Record = std::vector<std::string>;

// KeyOracle runs key_file_oracle.py in a mode and returns its records split at "|"; empty when it fails.
inline std::vector<Record> KeyOracle(const std::string& arguments) {
  std::string output;
  std::vector<Record> records;
  if (!pki::testing::Shell(std::string(pki::testing::kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/keystore/key_file_oracle.py " +
                               arguments,
                           &output)) {
    return records;
  }
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    Record fields;
    for (size_t start = 0;;) {
      const size_t bar = line.find('|', start);
      fields.push_back(line.substr(start, bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    records.push_back(fields);
  }
  return records;
}

inline std::string Minimal(const core::BufferCore& number) {
  std::string bytes = pki::testing::Bytes(number);
  while (bytes.size() > 1 && bytes[0] == '\0') bytes.erase(0, 1);
  return pki::testing::Hex(bytes);
}

// Numbers gives key's fields in the order of the oracle's "private" mode, after the path.
inline Record Numbers(const crypto::KeyRecord& key) {
  const crypto::RsaKeyParams& r = key.RsaParams;
  const crypto::DsaKeyParams& d = key.DsaParams;
  const crypto::EcKeyParams& e = key.EcParams;
  const char* curves[] = {"secp256r1", "secp384r1", "secp521r1"};
  switch (key.Type) {
    case crypto::kKeyRsa: return {"1", Minimal(r.Modulus), Minimal(r.Exponent), Minimal(r.D), Minimal(r.P), Minimal(r.Q)};
    case crypto::kKeyDsa: return {"2", Minimal(d.P), Minimal(d.Q), Minimal(d.G), Minimal(d.Y), Minimal(d.X)};
    case crypto::kKeyEc:
      return {"3", e.KeyType >= 0 && e.KeyType < 3 ? curves[e.KeyType] : "?", Minimal(e.X), Minimal(e.Y), Minimal(e.D)};
    case crypto::kKeyEdwards:
      return {"4", pki::testing::Hex(pki::testing::Bytes(key.EdParams.PublicKey)),
              pki::testing::Hex(pki::testing::Bytes(key.EdParams.PrivateKey))};
    default: return {"?"};
  }
}

// Expected returns the oracle's record without its path.
inline Record Expected(const Record& record) { return Record(record.begin() + 1, record.end()); }

inline std::string Unbase64(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --n;
  return out.substr(0, n < 0 ? 0 : static_cast<size_t>(n));
}

// Tool is true when the command runs (puttygen, ssh-keygen).
inline bool Tool(const std::string& probe) { return pki::testing::Shell(probe + " >/dev/null 2>&1"); }

}  // namespace velmora::keystore::testing
