#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who may ask the server. On loopback, only requests whose Host names the
// server itself: a page of another site that rebinds its own name to
// 127.0.0.1 sends its own name, and is refused. Beyond loopback, a token
// that only the URL the server printed carries.
namespace profile_query {

// The name of the cookie that keeps the token after the first visit.
inline constexpr std::string_view kTokenCookie = "zun_token";

struct AccessPolicy {
  // The Host values accepted, lowercase; empty accepts any (a server on
  // every interface, whose names are not known: the token guards it).
  std::vector<std::string> hosts;
  std::optional<std::string> token;  // required when present
};

// Whether `host` names a loopback address: localhost, 127.0.0.0/8 or ::1.
bool is_loopback_host(std::string_view host);

// Whether `host` is an address of every interface: 0.0.0.0, :: or empty.
bool is_wildcard_host(std::string_view host);

// The Host values a server on `host`:`port` answers to: that address with
// its port, and localhost, 127.0.0.1 and [::1] with it (also without it on
// port 80, as browsers send them). None for a wildcard address.
std::vector<std::string> accepted_hosts(std::string_view host,
                                        std::uint16_t port);

// A fresh random token: 32 hex digits (128 bits).
std::string make_token();

// Whether `text` may serve as a token: 8 to 256 of A-Z a-z 0-9 . _ ~ -
// (it appears unescaped in a URL and a cookie).
bool is_valid_token(std::string_view text);

// What one request carries, as read from its head.
struct RequestCredentials {
  std::string_view host;             // the Host header, empty when absent
  std::optional<std::string> query;  // the token= parameter, if any
  std::string_view authorization;    // the Authorization header
  std::string_view cookie;           // the Cookie header
};

// Why a request is refused, or nothing when it may be answered.
std::optional<std::string> refusal(const AccessPolicy& policy,
                                   const RequestCredentials& request);

}  // namespace profile_query
