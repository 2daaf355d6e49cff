#include "tests/support/config_builder.h"

namespace halvenor::test_support {
namespace {

Json merged(Json entry, const Json& extra) {
  for (auto it = extra.begin(); it != extra.end(); ++it) entry[it.key()] = it.value();
  return entry;
}

Json with_changes(Json request, const Json& changes) {
  for (auto it = changes.begin(); it != changes.end(); ++it) {
    if (it->is_null())
      request.erase(it.key());
    else
      request[it.key()] = it.value();
  }
  return request;
}

}  // namespace

ConfigBuilder::ConfigBuilder()
    : doc_({{"mode", "test"},
            {"provider", "mock"},
            {"users", Json::array()},
            {"devices", Json::array()},
            {"contacts", Json::array()},
            {"groups", Json::array()}}) {}

ConfigBuilder& ConfigBuilder::set(const std::string& key, Json value) {
  doc_[key] = std::move(value);
  return *this;
}

ConfigBuilder& ConfigBuilder::erase(const std::string& key) {
  doc_.erase(key);
  return *this;
}

ConfigBuilder& ConfigBuilder::live(const std::string& scope) {
  doc_["mode"] = "controlled_live";
  doc_["live_desktop"] = {{"enabled", true},
                          {"deployment_scope", scope},
                          {"assurance_completed", true},
                          {"assurance_reference", "ASSURE-7"}};
  return *this;
}

ConfigBuilder& ConfigBuilder::mobile(const std::string& sms_driver, const std::string& whatsapp_driver) {
  doc_["mobile_providers"] = {{"sms", {{"driver", sms_driver}}}, {"whatsapp", {{"driver", whatsapp_driver}}}};
  return *this;
}

ConfigBuilder& ConfigBuilder::user(const std::string& id, Json extra) {
  doc_["users"].push_back(
      merged({{"id", id}, {"role", "operator"}, {"token", user_token(id)}, {"display_name", id}}, extra));
  return *this;
}

ConfigBuilder& ConfigBuilder::live_operator(const std::string& id, Json extra) {
  return user(id, merged({{"can_send_live", true}, {"can_send_sms", true}, {"can_send_whatsapp", true}}, extra));
}

ConfigBuilder& ConfigBuilder::device(const std::string& id, const std::string& site, const std::string& department,
                                     Json extra) {
  doc_["devices"].push_back(
      merged({{"id", id}, {"token", device_token(id)}, {"site", site}, {"department", department}}, extra));
  return *this;
}

ConfigBuilder& ConfigBuilder::contact(const std::string& id, const std::string& site, const std::string& department,
                                      std::vector<std::string> channels, Json extra) {
  doc_["contacts"].push_back(merged({{"id", id},
                                     {"display_name", "Contact " + id},
                                     {"site", site},
                                     {"department", department},
                                     {"channels", channels}},
                                    extra));
  return *this;
}

ConfigBuilder& ConfigBuilder::group(const std::string& id, std::vector<std::string> members) {
  doc_["groups"].push_back({{"id", id}, {"members", members}});
  return *this;
}

ConfigBuilder sample_directory() {
  ConfigBuilder b;
  b.live_operator("op")
      .user("plain")
      .user("aud", {{"role", "auditor"}})
      .device("pc-n", "North", "Wards")
      .device("pc-s", "South", "Estates")
      .contact("c-n", "North", "Wards", {"sms", "whatsapp"});
  return b;
}

Json exercise_request(Json changes) {
  Json request = {{"test", true},          {"title", "Fire drill"},    {"body", "Leave by the east stairs"},
                  {"severity", "ticker"},  {"ttl_minutes", 15},        {"channels", {"desktop"}},
                  {"sites", {"North"}}};
  return with_changes(std::move(request), changes);
}

Json live_request(Json changes) {
  Json request = exercise_request({{"test", false},
                                   {"title", "Evacuate ward 4"},
                                   {"severity", "critical"},
                                   {"incident_reference", "INC-2041"},
                                   {"live_confirmation", "SEND LIVE ALERT"}});
  return with_changes(std::move(request), changes);
}

}  // namespace halvenor::test_support
