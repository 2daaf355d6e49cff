#include "tests/companions/fake_identity_provider.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <stdexcept>

#include "companions/identity/id_token.h"
#include "net/certificates.h"

namespace halvenor::testing_support {
namespace {

constexpr int kRsaBits = 2048;
constexpr int kP256Bytes = 32;

std::string bn_param(EVP_PKEY* key, const char* name, int pad = 0) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) throw std::runtime_error("key parameter missing");
  int size = pad > 0 ? pad : BN_num_bytes(bn);
  std::string out(static_cast<std::size_t>(size), '\0');
  BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(out.data()), size);
  BN_free(bn);
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::map<std::string, std::string> form_fields(const std::string& body) {
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(start, end - start);
    std::size_t eq = pair.find('=');
    if (eq != std::string::npos) fields[percent_decode(pair.substr(0, eq))] = percent_decode(pair.substr(eq + 1));
    start = end + 1;
  }
  return fields;
}

http::HttpResponse json_reply(int status, const Json& body) {
  http::HttpResponse response;
  response.status = status;
  response.body = body.dump();
  response.headers = {{"Content-Type", "application/json"}, {"Content-Length", std::to_string(response.body.size())}};
  return response;
}

std::string s256(const std::string& verifier) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
  return identity::base64url_encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

}  // namespace

FakeIdentityProvider::FakeIdentityProvider()
    : rsa_(setup::generate_rsa_key(kRsaBits)), ec_(setup::generate_ec_p256_key()), server_("127.0.0.1", 0) {
  server_.set_handler([this](const http::HttpRequest& request) { return handle(request); });
  server_.set_server_version("FakeProvider/1");
  thread_ = std::thread([this] { server_.serve_until(stop_); });
}

FakeIdentityProvider::~FakeIdentityProvider() {
  stop_ = true;
  thread_.join();
}

std::string FakeIdentityProvider::issuer() const { return "http://127.0.0.1:" + std::to_string(server_.port()); }

Json FakeIdentityProvider::configuration() const {
  return Json{{"enabled", true},
              {"issuer", issuer()},
              {"authorization_endpoint", issuer() + "/authorize"},
              {"token_endpoint", issuer() + "/token"},
              {"jwks_uri", issuer() + "/jwks"},
              {"client_id", kClientId},
              {"redirect_uri", "https://alerts.hospital.example:8443/"}};
}

std::string FakeIdentityProvider::sign(const Json& claims, EVP_PKEY* key, const std::string& kid) {
  const bool ec = EVP_PKEY_get_base_id(key) == EVP_PKEY_EC;
  Json header = {{"alg", ec ? "ES256" : "RS256"}, {"kid", kid}, {"typ", "JWT"}};
  std::string signed_part = identity::base64url_encode(header.dump()) + "." + identity::base64url_encode(claims.dump());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t length = 0;
  std::string signature;
  if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestSign(ctx, nullptr, &length, reinterpret_cast<const unsigned char*>(signed_part.data()),
                     signed_part.size()) == 1) {
    signature.resize(length);
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &length,
                   reinterpret_cast<const unsigned char*>(signed_part.data()), signed_part.size());
    signature.resize(length);
  }
  EVP_MD_CTX_free(ctx);
  if (signature.empty()) throw std::runtime_error("signing failed");
  if (ec) {  // DER → r || s
    const auto* p = reinterpret_cast<const unsigned char*>(signature.data());
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(signature.size()));
    std::string raw(2 * kP256Bytes, '\0');
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), reinterpret_cast<unsigned char*>(raw.data()), kP256Bytes);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), reinterpret_cast<unsigned char*>(raw.data()) + kP256Bytes, kP256Bytes);
    ECDSA_SIG_free(sig);
    signature = raw;
  }
  return signed_part + "." + identity::base64url_encode(signature);
}

void FakeIdentityProvider::accept_code(const std::string& code, const std::string& challenge,
                                       const std::string& redirect_uri, const std::string& id_token) {
  std::lock_guard lock(mutex_);
  codes_[code] = {challenge, redirect_uri, id_token};
}

http::HttpResponse FakeIdentityProvider::handle(const http::HttpRequest& request) {
  if (request.method == "GET" && request.target == "/jwks") {
    Json keys = Json::array();
    keys.push_back({{"kty", "RSA"},
                    {"kid", kRsaKid},
                    {"use", "sig"},
                    {"alg", "RS256"},
                    {"n", identity::base64url_encode(bn_param(rsa_.get(), OSSL_PKEY_PARAM_RSA_N))},
                    {"e", identity::base64url_encode(bn_param(rsa_.get(), OSSL_PKEY_PARAM_RSA_E))}});
    keys.push_back({{"kty", "EC"},
                    {"kid", kEcKid},
                    {"use", "sig"},
                    {"crv", "P-256"},
                    {"x", identity::base64url_encode(bn_param(ec_.get(), OSSL_PKEY_PARAM_EC_PUB_X, kP256Bytes))},
                    {"y", identity::base64url_encode(bn_param(ec_.get(), OSSL_PKEY_PARAM_EC_PUB_Y, kP256Bytes))}});
    return json_reply(200, Json{{"keys", keys}});
  }
  if (request.method == "POST" && request.target == "/token") {
    ++token_requests_;
    auto fields = form_fields(request.body);
    std::lock_guard lock(mutex_);
    auto it = codes_.find(fields["code"]);
    if (fields["grant_type"] != "authorization_code" || fields["client_id"] != kClientId || it == codes_.end() ||
        s256(fields["code_verifier"]) != it->second.challenge || fields["redirect_uri"] != it->second.redirect_uri)
      return json_reply(400, Json{{"error", "invalid_grant"}});
    std::string id_token = it->second.id_token;
    codes_.erase(it);  // codes are single-use
    return json_reply(200, Json{{"access_token", "opaque"}, {"token_type", "Bearer"}, {"id_token", id_token}});
  }
  return json_reply(404, Json{{"error", "not_found"}});
}

std::string query_parameter(const std::string& url, const std::string& name) {
  auto query = url.find('?');
  if (query == std::string::npos) return {};
  auto fields = form_fields(url.substr(query + 1));
  auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

}  // namespace halvenor::testing_support
