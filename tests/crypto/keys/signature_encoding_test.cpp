// DSA and ECDSA signature forms: python3-cryptography's encode_dss_signature and decode_dss_signature
// are the oracle for both conversions on random pairs; fixed cases pin the strict fit, the long length
// form and the pass-through of other input. Every input lies in a heap block of exactly its size, so
// AddressSanitizer sees any read past its end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/keys/der_signature.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

namespace ts = testing_support;
using Bytes = std::vector<uint8_t>;

// Check runs the two shape tests and the decoding on an exact-size copy of bytes: "shape twoints
// status:hex-of-out".
std::string Check(const Bytes& bytes, int32_t width) {
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), exact.get());
  const auto length = static_cast<int32_t>(bytes.size());
  core::Buffer out;
  const int rc = DecodeDerSignatureToRaw(exact.get(), length, width, out);
  return std::to_string(IsDerSignatureShape(exact.get(), length)) + " " +
         std::to_string(IsDerTwoIntegerSequence(exact.get(), length)) + " " + std::to_string(rc) + ":" +
         ts::ToHex(ts::Text(out));
}

// Each line: width, r || s at that width, and cryptography's DER of (r, s). Widths up to 70 make
// sequences above 127 bytes, so the long length form is covered.
constexpr char kDssOracle[] = R"PY(
import random, sys
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
rnd = random.Random(int(sys.argv[1]))
for i in range(int(sys.argv[2])):
    width = rnd.choice([1, 2, 20, 21, 28, 32, 48, 66, 70]) if i % 3 else rnd.randint(1, 70)
    r, s = [rnd.getrandbits(b) | (1 << (b - 1)) for b in (rnd.randint(1, 8 * width), rnd.randint(1, 8 * width))]
    print(width, (r.to_bytes(width, "big") + s.to_bytes(width, "big")).hex(), encode_dss_signature(r, s).hex())
)PY";

TEST(SignatureEncoding, ConversionsAgreeWithCryptography) {
  if (std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "/usr/bin/python3 with the cryptography module is not installed";
  }
  const auto seed = static_cast<unsigned>(ts::FuzzSeed());
  std::string output;
  ASSERT_TRUE(ts::RunPython(kDssOracle, std::to_string(seed) + " " + std::to_string(ts::FuzzScaled(1000)), "",
                            &output, "/usr/bin/python3"));
  for (const auto& line : ts::Lines(output)) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", raw " + line[1]);
    const std::string raw = ts::FromHex(line[1]);
    const std::string der = ts::FromHex(line[2]);
    core::Buffer encoded;
    ASSERT_EQ(EncodeRawSignatureAsDer(reinterpret_cast<const uint8_t*>(raw.data()), static_cast<int32_t>(raw.size()),
                                      encoded), 0);
    EXPECT_EQ(ts::ToHex(ts::Text(encoded)), line[2]);
    EXPECT_EQ(Check(Bytes(der.begin(), der.end()), std::stoi(line[0])),
              std::string(der.size() < 130 ? "1" : "0") + " 1 0:" + line[1]);
  }
}

TEST(SignatureEncoding, FixedCasesAndInputsAtEveryLength) {
  EXPECT_EQ(Check({0x30, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07}, 2), "1 1 0:00050007");
  // The strict fit drops zero bytes only, and never onto a set sign bit.
  EXPECT_EQ(Check({0x30, 0x0a, 0x02, 0x04, 0x00, 0x00, 0x00, 0x7f, 0x02, 0x02, 0x01, 0x02}, 2), "1 1 0:007f0102");
  EXPECT_EQ(Check({0x30, 0x09, 0x02, 0x03, 0x01, 0x00, 0x00, 0x02, 0x02, 0x01, 0x02}, 2).substr(4, 4), "446:");
  EXPECT_EQ(Check({0x30, 0x08, 0x02, 0x03, 0x00, 0x00, 0x80, 0x02, 0x01, 0x01}, 1).substr(4, 4), "446:");
  // The long form only for IsDerTwoIntegerSequence, and one length byte at most; anything that is not
  // two INTEGERs passes through.
  EXPECT_EQ(Check({0x30, 0x81, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07}, 1), "0 1 0:0507");
  EXPECT_EQ(Check({0x30, 0x82, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07}, 1), "0 0 0:308206020105020107");
  EXPECT_EQ(Check({0x30, 0x06, 0x02, 0x01, 0x05, 0x04, 0x01, 0x07}, 2), "0 0 0:3006020105040107");
  // A SEQUENCE length that fits while the second tag is the last byte: its length byte is not there.
  EXPECT_EQ(Check({0x30, 0x04, 0x02, 0x01, 0x05, 0x02}, 2), "0 0 0:300402010502");
  EXPECT_EQ(Check({0x30, 0x81, 0x04, 0x02, 0x01, 0x05, 0x02}, 2), "0 0 0:30810402010502");
  // Every prefix of a signature is refused and passes through; longer inputs keep their verdict.
  for (Bytes signature : {Bytes{0x30, 0x08, 0x02, 0x02, 0x00, 0x91, 0x02, 0x02, 0x11, 0x22},
                          Bytes{0x30, 0x81, 0x08, 0x02, 0x02, 0x00, 0x91, 0x02, 0x02, 0x11, 0x22}}) {
    for (size_t length = 0; length < signature.size(); ++length) {
      const Bytes prefix(signature.begin(), signature.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_EQ(Check(prefix, 2), "0 0 0:" + ts::ToHex(std::string(prefix.begin(), prefix.end())));
    }
    for (int extra = 0; extra < 3; ++extra) {
      signature.push_back(0x02);
      EXPECT_EQ(Check(signature, 2).substr(2), "1 0:00911122");
    }
  }

  core::Buffer der;
  const uint8_t odd[] = {0x80, 0x01, 0x09};
  ASSERT_EQ(EncodeRawSignatureAsDer(odd, 3, der), 0);
  EXPECT_EQ(ts::ToHex(ts::Text(der)), "3007020200800201" "01");
  EXPECT_EQ(EncodeRawSignatureAsDer(odd, 1, der), 445);

  EXPECT_STREQ(EcdsaSignatureOidForKeyType(16), "1.2.840.10045.4.3.3");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(21), "1.2.840.10045.4.3.2");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(24), "1.2.840.10045.4.3.4");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(3), "");
}

}  // namespace
}  // namespace velmora::crypto
