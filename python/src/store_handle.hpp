#pragma once

#include <memory>
#include <string>

#include "store/report_store.hpp"

// A report as the Python package holds it: a store shared by every object
// that reads it (the Report, its frames' columns), so that it lives as long
// as the last of them. Only read once made, so any thread may use it.
namespace zun_python {

struct StoreHandle {
  std::shared_ptr<const zun_store::ReportStore> store;
  std::string source;  // the report's name in messages, as profile-query gives it
};

}  // namespace zun_python
