#include "cli/serve/report_overview.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frontend_core/querying/parallel_query.hpp"
#include "frontend_core/rendering/json_text.hpp"
#include "query/engine/labels.hpp"
#include "query/engine/tasks.hpp"
#include "query/order/statistics.hpp"

namespace profile_query {
namespace {

// Counts the samples per value of one property.
class Tally {
 public:
  void add(std::string_view value, std::size_t samples = 1) {
    counts_[value] += samples;
  }

  // The list under `name`: values and counts, most frequent first.
  void write(Writer& json, std::string_view name) const {
    std::vector<std::pair<std::string_view, std::size_t>> values(
        counts_.begin(), counts_.end());
    const std::size_t kept = std::min(values.size(), kOverviewValues);
    const auto before = [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    };
    std::partial_sort(values.begin(),
                      values.begin() + static_cast<std::ptrdiff_t>(kept),
                      values.end(), before);
    json.key(name);
    json.open('{');
    json.field("distinct", values.size());
    json.key("truncated");
    json.boolean(values.size() > kept);
    json.key("values");
    json.open('[');
    for (std::size_t i = 0; i < kept; ++i) {
      json.element();
      json.open('{');
      json.field("name", values[i].first);
      json.field("samples", values[i].second);
      json.close('}');
    }
    json.close(']');
    json.close('}');
  }

 private:
  std::unordered_map<std::string_view, std::size_t> counts_;
};

// Samples per step, counted over `threads` threads, each a range of the
// samples (every block checked as it is read).
std::vector<std::size_t> samples_per_step(const zun_store::ReportStore& report,
                                          unsigned threads) {
  const std::size_t samples = report.sample_count();
  // A range of a million samples at least: fewer are not worth a thread.
  const std::size_t parts = std::clamp<std::size_t>(
      std::min<std::size_t>(threads, samples >> 20), 1, 64);
  std::vector<std::vector<std::size_t>> uses(parts);
  // What a part throws (a damaged block) is thrown here once all have ended.
  zun_profile::detail::run_tasks(
      thread_runner(static_cast<unsigned>(parts)), parts, [&](std::size_t p) {
        const std::size_t first = samples / parts * p;
        const std::size_t end =
            p + 1 == parts ? samples : samples / parts * (p + 1);
        uses[p].assign(report.step_count(), 0);
        const zun_store::SampleColumns columns =
            report.samples(first, end - first);
        for (std::size_t s = 0; s < columns.count; ++s) {
          ++uses[p][columns.steps[s]];
        }
      });
  for (std::size_t p = 1; p < parts; ++p) {
    for (std::size_t d = 0; d < uses[0].size(); ++d) uses[0][d] += uses[p][d];
  }
  return std::move(uses[0]);
}

}  // namespace

void write_overview_fields(Writer& json, const zun_store::ReportStore& report,
                           std::string_view source, unsigned threads) {
  // The whole-report figures as a query states them: its span is the
  // largest of the tiles' spans, which the store holds.
  std::uint64_t span = 0;
  for (std::size_t t = 0; t < report.tile_count(); ++t) {
    span = std::max(span, report.tile_span(t));
  }

  // Counted by id first, a counter per distinct text or list: the texts
  // themselves are each tallied once.
  const std::size_t samples = report.sample_count();
  std::vector<std::size_t> kind_uses(5);
  std::vector<std::size_t> kernel_uses(report.text_count());
  std::vector<std::size_t> list_uses(report.metadata_list_count());
  std::unordered_map<std::uint32_t, std::size_t> phase_counts;
  const auto tally = [&](std::size_t step, std::size_t uses) {
    kind_uses[std::min<std::uint32_t>(report.step_kinds()[step], 4)] += uses;
    kernel_uses[report.step_kernels()[step]] += uses;
    list_uses[report.step_metadata_lists()[step]] += uses;
    phase_counts[report.step_phases()[step]] += uses;
  };
  if (report.step_count() >= samples) {
    // A step per sample (version 1): each sample tallied as it comes.
    const zun_store::SampleColumns columns = report.all_samples();
    for (std::size_t s = 0; s < samples; ++s) tally(columns.steps[s], 1);
  } else {
    // Samples per step first: a step's fields are then read once.
    const std::vector<std::size_t> step_uses =
        samples_per_step(report, threads);
    for (std::size_t d = 0; d < step_uses.size(); ++d) {
      if (step_uses[d] > 0) tally(d, step_uses[d]);
    }
  }
  std::unordered_set<std::uint32_t> physical_tiles;
  for (std::size_t t = 0; t < report.tile_count(); ++t) {
    physical_tiles.insert(report.physical_tile(t));
  }
  Tally kinds;
  for (std::size_t k = 0; k < kind_uses.size(); ++k) {
    if (kind_uses[k] > 0) {
      kinds.add(zun_profile::detail::kind_name(
                    static_cast<zun_package::ProfileStepKind>(k)),
                kind_uses[k]);
    }
  }
  Tally kernels;
  for (std::size_t t = 0; t < kernel_uses.size(); ++t) {
    if (kernel_uses[t] > 0) {
      kernels.add(report.text(static_cast<std::uint32_t>(t)), kernel_uses[t]);
    }
  }
  // A name counts once per sample, however often the step repeats it.
  Tally metadata;
  for (std::size_t l = 0; l < list_uses.size(); ++l) {
    if (list_uses[l] == 0) continue;
    const auto entries = report.metadata_list(static_cast<std::uint32_t>(l));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const auto same = [&](const zun_store::MetadataRef& earlier) {
        return earlier.name == entries[i].name;
      };
      if (std::none_of(entries.begin(),
                       entries.begin() + static_cast<std::ptrdiff_t>(i),
                       same)) {
        metadata.add(report.text(entries[i].name), list_uses[l]);
      }
    }
  }
  // Phases are numbers: name them by their decimal text, kept alive here.
  // Reserved first, so that no name moves while the tally views it.
  std::vector<std::string> phase_names;
  phase_names.reserve(phase_counts.size());
  Tally phases;
  for (const auto& [phase, count] : phase_counts) {
    phases.add(phase_names.emplace_back(std::to_string(phase)), count);
  }

  json.field("source", source);
  json.field("clock_hz", report.clock_hz());
  json.field("tile_count", report.tile_count());
  json.field("physical_tile_count", physical_tiles.size());
  json.field("sample_count", samples);
  json.field("profile_span_cycles", span);
  json.field("profile_span_ms",
             zun_profile::detail::cycles_to_ms(span, report.clock_hz()));
  kinds.write(json, "kinds");
  kernels.write(json, "kernels");
  phases.write(json, "phases");
  metadata.write(json, "metadata_names");
}

std::string render_overview_json(const zun_store::ReportStore& report,
                                 std::string_view source, unsigned threads) {
  std::string out;
  Writer json(out);
  json.open('{');
  write_overview_fields(json, report, source, threads);
  json.close('}');
  out += '\n';
  return out;
}

}  // namespace profile_query
