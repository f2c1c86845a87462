// XML parsing into the record store (BuildDOM on) next to libxml2's xmlReadMemory (a DOM) and expat
// without handlers, on freedesktop.org.xml (shared-mime-info) and iso_639-3.xml (iso-codes). Also the
// same text with the root's content repeated ten times (cost linear in size), chunked parsing in 4096-byte
// blocks, and the file load. Bytes processed are the document's, so the MB/s figures compare directly.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>

#include <fstream>
#include <map>
#include <string>

#include "parsers/xml_parser.h"

namespace {

using velmora::parsers::XmlParser;

const char* const kFiles[] = {"/usr/share/mime/packages/freedesktop.org.xml", "/usr/share/xml/iso-codes/iso_639-3.xml"};

// Text returns file `which`, its root content repeated `times` times.
const std::string& Text(int which, int times) {
  static std::map<std::pair<int, int>, std::string> texts;
  std::string& text = texts[{which, times}];
  if (text.empty()) {
    std::ifstream in(kFiles[which], std::ios::binary);
    const std::string file(std::istreambuf_iterator<char>(in), {});
    if (file.empty()) return text;
    // The root's content: between the end of the root's start tag and the start of its end tag.
    const size_t end_tag = file.rfind("</");
    // Step over the declaration, comments and the document type to the root's start tag.
    size_t root = file.find('<');
    while (root != std::string::npos && (file[root + 1] == '?' || file[root + 1] == '!')) {
      size_t after;
      if (file.compare(root, 4, "<!--") == 0) {
        after = file.find("-->", root) + 3;
      } else if (file[root + 1] == '?') {
        after = file.find("?>", root) + 2;
      } else {
        const size_t subset = file.find('[', root);
        after = subset < file.find('>', root) ? file.find("]>", subset) + 2 : file.find('>', root) + 1;
      }
      root = file.find('<', after);
    }
    const size_t content = file.find('>', root) + 1;
    text = file.substr(0, content);
    for (int i = 0; i < times; ++i) text += file.substr(content, end_tag - content);
    text += file.substr(end_tag);
  }
  return text;
}

void Label(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetLabel(std::string(kFiles[state.range(0)]).substr(std::string(kFiles[state.range(0)]).rfind('/') + 1) +
                 " x" + std::to_string(state.range(1)));
}

void BM_VelmoraParseText(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    XmlParser parser;
    parser.SetBuildDom(1);
    if (parser.ParseText(text.c_str()) != 0) state.SkipWithError(parser.LastErrorText().Data());
    benchmark::DoNotOptimize(parser.Document().Dom().Length());
  }
  Label(state, text);
}

void BM_VelmoraParseChunks(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    XmlParser parser;
    parser.SetBuildDom(1);
    for (size_t at = 0; at < text.size(); at += 4096) {
      const int32_t n = static_cast<int32_t>(std::min<size_t>(4096, text.size() - at));
      if (parser.ParseChunk(text.data() + at, n) != 0) state.SkipWithError(parser.LastErrorText().Data());
    }
    benchmark::DoNotOptimize(parser.Document().Dom().Length());
  }
  Label(state, text);
}

void BM_VelmoraLoadFile(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)), 1);
  for (auto _ : state) {
    XmlParser parser;
    parser.SetBuildDom(1);
    if (parser.LoadFile(kFiles[state.range(0)]) != 0) state.SkipWithError(parser.LastErrorText().Data());
    benchmark::DoNotOptimize(parser.Document().Dom().Length());
  }
  Label(state, text);
}

void BM_LibxmlReadMemory(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    xmlDocPtr document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "doc.xml", nullptr, 0);
    if (document == nullptr) state.SkipWithError("libxml2 refused the text");
    xmlFreeDoc(document);
  }
  Label(state, text);
}

void BM_ExpatNoHandlers(benchmark::State& state) {
  const std::string& text = Text(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK) {
      state.SkipWithError("expat refused the text");
    }
    XML_ParserFree(parser);
  }
  Label(state, text);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int which = 0; which < 2; ++which) {
    for (int times : {1, 10}) b->Args({which, times});
  }
}

BENCHMARK(BM_VelmoraParseText)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelmoraParseChunks)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelmoraLoadFile)->Args({0, 1})->Args({1, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibxmlReadMemory)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpatNoHandlers)->Apply(Sizes)->Unit(benchmark::kMillisecond);

}  // namespace
