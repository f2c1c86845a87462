#include "pki/pem_armour.h"

#include <cstring>

#include "asn1/der_read.h"
#include "core/base64.h"
#include "core/hex.h"
#include "pki/pem_legacy.h"

namespace velmora::pki {

namespace {

// kQuoteLimit: the most characters of a begin or end line an error text repeats.
constexpr int32_t kQuoteLimit = 32;

// TrimBlanks trims spaces (byte 32 only) at both ends.
int TrimBlanks(core::BufferCore& line) { return line.TrimByte(' '); }

bool StartsWith(const core::BufferCore& line, const core::BufferCore& prefix) {
  return line.Length() >= prefix.Length() && std::memcmp(line.Data(), prefix.Data(), prefix.Length()) == 0;
}

bool EndsWith(const core::BufferCore& line, const core::BufferCore& suffix) {
  return line.Length() >= suffix.Length() &&
         std::memcmp(line.Data() + line.Length() - suffix.Length(), suffix.Data(), suffix.Length()) == 0;
}

// LineNumberAt is the 1-based number of the line that starts at offset (CR LF, CR and LF end lines).
int32_t LineNumberAt(const core::BufferCore& text, int32_t offset) {
  int32_t number = 1;
  const char* d = text.Data();
  for (int32_t i = 0; i < offset && i < text.Length(); ++i) {
    if (d[i] == '\n' || (d[i] == '\r' && (i + 1 >= text.Length() || d[i + 1] != '\n'))) ++number;
  }
  return number;
}

// StripDashRun removes the run from both ends of line and trims the blanks left; line must start and
// end with it.
int StripDashRun(core::BufferCore& line, int32_t run) {
  if (line.Length() < 2 * run) return line.Clear();
  int rc = line.SetData(line.Length() - 2 * run, line.Data() + run);
  return rc != 0 ? rc : TrimBlanks(line);
}

// Armour is the state of one ParsePemArmour walk.
class Armour {
 public:
  Armour(const core::BufferCore& text, core::StrList& labels, core::StrList& headers, core::StrList& bodies,
         core::BufferCore& error)
      : text_(text), labels_(labels), headers_(headers), bodies_(bodies), error_(error) {}

  int Run();

 private:
  enum class State { kSeekBegin, kFirstLine, kHeaders, kBody };

  // ReadLine takes the next line, trimmed, and remembers where it started.
  int ReadLine(core::BufferCore& line) {
    line_start_ = position_;
    position_ = text_.ReadLine(position_, line);
    return TrimBlanks(line);
  }
  int SeekBegin();
  int Begin(core::BufferCore& line);
  int FirstLine();
  int Headers();
  int Body();
  int End(core::BufferCore& line);
  // Quote sets the error to prefix and at most kQuoteLimit characters of quoted.
  int Quote(const char* prefix, const core::BufferCore& quoted);
  // Locate sets the error to prefix, the block's label and the number of the current line.
  int Locate(const char* prefix);

  const core::BufferCore& text_;
  core::StrList& labels_;
  core::StrList& headers_;
  core::StrList& bodies_;
  core::BufferCore& error_;
  State state_ = State::kSeekBegin;
  int32_t position_ = 0;
  int32_t line_start_ = 0;
  core::Buffer dashes_;
  core::Buffer label_;
  core::Buffer header_text_;
  core::Buffer accumulator_;
};

int Armour::Quote(const char* prefix, const core::BufferCore& quoted) {
  int rc = error_.SetString(prefix);
  if (rc == 0) rc = error_.Append(quoted.Data(), quoted.Length() < kQuoteLimit ? quoted.Length() : kQuoteLimit);
  return rc;
}

int Armour::Locate(const char* prefix) {
  int rc = error_.SetString(prefix);
  if (rc == 0) rc = error_.Append(label_);
  if (rc == 0) rc = error_.AppendFormat(", line %d", LineNumberAt(text_, line_start_)) >= 0 ? 0 : 200;
  return rc;
}

int Armour::SeekBegin() {
  (void)dashes_.Clear();
  (void)accumulator_.Clear();
  const char* d = text_.Data();
  while (position_ < text_.Length() &&
         (d[position_] == '\t' || d[position_] == '\n' || d[position_] == '\r' || d[position_] == ' ')) {
    ++position_;
  }
  if (position_ >= text_.Length()) return 0;
  core::Buffer line;
  int rc = ReadLine(line);
  if (rc != 0) return rc;
  // Text before and between blocks is passed over.
  if (!(line.Length() >= 4 && std::memcmp(line.Data(), "----", 4) == 0 &&
        std::memcmp(line.Data() + line.Length() - 4, "----", 4) == 0)) {
    return 0;
  }
  return Begin(line);
}

int Armour::Begin(core::BufferCore& line) {
  int32_t run = 0;
  while (run < line.Length() && line.Data()[run] == '-') ++run;
  int rc = dashes_.SetData(run, line.Data());
  if (rc != 0) return rc;
  if ((run != 4 && run != 5) || !EndsWith(line, dashes_) || line.Length() < 2 * run) {
    return Quote("Invalid begin: ", line);
  }
  if ((rc = StripDashRun(line, run)) != 0) return rc;
  if (!(line.Length() >= 6 && std::memcmp(line.Data(), "BEGIN ", 6) == 0)) return Quote("Invalid begin: ", line);
  if ((rc = label_.SetData(line.Length() - 6, line.Data() + 6)) != 0 || (rc = TrimBlanks(label_)) != 0) return rc;
  state_ = State::kFirstLine;
  return 0;
}

int Armour::FirstLine() {
  core::Buffer line;
  const int32_t position = position_;
  int rc = ReadLine(line);
  position_ = position;
  (void)accumulator_.Clear();
  (void)header_text_.Clear();
  if (rc != 0) return rc;
  if (core::IsBase64Strict(line)) {
    state_ = State::kBody;
  } else if (line.FindByte(':', 0) >= 0) {
    state_ = State::kHeaders;
  } else {
    return Locate("Invalid PEM line: ");
  }
  return 0;
}

int Armour::Headers() {
  core::Buffer line;
  int rc = ReadLine(line);
  if (rc != 0) return rc;
  if (line.IsEmpty()) {
    if ((rc = header_text_.Assign(accumulator_)) != 0) return rc;
    (void)accumulator_.Clear();
    state_ = State::kBody;
    return 0;
  }
  if (accumulator_.EndsWith("\\") || !core::IsBase64Strict(line)) {
    if (!accumulator_.IsEmpty() && (rc = accumulator_.Append("\r\n", 2)) != 0) return rc;
    return accumulator_.Append(line);
  }
  // A base64 line after a complete header is the first line of the body.
  if ((rc = header_text_.Assign(accumulator_)) != 0) return rc;
  if ((rc = accumulator_.Assign(line)) != 0) return rc;
  state_ = State::kBody;
  return 0;
}

int Armour::Body() {
  core::Buffer line;
  int rc = ReadLine(line);
  if (rc != 0) return rc;
  if (core::IsBase64Strict(line)) return accumulator_.Append(line);
  // The end line is checked at once, so that a last block whose end line has no line end is kept.
  rc = core::Base64Decode(accumulator_, 0, 0, 0);
  if (rc == core::kOutOfMemory) return rc;
  if (rc != 0) return Locate("Failed to Base64 decode body: ");
  return End(line);
}

int Armour::End(core::BufferCore& line) {
  if (!StartsWith(line, dashes_)) return Locate("Invalid end: ");
  core::Buffer rest;
  int rc = rest.Assign(line);
  if (rc == 0 && EndsWith(line, dashes_) && line.Length() >= 2 * dashes_.Length()) {
    rc = StripDashRun(rest, dashes_.Length());
  } else if (rc == 0) {
    return Quote("Invalid end: ", line);
  }
  if (rc != 0) return rc;
  const bool ok = rest.Length() >= 4 && std::memcmp(rest.Data(), "END ", 4) == 0 &&
                  rest.Length() - 4 == label_.Length() &&
                  std::memcmp(rest.Data() + 4, label_.Data(), label_.Length()) == 0;
  if (!ok) return Quote("Invalid end: ", line);
  if ((rc = labels_.Add(label_.Data(), label_.Length())) != 0) return rc;
  if ((rc = headers_.Add(header_text_.Data(), header_text_.Length())) != 0) return rc;
  if ((rc = bodies_.Add(accumulator_.Data(), accumulator_.Length())) != 0) return rc;
  state_ = State::kSeekBegin;
  return 0;
}

int Armour::Run() {
  while (position_ < text_.Length() && error_.IsEmpty()) {
    int rc = 0;
    switch (state_) {
      case State::kSeekBegin:
        rc = SeekBegin();
        break;
      case State::kFirstLine:
        rc = FirstLine();
        break;
      case State::kHeaders:
        rc = Headers();
        break;
      case State::kBody:
        rc = Body();
        break;
    }
    if (rc != 0) return rc;
  }
  return 0;
}

// ---- PemDecodeCore ----------------------------------------------------------------------------------------

// LineEndAfter is the index of the line end at or after start: the first LF, or a CR not followed by
// LF; the length when there is none.
int32_t LineEndAfter(const core::BufferCore& text, int32_t start) {
  const char* d = text.Data();
  for (int32_t i = start; i < text.Length(); ++i) {
    if (d[i] == '\n' || (d[i] == '\r' && (i + 1 >= text.Length() || d[i + 1] != '\n'))) return i;
  }
  return text.Length();
}

// CutToBody reduces text to what lies between the begin line holding label and the end marker.
int CutToBody(core::BufferCore& text, const char* label, bool label_required) {
  const int32_t found = *label != '\0' ? text.Find(label, 0) : -1;
  if (found < 0) {
    if (label_required || text.Find("-----BEGIN", 0) >= 0) return kPemMissing;
    return 0;
  }
  int rc = core::BufferConsumeFront(text, LineEndAfter(text, found));
  if (rc != 0) return rc;
  const int32_t marker = text.Find("---", 0);
  if (marker < 0 || text.Find(label, marker) < 0) return kPemMissing;
  return text.Resize(marker);
}

// LegacyHeaders is what PemDecodeCore keeps of the header lines: the DEK-Info cipher and IV.
struct LegacyHeaders {
  bool encrypted = false;
  core::Buffer cipher;
  core::Buffer iv;
};

// ReadHeaders reads the "name: value" lines at the start of text into headers and removes them.
int ReadHeaders(core::BufferCore& text, LegacyHeaders& headers) {
  const char* d = text.Data();
  const int32_t n = text.Length();
  int32_t position = 0;
  bool any = false;
  int rc = 0;
  for (int32_t colon; rc == 0 && position < n && (colon = text.FindByte(':', position)) >= 0;) {
    core::Buffer name, value;
    rc = name.SetData(colon - position, d + position);
    int32_t i = colon;
    while (i < n && (d[i] == ':' || d[i] == ' ')) ++i;
    while (rc == 0 && i < n && d[i] != '\r' && d[i] != '\n') {
      if (d[i] == '\\' && i + 1 < n && (d[i + 1] == '\r' || d[i + 1] == '\n')) {
        // A backslash before the line end continues the value on the next line.
        const int32_t lf = text.FindByte('\n', i);
        i = lf < 0 ? n : lf + 1;
        continue;
      }
      rc = value.AppendByte(static_cast<uint8_t>(d[i++]));
    }
    const int32_t lf = text.FindByte('\n', i);
    position = lf < 0 ? n : lf + 1;
    any = true;
    if (rc == 0) rc = TrimBlanks(name);
    if (rc == 0) rc = TrimBlanks(value);
    if (rc == 0 && name.EqualsBytes("DEK-Info", 8)) {
      headers.encrypted = true;
      const int32_t comma = value.FindByte(',', 0);
      rc = headers.cipher.SetData(comma < 0 ? 0 : comma, value.Data());
      if (rc == 0 && comma >= 0) rc = core::HexDecodeAppend(headers.iv, value.Data() + comma + 1);
    }
  }
  if (rc == 0 && any) rc = core::BufferConsumeFront(text, position);
  return rc;
}

bool HasHighByte(const char* text, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (static_cast<uint8_t>(text[i]) >= 0x80) return true;
  }
  return false;
}

}  // namespace

int ParsePemArmour(const core::BufferCore& text, core::StrList& labels, core::StrList& headers,
                   core::StrList& bodies, core::BufferCore& error) {
  (void)labels.Clear();
  (void)headers.Clear();
  (void)bodies.Clear();
  (void)error.Clear();
  Armour armour(text, labels, headers, bodies, error);
  if (armour.Run() == core::kOutOfMemory && error.IsEmpty()) (void)error.SetString("Out of memory");
  return labels.Count() > 0 ? 0 : -1;
}

int ParseHeaderFields(const char* header_text, core::StrList& fields) {
  (void)fields.Clear();
  if (header_text == nullptr) return 0;
  const int32_t n = static_cast<int32_t>(std::strlen(header_text));
  int32_t position = 0;
  while (position < n) {
    const char* hit = static_cast<const char*>(std::memchr(header_text + position, ':', n - position));
    if (hit == nullptr || hit == header_text) return 0;
    const int32_t colon = static_cast<int32_t>(hit - header_text);
    core::Buffer name, value;
    int rc = name.SetData(colon - position, header_text + position);
    int32_t i = colon + 1;
    while (i < n && header_text[i] == ' ') ++i;
    while (rc == 0 && i < n && header_text[i] != '\r') {
      if (header_text[i] == '\\' && i + 2 < n && header_text[i + 1] == '\r' && header_text[i + 2] == '\n') {
        i += 3;
        continue;
      }
      rc = value.AppendByte(static_cast<uint8_t>(header_text[i++]));
    }
    position = i + 2;
    if (rc == 0) rc = TrimBlanks(name);
    if (rc == 0) rc = TrimBlanks(value);
    if (rc == 0) rc = fields.Add(name.Data(), name.Length());
    if (rc == 0) rc = fields.Add(value.Data(), value.Length());
    if (rc != 0) return rc;
  }
  return 0;
}

int PemDecodeCore(core::BufferCore& out, const char* label, const char* text, int32_t length,
                  const char* password, bool label_required) {
  if (text == nullptr || length < 0) length = 0;
  if (HasHighByte(text, length)) return out.SetData(length, text);
  core::SecureBuffer body;
  int rc = body.SetData(length, text);
  if (rc == 0) rc = CutToBody(body, label != nullptr ? label : "", label_required);
  if (rc == 0 && body.Length() > 0 && body.Data()[0] == '\n') rc = core::BufferConsumeFront(body, 1);
  if (rc == 0 && body.Length() > 1 && body.Data()[0] == '\r' && body.Data()[1] == '\n') {
    rc = core::BufferConsumeFront(body, 2);
  }
  LegacyHeaders headers;
  if (rc == 0) rc = ReadHeaders(body, headers);
  if (rc == 0) rc = core::Base64Decode(body, 0, 0, 0);
  if (rc == 0 && headers.encrypted) {
    // DES-CBC and RC2-CBC derive their IV as PBES1 does, while DEK-Info carries one: refused, like any
    // name DecryptPemBody does not know.
    if (headers.cipher.EqualsBytes("DES-CBC", 7) || headers.cipher.EqualsBytes("RC2-CBC", 7)) {
      rc = kUnknownPemCipher;
    } else {
      PemKeyDerivation derivation;
      derivation.password = password;
      derivation.iv = headers.iv.Bytes();
      derivation.iv_length = headers.iv.Length();
      rc = DecryptPemBody(headers.cipher.Data(), body, derivation);
    }
  }
  return rc == 0 ? out.Assign(body) : rc;
}

int PemDecode(const char* text, const char* label, core::BufferCore& out, const char* password) {
  const int32_t length = text != nullptr ? static_cast<int32_t>(std::strlen(text)) : 0;
  return PemDecodeCore(out, label, text, length, password, true);
}

int WritePemArmour(core::BufferCore& out, const char* label, const void* data, int32_t length) {
  if (label == nullptr) label = "";
  (void)out.Clear();
  int rc = out.AppendCString("-----BEGIN ");
  if (rc == 0) rc = out.AppendCString(label);
  if (rc == 0) rc = out.AppendCString("-----\r\n");
  if (rc == 0) rc = core::Base64Encode(out, data, length, 1, 64, 0);
  if (rc == 0) rc = out.AppendCString("\r\n-----END ");
  if (rc == 0) rc = out.AppendCString(label);
  if (rc == 0) rc = out.AppendCString("-----\r\n");
  if (rc != 0) (void)out.Clear();
  return rc;
}

int PemEncode(const void* der, int32_t length, const char* label, core::BufferCore& out) {
  core::PemScratch scratch;
  const int rc = WritePemArmour(scratch, label, der, length);
  return rc != 0 ? rc : out.Assign(scratch);
}

int WritePemArmourWithHeaders(const void* data, int32_t length, const char* label, int32_t dash_count,
                              int32_t line_length, const char* header_text, core::BufferCore& out) {
  core::PemScratch scratch;
  const int rc = WriteSsh2Armour(scratch, label, data, length, dash_count, line_length, header_text);
  return rc != 0 ? rc : out.Assign(scratch);
}

int WriteSsh2Armour(core::BufferCore& out, const char* tag, const void* data, int32_t length, int32_t dash_count,
                    int32_t line_length, const char* header_text) {
  (void)out.Clear();
  if (data == nullptr || length <= 0) return 0;
  if (tag == nullptr) tag = "";
  dash_count = dash_count < 0 ? 0 : (dash_count > 5 ? 5 : dash_count);
  core::Buffer dashes, pad;
  int rc = dashes.AppendRepeatedByte(dash_count, '-');
  if (rc == 0) rc = pad.AppendRepeatedByte(5 - dash_count, ' ');
  const auto armour_line = [&](const char* word) {
    int r = out.Append(dashes);
    if (r == 0) r = out.Append(pad);
    if (r == 0) r = out.AppendCString(word);
    if (r == 0) r = out.AppendCString(tag);
    if (r == 0) r = out.Append(pad);
    if (r == 0) r = out.Append(dashes);
    if (r == 0) r = out.Append("\r\n", 2);
    return r;
  };
  if (rc == 0) rc = armour_line("BEGIN ");
  if (rc == 0 && header_text != nullptr && *header_text != '\0') {
    rc = out.AppendCString(header_text);
    while (rc == 0 && out.Length() > 0 && (out.Data()[out.Length() - 1] == '\r' || out.Data()[out.Length() - 1] == '\n')) {
      (void)out.DropLast();
    }
    if (rc == 0) rc = out.Append("\r\n\r\n", 4);
  }
  if (rc == 0) rc = core::Base64Encode(out, data, length, 1, line_length, 0);
  if (rc == 0) rc = out.Append("\r\n", 2);
  if (rc == 0) rc = armour_line("END ");
  if (rc != 0) (void)out.Clear();
  return rc;
}

int32_t DerContentLengthAt(const core::BufferCore& buffer, int32_t offset) {
  if (offset < 0 || offset >= buffer.Length()) return -1;
  const uint8_t* at = buffer.Bytes() + offset;
  int32_t available = buffer.Length() - offset;
  if (DerElementSize(at, available) <= 0) return -1;
  uint8_t tag = 0;
  return DerReadHeader(at, &available, &tag) != nullptr ? available : -1;
}

}  // namespace velmora::pki
