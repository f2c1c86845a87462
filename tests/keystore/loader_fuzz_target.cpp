// Hostile inputs through the certificate loader in data mode, with no password and with one: the target
// of the ctest fuzz case and of the libFuzzer program. Key derivation limits are lowered so that no
// input runs long.
#include <cstring>
#include <sstream>
#include <string>

#include "keystore/cert_loader.h"
#include "keystore/openssh_key.h"
#include "keystore/ppk.h"

namespace velmora::keystore::testing {
namespace {

// The texts the loader stores itself, and the PuTTY reader's password text it passes on.
const char* const kTexts[] = {
    "The certificate store could not be opened (Wrong password).",
    "The certificate store could not be opened (Unsupported Algorithm).",
    "The certificate store could not be opened (Unsupported certificate in FIPS mode).",
    "The certificate store could not be opened (0x2).",
    "Error decoding key: The specified password is not correct.",
};
// QuotesTooMuch: a transcript line that quotes input holds more than the quote allows (CR included).
bool QuotesTooMuch(const std::string& line) {
  const auto quoting = [&](const char* prefix, size_t fixed) {
    return line.rfind(prefix, 0) == 0 && line.size() > fixed + kLoaderQuoteLength;
  };
  return quoting("PEM tag: ", 10) || quoting("Unknown PEM tag (", 32);
}

std::string Check(const std::string& input, const char* password) {
  CertStoreHandle handle;
  core::Buffer log, error;
  int32_t is_file = -1, kind = -1;
  const int rc = LoadCertificateFromInput(handle, input.data(), static_cast<int32_t>(input.size()), false, password,
                                          &log, &is_file, &kind, &error);
  const std::string where = " (password \"" + std::string(password) + "\")";
  if (is_file != 0) return "a file was opened" + where;
  if (handle.record.selected_index != -1) return "selection changed" + where;
  if (rc == 0 && handle.entries.Count() == 0) return "success without entries" + where;
  if (rc == 0 && error.Length() != 0) return "success with a text" + where;
  if (rc == 0 && (kind < 2 || kind > 20)) return "kind " + std::to_string(kind) + where;
  for (int32_t i = 0; i < handle.entries.Count(); ++i) {
    if (handle.entries.Get(i) == nullptr) return "empty entry" + where;
  }
  if (error.Length() != 0) {
    bool known = false;
    for (const char* text : kTexts) known = known || std::strcmp(error.Data(), text) == 0;
    if (!known) return "text \"" + std::string(error.Data()) + "\"" + where;
  }
  std::istringstream lines(std::string(log.Data(), static_cast<size_t>(log.Length())));
  for (std::string line; std::getline(lines, line);) {
    if (QuotesTooMuch(line)) return "transcript line of " + std::to_string(line.size()) + where;
  }
  return "";
}

}  // namespace

std::string FuzzLoaderInput(const std::string& input) {
  test::SetPpkArgon2Limits(64, 128);
  test::SetOpenSshMaxRounds(2);
  std::string problem = Check(input, "");
  if (problem.empty()) problem = Check(input, "pw");
  return problem;
}

}  // namespace velmora::keystore::testing
