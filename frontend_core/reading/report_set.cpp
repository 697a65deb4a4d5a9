#include "frontend_core/reading/report_set.hpp"

#include <utility>

#include "frontend_core/reading/report_reader.hpp"
#include "store/store_builder.hpp"

namespace profile_query {

std::string set_name(const std::vector<std::string>& paths) {
  std::string name;
  for (const std::string& path : paths) {
    if (!name.empty()) name += " + ";
    name += source_name(path);
  }
  return name;
}

std::string clock_mismatch(const std::string& path, std::uint64_t its_clock_hz,
                           const std::string& first_path,
                           std::uint64_t clock_hz) {
  return source_name(path) + ": its clock, " + std::to_string(its_clock_hz) +
         " Hz, is not the " + std::to_string(clock_hz) + " Hz of " +
         source_name(first_path) + "; the inputs must be parts of one run";
}

ReportSet load_report_set_showing_progress(
    const std::vector<std::string>& paths) {
  ReportSet set;
  set.paths = paths;
  set.stores.reserve(paths.size());
  for (const std::string& path : paths) {
    set.stores.push_back(load_store_showing_progress(path));
    const std::uint64_t clock_hz = set.stores.back().clock_hz();
    if (clock_hz != set.stores.front().clock_hz()) {
      throw InputError(clock_mismatch(path, clock_hz, paths.front(),
                                      set.stores.front().clock_hz()));
    }
  }
  return set;
}

zun_store::ReportStore combine(ReportSet&& set) {
  if (set.stores.size() == 1) return std::move(set.stores.front());
  zun_store::StoreBuilder builder(
      set.stores.empty() ? 0 : set.stores.front().clock_hz());
  for (const zun_store::ReportStore& store : set.stores) {
    for (std::size_t t = 0; t < store.tile_count(); ++t) {
      builder.add_tile(store.tile_records(t));
    }
  }
  set.stores.clear();
  return builder.finish();
}

}  // namespace profile_query
