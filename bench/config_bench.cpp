// The item configuration at scale: parsing generated configurations of 1,000, 10,000 and
// 100,000 registry entries, and one full registry check pass over them on a fresh machine
// image (after a repair pass has written every value, so each check reads a value).
// Prints entries per second and fits the growth (it must come out as O(N)).
// Run it from a release build: ./bench/config_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "engine/check/check_runner.h"
#include "engine/check/checker_registry.h"
#include "engine/config/item_configuration.h"
#include "platform/machine.h"

using namespace Corvane::Model;
using namespace Corvane::Assistant;

namespace {

// `entries` registry entries of the four kinds, spread over 100 keys per hive, in groups
// of 1,000 (several config elements of one type, merged by the reader).
std::string RegistryConfiguration(int64_t entries) {
  std::string text = "<checkitems Version=\"1\">\n";
  char line[400];
  for (int64_t i = 0; i < entries; ++i) {
    if (i % 1000 == 0) text += i ? "  </config>\n  <config type=\"registry\">\n" : "  <config type=\"registry\">\n";
    const char* root = i % 2 ? "HKCU\\Software" : "HKLM\\SOFTWARE";
    switch (i % 4) {
      case 0:
        std::snprintf(line, sizeof line,
                      "    <entry type=\"reg_dword\" name=\"D%lld\" value=\"%lld\" mask=\"255\">"
                      "%s\\Bench\\K%lld</entry>\n",
                      (long long)i, (long long)(i % 256), root, (long long)(i % 100));
        break;
      case 1:
        std::snprintf(line, sizeof line,
                      "    <entry type=\"reg_sz\" name=\"S%lld\" value=\"text %lld\">%s\\Bench\\K%lld</entry>\n",
                      (long long)i, (long long)i, root, (long long)(i % 100));
        break;
      case 2:
        std::snprintf(line, sizeof line,
                      "    <entry type=\"reg_binary\" name=\"B%lld\" value=\"0a0b0c%06llx\" bit=\"64\">"
                      "%s\\Bench\\K%lld</entry>\n",
                      (long long)i, (long long)i, root, (long long)(i % 100));
        break;
      default:
        std::snprintf(line, sizeof line,
                      "    <entry type=\"reg_dword\" name=\"E%lld\" value=\"1\">%s\\Bench\\K%lld</entry>\n",
                      (long long)i, root, (long long)(i % 100));
    }
    text += line;
  }
  return text + "  </config>\n</checkitems>\n";
}

void BM_ParseConfiguration(benchmark::State& state) {
  const std::string text = RegistryConfiguration(state.range(0));
  for (auto _ : state) {
    ItemConfiguration model;
    bool ok = ParseItemConfiguration(text, model);
    benchmark::DoNotOptimize(ok);
    if (!ok || model.groups.size() != 1 || int64_t(model.groups[0].entries.size()) != state.range(0))
      state.SkipWithError("the configuration did not parse");
  }
  state.SetComplexityN(state.range(0));
  state.counters["entries/s"] =
      benchmark::Counter(double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// A machine image of its own for the benchmark, removed at exit.
struct BenchMachine {
  std::filesystem::path dir;
  BenchMachine() {
    dir = std::filesystem::temp_directory_path() / ("config_bench." + std::to_string(getpid()));
    std::string error;
    if (platform::CreateMachineImage(dir, {}, &error) != 0 || platform::SelectMachine(dir, &error) != 0)
      std::fprintf(stderr, "config_bench: machine image: %s\n", error.c_str());
  }
  ~BenchMachine() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void BM_RegistryCheckPass(benchmark::State& state) {
  static BenchMachine machine;
  ItemConfiguration model;
  ParseItemConfiguration(RegistryConfiguration(state.range(0)), model);
  CheckGroup& group = model.groups[0];
  ICheckFix* registry = CheckerRegistry::Instance().Find("registry");
  if (CheckAll(*registry, group.entries, false) != kCheckOk && FixAll(*registry, group.entries) != kCheckOk) {
    state.SkipWithError("the repair pass failed");
    return;
  }
  for (auto _ : state) {
    CheckStatus r = CheckAll(*registry, group.entries, false);
    if (r != kCheckOk) state.SkipWithError("a value did not pass");
  }
  state.SetComplexityN(state.range(0));
  state.counters["entries/s"] =
      benchmark::Counter(double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_ParseConfiguration)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK(BM_RegistryCheckPass)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

BENCHMARK_MAIN();
