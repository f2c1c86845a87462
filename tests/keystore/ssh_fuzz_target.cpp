// One hostile input through the SSH public key reader, as a blob and as a one-line text, and a key read
// from it back through the writers and the fingerprint: the target of the ctest fuzz case and of the
// libFuzzer program.
#include <string>

#include "core/base64.h"
#include "keystore/ssh_public_key.h"

namespace velmora::keystore::testing {

// FuzzSshInput names the first result outside its codes ("" when none is).
std::string FuzzSshInput(const std::string& input) {
  core::Buffer encoded, out;
  if (core::Base64Encode(encoded, input.data(), static_cast<int32_t>(input.size()), 0, 0, 0) != 0) return "encode";
  const std::string line = "ssh-rsa " + std::string(encoded.Data(), static_cast<size_t>(encoded.Length())) + " c";
  for (const std::string& form : {input, line}) {
    crypto::KeyRecord key;
    const int rc = ReadSshPublicKeyBlob(form.data(), static_cast<int32_t>(form.size()), key);
    if (rc != 0 && rc != kBadSshKey) return "ReadSshPublicKeyBlob " + std::to_string(rc);
    if (rc != 0) continue;
    // A key read back out: its own codes, or the key layer's refusal of numbers it cannot complete.
    for (int r : {WriteSsh2PublicKey(key, true, 64, "c", out), WriteSsh2PublicKey(key, false, 0, "", out),
                  SshKeyFingerprint(key, out, "SHA256")}) {
      if (r != 0 && r != kBadSshKey && r != kNoSshName && r != -1 && r != 1401) return "writer " + std::to_string(r);
    }
  }
  return "";
}

}  // namespace velmora::keystore::testing
