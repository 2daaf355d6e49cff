// The reply limit of the HTTP client: a gateway's answer is cut at the short
// default, while a caller that expects long replies (the desktop agent's
// poll) gets the whole body, including a Content-Length beyond the default.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/http_client.h"

namespace halvenor {
namespace {

// Answers one connection with `body` after reading the request head.
class OneShotServer {
 public:
  explicit OneShotServer(std::string body) : body_(std::move(body)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void serve() {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(body_.size()) + "\r\n\r\n" + body_;
    for (std::size_t at = 0; at < reply.size();) {
      ssize_t n = ::send(fd, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }

  std::string body_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

HttpUrl loopback(int port) {
  HttpUrl url;
  url.tls = false;
  url.host = "127.0.0.1";
  url.port = std::to_string(port);
  url.target = "/api/agent/poll";
  url.host_is_address = true;
  return url;
}

TEST(HttpClientReplyLimit, DefaultCutsLongRepliesAndALargerLimitReadsThemWhole) {
  const std::string body = "[\"" + std::string(1'200'000, 'a') + "\"]";
  {
    OneShotServer server(body);
    HttpClient client(loopback(server.port()), "", 10.0, kMaxReplyBytes, "gateway");
    HttpReply reply = client.exchange("GET", {}, "");
    EXPECT_EQ(reply.status, 200);
    EXPECT_LT(reply.body.size(), kMaxReplyBytes);
    EXPECT_TRUE(reply.cut);
  }
  {
    OneShotServer server(body);
    HttpClient client(loopback(server.port()), "", 10.0, 8 * 1024 * 1024, "gateway");
    HttpReply reply = client.exchange("GET", {}, "");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, body);
    EXPECT_FALSE(reply.cut);
  }
}

}  // namespace
}  // namespace halvenor
