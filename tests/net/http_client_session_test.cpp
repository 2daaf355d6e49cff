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
  // The agent's client (TLS 1.2 tickets, no key exchange on resumption) and
  // the default one (TLS 1.3).
  for (const bool cheap : {true, false}) {
    SCOPED_TRACE(cheap ? "TLS 1.2 tickets" : "TLS 1.3");
    HttpClient client(url, ca_file.string(), 5.0, kMaxReplyBytes, "server");
    if (cheap) client.prefer_cheap_resumption();
    const HttpReply first = client.exchange("GET", {}, "");
    const HttpReply second = client.exchange_at("/second", "GET", {}, "");
    // The ticket a resumed exchange holds must itself lead to a resumption.
    const HttpReply third = client.exchange_at("/third", "GET", {}, "");
    EXPECT_EQ(first.body, "/first");
    EXPECT_FALSE(first.resumed);
    EXPECT_EQ(second.body, "/second");
    EXPECT_TRUE(second.resumed);
    EXPECT_TRUE(third.resumed);
    EXPECT_EQ(third.tls_version, cheap ? TLS1_2_VERSION : TLS1_3_VERSION);
  }
  stop = true;
  serving.join();
}

}  // namespace
}  // namespace halvenor
