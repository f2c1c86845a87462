#include "parsers/xml_parser.h"

#include <iterator>

#include "core/byte_order.h"
#include "core/file_helpers.h"

namespace velmora::parsers {

namespace {

using component::ConfigSettingParts;
using component::ParseConfigBool;

enum class XmlKey {
  kIgnoreBadAttributePrefixes,
  kIgnoreBadElementPrefixes,
  kIncludeUnknownPrefixes,
  kAllowMoreThanOneRoot,
  kAllowTextOutsideRoot,
  kCacheContent,
  kKeepOriginalText,
  kDisableEvalEntityEvent,
  kXSubTree,
  kXContents,
  kHTMLComments,
  kUseEncoding,
  kPreserveWhitespace,
  kErrorOnEmptyAttr,
  kAllowLeadingDigit,
  kCodePage,
  kValidateLessThanSign,
  kAllowReservedCharacters,
  kOther,
};

// The settings in the order they are matched.
constexpr const char* kXmlKeyNames[] = {
    "IgnoreBadAttributePrefixes", "IgnoreBadElementPrefixes", "IncludeUnknownPrefixes", "AllowMoreThanOneRoot",
    "AllowTextOutsideRoot",       "CacheContent",             "KeepOriginalText",       "DisableEvalEntityEvent",
    "XSubTree",                   "XContents",                "HTMLComments",           "UseEncoding",
    "PreserveWhitespace",         "ErrorOnEmptyAttr",         "AllowLeadingDigit",      "CodePage",
    "ValidateLessThanSign",       "AllowReservedCharacters",
};

XmlKey FindXmlKey(const core::Buffer& name) {
  for (size_t i = 0; i < std::size(kXmlKeyNames); ++i) {
    if (name.EqualsNoCase(kXmlKeyNames[i])) return static_cast<XmlKey>(i);
  }
  return XmlKey::kOther;
}

// kModeNames are the names of the input encoding modes 1 to 5.
constexpr const char* kModeNames[] = {"UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};

constexpr uint8_t kDomMagic[2] = {0x07, 0x01};
constexpr int64_t kDomHeaderSize = 6;

}  // namespace

XmlParser::XmlParser() : document_(this) {}

XmlParser::~XmlParser() {
  document_.DestroyMembers();
  contents_reply_.Clear();
  sub_tree_reply_.Clear();
}

int XmlParser::Reset() { return document_.Reset(); }

int XmlParser::ParseText(const char* text) {
  int rc = XmlParseBuffer(document_, text);
  return rc != 0 ? SetErrorText(rc, document_.ErrorText().Data()) : 0;
}

int XmlParser::ParseChunk(const void* bytes, int32_t length) {
  int rc = XmlParseChunk(document_, bytes, length);
  return rc != 0 ? SetErrorText(rc, document_.ErrorText().Data()) : 0;
}

int XmlParser::LoadText(const char* text) {
  document_.Scan().dbcs = CharsetMode() != 0 ? 1 : 0;
  int rc = document_.Reset();
  if (rc == 0) rc = XmlParseBuffer(document_, text);
  if (rc == 0) rc = XmlFinish(document_, 1);
  return rc != 0 ? SetErrorText(rc, document_.ErrorText().Data()) : 0;
}

int XmlParser::LoadFile(const char* name) { return LoadSource(name, nullptr, 0); }

int XmlParser::LoadStream(core::InputStream* stream, int owns_stream) { return LoadSource(nullptr, stream, owns_stream); }

int XmlParser::LoadSource(const char* name, core::InputStream* stream, int owns_stream) {
  document_.Scan().dbcs = CharsetMode() != 0 ? 1 : 0;
  (void)document_.Reset();
  core::FileHandle file;
  core::InputSource source;
  if (name != nullptr && *name != '\0') {
    if (file.OpenRead(name, 0, GetCodePage()) != core::kOk) {
      if (stream != nullptr && owns_stream != 0) stream->Release();
      return SetErrorText(302, "Can't open file for reading.");
    }
    source.SetFile(&file);
  } else {
    source.SetStream(stream, owns_stream);
  }
  int rc = LoadFromSource(source);
  (void)source.Close();
  // Detection and the declaration decide this document's decoding only.
  document_.Scan().mode = document_.Settings().input_mode;
  document_.Scan().detect = document_.Settings().detect_encoding;
  return rc;
}

int XmlParser::LoadFromSource(core::InputSource& source) {
  const int64_t size = source.Size();
  int64_t consumed = 0;
  int rc = DetectInputEncoding(source, size, &consumed);
  if (rc != 0) return rc;
  uint8_t block[4096];
  for (int64_t remaining = size - consumed; remaining > 0;) {
    if (abort_flag_ != 0) {
      abort_flag_ = 0;
      (void)document_.Reset();
      return 0;
    }
    const uint32_t count = remaining < static_cast<int64_t>(sizeof block) ? static_cast<uint32_t>(remaining) : sizeof block;
    rc = source.ReadExact(block, count);
    if (rc != core::kOk) return rc;
    rc = XmlParseChunk(document_, block, static_cast<int32_t>(count));
    if (rc != 0) return SetErrorText(rc, document_.ErrorText().Data());
    remaining -= count;
  }
  rc = XmlFinish(document_, 1);
  return rc != 0 ? SetErrorText(rc, document_.ErrorText().Data()) : 0;
}

int XmlParser::DetectInputEncoding(core::InputSource& source, int64_t size, int64_t* consumed) {
  XmlScan& scan = document_.Scan();
  if (scan.detect != 0) {
    uint8_t b[4] = {1, 1, 1, 1};
    const uint32_t have = size < 4 ? static_cast<uint32_t>(size < 0 ? 0 : size) : 4;
    if (have > 0 && source.ReadExact(b, have) != core::kOk) return SetErrorText(6, "Can't open file for reading.");
    const char* mode = nullptr;
    if (have >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
      mode = "UTF-8", *consumed = 3;
    } else if (have >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
      mode = "UTF-32BE", *consumed = 4;
    } else if (have >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) {
      mode = "UTF-32LE", *consumed = 4;
    } else if (have >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
      mode = "UTF-16BE", *consumed = 2;
    } else if (have >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
      mode = "UTF-16LE", *consumed = 2;
    }
    if (source.Seek(*consumed, core::kFileBegin) < 0 && have > 0) return SetErrorText(8, "Can't open file for reading.");
    if (mode == nullptr) {
      const bool be = have == 4 && b[0] == 0 && b[1] == 0x3C && b[2] == 0 && b[3] == 0x3F;
      const bool le = have == 4 && b[0] == 0x3C && b[1] == 0 && b[2] == 0x3F && b[3] == 0;
      mode = be ? "UTF-16BE" : le ? "UTF-16LE" : "UTF-8";
    }
    ApplyCharset(mode, &scan.mode, &scan.detect);
  }
  // The XML declaration is read in the guessed decoding, one byte at a time, so that its encoding name
  // decides the rest; then single bytes up to a whole unit of the decoding now in force.
  scan.detecting = 1;
  int rc = DetectDeclaration(source, size, consumed);
  scan.detecting = 0;
  return rc;
}

int XmlParser::DetectDeclaration(core::InputSource& source, int64_t size, int64_t* consumed) {
  const XmlScan& scan = document_.Scan();
  uint8_t byte = 0;
  for (bool done = false; !done && *consumed < size; ++*consumed) {
    int rc = source.ReadExact(&byte, 1);
    if (rc != core::kOk) return rc;
    rc = XmlParseChunk(document_, &byte, 1);
    if (rc != 0) return SetErrorText(rc, document_.ErrorText().Data());
    done = byte == '>';
  }
  const int64_t unit = scan.mode == 2 || scan.mode == 3 ? 2 : scan.mode == 4 || scan.mode == 5 ? 4 : 1;
  for (; *consumed % unit != 0 && *consumed < size; ++*consumed) {
    int rc = source.ReadExact(&byte, 1);
    if (rc != core::kOk) return rc;
    rc = XmlParseChunk(document_, &byte, 1);
    if (rc != 0) return SetErrorText(rc, document_.ErrorText().Data());
  }
  return 0;
}

void XmlParser::DefaultHook8() {}

int XmlParser::ConfigTrueFalse(bool query, uint8_t* value, const ConfigSettingParts& setting, const char** reply) {
  if (query) return ConfigTextReply(*value != 0 ? "True" : "False", reply);
  *value = static_cast<uint8_t>(ParseConfigBool(setting));
  return core::kOk;
}

int XmlParser::ConfigOneZero(bool query, uint8_t* value, const ConfigSettingParts& setting, const char** reply) {
  if (query) return ConfigTextReply(*value != 0 ? "1" : "0", reply);
  *value = static_cast<uint8_t>(ParseConfigBool(setting));
  return core::kOk;
}

int XmlParser::ConfigPrefixFlag(bool query, uint32_t bit, const ConfigSettingParts& setting, const char** reply) {
  uint32_t& flags = document_.Settings().prefix_flags;
  if (query) return ConfigTextReply((flags & bit) != 0 ? "True" : "False", reply);
  flags = ParseConfigBool(setting) != 0 ? flags | bit : flags & ~bit;
  return core::kOk;
}

int XmlParser::Config(const ConfigSettingParts& setting, const char** reply) {
  const bool query = setting.Query() != 0;
  XmlSettings& settings = document_.Settings();
  switch (FindXmlKey(setting.Name())) {
    case XmlKey::kIgnoreBadAttributePrefixes:
      return ConfigPrefixFlag(query, kIgnoreBadAttributePrefixes, setting, reply);
    case XmlKey::kIgnoreBadElementPrefixes:
      return ConfigPrefixFlag(query, kIgnoreBadElementPrefixes, setting, reply);
    case XmlKey::kIncludeUnknownPrefixes:
      return ConfigTrueFalse(query, &settings.include_unknown_prefixes, setting, reply);
    case XmlKey::kAllowMoreThanOneRoot:
      return ConfigPrefixFlag(query, kAllowMoreThanOneRoot, setting, reply);
    case XmlKey::kAllowTextOutsideRoot:
      return ConfigPrefixFlag(query, kAllowTextOutsideRoot, setting, reply);
    case XmlKey::kCacheContent:
    case XmlKey::kKeepOriginalText:
      return ConfigOneZero(query, &settings.keep_original_text, setting, reply);
    case XmlKey::kDisableEvalEntityEvent:
      if (query) return ConfigTextReply(settings.disable_eval_entity_event != 0 ? "True" : "False", reply);
      settings.disable_eval_entity_event = static_cast<uint32_t>(ParseConfigBool(setting));
      return core::kOk;
    case XmlKey::kXSubTree:
      return query ? ReplySlice(true, reply) : core::kOk;
    case XmlKey::kXContents:
      return query ? ReplySlice(false, reply) : core::kOk;
    case XmlKey::kHTMLComments:
      return ConfigOneZero(query, &settings.html_comments, setting, reply);
    case XmlKey::kUseEncoding: {
      if (!query) return SetInputCharset(setting.Value().Data());
      const uint32_t mode = settings.input_mode;
      return ConfigTextReply(mode >= 1 && mode <= 5 ? kModeNames[mode - 1] : "ASCII", reply);
    }
    case XmlKey::kPreserveWhitespace:
      return ConfigTrueFalse(query, &settings.preserve_whitespace, setting, reply);
    case XmlKey::kErrorOnEmptyAttr:
      if (query) return ConfigTextReply(error_on_empty_attr_ != 0 ? "True" : "False", reply);
      error_on_empty_attr_ = ParseConfigBool(setting);
      return core::kOk;
    case XmlKey::kAllowLeadingDigit: {
      int rc = ConfigTrueFalse(query, &settings.allow_leading_digit, setting, reply);
      if (!query) document_.Chars().AllowLeadingDigit(settings.allow_leading_digit != 0);
      return rc;
    }
    case XmlKey::kCodePage:
      if (!query) settings.code_page = static_cast<uint32_t>(component::ParseConfigInt(setting));
      return ComponentBase::Config(setting, reply);
    case XmlKey::kValidateLessThanSign:
      return ConfigTrueFalse(query, &settings.validate_less_than_sign, setting, reply);
    case XmlKey::kAllowReservedCharacters:
      return ConfigTrueFalse(query, &settings.allow_reserved_characters, setting, reply);
    case XmlKey::kOther:
      break;
  }
  return ComponentBase::Config(setting, reply);
}

int XmlParser::ReplySlice(bool sub_tree, const char** reply) {
  core::Buffer& out = sub_tree ? sub_tree_reply_ : contents_reply_;
  out.Clear();
  if (reply != nullptr) *reply = out.Data();
  if (document_.Settings().keep_original_text == 0) {
    (void)XmlErrorText(document_, kXmlNoSubtree);
    return core::kOk;
  }
  const XmlDom& dom = document_.Dom();
  const uint32_t element = dom.Current();
  if (!dom.IsElement(element)) return core::kOk;
  uint32_t start = dom.Word(element, sub_tree ? kFieldStartTag : kFieldContentStart);
  uint32_t end = dom.Word(element, sub_tree ? kFieldEndPosition : kFieldContentEnd);
  // Positions come from the store, which may have been loaded from a file: keep them inside the input.
  const uint32_t length = static_cast<uint32_t>(document_.Input().Length());
  if (end > length) end = length;
  if (start >= end) return core::kOk;
  int rc = out.SetData(static_cast<int32_t>(end - start), document_.Input().Data() + start);
  if (reply != nullptr) *reply = out.Data();
  return rc;
}

int XmlParser::SetInputCharset(const char* name) {
  XmlSettings& settings = document_.Settings();
  ApplyCharset(name, &settings.input_mode, &settings.detect_encoding);
  document_.Scan().mode = settings.input_mode;
  document_.Scan().detect = settings.detect_encoding;
  return core::kOk;
}

void XmlParser::SetBuildDom(int on) {
  XmlSettings& settings = document_.Settings();
  settings.build_dom = on != 0 ? 1 : 0;
  if (on != 0) settings.validate = 1;
  settings.keep_original_text = on != 0 ? 1 : 0;
}

void XmlParser::SetValidate(int on) {
  document_.Settings().validate = on != 0 ? 1 : 0;
  if (on == 0) SetBuildDom(0);
}

int XmlParser::SaveDomFile(const char* name) {
  const XmlDom& dom = document_.Dom();
  if (dom.Root() == 0) {
    return SetErrorText(kXmlNoDom, "DOM tree unavailable (set BuildDOM to TRUE and reparse).");
  }
  core::FileHandle file;
  int rc = core::FileHandle::OpenWriteByName(file, name, GetCodePage(), 0);
  if (rc != core::kOk) return SetErrorText(rc, "Can't open DOM file.");
  uint8_t header[kDomHeaderSize] = {kDomMagic[0], kDomMagic[1]};
  (void)core::PutUIntLittleEndian(dom.Root(), header + 2, 4);
  rc = file.Write(header, sizeof header);
  if (rc == core::kOk) rc = file.Write(dom.Records().Data(), dom.Length());
  (void)file.Close();
  return rc != core::kOk ? SetErrorText(rc, "Error writing to DOM file.") : core::kOk;
}

int XmlParser::LoadDomImage(const void* bytes, int64_t size) {
  (void)document_.Reset();
  if (bytes == nullptr || size < kDomHeaderSize || size - kDomHeaderSize > INT32_MAX - 1) return -1;
  const uint8_t* header = static_cast<const uint8_t*>(bytes);
  if (header[0] != kDomMagic[0] || header[1] != kDomMagic[1]) return -2;
  return document_.Dom().LoadRecords(header + kDomHeaderSize, static_cast<int32_t>(size - kDomHeaderSize),
                                     core::GetUInt32LittleEndian(header, 2));
}

int XmlParser::LoadDomFile(const char* name) {
  document_.Scan().dbcs = CharsetMode() != 0 ? 1 : 0;
  (void)document_.Reset();
  core::FileHandle file;
  int rc = core::FileHandle::OpenReadByName(file, name, GetCodePage(), 0);
  if (rc != core::kOk) return SetErrorText(rc, "Can't open DOM file.");
  const int64_t size = file.Size();
  core::Buffer image;
  if (size < kDomHeaderSize || size > INT32_MAX - 1) {
    rc = -1;
  } else if ((rc = image.Resize(static_cast<int32_t>(size))) == core::kOk &&
             (rc = file.ReadExact(image.Data(), static_cast<uint32_t>(size))) == core::kOk) {
    rc = LoadDomImage(image.Data(), size);
  }
  (void)file.Close();
  return rc != core::kOk ? SetErrorText(rc, "Can't read from DOM file.") : core::kOk;
}

int XmlParser::SetXPath(const char* path) {
  int rc = EvaluateXPath(document_, path);
  return rc != core::kOk ? SetErrorText(rc, document_.ErrorText().Data()) : core::kOk;
}

int XmlParserReset(XmlParser& parser) { return parser.Reset(); }

int XmlLoadFile(XmlParser& parser, const char* name, core::InputStream* stream, int owns_stream) {
  return parser.LoadSource(name, stream, owns_stream);
}

int XmlDetectInputEncoding(XmlParser& parser, int64_t* consumed, core::InputSource& source, int64_t size) {
  return parser.DetectInputEncoding(source, size, consumed);
}

}  // namespace velmora::parsers
