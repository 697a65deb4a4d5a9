#include <pybind11/stl.h>

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "frontend_core/querying/parallel_query.hpp"
#include "frontend_core/reading/report_reader.hpp"
#include "frontend_core/reading/report_set.hpp"
#include "python/src/bindings.hpp"
#include "python/src/store_handle.hpp"
#include "python/src/texts.hpp"
#include "query/partial.hpp"
#include "store/store_builder.hpp"

// Shards of one report and partial answers: the parallel query over the
// shards, one store made of them, and the partials that travel between
// processes (the Dask path) as bytes.
namespace zun_python {

std::vector<zun_store::ReportStore const*> stores_of(
    std::span<const StoreHandle> shards) {
  std::vector<zun_store::ReportStore const*> stores;
  stores.reserve(shards.size());
  for (const StoreHandle& shard : shards) stores.push_back(&shard.checked());
  return stores;
}

namespace {

// Refuses shards whose clocks differ, as profile-query does.
void check_clocks(std::span<const StoreHandle> shards) {
  for (const StoreHandle& shard : shards) {
    if (shard.store->clock_hz() != shards.front().store->clock_hz()) {
      throw profile_query::InputError(
          shard.source + ": its clock, " +
          std::to_string(shard.store->clock_hz()) + " Hz, is not the " +
          std::to_string(shards.front().store->clock_hz()) + " Hz of " +
          shards.front().source + "; the inputs must be parts of one run");
    }
  }
}

unsigned threads_or_cores(unsigned threads) {
  return threads == 0 ? profile_query::default_threads() : threads;
}

py::bytes as_python_bytes(const std::vector<std::byte>& bytes) {
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A partial's bytes as a span, from Python bytes (or any buffer).
zun_profile::QueryPartial from_python(const py::bytes& bytes) {
  const std::string_view view(bytes);
  try {
    return zun_profile::partial_from_bytes(
        std::as_bytes(std::span(view.data(), view.size())));
  } catch (const std::invalid_argument& error) {
    throw py::value_error(error.what());
  }
}

}  // namespace

zun_profile::QueryReport query_shards(std::span<const StoreHandle> shards,
                                      const zun_profile::Query& request,
                                      unsigned threads) {
  check_clocks(shards);
  const std::vector<zun_store::ReportStore const*> stores = stores_of(shards);
  py::gil_scoped_release unlocked;
  return profile_query::query_shards(stores, request, threads_or_cores(threads));
}

void bind_shards(py::module_& module) {
  module.def(
      "query_shards",
      [](const std::vector<StoreHandle>& shards,
         const zun_profile::Query& request, unsigned threads) {
        return query_shards(shards, request, threads);
      },
      py::arg("shards"), py::arg("request"), py::arg("threads"),
      "The answer over shards as one report, on `threads` threads (0: the "
      "machine's cores).");

  module.def(
      "check_clocks",
      [](const std::vector<StoreHandle>& shards) { check_clocks(shards); },
      py::arg("shards"), "Refuses shards whose clocks differ.");

  module.def(
      "combine",
      [](const std::vector<StoreHandle>& shards, const std::string& source) {
        check_clocks(shards);
        std::shared_ptr<const zun_store::ReportStore> combined;
        {
          py::gil_scoped_release unlocked;
          zun_store::StoreBuilder builder(
              shards.empty() ? 0 : shards.front().store->clock_hz());
          for (const StoreHandle& shard : shards) {
            const zun_store::ReportStore& store = shard.checked();
            for (std::size_t t = 0; t < store.tile_count(); ++t) {
              builder.add_tile(store.tile_records(t));
            }
          }
          combined = std::make_shared<const zun_store::ReportStore>(
              builder.finish());
        }
        return StoreHandle{std::move(combined), source};
      },
      py::arg("shards"), py::arg("source"),
      "One store in memory of the shards' tiles, one after another.");

  module.def(
      "partial",
      [](const StoreHandle& shard, const zun_profile::Query& request) {
        std::vector<std::byte> bytes;
        {
          py::gil_scoped_release unlocked;
          bytes = zun_profile::to_bytes(zun_profile::partial_query(
              shard.checked(), request, 0, shard.store->tile_count()));
        }
        return as_python_bytes(bytes);
      },
      py::arg("shard"), py::arg("request"),
      "The partial answer over every tile of a shard, as bytes.");

  module.def(
      "merge_partials",
      [](const py::bytes& first, const py::bytes& next) {
        zun_profile::QueryPartial into = from_python(first);
        zun_profile::QueryPartial from = from_python(next);
        std::vector<std::byte> bytes;
        try {
          py::gil_scoped_release unlocked;
          zun_profile::merge(into, std::move(from));
          bytes = zun_profile::to_bytes(into);
        } catch (const std::invalid_argument& error) {
          throw py::value_error(error.what());
        }
        return as_python_bytes(bytes);
      },
      py::arg("first"), py::arg("next"),
      "Two partials' bytes (the second of the tiles after the first's) "
      "merged, as bytes.");

  module.def(
      "partial_figures",
      [](const py::bytes& bytes) {
        const zun_profile::QueryPartial partial = from_python(bytes);
        py::dict out;
        out["clock_hz"] = partial.clock_hz();
        out["tile_count"] = partial.tile_count();
        out["sample_count"] = partial.sample_count();
        out["profile_span_cycles"] = partial.profile_span_cycles();
        out["group_count"] = partial.group_count();
        return out;
      },
      py::arg("partial"), "A partial's whole-report figures and group count.");

  module.def(
      "finish_partial",
      [](const py::bytes& bytes, const zun_profile::Query& request) {
        zun_profile::QueryPartial partial = from_python(bytes);
        try {
          py::gil_scoped_release unlocked;
          return zun_profile::finish(std::move(partial), request);
        } catch (const std::invalid_argument& error) {
          throw py::value_error(error.what());
        }
      },
      py::arg("partial"), py::arg("request"),
      "The answer a partial's bytes give for `request`.");
}

}  // namespace zun_python
