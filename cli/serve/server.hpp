#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "cli/serve/api.hpp"

// The explorer's HTTP server: the page's files and the JSON API.
namespace profile_query {

// Answers HTTP on `host`:`port` (0: a free port) until SIGINT or SIGTERM
// arrives: GET and HEAD only, the page at "/", the API under "/api/". Says
// where it listens on `out` ("Serving ... at http://..."), and why it cannot
// on `err`. Only requests whose Host names the server are answered (see
// access.hpp), and with a `token`, only those that carry it: the printed
// URL does. Returns the exit status: 0 after a clean stop, 1 when it could
// not listen.
int serve_http(const Api& api, std::string_view source, const std::string& host,
               std::uint16_t port, const std::optional<std::string>& token,
               std::ostream& out, std::ostream& err);

}  // namespace profile_query
