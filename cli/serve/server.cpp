#include "cli/serve/server.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <httplib.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <variant>
#include <unistd.h>

#include "cli/serve/access.hpp"
#include "cli/serve/gate.hpp"
#include "cli/serve/page_files.hpp"
#include "cli/serve/query_string.hpp"
#include "frontend_core/message_text.hpp"
#include "frontend_core/rendering/render_trace.hpp"

namespace profile_query {
namespace {

constexpr std::string_view kJson = "application/json; charset=utf-8";

// Threads that answer requests (see serve_http).
constexpr std::size_t kWorkers = 16;

// Only the page's own files, no inline code, no framing by other sites.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";

// Headers of every response.
const httplib::Headers kEveryResponse = {
    {"X-Content-Type-Options", "nosniff"},
    {"Content-Security-Policy", kContentSecurityPolicy},
    {"Referrer-Policy", "no-referrer"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
};

// The response to a method other than GET and HEAD, whole, as the gate
// sends it in the server's place.
std::string refused_method_response() {
  const std::string body = error_json("only GET and HEAD are allowed");
  std::string out =
      "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\n"
      "Content-Type: ";
  out.append(kJson).append("\r\nContent-Length: ");
  out.append(std::to_string(body.size())).append("\r\nConnection: close\r\n");
  for (const auto& [name, value] : kEveryResponse) {
    out.append(name).append(": ").append(value).append("\r\n");
  }
  return out.append("\r\n").append(body);
}

// Moves the body into the response: a large answer is not copied on the
// HTTP worker's thread, whose memory would then keep its size.
void send(httplib::Response& response, ApiAnswer answer) {
  response.status = answer.status;
  response.set_header("Cache-Control", "no-store");
  response.set_header("Content-Type", std::string(kJson));
  response.body = std::move(answer.body);
}

// The parameters of the request's raw target (see query_string.hpp).
std::optional<Parameters> parameters_of(const httplib::Request& request) {
  const std::size_t mark = request.target.find('?');
  return parse_query_string(
      mark == std::string::npos
          ? std::string_view()
          : std::string_view(request.target).substr(mark + 1));
}

constexpr std::string_view kMalformed =
    "malformed query string: a % escape must be followed by two hex digits";

// The request's parameters but the token, which is the server's, not the
// query's; nothing when the query string is malformed.
std::optional<Parameters> given_parameters(const httplib::Request& request) {
  auto parameters = parameters_of(request);
  if (parameters) {
    std::erase_if(*parameters,
                  [](const auto& pair) { return pair.first == "token"; });
  }
  return parameters;
}

// Hands the request's parameters but the token to `use`, which answers;
// a malformed query string is answered 400 here.
template <typename Use>
void with_parameters(const httplib::Request& request,
                     httplib::Response& response, Use&& use) {
  const auto parameters = given_parameters(request);
  if (!parameters) {
    send(response, {400, error_json(kMalformed)});
    return;
  }
  use(*parameters);
}

// Streams the trace events, a file to save, as the export command writes
// them: the window may hold a million samples, some hundreds of MB, never
// held whole.
void send_trace(httplib::Response& response, TraceExport trace) {
  response.set_header("Cache-Control", "no-store");
  response.set_header("Content-Disposition",
                      "attachment; filename=\"trace.json\"");
  response.set_chunked_content_provider(
      std::string(kJson),
      [trace](std::size_t, httplib::DataSink& sink) {
        // A client gone midway: the rest is passed over, unwritten.
        bool open = true;
        write_trace_events(*trace.report, trace.window,
                           [&](std::string_view piece) {
                             if (open) open = sink.write(piece.data(), piece.size());
                           });
        if (open) sink.done();
        return open;
      });
}

// The URL to print for the address the server listens on.
std::string url_of(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port) + "/";
}

// Waits for SIGINT or SIGTERM (blocked in every thread, so only this one
// takes them) and stops the server; gives up once `done` is set.
void watch_signals(httplib::Server& server, const std::atomic<bool>& done,
                   std::atomic<int>& caught) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  const timespec tick{0, 100'000'000};
  while (!done.load()) {
    const int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) {
      caught.store(signal);
      break;
    }
  }
  // A stop that comes before the server's loop has started is lost: repeat
  // it until the loop has ended.
  while (caught.load() != 0 && !done.load()) {
    server.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Refuses, before any route, a request that `policy` does not admit: 403
// and why. A token given in the address is kept in a cookie, so that the
// page's own requests carry it.
void guard(httplib::Server& server, const AccessPolicy& policy) {
  server.set_pre_routing_handler([&policy](const httplib::Request& request,
                                           httplib::Response& response) {
    // Which one a check would read is anyone's guess: refused.
    if (request.get_header_value_count("Host") > 1) {
      response.status = 400;
      response.set_content(error_json("the request has more than one Host "
                                      "header"),
                           std::string(kJson));
      return httplib::Server::HandlerResponse::Handled;
    }
    RequestCredentials credentials;
    const std::string host = request.get_header_value("Host");
    const std::string authorization =
        request.get_header_value("Authorization");
    const std::string cookie = request.get_header_value("Cookie");
    credentials.host = host;
    credentials.authorization = authorization;
    credentials.cookie = cookie;
    if (const auto parameters = parameters_of(request)) {
      for (const auto& [name, value] : *parameters) {
        if (name == "token") credentials.query = value;
      }
    }
    if (const auto why = refusal(policy, credentials)) {
      response.status = 403;
      response.set_content(error_json(*why), std::string(kJson));
      return httplib::Server::HandlerResponse::Handled;
    }
    if (policy.token && credentials.query) {
      response.set_header("Set-Cookie", std::string(kTokenCookie) + "=" +
                                            *policy.token +
                                            "; Path=/; HttpOnly; "
                                            "SameSite=Strict");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

void route(httplib::Server& server, const Api& api) {
  // The paths whose answer is one JSON body.
  using Call = ApiAnswer (Api::*)(const Parameters&) const;
  const std::pair<const char*, Call> calls[] = {
      {"/api/report", &Api::report},     {"/api/diff", &Api::diff},
      {"/api/query", &Api::query},       {"/api/activity", &Api::activity},
      {"/api/timeline", &Api::timeline}, {"/api/sample", &Api::sample},
  };
  for (const auto& entry : calls) {
    const Call call = entry.second;
    server.Get(entry.first, [&api, call](const httplib::Request& request,
                                         httplib::Response& response) {
      with_parameters(request, response, [&](const Parameters& parameters) {
        send(response, (api.*call)(parameters));
      });
    });
  }
  server.Get("/api/trace-events", [&api](const httplib::Request& request,
                                         httplib::Response& response) {
    with_parameters(request, response, [&](const Parameters& parameters) {
      auto asked = api.trace_events(parameters);
      if (auto* refused = std::get_if<ApiAnswer>(&asked)) {
        send(response, std::move(*refused));
      } else {
        send_trace(response, std::get<TraceExport>(std::move(asked)));
      }
    });
  });
  for (const PageFile& file : page_files()) {
    const std::string path =
        file.path == "/index.html" ? "/" : std::string(file.path);
    // The page's address carries its view, which its script reads; the
    // other files take no parameters.
    const bool takes_parameters = path == "/";
    server.Get(path, [file, takes_parameters](const httplib::Request& request,
                                              httplib::Response& response) {
      const auto serve_file = [&] {
        response.set_header("Cache-Control", "no-cache");
        response.set_content(file.bytes.data(), file.bytes.size(),
                             std::string(file.content_type).c_str());
      };
      if (takes_parameters) {
        serve_file();
        return;
      }
      with_parameters(request, response, [&](const Parameters& parameters) {
        if (parameters.empty()) {
          serve_file();
        } else {
          send(response, {400, error_json("unknown parameter '" +
                                           shown(parameters.front().first) +
                                           "'")});
        }
      });
    });
  }
  // Nothing here changes: every other method is refused as such.
  const auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content(error_json("only GET and HEAD are allowed"),
                         std::string(kJson));
  };
  server.Post(".*", refuse);
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
  // Statuses the routes above do not set (404, and httplib's own 4xx):
  // the same JSON error shape, whatever the path.
  server.set_error_handler(
      [](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return;
        const char* what = response.status == 404   ? "not found"
                           : response.status == 414 ? "the address is too long"
                                                    : "bad request";
        response.set_content(error_json(what), std::string(kJson));
      });
}

}  // namespace

int serve_http(const Api& api, std::string_view source, const std::string& host,
               std::uint16_t port, const std::optional<std::string>& token,
               std::ostream& out, std::ostream& err) {
  // Signals go to the watcher alone; a client gone mid-answer is not fatal.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  // The server sees only whole requests, one per connection, from the gate
  // (gate.hpp), which holds the idle and slow clients; its workers are for
  // answering. The queries themselves run at most two at once (see Api).
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server.set_read_timeout(2, 0);
  server.set_write_timeout(30, 0);
  server.set_keep_alive_max_count(1);
  server.set_payload_max_length(4096);
  server.set_default_headers(kEveryResponse);
  route(server, api);

  // A name that resolves to nothing says so, rather than a stale errno.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
      code != 0) {
    err << "profile-query: cannot listen on " << escape_control(host) << ": "
        << ::gai_strerror(code) << '\n';
    return 1;
  }
  ::freeaddrinfo(found);

  errno = 0;
  const int listener = listen_socket(host.c_str(), port);
  const int internal = listener < 0 ? -1 : server.bind_to_any_port("127.0.0.1");
  if (listener < 0 || internal < 0) {
    err << "profile-query: cannot listen on " << escape_control(host)
        << " port " << port << ": "
        << (errno != 0 ? std::strerror(errno) : "the address is not usable")
        << '\n';
    if (listener >= 0) ::close(listener);
    return 1;
  }
  const std::uint16_t bound = bound_port(listener);
  AccessPolicy policy;
  policy.hosts = accepted_hosts(host, bound);
  policy.token = token;
  guard(server, policy);
  out << "Serving " << source << " at " << url_of(host, bound)
      << (token ? "?token=" + *token : "") << " (Ctrl-C to stop)" << std::endl;

  std::atomic<bool> done{false};
  std::atomic<int> caught{0};
  std::thread watcher(watch_signals, std::ref(server), std::cref(done),
                      std::ref(caught));
  std::atomic<bool> closing{false};
  std::thread gate([&] {
    GateLimits limits;
    limits.refused_method = refused_method_response();
    run_gate(listener, static_cast<std::uint16_t>(internal), closing, limits);
  });
  const bool listened = server.listen_after_bind();
  done.store(true);
  watcher.join();
  closing.store(true);
  gate.join();
  ::close(listener);
  if (caught.load() != 0) {
    out << "Stopped." << std::endl;
    return 0;
  }
  if (!listened) {
    err << "profile-query: the server stopped: " << std::strerror(errno)
        << '\n';
  }
  return listened ? 0 : 1;
}

}  // namespace profile_query
