// Shared by the PKI tests: the corpus oracle script, scratch folders, byte strings as Buffers, the corpus.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/asn1/asn1_oracle.h"

namespace velmora::pki::testing {

// Oracle runs pki_corpus_oracle.py in a mode; false when it fails.
inline bool Oracle(const std::string& arguments, std::string* output) {
  return RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/pki_corpus_oracle.py " + arguments +
                        " 2>/dev/null",
                    output);
}

// Held is a Buffer holding a byte string (Buffers are not returned by value).
struct Held : core::Buffer {
  explicit Held(const std::string& bytes) { EXPECT_EQ(SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0); }
};

// ScratchDir is a fresh folder under /tmp, removed with the object.
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
  std::string Read(const std::string& name) const {
    std::ifstream in(*this / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(*this / name, std::ios::binary) << bytes;
    return *this / name;
  }
};

// CorpusFiles: the Mozilla roots and the vectors' x509 certificates as shell arguments ("" for neither).
inline std::string CorpusFiles() {
  std::string files;
  if (std::filesystem::exists("/etc/ssl/certs/ca-certificates.crt")) files += " /etc/ssl/certs/ca-certificates.crt";
  const std::string vectors = "/usr/lib/python3/dist-packages/cryptography_vectors/x509";
  if (std::filesystem::exists(vectors)) files += " " + vectors + "/*.pem " + vectors + "/*.der " + vectors + "/custom/*";
  return files;
}

}  // namespace velmora::pki::testing
