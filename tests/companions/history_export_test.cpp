#include "companions/export/history_export.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/service_parts.h"
#include "base/errors.h"
#include "companions/export/csv.h"
#include "server/core/audit_chain.h"
#include "server/core/core.h"
#include "tests/support/fake_time.h"
#include "tests/support/temp_folder.h"

namespace halvenor {
namespace {

constexpr double kMarch1 = 1709251200.0;  // 2024-03-01T00:00:00Z
constexpr double kDay = 86400.0;

// Reads RFC 4180 text back into records, refusing a record that does not end
// with CR LF or a quote that is not closed.
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  bool quoted = false, was_quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      if (!field.empty() || was_quoted) throw std::runtime_error("quote inside an unquoted field");
      quoted = was_quoted = true;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
      was_quoted = false;
    } else if (c == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') throw std::runtime_error("bare CR outside quotes");
      record.push_back(std::move(field));
      records.push_back(std::move(record));
      field.clear();
      record.clear();
      was_quoted = false;
      ++i;
    } else if (c == '\n') {
      throw std::runtime_error("bare LF outside quotes");
    } else {
      field += c;
    }
  }
  if (quoted || !field.empty() || !record.empty()) throw std::runtime_error("last record not terminated");
  return records;
}

TEST(CsvFieldTest, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(csv::field("plain text"), "plain text");
  EXPECT_EQ(csv::field(""), "");
  EXPECT_EQ(csv::field("a,b"), "\"a,b\"");
  EXPECT_EQ(csv::field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(csv::field("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(csv::field("two\r\nlines"), "\"two\r\nlines\"");
  EXPECT_EQ(csv::field("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(CsvFieldTest, GuardsEveryFormulaStart) {
  EXPECT_EQ(csv::field("=SUM(A1:A9)"), "'=SUM(A1:A9)");
  EXPECT_EQ(csv::field("+441632960001"), "'+441632960001");
  EXPECT_EQ(csv::field("-5"), "'-5");
  EXPECT_EQ(csv::field("@cmd"), "'@cmd");
  EXPECT_EQ(csv::field("\tcmd"), "'\tcmd");
  EXPECT_EQ(csv::field("\rcmd"), "\"'\rcmd\"");
  EXPECT_EQ(csv::field("=HYPERLINK(\"x\",\"y\")"), "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\"");
  EXPECT_EQ(csv::field("a=b"), "a=b");
  std::string out;
  csv::append_record(out, {"=1", "", "x,y"});
  EXPECT_EQ(out, "'=1,,\"x,y\"\r\n");
}

Json export_config() {
  return Json::parse(R"({
    "mode": "test", "provider": "mock",
    "mobile_providers": {"sms": {"driver": "mock"}},
    "sites": ["North"],
    "users": [{"id": "operator-1", "role": "operator", "token": "operator-token-0001", "can_send_sms": true},
              {"id": "auditor-1", "role": "auditor", "token": "auditor-token-0001"}],
    "devices": [{"id": "pc-n1", "display_name": "Ward 1 desk", "token": "device-token-n1", "site": "North",
                 "department": "Wards"},
                {"id": "pc-n2", "token": "device-token-n2", "site": "North", "department": "Estates"}],
    "contacts": [{"id": "+441632960001", "display_name": "Duty manager", "channels": ["sms"], "site": "North", "department": "Wards"}],
    "groups": []
  })");
}

// Audit rows: 1 an alert the evening before 2024-03-01, 2 an alert on that day
// whose text a spreadsheet would misread, 3 and 4 its receipts, 5 an alert on
// the next day.
class HistoryExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<test_support::FakeClock>(kMarch1);
    parts_ = std::make_unique<ServiceParts>(export_config(), database_path(), std::nullopt, CoreOptions{clock_, nullptr});
    core_ = &parts_->core();
    create(kMarch1 - 10, "Evening drill", "Before the range.", "history-key-0001");
    on_day_ = create(kMarch1 + 3600, "=HYPERLINK(\"http://example.invalid\",\"open\")",
                     "Line one, \"quoted\"\nLine two", "history-key-0002");
    clock_->set(kMarch1 + 3700);
    core_->receipt("pc-n1", on_day_, "received");
    clock_->set(kMarch1 + 3710.5);
    core_->receipt("pc-n1", on_day_, "displayed");
    create(kMarch1 + kDay + 5, "@Next day", "After the range.", "history-key-0003");
    clock_->set(kMarch1 + 3 * kDay);
  }

  std::string database_path() const { return (folder_.path() / "core.sqlite3").string(); }

  std::string create(double t, const std::string& title, const std::string& body, const std::string& key) {
    clock_->set(t);
    return core_->create("operator-1",
                         {{"test", true},
                          {"title", title},
                          {"body", body},
                          {"severity", "ticker"},
                          {"ttl_minutes", 120},
                          {"channels", {"desktop", "sms"}},
                          {"sites", {"North"}}},
                         key);
  }

  std::vector<Json> audit_rows() {
    DbScope scope = core_->db();
    return scope->query("SELECT * FROM audit ORDER BY seq");
  }

  std::string refusal(const Json& request) {
    try {
      export_history(*core_, "auditor-1", request);
    } catch (const ExportInvalid& e) {
      return e.what();
    }
    return "accepted";
  }

  test_support::TempFolder folder_;
  std::shared_ptr<test_support::FakeClock> clock_;
  std::unique_ptr<ServiceParts> parts_;
  Core* core_ = nullptr;
  std::string on_day_;
};

TEST_F(HistoryExportTest, JsonHoldsTheDayAlertsReceiptsAuditRowsAndChain) {
  ExportFile file =
      export_history(*core_, "auditor-1", {{"format", "json"}, {"from", "2024-03-01"}, {"to", "2024-03-01"}});
  EXPECT_EQ(file.content_type, "application/json");
  EXPECT_EQ(file.filename, "halvenor-history-20240301-20240301.json");
  const Json& body = file.json_body;
  std::vector<std::string> keys;
  for (auto it = body.begin(); it != body.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"range", "alerts", "audit", "chain"}));
  EXPECT_EQ(body["range"],
            Json({{"from", kMarch1}, {"to", kMarch1 + kDay}, {"first_day", "2024-03-01"}, {"last_day", "2024-03-01"}}));

  ASSERT_EQ(body["alerts"].size(), 1u);
  const Json& alert = body["alerts"][0];
  EXPECT_EQ(alert["id"], on_day_);
  EXPECT_EQ(alert["created"], kMarch1 + 3600);
  EXPECT_EQ(alert["author"], "operator-1");
  ASSERT_EQ(alert["deliveries"].size(), 3u);
  EXPECT_EQ(alert["deliveries"][0], Json({{"recipient_id", "pc-n1"},
                                          {"channel", "desktop"},
                                          {"status", "displayed"},
                                          {"received", kMarch1 + 3700},
                                          {"displayed", kMarch1 + 3710.5},
                                          {"acknowledged", nullptr}}));
  EXPECT_EQ(alert["deliveries"][2]["recipient_id"], "+441632960001");
  EXPECT_EQ(alert["deliveries"][2]["status"], "queued");

  std::vector<Json> seqs;
  for (const Json& row : body["audit"]) seqs.push_back(row["seq"]);
  EXPECT_EQ(seqs, (std::vector<Json>{2, 3, 4}));
  const std::vector<Json> stored = audit_rows();
  EXPECT_EQ(body["audit"][0]["detail"], stored[1]["detail"]);
  EXPECT_EQ(body["chain"], Json({{"intact", true},
                                 {"rows", 5},
                                 {"first_broken_seq", nullptr},
                                 {"reason", nullptr},
                                 {"last_hash", stored[4]["hash"]}}));
}

TEST_F(HistoryExportTest, EveryExportIsAuditedAndKeepsTheChainIntact) {
  clock_->set(kMarch1 + 3 * kDay + 0.25);
  export_history(*core_, "auditor-1", {{"format", "csv"}, {"from", kMarch1 - kDay}, {"to", kMarch1 + kDay}});
  std::vector<Json> rows = audit_rows();
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[5]["event"], "history.exported");
  EXPECT_EQ(rows[5]["actor"], "auditor-1");
  EXPECT_EQ(rows[5]["at"], kMarch1 + 3 * kDay + 0.25);
  EXPECT_EQ(json::parse_text(rows[5]["detail"].get<std::string>()),
            Json::parse(R"({"alerts": 2, "audit_rows": 4, "chain_intact": true, "deliveries": 6,
                            "format": "csv", "from": 1709164800.0, "to": 1709337600.0})"));
  DbScope scope = core_->db();
  ChainVerdict verdict = verify_audit_chain(scope.conn());
  EXPECT_TRUE(verdict.intact);
  EXPECT_EQ(verdict.rows, 6);
}

TEST_F(HistoryExportTest, CsvIsOneQuotedTableWithFormulasDisarmed) {
  ExportFile file =
      export_history(*core_, "auditor-1", {{"format", "csv"}, {"from", "2024-03-01"}, {"to", "2024-03-01"}});
  EXPECT_EQ(file.content_type, "text/csv; charset=utf-8");
  EXPECT_EQ(file.filename, "halvenor-history-20240301-20240301.csv");
  EXPECT_NE(file.bytes.find("\"Line one, \"\"quoted\"\"\nLine two\""), std::string::npos);

  auto records = parse_csv(file.bytes);
  ASSERT_EQ(records.size(), 9u);  // header, alert, 3 deliveries, 3 audit rows, chain
  const std::vector<std::string>& header = records[0];
  EXPECT_EQ(header.front(), "record");
  auto column = [&](const char* name) {
    for (std::size_t i = 0; i < header.size(); ++i)
      if (header[i] == name) return i;
    throw std::runtime_error(std::string("no column ") + name);
  };
  for (const auto& record : records) EXPECT_EQ(record.size(), header.size());

  std::vector<std::string> kinds;
  for (std::size_t i = 1; i < records.size(); ++i) kinds.push_back(records[i][0]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"alert", "delivery", "delivery", "delivery", "audit", "audit", "audit",
                                             "chain"}));

  const auto& alert = records[1];
  EXPECT_EQ(alert[column("alert_id")], on_day_);
  EXPECT_EQ(alert[column("title")], "'=HYPERLINK(\"http://example.invalid\",\"open\")");
  EXPECT_EQ(alert[column("body")], "Line one, \"quoted\"\nLine two");
  EXPECT_EQ(alert[column("created")], "1709254800.0");
  EXPECT_EQ(alert[column("recipient_id")], "");

  EXPECT_EQ(records[2][column("recipient_id")], "pc-n1");
  EXPECT_EQ(records[2][column("displayed")], "1709254910.5");
  EXPECT_EQ(records[2][column("acknowledged")], "");
  EXPECT_EQ(records[4][column("recipient_id")], "'+441632960001");
  EXPECT_EQ(records[4][column("alert_id")], on_day_);

  EXPECT_EQ(records[5][column("seq")], "2");
  EXPECT_EQ(records[5][column("event")], "alert.created.test");
  EXPECT_EQ(records[7][column("event")], "desktop.displayed");

  const auto& chain = records[8];
  EXPECT_EQ(chain[column("intact")], "true");
  EXPECT_EQ(chain[column("rows")], "5");
  EXPECT_EQ(chain[column("first_broken_seq")], "");
  EXPECT_EQ(chain[column("hash")], audit_rows()[4]["hash"]);
}

TEST_F(HistoryExportTest, CsvAddsNamesAndLocalTimesAfterTheOriginalColumns) {
  // A fixed zone five and a half hours east of UTC, with no daylight saving.
  const char* saved = std::getenv("TZ");
  const std::string previous = saved ? saved : "";
  ::setenv("TZ", "HLV-05:30", 1);
  ::tzset();
  ExportFile file =
      export_history(*core_, "auditor-1", {{"format", "csv"}, {"from", "2024-03-01"}, {"to", "2024-03-01"}});
  if (saved)
    ::setenv("TZ", previous.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();

  auto records = parse_csv(file.bytes);
  const std::vector<std::string> original = {
      "record", "alert_id", "created", "expires", "author", "title", "body", "severity", "channels", "targets",
      "cancelled", "is_test", "deployment_scope", "conclusion_of", "recipient_id", "channel", "status", "received",
      "displayed", "acknowledged", "seq", "at", "actor", "event", "detail", "previous", "hash", "intact", "rows",
      "first_broken_seq", "reason"};
  const std::vector<std::string>& header = records[0];
  ASSERT_GT(header.size(), original.size());
  EXPECT_EQ(std::vector<std::string>(header.begin(), header.begin() + original.size()), original);
  auto column = [&](const char* name) {
    for (std::size_t i = original.size(); i < header.size(); ++i)
      if (header[i] == name) return i;
    throw std::runtime_error(std::string("no added column ") + name);
  };
  EXPECT_EQ(records[1][column("created_local")], "2024-03-01T06:30:00+05:30");
  EXPECT_EQ(records[2][column("recipient_name")], "Ward 1 desk");
  EXPECT_EQ(records[2][column("displayed_local")], "2024-03-01T06:31:50+05:30");
  EXPECT_EQ(records[2][column("acknowledged_local")], "");
  EXPECT_EQ(records[4][column("recipient_name")], "Duty manager");
  EXPECT_EQ(records[5][column("at_local")], "2024-03-01T06:30:00+05:30");
}

TEST_F(HistoryExportTest, HandAlteredAuditRowIsReportedAsTheBrokenLink) {
  {
    Connection raw(database_path());
    raw.execute("UPDATE audit SET detail=? WHERE seq=2", {R"({"alert_id":"forged"})"});
  }
  ExportFile file =
      export_history(*core_, "auditor-1", {{"format", "json"}, {"from", "2024-02-29"}, {"to", "2024-03-02"}});
  EXPECT_EQ(file.json_body["chain"]["intact"], false);
  EXPECT_EQ(file.json_body["chain"]["first_broken_seq"], 2);
  EXPECT_EQ(file.json_body["chain"]["reason"], "hash does not match the row's contents");
  EXPECT_EQ(file.json_body["chain"]["rows"], 5);

  ExportFile csv_file =
      export_history(*core_, "auditor-1", {{"format", "csv"}, {"from", "2024-03-01"}, {"to", "2024-03-01"}});
  auto records = parse_csv(csv_file.bytes);
  const auto& header = records[0];
  const auto& chain = records.back();
  ASSERT_EQ(chain[0], "chain");
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header[i] == "intact") {
      EXPECT_EQ(chain[i], "false");
    } else if (header[i] == "first_broken_seq") {
      EXPECT_EQ(chain[i], "2");
    }
  }
  // The exports themselves were still recorded, the first one as seen broken.
  std::vector<Json> rows = audit_rows();
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(json::parse_text(rows[5]["detail"].get<std::string>())["chain_intact"], false);
}

TEST_F(HistoryExportTest, RangeEndsAndFileNames) {
  auto name = [&](const Json& from, const Json& to) {
    return export_history(*core_, "auditor-1", {{"format", "json"}, {"from", from}, {"to", to}}).filename;
  };
  // A number as "to" is an exclusive end: midnight itself belongs to the next day.
  EXPECT_EQ(name(kMarch1, kMarch1 + kDay), "halvenor-history-20240301-20240301.json");
  EXPECT_EQ(name(kMarch1, kMarch1 + kDay + 1), "halvenor-history-20240301-20240302.json");
  EXPECT_EQ(name(kMarch1 - 1, "2024-03-01"), "halvenor-history-20240229-20240301.json");
  EXPECT_EQ(name("2024-02-29", "2024-02-29"), "halvenor-history-20240229-20240229.json");
  // Leap year 2024: the whole year is 366 days, the most allowed.
  EXPECT_EQ(name("2024-01-01", "2024-12-31"), "halvenor-history-20240101-20241231.json");
  EXPECT_EQ(name("2023-01-01", "2024-01-01"), "halvenor-history-20230101-20240101.json");
  EXPECT_EQ(name(0, 366 * kDay), "halvenor-history-19700101-19710101.json");

  Json numbers =
      export_history(*core_, "auditor-1", {{"format", "json"}, {"from", kMarch1 + 3600}, {"to", kMarch1 + 3600.5}})
          .json_body;
  EXPECT_EQ(numbers["alerts"].size(), 1u);  // the start is inclusive
  EXPECT_EQ(numbers["audit"].size(), 1u);
}

TEST_F(HistoryExportTest, RefusesBadFormatsAndRangesWithoutWriting) {
  const std::size_t before = audit_rows().size();
  const std::string from_rule = "from must be a date (YYYY-MM-DD, UTC) or Unix seconds, from 1970 to 9999.";
  const std::string to_rule = "to must be a date (YYYY-MM-DD, UTC) or Unix seconds, from 1970 to 9999.";
  const std::string too_long = "The export range may cover at most 366 days.";
  auto request = [](const Json& format, const Json& from, const Json& to) {
    return Json{{"format", format}, {"from", from}, {"to", to}};
  };
  EXPECT_EQ(refusal(Json::array()), "The export request must be a JSON object.");
  EXPECT_EQ(refusal(request("xml", "2024-03-01", "2024-03-01")), "Choose csv or json as the export format.");
  EXPECT_EQ(refusal(request("CSV", "2024-03-01", "2024-03-01")), "Choose csv or json as the export format.");
  EXPECT_EQ(refusal({{"from", "2024-03-01"}, {"to", "2024-03-01"}}), "Choose csv or json as the export format.");
  EXPECT_EQ(refusal({{"format", "csv"}, {"from", "2024-03-01"}}),
            "Choose the export range: from and to, each a date (YYYY-MM-DD, UTC) or Unix seconds.");
  EXPECT_EQ(refusal(request("csv", "2024-02-30", "2024-03-01")), from_rule);
  EXPECT_EQ(refusal(request("csv", "2023-02-29", "2024-03-01")), from_rule);
  EXPECT_EQ(refusal(request("csv", "2024-3-1", "2024-03-01")), from_rule);
  EXPECT_EQ(refusal(request("csv", "2024-03-01T00:00:00Z", "2024-03-02")), from_rule);
  EXPECT_EQ(refusal(request("csv", "1969-12-31", "2024-03-02")), from_rule);
  EXPECT_EQ(refusal(request("csv", true, "2024-03-02")), from_rule);
  EXPECT_EQ(refusal(request("csv", -1, "2024-03-02")), from_rule);
  EXPECT_EQ(refusal(request("csv", "2024-03-01", "2024-13-01")), to_rule);
  EXPECT_EQ(refusal(request("csv", "2024-03-01", 1e300)), to_rule);
  EXPECT_EQ(refusal(request("csv", "2024-03-02", "2024-03-01")), "The export range must end after it starts.");
  EXPECT_EQ(refusal(request("csv", kMarch1, kMarch1)), "The export range must end after it starts.");
  EXPECT_EQ(refusal(request("csv", "2023-01-01", "2024-01-02")), too_long);
  EXPECT_EQ(refusal(request("csv", 0, 366 * kDay + 1)), too_long);
  EXPECT_EQ(audit_rows().size(), before);
}

}  // namespace
}  // namespace halvenor
