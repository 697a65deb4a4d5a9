#include "cli/serve/gate.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace profile_query {
namespace {

int connect_to(std::uint16_t port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  return socket;
}

// Everything `socket` receives until the peer closes (or 10 s pass).
std::string read_all(int socket) {
  std::string got;
  char buffer[4096];
  pollfd ready{socket, POLLIN, 0};
  while (::poll(&ready, 1, 10000) == 1) {
    const ssize_t n = ::recv(socket, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

void send_text(int socket, const std::string& text) {
  ASSERT_EQ(::send(socket, text.data(), text.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(text.size()));
}

// A gate in front of a stand-in server that answers each connection with
// what it read, once the head is whole, then closes.
class GateTest : public ::testing::Test {
 protected:
  void start(const GateLimits& limits) {
    upstream_ = listen_socket("127.0.0.1", 0);
    public_ = listen_socket("127.0.0.1", 0);
    ASSERT_GE(upstream_, 0);
    ASSERT_GE(public_, 0);
    server_ = std::thread([this] {
      while (true) {
        const int client = ::accept(upstream_, nullptr, nullptr);
        if (client < 0) return;
        std::string head;
        char c = 0;
        while (head.find("\r\n\r\n") == std::string::npos && ::recv(client, &c, 1, 0) == 1) {
          head += c;
        }
        ++answered_;
        send_text(client, "echo:" + head);
        ::close(client);
      }
    });
    gate_ = std::thread([this, limits] {
      run_gate(public_, bound_port(upstream_), stop_, limits);
    });
  }

  void TearDown() override {
    stop_ = true;
    if (gate_.joinable()) gate_.join();
    ::shutdown(upstream_, SHUT_RDWR);
    ::close(upstream_);
    if (server_.joinable()) server_.join();
    ::close(public_);
  }

  std::uint16_t port() const { return bound_port(public_); }

  int upstream_ = -1;
  int public_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread server_;
  std::thread gate_;
};

TEST_F(GateTest, AWholeRequestIsRelayedBothWays) {
  start({});
  const int client = connect_to(port());
  // In pieces, as a slow client sends it: nothing reaches the server until
  // the head is whole.
  send_text(client, "GET / HTTP/1.1\r\nHo");
  send_text(client, "st: x\r\n\r\n");
  EXPECT_EQ(read_all(client), "echo:GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  ::close(client);
}

TEST_F(GateTest, AClientMayEndItsSideOnceItsRequestIsWhole) {
  start({});
  const int client = connect_to(port());
  send_text(client, "GET /done HTTP/1.1\r\n\r\n");
  ::shutdown(client, SHUT_WR);
  EXPECT_EQ(read_all(client), "echo:GET /done HTTP/1.1\r\n\r\n");
  ::close(client);
}

TEST_F(GateTest, AnUnfinishedHeadIsClosedAtItsDeadlineUnseenByTheServer) {
  GateLimits limits;
  limits.head_deadline = std::chrono::milliseconds(200);
  start(limits);
  const int silent = connect_to(port());
  const int unfinished = connect_to(port());
  send_text(unfinished, "GET / HTTP/1.1\r\nHost: x");
  EXPECT_EQ(read_all(silent), "");
  EXPECT_EQ(read_all(unfinished), "");
  EXPECT_EQ(answered_.load(), 0);
  ::close(silent);
  ::close(unfinished);
}

TEST_F(GateTest, OnePeerCannotHoldMoreThanItsShare) {
  GateLimits limits;
  limits.max_waiting_per_peer = 2;
  start(limits);
  const int first = connect_to(port());
  const int second = connect_to(port());
  const int third = connect_to(port());
  EXPECT_EQ(read_all(third), "");  // closed at once
  // The two it holds are still served.
  send_text(first, "GET /a HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_all(first), "echo:GET /a HTTP/1.1\r\n\r\n");
  // Its place is free again once its head went on.
  const int fourth = connect_to(port());
  send_text(fourth, "GET /b HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_all(fourth), "echo:GET /b HTTP/1.1\r\n\r\n");
  for (const int s : {first, second, third, fourth}) ::close(s);
}

TEST_F(GateTest, AnOverlongHeadGoesToTheServerToRefuse) {
  GateLimits limits;
  limits.max_head_bytes = 64;
  start(limits);
  const int client = connect_to(port());
  const std::string head = "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n";
  send_text(client, head);
  EXPECT_EQ(read_all(client), "echo:" + head);
  ::close(client);
}

}  // namespace
}  // namespace profile_query
