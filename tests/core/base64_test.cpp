#include "core/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/hex.h"
#include "platform/memory.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

using testing_support::Text;

std::string Encode(const std::string& data, int wrap = 0, int32_t line_length = 64, int url_safe = 0) {
  Buffer out;
  EXPECT_EQ(Base64Encode(out, data.data(), static_cast<int32_t>(data.size()), wrap, line_length, url_safe), kOk);
  return Text(out);
}

// Decode returns the decoded bytes, or "<rejected>" when the decoder returns -1.
std::string Decode(const std::string& text, int url_safe, int strict, int skip_blanks) {
  Buffer buffer;
  EXPECT_EQ(buffer.SetData(static_cast<int32_t>(text.size()), text.data()), kOk);
  const int rc = Base64Decode(buffer, url_safe, strict, skip_blanks);
  if (rc == -1) return "<rejected>";
  EXPECT_EQ(rc, kOk);
  return Text(buffer);
}

TEST(Base64EncodeTest, PaddingAndTheUrlSafeAlphabet) {
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode("\xFF"), "/w==");
  EXPECT_EQ(Encode("\xFF", 0, 64, 1), "_w");
  EXPECT_EQ(Encode("\xFB\xFF", 0, 64, 1), "-_8");
  EXPECT_EQ(Encode(""), "");
  Buffer out;
  ASSERT_EQ(Base64UrlEncode(out, "\xFB\xEF\xBE\xFF", 4), kOk);
  EXPECT_EQ(Text(out), "----_w");
}

TEST(Base64EncodeTest, WrapsEvery48InputBytes) {
  const std::string data48(48, 'A');
  EXPECT_EQ(Encode(data48, 1, 64).size(), 64u);
  EXPECT_EQ(Encode(data48, 1, 64).find('\r'), std::string::npos);
  const std::string wrapped49 = Encode(data48 + "A", 1, 64);
  EXPECT_EQ(wrapped49, Encode(data48) + "\r\nQQ==");
  // A line length that is not a multiple of 4 falls back to 48 bytes a line.
  EXPECT_EQ(Encode(data48 + "A", 1, 70), wrapped49);
  EXPECT_EQ(Encode(std::string(12, 'x'), 1, 8), "eHh4eHh4\r\neHh4eHh4");
  // A line length of 0 gives no line size: the text is not wrapped (and nothing divides by it).
  EXPECT_EQ(Encode(std::string(200, 'x'), 1, 0), Encode(std::string(200, 'x')));
  EXPECT_EQ(Encode(std::string(200, 'x'), 0, 8), Encode(std::string(200, 'x')));
}

TEST(Base64EncodeTest, FailedGrowthAppendsNothing) {
  Buffer out;
  ASSERT_EQ(out.SetString("keep"), kOk);
  const std::string data(300, 'd');
  FailAllocAfter(0);
  EXPECT_EQ(Base64Encode(out, data.data(), 300, 1, 64, 0), kOutOfMemory);
  FailAllocAfter(-1);
  EXPECT_EQ(Text(out), "keep");
  // Encoding a buffer's own bytes into it.
  ASSERT_EQ(out.SetData(300, data.data()), kOk);
  ASSERT_EQ(Base64Encode(out, out.Data(), 300, 0, 64, 0), kOk);
  EXPECT_EQ(Text(out), data + Encode(data));
}

TEST(Base64DecodeTest, LenientStrictAndBlanks) {
  EXPECT_EQ(Decode("YW Jj", 0, 0, 0), "abc");
  EXPECT_EQ(Decode("YW Jj", 0, 1, 0), "<rejected>");
  EXPECT_EQ(Decode("YW\r\n\tJj", 0, 1, 1), "abc");
  EXPECT_EQ(Decode("YW*Jj", 0, 1, 1), "<rejected>");
  EXPECT_EQ(Decode("YW*Jj", 0, 0, 1), "abc");
  EXPECT_EQ(Decode("YWI", 0, 1, 0), "<rejected>");
  EXPECT_EQ(Decode("YWI=", 0, 1, 0), "ab");
  EXPECT_EQ(Decode("YQ==", 0, 1, 0), "a");
  EXPECT_EQ(Decode("YQ=", 0, 1, 0), "<rejected>");
  EXPECT_EQ(Decode("Y", 0, 1, 0), "<rejected>");
  EXPECT_EQ(Decode("YWI", 0, 0, 0), "ab");
  EXPECT_EQ(Decode("YWJj\0ZGVm", 0, 1, 0), "abc");  // the text ends at its zero byte
  EXPECT_EQ(Decode("", 0, 1, 0), "");
}

TEST(Base64DecodeTest, AStrayCharacterBeforePaddingGivesNoByte) {
  EXPECT_EQ(Decode("Y=", 0, 0, 0), "");
  EXPECT_EQ(Decode("YWJjZ===", 0, 0, 0), "abc");
  EXPECT_EQ(Decode("YWJjZ", 0, 0, 0), "abc");
}

TEST(Base64DecodeTest, UrlSafeAlphabetRejectsPlusAndSlash) {
  EXPECT_EQ(Decode("-_8", 1, 0, 0), "\xFB\xFF");
  EXPECT_EQ(Decode("+/8=", 1, 1, 0), "<rejected>");
  EXPECT_EQ(Decode("-_8=", 0, 1, 0), "<rejected>");
}

TEST(Base64CheckTest, StrictAndTextForms) {
  auto strict = [](const char* text) {
    Buffer buffer;
    EXPECT_EQ(buffer.SetString(text), kOk);
    return IsBase64Strict(buffer);
  };
  for (const char* good : {"", "YWI=", "YQ==", "YWJ"}) EXPECT_EQ(strict(good), 1) << good;  // length not examined
  for (const char* bad : {"Y===", "YQ=a", "YW Jj"}) EXPECT_EQ(strict(bad), 0) << bad;

  for (const char* good : {"YWJj\r\n", "  YW\tJj YQ==  "}) EXPECT_TRUE(IsBase64Text(good, -1)) << good;
  for (const char* bad : {"YWJ", "", " \r\n", "YQ== YQ==", "YW-j", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(IsBase64Text(bad, -1)) << (bad != nullptr ? bad : "(null)");
  }
  EXPECT_TRUE(IsBase64Text("YWJjZGVm", 4));
  EXPECT_TRUE(IsBase64AlphabetByte('+') && !IsBase64AlphabetByte('=') && !IsBase64AlphabetByte('-'));
}

TEST(Base64CheckTest, DecodeIfBase64KeepsTheFlag) {
  Buffer out;
  int flag = 1;
  ASSERT_EQ(DecodeIfBase64("YW Jj\r\n", 7, &flag, out), kOk);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(Text(out), "abc");
  ASSERT_EQ(out.SetString("untouched"), kOk);
  ASSERT_EQ(DecodeIfBase64("YW\tJj", 5, &flag, out), kOk);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(Text(out), "untouched");
  ASSERT_EQ(DecodeIfBase64("YWJj", 4, &flag, out), kOk);
  EXPECT_EQ(Text(out), "untouched");
}

// ---- Differential check against Python's base64 and binascii ----------------------------------------

// For each input line of hex bytes: standard base64, URL-safe without padding, 64-character lines joined
// by '~', and hex.
constexpr char kReferenceScript[] = R"PY(
import sys, base64, binascii
for line in sys.stdin:
    b = bytes.fromhex(line.strip()[1:])
    s = base64.b64encode(b).decode()
    u = base64.urlsafe_b64encode(b).decode().rstrip('=')
    w = '~'.join(s[j:j + 64] for j in range(0, len(s), 64))
    print('x' + s, 'x' + u, 'x' + w, 'x' + binascii.hexlify(b).decode())
)PY";

std::string Unwrap(std::string text, const std::string& line_end, const std::string& with) {
  for (size_t at = text.find(line_end); at != std::string::npos; at = text.find(line_end, at + with.size()))
    text.replace(at, line_end.size(), with);
  return text;
}

TEST(Base64ReferenceTest, MatchesPythonOnRandomInputs) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is not available: differential test skipped";
  std::mt19937 random(0xB64u);
  std::vector<std::string> inputs;
  std::string input, output;
  for (int i = 0; i < 3000; ++i) {
    std::string data(i % 100 == 0 ? random() % 4000 : random() % 200, '\0');
    for (char& c : data) c = static_cast<char>(random());
    inputs.push_back(data);
    input += "x" + testing_support::ToHex(data) + "\n";
  }
  ASSERT_TRUE(testing_support::RunPython(kReferenceScript, "", input, &output));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), inputs.size());
  for (size_t index = 0; index < inputs.size(); ++index) {
    SCOPED_TRACE("input " + std::to_string(index));
    const std::string& data = inputs[index];
    ASSERT_EQ(lines[index].size(), 4u);
    std::vector<std::string> expected;  // the fields without the leading 'x' that keeps them non-empty
    for (const std::string& field : lines[index]) expected.push_back(field.substr(1));
    ASSERT_EQ(Encode(data), expected[0]);
    ASSERT_EQ(Encode(data, 0, 64, 1), expected[1]);
    ASSERT_EQ(Unwrap(Encode(data, 1, 64), "\r\n", "~"), expected[2]);
    Buffer hex;
    ASSERT_EQ(AppendHexLower(hex, data.data(), static_cast<int32_t>(data.size())), kOk);
    ASSERT_EQ(Text(hex), expected[3]);

    ASSERT_EQ(Decode(expected[0], 0, 1, 0), data);
    ASSERT_EQ(Decode(expected[1], 1, 0, 0), data);
    ASSERT_EQ(Decode(Unwrap(expected[2], "~", "\r\n"), 0, 1, 1), data);
    Buffer decoded;
    ASSERT_EQ(HexDecodeAppendStrict(decoded, expected[3].c_str()), kOk);
    ASSERT_EQ(Text(decoded), data);
    // Lenient decoding passes over bytes outside the alphabet wherever they stand.
    std::string noisy = expected[0];
    for (int k = 0; k < 5 && !noisy.empty(); ++k) noisy.insert(random() % noisy.size(), 1, "!*# \n\t"[random() % 6]);
    ASSERT_EQ(Decode(noisy, 0, 0, 0), data);
  }
}

}  // namespace
}  // namespace velmora::core
