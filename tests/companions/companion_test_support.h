// A throw-away installation for companion tests: a private temporary
// folder, a configuration file, a Core on a fresh database, and a clock the
// test moves by hand.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/service_parts.h"
#include "base/clock.h"
#include "base/json_text.h"
#include "net/private_files.h"
#include "server/core/core.h"
#include "tests/support/temp_folder.h"

namespace halvenor::testing_support {

using TempFolder = test_support::TempFolder;

// Wall and monotonic time that move only when the test says so.
class ManualClock : public Clock {
 public:
  explicit ManualClock(double now) : now_(now) {}
  double now() override { return now_.load(); }
  double monotonic() override { return now_.load() - start_; }
  void advance(double seconds) { now_.store(now_.load() + seconds); }

 private:
  std::atomic<double> now_;
  const double start_ = now_.load();
};

inline constexpr char kAdminToken[] = "admin-credential-0123456789";
inline constexpr char kOperatorToken[] = "operator-credential-0123456789";
inline constexpr char kDeviceToken[] = "device-credential-0123456789";

// The smallest installation the core accepts, with one administrator, one
// operator without directory rights and one enrolled receiving computer.
inline Json base_config() {
  return Json{{"mode", "controlled_live"},
              {"provider", "disabled"},
              {"sites", {"North", "South"}},
              {"use_default_departments", true},
              {"users",
               {{{"id", "admin"}, {"display_name", "Administrator"}, {"role", "operator"}, {"enabled", true},
                 {"can_manage_users", true}, {"token", kAdminToken}},
                {{"id", "operator"}, {"role", "operator"}, {"can_manage_users", "true"}, {"token", kOperatorToken}}}},
              {"devices",
               {{{"id", "ward-pc-7"}, {"display_name", "Ward 7 desk"}, {"token", kDeviceToken}, {"site", "North"},
                 {"department", "Wards"}}}},
              {"contacts", Json::array()},
              {"groups", Json::array()}};
}

class Installation {
 public:
  explicit Installation(Json config = base_config(), double now = 1.75e9)
      : clock_(std::make_shared<ManualClock>(now)) {
    data_ = folder_.path() / "data";
    setup::ensure_private_folder(data_);
    config_path_ = data_ / "config.json";
    setup::private_write(config_path_, json::indented(config));
    CoreOptions options;
    options.clock = clock_;
    parts_ = std::make_unique<ServiceParts>(std::move(config), (data_ / "core.sqlite3").string(),
                                            config_path_.string(), options);
  }

  Core& core() { return parts_->core(); }
  ServiceParts& parts() { return *parts_; }
  ManualClock& clock() { return *clock_; }
  const std::filesystem::path& data() const { return data_; }
  const std::filesystem::path& config_path() const { return config_path_; }
  const std::filesystem::path& folder() const { return folder_.path(); }

  // The audit events written so far, oldest first.
  std::vector<std::string> audit_events() {
    std::vector<std::string> events;
    DbScope scope(parts_->core().database());
    for (const Json& row : scope->query("SELECT event FROM audit ORDER BY seq")) events.push_back(row["event"]);
    return events;
  }
  std::string audit_text() {
    std::string all;
    DbScope scope(parts_->core().database());
    for (const Json& row : scope->query("SELECT event, detail FROM audit ORDER BY seq"))
      all += row["event"].get<std::string>() + " " + row["detail"].get<std::string>() + "\n";
    return all;
  }

 private:
  TempFolder folder_;
  std::filesystem::path data_;
  std::filesystem::path config_path_;
  std::shared_ptr<ManualClock> clock_;
  std::unique_ptr<ServiceParts> parts_;
};

}  // namespace halvenor::testing_support
