// Shared by the PKI tests: the corpus oracle script, temporary folders and the corpus file list.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/asn1/asn1_oracle.h"

namespace velmora::pki::testing {

inline const std::string kOracle = std::string(VELMORA_TEST_SOURCE_DIR) + "/pki/pki_corpus_oracle.py";

// Oracle runs the corpus oracle in a mode; false (with the test skipped by the caller) when it fails.
inline bool Oracle(const std::string& arguments, std::string* output) {
  return RunCommand(std::string(kDebianPython) + " " + kOracle + " " + arguments + " 2>/dev/null", output);
}

// ScratchDir makes a fresh folder under the temporary folder, removed when the object goes.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char pattern[] = "/tmp/velmora_pki_XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
  }
  ~ScratchDir() {
    std::error_code ec;
    if (path != "/tmp") std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// CorpusFiles: the Mozilla roots and the x509 certificates of python3-cryptography-vectors, as one
// shell argument list ("" when neither is installed).
inline std::string CorpusFiles() {
  std::string files;
  if (std::filesystem::exists("/etc/ssl/certs/ca-certificates.crt")) files += " /etc/ssl/certs/ca-certificates.crt";
  const std::string vectors = "/usr/lib/python3/dist-packages/cryptography_vectors/x509";
  if (std::filesystem::exists(vectors)) files += " " + vectors + "/*.pem " + vectors + "/*.der " + vectors + "/custom/*";
  return files;
}

inline std::string ReadFile(const std::string& path) {
  std::string out;
  RunCommand("cat '" + path + "'", &out);
  return out;
}

}  // namespace velmora::pki::testing
