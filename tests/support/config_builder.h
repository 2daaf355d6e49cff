// Builds configuration documents for core tests: policy keys, users,
// receiving computers, contacts and groups, with credentials derived from
// the ids so tests can sign in without bookkeeping.
//
// Every entry method takes `extra` members that are added last and win over
// the defaults (a null value is kept as null; remove a key from the built
// document instead). Not thread-safe; build() returns an independent copy.
#pragma once

#include <string>
#include <vector>

#include "base/json_text.h"

namespace halvenor::test_support {

inline std::string user_token(const std::string& id) { return "user-credential-" + id; }
inline std::string device_token(const std::string& id) { return "device-credential-" + id; }

class ConfigBuilder {
 public:
  // mode "test", provider "mock", empty users, devices, contacts and groups.
  ConfigBuilder();

  ConfigBuilder& set(const std::string& key, Json value);
  ConfigBuilder& erase(const std::string& key);
  // mode "controlled_live" with live desktop enabled in `scope` and the
  // assurance keys completed.
  ConfigBuilder& live(const std::string& scope = "operational");
  // "mobile_providers" with one driver per channel ("mock" or "disabled").
  ConfigBuilder& mobile(const std::string& sms_driver, const std::string& whatsapp_driver);

  // {"id", "role": "operator", "token": user_token(id), "display_name": id}.
  ConfigBuilder& user(const std::string& id, Json extra = Json::object());
  // An operator with can_send_live, can_send_sms and can_send_whatsapp true.
  ConfigBuilder& live_operator(const std::string& id, Json extra = Json::object());
  // {"id", "token": device_token(id), "site", "department"}.
  ConfigBuilder& device(const std::string& id, const std::string& site, const std::string& department,
                        Json extra = Json::object());
  // {"id", "display_name": "Contact " + id, "site", "department", "channels"}.
  ConfigBuilder& contact(const std::string& id, const std::string& site, const std::string& department,
                         std::vector<std::string> channels, Json extra = Json::object());
  ConfigBuilder& group(const std::string& id, std::vector<std::string> members);

  Json build() const { return doc_; }
  operator Json() const { return doc_; }

 private:
  Json doc_;
};

// The directory most tests share:
//   sites "North" and "South" (derived from the entries);
//   users "op" (live operator), "plain" (operator without any send permission),
//         "aud" (auditor);
//   devices "pc-n" (North, Wards), "pc-s" (South, Estates);
//   contact "c-n" (North, Wards) on sms and whatsapp.
ConfigBuilder sample_directory();

// An exercise request addressed to North on the desktop channel, 15 minutes,
// with `changes` applied on top (a null value removes the key).
Json exercise_request(Json changes = Json::object());
// The same as a confirmed live incident with an incident reference.
Json live_request(Json changes = Json::object());

}  // namespace halvenor::test_support
