#include "frontend_core/rendering/render_trace.hpp"

#include <limits>
#include <string>

#include "frontend_core/rendering/json_text.hpp"
#include "query/engine/labels.hpp"
#include "query/engine/selection.hpp"

namespace profile_query {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

// Calls visit(tile, step, offset, duration) for every sample `window`
// holds, in report order.
template <typename Visit>
void for_each_in_window(const zun_store::ReportStore& store,
                        const TraceWindow& window, Visit&& visit) {
  // A query's time window: the same samples as `--from`/`--to` select.
  const zun_profile::TimeWindow cycles{
      window.from, window.to.value_or(std::numeric_limits<std::uint64_t>::max())};
  for (std::size_t t = 0; t < store.tile_count(); ++t) {
    if (!window.tiles.empty() && !window.tiles.contains(store.physical_tile(t)))
      continue;
    const zun_store::SampleColumns columns = store.tile_samples(t);
    const std::uint32_t* starts = columns.starts;
    const std::uint32_t* ends = columns.ends;
    for (std::size_t i = 0; i < columns.count; ++i) {
      const std::uint64_t offset = static_cast<std::uint32_t>(starts[i] - starts[0]);
      const std::uint32_t duration = static_cast<std::uint32_t>(ends[i] - starts[i]);
      if (zun_profile::detail::meets_window(cycles, offset, duration)) {
        visit(t, columns.steps[i], offset, duration);
      }
    }
  }
}

// Nanoseconds from cycles at `hz`, the nearest whole number (cycles as
// microseconds without a clock). `cycles` is below 2^33 (an offset and a
// duration, each below 2^32), so the nanoseconds fit 64 bits at any clock.
std::uint64_t nanoseconds(std::uint64_t cycles, std::uint64_t hz) {
  if (hz == 0) return cycles * 1000;
  __extension__ using Wide = unsigned __int128;
  return static_cast<std::uint64_t>((Wide{cycles} * 1'000'000'000u + hz / 2) /
                                    hz);
}

// `ns` as microseconds in decimal, exactly: "12", "12.5", "0.075".
void append_microseconds(std::string& out, std::uint64_t ns) {
  append_number(out, ns / 1000);
  std::uint64_t fraction = ns % 1000;
  if (fraction == 0) return;
  out += '.';
  for (std::uint64_t digit = 100; fraction != 0; digit /= 10) {
    out += static_cast<char>('0' + fraction / digit);
    fraction %= digit;
  }
}

}  // namespace

std::size_t trace_sample_count(const zun_store::ReportStore& store,
                               const TraceWindow& window) {
  std::size_t count = 0;
  for_each_in_window(store, window,
                     [&](std::size_t, std::uint32_t, std::uint64_t,
                         std::uint32_t) { ++count; });
  return count;
}

std::optional<std::string> trace_window_fault(
    const zun_store::ReportStore& store, const TraceWindow& window,
    std::size_t count) {
  if (!window.tiles.empty()) {
    std::set<std::uint32_t> present;
    for (std::size_t t = 0; t < store.tile_count(); ++t) {
      present.insert(store.physical_tile(t));
    }
    for (const std::uint32_t tile : window.tiles) {
      if (!present.contains(tile)) {
        return "tile " + std::to_string(tile) + " is not in the report";
      }
    }
  }
  if (count > 0 || (window.from == 0 && !window.to)) return std::nullopt;
  std::string message = "no sample runs ";
  message += window.to ? "between cycles " + std::to_string(window.from) +
                             " and " + std::to_string(*window.to)
                       : "at or after cycle " + std::to_string(window.from);
  if (!window.tiles.empty()) message += " on the tiles asked for";
  return message;
}

void write_trace_events(const zun_store::ReportStore& store,
                        const TraceWindow& window,
                        const std::function<void(std::string_view)>& emit) {
  const std::uint64_t hz = store.clock_hz();
  std::string out = "{\"traceEvents\": [\n";
  bool first = true;
  const auto next = [&] {
    if (!first) out += ",\n";
    first = false;
    if (out.size() >= kPiece) {
      emit(out);
      out.clear();
    }
  };
  // A track per tile entry, named by its physical tile, in report order.
  for (std::size_t t = 0; t < store.tile_count(); ++t) {
    if (!window.tiles.empty() && !window.tiles.contains(store.physical_tile(t)))
      continue;
    next();
    out += "{\"name\": \"thread_name\", \"ph\": \"M\", \"pid\": 0, \"tid\": ";
    append_number(out, t);
    out += ", \"args\": {\"name\": \"tile ";
    append_number(out, store.physical_tile(t));
    out += "\"}},\n{\"name\": \"thread_sort_index\", \"ph\": \"M\", \"pid\": 0, \"tid\": ";
    append_number(out, t);
    out += ", \"args\": {\"sort_index\": ";
    append_number(out, t);
    out += "}}";
  }
  const std::uint32_t* kernels = store.step_kernels();
  const std::uint32_t* operations = store.step_operations();
  for_each_in_window(store, window, [&](std::size_t tile, std::uint32_t i,
                                        std::uint64_t offset,
                                        std::uint32_t duration) {
    next();
    const std::string_view kernel = store.text(kernels[i]);
    const std::string_view operation = store.text(operations[i]);
    out += "{\"name\": ";
    append_string(out, kernel.empty() ? operation : kernel);
    out += ", \"cat\": ";
    append_string(out, zun_profile::detail::kind_name(
                           static_cast<zun_package::ProfileStepKind>(store.step_kinds()[i])));
    const std::uint64_t start = nanoseconds(offset, hz);
    out += ", \"ph\": \"X\", \"ts\": ";
    append_microseconds(out, start);
    out += ", \"dur\": ";
    append_microseconds(out, nanoseconds(offset + duration, hz) - start);
    out += ", \"pid\": 0, \"tid\": ";
    append_number(out, tile);
    out += ", \"args\": {\"operation\": ";
    append_string(out, operation);
    out += ", \"kernel\": ";
    append_string(out, kernel);
    out += ", \"phase\": ";
    append_number(out, store.step_phases()[i]);
    out += ", \"epoch\": ";
    append_number(out, store.step_epochs()[i]);
    out += ", \"offset_cycles\": ";
    append_number(out, offset);
    out += ", \"duration_cycles\": ";
    append_number(out, duration);
    for (const zun_store::MetadataRef& entry :
         store.metadata_list(store.step_metadata_lists()[i])) {
      out += ", ";
      // Metadata names may repeat or clash with the fields above: prefixed.
      std::string name = "metadata.";
      name += store.text(entry.name);
      append_string(out, name);
      out += ": ";
      append_string(out, store.text(entry.value));
    }
    out += "}}";
  });
  out += "\n],\n\"otherData\": {\"clock_hz\": ";
  append_number(out, store.clock_hz());
  out += ", \"time_unit\": ";
  append_string(out, hz > 0 ? "microseconds" : "cycles");
  out += "}}\n";
  emit(out);
}

}  // namespace profile_query
