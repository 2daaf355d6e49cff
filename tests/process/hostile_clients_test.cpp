// Nine hundred clients that stop half-way, against the running service: while
// they hang, ordinary requests are still answered; when the read deadline
// passes, each gets its refusal (408 for a started request, a silent close
// for a handshake never finished) and its connection is released.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "net/certificates.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// All from one address, so within the transport's per-address cap (1000)
// with room left for the ordinary requests.
constexpr int kStalledClients = 900;
constexpr int kOrdinaryRequests = 20;
constexpr int kSampled = 10;  // stalled clients read back at each end of the list
constexpr std::chrono::seconds kReleaseTimeout{90};

const char* const kConfig = R"({
  "mode": "test", "provider": "mock",
  "mobile_providers": {"sms": {"driver": "mock"}, "whatsapp": {"driver": "mock"}},
  "users": [{"id": "op", "role": "operator", "token": "op-token-123456"}],
  "devices": [{"id": "pc-1", "token": "pc1-token-123456", "site": "North", "department": "Wards"}],
  "contacts": [], "groups": []
})";

// The stalled clients and the server's descriptors must both fit.
void raise_open_file_limit() {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < static_cast<rlim_t>(kStalledClients + 200))
    GTEST_SKIP() << "open-file limit " << limit.rlim_cur << " is too low for " << kStalledClients << " clients";
}

std::size_t open_descriptors(pid_t pid) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++n;
  return n;
}

// The soft "Max open files" figure of a process.
long long open_file_limit(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(limits, line);)
    if (line.rfind("Max open files", 0) == 0) return std::stoll(line.substr(26));
  return -1;
}

std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

class HostileClientsTest : public ::testing::Test {
 protected:
  void SetUp() override { raise_open_file_limit(); }
  void TearDown() override {
    for (int fd : stalled_) ::close(fd);
  }

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--config", folder_.write("config.json", kConfig).string(), "--db",
                                     (folder_.path() / "core.sqlite3").string(), "--port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    service_ = start_service(args);
    EXPECT_GE(open_file_limit(service_.process->pid()), kStalledClients + 200);
    baseline_ = open_descriptors(service_.process->pid());
  }

  std::string request() const {
    return raw_request("GET", "/api/version", {{"Host", "127.0.0.1:" + std::to_string(service_.port)}});
  }

  // Stalled clients are still held when ordinary ones are answered.
  void expect_served_while_stalled(const std::function<HttpReply()>& ordinary) {
    for (int i = 0; i < kOrdinaryRequests; ++i) {
      HttpReply reply = ordinary();
      ASSERT_EQ(reply.status, 200) << reply.body;
    }
    EXPECT_GE(open_descriptors(service_.process->pid()), baseline_ + kStalledClients / 2)
        << "the stalled clients were dropped before the ordinary requests, so they proved nothing";
  }

  // Sampled stalled clients get `expected` (a status line prefix, or "" for a
  // silent close), then the server's descriptors fall back to where they were.
  void expect_released(const std::string& expected) {
    for (int i = 0; i < kStalledClients; ++i) {
      if (i >= kSampled && i < kStalledClients - kSampled) continue;
      const std::string text = read_to_end(stalled_[static_cast<std::size_t>(i)]);
      if (expected.empty()) {
        EXPECT_EQ(text, "") << "client " << i;
      } else {
        EXPECT_EQ(text.substr(0, expected.size()), expected) << "client " << i << ": " << text.substr(0, 80);
      }
    }
    const auto deadline = Clock::now() + kReleaseTimeout;
    while (open_descriptors(service_.process->pid()) > baseline_ + 8 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(open_descriptors(service_.process->pid()), baseline_ + 8);
  }

  TempFolder folder_;
  Service service_;
  std::size_t baseline_ = 0;
  std::vector<int> stalled_;
};

TEST_F(HostileClientsTest, HalfRequestsDoNotStopOrdinaryTraffic) {
  start();
  const std::string full = request();
  for (int i = 0; i < kStalledClients; ++i) {
    int fd = connect_loopback(service_.port);
    stalled_.push_back(fd);
    // Cut in the request line, in the headers, or in the body.
    const std::string part = i % 3 == 0   ? full.substr(0, 10)
                             : i % 3 == 1 ? full.substr(0, full.size() - 2)
                                          : std::string("POST /api/alerts HTTP/1.0\r\nContent-Length: 50\r\n\r\n{\"ti");
    ASSERT_EQ(::send(fd, part.data(), part.size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.size()));
  }
  expect_served_while_stalled([&] { return http_exchange(service_.port, full); });
  expect_released("HTTP/1.0 408 ");
}

TEST_F(HostileClientsTest, StalledTlsHandshakesDoNotStopOrdinaryTraffic) {
  auto ca_key = setup::generate_ec_p256_key();
  const double now = system_clock()->now();
  auto ca = setup::make_ca(ca_key.get(), "Halvenor Test Authority", now - 3600);
  auto key = setup::generate_ec_p256_key();
  auto cert = setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), setup::identity("127.0.0.1"), now, 30);
  const fs::path ca_file = folder_.write("ca.pem", setup::pem(ca.get()));
  start({"--cert", folder_.write("server.pem", setup::pem(cert.get()) + setup::pem(ca.get())).string(), "--key",
         folder_.write("server.key", setup::private_key_pem(key.get())).string()});

  // A TLS record header announcing a ClientHello, and then nothing more.
  const std::string hello_start("\x16\x03\x01\x02\x00\x01\x00\x01", 8);
  for (int i = 0; i < kStalledClients; ++i) {
    int fd = connect_loopback(service_.port);
    stalled_.push_back(fd);
    if (i % 2 == 0) {
      ASSERT_EQ(::send(fd, hello_start.data(), hello_start.size(), MSG_NOSIGNAL), 8);
    }
  }
  const std::string full = request();
  expect_served_while_stalled([&] { return https_exchange(service_.port, full, ca_file, "127.0.0.1"); });
  expect_released("");
}

}  // namespace
}  // namespace halvenor::testing
