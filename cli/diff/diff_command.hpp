#pragma once

// `profile-query diff`: compare two runs, and gate regressions.
namespace profile_query {

// Exit status of a diff whose gate found a regression.
inline constexpr int kRegression = 3;

// Runs the diff command; `argv[0]` is "diff". Returns the exit status: 0
// when compared (and the gate held), 1 when a report cannot be read or the
// output cannot be written, 2 for a usage error, kRegression when the gate
// fails.
int diff_command(int argc, const char* const* argv);

}  // namespace profile_query
