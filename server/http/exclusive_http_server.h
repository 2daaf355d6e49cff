// The service's HTTP/1.0 listener, optionally over TLS.
//
// Binds an IPv4 or IPv6 address ("::" takes IPv4 clients too) without
// address reuse, so a second service cannot share the port and this one
// refuses to start if the port is taken.
//
// Hostile or slow clients cannot occupy request workers: a few event-loop
// threads, one per core (the caller of serve_until runs the first), accept
// the connections between them and read each without blocking until the
// whole request (request line, headers, announced body; see request_reader.h)
// is buffered, taking its TLS handshake on the way. Only then a worker from a
// fixed pool calls the handler and writes the reply; the connection closes
// after that one reply (HTTP/1.0, no keep-alive).
// A connection that has not delivered its request within the read deadline
// gets 408 (or is closed silently if it never sent a byte or never finished
// its TLS handshake). Protocol faults are answered by the transport with a
// short HTML page, without calling the handler. A handler that throws gets
// a 500 reply; the handler only ever sees GET and POST.
//
// Every reply starts with the status line, "Server: <server version>" and a
// "Date" header, followed by the handler's headers in their order.
//
// Thread-safety: configure (set_*, enable_tls) before serve_until; the
// handler is called from several worker threads at once and must be safe for
// that. serve_until and close must not run at the same time; close may be
// called after serve_until has returned, and the destructor calls it.
// Constructing ignores SIGPIPE process-wide (OpenSSL writes to sockets
// without MSG_NOSIGNAL) and raises the soft open-file limit to the hard one.
//
// Refused and evicted connections are closed without a reply; each kind is
// reported on standard error, naming the address, at most once per ten
// seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "net/tls_context.h"
#include "server/http/http_message.h"

namespace halvenor::http {

inline constexpr std::size_t kDefaultWorkerThreads = 16;
// Time a client has for its whole request, TLS handshake included.
inline constexpr std::chrono::milliseconds kRequestReadDeadline{10'000};
// Connections open at once (being read, handled or closed). The table is
// smaller when the open-file limit leaves less room. When it is full, a new
// connection takes the place of the one that has been reading its request
// longest; only when none is still being read is the new one closed.
inline constexpr std::size_t kMaxOpenConnections = 4096;
// Connections one client address may hold at once; further ones are closed as
// soon as they are accepted. Generous because a terminal server may run
// hundreds of agents behind one address.
inline constexpr std::size_t kMaxConnectionsPerAddress = 1000;

struct ServerLimits {
  std::size_t worker_threads = kDefaultWorkerThreads;
  std::chrono::milliseconds read_deadline = kRequestReadDeadline;
  std::size_t max_open_connections = kMaxOpenConnections;
  std::size_t max_connections_per_address = kMaxConnectionsPerAddress;
  // Event-loop threads (accepting, TLS handshakes, reading requests); 0
  // means one per processor core.
  std::size_t event_loops = 0;
};

class ExclusiveHTTPServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  // Binds and listens. Throws std::runtime_error when the address is not an
  // IPv4 or IPv6 address, the port is outside 0..65535, or the port cannot be bound
  // (for example because another process holds it). Port 0 picks a free one.
  ExclusiveHTTPServer(const std::string& bind_address, int port, ServerLimits limits = {});
  ~ExclusiveHTTPServer();
  ExclusiveHTTPServer(const ExclusiveHTTPServer&) = delete;
  ExclusiveHTTPServer& operator=(const ExclusiveHTTPServer&) = delete;

  // The bound port.
  int port() const;

  void set_handler(Handler handler);
  // Value of the Server header, e.g. "Halvenor/0.1.0".
  void set_server_version(std::string version);
  // Called on the serve_until thread about every half second. An exception
  // it throws ends serve_until and propagates to its caller.
  void set_service_action(std::function<void()> action);
  // Serve HTTPS from now on, with certificates from `context`.
  void enable_tls(std::shared_ptr<TlsContext> context);
  // The TLS context in use; nullptr when serving plain HTTP.
  std::shared_ptr<TlsContext> tls_context() const;

  // Runs the event loops, the first on the calling thread and the others on
  // threads of their own for as long as the call lasts; returns within about
  // half a second once `stop` is true. Connections still open stay open and are
  // resumed by a later call. Throws std::runtime_error if the event loop
  // itself fails, and whatever the service action throws.
  void serve_until(const std::atomic<bool>& stop);

  // Stops accepting, lets workers finish the handler call they are in
  // (their pending writes are cut short), and closes every connection.
  // Idempotent; never throws.
  void close() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvenor::http
