#include "cli/serve/report_overview.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frontend_core/rendering/json_text.hpp"
#include "query/engine/labels.hpp"
#include "query/query.hpp"

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

}  // namespace

void write_overview_fields(Writer& json, const zun_store::ReportStore& report,
                           std::string_view source) {
  // The whole-report figures exactly as a query states them.
  zun_profile::Query figures_only;
  figures_only.limit = 0;
  const zun_profile::QueryReport figures =
      zun_profile::query(report, figures_only);

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
  const zun_store::SampleColumns columns = report.all_samples();
  if (report.step_count() >= samples) {
    // A step per sample (version 1): each sample tallied as it comes.
    for (std::size_t s = 0; s < samples; ++s) tally(columns.steps[s], 1);
  } else {
    // Samples per step first: a step's fields are then read once.
    std::vector<std::size_t> step_uses(report.step_count());
    for (std::size_t s = 0; s < samples; ++s) ++step_uses[columns.steps[s]];
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
  json.field("clock_hz", figures.clock_hz);
  json.field("tile_count", figures.tile_count);
  json.field("physical_tile_count", physical_tiles.size());
  json.field("sample_count", figures.sample_count);
  json.field("profile_span_cycles", figures.profile_span_cycles);
  json.field("profile_span_ms", figures.profile_span_ms);
  kinds.write(json, "kinds");
  kernels.write(json, "kernels");
  phases.write(json, "phases");
  metadata.write(json, "metadata_names");
}

std::string render_overview_json(const zun_store::ReportStore& report,
                                 std::string_view source) {
  std::string out;
  Writer json(out);
  json.open('{');
  write_overview_fields(json, report, source);
  json.close('}');
  out += '\n';
  return out;
}

}  // namespace profile_query
