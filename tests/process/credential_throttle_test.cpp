// Guessing credentials against the running service: one address sending
// wrong bearer tokens is soon refused with 429 and Retry-After, while a
// caller with a valid token from another address is served as before.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

const char* const kConfig = R"({
  "mode": "test", "provider": "mock",
  "mobile_providers": {"sms": {"driver": "mock"}, "whatsapp": {"driver": "mock"}},
  "users": [{"id": "op", "role": "operator", "token": "op-token-123456"}],
  "devices": [], "contacts": [], "groups": []
})";

// The whole reply to `request`, sent from the loopback address `source`.
std::string exchange_from(const char* source, int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  const timeval guard{static_cast<time_t>(kReplyTimeout.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port));
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    ::close(fd);
    throw std::runtime_error(std::string("cannot send a request from ") + source);
  }
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return reply;
}

int status_of(const std::string& reply) { return reply.size() >= 12 ? std::stoi(reply.substr(9, 3)) : 0; }

TEST(CredentialThrottleTest, WrongTokensFromOneAddressEndIn429AndOthersAreServed) {
  TempFolder folder;
  Service service = start_service({"--config", folder.write("config.json", kConfig).string(), "--db",
                                   (folder.path() / "core.sqlite3").string(), "--port", "0"});
  const std::string host = "127.0.0.1:" + std::to_string(service.port);
  auto state_with = [&](const std::string& token) {
    return raw_request("GET", "/api/state", {{"Host", host}, {"Authorization", "Bearer " + token}});
  };

  // Far more guesses than the burst allows, faster than it refills.
  std::string refused;
  int unauthorised = 0;
  for (int i = 0; i < 200 && refused.empty(); ++i) {
    const std::string reply = exchange_from("127.0.0.2", service.port, state_with("guess-" + std::to_string(i)));
    if (status_of(reply) == 429) refused = reply;
    else if (status_of(reply) == 401) ++unauthorised;
    else FAIL() << reply.substr(0, 200);
  }
  ASSERT_FALSE(refused.empty()) << unauthorised << " guesses answered 401 without any refusal";
  EXPECT_GE(unauthorised, 10);  // ordinary mistakes are not punished at once
  EXPECT_NE(refused.find("\r\nRetry-After: "), std::string::npos) << refused;
  EXPECT_NE(refused.find("{\"error\":"), std::string::npos) << refused;

  EXPECT_EQ(status_of(exchange_from("127.0.0.1", service.port, state_with("op-token-123456"))), 200);
  // Throttled before the credential is looked at: a right guess is no different.
  EXPECT_EQ(status_of(exchange_from("127.0.0.2", service.port, state_with("op-token-123456"))), 429);
}

}  // namespace
}  // namespace halvenor::testing
