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
std::optional<std::string> listen_refusal(const std::string& address, int port) {
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
    return "not an IPv4 or IPv6 address";
  }
  const int fd = socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  // The service sets these too: a port left in TIME_WAIT by its own last
  // run is free for it, and "::" covers IPv4 as well.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (local.ss_family == AF_INET6) {
    const int v6_only = IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) ? 0 : 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only);
  }
  std::optional<std::string> refusal;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 || listen(fd, 1) != 0) refusal = std::strerror(errno);
  close(fd);
  return refusal;
}
#endif

}  // namespace halvenor::platform
