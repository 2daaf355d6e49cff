#include "agent/alert_tracker.h"

#include <stdexcept>

namespace halvenor::agent {
namespace {

std::string text_or_empty(const Json& row, const char* key) {
  auto it = row.find(key);
  return it != row.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool is_one(const Json& row, const char* key) {
  auto it = row.find(key);
  return it != row.end() && it->is_number() && it->get<double>() == 1;
}

}  // namespace

AlertView alert_view(const Json& row) {
  if (!row.is_object()) throw std::invalid_argument("poll row is not an object");
  auto id = row.find("id");
  if (id == row.end() || (!id->is_string() && !id->is_number_integer()))
    throw std::invalid_argument("poll row without an identifier");
  AlertView view;
  view.id = id->is_string() ? id->get<std::string>() : std::to_string(id->get<long long>());
  if (view.id.empty()) throw std::invalid_argument("poll row with an empty identifier");
  view.title = text_or_empty(row, "title");
  view.body = text_or_empty(row, "body");
  view.kind = text_or_empty(row, "severity") == "critical" ? AlertKind::Critical : AlertKind::Ticker;
  view.exercise = is_one(row, "is_test");
  auto conclusion = row.find("conclusion_of");
  view.stand_down = conclusion != row.end() && !conclusion->is_null();
  if (view.stand_down && conclusion->is_string()) view.concludes = conclusion->get<std::string>();
  auto expires = row.find("expires");
  view.expires = expires != row.end() && expires->is_number() ? expires->get<double>() : 0;
  return view;
}

PollPlan AlertTracker::apply_poll(const Json& polled, const ReceiptJournal& journal) {
  PollPlan plan;
  std::set<std::string> present;
  if (polled.is_array()) {
    for (const Json& row : polled) {
      AlertView view;
      try {
        view = alert_view(row);
      } catch (const std::invalid_argument&) {
        continue;
      }
      if (!present.insert(view.id).second) continue;
      if (!journal.has(view.id, "received")) plan.receipts.push_back({view.id, "received"});
      if (acknowledged_here_.count(view.id) != 0 || journal.has(view.id, "acknowledged")) continue;
      auto displayed = row.find("displayed");
      const bool server_displayed = displayed != row.end() && !displayed->is_null();
      auto [it, added] = screen_.try_emplace(view.id);
      it->second.server_displayed = it->second.server_displayed || server_displayed;
      it->second.expires = view.expires;
      if (added) plan.show.push_back(std::move(view));
    }
  }
  for (auto it = screen_.begin(); it != screen_.end();) {
    const bool keep = present.count(it->first) != 0 && acknowledged_here_.count(it->first) == 0 &&
                      !journal.has(it->first, "acknowledged");
    if (keep) {
      ++it;
    } else {
      if (present.count(it->first) == 0)
        plan.gone.push_back({it->first, it->second.expires});
      else
        plan.withdraw.push_back(it->first);
      it = screen_.erase(it);
    }
  }
  return plan;
}

std::optional<Receipt> AlertTracker::displayed(const std::string& id, double now, const ReceiptJournal& journal) {
  auto it = screen_.find(id);
  if (it == screen_.end()) return std::nullopt;  // taken down before it appeared
  if (!it->second.displayed_at) it->second.displayed_at = now;
  if (it->second.server_displayed || journal.has(id, "displayed")) return std::nullopt;
  return Receipt{id, "displayed"};
}

std::optional<Receipt> AlertTracker::acknowledged(const std::string& id, const ReceiptJournal& journal) {
  auto it = screen_.find(id);
  if (it == screen_.end()) return std::nullopt;  // no longer shown: nothing was acknowledged
  const bool was_displayed = it->second.displayed_at.has_value();
  screen_.erase(it);
  acknowledged_here_.insert(id);
  // The server takes an acknowledgement only after "displayed"; a button
  // pressed before the window reported itself cannot have been seen either.
  if (!was_displayed || journal.has(id, "acknowledged")) return std::nullopt;
  return Receipt{id, "acknowledged"};
}

std::vector<std::string> AlertTracker::due_for_auto_ack(double now, double after_seconds) const {
  std::vector<std::string> due;
  for (const auto& [id, shown] : screen_)
    if (shown.displayed_at && now - *shown.displayed_at >= after_seconds) due.push_back(id);
  return due;
}

std::optional<double> AlertTracker::next_auto_ack(double after_seconds) const {
  std::optional<double> earliest;
  for (const auto& [id, shown] : screen_)
    if (shown.displayed_at && (!earliest || *shown.displayed_at + after_seconds < *earliest))
      earliest = *shown.displayed_at + after_seconds;
  return earliest;
}

}  // namespace halvenor::agent
