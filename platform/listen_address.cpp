#include "platform/listen_address.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace halvenor::platform {

std::optional<std::string> canonical_listen_address(const std::string& text) {
  unsigned char buffer[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), buffer) == 1 && inet_ntop(AF_INET, buffer, out, sizeof out)) return out;
  if (inet_pton(AF_INET6, text.c_str(), buffer) == 1 && inet_ntop(AF_INET6, buffer, out, sizeof out)) return out;
  return std::nullopt;
}

bool is_ipv6_address(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool is_loopback_listen_address(const std::string& text) {
  const auto canonical = canonical_listen_address(text);
  return canonical && (*canonical == "127.0.0.1" || *canonical == "::1");
}

std::string host_with_port(const std::string& address, int port) {
  const std::string host = is_ipv6_address(address) ? "[" + address + "]" : address;
  return host + ":" + std::to_string(port);
}

#ifndef _WIN32
namespace {

// The one platform difference in binding. Windows lets another socket take
// over a bound port unless it is claimed with SO_EXCLUSIVEADDRUSE. On Linux a
// listening port is always exclusive (only SO_REUSEPORT, never set here, would
// let a second listener share it), while leaving SO_REUSEADDR unset would make
// a restarted service fail to bind for a minute after serving traffic, because
// this side closes first and keeps the TIME_WAIT entries. A hospital's alert
// service must come back at once after a crash, so on Linux SO_REUSEADDR is
// set: it permits exactly the rebinding over TIME_WAIT and nothing else.
bool claim_port_exclusively(int fd) {
  const int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

}  // namespace

int open_listener(const std::string& address, int port, int backlog, std::string& error) {
  sockaddr_storage local{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v6;
  } else {
    error = "not an IPv4 or IPv6 address";
    return -1;
  }
  const int fd = socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (local.ss_family == AF_INET6) {
    const int v6_only = IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) ? 0 : 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only);
  }
  if (!claim_port_exclusively(fd) || bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
      listen(fd, backlog) != 0) {
    error = std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

std::optional<std::string> listen_refusal(const std::string& address, int port) {
  std::string error;
  const int fd = open_listener(address, port, 1, error);
  if (fd < 0) return error;
  close(fd);
  return std::nullopt;
}
#endif

}  // namespace halvenor::platform
