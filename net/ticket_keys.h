// Keys for TLS session tickets, held only in memory and replaced on a
// schedule, so that a returning client resumes its session without a full
// handshake while a stolen or leaked key exposes at most a few hours of
// resumed sessions, and a restart invalidates every ticket.
//
// A key encrypts new tickets for one rotation period after it is made (it is
// replaced lazily, by the first ticket issued after that), and still opens
// tickets until two periods after it was made. A TLS 1.3 resumption is always
// given a fresh ticket under the current key; a TLS 1.2 one only when its
// ticket was sealed under an older key.
//
// Thread-safe: OpenSSL calls the ring from every thread taking handshakes.
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace halvenor::http {

class TicketKeyRing {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kDefaultRotation{std::chrono::hours(1)};

  struct Key {
    std::array<unsigned char, 16> name{};
    std::array<unsigned char, 32> cipher_key{};  // AES-256-CBC
    std::array<unsigned char, 32> mac_key{};     // HMAC-SHA256
    Clock::time_point made;
  };
  explicit TicketKeyRing(std::chrono::seconds rotation = kDefaultRotation) : rotation_(rotation) {}

  // The key new tickets are sealed with at `now`; makes one when the current
  // key has served its period. Throws std::runtime_error when the system
  // random source fails.
  Key current(Clock::time_point now);
  // The key named `name` if it may still open tickets at `now`.
  std::optional<Key> find(const unsigned char* name, Clock::time_point now);
  // Whether `key` is the one new tickets would be sealed with at `now`.
  bool is_newest(const Key& key, Clock::time_point now);

  // Gives `ctx` a ring of its own (freed with the context) and the ticket
  // lifetime that goes with it. Throws std::runtime_error on failure.
  static void install(SSL_CTX* ctx, std::chrono::seconds rotation = kDefaultRotation);

 private:
  void forget_expired(Clock::time_point now);

  const std::chrono::seconds rotation_;
  std::mutex mutex_;
  std::vector<Key> keys_;  // newest last
};

}  // namespace halvenor::http
