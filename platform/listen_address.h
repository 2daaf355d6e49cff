// The one reading of a listen address, shared by the installer, the
// administration pages and the service, so that an address one of them
// accepts is one the others can bind.
#pragma once

#include <optional>
#include <string>

namespace halvenor::platform {

// The address in canonical text ("0.0.0.0", "::", "fe80::1"), or nullopt
// when `text` is neither an IPv4 nor an IPv6 address.
std::optional<std::string> canonical_listen_address(const std::string& text);

// True for an IPv6 address (canonical or not).
bool is_ipv6_address(const std::string& text);

// True for the loopback addresses the service may serve without TLS:
// 127.0.0.1 and ::1. Anything else is reachable from the network.
bool is_loopback_listen_address(const std::string& text);

// The Host header text that names `address` with `port`: IPv6 addresses in
// brackets ("[::1]:8765"), others as they are ("127.0.0.1:8765").
std::string host_with_port(const std::string& address, int port);

// Opens a non-blocking, close-on-exec socket listening on `address`
// (canonical or not) and `port` (0 picks a free one) the way the service
// listens: "::" takes IPv4 clients too, any other IPv6 address only itself,
// and the port is held exclusively (see listen_address.cpp). Returns the
// descriptor, or -1 with `error` set to the system's words (for example
// "Address already in use"; "not an IPv4 or IPv6 address" for bad text).
int open_listener(const std::string& address, int port, int backlog, std::string& error);

// Why this computer cannot listen on `address` and `port` right now, or
// nullopt when it can: open_listener's answer, the socket closed again at
// once, so it holds until another program takes the port.
std::optional<std::string> listen_refusal(const std::string& address, int port);

}  // namespace halvenor::platform
