#include "companions/identity/provider_client.h"

#include <cctype>

#include "base/errors.h"
#include "net/http_client.h"
#include "server/core/config_snapshot.h"

namespace halvenor::identity {
namespace {

constexpr char kLoopbackHttp[] = "http://127.0.0.1";
constexpr std::size_t kMaxProviderErrorLength = 200;
// Room for the reply's header on top of its body.
constexpr std::size_t kMaxProviderHeaderBytes = 16 * 1024;
constexpr char kProvider[] = "organisation's identity provider";

bool loopback_http(const std::string& url) {
  const std::string prefix = kLoopbackHttp;
  if (url.compare(0, prefix.size(), prefix) != 0) return false;
  const char next = url.size() > prefix.size() ? url[prefix.size()] : '\0';
  return next == ':' || next == '/' || next == '\0';
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

// `content_type` empty: a GET without a body.
Json perform(const std::string& url, const std::string& method, const std::string& body,
             const std::string& content_type) {
  check_provider_url(url, "provider address");
  HttpReply reply;
  try {
    const HttpClient client(parse_url(url), "", std::chrono::duration<double>(kProviderRequestTimeout).count(),
                            kMaxProviderReplyBytes + kMaxProviderHeaderBytes, kProvider);
    reply = client.send(client.url().target, method, {}, body, content_type);
  } catch (const UrlError& e) {
    throw IdentityError(std::string("The provider address for organisation sign-in ") + e.what() + ".");
  } catch (const ConnectorError& e) {
    throw IdentityError(e.what());
  }
  if (reply.cut || reply.body.size() > kMaxProviderReplyBytes)
    throw IdentityError("The organisation's identity provider sent an oversized reply.");
  Json parsed;
  try {
    parsed = json::parse_text(reply.body);
  } catch (const RequestError&) {
    parsed = nullptr;
  }
  if (reply.status != 200) {
    std::string error = provider_error(parsed);
    throw IdentityError("The organisation's identity provider refused the request (HTTP " +
                        std::to_string(reply.status) + (error.empty() ? "" : ": " + error) + ").");
  }
  if (!parsed.is_object()) throw IdentityError("The organisation's identity provider sent an unreadable reply.");
  return parsed;
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

Json provider_get_json(const std::string& url) { return perform(url, "GET", "", ""); }

Json provider_post_form(const std::string& url, const FormFields& fields) {
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form.push_back('&');
    form += url_encode(name) + "=" + url_encode(value);
  }
  return perform(url, "POST", form, "application/x-www-form-urlencoded");
}

}  // namespace halvenor::identity
