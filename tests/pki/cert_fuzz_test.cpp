// Hostile input: mutated corpus certificates through both certificate decoders, every getter and the
// encoder, and mutated extension values through the extension readers, end in 0 or a bad-input code;
// under ASan and UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the
// printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "pki/certificate_codec.h"
#include "tests/pki/cert_test_support.h"
#include "tests/fuzz_support.h"

namespace velmora::pki::testing {

std::string FuzzCertificateInput(const std::string& input);

namespace {

const std::string kBytes("\x00\x01\x02\x03\x04\x06\x30\x31\x7F\x80\x81\x82\x84\x87\x88\xA0\xA1\xA2\xA3\xFF", 20);

TEST(CertificateFuzz, MutatedCertificatesAndExtensionValuesEndInAllowedResults) {
  const auto corpus = CorpusCertificates(1);
  if (corpus.empty()) GTEST_SKIP() << "neither the cryptography vectors nor ca-certificates is installed";
  std::vector<std::string> seeds;
  // Every certificate, and the extension values (and whole extensions) of every tenth.
  for (size_t i = 0; i < corpus.size(); ++i) {
    seeds.push_back(corpus[i].second);
    Certificate c;
    if (i % 10 != 0 || ParseCertificate(reinterpret_cast<const uint8_t*>(corpus[i].second.data()),
                                        static_cast<int32_t>(corpus[i].second.size()), c) != 0) {
      continue;
    }
    for (int32_t e = 0; e < c.tbs.extensions.Count(); ++e) {
      core::Buffer value;
      if (c.tbs.extensions.Get(e) == nullptr) continue;
      if (GetExtensionValue(c, c.tbs.extensions.Get(e)->oid.Data(), value) == 0) seeds.push_back(Bytes(value));
      DerWriter whole;
      if (c.tbs.extensions.Get(e)->Encode(whole) == 0) seeds.push_back(Bytes(whole));
    }
  }
  testing_support::RunMutationLoop("certificate", seeds, 300000, kBytes, FuzzCertificateInput);
}

}  // namespace
}  // namespace velmora::pki::testing
