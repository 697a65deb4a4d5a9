#include "frontend_core/rendering/render_trace.hpp"

#include <algorithm>
#include <string>

#include "frontend_core/rendering/json_text.hpp"
#include "query/engine/labels.hpp"

namespace profile_query {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

// Calls visit(tile, position, offset, duration) for every sample `window`
// holds, in report order.
template <typename Visit>
void for_each_in_window(const zun_store::ReportStore& store,
                        const TraceWindow& window, Visit&& visit) {
  const std::uint32_t* starts = store.start_cycles();
  const std::uint32_t* ends = store.end_cycles();
  for (std::size_t t = 0; t < store.tile_count(); ++t) {
    if (!window.tiles.empty() && !window.tiles.contains(store.physical_tile(t)))
      continue;
    const std::size_t begin = store.tile_begin(t);
    for (std::size_t i = begin; i < store.tile_end(t); ++i) {
      const std::uint64_t offset = static_cast<std::uint32_t>(starts[i] - starts[begin]);
      const std::uint32_t duration = static_cast<std::uint32_t>(ends[i] - starts[i]);
      // Overlaps [from, to); a sample of no duration counts at its start.
      const std::uint64_t end = offset + std::max<std::uint32_t>(duration, 1);
      if (end <= window.from) continue;
      if (window.to && offset >= *window.to) continue;
      visit(t, i, offset, duration);
    }
  }
}

}  // namespace

std::size_t trace_sample_count(const zun_store::ReportStore& store,
                               const TraceWindow& window) {
  std::size_t count = 0;
  for_each_in_window(store, window,
                     [&](std::size_t, std::size_t, std::uint64_t,
                         std::uint32_t) { ++count; });
  return count;
}

void write_trace_events(const zun_store::ReportStore& store,
                        const TraceWindow& window,
                        const std::function<void(std::string_view)>& emit) {
  const double hz = static_cast<double>(store.clock_hz());
  // Microseconds from cycles; cycles themselves without a clock.
  const auto micros = [&](std::uint64_t cycles) {
    return hz > 0 ? static_cast<double>(cycles) * 1e6 / hz
                  : static_cast<double>(cycles);
  };
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
  const std::uint32_t* kernels = store.kernels();
  const std::uint32_t* operations = store.operations();
  for_each_in_window(store, window, [&](std::size_t tile, std::size_t i,
                                        std::uint64_t offset,
                                        std::uint32_t duration) {
    next();
    const std::string_view kernel = store.text(kernels[i]);
    const std::string_view operation = store.text(operations[i]);
    out += "{\"name\": ";
    append_string(out, kernel.empty() ? operation : kernel);
    out += ", \"cat\": ";
    append_string(out, zun_profile::detail::kind_name(
                           static_cast<zun_package::ProfileStepKind>(store.kinds()[i])));
    out += ", \"ph\": \"X\", \"ts\": ";
    append_number(out, micros(offset));
    out += ", \"dur\": ";
    append_number(out, micros(duration));
    out += ", \"pid\": 0, \"tid\": ";
    append_number(out, tile);
    out += ", \"args\": {\"operation\": ";
    append_string(out, operation);
    out += ", \"kernel\": ";
    append_string(out, kernel);
    out += ", \"phase\": ";
    append_number(out, store.phases()[i]);
    out += ", \"epoch\": ";
    append_number(out, store.epochs()[i]);
    out += ", \"offset_cycles\": ";
    append_number(out, offset);
    out += ", \"duration_cycles\": ";
    append_number(out, duration);
    for (const zun_store::MetadataRef& entry :
         store.metadata_list(store.metadata_lists()[i])) {
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
