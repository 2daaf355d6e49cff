#include "firstrun/service_probe.h"

#include "base/errors.h"
#include "net/certificates.h"
#include "net/http_client.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr double kTimeoutSeconds = 3;
constexpr std::size_t kMaxReplyBytes = 16 * 1024;

// A wildcard listen address is reached through loopback of the same family.
std::string address_for(const std::string& bind) {
  if (bind == "0.0.0.0") return "127.0.0.1";
  if (bind == "::") return "::1";
  return bind;
}

}  // namespace

ServiceProbe::ServiceProbe(const Json& settings, fs::path ca_file)
    : address_(address_for(settings.at("bind").get<std::string>())),
      port_(settings.at("port").get<int>()),
      hostname_(settings.at("hostname").get<std::string>()),
      public_host_(settings.at("public_host").get<std::string>()),
      ca_file_(std::move(ca_file)) {}

bool ServiceProbe::answers(std::string& why) const {
  const setup::HostIdentity host = setup::identity(hostname_);
  HttpUrl url;
  url.host = host.text;
  url.host_is_address = host.kind == setup::HostIdentity::Ip;
  url.port = std::to_string(port_);
  url.target = "/api/version";
  try {
    HttpClient client(url, ca_file_.string(), kTimeoutSeconds, kMaxReplyBytes, "server");
    client.connect_via(address_);
    // The service accepts only the Host its browsers use, which always carries the port.
    const HttpReply reply = client.send(url.target, "GET", {{"Host", public_host_}}, "", "");
    if (reply.status == 200) return true;
    why = "the server answered \"" + std::to_string(reply.status) + " " + reply.reason + "\"";
  } catch (const ConnectorError& e) {
    why = e.what();
  }
  return false;
}

}  // namespace halvenor::firstrun
