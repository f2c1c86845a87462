// JSON parsing throughput on Debian's iso-codes iso_639-3.json (875 KB): ParseText in tree mode (and by
// the older stepwise tree path) and in stream mode (hooks that do nothing), next to RapidJSON's DOM
// parse, RapidJSON's SAX reader with a handler that does nothing and nlohmann-json's parse of the same
// bytes. Also the cost against size (the file's array ten and a hundred times as long, run beside the
// one-fold text), the first parse of each size in a fresh process with its peak memory beyond the text,
// and the cost of selecting element N by "/json/639-3/[N]".
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "parsers/json_parser.h"

namespace {

using velmora::parsers::JsonParser;

std::string ReadIsoFile() {
  std::ifstream in("/usr/share/iso-codes/json/iso_639-3.json", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Repeated is the document with its element array repeated fold times (empty without the file), built
// in one block of its final size so that no freed growth steps stay in the heap.
std::string Repeated(const std::string& one, int fold) {
  const size_t open = one.find('[');
  const size_t close = one.rfind(']');
  if (open == std::string::npos || close == std::string::npos) return {};
  const size_t elements = close - open - 1;
  std::string text;
  text.reserve(one.size() + (elements + 1) * static_cast<size_t>(fold - 1));
  text.append(one, 0, open + 1);
  for (int i = 0; i < fold; ++i) {
    if (i != 0) text += ',';
    text.append(one, open + 1, elements);
  }
  text.append(one, close);
  return text;
}

// The texts are read and built before any benchmark runs, so that every row, whichever runs first,
// meets the allocator in the same state (freeing the large temporaries raises glibc's thresholds for
// returning memory to the system).
struct Texts {
  std::string one;
  std::string tenfold;
  std::string hundredfold;
};

const Texts& LoadTexts() {
  static const Texts texts = [] {
    Texts t;
    t.one = ReadIsoFile();
    t.tenfold = Repeated(t.one, 10);
    t.hundredfold = Repeated(t.one, 100);
    return t;
  }();
  return texts;
}

const std::string& IsoText() { return LoadTexts().one; }
const std::string& TenfoldText() { return LoadTexts().tenfold; }
const std::string& HundredfoldText() { return LoadTexts().hundredfold; }

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

void BM_VelmoraTreeHundredfold(benchmark::State& state) { ParseTree(state, HundredfoldText(), 0); }
BENCHMARK(BM_VelmoraTreeHundredfold)->Unit(benchmark::kMillisecond);

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

void BM_RapidJsonDomHundredfold(benchmark::State& state) { ParseRapidJsonDom(state, HundredfoldText()); }
BENCHMARK(BM_RapidJsonDomHundredfold)->Unit(benchmark::kMillisecond);

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

// The first parse of each size in a fresh process, with its peak resident memory beyond the text. A row
// runs a copy of the program with kFirstParseVariable set to "<parser> <fold>" (0 the tree, 1 RapidJSON's
// DOM); the copy builds that text, parses it once, prints the time of the parse and of freeing its result
// and the peak, and exits before any benchmark runs.
constexpr const char* kFirstParseVariable = "VELMORA_JSON_FIRST_PARSE";

// StatusBytes reads a "<field>: <n> kB" line of /proc/self/status; -1 when it is missing.
long long StatusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
      return std::atoll(line.c_str() + length + 1) * 1024;
    }
  }
  return -1;
}

// ParseAndFree parses text once with the given parser and returns the peak resident memory during the
// parse (before its result is freed); -1 on a parse failure.
long long ParseAndFree(int parser, const std::string& text) {
  long long peak = -1;
  if (parser == 0) {
    JsonParser json;
    json.SetTreeMode(1);
    if (json.ParseText(text.c_str()) == 0 && json.Root() != nullptr) peak = StatusBytes("VmHWM");
  } else {
    rapidjson::Document document;
    document.Parse(text.c_str());
    if (!document.HasParseError()) peak = StatusBytes("VmHWM");
  }
  return peak;
}

int RunFirstParseCopy() {
  const char* request = std::getenv(kFirstParseVariable);
  if (request == nullptr) return 0;
  int parser = 0;
  int fold = 0;
  if (std::sscanf(request, "%d %d", &parser, &fold) != 2 || fold < 1) std::_Exit(2);
  const std::string text = Repeated(ReadIsoFile(), fold);
  if (text.empty()) std::_Exit(3);
  const long long base = StatusBytes("VmRSS");
  // NOTE: on Linux, "5" written to clear_refs sets the peak (VmHWM) back to the current resident size.
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  const auto start = std::chrono::steady_clock::now();
  const long long peak = ParseAndFree(parser, text);
  const auto stop = std::chrono::steady_clock::now();
  if (peak < 0 || base < 0) std::_Exit(4);
  std::printf("%lld %lld\n", static_cast<long long>(std::chrono::nanoseconds(stop - start).count()), peak - base);
  std::fflush(stdout);
  std::_Exit(0);
}

[[maybe_unused]] const int first_parse_copy_done = RunFirstParseCopy();

void FirstParse(benchmark::State& state, int parser) {
  const auto fold = static_cast<int>(state.range(0));
  for (auto _ : state) {
    int out[2];
    if (pipe(out) != 0) {
      state.SkipWithError("pipe");
      break;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      const std::string request = std::to_string(parser) + " " + std::to_string(fold);
      setenv(kFirstParseVariable, request.c_str(), 1);
      char* argv[] = {const_cast<char*>("velmora_json_bench"), nullptr};
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    close(out[1]);
    char reply[64] = {};
    size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof(reply) - 1 && (n = read(out[0], reply + got, sizeof(reply) - 1 - got)) > 0) {
      got += static_cast<size_t>(n);
    }
    close(out[0]);
    int status = 0;
    if (child > 0) (void)waitpid(child, &status, 0);
    long long ns = 0;
    long long peak = 0;
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(reply, "%lld %lld", &ns, &peak) != 2) {
      state.SkipWithError("fresh process");
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) * 1e-9);
    state.counters["peak_MB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
  }
}

void BM_FirstParseVelmoraTree(benchmark::State& state) { FirstParse(state, 0); }
BENCHMARK(BM_FirstParseVelmoraTree)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_FirstParseRapidJsonDom(benchmark::State& state) { FirstParse(state, 1); }
BENCHMARK(BM_FirstParseRapidJsonDom)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
