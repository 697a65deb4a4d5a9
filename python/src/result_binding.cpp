#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend_core/rendering/render.hpp"
#include "python/src/bindings.hpp"
#include "python/src/texts.hpp"
#include "query/query.hpp"

// A query's answer, handed to Python as it is and read out as columns: one
// typed array per field, the texts as str.
namespace zun_python {
namespace {

using zun_profile::GroupSummary;
using zun_profile::QueryReport;
using zun_profile::SampleRecord;

// One array of `rows`, element i being field(rows[i]).
template <typename Value, typename Row, typename Field>
py::array_t<Value> column(const std::vector<Row>& rows, Field field) {
  py::array_t<Value> array(static_cast<py::ssize_t>(rows.size()));
  Value* out = array.mutable_data();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    out[i] = static_cast<Value>(field(rows[i]));
  }
  return array;
}

py::dict group_columns(const QueryReport& result) {
  const std::vector<GroupSummary>& g = result.groups;
  py::dict out;
  py::list names;
  py::list dimensions;
  for (const GroupSummary& row : g) {
    names.append(to_str(row.name));
    py::dict dims;
    for (const auto& [key, value] : row.dimensions) dims[to_str(key)] = to_str(value);
    dimensions.append(dims);
  }
  out["name"] = names;
  out["dimensions"] = dimensions;
  using u64 = std::uint64_t;
  using u32 = std::uint32_t;
  out["sample_count"] = column<u64>(g, [](auto& r) { return r.sample_count; });
  out["tile_count"] = column<u64>(g, [](auto& r) { return r.tile_count; });
  out["phase_count"] = column<u64>(g, [](auto& r) { return r.phase_count; });
  out["phase_cycles"] = column<u64>(g, [](auto& r) { return r.phase_cycles; });
  out["phase_ms"] = column<double>(g, [](auto& r) { return r.phase_ms; });
  out["work_cycles"] = column<u64>(g, [](auto& r) { return r.work_cycles; });
  out["average_active_tiles"] =
      column<double>(g, [](auto& r) { return r.average_active_tiles; });
  out["mean_cycles"] = column<double>(g, [](auto& r) { return r.mean_cycles; });
  out["p50_cycles"] = column<u32>(g, [](auto& r) { return r.p50_cycles; });
  out["p95_cycles"] = column<u32>(g, [](auto& r) { return r.p95_cycles; });
  out["maximum_cycles"] =
      column<u32>(g, [](auto& r) { return r.maximum_cycles; });
  out["first_offset"] = column<u64>(g, [](auto& r) { return r.first_offset; });
  out["last_offset"] = column<u64>(g, [](auto& r) { return r.last_offset; });
  return out;
}

py::dict sample_columns(const QueryReport& result) {
  const std::vector<SampleRecord>& s = result.samples;
  py::dict out;
  out["physical_tile"] =
      column<std::uint32_t>(s, [](auto& r) { return r.physical_tile; });
  out["offset"] = column<std::uint64_t>(s, [](auto& r) { return r.offset; });
  out["duration"] = column<std::uint32_t>(s, [](auto& r) { return r.duration; });
  out["phase"] = column<std::uint32_t>(s, [](auto& r) { return r.phase; });
  out["epoch"] = column<std::uint32_t>(s, [](auto& r) { return r.epoch; });
  py::list kinds;
  py::list operations;
  py::list kernels;
  py::list metadata;
  for (const SampleRecord& row : s) {
    kinds.append(to_str(row.kind));
    operations.append(to_str(row.operation));
    kernels.append(to_str(row.kernel));
    py::list entries;
    for (const auto& entry : row.metadata) {
      entries.append(py::make_tuple(to_str(entry.name), to_str(entry.value)));
    }
    metadata.append(entries);
  }
  out["kind"] = kinds;
  out["operation"] = operations;
  out["kernel"] = kernels;
  out["metadata"] = metadata;
  return out;
}

py::dict figures(const QueryReport& result) {
  py::dict out;
  out["clock_hz"] = result.clock_hz;
  out["tile_count"] = result.tile_count;
  out["sample_count"] = result.sample_count;
  out["matched_sample_count"] = result.matched_sample_count;
  out["profile_span_cycles"] = result.profile_span_cycles;
  out["profile_span_ms"] = result.profile_span_ms;
  if (result.at_offset) {
    out["at_offset"] = *result.at_offset;
  } else {
    out["at_offset"] = py::none();
  }
  return out;
}

}  // namespace

void bind_result(py::module_& module) {
  py::class_<QueryReport>(module, "Answer", "A query's answer.")
      .def("json", [](const QueryReport& r) { return to_str(profile_query::render_json(r)); },
           "The answer exactly as profile-query --format json prints it.")
      .def("group_columns", &group_columns)
      .def("sample_columns", &sample_columns)
      .def("figures", &figures)
      .def_property_readonly("group_count",
                             [](const QueryReport& r) { return r.groups.size(); })
      .def_property_readonly("matched_sample_count", [](const QueryReport& r) {
        return r.matched_sample_count;
      });
}

}  // namespace zun_python
