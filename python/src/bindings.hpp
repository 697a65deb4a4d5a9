#pragma once

#include <pybind11/pybind11.h>

// The extension module `zun._zun`, one part per concern; module.cpp calls
// each. Private to the package: its pure-Python layer is the interface.
namespace zun_python {

namespace py = pybind11;

void bind_errors(py::module_& module);   // ReportError and its translators
void bind_report(py::module_& module);   // open, requests, query, activity
void bind_result(py::module_& module);   // a query's answer as columns
void bind_columns(py::module_& module);  // a store's samples as arrays
void bind_writer(py::module_& module);   // StoreWriter
void bind_diff(py::module_& module);     // comparing two reports
void bind_shards(py::module_& module);   // shards, threads and partials

}  // namespace zun_python
