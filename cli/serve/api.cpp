#include "cli/serve/api.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <set>
#include <string>
#include <optional>
#include <variant>

#include "cli/serve/memory.hpp"
#include "cli/serve/report_overview.hpp"
#include "frontend_core/diff/diff.hpp"
#include "frontend_core/message_text.hpp"
#include "frontend_core/options/decimal.hpp"
#include "frontend_core/options/request_options.hpp"
#include "frontend_core/querying/parallel_query.hpp"
#include "frontend_core/rendering/json_text.hpp"
#include "frontend_core/rendering/render.hpp"
#include "frontend_core/rendering/render_timeline.hpp"
#include "query/activity.hpp"
#include "query/engine/labels.hpp"
#include "query/query.hpp"

namespace profile_query {
namespace {

constexpr int kBadRequest = 400;
constexpr int kUnavailable = 503;
// A report file rewritten since the server read it: the server's trouble,
// which only a restart on the new file mends.
constexpr int kChangedFile = 500;


ApiAnswer bad_request(std::string_view message) {
  return {kBadRequest, error_json(message)};
}

ApiAnswer unknown(std::string_view name) {
  return bad_request("unknown parameter '" + shown(name) + "'");
}

constexpr std::string_view kNoBase =
    "the server has no base report: start it with --base BASE to compare "
    "two runs";

// The fault of a request too large to consider, if it is one.
std::optional<std::string> oversized(const Parameters& parameters) {
  if (parameters.size() > kMaxParameters) {
    return "too many parameters: at most " + std::to_string(kMaxParameters);
  }
  for (const auto& [name, value] : parameters) {
    if (name.size() > kMaxParameterBytes || value.size() > kMaxParameterBytes) {
      return "parameter '" + shown(name) + "' is too long: at most " +
             std::to_string(kMaxParameterBytes) + " bytes";
    }
  }
  return std::nullopt;
}

// The request the parameters spell, or the 400 answer saying why not.
std::variant<zun_profile::Query, ApiAnswer> request_of(
    const Parameters& parameters) {
  if (auto fault = oversized(parameters)) return bad_request(*fault);
  auto parsed = parse_request_options(parameters);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    return bad_request(*error);
  }
  return std::get<zun_profile::Query>(std::move(parsed));
}

// Builds `answer` on one of the answer workers, in its turn; memory running
// out is the server's trouble, not the request's: 503, and the server
// carries on. Any other fault reaches the caller as it would have.
template <typename Answer>
ApiAnswer in_turn(AnswerWorkers& workers, Answer&& answer) {
  ApiAnswer given;
  std::exception_ptr fault;
  workers.run([&] {
    try {
      given = answer();
    } catch (const std::bad_alloc&) {
      given = {kUnavailable, error_json("out of memory for this request")};
    } catch (...) {
      fault = std::current_exception();
    }
    return_freed_memory();
  });
  if (fault) std::rethrow_exception(fault);
  return given;
}

}  // namespace

std::string error_json(std::string_view message) {
  std::string out = "{\"error\": ";
  append_string(out, message);
  out += "}\n";
  return out;
}

Api::Run::Run(const zun_store::ReportStore& store, std::string_view source)
    : store(store), source(source) {}

const zun_profile::detail::TimeOrder& Api::Run::order() const {
  std::call_once(ordered_, [this] {
    order_ = std::make_unique<zun_profile::detail::TimeOrder>(store);
  });
  return *order_;
}

Api::Api(const zun_store::ReportStore& report, std::string_view source,
         unsigned threads, const BaseRun& base)
    : threads_(threads), new_(report, source) {
  if (base.report != nullptr) {
    base_ = std::make_unique<Run>(*base.report, base.source);
  }
  Writer json(overview_);
  json.open('{');
  write_overview_fields(json, report, source, threads_);
  json.key("base");
  if (base_) {
    json.open('{');
    write_overview_fields(json, base_->store, base_->source, threads_);
    json.close('}');
  } else {
    json.raw("null");
  }
  if (base.fail_above) {
    json.field("fail_above", *base.fail_above);
  } else {
    json.null_field("fail_above");
  }
  json.close('}');
  overview_ += '\n';
}

std::variant<const Api::Run*, ApiAnswer> Api::run_of(
    Parameters& parameters) const {
  std::optional<std::string> named;
  for (const auto& [name, value] : parameters) {
    if (name != "run") continue;
    if (named) return bad_request("parameter 'run' is given more than once");
    named = value;
  }
  std::erase_if(parameters,
                [](const auto& pair) { return pair.first == "run"; });
  const Run* run = &new_;
  if (named && *named != "new") {
    if (*named != "base") {
      return bad_request("parameter 'run': " + shown(*named) +
                         " not in {new,base}");
    }
    if (!base_) return bad_request(kNoBase);
    run = base_.get();
  }
  if (auto changed = changed_file(*run)) return *std::move(changed);
  return run;
}

std::optional<ApiAnswer> Api::changed_file(const Run& run) {
  try {
    run.store.check_unchanged();
  } catch (const zun_store::StoreError& error) {
    return ApiAnswer{kChangedFile, error_json(error.what())};
  }
  return std::nullopt;
}

ApiAnswer Api::report(const Parameters& parameters) const {
  if (!parameters.empty()) return unknown(parameters.front().first);
  return {200, overview_};
}

ApiAnswer Api::query(const Parameters& parameters) const {
  Parameters rest = parameters;
  const auto run = run_of(rest);
  if (const auto* answer = std::get_if<ApiAnswer>(&run)) return *answer;
  const zun_store::ReportStore& store = std::get<const Run*>(run)->store;
  auto request = request_of(rest);
  if (auto* answer = std::get_if<ApiAnswer>(&request)) return *answer;
  if (std::get<zun_profile::Query>(request).sample_limit > kMaxSampleRows) {
    return bad_request("parameter 'samples': at most " +
                       std::to_string(kMaxSampleRows) + " rows over HTTP");
  }
  return in_turn(workers_, [&] {
    return ApiAnswer{
        200, render_json(query_shards(std::span(&store, 1),
                                      std::get<zun_profile::Query>(request),
                                      threads_))};
  });
}

ApiAnswer Api::diff(const Parameters& parameters) const {
  if (!base_) return bad_request(kNoBase);
  for (const Run* run : {&new_, static_cast<const Run*>(base_.get())}) {
    if (auto changed = changed_file(*run)) return *std::move(changed);
  }
  for (const auto& [name, value] : parameters) {
    // The threshold marks rows on the page; the diff's JSON is the same
    // whatever it is.
    if (name == "fail-above") {
      return bad_request(
          "unknown parameter 'fail-above': the diff is the same for any "
          "threshold; /api/report gives the server's");
    }
  }
  auto parsed = request_of(parameters);
  if (auto* answer = std::get_if<ApiAnswer>(&parsed)) return *answer;
  const zun_profile::Query& request = std::get<zun_profile::Query>(parsed);
  return in_turn(workers_, [&] {
    const zun_profile::Query each = side_request(request);
    DiffReport report = diff_results(
        query_shards(std::span(&base_->store, 1), each, threads_),
        query_shards(std::span(&new_.store, 1), each, threads_),
        request.sort_by, base_->source, new_.source);
    keep_first(report, request.limit);
    return ApiAnswer{200, render_diff_json(report)};
  });
}

ApiAnswer Api::activity(const Parameters& parameters) const {
  if (auto fault = oversized(parameters)) return bad_request(*fault);
  Parameters given = parameters;
  const auto run = run_of(given);
  if (const auto* answer = std::get_if<ApiAnswer>(&run)) return *answer;
  const zun_store::ReportStore& store = std::get<const Run*>(run)->store;
  std::size_t buckets = kDefaultBuckets;
  Parameters rest;
  bool seen_buckets = false;
  for (const auto& [name, value] : given) {
    if (name == "buckets") {
      const auto number = decimal<std::size_t>(value);
      if (!number || *number < 1 || *number > kMaxBuckets) {
        return bad_request(
            "parameter 'buckets': expected a whole number from "
            "1 to " +
            std::to_string(kMaxBuckets) + ", got '" + shown(value) + "'");
      }
      if (seen_buckets) {
        return bad_request("parameter 'buckets' is given more than once");
      }
      seen_buckets = true;
      buckets = *number;
    } else if (name != "samples") {
      rest.emplace_back(name, value);
    }
  }
  auto parsed = request_of(rest);
  if (auto* answer = std::get_if<ApiAnswer>(&parsed)) return *answer;
  zun_profile::Query& request = std::get<zun_profile::Query>(parsed);
  if (!request.limit) request.limit = kDefaultActivitySeries;
  if (*request.limit > kMaxActivitySeries) {
    return bad_request("parameter 'limit': at most " +
                       std::to_string(kMaxActivitySeries) +
                       " series for activity");
  }
  return in_turn(workers_, [&] {
    return ApiAnswer{200, render_activity_json(zun_profile::activity(
                              store, request, buckets, threads_,
                              thread_runner(threads_)))};
  });
}

namespace {

// "FIRST-LAST" as two whole numbers, FIRST <= LAST.
std::optional<std::pair<std::size_t, std::size_t>> tile_range(
    std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = decimal<std::size_t>(text.substr(0, dash));
  const auto last = decimal<std::size_t>(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return std::pair{*first, *last};
}

// The cycle offset that parameter `name` (from or to) gives, or the 400
// answer saying it is none.
std::variant<std::uint64_t, ApiAnswer> cycle_of(const std::string& name,
                                                const std::string& value) {
  if (const auto cycle = decimal<std::uint64_t>(value)) return *cycle;
  return bad_request("parameter '" + name + "': expected a cycle offset, got '" +
                     shown(value) + "'");
}

// "parameter 'tiles': FIRST-LAST is outside the report's tile entries
// 0-N": the message for a range past the report's last tile entry.
std::string outside_message(std::pair<std::size_t, std::size_t> range,
                            std::size_t tile_count) {
  std::string message = "parameter 'tiles': " + std::to_string(range.first) +
                        "-" + std::to_string(range.second) + " is outside ";
  if (tile_count == 0) return message + "the report, which has no tile entries";
  return message + "the report's tile entries 0-" +
         std::to_string(tile_count - 1);
}

// What a timeline request asks: the window, and the query whose filters
// and grouping it draws.
struct TimelineRequest {
  zun_profile::detail::TimelineWindow window;
  zun_profile::Query query;
};

// The timeline request the parameters spell over a report whose profile
// spans `span` cycles on `tile_count` tile entries, or the 400 answer
// saying why not. The window defaults to the whole span, at
// kDefaultTimelineWidth columns, on the first tile entries; `samples`,
// `sort-by` and `limit` are ignored: a timeline neither orders nor cuts.
std::variant<TimelineRequest, ApiAnswer> timeline_request_of(
    const Parameters& parameters, std::uint64_t span, std::size_t tile_count) {
  if (auto fault = oversized(parameters)) return bad_request(*fault);
  zun_profile::detail::TimelineWindow window;
  window.to = span;
  window.width = kDefaultTimelineWidth;
  window.last_tile = std::min(tile_count, kMaxTimelineRows);
  window.last_tile = window.last_tile == 0 ? 0 : window.last_tile - 1;
  Parameters rest;
  std::set<std::string> seen;
  for (const auto& [name, value] : parameters) {
    if (name != "from" && name != "to" && name != "tiles" && name != "width") {
      if (name != "samples" && name != "sort-by" && name != "limit")
        rest.emplace_back(name, value);
      continue;
    }
    if (!seen.insert(name).second) {
      return bad_request("parameter '" + name + "' is given more than once");
    }
    if (name == "from" || name == "to") {
      const auto cycle = cycle_of(name, value);
      if (const auto* answer = std::get_if<ApiAnswer>(&cycle)) return *answer;
      (name == "from" ? window.from : window.to) = std::get<std::uint64_t>(cycle);
    } else if (name == "width") {
      const auto width = decimal<std::size_t>(value);
      if (!width || *width < 1 || *width > kMaxTimelineWidth) {
        return bad_request(
            "parameter 'width': expected a whole number from 1 to " +
            std::to_string(kMaxTimelineWidth) + ", got '" + shown(value) + "'");
      }
      window.width = *width;
    } else {
      const auto range = tile_range(value);
      if (!range || range->second - range->first >= kMaxTimelineRows) {
        return bad_request(
            "parameter 'tiles': expected FIRST-LAST tile entries, "
            "at most " +
            std::to_string(kMaxTimelineRows) + " of them, got '" +
            shown(value) + "'");
      }
      if (range->second >= tile_count) {
        return bad_request(outside_message(*range, tile_count));
      }
      window.first_tile = range->first;
      window.last_tile = range->second;
    }
  }
  if (window.to <= window.from) {
    return bad_request("parameter 'to': must be past 'from'");
  }
  auto parsed = request_of(rest);
  if (auto* answer = std::get_if<ApiAnswer>(&parsed)) return *answer;
  return TimelineRequest{window,
                         std::get<zun_profile::Query>(std::move(parsed))};
}

}  // namespace

ApiAnswer Api::timeline(const Parameters& parameters) const {
  Parameters rest = parameters;
  const auto chosen = run_of(rest);
  if (const auto* answer = std::get_if<ApiAnswer>(&chosen)) return *answer;
  const Run& run = *std::get<const Run*>(chosen);
  const auto parsed =
      timeline_request_of(rest, run.order().span(), run.store.tile_count());
  if (const auto* answer = std::get_if<ApiAnswer>(&parsed)) return *answer;
  const TimelineRequest& request = std::get<TimelineRequest>(parsed);
  return in_turn(workers_, [&] {
    const zun_profile::detail::TimelineAnswer answer =
        zun_profile::detail::timeline(run.store, run.order(), request.query,
                                      request.window);
    return ApiAnswer{200,
                     render_timeline_json(request.window, run.store.clock_hz(),
                                          run.store.tile_count(), answer)};
  });
}

std::variant<TraceExport, ApiAnswer> Api::trace_events(
    const Parameters& parameters) const {
  Parameters rest = parameters;
  const auto chosen = run_of(rest);
  if (const auto* answer = std::get_if<ApiAnswer>(&chosen)) return *answer;
  const zun_store::ReportStore& store = std::get<const Run*>(chosen)->store;
  if (auto fault = oversized(rest)) return bad_request(*fault);
  TraceExport trace{&store, {}};
  TraceWindow& window = trace.window;
  std::set<std::string> seen;
  for (const auto& [name, value] : rest) {
    if (name != "from" && name != "to" && name != "tiles") return unknown(name);
    if (!seen.insert(name).second) {
      return bad_request("parameter '" + name + "' is given more than once");
    }
    if (name == "tiles") {
      const auto range = tile_range(value);
      if (!range) {
        return bad_request("parameter 'tiles': expected FIRST-LAST tile "
                           "entries, got '" + shown(value) + "'");
      }
      if (range->second >= store.tile_count()) {
        return bad_request(outside_message(*range, store.tile_count()));
      }
      for (std::size_t t = range->first; t <= range->second; ++t) {
        window.tiles.insert(store.physical_tile(t));
      }
      continue;
    }
    const auto cycle = cycle_of(name, value);
    if (const auto* answer = std::get_if<ApiAnswer>(&cycle)) return *answer;
    if (name == "from") {
      window.from = std::get<std::uint64_t>(cycle);
    } else {
      window.to = std::get<std::uint64_t>(cycle);
    }
  }
  if (window.to && *window.to <= window.from) {
    return bad_request("parameter 'to': must be past 'from'");
  }
  const std::size_t count = trace_sample_count(store, window);
  if (const auto fault = trace_window_fault(store, window, count)) {
    return bad_request(*fault);
  }
  if (count > kMaxHttpTraceSamples) {
    return bad_request("the window holds " + std::to_string(count) +
                       " samples, more than the " +
                       std::to_string(kMaxHttpTraceSamples) +
                       " served at once: narrow it with from, to or tiles, "
                       "or use profile-query export --trace-events");
  }
  return trace;
}

ApiAnswer Api::sample(const Parameters& parameters) const {
  Parameters rest = parameters;
  const auto run = run_of(rest);
  if (const auto* answer = std::get_if<ApiAnswer>(&run)) return *answer;
  const zun_store::ReportStore& store = std::get<const Run*>(run)->store;
  std::optional<std::string> text;
  for (const auto& [name, value] : rest) {
    if (name != "position") return unknown(name);
    if (text) return bad_request("parameter 'position' is given more than once");
    text = value;
  }
  if (!text) return bad_request("expected the parameter 'position'");
  const auto position = decimal<std::size_t>(*text);
  if (!position || *position >= store.sample_count()) {
    return bad_request("parameter 'position': expected a sample position below " +
                       std::to_string(store.sample_count()) + ", got '" +
                       shown(*text) + "'");
  }
  const std::size_t at = *position;
  // The sample's tile: the last whose first position is at or before it.
  std::size_t low = 0;
  std::size_t high = store.tile_count();
  while (high - low > 1) {
    const std::size_t middle = low + (high - low) / 2;
    if (store.tile_begin(middle) <= at) {
      low = middle;
    } else {
      high = middle;
    }
  }
  while (low + 1 < store.tile_count() && store.tile_end(low) <= at) ++low;
  const std::size_t first = store.tile_begin(low);
  const zun_store::SampleColumns columns =
      store.samples(first, at + 1 - first);
  const std::uint32_t start = columns.starts[at - first];
  const std::uint32_t step = columns.steps[at - first];
  std::string out = "{\"tile\": ";
  append_number(out, low);
  out += ", \"physical_tile\": ";
  append_number(out, store.physical_tile(low));
  out += ", \"offset\": ";
  append_number(out, static_cast<std::uint32_t>(start - columns.starts[0]));
  out += ", \"duration\": ";
  append_number(out, static_cast<std::uint32_t>(columns.ends[at - first] - start));
  out += ", \"phase\": ";
  append_number(out, store.step_phases()[step]);
  out += ", \"epoch\": ";
  append_number(out, store.step_epochs()[step]);
  out += ", \"kind\": ";
  append_string(out, zun_profile::detail::kind_name(
                         static_cast<zun_package::ProfileStepKind>(store.step_kinds()[step])));
  out += ", \"operation\": ";
  append_string(out, store.text(store.step_operations()[step]));
  out += ", \"kernel\": ";
  append_string(out, store.text(store.step_kernels()[step]));
  out += ", \"metadata\": [";
  bool first_entry = true;
  for (const zun_store::MetadataRef& entry :
       store.metadata_list(store.step_metadata_lists()[step])) {
    if (!first_entry) out += ", ";
    first_entry = false;
    out += "{\"name\": ";
    append_string(out, store.text(entry.name));
    out += ", \"value\": ";
    append_string(out, store.text(entry.value));
    out += '}';
  }
  out += "]}\n";
  return {200, std::move(out)};
}

}  // namespace profile_query
