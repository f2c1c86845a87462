#include "core/base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/hex.h"
#include "platform/memory.h"

namespace velmora::core {
namespace {

using platform::test::FailAllocAfter;

std::string Text(const BufferCore& buffer) { return std::string(buffer.Data(), static_cast<size_t>(buffer.Length())); }

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
  EXPECT_EQ(strict(""), 1);
  EXPECT_EQ(strict("YWJj"), 1);
  EXPECT_EQ(strict("YWI="), 1);
  EXPECT_EQ(strict("YQ=="), 1);
  EXPECT_EQ(strict("Y==="), 0);
  EXPECT_EQ(strict("YQ=a"), 0);
  EXPECT_EQ(strict("YW Jj"), 0);
  EXPECT_EQ(strict("YWJ"), 1);  // the length is not examined

  EXPECT_TRUE(IsBase64Text("YWJj\r\n", -1));
  EXPECT_TRUE(IsBase64Text("  YW\tJj YQ==  ", -1));
  EXPECT_FALSE(IsBase64Text("YWJ", -1));
  EXPECT_FALSE(IsBase64Text("", -1));
  EXPECT_FALSE(IsBase64Text(" \r\n", -1));
  EXPECT_FALSE(IsBase64Text("YQ== YQ==", -1));
  EXPECT_FALSE(IsBase64Text("YW-j", -1));
  EXPECT_TRUE(IsBase64Text("YWJjZGVm", 4));
  EXPECT_FALSE(IsBase64Text(nullptr, -1));

  EXPECT_TRUE(IsBase64AlphabetByte('+'));
  EXPECT_TRUE(IsBase64AlphabetByte('z'));
  EXPECT_FALSE(IsBase64AlphabetByte('='));
  EXPECT_FALSE(IsBase64AlphabetByte('-'));
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

constexpr char kReferenceScript[] = R"(import sys, base64, binascii, struct
data = open(sys.argv[1], 'rb').read()
with open(sys.argv[2], 'w') as out:
    i = 0
    while i < len(data):
        n = struct.unpack('>I', data[i:i + 4])[0]
        b = data[i + 4:i + 4 + n]
        i += 4 + n
        s = base64.b64encode(b).decode()
        u = base64.urlsafe_b64encode(b).decode().rstrip('=')
        w = '~'.join(s[j:j + 64] for j in range(0, len(s), 64))
        out.write('%s|%s|%s|%s\n' % (s, u, w, binascii.hexlify(b).decode()))
)";

std::string TempPath(const char* name) {
  char path[] = "/tmp/velmora_b64_XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) std::remove(path);
  return std::string(path) + name;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, '|')) fields.push_back(field);
  while (fields.size() < 4) fields.emplace_back();
  return fields;
}

std::string Unwrap(std::string text, const std::string& line_end, const std::string& with) {
  for (size_t at = text.find(line_end); at != std::string::npos; at = text.find(line_end, at + with.size()))
    text.replace(at, line_end.size(), with);
  return text;
}

TEST(Base64ReferenceTest, MatchesPythonOnRandomInputs) {
  if (std::system("command -v python3 > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not found";
  const uint32_t seed = 0xB64u;
  std::mt19937 random(seed);
  std::vector<std::string> inputs;
  for (int i = 0; i < 3000; ++i) {
    const size_t length = i % 100 == 0 ? random() % 4000 : random() % 200;
    std::string data(length, '\0');
    for (char& c : data) c = static_cast<char>(random());
    inputs.push_back(data);
  }
  const std::string script = TempPath(".py"), input_path = TempPath(".bin"), output_path = TempPath(".txt");
  {
    std::ofstream(script) << kReferenceScript;
    std::ofstream input(input_path, std::ios::binary);
    for (const std::string& data : inputs) {
      const uint32_t n = static_cast<uint32_t>(data.size());
      const char prefix[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                              static_cast<char>(n)};
      input.write(prefix, 4);
      input.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
  }
  const std::string command = "python3 " + script + " " + input_path + " " + output_path;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream output(output_path);
  std::string line;
  size_t index = 0;
  for (; std::getline(output, line) && index < inputs.size(); ++index) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", input " + std::to_string(index));
    const std::string& data = inputs[index];
    const std::vector<std::string> expected = SplitFields(line);
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
  EXPECT_EQ(index, inputs.size());
  std::remove(script.c_str());
  std::remove(input_path.c_str());
  std::remove(output_path.c_str());
}

}  // namespace
}  // namespace velmora::core
