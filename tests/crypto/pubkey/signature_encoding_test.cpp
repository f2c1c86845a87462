// DSA and ECDSA signature forms: python3-cryptography's encode_dss_signature and decode_dss_signature
// are the oracle for both conversions on random pairs; the fixed cases pin the shape tests, the strict
// fit and the pass-through of raw signatures, and every truncation and extension of a signature runs in
// a buffer of exactly its size, so that AddressSanitizer sees any read past the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "crypto/pubkey/sig/der_signature.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::RunPython;
using testing_support::Text;
using testing_support::ToHex;

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values) { return Bytes(values.begin(), values.end()); }

Bytes Raw(const core::BufferCore& b) { return Bytes(b.Bytes(), b.Bytes() + b.Length()); }

// Exact holds a copy of bytes in a heap block of exactly their size.
struct Exact {
  explicit Exact(const Bytes& bytes) : size(static_cast<int32_t>(bytes.size())), data(new uint8_t[bytes.size()]) {
    std::copy(bytes.begin(), bytes.end(), data.get());
  }
  int32_t size;
  std::unique_ptr<uint8_t[]> data;
};

bool Shape(const Bytes& bytes) {
  Exact exact(bytes);
  return IsDerSignatureShape(exact.data.get(), exact.size);
}

bool TwoIntegers(const Bytes& bytes) {
  Exact exact(bytes);
  return IsDerTwoIntegerSequence(exact.data.get(), exact.size);
}

int Decode(const Bytes& bytes, int32_t width, Bytes* out) {
  Exact exact(bytes);
  core::Buffer buffer;
  const int rc = DecodeDerSignatureToRaw(exact.data.get(), exact.size, width, buffer);
  *out = Raw(buffer);
  return rc;
}

// Each line: width, r || s at that width, and cryptography's DER of (r, s). Widths up to 70 make
// sequences above 127 bytes, so the long length form is covered.
constexpr char kDssOracle[] = R"PY(
import random, sys
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature, decode_dss_signature
rnd = random.Random(int(sys.argv[1]))
for i in range(int(sys.argv[2])):
    width = rnd.choice([1, 2, 20, 21, 28, 32, 48, 66, 70]) if i % 3 else rnd.randint(1, 70)
    def pick():
        bits = rnd.randint(1, 8 * width)
        return rnd.getrandbits(bits) | (1 << (bits - 1))
    r, s = pick(), pick()
    der = encode_dss_signature(r, s)
    assert decode_dss_signature(der) == (r, s)
    print(width, (r.to_bytes(width, "big") + s.to_bytes(width, "big")).hex(), der.hex())
)PY";

TEST(SignatureEncoding, ConversionsAgreeWithCryptography) {
  if (std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "/usr/bin/python3 with the cryptography module is not installed";
  }
  const unsigned seed = static_cast<unsigned>(testing_support::FuzzSeed());
  const int64_t count = testing_support::FuzzScaled(1000);
  std::string output;
  ASSERT_TRUE(RunPython(kDssOracle, std::to_string(seed) + " " + std::to_string(count), "", &output,
                        "/usr/bin/python3"));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(static_cast<int64_t>(lines.size()), count);
  for (const auto& line : lines) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", raw " + line[1]);
    const int32_t width = std::stoi(line[0]);
    const std::string raw = FromHex(line[1]);
    const std::string der = FromHex(line[2]);
    core::Buffer encoded;
    ASSERT_EQ(EncodeRawSignatureAsDer(reinterpret_cast<const uint8_t*>(raw.data()), static_cast<int32_t>(raw.size()),
                                      encoded), 0);
    EXPECT_EQ(ToHex(Text(encoded)), line[2]);
    const Bytes der_bytes(der.begin(), der.end());
    EXPECT_TRUE(TwoIntegers(der_bytes));
    EXPECT_EQ(Shape(der_bytes), der.size() < 128 + 2);
    Bytes decoded;
    ASSERT_EQ(Decode(der_bytes, width, &decoded), 0);
    EXPECT_EQ(ToHex(std::string(decoded.begin(), decoded.end())), line[1]);
  }
}

TEST(SignatureEncoding, FixedCases) {
  Bytes out;
  ASSERT_EQ(Decode(B({0x30, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07}), 2, &out), 0);
  EXPECT_EQ(out, B({0x00, 0x05, 0x00, 0x07}));

  // The strict fit: leading zeros may go, a nonzero byte or a changed sign bit may not.
  ASSERT_EQ(Decode(B({0x30, 0x0a, 0x02, 0x04, 0x00, 0x00, 0x00, 0x7f, 0x02, 0x02, 0x01, 0x02}), 2, &out), 0);
  EXPECT_EQ(out, B({0x00, 0x7f, 0x01, 0x02}));
  EXPECT_EQ(Decode(B({0x30, 0x09, 0x02, 0x03, 0x01, 0x00, 0x00, 0x02, 0x02, 0x01, 0x02}), 2, &out), 446);
  EXPECT_EQ(Decode(B({0x30, 0x08, 0x02, 0x03, 0x00, 0x00, 0x80, 0x02, 0x01, 0x01}), 1, &out), 446);

  // A raw signature, and a DER prefix whose second element is not an INTEGER, pass through unchanged.
  const Bytes raw = B({0x30, 0x06, 0x02, 0x01, 0x05, 0x04, 0x01, 0x07});
  ASSERT_EQ(Decode(raw, 2, &out), 0);
  EXPECT_EQ(out, raw);

  // Only the shape test with long forms takes 30 81 xx.
  Bytes long_form = B({0x30, 0x81, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07});
  EXPECT_TRUE(TwoIntegers(long_form));
  EXPECT_FALSE(Shape(long_form));
  ASSERT_EQ(Decode(long_form, 1, &out), 0);
  EXPECT_EQ(out, B({0x05, 0x07}));
  long_form[1] = 0x82;
  EXPECT_FALSE(TwoIntegers(long_form));

  // Encoding: an odd last byte is ignored; an empty half is refused.
  core::Buffer der;
  const Bytes odd = B({0x80, 0x01, 0x09});
  ASSERT_EQ(EncodeRawSignatureAsDer(odd.data(), 3, der), 0);
  EXPECT_EQ(Raw(der), B({0x30, 0x07, 0x02, 0x02, 0x00, 0x80, 0x02, 0x01, 0x01}));
  EXPECT_EQ(EncodeRawSignatureAsDer(odd.data(), 1, der), 445);

  EXPECT_STREQ(EcdsaSignatureOidForKeyType(16), "1.2.840.10045.4.3.3");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(0), "1.2.840.10045.4.3.2");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(24), "1.2.840.10045.4.3.4");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(3), "");
  EXPECT_STREQ(EcdsaSignatureOidForKeyType(25), "");
}

// Every prefix of a signature is refused (its last INTEGER is cut) and passes through decoding
// unchanged; longer inputs keep their verdict. Both forms of the length are walked. A SEQUENCE length
// that fits while the second INTEGER's tag is the very last byte must not make the tests read its
// length byte.
TEST(SignatureEncoding, TruncatedAndExtendedInputsStayInBounds) {
  EXPECT_FALSE(Shape(B({0x30, 0x04, 0x02, 0x01, 0x05, 0x02})));
  EXPECT_FALSE(TwoIntegers(B({0x30, 0x04, 0x02, 0x01, 0x05, 0x02})));
  EXPECT_FALSE(TwoIntegers(B({0x30, 0x81, 0x04, 0x02, 0x01, 0x05, 0x02})));

  for (const Bytes& signature : {B({0x30, 0x08, 0x02, 0x02, 0x00, 0x91, 0x02, 0x02, 0x11, 0x22}),
                                 B({0x30, 0x81, 0x08, 0x02, 0x02, 0x00, 0x91, 0x02, 0x02, 0x11, 0x22})}) {
    for (size_t length = 0; length < signature.size(); ++length) {
      const Bytes prefix(signature.begin(), signature.begin() + static_cast<std::ptrdiff_t>(length));
      SCOPED_TRACE(length);
      EXPECT_FALSE(Shape(prefix));
      EXPECT_FALSE(TwoIntegers(prefix));
      Bytes out;
      ASSERT_EQ(Decode(prefix, 2, &out), 0);
      EXPECT_EQ(out, prefix);
    }
    Bytes longer = signature;
    for (int extra = 0; extra < 4; ++extra) {
      longer.push_back(0x02);
      EXPECT_TRUE(TwoIntegers(longer));
      Bytes out;
      ASSERT_EQ(Decode(longer, 2, &out), 0);
      EXPECT_EQ(out, B({0x00, 0x91, 0x11, 0x22}));
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
