// The hash-chained audit table: genesis, linkage, reproducible hashes, the
// canonical detail text, tamper detection and rollback.
#include "server/core/audit_chain.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/core/core.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;

// SHA-256 computed here rather than through the code under test.
std::string sha256_of(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

void append(CoreHarness& h, const std::optional<std::string>& actor, const std::string& event, const Json& detail) {
  DbScope scope = h->db();
  scope.begin_immediate();
  h->audit(scope.conn(), actor, event, detail);
  scope.commit();
}

ChainVerdict verify(CoreHarness& h) {
  Connection conn(h.db_path());
  return verify_audit_chain(conn);
}

std::vector<Json> audit_rows(CoreHarness& h) { return h.rows("SELECT * FROM audit ORDER BY seq"); }

TEST(AuditChainTest, StartsFromEmptyGenesisAndLinksEachRowToThePrevious) {
  CoreHarness h(ConfigBuilder().build());
  append(h, "op", "alert.created.test", {{"alert_id", "a1"}});
  h.clock().advance(1.5);
  append(h, "pc-1", "desktop.received", {{"alert_id", "a1"}});
  h.clock().advance(0.125);
  append(h, std::nullopt, "mobile.sent", {{"job_id", "j1"}});

  auto rows = audit_rows(h);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["seq"], 1);
  EXPECT_EQ(rows[0]["previous"], "");
  EXPECT_EQ(rows[1]["previous"], rows[0]["hash"]);
  EXPECT_EQ(rows[2]["previous"], rows[1]["hash"]);
  EXPECT_EQ(rows[0]["at"], test_support::kStartTime);
  EXPECT_EQ(rows[1]["at"], test_support::kStartTime + 1.5);
  EXPECT_TRUE(rows[2]["actor"].is_null());
  for (const Json& row : rows) {
    EXPECT_EQ(row["hash"].get<std::string>().size(), 64u);
    EXPECT_EQ(row["hash"], audit_row_hash(row["at"].get<double>(), row["actor"], row["event"].get<std::string>(),
                                          row["detail"].get<std::string>(), row["previous"].get<std::string>()));
  }
  auto verdict = verify(h);
  EXPECT_TRUE(verdict.intact);
  EXPECT_EQ(verdict.rows, 3);
  EXPECT_EQ(verdict.last_hash, rows[2]["hash"]);
}

TEST(AuditChainTest, HashIsSha256OfTheCanonicalFiveElementArray) {
  CoreHarness h(ConfigBuilder().build());
  h.clock().set(1700000000.25);
  append(h, "op", "alert.cancelled", {{"is_test", true}, {"alert_id", "a/1"}, {"deployment_scope", "exercise"}});
  h.clock().set(1700000001.0);  // a whole second still ends in ".0"
  append(h, std::nullopt, "mobile.failed", {{"reason", "quote \" and \\ back"}, {"attempts", 2}});

  auto rows = audit_rows(h);
  ASSERT_EQ(rows.size(), 2u);
  const std::string first_detail = R"({"alert_id":"a/1","deployment_scope":"exercise","is_test":true})";
  EXPECT_EQ(rows[0]["detail"], first_detail);
  const std::string first_hash = sha256_of(
      R"([1700000000.25,"op","alert.cancelled","{\"alert_id\":\"a/1\",\"deployment_scope\":\"exercise\",)"
      R"(\"is_test\":true}",""])");
  EXPECT_EQ(rows[0]["hash"], first_hash);

  EXPECT_EQ(rows[1]["detail"], R"({"attempts":2,"reason":"quote \" and \\ back"})");
  EXPECT_EQ(rows[1]["hash"],
            sha256_of(R"([1700000001.0,null,"mobile.failed","{\"attempts\":2,\"reason\":\"quote \\\" and \\\\ back\"}",")" +
                      first_hash + "\"]"));
}

TEST(AuditChainTest, DetailKeyOrderDoesNotChangeTextOrHash) {
  CoreHarness one(ConfigBuilder().build());
  CoreHarness two(ConfigBuilder().build());
  append(one, "op", "incident.concluded",
         Json::parse(R"({"b": 1, "a": {"z": [1, {"y": 2, "x": 3}], "c": null}, "B": "upper"})"));
  append(two, "op", "incident.concluded",
         Json::parse(R"({"a": {"c": null, "z": [1, {"x": 3, "y": 2}]}, "B": "upper", "b": 1})"));
  Json first = one.row("SELECT detail,hash FROM audit");
  EXPECT_EQ(first["detail"], R"({"B":"upper","a":{"c":null,"z":[1,{"x":3,"y":2}]},"b":1})");
  EXPECT_EQ(first, two.row("SELECT detail,hash FROM audit"));
}

TEST(AuditChainTest, NonAsciiDetailIsStoredEscapedAsPureAscii) {
  CoreHarness h(ConfigBuilder().build());
  append(h, "op\u00e9", "alert.created.test",
         {{"title", "Zo\u00eb \u2603 caf\u00e9 \U0001F525"}, {"note", "tab\there\u00a0"}});
  Json row = h.row("SELECT actor,detail,hash,previous,at FROM audit");
  const std::string detail = row["detail"];
  EXPECT_EQ(detail, R"({"note":"tab\there\u00a0","title":"Zo\u00eb \u2603 caf\u00e9 \ud83d\udd25"})");
  for (unsigned char c : detail) EXPECT_LT(c, 0x80);
  EXPECT_EQ(row["actor"], "op\u00e9");  // the actor column keeps its text; the hash escapes it
  EXPECT_EQ(row["hash"], sha256_of("[1700000000.25,\"op\\u00e9\",\"alert.created.test\",\"{\\\"note\\\":\\\"tab\\\\there"
                                   "\\\\u00a0\\\",\\\"title\\\":\\\"Zo\\\\u00eb \\\\u2603 caf\\\\u00e9 \\\\ud83d\\\\udd25"
                                   "\\\"}\",\"\"]"));
  EXPECT_TRUE(verify(h).intact);
}

TEST(AuditChainTest, VerificationFindsTheFirstTamperedRow) {
  CoreHarness h(ConfigBuilder().build());
  for (int i = 0; i < 4; ++i) {
    append(h, "op", "alert.cancelled", {{"alert_id", "a" + std::to_string(i)}});
    h.clock().advance(1);
  }
  ASSERT_TRUE(verify(h).intact);

  h.exec("UPDATE audit SET detail='{\"alert_id\":\"forged\"}' WHERE seq=2");
  auto edited = verify(h);
  EXPECT_FALSE(edited.intact);
  EXPECT_EQ(edited.broken_seq, 2);
  EXPECT_EQ(edited.rows, 4);

  // A re-hashed forgery is caught by the next row's link instead.
  Json row = h.row("SELECT * FROM audit WHERE seq=2");
  std::string forged = audit_row_hash(row["at"].get<double>(), row["actor"], row["event"].get<std::string>(),
                                      row["detail"].get<std::string>(), row["previous"].get<std::string>());
  h.exec("UPDATE audit SET hash='" + forged + "' WHERE seq=2");
  auto rehashed = verify(h);
  EXPECT_FALSE(rehashed.intact);
  EXPECT_EQ(rehashed.broken_seq, 3);

  CoreHarness deleted(ConfigBuilder().build());
  for (int i = 0; i < 3; ++i) append(deleted, "op", "alert.cancelled", {{"i", i}});
  deleted.exec("DELETE FROM audit WHERE seq=2");
  EXPECT_EQ(verify(deleted).broken_seq, 3);

  CoreHarness timed(ConfigBuilder().build());
  for (int i = 0; i < 2; ++i) append(timed, "op", "alert.cancelled", {{"i", i}});
  timed.exec("UPDATE audit SET at=at+0.5 WHERE seq=1");
  EXPECT_EQ(verify(timed).broken_seq, 1);
}

TEST(AuditChainTest, RowsOfARolledBackTransactionNeverAppear) {
  CoreHarness h(ConfigBuilder().build());
  append(h, "op", "kept.first", {{"n", 1}});
  try {
    DbScope scope = h->db();
    scope.begin_immediate();
    h->audit(scope.conn(), "op", "rolled.back", {{"n", 2}});
    throw std::runtime_error("the operation fails after writing its audit row");
  } catch (const std::runtime_error&) {
  }
  append(h, "op", "kept.second", {{"n", 3}});

  auto rows = audit_rows(h);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["event"], "kept.first");
  EXPECT_EQ(rows[1]["event"], "kept.second");
  EXPECT_EQ(rows[1]["previous"], rows[0]["hash"]);
  EXPECT_TRUE(verify(h).intact);
}

TEST(AuditChainTest, ConcurrentWritersExtendOneUnbrokenChain) {
  CoreHarness h(test_support::sample_directory());
  constexpr int kThreads = 8;
  constexpr int kAlertsEach = 4;
  std::vector<std::string> errors(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        try {
          for (int i = 0; i < kAlertsEach; ++i) {
            const std::string key = "concurrent-" + std::to_string(t) + "-" + std::to_string(i);
            const std::string id = h->create("op", test_support::exercise_request(), key);
            h->receipt("pc-n", id, "received");
          }
        } catch (const std::exception& e) {
          errors[t] = e.what();
        }
      });
  }
  for (const auto& error : errors) EXPECT_EQ(error, "");
  auto verdict = verify(h);
  EXPECT_TRUE(verdict.intact) << verdict.reason;
  EXPECT_EQ(verdict.rows, 2 * kThreads * kAlertsEach);
  EXPECT_EQ(h.row("SELECT MAX(seq) AS n FROM audit")["n"], 2 * kThreads * kAlertsEach);
}

}  // namespace
}  // namespace halvenor
