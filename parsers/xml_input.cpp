// XML input: the decoder that turns UTF-8, UTF-16 and UTF-32 input into single-byte text (every character
// above ASCII written as a decimal character reference), dropping consumed input between chunks, the
// chunk and text entry points, and the end-of-document check.
#include <cstring>

#include "parsers/xml_document.h"

namespace velmora::parsers {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool EqualsNoCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
    const char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// Decoder appends decoded text to the input buffer, batching runs of plain bytes.
class Decoder {
 public:
  Decoder(XmlDocument& document) : scan_(document.Scan()), out_(document.Input()) {}

  int Feed(const uint8_t* in, int32_t length) {
    switch (scan_.mode) {
      case 1: return FeedUtf8(in, length);
      case 2:
      case 3: return FeedUnits(in, length, 2);
      case 4:
      case 5: return FeedUnits(in, length, 4);
      default: return out_.Append(in, length) != core::kOk && length > 0 ? kXmlOutOfMemory : 0;
    }
  }

 private:
  // Character appends a code point: below 128 as its byte, otherwise as "&#<decimal>;".
  int Character(uint32_t cp) {
    if (cp < 0x80) return out_.AppendByte(static_cast<uint8_t>(cp)) != core::kOk ? kXmlOutOfMemory : 0;
    char text[16];
    int32_t n = 0;
    char digits[10];
    int32_t d = 0;
    do {
      digits[d++] = static_cast<char>('0' + cp % 10);
      cp /= 10;
    } while (cp != 0);
    text[n++] = '&';
    text[n++] = '#';
    while (d > 0) text[n++] = digits[--d];
    text[n++] = ';';
    return out_.Append(text, n) != core::kOk ? kXmlOutOfMemory : 0;
  }

  int FeedUtf8(const uint8_t* in, int32_t length) {
    int32_t i = 0;
    while (i < length) {
      if (scan_.expected == 0) {
        int32_t run = i;
        // Plain bytes, and stray continuation bytes, which are copied as they are.
        while (run < length && in[run] < 0xC0) ++run;
        if (run > i && out_.Append(in + i, run - i) != core::kOk) return kXmlOutOfMemory;
        i = run;
        if (i >= length) break;
        const uint8_t lead = in[i++];
        if (lead >= 0xF8) {
          if (Character(kReplacement) != 0) return kXmlOutOfMemory;
        } else if (lead >= 0xF0) {
          Begin((lead & 0x07u) << 18, 3);
        } else if (lead >= 0xE0) {
          Begin((lead & 0x0Fu) << 12, 2);
        } else {
          Begin((lead & 0x1Fu) << 6, 1);
        }
        continue;
      }
      const uint8_t b = in[i];
      if ((b & 0xC0) != 0x80) {
        // The sequence broke off: it stands for one replacement character; the byte is read again.
        scan_.expected = 0;
        if (Character(kReplacement) != 0) return kXmlOutOfMemory;
        continue;
      }
      ++i;
      --scan_.expected;
      scan_.code_point |= static_cast<uint32_t>(b & 0x3F) << (6 * scan_.expected);
      if (scan_.expected == 0) {
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        uint32_t cp = scan_.code_point;
        if (cp < kSmallest[scan_.sequence_length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        if (Character(cp) != 0) return kXmlOutOfMemory;
      }
    }
    return 0;
  }

  void Begin(uint32_t value, uint32_t continuation_bytes) {
    scan_.code_point = value;
    scan_.expected = continuation_bytes;
    scan_.sequence_length = continuation_bytes;
  }

  int FeedUnits(const uint8_t* in, int32_t length, uint32_t size) {
    for (int32_t i = 0; i < length; ++i) {
      scan_.unit[scan_.unit_bytes++] = in[i];
      if (scan_.unit_bytes < size) continue;
      scan_.unit_bytes = 0;
      const uint8_t* u = scan_.unit;
      int rc;
      if (size == 2) {
        const uint32_t unit = scan_.mode == 2 ? (u[0] | u[1] << 8u) : (u[0] << 8u | u[1]);
        rc = Unit16(unit);
      } else {
        uint32_t value = scan_.mode == 4 ? (u[0] | u[1] << 8u | u[2] << 16u | static_cast<uint32_t>(u[3]) << 24u)
                                         : (static_cast<uint32_t>(u[0]) << 24u | u[1] << 16u | u[2] << 8u | u[3]);
        if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) value = kReplacement;
        rc = Character(value);
      }
      if (rc != 0) return rc;
    }
    return 0;
  }

  int Unit16(uint32_t unit) {
    if (unit == 0xFFFE && scan_.position == 0 && out_.IsEmpty() && scan_.high_surrogate == 0) {
      // A reversed byte-order mark at the start: the other byte order.
      scan_.mode = scan_.mode == 2 ? 3 : 2;
      return 0;
    }
    if (scan_.high_surrogate != 0) {
      const uint32_t high = scan_.high_surrogate;
      scan_.high_surrogate = 0;
      if (unit >= 0xDC00 && unit <= 0xDFFF) return Character((((high & 0x3FF) << 10) | (unit & 0x3FF)) + 0x10000);
      if (Character(kReplacement) != 0) return kXmlOutOfMemory;
    }
    if (unit >= 0xD800 && unit < 0xDC00) {
      scan_.high_surrogate = unit;
      return 0;
    }
    return Character(unit >= 0xDC00 && unit <= 0xDFFF ? kReplacement : unit);
  }

  XmlScan& scan_;
  core::Buffer& out_;
};

uint32_t Lowered(uint32_t position, uint32_t d) { return position < d ? 0 : position - d; }

// LowerContentStarts keeps the content start of every open element on its byte when the first d bytes of
// the input are dropped: the end tag reads the content again to tell whether it is whitespace only. Input
// is dropped only up to the end of markup, of a reference or of a line's last character other than
// whitespace, so content that loses bytes holds more than whitespace; its start becomes kContentDropped.
void LowerContentStarts(XmlDocument& document, uint32_t d) {
  XmlDom& dom = document.Dom();
  for (int32_t depth = 1; depth <= document.OpenElements().Count(); ++depth) {
    const uint32_t element = dom.ElementStackEntry(depth);
    if (!dom.IsElement(element) || dom.Word(element, kFieldEndPosition) != 0) continue;
    const uint32_t start = dom.Word(element, kFieldContentStart);
    if (start != kContentDropped) dom.SetWord(element, kFieldContentStart, start >= d ? start - d : kContentDropped);
  }
}

}  // namespace

void ApplyCharset(const char* name, uint32_t* mode, uint32_t* detect) {
  static const char* const kNames[] = {"UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};
  const char* text = name != nullptr ? name : "";
  *detect = 0;
  for (uint32_t m = 1; m <= 5; ++m) {
    if (EqualsNoCase(text, kNames[m - 1])) {
      *mode = m;
      return;
    }
  }
  if ((EqualsNoCase(text, "UTF-16") && (*mode == 2 || *mode == 3)) ||
      (EqualsNoCase(text, "UTF-32") && (*mode == 4 || *mode == 5))) {
    return;
  }
  *mode = 0;
  *detect = 1;
}

int XmlFeedInput(XmlDocument& document, const void* bytes, int32_t length) {
  if (bytes == nullptr || length <= 0) return 0;
  int rc = Decoder(document).Feed(static_cast<const uint8_t*>(bytes), length);
  return rc != 0 ? XmlErrorText(document, rc) : 0;
}

int XmlDiscardConsumedInput(XmlDocument& document, const void* bytes, int32_t length) {
  XmlScan& scan = document.Scan();
  core::Buffer& input = document.Input();
  uint32_t d = scan.consumed;
  if (scan.state == 0 && scan.text_start < d) d = scan.text_start;
  if (d > static_cast<uint32_t>(input.Length())) d = static_cast<uint32_t>(input.Length());
  if (d != 0) {
    // The rest of the input keeps its length: it may hold NUL bytes.
    if (input.Delete(0, static_cast<int32_t>(d)) != core::kOk) return XmlErrorText(document, kXmlOutOfMemory);
    for (uint32_t* position : {&scan.position, &scan.last_tag_end, &scan.text_start, &scan.text_end, &scan.token_start,
                               &scan.token_end, &scan.entity_start, &scan.entity_end, &scan.tag_start}) {
      *position = Lowered(*position, d);
    }
    XmlDom& dom = document.Dom();
    const XmlSettings& settings = document.Settings();
    const uint32_t element = dom.LastElementMark();
    if (settings.preserve_whitespace != 0 && settings.build_dom != 0 && dom.IsElement(element)) dom.SetCurrent(element);
    if (settings.build_dom != 0) LowerContentStarts(document, d);
  }
  scan.consumed = 0;
  return XmlFeedInput(document, bytes, length);
}

int XmlParseChunk(XmlDocument& document, const void* bytes, int32_t length) {
  int rc = document.Settings().keep_original_text != 0 ? XmlFeedInput(document, bytes, length)
                                                       : XmlDiscardConsumedInput(document, bytes, length);
  if (rc != 0) return rc;
  return XmlParse(document, static_cast<uint32_t>(document.Input().Length()));
}

int XmlParseBuffer(XmlDocument& document, const char* text) {
  const uint32_t mode = document.Scan().mode;
  if (mode == 2 || mode == 3) {
    (void)document.ErrorText().SetString("UTF-16 support not currently available.");
    return 306;
  }
  return XmlParseChunk(document, text, text != nullptr ? static_cast<int32_t>(std::strlen(text)) : 0);
}

int XmlFinish(XmlDocument& document, int require_markup) {
  XmlScan& scan = document.Scan();
  const XmlSettings& settings = document.Settings();
  scan.last_tag_end = scan.position;
  if (scan.state == 0 || scan.state == 8 || scan.state == 13) scan.text_end = scan.position;
  const bool valid_end = scan.state == 0 || scan.state == 8;
  int rc = XmlFlushBeforeTag(document);
  if (rc != 0) return rc;
  if (settings.validate != 0 && document.OpenElements().Count() > 0) return XmlErrorText(document, kXmlUnbalancedElements);
  if (settings.build_dom != 0) {
    const uint32_t roots = document.Dom().TopLevelElementCount();
    if (require_markup != 0 && roots == 0) {
      (void)document.ErrorText().SetString("DOM tree unavailable: no XML markup was found in input text.");
      return kXmlNoDom;
    }
    if ((settings.prefix_flags & kAllowMoreThanOneRoot) == 0 && roots != 1) return XmlErrorText(document, kXmlManyRoots);
  }
  if (!valid_end) return XmlErrorText(document, kXmlInvalidEndState);
  if (scan.markup_seen == 0) {
    (void)document.ErrorText().SetString("no XML markup was found in input text.");
    return kXmlInvalidEndState;
  }
  scan.markup_seen = 0;
  return 0;
}

}  // namespace velmora::parsers
