#include "core/code_page.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/code_page.h"
#include "platform/memory.h"

namespace velmora::core {

namespace {

constexpr char16_t kEmptyWideText[1] = {0};
constexpr uint32_t kReplacementCharacter = 0xFFFD;

// Scratch is a heap work area that is wiped before release when its owner buffer asks for that.
class Scratch {
 public:
  Scratch(const BufferCore& owner, int64_t size) : owner_(owner) {
    if (size > 0 && size <= INT32_MAX) {
      block_ = static_cast<uint8_t*>(platform::Alloc(static_cast<std::size_t>(size)));
      size_ = block_ != nullptr ? static_cast<int32_t>(size) : 0;
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { WipeAndFree(owner_, block_, size_, 1); }

  uint8_t* Get() const { return block_; }

 private:
  const BufferCore& owner_;
  uint8_t* block_ = nullptr;
  int32_t size_ = 0;
};

bool PointsInto(const BufferCore& buffer, const void* pointer) {
  const auto start = reinterpret_cast<uintptr_t>(buffer.Data());
  const auto at = reinterpret_cast<uintptr_t>(pointer);
  return at >= start && at <= start + static_cast<uintptr_t>(buffer.Capacity());
}

// StoreConverted runs the second pass of a two-pass conversion of count units into buffer. It converts
// straight into the buffer's storage, except when the source lies in that storage (growing it could
// free the source mid-conversion) or the storage is not aligned for the unit; then it converts into a
// scratch area and copies.
template <typename Unit, typename Convert>
int StoreConverted(BufferCore& buffer, int count, const void* source, Convert convert) {
  const int64_t bytes = static_cast<int64_t>(count) * static_cast<int64_t>(sizeof(Unit));
  if (bytes > INT32_MAX - 2) return kOutOfMemory;
  const bool aliased = PointsInto(buffer, source);
  if (!aliased) {
    int rc = buffer.SetData(static_cast<int32_t>(bytes), nullptr);
    if (rc != kOk) return rc;
    if (reinterpret_cast<uintptr_t>(buffer.Data()) % alignof(Unit) == 0) {
      const int written = convert(reinterpret_cast<Unit*>(buffer.Data()), count);
      return buffer.SetData(static_cast<int32_t>(written * static_cast<int64_t>(sizeof(Unit))), nullptr);
    }
  }
  Scratch scratch(buffer, bytes);
  if (scratch.Get() == nullptr) return kOutOfMemory;
  const int written = convert(reinterpret_cast<Unit*>(scratch.Get()), count);
  return buffer.SetData(static_cast<int32_t>(written * static_cast<int64_t>(sizeof(Unit))), scratch.Get());
}

}  // namespace

// ---- Conversions through the platform --------------------------------------------------------------

int MultiByteToWide(BufferCore& buffer, const char* text, uint32_t code_page) {
  if (text == nullptr) text = kEmptyText;
  const int units = platform::MultiByteToWideChar(code_page, text, -1, nullptr, 0);
  if (units <= 0) return kConversionFailed;
  return StoreConverted<char16_t>(buffer, units, text, [&](char16_t* out, int capacity) {
    return platform::MultiByteToWideChar(code_page, text, -1, out, capacity);
  });
}

int WideToMultiByte(BufferCore& buffer, const char16_t* text, uint32_t code_page) {
  if (text == nullptr) text = kEmptyWideText;
  const int bytes = platform::WideCharToMultiByte(code_page, text, -1, nullptr, 0);
  if (bytes <= 0) return kConversionFailed;
  return StoreConverted<char>(buffer, bytes, text, [&](char* out, int capacity) {
    return platform::WideCharToMultiByte(code_page, text, -1, out, capacity);
  });
}

int WideToMultiByteN(BufferCore& buffer, const char16_t* text, int32_t units, uint32_t code_page) {
  if (units == 0) return buffer.Clear();
  if (units < 0 || text == nullptr) return kConversionFailed;
  const int bytes = platform::WideCharToMultiByte(code_page, text, units, nullptr, 0);
  if (bytes <= 0) return kConversionFailed;
  return StoreConverted<char>(buffer, bytes, text, [&](char* out, int capacity) {
    return platform::WideCharToMultiByte(code_page, text, units, out, capacity);
  });
}

int ConvertCodePage(const char* text, int32_t length, uint32_t from_code_page, uint32_t to_code_page,
                    BufferCore& out) {
  if (text == nullptr || length <= 0) {
    if (!platform::IsValidCodePage(from_code_page)) return kConversionFailed;
    return WideToMultiByte(out, kEmptyWideText, to_code_page);
  }
  // The unit count is checked: a failed first step must not pass for an empty text.
  const int units = platform::MultiByteToWideChar(from_code_page, text, length, nullptr, 0);
  if (units <= 0) return kConversionFailed;
  Scratch wide(out, (static_cast<int64_t>(units) + 1) * 2);
  if (wide.Get() == nullptr) return kOutOfMemory;
  auto* units_out = reinterpret_cast<char16_t*>(wide.Get());
  const int written = platform::MultiByteToWideChar(from_code_page, text, length, units_out, units);
  if (written <= 0) return kConversionFailed;
  // Embedded NUL characters are kept: the text is converted by its count, then terminated.
  const int bytes = platform::WideCharToMultiByte(to_code_page, units_out, written, nullptr, 0);
  if (bytes <= 0) return kConversionFailed;
  if (bytes > INT32_MAX - 2) return kOutOfMemory;
  int rc = StoreConverted<char>(out, bytes + 1, units_out, [&](char* target, int capacity) {
    const int converted = platform::WideCharToMultiByte(to_code_page, units_out, written, target, capacity - 1);
    target[converted] = '\0';
    return converted + 1;
  });
  return rc;
}

// ---- Our own UTF-8 and UTF-16LE converters ---------------------------------------------------------

bool Utf16LeToUtf8(uint8_t* out, int32_t* out_length, const uint8_t* in, int32_t in_length) {
  int32_t written = 0;
  bool ok = true;
  int32_t i = 0;
  for (; i + 1 < in_length; i += 2) {
    uint32_t value = in[i] | (in[i + 1] << 8);
    if (value >= 0xD800 && value <= 0xDFFF) {
      if (value >= 0xDC00 || i + 3 >= in_length) {
        ok = false;
        break;
      }
      const uint32_t low = in[i + 2] | (in[i + 3] << 8);
      if (low < 0xDC00 || low > 0xDFFF) {
        ok = false;
        break;
      }
      value = 0x10000 + (((value - 0xD800) << 10) | (low - 0xDC00));
      i += 2;
    }
    uint8_t bytes[4];
    int count;
    if (value < 0x80) {
      bytes[0] = static_cast<uint8_t>(value);
      count = 1;
    } else {
      const int continuation = value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
      static constexpr uint8_t kLeadMarks[4] = {0, 0xC0, 0xE0, 0xF0};
      bytes[0] = static_cast<uint8_t>((value >> (6 * continuation)) + kLeadMarks[continuation]);
      for (int j = continuation - 1; j >= 0; --j) {
        bytes[continuation - j] = static_cast<uint8_t>(0x80 | ((value >> (6 * j)) & 0x3F));
      }
      count = continuation + 1;
    }
    if (out != nullptr) std::memcpy(out + written, bytes, static_cast<std::size_t>(count));
    written += count;
  }
  // An odd last byte is no UTF-16 unit; it fails rather than vanish without a trace.
  if (ok && i < in_length) ok = false;
  if (out_length != nullptr) *out_length = written;
  return ok;
}

bool Utf8ToUtf16Le(uint8_t* out, int32_t* out_length, const uint8_t* in, int32_t in_length) {
  int32_t written = 0;
  auto put_unit = [&](uint32_t unit) {
    if (out != nullptr) {
      out[written] = static_cast<uint8_t>(unit & 0xFF);
      out[written + 1] = static_cast<uint8_t>(unit >> 8);
    }
    written += 2;
  };
  bool ok = true;
  int32_t i = 0;
  while (i < in_length) {
    const uint8_t lead = in[i++];
    if (lead < 0x80) {
      put_unit(lead);
      continue;
    }
    if (lead < 0xC0) {  // a continuation byte without a lead byte
      ok = false;
      break;
    }
    int expected;
    uint32_t value;
    if (lead < 0xE0) {
      expected = 1, value = lead - 0xC0u;
    } else if (lead < 0xF0) {
      expected = 2, value = lead - 0xE0u;
    } else if (lead < 0xF8) {
      expected = 3, value = lead - 0xF0u;
    } else if (lead < 0xFC) {
      expected = 4, value = lead - 0xF8u;
    } else {
      expected = 5, value = lead - 0xFCu;
    }
    int gathered = 0;
    // A byte that is not a continuation byte ends the sequence and is left to be read on its own.
    while (gathered < expected && i < in_length && (in[i] & 0xC0) == 0x80) {
      value = (value << 6) | (in[i++] - 0x80u);
      ++gathered;
    }
    static constexpr uint32_t kSmallest[6] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    if (gathered < expected || value < kSmallest[expected] || (value >= 0xD800 && value <= 0xDFFF)) {
      put_unit(kReplacementCharacter);  // cut short, overlong, or an encoded surrogate
    } else if (value < 0x10000) {
      put_unit(value);
    } else if (value - 0x10000 >= 0x100000) {
      ok = false;
      break;
    } else {
      const uint32_t v = value - 0x10000;
      put_unit(0xD800 | (v >> 10));
      put_unit(0xDC00 | (v & 0x3FF));
    }
  }
  if (out_length != nullptr) *out_length = written;
  return ok;
}

namespace {

using ByteConverter = bool (*)(uint8_t*, int32_t*, const uint8_t*, int32_t);

// ConvertInPlace runs one of our own converters over the buffer's content through a scratch area
// of twice its length, which holds the output of either direction.
int ConvertInPlace(BufferCore& buffer, ByteConverter convert) {
  const int32_t length = buffer.Length();
  if (length == 0) return kOk;
  Scratch scratch(buffer, static_cast<int64_t>(length) * 2);
  if (scratch.Get() == nullptr) return kOutOfMemory;
  int32_t written = 0;
  if (!convert(scratch.Get(), &written, buffer.Bytes(), length)) return kConversionFailed;
  return buffer.SetData(written, scratch.Get());
}

}  // namespace

int Utf16LeToUtf8(BufferCore& buffer) { return ConvertInPlace(buffer, &Utf16LeToUtf8); }

int Utf8ToUtf16Le(BufferCore& buffer) { return ConvertInPlace(buffer, &Utf8ToUtf16Le); }

namespace {

// RoundTrip converts length bytes of UTF-8 to UTF-16LE into wide (2 * length bytes) and reports whether
// that and the way back reproduce the bytes exactly.
bool RoundTrip(const BufferCore& owner, const uint8_t* bytes, int32_t length, Scratch& wide, int32_t* wide_length) {
  if (wide.Get() == nullptr || !Utf8ToUtf16Le(wide.Get(), wide_length, bytes, length)) return false;
  Scratch back(owner, static_cast<int64_t>(*wide_length) * 2);
  int32_t back_length = 0;
  if (back.Get() == nullptr || !Utf16LeToUtf8(back.Get(), &back_length, wide.Get(), *wide_length)) return false;
  return back_length == length && std::memcmp(back.Get(), bytes, static_cast<std::size_t>(length)) == 0;
}

}  // namespace

int IsRoundTripUtf8(const BufferCore& buffer) {
  const int32_t length = buffer.Length();
  if (length == 0) return 1;
  Scratch wide(buffer, static_cast<int64_t>(length) * 2);
  int32_t wide_length = 0;
  return RoundTrip(buffer, buffer.Bytes(), length, wide, &wide_length) ? 1 : 0;
}

bool Utf8NameToWide(const char* name, BufferCore* out) {
  if (name == nullptr || name[0] == '\0') return false;
  const std::size_t length = std::strlen(name);
  if (length > INT32_MAX / 2) return false;
  bool high = false;
  for (std::size_t i = 0; i < length && !high; ++i) high = static_cast<uint8_t>(name[i]) >= 0x80;
  if (!high) return false;
  const Buffer owner;  // names carry no secrets beyond the process-wide wipe setting
  Scratch wide(owner, static_cast<int64_t>(length) * 2);
  int32_t wide_length = 0;
  if (!RoundTrip(owner, reinterpret_cast<const uint8_t*>(name), static_cast<int32_t>(length), wide, &wide_length)) {
    return false;
  }
  if (out == nullptr) return true;
  return out->SetData(wide_length, wide.Get()) == kOk && out->AppendByte(0) == kOk;
}

// ---- Charset names ---------------------------------------------------------------------------------

namespace {

struct CharsetName {
  const char* name;
  int32_t code_page;
};

// The MIME charset names, in byte order of their upper-case spelling.
constexpr CharsetName kCharsetNames[] = {
    {"ASMO-708", 708}, {"BIG5", 950}, {"CP1025", 21025}, {"CP866", 866},
    {"CP875", 875}, {"CSISO2022JP", 50221}, {"DOS-720", 720}, {"DOS-862", 862},
    {"EUC-CN", 51936}, {"EUC-JP", 20932}, {"EUC-KR", 51949}, {"GB18030", 54936},
    {"GB2312", 936}, {"GBK", 936}, {"HZ-GB-2312", 52936}, {"IBM-THAI", 20838},
    {"IBM00858", 858}, {"IBM00924", 20924}, {"IBM01047", 1047}, {"IBM01140", 1140},
    {"IBM01141", 1141}, {"IBM01142", 1142}, {"IBM01143", 1143}, {"IBM01144", 1144},
    {"IBM01145", 1145}, {"IBM01146", 1146}, {"IBM01147", 1147}, {"IBM01148", 1148},
    {"IBM01149", 1149}, {"IBM037", 37}, {"IBM1026", 1026}, {"IBM273", 20273},
    {"IBM277", 20277}, {"IBM278", 20278}, {"IBM280", 20280}, {"IBM284", 20284},
    {"IBM285", 20285}, {"IBM290", 20290}, {"IBM297", 20297}, {"IBM420", 20420},
    {"IBM423", 20423}, {"IBM424", 20424}, {"IBM437", 437}, {"IBM500", 500},
    {"IBM737", 737}, {"IBM775", 775}, {"IBM850", 850}, {"IBM852", 852},
    {"IBM855", 855}, {"IBM857", 857}, {"IBM860", 860}, {"IBM861", 861},
    {"IBM863", 863}, {"IBM864", 864}, {"IBM865", 865}, {"IBM869", 869},
    {"IBM870", 870}, {"IBM871", 20871}, {"IBM880", 20880}, {"IBM905", 20905},
    {"ISO-2022-JP", 50220}, {"ISO-2022-KR", 50225}, {"ISO-8859-1", 28591}, {"ISO-8859-13", 28603},
    {"ISO-8859-15", 28605}, {"ISO-8859-2", 28592}, {"ISO-8859-3", 28593}, {"ISO-8859-4", 28594},
    {"ISO-8859-5", 28595}, {"ISO-8859-6", 28596}, {"ISO-8859-7", 28597}, {"ISO-8859-8", 28598},
    {"ISO-8859-8-I", 38598}, {"ISO-8859-9", 28599}, {"JOHAB", 1361}, {"KOI8-R", 20866},
    {"KOI8-U", 21866}, {"KS_C_5601-1987", 949}, {"MACINTOSH", 10000}, {"SHIFT_JIS", 932},
    {"UNICODEFFFE", 1201}, {"US-ASCII", 20127}, {"UTF-16", 1200}, {"UTF-32", 12000},
    {"UTF-32BE", 12001}, {"UTF-7", 65000}, {"UTF-8", 65001}, {"WINDOWS-1250", 1250},
    {"WINDOWS-1251", 1251}, {"WINDOWS-1252", 1252}, {"WINDOWS-1253", 1253}, {"WINDOWS-1254", 1254},
    {"WINDOWS-1255", 1255}, {"WINDOWS-1256", 1256}, {"WINDOWS-1257", 1257}, {"WINDOWS-1258", 1258},
    {"WINDOWS-874", 874}, {"X-CHINESE-CNS", 20000}, {"X-CHINESE-ETEN", 20002}, {"X-CP20001", 20001},
    {"X-CP20003", 20003}, {"X-CP20004", 20004}, {"X-CP20005", 20005}, {"X-CP20261", 20261},
    {"X-CP20269", 20269}, {"X-CP20936", 20936}, {"X-CP20949", 20949}, {"X-CP50227", 50227},
    {"X-EBCDIC-KOREANEXTENDED", 20833}, {"X-EUROPA", 29001}, {"X-IA5", 20105}, {"X-IA5-GERMAN", 20106},
    {"X-IA5-NORWEGIAN", 20108}, {"X-IA5-SWEDISH", 20107}, {"X-ISCII-AS", 57006}, {"X-ISCII-BE", 57003},
    {"X-ISCII-DE", 57002}, {"X-ISCII-GU", 57010}, {"X-ISCII-KA", 57008}, {"X-ISCII-MA", 57009},
    {"X-ISCII-OR", 57007}, {"X-ISCII-PA", 57011}, {"X-ISCII-TA", 57004}, {"X-ISCII-TE", 57005},
    {"X-MAC-ARABIC", 10004}, {"X-MAC-CE", 10029}, {"X-MAC-CHINESESIMP", 10008}, {"X-MAC-CHINESETRAD", 10002},
    {"X-MAC-CROATIAN", 10082}, {"X-MAC-CYRILLIC", 10007}, {"X-MAC-GREEK", 10006}, {"X-MAC-HEBREW", 10005},
    {"X-MAC-ICELANDIC", 10079}, {"X-MAC-JAPANESE", 10001}, {"X-MAC-KOREAN", 10003}, {"X-MAC-ROMANIAN", 10010},
    {"X-MAC-THAI", 10021}, {"X-MAC-TURKISH", 10081}, {"X-MAC-UKRAINIAN", 10017},};

constexpr bool NamesAreSorted() {
  for (std::size_t i = 1; i < std::size(kCharsetNames); ++i) {
    const char* a = kCharsetNames[i - 1].name;
    const char* b = kCharsetNames[i].name;
    while (*a != '\0' && *a == *b) ++a, ++b;
    if (static_cast<uint8_t>(*a) >= static_cast<uint8_t>(*b)) return false;
  }
  return true;
}
static_assert(NamesAreSorted(), "CharsetNameToCodePage searches the names by halves");

constexpr std::size_t kLongestCharsetName = 23;

}  // namespace

int32_t CharsetNameToCodePage(const char* name) {
  if (name == nullptr || name[0] == '\0') return -1;
  char upper[kLongestCharsetName + 1];
  std::size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    if (length == kLongestCharsetName) return -1;
    const char c = name[length];
    upper[length] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  upper[length] = '\0';
  std::size_t low = 0, high = std::size(kCharsetNames);
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    const int order = std::strcmp(upper, kCharsetNames[middle].name);
    if (order == 0) return kCharsetNames[middle].code_page;
    if (order < 0) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return -1;
}

// ---- Shift_JIS and JIS X 0208 ----------------------------------------------------------------------

void ShiftJisPairToJis(uint8_t& first, uint8_t& second) {
  const bool low = second < 0x9F;
  int row = first < 160 ? 2 * (first - 112) : 2 * (first - 176);
  if (low) --row;
  const int cell = low ? (second < 0x80 ? second - 31 : second - 32) : second - 126;
  first = static_cast<uint8_t>(row);
  second = static_cast<uint8_t>(cell);
}

ShiftJisBytes JisToShiftJisPair(uint8_t row, uint8_t cell) {
  const int first = ((row + 1) >> 1) + (row < 95 ? 112 : 176);
  int second;
  if (row & 1) {
    second = cell < 96 ? cell + 31 : cell + 32;
  } else {
    second = cell + 126;
  }
  return ShiftJisBytes{static_cast<uint8_t>(first), static_cast<uint8_t>(second)};
}

namespace {

// KanaWidthTable: the Shift_JIS code of the full-width form of each half-width katakana byte
// 0xA1..0xDF, in byte order.
constexpr uint16_t kKanaWidthTable[63] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342, 0x8344, 0x8346, 0x8348, 0x8383, 0x8385,
    0x8387, 0x8362, 0x815B, 0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A, 0x834C, 0x834E, 0x8350, 0x8352,
    0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E, 0x8360, 0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B,
    0x836C, 0x836D, 0x836E, 0x8371, 0x8374, 0x8377, 0x837A, 0x837D, 0x837E, 0x8380, 0x8381, 0x8382, 0x8384,
    0x8386, 0x8388, 0x8389, 0x838A, 0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B,
};

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

}  // namespace

int HalfWidthKanaToShiftJis(uint8_t c, uint8_t mark, uint8_t* first, uint8_t* second) {
  const bool voiced = mark == 0xDE && (c == 0xB3 || InRange(c, 0xB6, 0xC4) || InRange(c, 0xCA, 0xCE));
  const bool semi_voiced = mark == 0xDF && InRange(c, 0xCA, 0xCE);
  int lead = c, trail = mark;
  if (InRange(c, 0xA1, 0xDF)) {
    lead = kKanaWidthTable[c - 0xA1] >> 8;
    trail = kKanaWidthTable[c - 0xA1] & 0xFF;
  }
  if (voiced) {
    if (InRange(trail, 74, 103) || InRange(trail, 110, 122)) {
      ++trail;
    } else if (lead == 0x83 && trail == 0x45) {
      trail = 0x94;
    }
  } else if (semi_voiced && InRange(trail, 110, 122)) {
    trail += 2;
  }
  *first = static_cast<uint8_t>(lead);
  *second = static_cast<uint8_t>(trail);
  return voiced || semi_voiced ? 1 : 0;
}

// ---- WideStringBuffer ------------------------------------------------------------------------------

const char16_t* WideStringBuffer::ToWide(uint32_t code_page) {
  const int units = Length() > 0 ? platform::MultiByteToWideChar(code_page, Data(), Length(), nullptr, 0) : 0;
  if (units <= 0 || units == INT32_MAX) {
    wide_.Clear();
    return kEmptyWideText;
  }
  const int rc = StoreConverted<char16_t>(wide_, units + 1, Data(), [&](char16_t* out, int capacity) {
    const int written = platform::MultiByteToWideChar(code_page, Data(), Length(), out, capacity - 1);
    out[written] = 0;
    return written + 1;
  });
  if (rc != kOk) {
    wide_.Clear();
    return kEmptyWideText;
  }
  return reinterpret_cast<const char16_t*>(wide_.Data());
}

const char16_t* WideStringBuffer::AssignAndToWide(const char* text, uint32_t code_page) {
  if (SetString(text) != kOk) return nullptr;
  return ToWide(code_page);
}

}  // namespace velmora::core
