#include "platform/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "platform/last_error.h"
#include "platform/system_info.h"
#include "platform/win_codes.h"

namespace velmora::platform {

// The iconv side of the conversions reads and writes UTF-16 as "UTF-16LE" bytes straight into
// char16_t arrays, which is only right on a little-endian host.
static_assert(std::endian::native == std::endian::little, "UTF-16 units are exchanged with iconv as UTF-16LE");

namespace {

constexpr char16_t kReplacementCharacter = 0xFFFD;

struct CodePageName {
  uint32_t code_page;
  const char* charset;
};

// Code page numbers and the glibc charset that converts them, sorted by number. Code pages missing here
// (the ISCII, Mac Arabic/Hebrew/Greek/Thai/Turkish/Croatian/Romanian/Far East, CNS/ETEN, HZ and a few
// EBCDIC pages) have no glibc converter and are invalid on this system.
constexpr CodePageName kCodePageNames[] = {
    {37, "IBM037"},           {437, "IBM437"},          {500, "IBM500"},
    {708, "ASMO-708"},        {737, "CP737"},           {775, "CP775"},
    {850, "IBM850"},          {852, "IBM852"},          {855, "IBM855"},
    {857, "IBM857"},          {858, "IBM858"},          {860, "IBM860"},
    {861, "IBM861"},          {862, "IBM862"},          {863, "IBM863"},
    {864, "IBM864"},          {865, "IBM865"},          {866, "CP866"},
    {869, "IBM869"},          {870, "IBM870"},          {874, "CP874"},
    {875, "CP875"},           {932, "CP932"},           {936, "CP936"},
    {949, "CP949"},           {950, "CP950"},           {1026, "IBM1026"},
    {1047, "IBM1047"},        {1140, "IBM1140"},        {1141, "IBM1141"},
    {1142, "IBM1142"},        {1143, "IBM1143"},        {1144, "IBM1144"},
    {1145, "IBM1145"},        {1146, "IBM1146"},        {1147, "IBM1147"},
    {1148, "IBM1148"},        {1149, "IBM1149"},        {1250, "CP1250"},
    {1251, "CP1251"},         {1252, "CP1252"},         {1253, "CP1253"},
    {1254, "CP1254"},         {1255, "CP1255"},         {1256, "CP1256"},
    {1257, "CP1257"},         {1258, "CP1258"},         {1361, "JOHAB"},
    {10000, "MACINTOSH"},     {10007, "MAC-CYRILLIC"},  {10017, "MACUKRAINIAN"},
    {10029, "MAC-CENTRALEUROPE"}, {10079, "MAC-IS"},    {20106, "DIN_66003"},
    {20107, "SEN_850200_B"},  {20108, "NS_4551-1"},     {20127, "US-ASCII"},
    {20261, "T.61-8BIT"},     {20269, "ISO_6937"},      {20273, "IBM273"},
    {20277, "IBM277"},        {20278, "IBM278"},        {20280, "IBM280"},
    {20284, "IBM284"},        {20285, "IBM285"},        {20290, "IBM290"},
    {20297, "IBM297"},        {20420, "IBM420"},        {20423, "IBM423"},
    {20424, "IBM424"},        {20866, "KOI8-R"},        {20871, "IBM871"},
    {20880, "IBM880"},        {20905, "IBM905"},        {20932, "EUC-JP"},
    {20936, "GB2312"},        {20949, "EUC-KR"},        {21025, "IBM1025"},
    {21866, "KOI8-U"},        {28591, "ISO-8859-1"},    {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"},    {28594, "ISO-8859-4"},    {28595, "ISO-8859-5"},
    {28596, "ISO-8859-6"},    {28597, "ISO-8859-7"},    {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"},    {28600, "ISO-8859-10"},   {28601, "ISO-8859-11"},
    {28603, "ISO-8859-13"},   {28604, "ISO-8859-14"},   {28605, "ISO-8859-15"},
    {28606, "ISO-8859-16"},   {38598, "ISO-8859-8"},    {50220, "ISO-2022-JP"},
    {50221, "ISO-2022-JP"},   {50222, "ISO-2022-JP"},   {50225, "ISO-2022-KR"},
    {50227, "ISO-2022-CN"},   {51932, "EUC-JP"},        {51936, "GB2312"},
    {51949, "EUC-KR"},        {54936, "GB18030"},       {65000, "UTF-7"},
};

// ResolveCodePage replaces the "default" code page numbers by the system's code page.
uint32_t ResolveCodePage(uint32_t code_page) {
  if (code_page != kCodePageAnsi && code_page != kCodePageOem && code_page != kCodePageThreadAnsi) {
    return code_page;
  }
  const uint32_t system = GetAnsiCodePage();
  return (system == kCodePageAnsi || system == kCodePageOem || system == kCodePageThreadAnsi) ? kCodePageUtf8
                                                                                            : system;
}

const char* CharsetOf(uint32_t code_page) {
  const auto* end = std::end(kCodePageNames);
  const auto* it = std::lower_bound(std::begin(kCodePageNames), end, code_page,
                                    [](const CodePageName& entry, uint32_t cp) { return entry.code_page < cp; });
  return (it != end && it->code_page == code_page) ? it->charset : nullptr;
}

int Fail(uint32_t error) {
  SetLastError(error);
  return 0;
}

// Sink collects converted units (or bytes) into the caller's array, or only counts them.
template <typename Unit>
class Sink {
 public:
  Sink(Unit* out, int capacity) : out_(out), capacity_(static_cast<std::size_t>(capacity)) {}

  void Put(const Unit* units, std::size_t count) {
    if (out_ != nullptr && !overflow_) {
      if (count > capacity_ - used_) {
        overflow_ = true;
      } else {
        std::memcpy(out_ + used_, units, count * sizeof(Unit));
      }
    }
    used_ += count;
  }
  void Put(Unit unit) { Put(&unit, 1); }

  // Finish returns the Win32-style result: the count, or 0 with 122 (too small) or 87 (too long).
  int Finish() const {
    if (overflow_) return Fail(kErrorInsufficientBuffer);
    if (used_ > static_cast<std::size_t>(INT32_MAX)) return Fail(kErrorInvalidParameter);
    return static_cast<int>(used_);
  }

 private:
  Unit* out_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  bool overflow_ = false;
};

// ---- UTF-8 ------------------------------------------------------------------------------------------

// DecodeUtf8 follows the Unicode "maximal subpart" practice (Unicode 15, section 3.9, U+FFFD
// substitution): each ill-formed subsequence (a stray or unexpected byte, an overlong form, an encoded
// surrogate, a value above U+10FFFF, a sequence cut short) becomes one U+FFFD, and the byte that
// revealed the fault is decoded afresh.
void DecodeUtf8(const uint8_t* in, std::size_t length, Sink<char16_t>& sink) {
  std::size_t i = 0;
  while (i < length) {
    const uint8_t lead = in[i];
    if (lead < 0x80) {
      sink.Put(static_cast<char16_t>(lead));
      ++i;
      continue;
    }
    int needed = 0;
    uint8_t low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      value = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // below: overlong
      if (lead == 0xED) high = 0x9F;  // above: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      value = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // below: overlong
      if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
    } else {
      sink.Put(kReplacementCharacter);
      ++i;
      continue;
    }
    std::size_t next = i + 1;
    int gathered = 0;
    for (; gathered < needed && next < length; ++gathered, ++next) {
      const uint8_t byte = in[next];
      if (byte < low || byte > high) break;
      value = (value << 6) | (byte & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    i = next;
    if (gathered < needed) {
      sink.Put(kReplacementCharacter);
    } else if (value < 0x10000) {
      sink.Put(static_cast<char16_t>(value));
    } else {
      value -= 0x10000;
      const char16_t pair[2] = {static_cast<char16_t>(0xD800 | (value >> 10)),
                                static_cast<char16_t>(0xDC00 | (value & 0x3FF))};
      sink.Put(pair, 2);
    }
  }
}

// EncodeUtf8 writes unpaired surrogates as U+FFFD (EF BF BD).
void EncodeUtf8(const char16_t* in, std::size_t units, Sink<char>& sink) {
  for (std::size_t i = 0; i < units; ++i) {
    uint32_t value = in[i];
    if (value >= 0xD800 && value <= 0xDFFF) {
      if (value <= 0xDBFF && i + 1 < units && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        value = 0x10000 + ((value - 0xD800) << 10) + (in[i + 1] - 0xDC00);
        ++i;
      } else {
        value = kReplacementCharacter;
      }
    }
    char bytes[4];
    std::size_t count;
    if (value < 0x80) {
      bytes[0] = static_cast<char>(value);
      count = 1;
    } else if (value < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (value >> 6));
      bytes[1] = static_cast<char>(0x80 | (value & 0x3F));
      count = 2;
    } else if (value < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (value >> 12));
      bytes[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (value & 0x3F));
      count = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (value >> 18));
      bytes[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (value & 0x3F));
      count = 4;
    }
    sink.Put(bytes, count);
  }
}

// ---- iconv ------------------------------------------------------------------------------------------

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// ConverterCache keeps the calling thread's open iconv descriptors. A descriptor carries shift state
// between calls, so it is never shared between threads; each conversion starts by resetting it.
class ConverterCache {
 public:
  ConverterCache() = default;
  ConverterCache(const ConverterCache&) = delete;
  ConverterCache& operator=(const ConverterCache&) = delete;
  ~ConverterCache() {
    for (int i = 0; i < count_; ++i) iconv_close(entries_[i].converter);
  }

  // Get returns the descriptor converting code_page to UTF-16 (to_wide) or back, or kNoConverter.
  iconv_t Get(uint32_t code_page, bool to_wide) {
    for (int i = 0; i < count_; ++i) {
      if (entries_[i].code_page == code_page && entries_[i].to_wide == to_wide) return entries_[i].converter;
    }
    const char* charset = CharsetOf(code_page);
    if (charset == nullptr) return kNoConverter;
    const iconv_t converter = to_wide ? iconv_open("UTF-16LE", charset) : iconv_open(charset, "UTF-16LE");
    if (converter == kNoConverter) return kNoConverter;
    int slot = count_;
    if (count_ < kSlots) {
      ++count_;
    } else {
      slot = next_victim_;
      next_victim_ = (next_victim_ + 1) % kSlots;
      iconv_close(entries_[slot].converter);
    }
    entries_[slot] = Entry{code_page, to_wide, converter};
    return converter;
  }

 private:
  struct Entry {
    uint32_t code_page;
    bool to_wide;
    iconv_t converter;
  };
  static constexpr int kSlots = 8;
  Entry entries_[kSlots] = {};
  int count_ = 0;
  int next_victim_ = 0;
};

iconv_t ThreadConverter(uint32_t code_page, bool to_wide) {
  thread_local ConverterCache cache;
  return cache.Get(code_page, to_wide);
}

constexpr std::size_t kChunkBytes = 512;

// DecodeWithIconv converts bytes to UTF-16; an undecodable byte becomes U+FFFD and decoding goes on
// with the next byte, a sequence cut short by the end of the text becomes one U+FFFD.
void DecodeWithIconv(iconv_t converter, const char* in, std::size_t length, Sink<char16_t>& sink) {
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* input = const_cast<char*>(in);  // iconv's signature is not const-correct; it only reads
  std::size_t input_left = length;
  alignas(char16_t) char chunk[kChunkBytes];
  while (input_left > 0) {
    char* output = chunk;
    std::size_t output_left = sizeof chunk;
    const std::size_t result = iconv(converter, &input, &input_left, &output, &output_left);
    const int error = errno;
    sink.Put(reinterpret_cast<const char16_t*>(chunk), (sizeof chunk - output_left) / 2);
    if (result != static_cast<std::size_t>(-1) || error == E2BIG) continue;
    sink.Put(kReplacementCharacter);
    if (error == EILSEQ) {
      ++input;
      --input_left;
    } else {
      input_left = 0;  // EINVAL: incomplete sequence at the end
    }
  }
}

// EncodeWithIconv converts UTF-16 to bytes; a character the code page cannot encode (and an unpaired
// surrogate) becomes the code page's own '?', and the descriptor is returned to its initial shift state
// at the end so that stateful encodings close properly.
void EncodeWithIconv(iconv_t converter, const char16_t* in, std::size_t units, Sink<char>& sink) {
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* input = reinterpret_cast<char*>(const_cast<char16_t*>(in));
  std::size_t input_left = units * 2;
  char chunk[kChunkBytes];
  auto run = [&](char** source, std::size_t* source_left, int* error) {
    char* output = chunk;
    std::size_t output_left = sizeof chunk;
    const std::size_t result = iconv(converter, source, source_left, &output, &output_left);
    *error = result == static_cast<std::size_t>(-1) ? errno : 0;
    sink.Put(chunk, sizeof chunk - output_left);
  };
  while (input_left > 0) {
    int error = 0;
    run(&input, &input_left, &error);
    if (error == 0 || error == E2BIG) continue;
    std::size_t skip = 2;
    if (error == EILSEQ && input_left >= 4) {
      char16_t first, second;
      std::memcpy(&first, input, 2);
      std::memcpy(&second, input + 2, 2);
      if (first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF) skip = 4;
    }
    if (error != EILSEQ) skip = input_left;  // EINVAL: a high surrogate at the very end
    input += skip;
    input_left -= skip;
    char16_t question = u'?';
    char* question_input = reinterpret_cast<char*>(&question);
    std::size_t question_left = 2;
    int question_error = 0;
    run(&question_input, &question_left, &question_error);
  }
  char* output = chunk;
  std::size_t output_left = sizeof chunk;
  iconv(converter, nullptr, nullptr, &output, &output_left);
  sink.Put(chunk, sizeof chunk - output_left);
}

bool IsUnicodeCodePage(uint32_t code_page) {
  return code_page == kCodePageUtf16Le || code_page == kCodePageUtf16Be || code_page == kCodePageUtf32Le ||
         code_page == kCodePageUtf32Be;
}

// CheckArguments applies the argument rules shared by both directions; 0 when they hold.
template <typename In, typename Out>
uint32_t CheckArguments(const In* in, int in_len, const Out* out, int out_len) {
  if (in == nullptr || in_len == 0 || in_len < -1) return kErrorInvalidParameter;
  if (out_len < 0 || (out == nullptr && out_len != 0)) return kErrorInvalidParameter;
  return 0;
}

}  // namespace

int MultiByteToWideChar(uint32_t code_page, const char* in, int in_len, char16_t* out, int out_units) {
  if (const uint32_t error = CheckArguments(in, in_len, out, out_units); error != 0) return Fail(error);
  const uint32_t resolved = ResolveCodePage(code_page);
  const std::size_t length = in_len == -1 ? std::strlen(in) + 1 : static_cast<std::size_t>(in_len);
  Sink<char16_t> sink(out, out_units);
  if (resolved == kCodePageUtf8) {
    DecodeUtf8(reinterpret_cast<const uint8_t*>(in), length, sink);
    return sink.Finish();
  }
  if (IsUnicodeCodePage(resolved)) return Fail(kErrorInvalidParameter);
  const iconv_t converter = ThreadConverter(resolved, true);
  if (converter == kNoConverter) return Fail(kErrorInvalidParameter);
  DecodeWithIconv(converter, in, length, sink);
  return sink.Finish();
}

int WideCharToMultiByte(uint32_t code_page, const char16_t* in, int in_units, char* out, int out_len) {
  if (const uint32_t error = CheckArguments(in, in_units, out, out_len); error != 0) return Fail(error);
  const uint32_t resolved = ResolveCodePage(code_page);
  std::size_t units = 0;
  if (in_units == -1) {
    while (in[units] != 0) ++units;
    ++units;
  } else {
    units = static_cast<std::size_t>(in_units);
  }
  Sink<char> sink(out, out_len);
  if (resolved == kCodePageUtf8) {
    EncodeUtf8(in, units, sink);
    return sink.Finish();
  }
  if (IsUnicodeCodePage(resolved)) return Fail(kErrorInvalidParameter);
  const iconv_t converter = ThreadConverter(resolved, false);
  if (converter == kNoConverter) return Fail(kErrorInvalidParameter);
  EncodeWithIconv(converter, in, units, sink);
  return sink.Finish();
}

bool IsValidCodePage(uint32_t code_page) {
  const uint32_t resolved = ResolveCodePage(code_page);
  if (resolved == kCodePageUtf8) return true;
  if (IsUnicodeCodePage(resolved)) return false;
  return ThreadConverter(resolved, true) != kNoConverter && ThreadConverter(resolved, false) != kNoConverter;
}

}  // namespace velmora::platform
