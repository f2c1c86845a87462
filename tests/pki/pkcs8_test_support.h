// Shared by the PKCS #8 and PKCS #12 tests: a key record in the line form of pkcs_oracle.py, and the
// oracle itself.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "crypto/keys/curve_params.h"
#include "crypto/objects/key_record.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {

constexpr const char* kPkcsData = VELMORA_TEST_SOURCE_DIR "/data/pki/";

// Number is the lower-case hex of a magnitude without leading zeros ("0" for zero or none).
inline std::string Number(const core::BufferCore& value) {
  std::string hex = testing_support::ToHex(Bytes(value));
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? "0" : hex.substr(first);
}

inline std::string RawHex(const core::BufferCore& value) {
  std::string hex = testing_support::ToHex(Bytes(value));
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}

// KeyLine writes the record as pkcs_oracle.py prints a key.
inline std::string KeyLine(const crypto::KeyRecord& key) {
  std::string line;
  auto numbers = [&line](std::initializer_list<const core::BufferCore*> values) {
    for (const core::BufferCore* value : values) line += "|" + Number(*value);
  };
  switch (key.Type) {
    case crypto::kKeyRsa: {
      const auto& p = key.RsaParams;
      line = "rsa";
      numbers({&p.Modulus, &p.Exponent, &p.D, &p.P, &p.Q, &p.DP, &p.DQ, &p.InverseQ});
      return line;
    }
    case crypto::kKeyDsa: {
      const auto& p = key.DsaParams;
      line = "dsa";
      numbers({&p.P, &p.Q, &p.G, &p.Y, &p.X});
      return line;
    }
    case crypto::kKeyEc:
      line = std::string("ec|") + crypto::EcKeyTypeToName(key.EcParams.KeyType);
      numbers({&key.EcParams.D, &key.EcParams.X, &key.EcParams.Y});
      return line;
    case crypto::kKeyEdwards:
      return std::string(crypto::EcKeyTypeToName(key.EdParams.KeyType)) + "|" + RawHex(key.EdParams.PrivateKey) +
             "|" + RawHex(key.EdParams.PublicKey);
    default:
      return "unknown";
  }
}

// PkcsOracle runs pkcs_oracle.py and returns its lines; empty when it fails.
inline std::vector<std::string> PkcsOracle(const std::string& mode, const std::string& path,
                                           const char* password = nullptr) {
  std::string output;
  std::string command = std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/pkcs_oracle.py " + mode + " '" +
                        path + "'";
  if (password != nullptr) command += std::string(" '") + password + "'";
  std::vector<std::string> lines;
  if (!RunCommand(command + " 2>/dev/null", &output)) return lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// P12Oracle runs pkcs_oracle.py over containers (password null for none) and returns each file's lines.
inline std::map<std::string, std::vector<std::string>> P12Oracle(const char* password, const std::string& files) {
  std::string output;
  std::map<std::string, std::vector<std::string>> result;
  if (!RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/pkcs_oracle.py p12 '" +
                      (password != nullptr ? password : "-") + "' " + files + " 2>/dev/null",
                  &output)) {
    return result;
  }
  std::istringstream stream(output);
  std::string file;
  for (std::string line; std::getline(stream, line);) {
    if (line.rfind("file|", 0) == 0) {
      file = line.substr(5);
      result[file];
    } else {
      result[file].push_back(line);
    }
  }
  return result;
}

}  // namespace velmora::pki::testing
