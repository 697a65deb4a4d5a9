#pragma once

#include <string>
#include <vector>

#include "store/report_store.hpp"

// A report given as several files: shards of one run (one per chip, or per
// range of tiles), the tiles of each following the previous one's.
namespace profile_query {

// The shards, each opened once, in the order given.
struct ReportSet {
  std::vector<std::string> paths;               // as given, "-" for stdin
  std::vector<zun_store::ReportStore> stores;   // one per path
};

// Opens each of `paths` as load_store_showing_progress does. Throws
// InputError naming the input at fault, or the shard whose clock is not
// the first one's: shards are parts of one run.
ReportSet load_report_set_showing_progress(const std::vector<std::string>& paths);

// How messages and pages name the report of `paths`: its path, or its
// shards' joined by " + ".
std::string set_name(const std::vector<std::string>& paths);

// The InputError message for input `path` whose clock is not the first
// input's (`first_path`, `clock_hz`).
std::string clock_mismatch(const std::string& path, std::uint64_t its_clock_hz,
                           const std::string& first_path,
                           std::uint64_t clock_hz);

// The shards as one store in memory, their tiles one after another, for
// what needs a single store (the explorer's timeline, activity); one shard
// is moved, not copied. Consumes the set.
zun_store::ReportStore combine(ReportSet&& set);

}  // namespace profile_query
