// JSON parsing throughput on Debian's iso-codes iso_639-3.json (875 KB): ParseText in tree mode (and by
// the older stepwise tree path) and in stream mode (hooks that do nothing), next to RapidJSON's DOM
// parse, RapidJSON's SAX reader with a handler that does nothing and nlohmann-json's parse of the same
// bytes. Also the cost against size (the file's array ten times as long, run beside the one-fold text)
// and of selecting element N by "/json/639-3/[N]".
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>

#include <fstream>
#include <sstream>
#include <string>

#include "parsers/json_parser.h"

namespace {

using velmora::parsers::JsonParser;

// Both texts are read and built before any benchmark runs, so that every row, whichever runs first,
// meets the allocator in the same state (freeing the large temporaries raises glibc's thresholds for
// returning memory to the system).
struct Texts {
  std::string one;
  // tenfold is the document with its element array repeated ten times.
  std::string tenfold;
};

const Texts& LoadTexts() {
  static const Texts texts = [] {
    Texts t;
    std::ifstream in("/usr/share/iso-codes/json/iso_639-3.json", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    t.one = s.str();
    const size_t open = t.one.find('[');
    const size_t close = t.one.rfind(']');
    if (open == std::string::npos || close == std::string::npos) return t;
    const std::string elements = t.one.substr(open + 1, close - open - 1);
    t.tenfold = t.one.substr(0, open + 1);
    for (int i = 0; i < 10; ++i) t.tenfold += (i == 0 ? "" : ",") + elements;
    t.tenfold += t.one.substr(close);
    return t;
  }();
  return texts;
}

const std::string& IsoText() { return LoadTexts().one; }
const std::string& TenfoldText() { return LoadTexts().tenfold; }

void ParseTree(benchmark::State& state, const std::string& text, uint32_t unescape) {
  if (text.empty()) state.SkipWithError("iso-codes is missing");
  for (auto _ : state) {
    JsonParser parser;
    parser.SetTreeMode(1);
    parser.SetUnescapeOptions(unescape);
    if (parser.ParseText(text.c_str()) != 0 || parser.Root() == nullptr) state.SkipWithError("parse");
    benchmark::DoNotOptimize(parser.Root());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_VelmoraTree(benchmark::State& state) { ParseTree(state, IsoText(), 0); }
BENCHMARK(BM_VelmoraTree);

void BM_VelmoraTreeUnescaped(benchmark::State& state) { ParseTree(state, IsoText(), 3); }
BENCHMARK(BM_VelmoraTreeUnescaped);

void BM_VelmoraTreeTenfold(benchmark::State& state) { ParseTree(state, TenfoldText(), 0); }
BENCHMARK(BM_VelmoraTreeTenfold);

// The older tree path: every token copied and every hook called.
void BM_VelmoraTreeStepwise(benchmark::State& state) {
  velmora::parsers::internal::ForceStepwiseJson(true);
  ParseTree(state, IsoText(), 0);
  velmora::parsers::internal::ForceStepwiseJson(false);
}
BENCHMARK(BM_VelmoraTreeStepwise);

void BM_VelmoraTreeStepwiseTenfold(benchmark::State& state) {
  velmora::parsers::internal::ForceStepwiseJson(true);
  ParseTree(state, TenfoldText(), 0);
  velmora::parsers::internal::ForceStepwiseJson(false);
}
BENCHMARK(BM_VelmoraTreeStepwiseTenfold);

void ParseStream(benchmark::State& state, const std::string& text) {
  if (text.empty()) state.SkipWithError("iso-codes is missing");
  for (auto _ : state) {
    JsonParser parser;
    parser.BeginStream();
    if (parser.ParseText(text.c_str()) != 0) state.SkipWithError("parse");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_VelmoraStream(benchmark::State& state) { ParseStream(state, IsoText()); }
BENCHMARK(BM_VelmoraStream);

void BM_VelmoraStreamTenfold(benchmark::State& state) { ParseStream(state, TenfoldText()); }
BENCHMARK(BM_VelmoraStreamTenfold);

void ParseRapidJsonDom(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text.c_str());
    if (document.HasParseError()) state.SkipWithError("parse");
    benchmark::DoNotOptimize(&document);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_RapidJsonDom(benchmark::State& state) { ParseRapidJsonDom(state, IsoText()); }
BENCHMARK(BM_RapidJsonDom);

// The anchor's own cost at ten times the input, so both growths are read from one run.
void BM_RapidJsonDomTenfold(benchmark::State& state) { ParseRapidJsonDom(state, TenfoldText()); }
BENCHMARK(BM_RapidJsonDomTenfold);

void BM_RapidJsonSax(benchmark::State& state) {
  const std::string& text = IsoText();
  for (auto _ : state) {
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream stream(text.c_str());
    if (reader.Parse(stream, handler).IsError()) state.SkipWithError("parse");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_RapidJsonSax);

void BM_NlohmannJson(benchmark::State& state) {
  const std::string& text = IsoText();
  for (auto _ : state) {
    nlohmann::json document = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(&document);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_NlohmannJson);

// Selecting element N walks N children.
void BM_VelmoraSelectElement(benchmark::State& state) {
  JsonParser parser;
  parser.SetTreeMode(1);
  if (parser.ParseText(IsoText().c_str()) != 0) state.SkipWithError("parse");
  const std::string path = "/json/639-3/[" + std::to_string(state.range(0)) + "]";
  for (auto _ : state) {
    if (parser.EvalPath(path.c_str()) != 0) state.SkipWithError("path");
  }
}
BENCHMARK(BM_VelmoraSelectElement)->Arg(1000)->Arg(2000)->Arg(4000)->Arg(7900);

}  // namespace
