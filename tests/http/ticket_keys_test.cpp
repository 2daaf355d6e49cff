#include "net/ticket_keys.h"

#include <gtest/gtest.h>

namespace halvenor::http {
namespace {

using std::chrono::minutes;

TEST(TicketKeyRing, RotatesHourlyAndOpensTicketsForTwoHours) {
  TicketKeyRing ring(std::chrono::hours(1));
  const auto start = TicketKeyRing::Clock::now();
  const TicketKeyRing::Key first = ring.current(start);
  EXPECT_EQ(ring.current(start + minutes(59)).name, first.name);

  const TicketKeyRing::Key second = ring.current(start + minutes(61));
  EXPECT_NE(second.name, first.name);
  EXPECT_NE(second.cipher_key, first.cipher_key);
  EXPECT_NE(second.mac_key, first.mac_key);

  // The older key still opens its tickets, but is no longer the newest, so
  // TLS 1.2 tickets sealed under it are replaced.
  const auto found = ring.find(first.name.data(), start + minutes(62));
  ASSERT_TRUE(found);
  EXPECT_FALSE(ring.is_newest(*found, start + minutes(62)));
  EXPECT_TRUE(ring.is_newest(second, start + minutes(62)));
  EXPECT_EQ(found->cipher_key, first.cipher_key);
  EXPECT_EQ(found->mac_key, first.mac_key);

  // Two hours after it was made a key is gone, even if nothing sealed since.
  EXPECT_FALSE(ring.find(first.name.data(), start + minutes(120)));
  EXPECT_TRUE(ring.find(second.name.data(), start + minutes(120)));
  const unsigned char unknown[16] = {};
  EXPECT_FALSE(ring.find(unknown, start));
}

}  // namespace
}  // namespace halvenor::http
