// One hostile text through the security key reader; a block read whole is written and read back to the
// same properties. The target of the ctest fuzz case and of the libFuzzer program.
#include <string>

#include "keystore/security_key.h"

namespace velmora::keystore::testing {

// FuzzSecurityKeyInput names the first result outside its codes ("" when none is).
std::string FuzzSecurityKeyInput(const std::string& input) {
  pki::CertificateWithKey record;
  const int rc = LoadSecurityKey(record, input.c_str(), nullptr);
  // 202 for the block's own faults; the PEM (602: a legacy encrypted body the cipher refuses), DER,
  // certificate and key readers' codes.
  bool known = false;
  for (int allowed : {0, 202, 1424, 2001, 602, 446, 447, -1, 1401}) known = known || rc == allowed;
  if (!known) return "LoadSecurityKey " + std::to_string(rc);
  if (rc != 0) return "";
  core::Buffer out;
  const int written = WriteSecurityKey(record, out);
  if (written != (record.attributeNames.Count() == 16 ? 0 : 202)) return "WriteSecurityKey " + std::to_string(written);
  if (written != 0) return "";
  pki::CertificateWithKey again;
  if (const int reread = LoadSecurityKey(again, out.Data(), nullptr); reread != 0) return "reread " + std::to_string(reread);
  if (!again.attributeValues.Records().Equals(record.attributeValues.Records())) return "reread values";
  return "";
}

}  // namespace velmora::keystore::testing
