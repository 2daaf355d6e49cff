// A client that talks to one server again and again (the desktop agent's
// poll) must resume its TLS session instead of paying for a key exchange on
// every connection.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "net/certificates.h"
#include "net/http_client.h"
#include "net/private_files.h"
#include "server/http/exclusive_http_server.h"
#include "tests/support/temp_folder.h"

namespace halvenor {
namespace {

TEST(HttpClientSessionTest, EveryLaterExchangeResumesTheSession) {
  test_support::TempFolder folder;
  const double now = static_cast<double>(std::time(nullptr));
  setup::EvpKeyPtr ca_key = setup::generate_ec_p256_key();
  setup::X509Ptr ca = setup::make_ca(ca_key.get(), "Session test authority", now);
  setup::EvpKeyPtr key = setup::generate_ec_p256_key();
  setup::X509Ptr cert =
      setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), setup::identity("127.0.0.1"), now);
  const auto ca_file = folder.path() / "ca.pem", cert_file = folder.path() / "cert.pem",
             key_file = folder.path() / "key.pem";
  setup::private_write(ca_file, setup::pem(ca.get()));
  setup::private_write(cert_file, setup::pem(cert.get()));
  setup::private_write(key_file, setup::private_key_pem(key.get()));

  http::ExclusiveHTTPServer server("127.0.0.1", 0);
  server.set_handler([](const http::HttpRequest& request) {
    http::HttpResponse response;
    response.headers.emplace_back("Content-Length", std::to_string(request.target.size()));
    response.body = request.target;
    return response;
  });
  server.enable_tls(http::TlsContext::from_files(cert_file.string(), key_file.string()));
  std::atomic<bool> stop{false};
  std::thread serving([&] { server.serve_until(stop); });

  HttpUrl url{true, "127.0.0.1", std::to_string(server.port()), "/first", true};
  HttpClient client(url, ca_file.string(), 5.0, kMaxReplyBytes, "server");
  const HttpReply first = client.exchange("GET", {}, "");
  const HttpReply second = client.exchange_at("/second", "GET", {}, "");
  // The ticket a resumed exchange holds must itself lead to a resumption.
  const HttpReply third = client.exchange_at("/third", "GET", {}, "");
  stop = true;
  serving.join();

  EXPECT_EQ(first.body, "/first");
  EXPECT_FALSE(first.resumed);
  EXPECT_EQ(second.body, "/second");
  EXPECT_TRUE(second.resumed);
  EXPECT_TRUE(third.resumed);
}

}  // namespace
}  // namespace halvenor
