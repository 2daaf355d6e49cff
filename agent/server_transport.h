// How the agent's exchanges reach the server: one HTTPS request and its
// reply. On Linux it is the OpenSSL client (net/http_client.h); on Windows,
// WinHTTP (agent/windows/winhttp_transport.cpp). Either way the server must
// prove itself with a certificate from the trust file's authorities for the
// address's name, before any header leaves this computer, every step is
// bounded by the timeout, and the reply by max_reply_bytes.
//
// A transport keeps what makes the next exchange cheap (a TLS session, open
// handles) for as long as it lives; the server link replaces it when the
// trust file changes.
//
// Thread-safety: exchange() may be called from several threads at once.
// Errors: TransportError with a message for IT when the server cannot be
// reached or verified, the deadline passes, or the reply is not HTTP.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/server_address.h"

namespace halvenor::agent {

class TransportError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct ServerReply {
  int status = 0;
  std::string reason;  // the status line's reason phrase
  std::string body;
};

class ServerTransport {
 public:
  virtual ~ServerTransport() = default;
  // Sends `method` to `target` (a path starting with "/") with the headers
  // and a JSON body (none when empty); the reply, whatever its status.
  virtual ServerReply exchange(const std::string& target, const std::string& method, const HeaderList& headers,
                               const std::string& body) const = 0;
};

// Throws TransportError when the trust file cannot be loaded.
std::shared_ptr<const ServerTransport> open_server_transport(const ServerAddress& server,
                                                             const std::filesystem::path& trust_file,
                                                             double timeout_seconds, std::size_t max_reply_bytes);

}  // namespace halvenor::agent
