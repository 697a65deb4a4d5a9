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
// columns a store holds per sample as views of it (no copy; each array
// holds the store alive), the others (tile, offset, duration, a step's
// field in a version 2 store) computed, and the texts as category codes
// into the texts each column uses.
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

// A column of a uint32 per sample: start and end cycles as views of the
// store; a step's field (phase, epoch, local index) as a view where the
// store holds it per sample (version 1), else each sample's step's value.
py::array sample_column(const StoreHandle& handle, std::string_view name) {
  const ReportStore& store = handle.checked();
  const zun_store::SampleColumns columns = store.all_samples();
  if (name == "start_cycle") return stored(handle, columns.starts);
  if (name == "end_cycle") return stored(handle, columns.ends);
  const std::uint32_t* field = nullptr;
  if (name == "phase") field = store.step_phases();
  if (name == "epoch") field = store.step_epochs();
  if (name == "local_index") field = store.step_local_indices();
  if (field == nullptr) {
    throw py::value_error("no stored column '" + std::string(name) + "'");
  }
  if (store.version() == 1) return stored(handle, field);
  py::array_t<std::uint32_t> array(static_cast<py::ssize_t>(columns.count));
  std::uint32_t* out = array.mutable_data();
  {
    py::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < columns.count; ++i) {
      out[i] = field[columns.steps[i]];
    }
  }
  // Read-only like the views: a frame's store columns are never written.
  py::detail::array_proxy(array.ptr())->flags &=
      ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return array;
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

// Codes (int32) into the distinct texts of a step field of text ids
// (`ids`, per step), one per sample, those texts in the store's order (byte
// order), as (codes, texts).
py::tuple text_codes(const ReportStore& store, const std::uint32_t* ids) {
  const std::size_t count = store.sample_count();
  const std::uint32_t* steps = store.all_samples().steps;
  std::vector<std::int32_t> code_of(store.text_count(), -1);
  py::array_t<std::int32_t> codes(static_cast<py::ssize_t>(count));
  std::int32_t* out = codes.mutable_data();
  std::vector<std::uint32_t> used;
  {
    py::gil_scoped_release unlocked;
    for (std::size_t d = 0; d < store.step_count(); ++d) code_of[ids[d]] = 0;
    std::int32_t next = 0;
    for (std::size_t id = 0; id < code_of.size(); ++id) {
      if (code_of[id] == 0) {
        code_of[id] = next++;
        used.push_back(static_cast<std::uint32_t>(id));
      }
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = code_of[ids[steps[i]]];
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
  const std::uint32_t* list_of = store.step_metadata_lists();
  const std::uint32_t* steps = store.all_samples().steps;
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
        codes_out[i] = codes_of[list_of[steps[i]]];
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
        return sample_column(handle, name);
      },
      py::arg("store"), py::arg("name"),
      "A uint32 column per sample: a read-only view of the store where it "
      "holds the column, computed otherwise.");
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
        const std::uint32_t* starts = store.all_samples().starts;
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
        const zun_store::SampleColumns columns = store.all_samples();
        const std::uint32_t* starts = columns.starts;
        const std::uint32_t* ends = columns.ends;
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
        const std::uint32_t* kinds = handle.checked().step_kinds();
        const std::uint32_t* steps = handle.store->all_samples().steps;
        return per_sample<std::int8_t>(
            *handle.store, [&](std::size_t, std::size_t begin, std::size_t end,
                               std::int8_t* out) {
              for (std::size_t i = begin; i < end; ++i) {
                out[i] = static_cast<std::int8_t>(std::min(kinds[steps[i]], 4u));
              }
            });
      },
      py::arg("store"), "Each sample's kind as a code from 0 to 4.");
  module.def(
      "text_codes",
      [](const StoreHandle& handle, const std::string& name) {
        const ReportStore& store = handle.checked();
        if (name == "kernel") return text_codes(store, store.step_kernels());
        if (name == "operation") {
          return text_codes(store, store.step_operations());
        }
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
