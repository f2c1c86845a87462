// The expat oracle of the XML parser tests: Debian's python3 (by absolute path, for its pyexpat) reads
// documents and prints, per element in document order, its depth, namespace URI, local name, attributes
// and text as this parser's store holds them; our side prints the same from the store.
//
// How the two sides are made comparable (XML normalises what this parser keeps as written):
//   - text: the pieces between markup are each trimmed of whitespace and joined; a CDATA section is kept
//     as it is and the piece after it is only trimmed at its end;
//   - our text: CR LF and a lone CR become LF;
//   - our attribute values: CR LF becomes LF, then tab, LF and CR become spaces;
//   - attributes are compared by local name; defaulted DTD attributes are left out (expat reports only
//     the specified ones);
//   - text outside the root element is not compared.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "parsers/xml_cursor.h"
#include "parsers/xml_parser.h"
#include "tests/core/python_oracle.h"

namespace velmora::parsers::testing {

constexpr const char* kDebianPython = "/usr/bin/python3";

inline bool DebianPythonAvailable() {
  static const bool available =
      std::system("/usr/bin/python3 -c 'import xml.parsers.expat, xml.etree.ElementTree' >/dev/null 2>&1") == 0;
  return available;
}

// RunDebianPython runs script with the arguments and returns what it prints ("" on failure).
inline std::string RunDebianPython(const std::string& script, const std::string& arguments) {
  char script_path[] = "/tmp/velmora_xml_oracle_XXXXXX";
  const int fd = mkstemp(script_path);
  if (fd < 0) return "";
  close(fd);
  std::ofstream(script_path, std::ios::binary) << script;
  std::string out;
  FILE* pipe = popen((std::string(kDebianPython) + " " + script_path + " " + arguments).c_str(), "r");
  if (pipe != nullptr) {
    char chunk[65536];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    if (pclose(pipe) != 0) out.clear();
  }
  unlink(script_path);
  return out;
}

// kExpatDump prints "== <path>" and then one line per element for every file named on its command line;
// a file expat refuses prints "== <path> refused".
inline constexpr const char* kExpatDump = R"PY(
import sys, xml.parsers.expat
WS = ' \t\n\r\f'
def hx(s):
    return 'x' + s.encode('utf-8').hex()
def dump(path):
    p = xml.parsers.expat.ParserCreate(namespace_separator=' ')
    p.specified_attributes = True
    p.ordered_attributes = True
    elements, stack, piece, state = [], [], [], {'after_cdata': False, 'in_cdata': False}
    def close_piece():
        text = ''.join(piece)
        piece.clear()
        if stack:
            text = text.rstrip(WS) if state['after_cdata'] else text.strip(WS)
            stack[-1][3].append(text)
        state['after_cdata'] = False
    def start(name, attrs):
        close_piece()
        uri, local = name.split(' ', 1) if ' ' in name else ('', name)
        pairs = [(attrs[i].split(' ')[-1], attrs[i + 1]) for i in range(0, len(attrs), 2)]
        element = [len(stack) + 1, uri, local, [], pairs]
        elements.append(element)
        stack.append(element)
    def end(name):
        close_piece()
        stack.pop()
    def data(text):
        if state['in_cdata'] and stack:
            stack[-1][3].append(text)
        else:
            piece.append(text)
    def cdata_start():
        close_piece()
        state['in_cdata'] = True
    def cdata_end():
        state['in_cdata'] = False
        state['after_cdata'] = True
    def other(*args):
        close_piece()
    p.StartElementHandler = start
    p.EndElementHandler = end
    p.CharacterDataHandler = data
    p.StartCdataSectionHandler = cdata_start
    p.EndCdataSectionHandler = cdata_end
    p.CommentHandler = other
    p.ProcessingInstructionHandler = other
    try:
        p.Parse(open(path, 'rb').read(), True)
    except Exception:
        print('== %s refused' % path)
        return
    print('== %s' % path)
    for depth, uri, local, texts, pairs in elements:
        attributes = ';'.join('%s=%s' % pair for pair in pairs)
        print(depth, hx(uri), hx(local), hx(attributes), hx(''.join(texts)))
for path in sys.argv[1:]:
    dump(path)
)PY";

inline std::string Hex(const std::string& text) { return "x" + testing_support::ToHex(text); }

inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// StoreDump prints the store's elements in the oracle's line format.
inline void DumpElement(const XmlCursor& cursor, int depth, std::string& out) {
  std::string attributes;
  for (uint32_t i = 0; i < cursor.AttributeCount(); ++i) {
    std::string value = Replace(cursor.AttributeValueAt(i), "\r\n", "\n");
    for (char& c : value) c = c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
    attributes += (i != 0 ? ";" : "") + std::string(cursor.AttributeNameAt(i)) + "=" + value;
  }
  const std::string text = Replace(Replace(cursor.Text(), "\r\n", "\n"), "\r", "\n");
  out += std::to_string(depth) + " " + Hex(cursor.NamespaceUri()) + " " + Hex(cursor.LocalName()) + " " +
         Hex(attributes) + " " + Hex(text) + "\n";
  XmlCursor child;
  for (int rc = cursor.FirstChild(&child); rc == 0; rc = NextSibling(child, &child)) DumpElement(child, depth + 1, out);
}

inline std::string StoreDump(XmlDocument& document) {
  std::string out;
  if (document.Dom().Root() == 0) return out;
  document.Dom().SetCurrent(0);
  DumpElement(XmlCursor::AtCurrent(document), 1, out);
  return out;
}

}  // namespace velmora::parsers::testing
