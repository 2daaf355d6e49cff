#include "agent/windows/winhttp_transport.h"

#include "agent/windows/certificate_check.h"  // winsock2.h first

#include <winhttp.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "base/release.h"

namespace halvenor::agent {
namespace win32 {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct HandleClose {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleClose>;

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  return out;
}

std::string error_text(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT: return "the server did not answer in time";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the server's name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "the connection was refused";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection was reset";
    case ERROR_WINHTTP_SECURE_FAILURE: return "the TLS handshake failed";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "the reply is not HTTP";
    case ERROR_WINHTTP_OPERATION_CANCELLED: return "the exchange was cancelled";
    default: return "WinHTTP error " + std::to_string(error);
  }
}

std::string read_trust_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw TransportError("Cannot read the trust file " + file.string() + ".");
  std::string text;
  text.resize(kMaxTrustFileBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxTrustFileBytes) throw TransportError("The trust file " + file.string() + " is too large.");
  return text;
}

// What one request's notification found, reached through WinHTTP's context value.
struct RequestCheck {
  const std::vector<Certificate>* authorities = nullptr;
  const ServerAddress* server = nullptr;
  bool verified = false;
  std::string refusal;
};

void CALLBACK on_status(HINTERNET handle, DWORD_PTR context, DWORD status, void*, DWORD) {
  if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || context == 0) return;
  auto* check = reinterpret_cast<RequestCheck*>(context);
  const CERT_CONTEXT* cert = nullptr;
  DWORD size = sizeof cert;
  try {
    if (!WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) || cert == nullptr)
      throw CertificateRefused("The server presented no certificate.");
    Certificate held(cert);
    check_server_certificate(cert, *check->authorities, check->server->host, check->server->host_is_address);
    check->verified = true;
  } catch (const std::exception& e) {
    check->refusal = e.what();
    // Cancels the send before the request is written.
    WinHttpCloseHandle(handle);
  }
}

class WinHttpTransport final : public ServerTransport {
 public:
  WinHttpTransport(const ServerAddress& server, const std::filesystem::path& trust_file, double timeout_seconds,
                   std::size_t max_reply_bytes)
      : server_(server), timeout_seconds_(timeout_seconds), max_reply_bytes_(max_reply_bytes) {
    try {
      authorities_ = load_pem_certificates(read_trust_file(trust_file));
    } catch (const CertificateRefused& e) {
      throw TransportError("The trust file " + trust_file.string() + " cannot be used: " + e.what());
    }
    if (authorities_.empty()) throw TransportError("The trust file " + trust_file.string() + " holds no certificate.");
    session_.reset(WinHttpOpen(widen(std::string("Halvenor-Agent/") + AGENT_VERSION).c_str(),
                               WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) throw TransportError("WinHTTP could not be started: " + error_text(GetLastError()));
    // TLS 1.2 only, as the Linux agent: Schannel resumes a TLS 1.2 session
    // without a key exchange, where a TLS 1.3 resumption repeats it on both
    // sides, and the server's handshake work per poll is what bounds how many
    // computers one service can reach in seconds. The server offers only
    // ECDHE suites for TLS 1.2, so full handshakes keep forward secrecy.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    if (WinHttpSetStatusCallback(session_.get(), on_status, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
      throw TransportError("WinHTTP refused the certificate check: " + error_text(GetLastError()));
    const int port = std::stoi(server_.port);
    connection_.reset(WinHttpConnect(session_.get(), widen(server_.host).c_str(),
                                     static_cast<INTERNET_PORT>(port), 0));
    if (!connection_) throw TransportError("WinHTTP could not address " + server_.authority() + ": " +
                                           error_text(GetLastError()));
  }

  ServerReply exchange(const std::string& target, const std::string& method, const HeaderList& headers,
                       const std::string& body) const override {
    const auto deadline = SteadyClock::now() + std::chrono::duration<double>(timeout_seconds_);
    const std::string where = "The server at " + server_.authority();
    Handle request(WinHttpOpenRequest(connection_.get(), widen(method).c_str(), widen(target).c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) throw TransportError(where + " cannot be asked: " + error_text(GetLastError()));
    configure(request.get());

    std::wstring header_text;
    for (const auto& [name, value] : headers) header_text += widen(name) + L": " + widen(value) + L"\r\n";
    if (!body.empty()) header_text += L"Content-Type: application/json\r\n";

    RequestCheck check{&authorities_, &server_, false, {}};
    const BOOL sent = WinHttpSendRequest(
        request.get(), header_text.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header_text.c_str(),
        header_text.empty() ? 0 : static_cast<DWORD>(-1L), const_cast<char*>(body.data()),
        static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), reinterpret_cast<DWORD_PTR>(&check));
    if (!check.refusal.empty()) {
      request.release();  // closed by the notification
      throw TransportError(where + " could not be verified: " + check.refusal);
    }
    if (!sent) throw TransportError(where + " could not be reached: " + error_text(GetLastError()));
    if (!check.verified) throw TransportError(where + " could not be verified: no certificate check took place.");
    if (!WinHttpReceiveResponse(request.get(), nullptr))
      throw TransportError(where + " did not answer: " + error_text(GetLastError()));

    ServerReply reply;
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      throw TransportError(where + " sent a reply without a status.");
    reply.status = static_cast<int>(status);
    wchar_t reason[128] = {};
    size = sizeof reason - sizeof(wchar_t);
    if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_TEXT, WINHTTP_HEADER_NAME_BY_INDEX, reason, &size,
                            WINHTTP_NO_HEADER_INDEX))
      reply.reason = narrow(reason);

    // A reply past the limit is cut there, as the Linux client does; the
    // caller's JSON check then reports it.
    char buffer[16384];
    while (reply.body.size() < max_reply_bytes_) {
      if (SteadyClock::now() > deadline) throw TransportError(where + " did not finish its answer in time.");
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, max_reply_bytes_ - reply.body.size()));
      if (!WinHttpReadData(request.get(), buffer, want, &got))
        throw TransportError(where + " broke off its answer: " + error_text(GetLastError()));
      if (got == 0) break;
      reply.body.append(buffer, got);
    }
    return reply;
  }

 private:
  void configure(HINTERNET request) const {
    const int ms = static_cast<int>(timeout_seconds_ * 1000);
    WinHttpSetTimeouts(request, ms, ms, ms, ms);
    // Trust is decided by certificate_check.h, never by the Windows store.
    // WinHTTP still checks a DNS name during the handshake, before anything
    // is written; an address is left to certificate_check.h alone, since
    // Wine's WinHTTP does not match IP entries.
    DWORD security = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                     SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    if (server_.host_is_address) security |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &security, sizeof security);
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
    WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
  }

  ServerAddress server_;
  double timeout_seconds_;
  std::size_t max_reply_bytes_;
  std::vector<Certificate> authorities_;
  Handle session_;
  Handle connection_;
};

}  // namespace
}  // namespace win32

std::shared_ptr<const ServerTransport> open_server_transport(const ServerAddress& server,
                                                             const std::filesystem::path& trust_file,
                                                             double timeout_seconds, std::size_t max_reply_bytes) {
  return std::make_shared<const win32::WinHttpTransport>(server, trust_file, timeout_seconds, max_reply_bytes);
}

}  // namespace halvenor::agent
