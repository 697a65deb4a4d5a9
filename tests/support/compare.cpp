#include "tests/support/compare.hpp"

#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "query/engine/record_source.hpp"
#include "query/engine/store_source.hpp"
#include "query/engine/tile_batches.hpp"
#include "tests/support/oracle.hpp"

namespace zun_profile::support {
namespace {

// Collects the first difference; later checks are skipped once one is found.
class Differ {
 public:
  template <typename T>
  void same(const std::string& path, const T& actual, const T& expected) {
    if (!found_.empty() || actual == expected) return;
    std::ostringstream out;
    out << path << ": " << show(actual) << " != " << show(expected);
    found_ = out.str();
  }

  void same(const std::string& path, double actual, double expected) {
    if (!found_.empty()) return;
    if (std::bit_cast<std::uint64_t>(actual) ==
        std::bit_cast<std::uint64_t>(expected)) {
      return;
    }
    std::ostringstream out;
    out.precision(17);
    out << path << ": " << actual << " != " << expected;
    found_ = out.str();
  }

  bool done() const { return !found_.empty(); }
  std::string result() const { return found_; }

 private:
  template <typename T>
  static std::string show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
  }
  static std::string show(const std::string& value) {
    return '"' + value + '"';
  }
  static std::string show(const std::optional<std::uint64_t>& value) {
    return value ? std::to_string(*value) : "absent";
  }
  static std::string show(const std::vector<std::uint64_t>& value) {
    std::string out = "[";
    for (const std::uint64_t cell : value) out += std::to_string(cell) + ",";
    return out + "]";
  }
  static std::string show(const std::map<std::string, std::string>& value) {
    std::string out = "{";
    for (const auto& [key, text] : value) out += key + "=" + text + ";";
    return out + "}";
  }

  std::string found_;
};

std::string at(const char* list, std::size_t index, const char* field) {
  return std::string(list) + "[" + std::to_string(index) + "]." + field;
}

}  // namespace

std::string first_difference(const QueryReport& actual,
                             const QueryReport& expected) {
  Differ d;
  d.same("clock_hz", actual.clock_hz, expected.clock_hz);
  d.same("tile_count", actual.tile_count, expected.tile_count);
  d.same("sample_count", actual.sample_count, expected.sample_count);
  d.same("matched_sample_count", actual.matched_sample_count,
         expected.matched_sample_count);
  d.same("profile_span_cycles", actual.profile_span_cycles,
         expected.profile_span_cycles);
  d.same("profile_span_ms", actual.profile_span_ms, expected.profile_span_ms);
  d.same("at_offset", actual.at_offset, expected.at_offset);
  d.same("groups.size", actual.groups.size(), expected.groups.size());
  for (std::size_t i = 0; !d.done() && i < actual.groups.size(); ++i) {
    const GroupSummary& a = actual.groups[i];
    const GroupSummary& e = expected.groups[i];
    d.same(at("groups", i, "name"), a.name, e.name);
    d.same(at("groups", i, "dimensions"), a.dimensions, e.dimensions);
    d.same(at("groups", i, "sample_count"), a.sample_count, e.sample_count);
    d.same(at("groups", i, "tile_count"), a.tile_count, e.tile_count);
    d.same(at("groups", i, "phase_count"), a.phase_count, e.phase_count);
    d.same(at("groups", i, "phase_cycles"), a.phase_cycles, e.phase_cycles);
    d.same(at("groups", i, "phase_ms"), a.phase_ms, e.phase_ms);
    d.same(at("groups", i, "work_cycles"), a.work_cycles, e.work_cycles);
    d.same(at("groups", i, "average_active_tiles"), a.average_active_tiles,
           e.average_active_tiles);
    d.same(at("groups", i, "mean_cycles"), a.mean_cycles, e.mean_cycles);
    d.same(at("groups", i, "p50_cycles"), a.p50_cycles, e.p50_cycles);
    d.same(at("groups", i, "p95_cycles"), a.p95_cycles, e.p95_cycles);
    d.same(at("groups", i, "maximum_cycles"), a.maximum_cycles,
           e.maximum_cycles);
    d.same(at("groups", i, "first_offset"), a.first_offset, e.first_offset);
    d.same(at("groups", i, "last_offset"), a.last_offset, e.last_offset);
  }
  d.same("samples.size", actual.samples.size(), expected.samples.size());
  for (std::size_t i = 0; !d.done() && i < actual.samples.size(); ++i) {
    const SampleRecord& a = actual.samples[i];
    const SampleRecord& e = expected.samples[i];
    d.same(at("samples", i, "physical_tile"), a.physical_tile, e.physical_tile);
    d.same(at("samples", i, "offset"), a.offset, e.offset);
    d.same(at("samples", i, "duration"), a.duration, e.duration);
    d.same(at("samples", i, "phase"), a.phase, e.phase);
    d.same(at("samples", i, "epoch"), a.epoch, e.epoch);
    d.same(at("samples", i, "kind"), a.kind, e.kind);
    d.same(at("samples", i, "operation"), a.operation, e.operation);
    d.same(at("samples", i, "kernel"), a.kernel, e.kernel);
    d.same(at("samples", i, "metadata.size"), a.metadata.size(),
           e.metadata.size());
    for (std::size_t m = 0; !d.done() && m < a.metadata.size(); ++m) {
      const std::string path =
          at("samples", i, "metadata[") + std::to_string(m) + "]";
      d.same(path + ".name", a.metadata[m].name, e.metadata[m].name);
      d.same(path + ".value", a.metadata[m].value, e.metadata[m].value);
    }
  }
  return d.result();
}

std::string first_difference(const ActivityReport& actual,
                             const ActivityReport& expected) {
  Differ d;
  d.same("clock_hz", actual.clock_hz, expected.clock_hz);
  d.same("profile_span_cycles", actual.profile_span_cycles,
         expected.profile_span_cycles);
  d.same("profile_span_ms", actual.profile_span_ms, expected.profile_span_ms);
  d.same("bucket_cycles", actual.bucket_cycles, expected.bucket_cycles);
  d.same("bucket_count", actual.bucket_count, expected.bucket_count);
  d.same("groups.size", actual.groups.size(), expected.groups.size());
  for (std::size_t i = 0; !d.done() && i < actual.groups.size(); ++i) {
    d.same(at("groups", i, "name"), actual.groups[i].name,
           expected.groups[i].name);
    d.same(at("groups", i, "busy_cycles"), actual.groups[i].busy_cycles,
           expected.groups[i].busy_cycles);
  }
  d.same("other_cycles", actual.other_cycles, expected.other_cycles);
  d.same("other_group_count", actual.other_group_count,
         expected.other_group_count);
  return d.result();
}

}  // namespace zun_profile::support

namespace zun_profile::support {

std::string first_difference(const zun_package::ProfileReport& actual,
                             const zun_package::ProfileReport& expected) {
  Differ d;
  d.same("clock_hz", actual.clock_hz, expected.clock_hz);
  d.same("tiles.size", actual.tiles.size(), expected.tiles.size());
  for (std::size_t t = 0; t < actual.tiles.size() && !d.done(); ++t) {
    const auto& a = actual.tiles[t];
    const auto& e = expected.tiles[t];
    const std::string tile = "tiles[" + std::to_string(t) + "]";
    d.same(tile + ".physical_tile", a.physical_tile, e.physical_tile);
    d.same(tile + ".samples.size", a.samples.size(), e.samples.size());
    for (std::size_t s = 0; s < a.samples.size() && !d.done(); ++s) {
      const auto& x = a.samples[s];
      const auto& y = e.samples[s];
      const std::string at = tile + ".samples[" + std::to_string(s) + "].";
      d.same(at + "start_cycle", x.start_cycle, y.start_cycle);
      d.same(at + "end_cycle", x.end_cycle, y.end_cycle);
      d.same(at + "local_index", x.step.local_index, y.step.local_index);
      d.same(at + "phase", x.step.phase, y.step.phase);
      d.same(at + "epoch", x.step.epoch, y.step.epoch);
      d.same(at + "kind", static_cast<std::uint32_t>(x.step.kind),
             static_cast<std::uint32_t>(y.step.kind));
      d.same(at + "kernel", x.step.kernel, y.step.kernel);
      d.same(at + "operation", x.step.operation, y.step.operation);
      d.same(at + "metadata.size", x.step.metadata.size(),
             y.step.metadata.size());
      for (std::size_t m = 0; m < x.step.metadata.size() && !d.done(); ++m) {
        d.same(at + "metadata[" + std::to_string(m) + "].name",
               x.step.metadata[m].name, y.step.metadata[m].name);
        d.same(at + "metadata[" + std::to_string(m) + "].value",
               x.step.metadata[m].value, y.step.metadata[m].value);
      }
    }
  }
  return d.result();
}

namespace {

template <typename Source>
std::string tile_batches_difference_of(const Source& source,
                                       const Query& request,
                                       const QueryReport& expected) {
  for (const std::size_t parts : {std::size_t{1}, std::size_t{3}}) {
    for (const std::size_t batch : {std::size_t{1}, std::size_t{5}}) {
      const QueryReport answer =
          detail::with_identity(source, request, [&](auto identity) {
            return detail::query_by_tile_batches(
                source, request, identity, parts,
                [](std::size_t count, const auto& task) {
                  for (std::size_t p = 0; p < count; ++p) task(p);
                },
                batch);
          });
      std::string difference = first_difference(answer, expected);
      if (!difference.empty()) {
        return "tile batches of " + std::to_string(batch) + " samples on " +
               std::to_string(parts) + " parts: " + difference;
      }
    }
  }
  return {};
}

// Where `request` takes the batches of tiles, over the store (`of_store`)
// or the records of a report of at most 5,000 samples and 64 tiles, their answer
// against the reference with batches of one sample and of five, on one
// part and on three; "" where they agree or do not apply.
std::string tile_batches_difference(const zun_package::ProfileReport& report,
                                    const zun_store::ReportStore& store,
                                    const Query& request, bool of_store) {
  // Batches this small cost a pass's setup each: small reports only.
  if (store.sample_count() > 5000 || store.tile_count() > 64) return {};
  const detail::StoreSource stored(store);
  const detail::RecordSource records(report);
  if (of_store ? !detail::takes_tile_batches(stored, request)
               : !detail::takes_tile_batches(records, request)) {
    return {};
  }
  const QueryReport expected = reference_query(report, request);
  std::string difference =
      of_store ? tile_batches_difference_of(stored, request, expected)
               : tile_batches_difference_of(records, request, expected);
  if (!difference.empty()) {
    return (of_store ? "store, " : "records, ") + difference;
  }
  return {};
}

}  // namespace

std::string first_difference_of_sources(
    const zun_package::ProfileReport& report,
    const zun_store::ReportStore& store, const Query& request) {
  const QueryReport expected = reference_query(report, request);
  std::string difference = first_difference(query(report, request), expected);
  if (!difference.empty()) return "records: " + difference;
  difference = first_difference(query(store, request), expected);
  if (!difference.empty()) return "store: " + difference;
  for (const bool of_store : {false, true}) {
    difference = tile_batches_difference(report, store, request, of_store);
    if (!difference.empty()) return difference;
  }
  return {};
}

std::string first_activity_difference_of_sources(
    const zun_package::ProfileReport& report,
    const zun_store::ReportStore& store, const Query& request,
    std::size_t buckets) {
  const ActivityReport expected =
      reference_activity(report, request, buckets);
  std::string difference =
      first_difference(activity(report, request, buckets), expected);
  if (!difference.empty()) return "records: " + difference;
  difference = first_difference(activity(store, request, buckets), expected);
  if (!difference.empty()) return "store: " + difference;
  // Cut into three parts, run on the calling thread.
  difference =
      first_difference(activity(store, request, buckets, 3, {}), expected);
  if (!difference.empty()) return "store, in three parts: " + difference;
  return {};
}

}  // namespace zun_profile::support
