#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frontend_core/diff/diff.hpp"
#include "python/src/bindings.hpp"
#include "python/src/store_handle.hpp"
#include "python/src/texts.hpp"
#include "query/query.hpp"

// Comparing two reports as profile-query diff does: every group of both
// answered, matched by label, ordered by the change, the gate applied to
// every row before any limit cuts them.
namespace zun_python {
namespace {

using profile_query::DiffReport;
using profile_query::DiffRow;

template <typename Value, typename Field>
py::array_t<Value> column(const std::vector<DiffRow>& rows, Field field) {
  py::array_t<Value> array(static_cast<py::ssize_t>(rows.size()));
  Value* out = array.mutable_data();
  for (std::size_t i = 0; i < rows.size(); ++i) out[i] = field(rows[i]);
  return array;
}

py::dict run_figures(const profile_query::RunFigures& run) {
  py::dict out;
  out["source"] = to_str(run.source);
  out["tile_count"] = run.tile_count;
  out["sample_count"] = run.sample_count;
  out["matched_sample_count"] = run.matched_sample_count;
  out["profile_span_cycles"] = run.profile_span_cycles;
  return out;
}

// How a report of shards is named: its shards' names joined by " + ".
std::string name_of(const std::vector<StoreHandle>& shards) {
  std::string name;
  for (const StoreHandle& shard : shards) {
    if (!name.empty()) name += " + ";
    name += shard.source;
  }
  return name;
}

py::dict diff(const std::vector<StoreHandle>& base,
              const std::vector<StoreHandle>& after,
              zun_profile::Query request,
              const std::optional<std::string>& fail_above, unsigned threads) {
  std::optional<profile_query::GateThreshold> gate;
  if (fail_above) {
    gate = profile_query::parse_threshold(*fail_above);
    if (!gate) {
      throw py::value_error(
          "parameter 'fail_above': expected a percentage such as 10 or 2.5 "
          "(at most six decimals), got '" + *fail_above + "'");
    }
  }
  const std::optional<std::size_t> limit = request.limit;
  request.limit.reset();
  request.sample_limit = 0;
  DiffReport report;
  std::vector<bool> regressed;
  std::vector<std::string> failures;
  const auto base_answer = query_shards(base, request, threads);
  const auto after_answer = query_shards(after, request, threads);
  {
    py::gil_scoped_release unlocked;
    report = profile_query::diff_results(base_answer, after_answer,
                                         request.sort_by, name_of(base),
                                         name_of(after));
    if (gate) {
      regressed = profile_query::regressed_rows(report, *gate);
      failures = profile_query::regressions(report, *gate);
    }
    if (limit && report.rows.size() > *limit) {
      report.rows.resize(*limit);
      if (gate) regressed.resize(*limit);
    }
  }
  const std::vector<DiffRow>& rows = report.rows;
  py::dict out;
  py::list names;
  py::list status;
  py::list deltas;  // Python ints: a signed change of two 64-bit figures
  py::list percents;
  for (const DiffRow& row : rows) {
    names.append(to_str(row.name));
    status.append(to_str(profile_query::presence_name(row.presence)));
    const py::int_ magnitude(row.delta);
    deltas.append(row.grew || row.delta == 0 ? magnitude
                                             : py::int_(-magnitude));
    if (row.percent) {
      percents.append(*row.percent);
    } else {
      percents.append(py::none());
    }
  }
  out["name"] = names;
  out["status"] = status;
  out["base_key"] = column<std::uint64_t>(rows, [](auto& r) { return r.base.key; });
  out["new_key"] = column<std::uint64_t>(rows, [](auto& r) { return r.after.key; });
  out["delta"] = deltas;
  out["delta_percent"] = percents;
  const auto sides = [&](const char* field, auto get) {
    out[(std::string("base_") + field).c_str()] =
        column<decltype(get(rows.front().base))>(
            rows, [&](auto& r) { return get(r.base); });
    out[(std::string("new_") + field).c_str()] =
        column<decltype(get(rows.front().base))>(
            rows, [&](auto& r) { return get(r.after); });
  };
  using Side = profile_query::DiffSide;
  sides("sample_count", [](const Side& s) { return std::uint64_t{s.sample_count}; });
  sides("work_cycles", [](const Side& s) { return s.work_cycles; });
  sides("p50_cycles", [](const Side& s) { return s.p50_cycles; });
  sides("p95_cycles", [](const Side& s) { return s.p95_cycles; });
  sides("maximum_cycles", [](const Side& s) { return s.maximum_cycles; });
  if (gate) {
    py::list flags;
    for (const bool flag : regressed) flags.append(flag);
    out["regressed"] = flags;
  }
  py::list lines;
  for (const std::string& line : failures) lines.append(to_str(line));
  out["regressions"] = lines;
  out["key"] = to_str(report.key_name);
  out["base"] = run_figures(report.base);
  out["new"] = run_figures(report.after);
  out["group_count"] = report.group_count;
  out["added_count"] = report.added_count;
  out["removed_count"] = report.removed_count;
  return out;
}

}  // namespace

void bind_diff(py::module_& module) {
  module.def("diff", &diff, py::arg("base"), py::arg("new"),
             py::arg("request"), py::arg("fail_above"), py::arg("threads") = 0,
             "Compares two reports under one request, as profile-query diff.");
}

}  // namespace zun_python
