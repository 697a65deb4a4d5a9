#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "python/src/bindings.hpp"
#include "python/src/store_handle.hpp"
#include "python/src/texts.hpp"

// A store's samples as numpy arrays, for a frame of every sample: the
// stored columns as views of the store (no copy; each array holds the
// store alive), the derived ones (tile, offset, duration) computed, and the
// texts as category codes into the texts each column uses.
namespace zun_python {
namespace {

using zun_store::ReportStore;

// A read-only array over `count` values of the store at `data`, keeping the
// store alive as long as it lives.
py::array stored(const StoreHandle& handle, const std::uint32_t* data) {
  auto* owner = new std::shared_ptr<const ReportStore>(handle.store);
  py::capsule keeper(owner, [](void* held) {
    delete static_cast<std::shared_ptr<const ReportStore>*>(held);
  });
  py::array_t<std::uint32_t> array(
      {static_cast<py::ssize_t>(handle.store->sample_count())}, {4}, data,
      keeper);
  py::detail::array_proxy(array.ptr())->flags &=
      ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return array;
}

const std::uint32_t* column_data(const ReportStore& store, std::string_view name) {
  if (name == "start_cycle") return store.start_cycles();
  if (name == "end_cycle") return store.end_cycles();
  if (name == "phase") return store.phases();
  if (name == "epoch") return store.epochs();
  if (name == "local_index") return store.local_indices();
  throw py::value_error("no stored column '" + std::string(name) + "'");
}

// For every sample, f(tile, position) written to out[position].
template <typename Value, typename Fill>
py::array_t<Value> per_sample(const ReportStore& store, Fill fill) {
  py::array_t<Value> array(static_cast<py::ssize_t>(store.sample_count()));
  Value* out = array.mutable_data();
  {
    py::gil_scoped_release unlocked;
    for (std::size_t t = 0; t < store.tile_count(); ++t) {
      fill(t, store.tile_begin(t), store.tile_end(t), out);
    }
  }
  return array;
}

// Codes (int32) into the distinct texts of a column of text ids, those
// texts in the store's order (byte order), as (codes, texts).
py::tuple text_codes(const ReportStore& store, const std::uint32_t* ids) {
  const std::size_t count = store.sample_count();
  std::vector<std::int32_t> code_of(store.text_count(), -1);
  py::array_t<std::int32_t> codes(static_cast<py::ssize_t>(count));
  std::int32_t* out = codes.mutable_data();
  std::vector<std::uint32_t> used;
  {
    py::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < count; ++i) code_of[ids[i]] = 0;
    std::int32_t next = 0;
    for (std::size_t id = 0; id < code_of.size(); ++id) {
      if (code_of[id] == 0) {
        code_of[id] = next++;
        used.push_back(static_cast<std::uint32_t>(id));
      }
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = code_of[ids[i]];
  }
  py::list texts;
  for (const std::uint32_t id : used) texts.append(to_str(store.text(id)));
  return py::make_tuple(codes, texts);
}

// Per metadata name used by any sample, each sample's value of its first
// entry with that name as a code (-1 where it has none) into the distinct
// values that name takes, as {name: (codes, values)}, names and values in
// the store's (byte) order. Two passes over the metadata lists, then one
// over the samples per name.
py::dict metadata_codes(const ReportStore& store) {
  const std::size_t lists = store.metadata_list_count();
  const std::size_t count = store.sample_count();
  const std::uint32_t* list_of = store.metadata_lists();
  // Each name's distinct values, coded in the store's order.
  std::map<std::uint32_t, std::map<std::uint32_t, std::int32_t>> values_of;
  for (std::uint32_t l = 0; l < lists; ++l) {
    for (const zun_store::MetadataRef& entry : store.metadata_list(l)) {
      values_of[entry.name].emplace(entry.value, 0);
    }
  }
  // Per name, each list's code: its first entry of that name, or -1.
  std::map<std::uint32_t, std::vector<std::int32_t>> code_of_list;
  for (auto& [name, values] : values_of) {
    std::int32_t next = 0;
    for (auto& [value, code] : values) code = next++;
    code_of_list[name].assign(lists, -1);
  }
  for (std::uint32_t l = 0; l < lists; ++l) {
    for (const zun_store::MetadataRef& entry : store.metadata_list(l)) {
      std::int32_t& code = code_of_list[entry.name][l];
      if (code == -1) code = values_of[entry.name][entry.value];
    }
  }
  py::dict out;
  for (const auto& [name, values] : values_of) {
    py::list texts;
    for (const auto& [value, code] : values) {
      texts.append(to_str(store.text(value)));
    }
    const std::vector<std::int32_t>& codes_of = code_of_list[name];
    py::array_t<std::int32_t> codes(static_cast<py::ssize_t>(count));
    std::int32_t* codes_out = codes.mutable_data();
    {
      py::gil_scoped_release unlocked;
      for (std::size_t i = 0; i < count; ++i) {
        codes_out[i] = codes_of[list_of[i]];
      }
    }
    out[to_str(store.text(name))] = py::make_tuple(codes, texts);
  }
  return out;
}

}  // namespace

void bind_columns(py::module_& module) {
  module.def(
      "stored_column",
      [](const StoreHandle& handle, const std::string& name) {
        return stored(handle, column_data(handle.checked(), name));
      },
      py::arg("store"), py::arg("name"),
      "A stored uint32 column as a read-only view of the store.");
  module.def(
      "physical_tiles",
      [](const StoreHandle& handle) {
        const ReportStore& store = handle.checked();
        return per_sample<std::uint32_t>(
            store, [&](std::size_t t, std::size_t begin, std::size_t end,
                       std::uint32_t* out) {
              std::fill(out + begin, out + end, store.physical_tile(t));
            });
      },
      py::arg("store"), "Each sample's physical tile.");
  module.def(
      "offsets",
      [](const StoreHandle& handle) {
        const ReportStore& store = handle.checked();
        const std::uint32_t* starts = store.start_cycles();
        return per_sample<std::uint64_t>(
            store, [&](std::size_t, std::size_t begin, std::size_t end,
                       std::uint64_t* out) {
              // Cycles from the tile's first start: a wrapping difference.
              for (std::size_t i = begin; i < end; ++i) {
                out[i] = static_cast<std::uint32_t>(starts[i] - starts[begin]);
              }
            });
      },
      py::arg("store"), "Each sample's start, cycles from its tile's time zero.");
  module.def(
      "durations",
      [](const StoreHandle& handle) {
        const ReportStore& store = handle.checked();
        const std::uint32_t* starts = store.start_cycles();
        const std::uint32_t* ends = store.end_cycles();
        return per_sample<std::uint32_t>(
            store, [&](std::size_t, std::size_t begin, std::size_t end,
                       std::uint32_t* out) {
              for (std::size_t i = begin; i < end; ++i) {
                out[i] = static_cast<std::uint32_t>(ends[i] - starts[i]);
              }
            });
      },
      py::arg("store"), "Each sample's duration in cycles.");
  module.def(
      "kind_codes",
      [](const StoreHandle& handle) {
        // 0 to 3 for the four kinds, 4 for any other value ("unknown").
        const std::uint32_t* kinds = handle.checked().kinds();
        return per_sample<std::int8_t>(
            *handle.store, [&](std::size_t, std::size_t begin, std::size_t end,
                               std::int8_t* out) {
              for (std::size_t i = begin; i < end; ++i) {
                out[i] = static_cast<std::int8_t>(std::min(kinds[i], 4u));
              }
            });
      },
      py::arg("store"), "Each sample's kind as a code from 0 to 4.");
  module.def(
      "text_codes",
      [](const StoreHandle& handle, const std::string& name) {
        const ReportStore& store = handle.checked();
        if (name == "kernel") return text_codes(store, store.kernels());
        if (name == "operation") return text_codes(store, store.operations());
        throw py::value_error("no text column '" + name + "'");
      },
      py::arg("store"), py::arg("name"),
      "A text column as (int32 codes, the texts they index).");
  module.def(
      "metadata_codes",
      [](const StoreHandle& handle) { return metadata_codes(handle.checked()); },
      py::arg("store"),
      "Per metadata name, each sample's value as (int32 codes, -1 for "
      "none; the values they index).");
}

}  // namespace zun_python
