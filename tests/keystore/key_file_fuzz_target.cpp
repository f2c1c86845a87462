// Hostile private key files through the PPK, OpenSSH and SSH2 readers, and a key read from one back through
// its writer: the targets of the ctest fuzz cases and of the libFuzzer programs. The KDF limits are
// lowered so that no input runs long.
#include <string>

#include "keystore/openssh_key.h"
#include "keystore/ppk.h"
#include "keystore/ssh2_key.h"

namespace velmora::keystore::testing {

namespace {

void LowerLimits() {
  test::SetPpkArgon2Limits(64, 128);
  test::SetOpenSshMaxRounds(2);
}

// WriterProblem names a writer result outside its codes and the key layer's refusals of numbers it cannot
// complete, a zero modulus among them (2003) ("" when there is none).
std::string WriterProblem(const char* writer, int rc) {
  if (rc == 0 || rc == 280 || rc == 1424 || rc == -1 || rc == 1401 || rc == 2003) return "";
  return std::string(writer) + " " + std::to_string(rc);
}

}  // namespace

std::string FuzzPuttyKeyInput(const std::string& input) {
  LowerLimits();
  crypto::KeyRecord key;
  core::Buffer out;
  const int rc = ReadPuTTYKey(key, input.data(), static_cast<int32_t>(input.size()), "pw", &out);
  if (rc != 0 && rc != kBadPuttyKey) return "ReadPuTTYKey " + std::to_string(rc);
  return rc == 0 ? WriterProblem("WritePuTTYKeyFile", WritePuTTYKeyFile(key, "", out)) : "";
}

std::string FuzzOpenSshKeyInput(const std::string& input) {
  LowerLimits();
  crypto::KeyRecord key;
  core::Buffer out;
  const int rc = ReadOpenSshPrivateKey(key, input.data(), static_cast<uint32_t>(input.size()), "pw");
  if (rc != 0 && rc != kBadOpenSshKey) return "ReadOpenSshPrivateKey " + std::to_string(rc);
  return rc == 0 ? WriterProblem("ArmourOpenSshPrivateKey", ArmourOpenSshPrivateKey(key, "", "c", out)) : "";
}

std::string FuzzSsh2KeyInput(const std::string& input) {
  crypto::KeyRecord key;
  core::Buffer out;
  const int rc = ReadSsh2PrivateKey(key, input.data(), static_cast<int32_t>(input.size()), "pw");
  if (rc != 0 && rc != kBadSsh2Key && rc != 1080 && rc != -1) return "ReadSsh2PrivateKey " + std::to_string(rc);
  return rc == 0 ? WriterProblem("WriteSsh2PrivateKey", WriteSsh2PrivateKey(key, 64, "c", "", out)) : "";
}

}  // namespace velmora::keystore::testing
