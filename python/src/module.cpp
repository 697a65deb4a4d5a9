#include "python/src/bindings.hpp"

PYBIND11_MODULE(_zun, module) {
  module.doc() = "The native half of the zun package; use zun itself.";
  zun_python::bind_errors(module);
  zun_python::bind_report(module);
  zun_python::bind_result(module);
  zun_python::bind_columns(module);
  zun_python::bind_writer(module);
  zun_python::bind_diff(module);
  zun_python::bind_shards(module);
}
