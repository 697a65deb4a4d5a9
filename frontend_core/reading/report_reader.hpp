#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "report/profile_report.hpp"
#include "store/report_store.hpp"

// Loading a profile report: a store file (docs/store-format.md), or a JSON
// report (docs/report-format.md) read straight into a store in memory.
namespace profile_query {

// A report that could not be read or is not a valid report. what() is the
// whole message for the user: where (file, line, field path) and what.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ProgressMeter;

// The largest report that can be read, in bytes: the parser's limit, 4 GiB
// less one byte.
inline constexpr std::size_t kMaxReportBytes = 0xFFFFFFFF;

// The bytes of the file at `path`, or of standard input when `path` is "-".
// Throws InputError when they cannot be read, or when there are more than
// `limit` of them: a file whose size says so before any byte is read, any
// other input (a pipe, /dev/zero) as soon as the limit is passed, so memory
// stays bounded by the limit. Reports its progress to `progress`, if any.
std::string read_input(const std::string& path,
                       ProgressMeter* progress = nullptr,
                       std::size_t limit = kMaxReportBytes);

// The name under which messages refer to `path`: the path itself with its
// control bytes escaped, or "standard input" for "-".
std::string source_name(const std::string& path);

// Parses `text` as a report. Every field is required and checked: numbers
// must be unsigned integers that fit their record field, `kind` one of the
// four kind names, and an unknown or repeated field is refused. Throws
// InputError naming `source` and the place (byte, line and column for
// malformed JSON; the field path, e.g. tiles[3].samples[17].end_cycle, for
// a missing or mistyped field). Reads in place when `text` has spare
// capacity for the parser's padding, else copies it once. Reports its
// progress to `progress`, if any.
zun_package::ProfileReport parse_report(const std::string& text,
                                        std::string_view source,
                                        ProgressMeter* progress = nullptr);

// read_input and parse_report in one, holding less at its peak: as the
// parser passes the pages of a file's text, their memory is given back (a
// message about malformed JSON reads the file again to place the fault).
// Standard input is kept whole. This is what profile-query itself uses.
zun_package::ProfileReport load_report(const std::string& path,
                                       ProgressMeter* progress = nullptr);

// parse_report, building a store in memory instead of the records: one
// sample's records at a time, whatever the report's size.
zun_store::ReportStore parse_report_store(const std::string& text,
                                          std::string_view source,
                                          ProgressMeter* progress = nullptr);

// The report at `path` ("-" for standard input) as a store: a store file,
// told by its first bytes whatever its name, is mapped and checked; any
// other input is read as a JSON report, as load_report reads it, into a
// store in memory. Throws InputError naming the input and the fault.
zun_store::ReportStore load_store(const std::string& path,
                                  ProgressMeter* progress = nullptr);

// load_store as every profile-query command runs it: progress on standard
// error when that is a terminal.
zun_store::ReportStore load_store_showing_progress(const std::string& path);

// load_report as every profile-query command runs it: its progress shown on
// standard error when that is a terminal.
zun_package::ProfileReport load_report_showing_progress(
    const std::string& path);

}  // namespace profile_query
