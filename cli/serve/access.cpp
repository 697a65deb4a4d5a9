#include "cli/serve/access.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <random>

namespace profile_query {
namespace {

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  return out;
}

// Compares in time that depends on the lengths only, not on where the
// texts first differ.
bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

// The value of cookie `name` in a Cookie header ("a=1; b=2").
std::optional<std::string_view> cookie_value(std::string_view header,
                                             std::string_view name) {
  while (!header.empty()) {
    const std::size_t end = header.find(';');
    std::string_view pair = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view()
                                           : header.substr(end + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return pair.substr(equals + 1);
    }
  }
  return std::nullopt;
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  const std::string name = lowercase(host);
  if (name == "localhost" || name == "::1") return true;
  in_addr v4{};
  return ::inet_pton(AF_INET, name.c_str(), &v4) == 1 &&
         (ntohl(v4.s_addr) >> 24) == 127;
}

bool is_wildcard_host(std::string_view host) {
  return host.empty() || host == "0.0.0.0" || host == "::";
}

std::vector<std::string> accepted_hosts(std::string_view host,
                                        std::uint16_t port) {
  if (is_wildcard_host(host)) return {};
  // Built with append: g++ 12 warns falsely on chains of + here.
  std::string own;
  const std::string name = lowercase(host);
  if (name.find(':') != std::string::npos) {
    own.append("[").append(name).append("]");
  } else {
    own = name;
  }
  std::vector<std::string> hosts;
  for (const std::string& each : {own, std::string("localhost"),
                                  std::string("127.0.0.1"), std::string("[::1]")}) {
    std::string with_port = each;
    with_port.append(":").append(std::to_string(port));
    if (std::find(hosts.begin(), hosts.end(), with_port) != hosts.end())
      continue;
    hosts.push_back(with_port);
    if (port == 80) hosts.push_back(each);
  }
  return hosts;
}

std::string make_token() {
  std::random_device device;
  std::string token;
  constexpr char kDigits[] = "0123456789abcdef";
  for (int word = 0; word < 4; ++word) {
    std::uint32_t bits = device();
    for (int digit = 0; digit < 8; ++digit, bits >>= 4) {
      token += kDigits[bits & 0xF];
    }
  }
  return token;
}

bool is_valid_token(std::string_view text) {
  return text.size() >= 8 && text.size() <= 256 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '.' || c == '_' || c == '~' ||
                  c == '-';
         });
}

std::optional<std::string> refusal(const AccessPolicy& policy,
                                   const RequestCredentials& request) {
  if (!policy.hosts.empty() &&
      std::find(policy.hosts.begin(), policy.hosts.end(),
                lowercase(request.host)) == policy.hosts.end()) {
    return "this server answers only to the address it listens on "
           "(Host " + policy.hosts.front() + ")";
  }
  if (!policy.token) return std::nullopt;
  const std::string& token = *policy.token;
  std::string_view given;
  if (request.query) {
    given = *request.query;
  } else if (request.authorization.starts_with("token ")) {
    given = request.authorization.substr(6);
  } else if (auto cookie = cookie_value(request.cookie, kTokenCookie)) {
    given = *cookie;
  } else {
    return "a token is needed: open the address the server printed";
  }
  if (!same_secret(given, token)) return "wrong token";
  return std::nullopt;
}

}  // namespace profile_query
