// One hostile input through every reader of names, identifiers and keys: the target of the ctest fuzz case
// and of the libFuzzer program.
#include <string>
#include <utility>

#include "asn1/algorithm_identifier.h"
#include "asn1/der_writer.h"
#include "component/component_base.h"
#include "core/buffer.h"
#include "pki/distinguished_name.h"
#include "pki/subject_public_key_info.h"

namespace velmora::pki::testing {

namespace {

bool Allowed(int rc) { return rc == 0 || rc == -1 || rc == 434 || rc == 445 || rc == 446 || rc == 447 || rc == 1401; }

}  // namespace

// FuzzPkiInput feeds the input to every reader and names the first that ends outside its results ("" when
// none does).
std::string FuzzPkiInput(const std::string& input) {
  core::Buffer der, text, bits;
  if (der.SetData(static_cast<int32_t>(input.size()), input.data()) != 0) return "SetData";
  AlgorithmIdentifier id;
  SubjectPublicKey key;
  component::ComponentBase component;
  const std::pair<const char*, int> results[] = {
      {"DecodeNameToString", DecodeNameToString(der, text)},
      {"AlgorithmIdentifier::Decode", id.Decode(der)},
      {"DecodePublicKeyFromSpki", DecodePublicKeyFromSpki(der, key)},
      {"ParseSubjectPublicKeyInfo", ParseSubjectPublicKeyInfo(component, der, bits)}};
  for (const auto& [name, rc] : results) {
    if (!Allowed(rc)) return name + (" " + std::to_string(rc));
  }
  // The input as a text, and the text decoded from it.
  const std::string decoded(text.Data(), static_cast<size_t>(text.Length()));
  for (const std::string& name : {std::string(input.c_str()), decoded}) {
    core::Buffer form;
    (void)ParseDistinguishedName(name.c_str(), form, nullptr);
    DerWriter writer;
    if (const int rc = EncodeNameFromText(name.c_str(), writer); !Allowed(rc)) {
      return "EncodeNameFromText " + std::to_string(rc);
    }
  }
  return "";
}

}  // namespace velmora::pki::testing
