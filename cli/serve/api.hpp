#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "cli/serve/answer_workers.hpp"
#include "frontend_core/rendering/render_trace.hpp"
#include "query/time/timeline.hpp"
#include "store/report_store.hpp"

// The explorer's JSON API over one loaded report, apart from HTTP: each call
// takes a path's query parameters and gives the status and body to send.
// The report is only read, so any number of threads may call at once.
namespace profile_query {

// The query parameters of a request, in the order given.
using Parameters = std::vector<std::pair<std::string, std::string>>;

// A response: its status and its JSON body (an object; for an error,
// {"error": "..."} saying what is wrong and with which parameter).
struct ApiAnswer {
  int status = 200;
  std::string body;
};

// Bounds on what one request may ask.
inline constexpr std::size_t kMaxParameters = 64;        // per request
inline constexpr std::size_t kMaxParameterBytes = 1024;  // per name or value
inline constexpr std::size_t kMaxSampleRows = 100000;    // `samples` per query
inline constexpr std::size_t kDefaultBuckets = 200;      // activity buckets
inline constexpr std::size_t kMaxBuckets = 10000;
inline constexpr std::size_t kDefaultActivitySeries = 10;  // activity groups
inline constexpr std::size_t kMaxActivitySeries = 100;
inline constexpr std::size_t kDefaultTimelineWidth = 1000;  // pixel columns
inline constexpr std::size_t kMaxTimelineWidth = 4096;
inline constexpr std::size_t kMaxTimelineRows = 2048;  // tiles per answer
// Samples of one trace-events answer: more is a file for
// `profile-query export`, not a download from a page.
inline constexpr std::size_t kMaxHttpTraceSamples = 1'000'000;

// Trace events to write: a window of one run's samples, written as
// `profile-query export --trace-events` writes it, piece by piece.
struct TraceExport {
  const zun_store::ReportStore* report = nullptr;
  TraceWindow window;
};

// A base run that the served report is compared with.
struct BaseRun {
  const zun_store::ReportStore* report = nullptr;  // null: no comparison
  std::string_view source;                         // its name on the page
  std::optional<double> fail_above;  // the page's default threshold, percent
};

class Api {
 public:
  // Serves `report`, and `base` when it has one; each must outlive the Api
  // and stay unchanged. `source` names the report on the page. Each query
  // runs on `threads` threads.
  Api(const zun_store::ReportStore& report, std::string_view source,
      unsigned threads = 1, const BaseRun& base = {});

  // GET /api/report: the overview (see report_overview.hpp), computed once,
  // with "base" (the base's overview, or null) and "fail_above" (the
  // threshold, or null). Takes no parameters.
  ApiAnswer report(const Parameters& parameters) const;

  // The calls below answer for the new run, or for the base with
  // `run=base` (`run=new` is the default).

  // GET /api/query: the query the parameters spell (named and valued like
  // profile-query's options, without their dashes), answered exactly as
  // --format json prints it. `samples` is at most kMaxSampleRows: each row
  // costs hundreds of bytes, twice (record and text).
  ApiAnswer query(const Parameters& parameters) const;

  // GET /api/activity: `buckets` (1 to kMaxBuckets, default kDefaultBuckets)
  // and the query's parameters; `limit` (at most kMaxActivitySeries,
  // default kDefaultActivitySeries) is the number of series, `samples` is
  // ignored.
  ApiAnswer activity(const Parameters& parameters) const;

  // GET /api/timeline: `from` and `to` (cycle offsets; default the whole
  // span), `tiles` (FIRST-LAST tile entries of the report, at most
  // kMaxTimelineRows; default the first ones), `width` (1 to
  // kMaxTimelineWidth) and the query's filters and group-by. Per tile row,
  // its samples in the window ([offset, duration, group, position]) or per
  // pixel column its group and busy thousandths; see
  // query/time/timeline.hpp.
  ApiAnswer timeline(const Parameters& parameters) const;

  // GET /api/sample?position=N: one sample's fields, for a tooltip.
  ApiAnswer sample(const Parameters& parameters) const;

  // GET /api/diff: the base run and the new one compared for the query's
  // parameters, exactly as `profile-query diff BASE NEW --format json`
  // prints it. 400 without a base.
  ApiAnswer diff(const Parameters& parameters) const;

  // GET /api/trace-events: `from` and `to` (cycle offsets), `tiles`
  // (FIRST-LAST tile entries of the report), each optional: the window
  // `profile-query export --trace-events --from F --to T --tile P...`
  // writes for the physical tiles P of those entries, with its refusals,
  // and at most kMaxHttpTraceSamples samples.
  std::variant<TraceExport, ApiAnswer> trace_events(
      const Parameters& parameters) const;

 private:
  // One report served, with what answering it needs.
  struct Run {
    Run(const zun_store::ReportStore& store, std::string_view source);
    // Each tile's samples in time order, made by the first timeline asked
    // for (a pass over every sample), so that the server answers at once.
    const zun_profile::detail::TimeOrder& order() const;

    const zun_store::ReportStore& store;
    std::string source;

   private:
    mutable std::once_flag ordered_;
    mutable std::unique_ptr<zun_profile::detail::TimeOrder> order_;
  };

  // The run that `parameters` ask for with `run=`, taken out of them, or
  // the 400 answer saying why not.
  // A run whose store file was rewritten since it was opened is answered
  // with 500 and a message naming the file.
  std::variant<const Run*, ApiAnswer> run_of(Parameters& parameters) const;

  // The 500 answer naming the run's file when it changed since opened:
  // reading it now could fault, and its answers would no longer be its own.
  static std::optional<ApiAnswer> changed_file(const Run& run);

  unsigned threads_;
  Run new_;
  std::unique_ptr<Run> base_;  // null without a base
  std::string overview_;
  // Queries on a large report take much memory: they are built on two
  // threads of their own, at most two at once, the rest in their turn.
  mutable AnswerWorkers workers_{2};
};

// {"error": message}, with the message made safe for JSON.
std::string error_json(std::string_view message);

}  // namespace profile_query
