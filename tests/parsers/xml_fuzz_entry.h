// XmlFuzzOne: one hostile input through the XML parser. The first two bytes choose the road (one text,
// chunks, a stream load), the decoding mode and the settings; the rest is the document, and for chunks
// also where it is cut. Whatever the input, the parse ends with 0 or a code, and a store left behind
// passes the store validator and answers paths. Shared by the g++ test and the libFuzzer target.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/file_helpers.h"
#include "parsers/xml_parser.h"

namespace velmora::parsers::testing {

// MemoryStream is an input stream over a byte string.
class MemoryStream : public core::InputStream {
 public:
  MemoryStream(const uint8_t* data, size_t size) : data_(data), size_(static_cast<int64_t>(size)) {}
  int32_t Read(void* out, int32_t count) override {
    const int64_t left = size_ - at_;
    const int32_t n = left < count ? static_cast<int32_t>(left) : count;
    if (n > 0) std::memcpy(out, data_ + at_, static_cast<size_t>(n));
    at_ += n;
    return n;
  }
  void Release() override {}
  int64_t Size() override { return size_; }
  int64_t Seek(int64_t offset, uint32_t method) override {
    const int64_t base = method == core::kFileBegin ? 0 : method == core::kFileCurrent ? at_ : size_;
    if (base + offset < 0 || base + offset > size_) return -1;
    return at_ = base + offset;
  }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t at_ = 0;
};

// kSettings are the switches the second byte turns on, one bit each.
inline constexpr const char* kFuzzSettings[] = {"KeepOriginalText=0", "HTMLComments=1", "PreserveWhitespace=1",
                                               "AllowReservedCharacters=1", "ValidateLessThanSign=0",
                                               "AllowTextOutsideRoot=0", "IgnoreBadElementPrefixes=0",
                                               "IncludeUnknownPrefixes=1"};

inline int XmlFuzzOne(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t road = data[0] % 3;
  const uint32_t mode = (data[0] >> 2) % 6;
  const uint8_t switches = data[1];
  data += 2;
  size -= 2;
  XmlParser parser;
  parser.SetBuildDom((data[-2] & 0x80) == 0 ? 1 : 0);
  if ((data[-2] & 0x40) != 0) parser.SetValidate(0);
  for (int bit = 0; bit < 8; ++bit) {
    if ((switches >> bit & 1) == 0) continue;
    component::ConfigSettingParts setting;
    if (setting.Parse(kFuzzSettings[bit], 0) != 0) std::abort();
    (void)parser.Config(setting, nullptr);
  }
  static const char* const kModes[] = {"ASCII", "UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};
  (void)parser.SetInputCharset(kModes[mode]);
  int rc = 0;
  if (road == 0) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    rc = parser.ParseText(text.c_str());
  } else if (road == 1) {
    for (size_t at = 0; at < size && rc == 0;) {
      const size_t n = 1 + (data[at] * 7u) % 97u;
      const size_t take = n < size - at ? n : size - at;
      rc = parser.ParseChunk(data + at, static_cast<int32_t>(take));
      at += take;
    }
  } else {
    MemoryStream stream(data, size);
    rc = parser.LoadStream(&stream, 0);
  }
  (void)rc;
  XmlDom& dom = parser.Document().Dom();
  if (dom.Validate() != 0) std::abort();
  if (dom.Root() != 0) {
    for (const char* path : {"/", "[last()]", "--/next()/prev()", "/[lastUnclosed()]", "..", "*0"}) {
      (void)parser.SetXPath(path);
    }
    (void)dom.TopLevelElementCount();
  }
  return 0;
}

}  // namespace velmora::parsers::testing
