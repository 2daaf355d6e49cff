// Fuzz target: an operator's alert request through validation, on a fixed
// directory. Invariants: a refusal is one of the mapped error kinds (never a
// crash or an unexpected exception type), and accepted targets are unique
// (recipient, channel) pairs of configured recipients.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include <unistd.h>

#include "app/service_parts.h"
#include "base/errors.h"
#include "server/core/core.h"

namespace {

halvenor::Core& core() {
  static std::unique_ptr<halvenor::ServiceParts> instance = [] {
    using halvenor::Json;
    Json config = {
        {"mode", "controlled_live"},
        {"provider", "mock"},
        {"mobile_providers", {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}},
        {"live_desktop", {{"enabled", true}, {"deployment_scope", "home_lab"}}},
        {"users", {{{"id", "op"}, {"role", "operator"}, {"token", "t-op"}, {"can_send_live", true},
                    {"can_send_sms", true}, {"can_send_whatsapp", true}}}},
        {"devices", {{{"id", "pc1"}, {"token", "t1"}, {"site", "North"}, {"department", "Wards"}},
                     {{"id", "pc2"}, {"token", "t2"}, {"site", "BOTH"}, {"department", "Estates"}}}},
        {"contacts", {{{"id", "c1"}, {"channels", {"sms", "whatsapp"}}, {"site", "North"}, {"department", "Wards"}}}},
        {"groups", {{{"id", "g1"}, {"members", {"pc1", "c1"}}}}}};
    auto path = std::filesystem::temp_directory_path() / ("alert_fuzz_" + std::to_string(getpid()) + ".sqlite3");
    return std::make_unique<halvenor::ServiceParts>(config, path.string());
  }();
  return instance->core();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvenor;
  Json request;
  try {
    request = json::parse_body(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const RequestError&) {
    return 0;
  }
  try {
    auto targets = core().validate(request, std::string("op"));
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& t : targets) {
      if (!seen.insert({t.recipient_id, t.channel}).second) std::abort();
      if (t.recipient_id != "pc1" && t.recipient_id != "pc2" && t.recipient_id != "c1") std::abort();
    }
  } catch (const Refusal&) {
  } catch (const RequestError&) {
  } catch (const nlohmann::json::exception&) {
  }
  return 0;
}
