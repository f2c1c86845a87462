// One hostile input through the revocation list decoder, then through every item it read: the target of
// the ctest fuzz case and of the libFuzzer program.
#include <cstring>
#include <string>

#include "pki/crl.h"

namespace velmora::pki::testing {

// FuzzCrlInput decodes the input and reads every list item back; it names what went wrong ("" when
// nothing did).
std::string FuzzCrlInput(const std::string& input) {
  CertificateRevocationList crl;
  const int rc = crl.Decode(reinterpret_cast<const uint8_t*>(input.data()), static_cast<int32_t>(input.size()));
  if (rc != 0 && rc != 446 && rc != 447) return "Decode " + std::to_string(rc);
  if (crl.revokedSerials.Count() != crl.revocationDates.Count()) return "lists out of step";
  for (int32_t i = 0; i < crl.revokedSerials.Count(); ++i) {
    const char* serial = crl.revokedSerials.ItemText(i);
    if (serial[0] == '\0' || serial[std::strspn(serial, "0123456789abcdef")] != '\0') return "serial text";
    if (std::strlen(crl.revocationDates.ItemText(i)) != 14) return "date text";
  }
  return "";
}

}  // namespace velmora::pki::testing
