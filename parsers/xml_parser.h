// XmlParser: the XML parser component. It keeps its settings in its document, answers them through the
// configuration chain, saves and loads the record store as a DOM file and moves the current element
// along paths. Its own event hooks do nothing; a subclass overrides them to see the events. The
// document reports to this object from construction on. One thread at a time.
#pragma once

#include <cstdint>

#include "component/component_base.h"
#include "core/buffer.h"
#include "core/file_helpers.h"
#include "parsers/xml_document.h"

namespace velmora::parsers {

class XmlParser : public component::ComponentBase, public XmlEvents {
 public:
  XmlParser();
  ~XmlParser() override;

  // Config answers the parser's eighteen settings and hands every other name to ComponentBase::Config.
  int Config(const component::ConfigSettingParts& setting, const char** reply) override;
  // DefaultHook8 does nothing.
  virtual void DefaultHook8();

  // Reset returns the document to its empty state (settings stay); run before a new document. 0 or 200.
  int Reset();
  // ParseText parses a NUL-terminated text into the document, continuing where the last parse stopped;
  // ParseChunk the same for a block of bytes. 0, or the code with the last error text set (306 for text
  // while the decoding is UTF-16).
  int ParseText(const char* text);
  int ParseChunk(const void* bytes, int32_t length);
  // LoadFile resets the document and loads a whole file: the encoding detected from a byte-order mark,
  // the first bytes and the XML declaration, then the end-of-document check. LoadStream does the same
  // for a caller's stream (released at the end when owns_stream). 0, or the code with the last error
  // text set (302 when the file cannot be opened).
  int LoadFile(const char* name);
  // LoadText resets the document and loads a whole NUL-terminated text, ending with the end-of-document
  // check, so a text that stops inside the document fails. 0, or the code with the last error text set.
  int LoadText(const char* text);
  int LoadStream(core::InputStream* stream, int owns_stream);

  // SetInputCharset selects the input encoding by name (see the settings); returns 0.
  int SetInputCharset(const char* name);
  // SetBuildDom turns record writing on (with Validate and KeepOriginalText) or off (KeepOriginalText
  // off as well).
  void SetBuildDom(int on);
  // SetValidate sets Validate; off also turns record writing off.
  void SetValidate(int on);

  // SaveDomFile writes the record store to a DOM file; LoadDomFile replaces the store by one. 0, or a
  // code with the last error text set: 210 (no root element), -1 (shorter than 6 bytes), -2 (not a DOM
  // file or a store that fails the checks), or the file's code.
  int SaveDomFile(const char* name);
  int LoadDomFile(const char* name);
  // LoadDomImage loads the bytes of a DOM file (no error text); 0, -1 or -2 as LoadDomFile.
  int LoadDomImage(const void* bytes, int64_t size);

  // SetXPath moves the current element along path; on failure the document's error text becomes the
  // last error text and the code (207-210) is returned.
  int SetXPath(const char* path);

  XmlDocument& Document() { return document_; }
  const XmlDocument& Document() const { return document_; }
  const core::Buffer& SubTreeReply() const { return sub_tree_reply_; }
  const core::Buffer& ContentsReply() const { return contents_reply_; }
  int32_t ErrorOnEmptyAttr() const { return error_on_empty_attr_; }

 protected:
  // abort_flag_ stops a file load at its next block when a hook sets it.
  int32_t abort_flag_ = 0;

 private:
  friend int XmlLoadFile(XmlParser& parser, const char* name, core::InputStream* stream, int owns_stream);
  friend int XmlDetectInputEncoding(XmlParser& parser, int64_t* consumed, core::InputSource& source, int64_t size);

  int ConfigTrueFalse(bool query, uint8_t* value, const component::ConfigSettingParts& setting, const char** reply);
  int ConfigOneZero(bool query, uint8_t* value, const component::ConfigSettingParts& setting, const char** reply);
  int ConfigPrefixFlag(bool query, uint32_t bit, const component::ConfigSettingParts& setting, const char** reply);
  int LoadSource(const char* name, core::InputStream* stream, int owns_stream);
  int LoadFromSource(core::InputSource& source);
  int DetectInputEncoding(core::InputSource& source, int64_t size, int64_t* consumed);
  int DetectDeclaration(core::InputSource& source, int64_t size, int64_t* consumed);
  // ReplySlice answers "XSubTree" (sub_tree true) or "XContents" from the kept input.
  int ReplySlice(bool sub_tree, const char** reply);

  core::Buffer sub_tree_reply_;
  core::Buffer contents_reply_;
  int32_t error_on_empty_attr_ = 0;
  XmlDocument document_;
};

// The parser's steps under their own names. XmlParserReset is XmlParser::Reset. XmlLoadFile loads a whole
// document from the named file, or from stream when name is null (released at the end when owns_stream),
// as LoadFile and LoadStream do. XmlDetectInputEncoding reads the start of source (of size bytes), sets the
// input encoding and, for a byte-order mark, *consumed to its length; 0 or the code. The owner thread of the parser only.
int XmlParserReset(XmlParser& parser);
int XmlLoadFile(XmlParser& parser, const char* name, core::InputStream* stream, int owns_stream);
int XmlDetectInputEncoding(XmlParser& parser, int64_t* consumed, core::InputSource& source, int64_t size);

}  // namespace velmora::parsers
