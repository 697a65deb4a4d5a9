#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "frontend_core/options/request_options.hpp"
#include "frontend_core/reading/progress.hpp"
#include "frontend_core/reading/report_reader.hpp"
#include "python/src/bindings.hpp"
#include "python/src/store_handle.hpp"
#include "python/src/texts.hpp"
#include "query/activity.hpp"
#include "query/query.hpp"
#include "query/time/shard_activity.hpp"

namespace zun_python {
namespace {

// Opens the report at `path` as profile-query does. Progress goes to
// `listener` (stage, bytes done, total) when given, else to standard error
// as a line when `show_line`. The GIL is let go while reading.
StoreHandle open_report(const std::string& path, const py::object& listener,
                        bool show_line) {
  const std::string source = profile_query::source_name(path);
  std::optional<profile_query::ProgressMeter> meter;
  if (!listener.is_none()) {
    meter.emplace(
        [&listener](std::string_view stage, std::uint64_t done,
                    std::uint64_t total) {
          py::gil_scoped_acquire gil;
          listener(to_str(stage), done, total);
        },
        source);
  } else {
    meter.emplace(std::cerr, source, show_line);
  }
  std::shared_ptr<const zun_store::ReportStore> store;
  {
    py::gil_scoped_release unlocked;
    store = std::make_shared<const zun_store::ReportStore>(
        profile_query::load_store(path, &*meter));
  }
  return {std::move(store), source};
}

using Numbers = py::array_t<std::uint32_t, py::array::c_style>;

// The request that name/value pairs spell, named and valued like
// profile-query's options without their dashes, with the tiles and phases
// given apart as arrays (a million of them as pairs would take seconds); a
// ValueError naming the first offending pair otherwise.
zun_profile::Query make_request(const py::list& parameters,
                                const Numbers& tiles, const Numbers& phases) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(parameters.size());
  for (const py::handle item : parameters) {
    const auto pair = item.cast<py::tuple>();
    const std::string name = to_text(pair[0], "name");
    pairs.emplace_back(name, to_text(pair[1], name));
  }
  auto parsed = profile_query::parse_request_options(pairs);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    throw py::value_error(*error);
  }
  zun_profile::Query request = std::get<zun_profile::Query>(std::move(parsed));
  const auto add = [](std::set<std::uint32_t>& into, const Numbers& values) {
    const std::uint32_t* data = values.data();
    // Ascending values go in at the end in constant time each.
    for (py::ssize_t i = 0; i < values.size(); ++i) {
      into.insert(into.end(), data[i]);
    }
  };
  add(request.tiles, tiles);
  add(request.phases, phases);
  return request;
}

py::array_t<std::uint64_t> to_array(const std::vector<std::uint64_t>& values) {
  py::array_t<std::uint64_t> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// An activity answer as plain Python values and arrays.
py::dict activity_dict(const zun_profile::ActivityReport& answer) {
  py::dict out;
  out["clock_hz"] = answer.clock_hz;
  out["profile_span_cycles"] = answer.profile_span_cycles;
  out["profile_span_ms"] = answer.profile_span_ms;
  out["bucket_cycles"] = answer.bucket_cycles;
  out["bucket_count"] = answer.bucket_count;
  py::list names;
  py::list series;
  for (const zun_profile::ActivitySeries& group : answer.groups) {
    names.append(to_str(group.name));
    series.append(to_array(group.busy_cycles));
  }
  out["names"] = names;
  out["series"] = series;
  out["other"] = to_array(answer.other_cycles);
  out["other_group_count"] = answer.other_group_count;
  return out;
}

}  // namespace

void bind_report(py::module_& module) {
  py::class_<zun_profile::Query>(module, "Request",
                                 "A checked query request.");
  module.def("request", &make_request, py::arg("parameters"),
             py::arg("tiles") = Numbers(0), py::arg("phases") = Numbers(0),
             "The request that (name, value) pairs spell, named like "
             "profile-query's options without their dashes, and the tiles "
             "and phases as uint32 arrays.");

  py::class_<StoreHandle>(module, "Store", "A report held as a store.")
      .def_property_readonly(
          "clock_hz", [](const StoreHandle& s) { return s.store->clock_hz(); })
      .def_property_readonly(
          "tile_count",
          [](const StoreHandle& s) { return s.store->tile_count(); })
      .def_property_readonly(
          "sample_count",
          [](const StoreHandle& s) { return s.store->sample_count(); })
      .def_property_readonly(
          "source", [](const StoreHandle& s) { return to_str(s.source); })
      .def_property_readonly(
          "tiles",
          [](const StoreHandle& s) {
            const zun_store::ReportStore& store = s.checked();
            Numbers tiles(static_cast<py::ssize_t>(store.tile_count()));
            std::uint32_t* out = tiles.mutable_data();
            for (std::size_t t = 0; t < store.tile_count(); ++t) {
              out[t] = store.physical_tile(t);
            }
            return tiles;
          },
          "Each tile entry's physical tile number, in report order.")
      .def(
          "query",
          [](const StoreHandle& s, const zun_profile::Query& request,
             unsigned threads) {
            return query_shards(std::span(&s, 1), request, threads);
          },
          py::arg("request"), py::arg("threads") = 1)
      .def(
          "activity",
          [](const StoreHandle& s, const zun_profile::Query& request,
             std::size_t buckets) {
            zun_profile::ActivityReport answer;
            {
              py::gil_scoped_release unlocked;
              answer = zun_profile::activity(s.checked(), request, buckets);
            }
            return activity_dict(answer);
          },
          py::arg("request"), py::arg("buckets"));

  module.def(
      "shard_activity",
      [](const StoreHandle& shard, const zun_profile::Query& request,
         std::size_t buckets, std::uint64_t span_cycles,
         const std::vector<std::string>& series) {
        zun_profile::ActivityReport answer;
        {
          py::gil_scoped_release unlocked;
          answer = zun_profile::detail::shard_activity(
              shard.checked(), request, buckets, span_cycles, series);
        }
        return activity_dict(answer);
      },
      py::arg("shard"), py::arg("request"), py::arg("buckets"),
      py::arg("span_cycles"), py::arg("series"),
      "A shard's activity on the whole report's buckets and series.");

  module.def("open", &open_report, py::arg("path"), py::arg("listener"),
             py::arg("show_line"),
             "Opens a JSON report or a store, told by its first bytes.");
}

}  // namespace zun_python
