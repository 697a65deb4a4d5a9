#include <exception>

#include "frontend_core/reading/report_reader.hpp"
#include "python/src/bindings.hpp"
#include "store/report_store.hpp"

namespace zun_python {

void bind_errors(py::module_& module) {
  // A report that cannot be read or written, with the message profile-query
  // prints for it (without the program's name in front).
  // Never destroyed: the interpreter is gone by the time statics are.
  static auto* report_error = new py::exception<profile_query::InputError>(
      module, "ReportError", PyExc_Exception);
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const profile_query::InputError& error) {
      (*report_error)(error.what());
    } catch (const zun_store::StoreError& error) {
      (*report_error)(error.what());
    }
  });
}

}  // namespace zun_python
