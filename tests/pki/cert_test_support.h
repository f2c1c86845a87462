// Shared by the certificate tests: the certificate corpus walked as the expected-value script walks it.
#pragma once

#include <openssl/sha.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "crypto/objects/key_record.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::pki::testing {

constexpr const char* kVectors = "/usr/lib/python3/dist-packages/cryptography_vectors/x509";
constexpr const char* kRoots = "/etc/ssl/certs/ca-certificates.crt";

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return testing_support::ToHex(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

// KeyNumbers is a key record as the expected-value script prints it: the kind, then upper-case hex integers.
inline std::string KeyNumbers(const crypto::KeyRecord& k) {
  const auto hexes = [](std::initializer_list<const core::BufferCore*> numbers) {
    std::string line;
    for (const core::BufferCore* number : numbers) {
      const std::string hex = Hex(Bytes(*number));
      line += " " + hex.substr(std::min(hex.find_first_not_of('0'), hex.size() - 1));
    }
    return line;
  };
  if (k.Type == crypto::kKeyRsa) return "RSA" + hexes({&k.RsaParams.Modulus, &k.RsaParams.Exponent});
  if (k.Type == crypto::kKeyDsa) return "DSA" + hexes({&k.DsaParams.P, &k.DsaParams.Q, &k.DsaParams.G, &k.DsaParams.Y});
  if (k.Type == crypto::kKeyEc) return "EC" + hexes({&k.EcParams.X, &k.EcParams.Y});
  return "RAW" + hexes({&k.EdParams.PublicKey});
}

// CertificateDers is every certificate of a file: the file itself when it is DER, else its PEM blocks.
inline std::vector<std::string> CertificateDers(const std::string& data) {
  if (!data.empty() && data[0] == '\x30') return {data};
  std::vector<std::string> ders;
  static const std::regex kBlock("-----BEGIN CERTIFICATE-----([^-]*)-----END CERTIFICATE-----");
  for (std::sregex_iterator it(data.begin(), data.end(), kBlock), end; it != end; ++it) {
    core::Buffer text;
    EXPECT_EQ(text.SetString((*it)[1].str().c_str()), 0);
    EXPECT_EQ(core::Base64Decode(text, 0, 0, 1), 0);
    ders.push_back(Bytes(text));
  }
  return ders;
}

// CorpusCertificates is (file name, DER) of the vectors' certificates, PKITS and the Mozilla roots; empty
// when neither is installed. every selects PKITS certificates (1 takes all, n every n-th).
inline std::vector<std::pair<std::string, std::string>> CorpusCertificates(int every) {
  std::vector<std::string> paths;
  const std::string vectors = kVectors;
  for (const std::string folder : {"", "/custom", "/ed25519", "/ed448", "/PKITS_data/certs"}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(vectors + folder, ec)) {
      const std::string path = entry.path().string();
      const bool top = folder.empty(), pkits = folder == "/PKITS_data/certs";
      if (!entry.is_regular_file()) continue;
      if (top && !path.ends_with(".pem") && !path.ends_with(".der")) continue;
      if (pkits && !path.ends_with(".crt")) continue;
      paths.push_back(path);
    }
  }
  std::sort(paths.begin(), paths.end());
  if (std::filesystem::exists(kRoots)) paths.push_back(kRoots);
  std::vector<std::pair<std::string, std::string>> certificates;
  int pkits_seen = 0;
  for (const std::string& path : paths) {
    if (path.find("PKITS_data") != std::string::npos && pkits_seen++ % every != 0) continue;
    const std::string name = path == kRoots ? "roots" : path.substr(vectors.size() + 1);
    for (const std::string& der : CertificateDers(ReadFile(path))) certificates.emplace_back(name, der);
  }
  return certificates;
}

}  // namespace velmora::pki::testing
