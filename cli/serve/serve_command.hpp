#pragma once

// `profile-query serve`: load a report once, then explore it in a browser.
namespace profile_query {

// Runs the serve command; `argv[0]` is "serve". Returns the exit status:
// 0 after a clean stop, 1 when the report cannot be loaded or the server
// cannot listen, 2 for a usage error.
int serve_command(int argc, const char* const* argv);

}  // namespace profile_query
