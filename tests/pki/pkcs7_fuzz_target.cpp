// Hostile PKCS #7 input through the bundle loader, the SignedData, SignerInfo and attribute decoders (and
// the encoders of what decoded), and hostile texts through the subject and thumbprint selection: the
// target of the ctest fuzz cases and of the libFuzzer program.
#include <string>

#include "core/buffer.h"
#include "keystore/certificate_source.h"
#include "pki/pkcs7.h"

namespace velmora::pki::testing {

namespace {

bool Allowed(int rc) { return rc == 0 || rc == -1 || rc == 434 || rc == 445 || rc == 446 || rc == 447 || rc == 1401; }

std::string Check(const char* name, int rc) { return Allowed(rc) ? std::string() : name + (" " + std::to_string(rc)); }

}  // namespace

// FuzzPkcs7Input names the first reader that ends outside its results, "" when none does.
std::string FuzzPkcs7Input(const std::string& input) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  const auto length = static_cast<int32_t>(input.size());
  SignedDataEntry entry;
  std::string problem = Check("LoadP7b", LoadP7b(bytes, length, entry));
  if (problem.empty()) problem = Check("OrderCertificateChain", OrderCertificateChain(entry));
  core::Buffer held;
  if (held.SetData(length, input.data()) != 0) return "SetData";
  SignedData data;
  if (problem.empty()) problem = Check("ParseSignedData", ParseSignedData(held, data));
  SignerInfo signer;
  if (problem.empty()) problem = Check("SignerInfo::Decode", SignerInfo::Decode(bytes, length, signer));
  CertAttribute attribute;
  if (problem.empty()) problem = Check("CertAttribute::Decode", CertAttribute::Decode(bytes, length, attribute));
  // What a message decodes to encodes, and its signer infos decode again from their encoding.
  Pkcs7ContentInfo info;
  if (!problem.empty() || info.input.Assign(held) != 0 || info.Decode() != 0 || info.signedData == nullptr) return problem;
  DerWriter writer;
  if (const int rc = EncodeSignedData(*info.signedData, writer); rc != 0 && rc != 445 && rc != 447) return "EncodeSignedData";
  for (int32_t i = 0; i < info.signedData->signerInfos.Count(); ++i) {
    DerWriter one;
    if (SignerInfo::Encode(*info.signedData->signerInfos.Get(i), one) != 0) continue;
    SignerInfo again;
    if (problem.empty()) problem = Check("SignerInfo::Decode again", SignerInfo::Decode(one.Bytes(), one.Length(), again));
  }
  return problem;
}

// FuzzSelectionText runs a text through the subject search and the thumbprint selection of bundle.
std::string FuzzSelectionText(const std::string& text, SignedDataEntry& bundle) {
  const std::string wanted(text.c_str());
  core::StrList subjects;
  for (const char* subject : {"C=US, O=Example, CN=Test", "CN=Bob Evil", "", "CN=\"a, b\", O=x"}) {
    if (subjects.AddCString(subject) != 0) return "AddCString";
  }
  const int found = keystore::FindSubjectInList(subjects, wanted.c_str());
  if (found < -1 || found >= subjects.Count()) return "FindSubjectInList " + std::to_string(found);
  const int picked = keystore::FindByThumbprint(bundle, wanted.c_str());
  if (picked < -1 || picked >= bundle.signedData.certificates.Count()) return "FindByThumbprint " + std::to_string(picked);
  keystore::CertStoreHandle handle;
  if (handle.AddSignedData(bundle) != 0 || handle.AddSignedData(bundle) != 0) return "AddSignedData";
  const int rc = handle.SelectBySubject(wanted.c_str());
  if (rc != 0 && rc != keystore::kNoSubjectMatch) return "SelectBySubject " + std::to_string(rc);
  return "";
}

}  // namespace velmora::pki::testing
