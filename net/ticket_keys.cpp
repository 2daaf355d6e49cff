#include "net/ticket_keys.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace halvenor::http {
namespace {

// Slot for the ring in each SSL_CTX; the free callback deletes the ring when
// OpenSSL frees the context, which may be after the service swapped it out.
void free_ring(void*, void* ring, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<TicketKeyRing*>(ring);
}

int ring_index() {
  static const int index = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_SSL_CTX, 0, nullptr, nullptr,
                                                   nullptr, free_ring);
  return index;
}

bool set_mac_key(EVP_MAC_CTX* mac, const TicketKeyRing::Key& key) {
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  return EVP_MAC_init(mac, key.mac_key.data(), key.mac_key.size(), params) == 1;
}

// OpenSSL's ticket callback: 1 sealed, 2 opened (and to be replaced),
// 0 unknown key (a full handshake follows), -1 failure.
int seal_or_open(SSL* ssl, unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher,
                 EVP_MAC_CTX* mac, int seal) {
  auto* ring = static_cast<TicketKeyRing*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ring_index()));
  if (ring == nullptr) return -1;
  const auto now = TicketKeyRing::Clock::now();
  try {
    if (seal == 1) {
      const TicketKeyRing::Key key = ring->current(now);
      const int iv_length = EVP_CIPHER_get_iv_length(EVP_aes_256_cbc());
      if (RAND_bytes(iv, iv_length) != 1) return -1;
      std::memcpy(name, key.name.data(), key.name.size());
      if (EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.cipher_key.data(), iv) != 1 ||
          !set_mac_key(mac, key)) {
        return -1;
      }
      return 1;
    }
    const std::optional<TicketKeyRing::Key> key = ring->find(name, now);
    if (!key) return 0;
    if (!set_mac_key(mac, *key) ||
        EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key->cipher_key.data(), iv) != 1) {
      return -1;
    }
    // TLS 1.3 always gets a new ticket ("renew"): without one, a client that
    // keeps only its newest session then holds one that can no longer be
    // resumed. A TLS 1.2 resumption goes on with the session it opened, so
    // its ticket is replaced only when sealed under an older key; sealing a
    // new one on every poll would be work for nothing.
    if (SSL_version(ssl) >= TLS1_3_VERSION || !ring->is_newest(*key, now)) return 2;
    return 1;
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace

void TicketKeyRing::forget_expired(Clock::time_point now) {
  std::erase_if(keys_, [&](const Key& key) { return now - key.made >= 2 * rotation_; });
}

TicketKeyRing::Key TicketKeyRing::current(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  forget_expired(now);
  if (keys_.empty() || now - keys_.back().made >= rotation_) {
    Key fresh;
    if (RAND_bytes(fresh.name.data(), fresh.name.size()) != 1 ||
        RAND_bytes(fresh.cipher_key.data(), fresh.cipher_key.size()) != 1 ||
        RAND_bytes(fresh.mac_key.data(), fresh.mac_key.size()) != 1) {
      throw std::runtime_error("Cannot make a TLS session ticket key: no random bytes");
    }
    fresh.made = now;
    keys_.push_back(fresh);
  }
  return keys_.back();
}

bool TicketKeyRing::is_newest(const Key& key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  forget_expired(now);
  return !keys_.empty() && keys_.back().name == key.name && now - key.made < rotation_;
}

std::optional<TicketKeyRing::Key> TicketKeyRing::find(const unsigned char* name,
                                                       Clock::time_point now) {
  std::lock_guard lock(mutex_);
  forget_expired(now);
  for (const Key& key : keys_) {
    if (std::memcmp(key.name.data(), name, key.name.size()) == 0) return key;
  }
  return std::nullopt;
}

void TicketKeyRing::install(SSL_CTX* ctx, std::chrono::seconds rotation) {
  auto ring = std::make_unique<TicketKeyRing>(rotation);
  if (ring_index() < 0 || SSL_CTX_set_ex_data(ctx, ring_index(), ring.get()) != 1) {
    throw std::runtime_error("Cannot attach TLS session ticket keys");
  }
  static_cast<void>(ring.release());  // owned by the context from here on (freed by free_ring)
  SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, seal_or_open);
  // A ticket outliving the key that opens it would only cost a full handshake,
  // but telling clients the truth spares them offering it.
  SSL_CTX_set_timeout(ctx, static_cast<long>(rotation.count()));
}

}  // namespace halvenor::http
