#include "selfcheck/runner.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <exception>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

namespace selfcheck {
namespace {

constexpr std::string_view kUsage =
    "usage: selfcheck [OPTIONS] [FILTER...]\n"
    "\n"
    "Runs the built-in scenarios; with FILTERs, only those whose name\n"
    "contains one of them.\n"
    "\n"
    "options:\n"
    "  --exact          filters and skips match whole names only\n"
    "  --skip FILTER    leave out scenarios matching FILTER (repeatable)\n"
    "  --list           print the selected names and run nothing\n"
    "  --threads N      run on up to N threads (N >= 1); default: one per\n"
    "                   hardware thread, at most one per scenario\n"
    "  --help           print this help\n"
    "\n"
    "exit status: 0 all passed, 101 some failed, 2 usage error\n";

struct Options {
  std::vector<std::string_view> filters;
  std::vector<std::string_view> skips;
  bool exact = false;
  bool list = false;
  bool help = false;
  std::optional<std::size_t> threads;
};

struct UsageError {
  std::string message;
};

std::size_t parse_threads(std::string_view text) {
  std::size_t value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() ||
      text.empty()) {
    throw UsageError{"--threads takes a whole number, not '" +
                     std::string(text) + "'"};
  }
  if (value == 0) throw UsageError{"--threads must be at least 1"};
  return value;
}

Options parse(int argc, const char* const* argv) {
  Options options;
  bool positional_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (positional_only || arg.empty() || arg[0] != '-' || arg == "-") {
      options.filters.push_back(arg);
      continue;
    }
    // "--name=value" and "--name value" both work for the two valued options.
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const auto value = [&]() -> std::string_view {
      if (equals != std::string_view::npos) return arg.substr(equals + 1);
      if (i + 1 >= argc) {
        throw UsageError{std::string(name) + " needs a value"};
      }
      return argv[++i];
    };
    const auto no_value = [&] {
      if (equals != std::string_view::npos) {
        throw UsageError{std::string(name) + " takes no value"};
      }
    };
    if (name == "--") {
      no_value();
      positional_only = true;
    } else if (name == "--exact") {
      no_value();
      options.exact = true;
    } else if (name == "--list") {
      no_value();
      options.list = true;
    } else if (name == "--help" || name == "-h") {
      no_value();
      options.help = true;
    } else if (name == "--skip") {
      options.skips.push_back(value());
    } else if (name == "--threads") {
      options.threads = parse_threads(value());
    } else {
      throw UsageError{"unknown option '" + std::string(arg) + "'"};
    }
  }
  return options;
}

bool matches(std::string_view name, std::string_view filter, bool exact) {
  return exact ? name == filter : name.find(filter) != std::string_view::npos;
}

bool selected(const ScenarioDescriptor& scenario, const Options& options) {
  const auto hit = [&](std::string_view filter) {
    return matches(scenario.name, filter, options.exact);
  };
  if (!options.filters.empty() &&
      std::none_of(options.filters.begin(), options.filters.end(), hit)) {
    return false;
  }
  return std::none_of(options.skips.begin(), options.skips.end(), hit);
}

enum class Verdict { Passed, Failed, Skipped };

struct Result {
  Verdict verdict = Verdict::Skipped;
  std::string detail;  // why it failed, or the skip reason
};

// Runs one scenario and judges it against its expectation.
Result run_one(const ScenarioDescriptor& scenario) {
  if (scenario.skip)
    return {Verdict::Skipped, std::string(scenario.skip_reason)};
  std::optional<std::string> failure;
  try {
    if (scenario.run == nullptr) throw CheckFailure("scenario has no body");
    scenario.run();
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown exception";
  }
  if (scenario.expected == Expectation::Fail) {
    if (failure) return {Verdict::Passed, {}};
    return {Verdict::Failed, "passed, but was expected to fail"};
  }
  if (failure) return {Verdict::Failed, *failure};
  return {Verdict::Passed, {}};
}

std::size_t default_threads(std::size_t scenarios) {
  const std::size_t hardware =
      std::max<std::size_t>(1, std::thread::hardware_concurrency());
  return std::max<std::size_t>(1, std::min(hardware, scenarios));
}

std::vector<Result> run_all(
    const std::vector<const ScenarioDescriptor*>& chosen, std::size_t threads) {
  std::vector<Result> results(chosen.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < chosen.size(); i = next++) {
      results[i] = run_one(*chosen[i]);
    }
  };
  threads = std::min(threads, std::max<std::size_t>(1, chosen.size()));
  if (threads <= 1) {
    work();
    return results;
  }
  std::vector<std::thread> pool;
  pool.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(work);
  for (std::thread& thread : pool) thread.join();
  return results;
}

// Indents every line of a failure's detail below its FAIL line.
void print_detail(std::ostream& out, std::string_view detail) {
  while (!detail.empty()) {
    const std::size_t end = detail.find('\n');
    out << "    " << detail.substr(0, end) << '\n';
    if (end == std::string_view::npos) break;
    detail.remove_prefix(end + 1);
  }
}

}  // namespace

int run_scenarios(int argc, const char* const* argv,
                  std::span<const ScenarioDescriptor> table, std::ostream& out,
                  std::ostream& err) {
  Options options;
  try {
    options = parse(argc, argv);
  } catch (const UsageError& error) {
    err << "selfcheck: " << error.message << "\n" << kUsage;
    return kUsageError;
  }
  if (options.help) {
    out << kUsage;
    return kAllPassed;
  }

  std::vector<const ScenarioDescriptor*> chosen;
  for (const ScenarioDescriptor& scenario : table) {
    if (selected(scenario, options)) chosen.push_back(&scenario);
  }
  if (options.list) {
    for (const ScenarioDescriptor* scenario : chosen) {
      out << scenario->name << '\n';
    }
    return kAllPassed;
  }

  const std::vector<Result> results =
      run_all(chosen, options.threads.value_or(default_threads(chosen.size())));
  std::size_t passed = 0, failed = 0, skipped = 0;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const Result& result = results[i];
    const ScenarioDescriptor& scenario = *chosen[i];
    switch (result.verdict) {
      case Verdict::Passed:
        ++passed;
        out << "PASS " << scenario.name << '\n';
        break;
      case Verdict::Failed:
        ++failed;
        out << "FAIL " << scenario.name << '\n';
        print_detail(out, result.detail);
        if (scenario.position.line != 0) {
          out << "    defined at " << scenario.position.file << ':'
              << scenario.position.line << '\n';
        }
        break;
      case Verdict::Skipped:
        ++skipped;
        out << "SKIP " << scenario.name;
        if (!result.detail.empty()) out << " (" << result.detail << ')';
        out << '\n';
        break;
    }
  }
  out << passed << " passed, " << failed << " failed";
  if (skipped > 0) out << ", " << skipped << " skipped";
  out << '\n';
  return failed > 0 ? kSomeFailed : kAllPassed;
}

}  // namespace selfcheck
