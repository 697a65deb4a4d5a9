#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "python/src/bindings.hpp"
#include "python/src/texts.hpp"
#include "report/profile_report.hpp"
#include "store/report_store.hpp"

// StoreWriter for producers in Python: a tile at a time from arrays, whose
// lengths and values the pure-Python layer has checked.
namespace zun_python {
namespace {

using Column = py::array_t<std::uint32_t, py::array::c_style>;

class Writer {
 public:
  Writer(const std::string& path, std::uint64_t clock_hz) {
    py::gil_scoped_release unlocked;
    writer_.emplace(std::filesystem::path(path), clock_hz);
  }

  // One tile: every column holds one value per sample; `kernels` and
  // `operations` are sequences of str or bytes, `metadata` (or None) a
  // sequence of sequences of (name, value) pairs.
  void add_tile(std::uint32_t physical, const Column& starts,
                const Column& ends, const Column& phases, const Column& epochs,
                const Column& kinds, const py::sequence& kernels,
                const py::sequence& operations,
                const std::optional<Column>& local_indices,
                const py::object& metadata) {
    if (!writer_) throw py::value_error("the store writer is closed");
    const std::size_t count = static_cast<std::size_t>(starts.size());
    zun_package::TileProfile tile;
    tile.physical_tile = physical;
    tile.samples.resize(count);
    const bool has_metadata = !metadata.is_none();
    const py::sequence lists =
        has_metadata ? metadata.cast<py::sequence>() : py::sequence(py::list());
    for (std::size_t i = 0; i < count; ++i) {
      const auto at = static_cast<py::ssize_t>(i);
      zun_package::CycleSample& sample = tile.samples[i];
      sample.start_cycle = starts.at(at);
      sample.end_cycle = ends.at(at);
      zun_package::ProfileStep& step = sample.step;
      step.phase = phases.at(at);
      step.epoch = epochs.at(at);
      step.kind = static_cast<zun_package::ProfileStepKind>(kinds.at(at));
      step.kernel = to_text(kernels[i], "kernel");
      step.operation = to_text(operations[i], "operation");
      if (local_indices) step.local_index = local_indices->at(at);
      if (has_metadata) {
        for (const py::handle entry : lists[i].cast<py::sequence>()) {
          const py::sequence pair = entry.cast<py::sequence>();
          if (pair.size() != 2) {
            throw py::value_error(
                "parameter 'metadata': each entry is a (name, value) pair");
          }
          step.metadata.push_back({to_text(pair[0], "metadata"),
                                   to_text(pair[1], "metadata")});
        }
      }
    }
    py::gil_scoped_release unlocked;
    writer_->add_tile(tile);
  }

  // Writes what is left and puts the file in place.
  void finish() {
    if (!writer_) throw py::value_error("the store writer is closed");
    py::gil_scoped_release unlocked;
    writer_->finish();
    writer_.reset();
  }

  // Gives up: no file is left behind.
  void abort() {
    py::gil_scoped_release unlocked;
    writer_.reset();
  }

  bool closed() const { return !writer_; }

 private:
  std::optional<zun_store::StoreWriter> writer_;
};

}  // namespace

void bind_writer(py::module_& module) {
  py::class_<Writer>(module, "Writer", "Writes a store tile by tile.")
      .def(py::init<const std::string&, std::uint64_t>(), py::arg("path"),
           py::arg("clock_hz"))
      .def("add_tile", &Writer::add_tile, py::arg("physical_tile"),
           py::arg("start"), py::arg("end"), py::arg("phase"),
           py::arg("epoch"), py::arg("kind"), py::arg("kernel"),
           py::arg("operation"), py::arg("local_index"), py::arg("metadata"))
      .def("finish", &Writer::finish)
      .def("abort", &Writer::abort)
      .def_property_readonly("closed", &Writer::closed);
}

}  // namespace zun_python
