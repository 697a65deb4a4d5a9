#pragma once

// `profile-query convert INPUT... -o OUTPUT`: write a report store, and
// `profile-query export REPORT -o OUT.json`: write a report as JSON.
namespace profile_query {

// Each returns the exit status: 0 when written, 1 when an input cannot be
// read or the output cannot be written (nothing is left behind), 2 for a
// usage error. `argv[0]` is the command's name.
int convert_command(int argc, const char* const* argv);
int export_command(int argc, const char* const* argv);

}  // namespace profile_query
