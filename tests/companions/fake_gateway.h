// A stand-in for an SMS/WhatsApp gateway on loopback, for tests and the
// queue benchmark. It speaks just enough HTTP/1.1 (optionally inside TLS) to
// take one JSON request per connection and answer as told: 200, 429, 500,
// 400, 401, hang, or reset the connection.
//
// Like a real gateway it deduplicates by idempotency key: a key it has
// already accepted is answered 200 again without a second delivery, so
// unique_deliveries() is what recipients would have received. Connection
// tests (header X-Halvenor-Test: 1) are answered but never delivered.
//
// Thread-safety: every member may be called from any thread while requests
// are being served.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "base/json_text.h"

namespace halvenor::testing {

class FakeGateway {
 public:
  enum class Answer {
    Ok,            // 200, delivered
    TooMany,       // 429
    ServerError,   // 500
    BadRequest,    // 400
    Unauthorized,  // 401
    Hang,          // reads the request and never answers (until released)
    AcceptThenHang,   // delivers, then never answers
    AcceptThenReset,  // delivers, then resets the connection
  };

  struct Request {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    Json json;  // the body parsed, or null
    std::string key;  // the idempotency header's value
  };

  // Plain HTTP, or TLS with the given PEM certificate and key.
  explicit FakeGateway(std::string cert_pem = {}, std::string key_pem = {},
                       std::string idempotency_header = "idempotency-key");
  ~FakeGateway();
  FakeGateway(const FakeGateway&) = delete;
  FakeGateway& operator=(const FakeGateway&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port><path>" (https with TLS).
  std::string url(const std::string& path = "/messages") const;

  // The answer for requests without a scripted one.
  void answer_with(Answer answer);
  // Answers for the next requests, in order, before the default applies.
  void script(std::vector<Answer> answers);
  // Ends every hanging connection without an answer.
  void release_hung();

  std::vector<Request> requests() const;
  std::size_t request_count() const;
  // Distinct idempotency keys delivered.
  std::size_t unique_deliveries() const;
  // How many requests carried this key.
  std::size_t requests_with_key(const std::string& key) const;
  // Waits up to `limit` until `n` requests have arrived; false on time-out.
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds limit) const;

 private:
  void serve();
  void handle(int fd);
  Answer next_answer(bool connection_test, const std::string& key, bool& duplicate);

  int listen_fd_ = -1;
  int port_ = 0;
  std::string idempotency_header_;
  std::shared_ptr<SSL_CTX> tls_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool released_ = false;
  Answer default_answer_ = Answer::Ok;
  std::deque<Answer> scripted_;
  std::vector<Request> requests_;
  std::set<std::string> delivered_;
  std::vector<std::thread> handlers_;
};

}  // namespace halvenor::testing
