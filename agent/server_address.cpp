#include "agent/server_address.h"

#include <cctype>
#include <stdexcept>

namespace halvenor::agent {
namespace {

[[noreturn]] void refuse(const std::string& why) { throw std::invalid_argument("\"server_url\" " + why); }

bool valid_port(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  const int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

}  // namespace

std::string ServerAddress::authority() const {
  const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return port == "443" ? name : name + ":" + port;
}

ServerAddress parse_server_url(const std::string& url) {
  if (url.size() > kMaxServerUrlLength)
    refuse("is longer than " + std::to_string(kMaxServerUrlLength) + " characters");
  for (char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      refuse("may not contain spaces or control characters");
  if (url.rfind("https://", 0) != 0) refuse("must start with https://");
  const std::string rest = url.substr(8);
  if (rest.find('#') != std::string::npos) refuse("may not contain a fragment (#)");
  const std::string authority = rest.substr(0, rest.find_first_of("/?"));
  if (authority.find('@') != std::string::npos) refuse("may not hold a user name or password");
  ServerAddress out;
  std::string port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) refuse("has an unclosed [ in its host");
    out.host = authority.substr(1, close - 1);
    out.host_is_address = true;
    const std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') refuse("has a malformed host");
      port = after.substr(1);
    }
  } else {
    const std::size_t colon = authority.find(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
    bool dotted = !out.host.empty();
    for (char c : out.host) dotted = dotted && (std::isdigit(static_cast<unsigned char>(c)) || c == '.');
    out.host_is_address = dotted;
  }
  if (out.host.empty()) refuse("needs a host name");
  for (char& c : out.host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (port.empty()) port = "443";
  if (!valid_port(port)) refuse("has an invalid port");
  out.port = port;
  return out;
}

}  // namespace halvenor::agent
