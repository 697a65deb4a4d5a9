#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

// A small, generic scenario runner: it knows nothing of what the scenarios
// test. It selects scenarios from the command line, runs them (on several
// threads if asked), prints one line per scenario in table order and a
// summary, and returns the exit status.
namespace selfcheck {

// Where a scenario is defined, for the reader of a failure.
struct SourcePosition {
  const char* file = "";
  std::uint32_t line = 0;
};

// What a scenario is expected to do.
enum class Expectation {
  Pass,  // return normally
  Fail,  // fail a check or throw; counts as passed when it does
};

// What sort of scenario it is. Only unit scenarios exist so far.
enum class ScenarioKind {
  Unit,
};

// One entry of the table a program hands to the runner.
struct ScenarioDescriptor {
  std::string_view name;         // shown and matched by filters; unique
  bool skip = false;             // listed as skipped, never run
  std::string_view skip_reason;  // shown beside a skip; may be empty
  Expectation expected = Expectation::Pass;
  ScenarioKind kind = ScenarioKind::Unit;
  void (*run)() = nullptr;  // the scenario; returns when it passes
  SourcePosition position;  // where the scenario is defined
};

// Thrown by a failing check; ends only the scenario that raised it.
class CheckFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace internal {

template <typename T>
std::string show(const T& value) {
  std::ostringstream out;
  out.precision(17);  // doubles round-trip
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    out << '"' << std::string_view(value) << '"';
  } else {
    out << value;
  }
  return out.str();
}

}  // namespace internal

// Fails the running scenario unless `read == expected`, exactly (doubles
// too). `what` is the expression read, shown with both values and the
// position of the check.
template <typename Read, typename Expected>
void check_equal(const Read& read, const Expected& expected, const char* what,
                 const char* file, int line) {
  if (read == expected) return;
  throw CheckFailure(std::string("check failed: ") + what +
                     "\nread:     " + internal::show(read) +
                     "\nexpected: " + internal::show(expected) + "\nat " +
                     file + ":" + std::to_string(line));
}

// Runs the scenarios of `table` that the command line selects and returns
// the process exit status: 0 when every scenario that ran passed, 101 when
// any failed, 2 for a usage error (nothing is run then). Results go to
// `out`, usage errors to `err`.
int run_scenarios(int argc, const char* const* argv,
                  std::span<const ScenarioDescriptor> table, std::ostream& out,
                  std::ostream& err);

// The exit statuses.
inline constexpr int kAllPassed = 0;
inline constexpr int kSomeFailed = 101;
inline constexpr int kUsageError = 2;

}  // namespace selfcheck

// Checks that `read` equals `expected`; see selfcheck::check_equal.
#define SELFCHECK_EQ(read, expected) \
  ::selfcheck::check_equal((read), (expected), #read, __FILE__, __LINE__)

// Defines a scenario and records where, as `name##_position`.
#define SELFCHECK_SCENARIO(name)                                          \
  void name();                                                            \
  inline constexpr ::selfcheck::SourcePosition name##_position{__FILE__,  \
                                                               __LINE__}; \
  void name()
