#include "companions/identity/provider_client.h"

#include <curl/curl.h>

#include "base/errors.h"
#include "net/http_client.h"
#include <cctype>
#include <memory>
#include <mutex>

#include "server/core/config_snapshot.h"

namespace halvenor::identity {
namespace {

constexpr char kLoopbackHttp[] = "http://127.0.0.1";
constexpr std::size_t kMaxProviderErrorLength = 200;

struct CurlDeleter {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

bool loopback_http(const std::string& url) {
  const std::string prefix = kLoopbackHttp;
  if (url.compare(0, prefix.size(), prefix) != 0) return false;
  const char next = url.size() > prefix.size() ? url[prefix.size()] : '\0';
  return next == ':' || next == '/' || next == '\0';
}

struct Reply {
  std::string body;
  bool too_large = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* reply = static_cast<Reply*>(user);
  const size_t bytes = size * count;
  if (reply->body.size() + bytes > kMaxProviderReplyBytes) {
    reply->too_large = true;
    return 0;  // makes libcurl abort the transfer
  }
  reply->body.append(data, bytes);
  return bytes;
}

void initialise_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw std::runtime_error("the HTTPS client library could not be initialised");
  });
}

// A short, printable rendering of the provider's own error code.
std::string provider_error(const Json& body) {
  const Json& error = member_or(body, "error", kNull);
  if (!error.is_string()) return {};
  std::string text;
  for (char c : error.get<std::string>().substr(0, kMaxProviderErrorLength))
    text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  return text;
}

Json perform(const std::string& url, const std::string* form) {
  check_provider_url(url, "provider address");
  initialise_once();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) throw std::runtime_error("the HTTPS client could not be created");
  Reply reply;
  const std::string agent = std::string("Halvenor/") + VERSION;
  std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Accept: application/json"));
  // No "Expect: 100-continue" round trip before the small form body.
  curl_slist* extended = curl_slist_append(headers.get(), "Expect:");
  if (!headers || !extended) throw std::runtime_error("out of memory");

  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, loopback_http(url) ? "http" : "https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kProviderConnectTimeout.count()));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(kProviderRequestTimeout.count()));
  curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
  if (form) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form->data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form->size()));
  }

  CURLcode result = curl_easy_perform(c);
  if (reply.too_large) throw IdentityError("The organisation's identity provider sent an oversized reply.");
  if (result != CURLE_OK)
    throw IdentityError(std::string("The organisation's identity provider could not be reached: ") +
                        curl_easy_strerror(result) + ".");
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  Json body;
  try {
    body = json::parse_text(reply.body);
  } catch (const RequestError&) {
    body = nullptr;
  }
  if (status != 200) {
    std::string error = provider_error(body);
    throw IdentityError("The organisation's identity provider refused the request (HTTP " + std::to_string(status) +
                        (error.empty() ? "" : ": " + error) + ").");
  }
  if (!body.is_object()) throw IdentityError("The organisation's identity provider sent an unreadable reply.");
  return body;
}

}  // namespace

void check_provider_url(const std::string& url, const std::string& what) {
  const bool https = url.compare(0, 8, "https://") == 0 && url.size() > 8;
  if (!https && !loopback_http(url))
    throw IdentityError("Organisation sign-in needs an https address for the " + what + ".");
  for (unsigned char ch : url)
    if (ch <= 0x20 || ch >= 0x7F) throw IdentityError("The " + what + " for organisation sign-in is not a valid address.");
}

std::string url_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

Json provider_get_json(const std::string& url) { return perform(url, nullptr); }

Json provider_post_form(const std::string& url, const FormFields& fields) {
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form.push_back('&');
    form += url_encode(name) + "=" + url_encode(value);
  }
  return perform(url, &form);
}

}  // namespace halvenor::identity
