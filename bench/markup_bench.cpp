// Parse throughput of MarkupDocument against pugixml on generated documents, and the cost
// of walking a configuration the way the item configuration loader does. Prints each
// benchmark's MB/s and, at the end, the ratio of MarkupDocument to pugixml per document.
// Run it from a release build: ./bench/markup_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "engine/markup/markup_document.h"

using Corvane::Model::MarkupDocument;

namespace {

constexpr size_t kMB = 1024 * 1024;

// A configuration as the bank publishes it: groups of entries with five attributes each,
// text snippets and installable items, repeated until the text reaches `bytes`.
std::string ConfigDocument(size_t bytes) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<checkitems version=\"2.1.0\" base=\"https://ebank.example/perbank/ocx/\">\n";
  char line[512];
  for (unsigned group = 0; text.size() < bytes; ++group) {
    std::snprintf(line, sizeof line, "  <config type=\"registry%u\">\n", group);
    text += line;
    for (unsigned i = 0; i < 20; ++i) {
      std::snprintf(line, sizeof line,
                    "    <entry type=\"reg_dword\" name=\"Value%u\" value=\"%u\" mask=\"0\" "
                    "bit=\"64\">HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product%u\\Settings"
                    "</entry>\n",
                    i, group * 20 + i, group);
      text += line;
    }
    text += "  </config>\n";
    std::snprintf(line, sizeof line,
                  "  <data name=\"tip%u\">Close the browser before you install &amp; restart."
                  "</data>\n",
                  group);
    text += line;
    std::snprintf(line, sizeof line,
                  "  <item cls=\"key\" type=\"k%u\" keyid=\"096e|0405,1ea8\" "
                  "manufacturer=\"Maker\" "
                  "plugin=\"KX_QRHV_SDK.dll\">\n"
                  "    <detect dtype=\"file\" version=\"1.0.%u\">%%SystemRoot%%\\System32\\kx%u.dll"
                  "</detect>\n"
                  "    <installer md5=\"0123456789abcdef0123456789abcdef\" parameter=\"/S\">"
                  "drivers/kx%u.exe</installer>\n"
                  "  </item>\n",
                  group, group, group, group);
    text += line;
  }
  text += "</checkitems>\n";
  return text;
}

// One million small elements: far more records than the table is pre-sized for, across
// sixteen segments.
std::string SmallElementsDocument() {
  std::string text = "<r>\n";
  char line[64];
  for (unsigned i = 0; i < 1000000; ++i) {
    std::snprintf(line, sizeof line, "<i n=\"%u\"/>\n", i);
    text += line;
  }
  text += "</r>\n";
  return text;
}

// Long text with references and CDATA sections, about 16 MB.
std::string TextDocument() {
  std::string text = "<doc>\n";
  while (text.size() < 16 * kMB) {
    text +=
        "<p>Online banking needs the security control &amp; the certificate of the bank; "
        "values &lt; 10 or &gt; 90 are &quot;rejected&quot; &#8212; see &#x4E2D;&#x6587; "
        "notes &eacute;t&eacute; &copy; the bank. A long paragraph of ordinary words follows "
        "here so that most bytes are plain text that the reader only passes over.</p>\n"
        "<p><![CDATA[if (a < b && c > d) { print(\"<b>bold</b>\"); }]]> and after the "
        "section some more text &#65;&#66;&#67;.</p>\n";
  }
  text += "</doc>\n";
  return text;
}

// Nesting 10,000 deep.
std::string DeepDocument() {
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "<n d=\"" + std::to_string(i) + "\">";
  text += "deepest";
  for (int i = 0; i < 10000; ++i) text += "</n>";
  return text;
}

struct Corpus {
  std::string config4 = ConfigDocument(4 * kMB);
  std::string config16 = ConfigDocument(16 * kMB);
  std::string config64 = ConfigDocument(64 * kMB);
  std::string small = SmallElementsDocument();
  std::string text = TextDocument();
  std::string deep = DeepDocument();
};

const Corpus& Documents() {
  static const Corpus corpus;
  return corpus;
}

void MarkupParse(benchmark::State& state, const std::string* text) {
  MarkupDocument doc;  // reused: the text buffer and the table are allocated once
  for (auto _ : state) {
    if (!doc.ParseText(*text)) state.SkipWithError("not well-formed");
    benchmark::DoNotOptimize(doc.ElementCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
  state.counters["elements"] = doc.ElementCount();
}

// pugixml parses in place; each round copies the text into one reused buffer first, as
// MarkupDocument copies it into its own.
void PugiParse(benchmark::State& state, const std::string* text, unsigned options) {
  std::vector<char> buffer(text->size());
  pugi::xml_document doc;
  for (auto _ : state) {
    std::memcpy(buffer.data(), text->data(), text->size());
    pugi::xml_parse_result result =
        doc.load_buffer_inplace(buffer.data(), buffer.size(), options, pugi::encoding_utf8);
    if (!result) state.SkipWithError(result.description());
    benchmark::DoNotOptimize(doc.first_child());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// The loader's walk: every entry of every config group, with its five attributes.
void MarkupWalk(benchmark::State& state, const std::string* text) {
  MarkupDocument doc;
  doc.ParseText(*text);
  int64_t entries = 0;
  for (auto _ : state) {
    doc.ResetPosition();
    while (doc.LeaveElement()) {
    }
    doc.ResetPosition();
    doc.FindNextElement("checkitems");
    doc.EnterElement();
    size_t bytes = 0;
    while (doc.FindNextElement("config")) {
      doc.EnterElement();
      while (doc.FindNextElement("entry")) {
        for (const char* name : {"type", "name", "value", "mask", "bit"})
          bytes += doc.GetAttribute(name).size();
        ++entries;
      }
      doc.LeaveElement();
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(entries);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void PugiWalk(benchmark::State& state, const std::string* text) {
  pugi::xml_document doc;
  doc.load_buffer(text->data(), text->size(), pugi::parse_minimal, pugi::encoding_utf8);
  int64_t entries = 0;
  for (auto _ : state) {
    size_t bytes = 0;
    for (pugi::xml_node config : doc.child("checkitems").children("config")) {
      for (pugi::xml_node entry : config.children("entry")) {
        for (const char* name : {"type", "name", "value", "mask", "bit"})
          bytes += std::strlen(entry.attribute(name).value());
        ++entries;
      }
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(entries);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// Prints the usual table, then MarkupDocument's throughput as a share of pugixml's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      // With --benchmark_repetitions the median stands for the benchmark.
      if (!run.aggregate_name.empty() && run.aggregate_name != "median") continue;
      rates_[run.run_name.str()] = it->second.value / kMB;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    char line[160];
    std::snprintf(line, sizeof line, "\n%-10s %12s %14s %14s %8s %8s\n", "document",
                  "markup MB/s", "pugi-min MB/s", "pugi-def MB/s", "vs min", "vs def");
    out << line;
    for (const char* doc : {"config4", "config16", "config64", "small1M", "text", "deep"}) {
      double mine = Rate("parse/markup/", doc);
      double minimal = Rate("parse/pugi_minimal/", doc);
      double full = Rate("parse/pugi_default/", doc);
      if (mine == 0) continue;
      std::snprintf(line, sizeof line, "%-10s %12.0f %14.0f %14.0f %8.2f %8.2f\n", doc, mine,
                    minimal, full, minimal > 0 ? mine / minimal : 0.0,
                    full > 0 ? mine / full : 0.0);
      out << line;
    }
    double walk = Rate("walk/markup/", "config64");
    double pugiWalk = Rate("walk/pugi/", "config64");
    if (walk > 0) {
      std::snprintf(line, sizeof line,
                    "walk config64 (document MB/s): markup %.0f, pugixml %.0f\n", walk, pugiWalk);
      out << line;
    }
  }

 private:
  double Rate(const std::string& prefix, const std::string& doc) const {
    auto it = rates_.find(prefix + doc);
    return it == rates_.end() ? 0 : it->second;
  }
  std::map<std::string, double> rates_;
};

void RegisterAll() {
  const Corpus& c = Documents();
  const std::pair<const char*, const std::string*> docs[] = {
      {"config4", &c.config4}, {"config16", &c.config16}, {"config64", &c.config64},
      {"small1M", &c.small},   {"text", &c.text},         {"deep", &c.deep},
  };
  for (const auto& [name, text] : docs) {
    std::string suffix = name;
    benchmark::RegisterBenchmark(("parse/markup/" + suffix).c_str(), MarkupParse, text)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse/pugi_minimal/" + suffix).c_str(), PugiParse, text,
                                 pugi::parse_minimal)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse/pugi_default/" + suffix).c_str(), PugiParse, text,
                                 pugi::parse_default)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("walk/markup/config64", MarkupWalk, &c.config64)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("walk/pugi/config64", PugiWalk, &c.config64)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterAll();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
