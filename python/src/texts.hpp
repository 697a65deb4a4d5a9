#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

// Texts between the report and Python. A report's texts are bytes; they
// become str as UTF-8, a byte that is not UTF-8 kept as a lone surrogate
// (Python's "surrogateescape"), so that every text survives the round trip.
namespace zun_python {

namespace py = pybind11;

// `text` as a Python str.
inline py::str to_str(std::string_view text) {
  PyObject* object = PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (object == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(object);
}

// The bytes of a str (UTF-8, lone surrogates back to their bytes) or of a
// bytes object; a TypeError naming `parameter` for anything else.
inline std::string to_text(py::handle value, std::string_view parameter) {
  py::object held;  // the encoded bytes of a str
  PyObject* bytes = value.ptr();
  if (PyUnicode_Check(bytes)) {
    bytes = PyUnicode_AsEncodedString(bytes, "utf-8", "surrogateescape");
    if (bytes == nullptr) throw py::error_already_set();
    held = py::reinterpret_steal<py::object>(bytes);
  } else if (!PyBytes_Check(bytes)) {
    throw py::type_error("parameter '" + std::string(parameter) +
                         "': expected str or bytes, got " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace zun_python
