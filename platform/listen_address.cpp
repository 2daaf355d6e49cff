#include "platform/listen_address.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
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

}  // namespace halvenor::platform
