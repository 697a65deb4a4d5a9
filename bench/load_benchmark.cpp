// Loading a report file with profile-query's reader, against simdjson's
// DOM parse of the same text. Both report bytes and samples per second.
#include <cstddef>
#include <cstdint>
#include <simdjson.h>
#include <string>

#include <benchmark/benchmark.h>

#include "frontend_core/reading/report_reader.hpp"
#include "tests/support/report_json.hpp"
#include "tests/support/synthetic_report.hpp"

namespace {

constexpr std::size_t kSamplesPerTile = 2048;

struct ReportFile {
  std::string text;
  std::size_t samples = 0;
};

// The synthetic report of 1024 tiles x 2048 samples (about 2M samples),
// written once.
const ReportFile& report_file() {
  static const ReportFile file = [] {
    const auto report = zun_profile::support::synthetic_report(
        {.tiles = 1024, .samples_per_tile = kSamplesPerTile, .seed = 1});
    return ReportFile{zun_profile::support::report_json(report),
                      1024 * kSamplesPerTile};
  }();
  return file;
}

void count(benchmark::State& state, const ReportFile& file) {
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(file.text.size()));
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(file.samples));
}

// A DOM parse alone: a tree of the text, no records and no checks.
void BM_ParseOnly(benchmark::State& state) {
  const ReportFile& file = report_file();
  const simdjson::padded_string padded(file.text);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(padded).get(root) != simdjson::SUCCESS)
      state.SkipWithError("parse");
    benchmark::DoNotOptimize(root);
  }
  count(state, file);
}

// Parsing, checking every field and building the records.
void BM_LoadReport(benchmark::State& state) {
  const ReportFile& file = report_file();
  for (auto _ : state) {
    const zun_package::ProfileReport report =
        profile_query::parse_report(file.text, "bench");
    benchmark::DoNotOptimize(report.tiles.data());
  }
  count(state, file);
}

}  // namespace

BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadReport)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
