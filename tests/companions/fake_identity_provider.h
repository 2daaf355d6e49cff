// An OpenID Connect provider for tests: a loopback HTTP server with its own
// RSA and EC signing keys that publishes them as a key set and redeems
// authorisation codes the test registers, checking the PKCE verifier, the
// client id and the redirect address as a real provider would.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/json_text.h"
#include "net/openssl_handles.h"
#include "server/http/exclusive_http_server.h"

namespace halvenor::testing_support {

class FakeIdentityProvider {
 public:
  static constexpr char kClientId[] = "halvenor-dashboard";
  static constexpr char kRsaKid[] = "rsa-1";
  static constexpr char kEcKid[] = "ec-1";

  FakeIdentityProvider();
  ~FakeIdentityProvider();

  std::string issuer() const;
  // The "organisation_identity" configuration pointing at this provider.
  Json configuration() const;

  // A compact token signed with `key` ("RS256" for RSA keys, "ES256" for EC),
  // naming `kid` in its header.
  static std::string sign(const Json& claims, EVP_PKEY* key, const std::string& kid);
  EVP_PKEY* rsa_key() const { return rsa_.get(); }
  EVP_PKEY* ec_key() const { return ec_.get(); }

  // The token endpoint will answer `code` once with `id_token`, provided
  // the verifier hashes to `challenge` and the redirect address matches.
  void accept_code(const std::string& code, const std::string& challenge, const std::string& redirect_uri,
                   const std::string& id_token);
  int token_requests() const { return token_requests_.load(); }

 private:
  struct PendingCode {
    std::string challenge, redirect_uri, id_token;
  };
  http::HttpResponse handle(const http::HttpRequest& request);

  setup::EvpKeyPtr rsa_;
  setup::EvpKeyPtr ec_;
  std::mutex mutex_;
  std::map<std::string, PendingCode> codes_;
  std::atomic<int> token_requests_{0};
  http::ExclusiveHTTPServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Query parameter `name` of a URL, percent-decoded; empty when absent.
std::string query_parameter(const std::string& url, const std::string& name);

}  // namespace halvenor::testing_support
