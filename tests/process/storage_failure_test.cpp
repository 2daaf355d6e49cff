// The running service when its database cannot be written: a full disk and
// a database made unwritable under it. Creation gets the standard 500 reply,
// nothing of the refused alert reaches the files, reading goes on, and once
// the condition clears the same request succeeds and the files verify.
//
// Both conditions need privileges (mounting a small tmpfs; setting the
// immutable attribute); without them the tests are skipped.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "server/core/audit_chain.h"
#include "server/core/database.h"
#include "server/http/error_mapping.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kOperator = "op-token-0123456789";
constexpr int kDevices = 5;

Json directory() {
  Json config = {{"mode", "test"},
                 {"provider", "mock"},
                 {"mobile_providers", {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}},
                 {"contacts", Json::array()},
                 {"groups", Json::array()}};
  config["users"] = Json::array({{{"id", "op"}, {"role", "operator"}, {"token", kOperator}}});
  Json devices = Json::array();
  for (int i = 0; i < kDevices; ++i)
    devices.push_back({{"id", "pc-" + std::to_string(i)}, {"token", "pc-token-000000" + std::to_string(i)},
                       {"site", "North"}, {"department", "Wards"}});
  config["devices"] = devices;
  return config;
}

Json alert(const std::string& title) {
  return {{"test", true},        {"title", title},        {"body", "Storage failure check"}, {"severity", "critical"},
          {"ttl_minutes", 30},   {"channels", {"desktop"}}, {"sites", {"North"}}};
}

// A small tmpfs over a folder, detached when the guard ends.
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& where) : where_(where) {
    fs::create_directories(where_);
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0700") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

// Fills the file system holding `file` to the last byte; the file is the filler.
void fill_disk(const fs::path& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const std::string chunk(64 * 1024, 'f');
  for (std::size_t size : {chunk.size(), std::size_t{4096}, std::size_t{1}}) {
    while (::write(fd, chunk.data(), size) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
  }
  ::close(fd);
}

// Sets or clears the immutable attribute; false when the file system or the
// caller's privileges do not allow it.
bool set_immutable(const fs::path& file, bool on) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return done;
}

class StorageFailureTest : public ::testing::Test {
 protected:
  void start(const fs::path& db) {
    db_ = db;
    std::string config = folder_.write("config.json", json::indented(directory())).string();
    service_ = start_service({"--config", config, "--db", db_.string(), "--port", "0"});
  }

  HttpReply create(const std::string& key, const std::string& title) {
    std::string text = json::field_text(alert(title));
    Headers headers{{"Host", "127.0.0.1:" + std::to_string(service_.port)},
                    {"Authorization", std::string("Bearer ") + kOperator},
                    {"Content-Type", "application/json"},
                    {"Content-Length", std::to_string(text.size())},
                    {"Idempotency-Key", key}};
    return http_exchange(service_.port, raw_request("POST", "/api/alerts", headers, text));
  }

  HttpReply state() {
    Headers headers{{"Host", "127.0.0.1:" + std::to_string(service_.port)},
                    {"Authorization", std::string("Bearer ") + kOperator}};
    return http_exchange(service_.port, raw_request("GET", "/api/state", headers));
  }

  long long count(const std::string& sql) {
    Connection conn(db_.string());
    return conn.query_one(sql)->begin().value().get<long long>();
  }

  // While writing fails: the standard reply, and no trace of the request.
  void expect_refused_without_trace(const std::string& key) {
    const long long alerts = count("SELECT COUNT(*) FROM alerts");
    const long long audit = count("SELECT COUNT(*) FROM audit");
    const long long deliveries = count("SELECT COUNT(*) FROM deliveries");
    HttpReply refused = create(key, "Refused");
    EXPECT_EQ(refused.status, 500) << refused.body;
    EXPECT_EQ(refused.body, json::field_text(Json{{"error", http::kInternalErrorMessage}}));
    EXPECT_EQ(count("SELECT COUNT(*) FROM alerts"), alerts);
    EXPECT_EQ(count("SELECT COUNT(*) FROM audit"), audit);
    EXPECT_EQ(count("SELECT COUNT(*) FROM deliveries"), deliveries);
    EXPECT_EQ(state().status, 200);  // reading does not need to write
  }

  // After the condition cleared: the refused request goes through, the
  // service keeps working, and the files verify once it has stopped.
  void expect_recovered(const std::string& refused_key) {
    HttpReply retried = create(refused_key, "Refused");
    ASSERT_EQ(retried.status, 201) << retried.body;
    ASSERT_EQ(create("storage-after-0001", "After").status, 201);
    service_.process->send_signal(SIGTERM);
    EXPECT_EQ(service_.process->wait_exit(), 0) << service_.process->error_text();

    Connection conn(db_.string());
    EXPECT_EQ(conn.query_one("PRAGMA integrity_check")->begin().value(), "ok");
    ChainVerdict verdict = verify_audit_chain(conn);
    EXPECT_TRUE(verdict.intact) << verdict.reason;
    EXPECT_EQ(conn.query_one("SELECT COUNT(*) AS n FROM alerts")->at("n"), 3);
    EXPECT_EQ(conn.query_one("SELECT COUNT(*) AS n FROM deliveries")->at("n"), 3 * kDevices);
    EXPECT_EQ(conn.query_one("SELECT COUNT(*) AS n FROM audit WHERE event='alert.created.test'")->at("n"), 3);
  }

  TempFolder folder_{TempFolder::OnDisk{}};
  fs::path db_;
  Service service_;
};

TEST_F(StorageFailureTest, FullDiskRefusesCreationWithoutHalfWrites) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const fs::path data = folder_.path() / "data";
  SmallDisk disk(data);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  start(data / "core.sqlite3");
  ASSERT_EQ(create("storage-before-01", "Before").status, 201);

  fill_disk(data / "filler");
  expect_refused_without_trace("storage-refused-1");
  expect_refused_without_trace("storage-refused-1");  // and again: the first failure left nothing behind

  fs::remove(data / "filler");
  expect_recovered("storage-refused-1");
  service_ = Service{};  // the service ends before its disk goes
}

TEST_F(StorageFailureTest, UnwritableDatabaseRefusesCreationWithoutHalfWrites) {
  start(folder_.path() / "core.sqlite3");
  ASSERT_EQ(create("storage-before-01", "Before").status, 201);
  const std::vector<fs::path> files = {db_, db_.string() + "-wal"};
  for (const fs::path& file : files) {
    if (!set_immutable(file, true)) {
      for (const fs::path& f : files) set_immutable(f, false);
      GTEST_SKIP() << "cannot make " << file << " immutable here";
    }
  }
  struct Restore {
    const std::vector<fs::path>& files;
    ~Restore() {
      for (const fs::path& f : files) set_immutable(f, false);
    }
  } restore{files};

  expect_refused_without_trace("storage-refused-1");
  for (const fs::path& file : files) ASSERT_TRUE(set_immutable(file, false));
  expect_recovered("storage-refused-1");
}

}  // namespace
}  // namespace halvenor::testing
