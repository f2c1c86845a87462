// Path evaluation over the XML record store next to libxml2's xmlXPathEval on the same document: a root
// with N children <item id="v<i>"/>, at N = 10,000 and 100,000. The store is built through the record
// writers (also measured, one element with its attribute per child); libxml2 parses the same text.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "parsers/xml_parser.h"

namespace {

using velmora::parsers::XmlDom;
using velmora::parsers::XmlParser;

std::string IdOf(int64_t i) { return "v" + std::to_string(i); }

bool BuildStore(XmlDom& dom, int64_t children) {
  if (dom.WriteElement("doc", 1, 0, 0, 0, 0, 0, 5) != 0) return false;
  for (int64_t i = 0; i < children; ++i) {
    if (dom.WriteElement("item", 2, 0, 0, 1, 1, 0, 0) != 0) return false;
    if (dom.WriteAttribute("id", IdOf(i).c_str(), 0) != 0) return false;
    dom.CloseElement(2, 0, 0);
  }
  dom.CloseElement(1, 0, 0);
  return true;
}

XmlParser& Store(int64_t children) {
  static std::map<int64_t, std::unique_ptr<XmlParser>> stores;
  auto& parser = stores[children];
  if (parser == nullptr) {
    parser = std::make_unique<XmlParser>();
    if (!BuildStore(parser->Document().Dom(), children)) std::abort();
  }
  return *parser;
}

xmlDocPtr LibxmlDocument(int64_t children) {
  static std::map<int64_t, xmlDocPtr> documents;
  xmlDocPtr& document = documents[children];
  if (document == nullptr) {
    std::string text = "<doc>";
    for (int64_t i = 0; i < children; ++i) text += "<item id=\"" + IdOf(i) + "\"/>";
    text += "</doc>";
    document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "doc.xml", nullptr, 0);
    if (document == nullptr) std::abort();
  }
  return document;
}

// The three paths of a document with n children, ours and libxml2's.
std::string OursPath(int which, int64_t n) {
  switch (which) {
    case 0: return "/doc/item[" + std::to_string(n / 2) + "]";
    case 1: return "/doc/item[@id='" + IdOf(n - 1) + "']";
    default: return "[last()]";
  }
}

std::string LibxmlPath(int which, int64_t n) {
  switch (which) {
    case 0: return "/doc/item[" + std::to_string(n / 2) + "]";
    case 1: return "/doc/item[@id='" + IdOf(n - 1) + "']";
    default: return "/doc/*[last()]";
  }
}

void BM_VelmoraPath(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const int64_t n = state.range(1);
  XmlParser& parser = Store(n);
  const std::string path = OursPath(which, n);
  for (auto _ : state) {
    parser.Document().Dom().SetCurrent(0);
    if (parser.SetXPath(path.c_str()) != 0) state.SkipWithError("path failed");
    benchmark::DoNotOptimize(parser.Document().Dom().Current());
  }
  state.SetLabel(path);
}

void BM_LibxmlPath(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const int64_t n = state.range(1);
  xmlDocPtr document = LibxmlDocument(n);
  const std::string path = LibxmlPath(which, n);
  xmlXPathContextPtr context = xmlXPathNewContext(document);
  for (auto _ : state) {
    xmlXPathObjectPtr result = xmlXPathEval(reinterpret_cast<const xmlChar*>(path.c_str()), context);
    if (result == nullptr || result->nodesetval == nullptr || result->nodesetval->nodeNr != 1) {
      state.SkipWithError("path failed");
    }
    xmlXPathFreeObject(result);
  }
  xmlXPathFreeContext(context);
  state.SetLabel(path);
}

void BM_VelmoraBuildStore(benchmark::State& state) {
  for (auto _ : state) {
    XmlDom dom;
    if (!BuildStore(dom, state.range(0))) state.SkipWithError("store failed");
    benchmark::DoNotOptimize(dom.Length());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void PathArguments(benchmark::internal::Benchmark* b) {
  for (int which = 0; which < 3; ++which) {
    for (int64_t n : {10000, 100000}) b->Args({which, n});
  }
}

BENCHMARK(BM_VelmoraPath)->Apply(PathArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibxmlPath)->Apply(PathArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VelmoraBuildStore)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
