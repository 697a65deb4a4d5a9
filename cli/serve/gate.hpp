#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// The door in front of the HTTP server. A thread-per-connection server
// gives each connection a worker from its first byte to its last, so a few
// hundred clients that connect and say nothing, or send a byte a second,
// would hold every worker. The gate holds them instead, all in one thread
// and at the cost of a socket each: it takes the connections on the public
// socket, waits until a request's head is complete (or its deadline has
// passed: then it closes it), and only then hands the request to the
// server on its internal loopback socket, relaying the answer back. One
// request per connection: the server closes after each answer, so every
// request passes the gate on its own.
namespace profile_query {

struct GateLimits {
  std::chrono::milliseconds head_deadline{5000};  // from accept to a whole head
  std::size_t max_head_bytes = 16384;  // more is passed on; the server refuses it
  std::size_t max_waiting = 4096;      // clients held at once; more wait in the backlog
  // Clients of one address whose request is not yet whole: one host cannot
  // take every place; its next ones are closed at once.
  std::size_t max_waiting_per_peer = 1024;
  std::size_t max_answer_buffer = std::size_t{1} << 20;  // per connection
  // An answer the client does not read for this long is given up (the
  // server may take as long as it needs to answer).
  std::chrono::milliseconds stalled_answer{30000};
  // The whole response sent, in place of the server's, to a request whose
  // method is neither GET nor HEAD: whatever the method and however the
  // server would read its body, it is refused as such. Empty: every request
  // goes to the server.
  std::string refused_method;
};

// Runs the gate on `listener` (a listening socket, made non-blocking here)
// in front of the server at 127.0.0.1:`upstream_port`, until `stop` is set
// (checked every 100 ms). Closes every connection it holds when it ends.
void run_gate(int listener, std::uint16_t upstream_port,
              const std::atomic<bool>& stop, const GateLimits& limits = {});

// Makes a listening socket on `host`:`port` (0: a free port). Returns the
// socket, or -1 with errno set.
int listen_socket(const char* host, std::uint16_t port);

// The port a socket is bound to.
std::uint16_t bound_port(int socket);

}  // namespace profile_query
