#include "cli/serve/gate.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace profile_query {
namespace {

using Clock = std::chrono::steady_clock;

void set_non_blocking(int socket) {
  ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL, 0) | O_NONBLOCK);
}

// One client, from accept to the end of its answer.
struct Connection {
  int client = -1;
  int upstream = -1;          // the server, from the whole head to its answer's end
  bool passed = false;        // the head went to the server
  std::string request;        // bytes from the client not yet passed on
  std::string answer;         // bytes from the server not yet sent
  bool client_done = false;   // the client will send nothing more
  bool upstream_done = false; // the server has answered in full
  Clock::time_point deadline; // for the head, then for a stalled answer
  std::string peer;           // the client's address, as bytes
};

void close_upstream(Connection& c) {
  if (c.upstream >= 0) ::close(c.upstream);
  c.upstream = -1;
  c.upstream_done = true;
}

void close_connection(Connection& c) {
  if (c.client >= 0) ::close(c.client);
  c.client = -1;
  close_upstream(c);
}

int connect_upstream(std::uint16_t port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Loopback to a listening server: connects at once.
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address),
                sizeof(address)) != 0) {
    ::close(socket);
    return -1;
  }
  set_non_blocking(socket);
  return socket;
}

// Reads what `socket` has into `into`, at most `room` bytes. False when the
// peer closed or failed.
bool read_some(int socket, std::string& into, std::size_t room) {
  char buffer[16384];
  while (room > 0) {
    const ssize_t got = ::recv(socket, buffer, std::min(room, sizeof(buffer)), 0);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
      room -= std::min(room, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

// Writes what it can of `from` to `socket`, dropping what was written.
// False when the peer is gone.
bool write_some(int socket, std::string& from) {
  while (!from.empty()) {
    const ssize_t put = ::send(socket, from.data(), from.size(), MSG_NOSIGNAL);
    if (put > 0) {
      from.erase(0, static_cast<std::size_t>(put));
      continue;
    }
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (put < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

// Whether a request head is whole: an empty line ends it.
bool head_complete(std::string_view request) {
  return request.find("\r\n\r\n") != std::string_view::npos ||
         request.find("\n\n") != std::string_view::npos;
}

// Whether a whole head asks for GET or HEAD, the methods the server answers.
bool reads_only(std::string_view request) {
  const std::string_view method = request.substr(0, request.find(' '));
  return method == "GET" || method == "HEAD";
}

// A client's address without its port, as bytes: what a per-peer count
// is kept by.
std::string peer_of(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    return std::string(reinterpret_cast<const char*>(&v6.sin6_addr), sizeof(v6.sin6_addr));
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  return std::string(reinterpret_cast<const char*>(&v4.sin_addr), sizeof(v4.sin_addr));
}

// As many sockets as the system lets the process have: each held client
// costs one, and two while relayed.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The gate's round: list what each socket waits for, poll, move the bytes
// that are ready (passing each head to the server once it is whole), take
// new clients, then close what is finished or past its deadline. One
// thread runs it; nothing here is shared.
class Gate {
 public:
  // Takes `listener` (made non-blocking) in front of the server at
  // 127.0.0.1:`upstream_port`.
  Gate(int listener, std::uint16_t upstream_port, const GateLimits& limits)
      : listener_(listener), upstream_port_(upstream_port), limits_(limits) {
    raise_descriptor_limit();
    set_non_blocking(listener_);
    capacity_ = capacity(limits_.max_waiting);
  }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Rounds until `stop` is set or polling fails; then closes every
  // connection held.
  void run(const std::atomic<bool>& stop) {
    while (!stop.load()) {
      watch();
      const int ready = ::poll(polled_.data(), polled_.size(), kStopCheckMs);
      if (ready < 0 && errno != EINTR) break;
      const Clock::time_point now = Clock::now();
      relay(now);
      accept_clients(now);
      close_finished(now);
    }
    for (Connection& c : connections_) close_connection(c);
  }

 private:
  // How often `stop` is looked at while nothing happens.
  static constexpr int kStopCheckMs = 100;

  // At most `wanted` clients at once, fewer if the descriptors allowed are
  // short: each client costs a socket, and one more while relayed; some
  // are kept for the server's own.
  static std::size_t capacity(std::size_t wanted) {
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 &&
        descriptors.rlim_cur != RLIM_INFINITY) {
      const auto usable = static_cast<std::size_t>(descriptors.rlim_cur);
      return std::min(wanted, usable > 256 ? (usable - 128) / 2 : 64);
    }
    return wanted;
  }

  // Lists in polled_ what each socket waits for: the listener for clients
  // while there is room (else they wait in the backlog), a client for its
  // head while it fits and for room to take its answer, the server for
  // the answer while it fits and for room to take the request.
  void watch() {
    polled_.clear();
    owners_.clear();
    polled_.push_back(
        {listener_,
         static_cast<short>(connections_.size() < capacity_ ? POLLIN : 0), 0});
    owners_.push_back(nullptr);
    for (Connection& c : connections_) {
      short client_events = 0;
      if (!c.client_done && c.request.size() <= limits_.max_head_bytes)
        client_events |= POLLIN;
      if (!c.answer.empty()) client_events |= POLLOUT;
      polled_.push_back({c.client, client_events, 0});
      owners_.push_back(&c);
      if (c.upstream >= 0) {
        short upstream_events = 0;
        if (c.answer.size() < limits_.max_answer_buffer)
          upstream_events |= POLLIN;
        if (!c.request.empty()) upstream_events |= POLLOUT;
        polled_.push_back({c.upstream, upstream_events, 0});
        owners_.push_back(&c);
      }
    }
  }

  // Moves the bytes each ready socket allows, then passes a head that has
  // become whole. A connection closed on the way is skipped for the rest
  // of the round.
  void relay(Clock::time_point now) {
    for (std::size_t i = 1; i < polled_.size(); ++i) {
      Connection& c = *owners_[i];
      const short got = polled_[i].revents;
      if (got == 0 || c.client < 0) continue;
      bool open = true;
      if (polled_[i].fd == c.client) {
        open = client_ready(c, got, now);
      } else if (polled_[i].fd == c.upstream) {
        open = upstream_ready(c, got, now);
      }
      if (open) pass_head(c, now);
    }
  }

  // Reads the client's request and writes it its answer, as `got` allows.
  // False once the connection is closed.
  bool client_ready(Connection& c, short got, Clock::time_point now) {
    // Closed both ways, or failed: no one to answer.
    if ((got & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      close_connection(c);
      return false;
    }
    if ((got & POLLIN) != 0) {
      // One byte past the limit is enough to know the head is too long.
      const std::size_t room =
          limits_.max_head_bytes + 1 -
          std::min(limits_.max_head_bytes, c.request.size());
      if (!read_some(c.client, c.request, room)) {
        c.client_done = true;
        // Gone before its request was whole: nothing to answer. (A
        // client may end its side once it has sent a whole request.)
        if (!c.passed && !head_complete(c.request)) {
          close_connection(c);
          return false;
        }
      }
    }
    if ((got & POLLOUT) != 0) {
      if (!write_some(c.client, c.answer)) {
        close_connection(c);
        return false;
      }
      c.deadline = now + limits_.stalled_answer;
    }
    return true;
  }

  // Reads the server's answer and writes it the request, as `got` allows.
  // False once the server's side is closed: answered in full, or failed.
  bool upstream_ready(Connection& c, short got, Clock::time_point now) {
    if ((got & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const std::size_t room =
          limits_.max_answer_buffer -
          std::min(limits_.max_answer_buffer, c.answer.size());
      const bool open = read_some(c.upstream, c.answer, room);
      c.deadline = now + limits_.stalled_answer;
      if (!open) {
        close_upstream(c);
        return false;
      }
    }
    if ((got & POLLOUT) != 0 && !write_some(c.upstream, c.request)) {
      close_upstream(c);
      return false;
    }
    return true;
  }

  // A whole head (or one too long to wait for) goes to the server, or is
  // refused for its method; from then on the client no longer counts as
  // waiting.
  void pass_head(Connection& c, Clock::time_point now) {
    if (c.passed || (!head_complete(c.request) &&
                     c.request.size() <= limits_.max_head_bytes)) {
      return;
    }
    if (!limits_.refused_method.empty() && head_complete(c.request) &&
        !reads_only(c.request)) {
      // Answered here; the connection closes once the answer is sent.
      c.passed = true;
      c.upstream_done = true;
      c.answer = limits_.refused_method;
      c.request.clear();
      done_waiting(c);
      c.deadline = now + limits_.stalled_answer;
      return;
    }
    c.upstream = connect_upstream(upstream_port_);
    if (c.upstream < 0) {
      close_connection(c);
      return;
    }
    c.passed = true;
    done_waiting(c);
    c.deadline = now + limits_.stalled_answer;
  }

  // New clients, as many as there is room for; one over its address's
  // share is closed at once.
  void accept_clients(Clock::time_point now) {
    while (connections_.size() < capacity_) {
      sockaddr_storage address{};
      socklen_t size = sizeof(address);
      const int client =
          ::accept4(listener_, reinterpret_cast<sockaddr*>(&address), &size,
                    SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0) break;
      std::string peer = peer_of(address);
      std::size_t& count = waiting_[peer];
      if (count >= limits_.max_waiting_per_peer) {
        ::close(client);
        continue;
      }
      ++count;
      Connection& c = connections_.emplace_back();
      c.client = client;
      c.peer = std::move(peer);
      c.deadline = now + limits_.head_deadline;
    }
  }

  // Answered in full, or past their deadline: closed and forgotten.
  void close_finished(Clock::time_point now) {
    for (auto at = connections_.begin(); at != connections_.end();) {
      Connection& c = *at;
      const bool answered = c.passed && c.upstream_done && c.answer.empty();
      // Deadlines for a head not yet whole, and for an answer the client
      // does not take; none while the server works on it (a query of 10^8
      // samples takes seconds).
      const bool timed = !c.passed || !c.answer.empty();
      if (c.client >= 0 && (answered || (timed && now >= c.deadline))) {
        close_connection(c);
      }
      if (c.client < 0 && !c.passed) done_waiting(c);
      at = c.client < 0 ? connections_.erase(at) : std::next(at);
    }
  }

  // Takes `c` off its address's count of clients whose head is not yet
  // whole; once only, as its peer is cleared.
  void done_waiting(Connection& c) {
    const auto at = waiting_.find(c.peer);
    if (at != waiting_.end() && --at->second == 0) waiting_.erase(at);
    c.peer.clear();
  }

  int listener_;
  std::uint16_t upstream_port_;
  GateLimits limits_;
  std::size_t capacity_ = 0;  // clients held at once
  // A list: owners_ points into it, and any connection may go first.
  std::list<Connection> connections_;
  std::map<std::string, std::size_t> waiting_;  // per peer, heads not whole
  std::vector<pollfd> polled_;                  // rebuilt each round by watch()
  std::vector<Connection*> owners_;  // of polled_[i], null for the listener
};

}  // namespace

int listen_socket(const char* host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host, service.c_str(), &hints, &found) != 0) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  int saved = 0;
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const int socket = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC,
                                at->ai_protocol);
    if (socket < 0) {
      saved = errno;
      continue;
    }
    // SO_REUSEADDR for a quick restart, not SO_REUSEPORT: a second server
    // on a port in use must fail, not share the port.
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (::bind(socket, at->ai_addr, at->ai_addrlen) == 0 &&
        ::listen(socket, 1024) == 0) {
      ::freeaddrinfo(found);
      return socket;
    }
    saved = errno;
    ::close(socket);
  }
  ::freeaddrinfo(found);
  errno = saved;
  return -1;
}

std::uint16_t bound_port(int socket) {
  sockaddr_storage address{};
  socklen_t size = sizeof(address);
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

void run_gate(int listener, std::uint16_t upstream_port,
              const std::atomic<bool>& stop, const GateLimits& limits) {
  Gate(listener, upstream_port, limits).run(stop);
}

}  // namespace profile_query
