#include "agent/server_transport.h"

#include "base/errors.h"
#include "net/http_client.h"

namespace halvenor::agent {
namespace {

class OpenSslTransport final : public ServerTransport {
 public:
  OpenSslTransport(HttpUrl url, const std::string& trust_file, double timeout_seconds, std::size_t max_reply_bytes)
      : client_(std::move(url), trust_file, timeout_seconds, max_reply_bytes, "server") {
    client_.prefer_cheap_resumption();
  }

  ServerReply exchange(const std::string& target, const std::string& method, const HeaderList& headers,
                       const std::string& body) const override {
    try {
      HttpReply reply = client_.exchange_at(target, method, headers, body);
      return {reply.status, std::move(reply.reason), std::move(reply.body)};
    } catch (const ConnectorError& e) {
      throw TransportError(e.what());
    }
  }

 private:
  HttpClient client_;
};

}  // namespace

std::shared_ptr<const ServerTransport> open_server_transport(const ServerAddress& server,
                                                             const std::filesystem::path& trust_file,
                                                             double timeout_seconds, std::size_t max_reply_bytes) {
  HttpUrl url;
  url.host = server.host;
  url.port = server.port;
  url.target.assign(1, '/');
  url.host_is_address = server.host_is_address;
  try {
    return std::make_shared<const OpenSslTransport>(url, trust_file.string(), timeout_seconds, max_reply_bytes);
  } catch (const ConnectorError& e) {
    throw TransportError(e.what());
  }
}

}  // namespace halvenor::agent
