#include "tests/parsers/json_fuzz_entry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "parsers/json_parser.h"

namespace velmora::parsers::testing {
namespace {

const char* const kPaths[] = {
    "/json/[1]",      "/json/[2]/[1]",   "/json/",           "json/a",          "a",
    "$",              "$[0]",            "$.a[0].b",         "$['a b'][2]",     "$..x",
    "$.a[*]",         "/json/[last()]",  "/json/a/[last()-1]", "/json/a/next()", "/json/a/prev()",
    "/json/a/last()", "..",              "child::*[1]",      "/json/a\\[1\\]/b", "@",
};

[[noreturn]] void Refuse(const char* what, int code) {
  std::fprintf(stderr, "unexpected %s result %d\n", what, code);
  std::abort();
}

}  // namespace

int JsonFuzzOne(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const uint8_t chunk = data[1];
  const uint8_t selector = data[2];
  const char* text = reinterpret_cast<const char*>(data + 3);
  const size_t text_length = strnlen(text, size - 3);
  std::string path;
  if (3 + text_length < size) path.assign(text + text_length + 1, size - 4 - text_length);
  path = path.c_str();
  if (path.empty()) path = kPaths[selector % (sizeof kPaths / sizeof kPaths[0])];

  JsonParser parser;
  if ((flags & 1) != 0) parser.BeginStream();
  parser.SetTreeMode((flags >> 1) & 1);
  parser.SetUnescapeOptions((flags >> 2) & 3);
  parser.SetRawNameFallback((flags >> 4) & 1);
  parser.SetBracketMarkerMode((flags >> 5) & 1);
  parser.SetAllowTrailingContent(selector >> 7);
  if (parser.SetDocumentMode(flags >> 6) != 0) std::abort();
  if (parser.SetRecordDelimiters((selector & 32) != 0 ? "<" : "", (selector & 64) != 0 ? ">" : "") != 0) std::abort();

  int rc = 0;
  if (chunk < 64) {
    rc = parser.ParseText(std::string(text, text_length).c_str());
  } else {
    const size_t piece = 1 + chunk % 13;
    for (size_t at = 0; at < text_length && rc == 0; at += piece) {
      rc = parser.ParseText(std::string(text + at, std::min(piece, text_length - at)).c_str());
    }
  }
  if (rc != 0 && rc != kJsonMarkupError) Refuse("parse", rc);

  const int found = parser.EvalPath(path.c_str());
  if (found != 0 && found != kJsonPathNotFound && found != kJsonNoTree) Refuse("path", found);
  (void)parser.AttrExists(path.c_str());
  const int type = parser.NodeType();
  if ((type < 0 || type > 5) && type != kJsonNothingSelected) Refuse("type", type);
  // Each text is read to its end, so that a bad pointer or length shows under the sanitizers.
  (void)std::strlen(parser.CurrentName());
  (void)std::strlen(parser.SelectedName());
  (void)std::strlen(parser.TokenText());
  (void)std::strlen(parser.PathReply().Data());
  return rc;
}

}  // namespace velmora::parsers::testing
