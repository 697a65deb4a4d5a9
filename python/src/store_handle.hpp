#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "query/query.hpp"
#include "store/report_store.hpp"

// A report as the Python package holds it: a store shared by every object
// that reads it (the Report, its frames' columns), so that it lives as long
// as the last of them. Only read once made, so any thread may use it.
namespace zun_python {

struct StoreHandle {
  std::shared_ptr<const zun_store::ReportStore> store;
  std::string source;  // the report's name in messages, as profile-query gives it

  // The store, once its file is known to be the one opened: every read
  // goes through here, so that a file rewritten since is a StoreError
  // (ReportError in Python), not a fault in the middle of a read.
  const zun_store::ReportStore& checked() const {
    store->check_unchanged();
    return *store;
  }
};

// The stores of shards, in order, for the parallel query.
std::vector<zun_store::ReportStore const*> stores_of(
    std::span<const StoreHandle> shards);

// `request` over the shards as one report on `threads` threads (0: the
// machine's cores), the GIL let go. Throws InputError when the shards'
// clocks differ.
zun_profile::QueryReport query_shards(std::span<const StoreHandle> shards,
                                      const zun_profile::Query& request,
                                      unsigned threads);

}  // namespace zun_python
