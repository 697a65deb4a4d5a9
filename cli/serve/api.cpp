#include "cli/serve/api.hpp"

#include <new>
#include <optional>
#include <variant>

#include "cli/options/command_line.hpp"
#include "cli/options/decimal.hpp"
#include "cli/rendering/json_text.hpp"
#include "cli/message_text.hpp"
#include "cli/rendering/render.hpp"
#include "cli/serve/report_overview.hpp"
#include "query/activity.hpp"
#include "query/query.hpp"

namespace profile_query {
namespace {

constexpr int kBadRequest = 400;
constexpr int kUnavailable = 503;

// Holds one of the running slots for as long as it lives.
class Turn {
 public:
  explicit Turn(std::counting_semaphore<2>& slots) : slots_(slots) {
    slots_.acquire();
  }
  ~Turn() { slots_.release(); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  std::counting_semaphore<2>& slots_;
};

ApiAnswer bad_request(std::string_view message) {
  return {kBadRequest, error_json(message)};
}

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

// Runs `answer` in a running slot; memory running out is the server's
// trouble, not the request's: 503, and the server carries on.
template <typename Answer>
ApiAnswer in_turn(std::counting_semaphore<2>& slots, Answer&& answer) {
  Turn turn(slots);
  try {
    return answer();
  } catch (const std::bad_alloc&) {
    return {kUnavailable, error_json("out of memory for this request")};
  }
}

}  // namespace

std::string error_json(std::string_view message) {
  std::string out = "{\"error\": ";
  append_string(out, message);
  out += "}\n";
  return out;
}

Api::Api(const zun_store::ReportStore& report, std::string_view source)
    : report_(report), overview_(render_overview_json(report, source)) {}

ApiAnswer Api::query(const Parameters& parameters) const {
  auto request = request_of(parameters);
  if (auto* answer = std::get_if<ApiAnswer>(&request)) return *answer;
  if (std::get<zun_profile::Query>(request).sample_limit > kMaxSampleRows) {
    return bad_request("parameter 'samples': at most " +
                       std::to_string(kMaxSampleRows) + " rows over HTTP");
  }
  return in_turn(running_, [&] {
    return ApiAnswer{200, render_json(zun_profile::query(
                              report_, std::get<zun_profile::Query>(request)))};
  });
}

ApiAnswer Api::activity(const Parameters& parameters) const {
  if (auto fault = oversized(parameters)) return bad_request(*fault);
  std::size_t buckets = kDefaultBuckets;
  Parameters rest;
  bool seen_buckets = false;
  for (const auto& [name, value] : parameters) {
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
  return in_turn(running_, [&] {
    return ApiAnswer{200, render_activity_json(zun_profile::activity(
                              report_, request, buckets))};
  });
}

}  // namespace profile_query
