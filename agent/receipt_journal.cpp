#include "agent/receipt_journal.h"

#include <algorithm>
#include <stdexcept>

#include "base/json_text.h"
#include "net/private_files.h"
#include "platform/append_file.h"

namespace halvenor::agent {
namespace {

const char* state_name(ReceiptState state) {
  switch (state) {
    case ReceiptState::Pending: return "pending";
    case ReceiptState::Accepted: return "accepted";
    case ReceiptState::Refused: return "refused";
  }
  return "pending";
}

std::optional<ReceiptState> state_of(const std::string& name) {
  if (name == "pending") return ReceiptState::Pending;
  if (name == "accepted") return ReceiptState::Accepted;
  if (name == "refused") return ReceiptState::Refused;
  return std::nullopt;
}

bool receipt_name(const std::string& event) {
  return event == "received" || event == "displayed" || event == "acknowledged";
}

std::string line_of(const Receipt& receipt, ReceiptState state) {
  return json::field_text(Json{{"alert", receipt.alert_id}, {"event", receipt.event}, {"state", state_name(state)}}) +
         "\n";
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what) {
  throw std::runtime_error("receipt journal " + file.string() + ": " + what);
}

}  // namespace

ReceiptJournal::ReceiptJournal(std::filesystem::path file) : file_(std::move(file)) {
  load();
  open_for_append();
  if (lines_ > kCompactAfterLines) compact();
}

ReceiptJournal::~ReceiptJournal() = default;

void ReceiptJournal::load() {
  std::error_code missing;
  if (!std::filesystem::exists(file_, missing)) return;
  const std::string text = setup::read_file(file_, kMaxJournalBytes);
  std::size_t at = 0;
  std::size_t complete = 0;  // bytes up to the end of the last whole line
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      ++skipped_;  // torn by a crash in the middle of a write
      break;
    }
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    complete = at;
    ++lines_;
    try {
      Json entry = json::parse_text(line);
      const Json& alert = entry.at("alert");
      const Json& event = entry.at("event");
      const Json& state = entry.at("state");
      if (!alert.is_string() || !event.is_string() || !state.is_string() ||
          !receipt_name(event.get<std::string>()))
        throw std::invalid_argument("malformed");
      auto parsed = state_of(state.get<std::string>());
      if (!parsed) throw std::invalid_argument("unknown state");
      Key key{alert.get<std::string>(), event.get<std::string>()};
      auto found = states_.find(key);
      // Settled receipts never go back to pending.
      if (found != states_.end() && *parsed == ReceiptState::Pending) continue;
      // A settlement keeps the receipt's place; a new pending entry takes the next one.
      std::uint64_t order = found != states_.end() ? found->second.second : next_order_++;
      states_[key] = {*parsed, order};
    } catch (const std::exception&) {
      ++skipped_;
    }
  }
  if (complete < text.size()) {
    std::error_code error;
    std::filesystem::resize_file(file_, complete, error);
    if (error) fail(file_, "cannot cut off a torn line: " + error.message());
  }
}

void ReceiptJournal::open_for_append() {
  try {
    file_for_append_ = std::make_unique<platform::AppendFile>(file_);
  } catch (const std::runtime_error& e) {
    fail(file_, e.what());
  }
}

void ReceiptJournal::append(const Receipt& receipt, ReceiptState state) {
  try {
    file_for_append_->append(line_of(receipt, state));
  } catch (const std::runtime_error& e) {
    fail(file_, e.what());
  }
  ++lines_;
}

bool ReceiptJournal::add(const Receipt& receipt) {
  std::lock_guard lock(mutex_);
  Key key{receipt.alert_id, receipt.event};
  if (states_.count(key) != 0) return false;
  append(receipt, ReceiptState::Pending);
  states_[key] = {ReceiptState::Pending, next_order_++};
  return true;
}

void ReceiptJournal::settle(const Receipt& receipt, ReceiptState outcome) {
  std::lock_guard lock(mutex_);
  Key key{receipt.alert_id, receipt.event};
  auto found = states_.find(key);
  if (found == states_.end() || found->second.first != ReceiptState::Pending) return;
  append(receipt, outcome);
  found->second.first = outcome;
  if (lines_ > kCompactAfterLines) compact();
}

std::vector<Receipt> ReceiptJournal::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::uint64_t, Receipt>> ordered;
  for (const auto& [key, value] : states_)
    if (value.first == ReceiptState::Pending) ordered.push_back({value.second, Receipt{key.first, key.second}});
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Receipt> out;
  for (auto& [order, receipt] : ordered) out.push_back(std::move(receipt));
  return out;
}

std::optional<ReceiptState> ReceiptJournal::state(const Receipt& receipt) const {
  std::lock_guard lock(mutex_);
  auto found = states_.find({receipt.alert_id, receipt.event});
  if (found == states_.end()) return std::nullopt;
  return found->second.first;
}

std::size_t ReceiptJournal::skipped_lines() const {
  std::lock_guard lock(mutex_);
  return skipped_;
}

// Caller holds the mutex.
void ReceiptJournal::compact() {
  std::vector<std::pair<std::uint64_t, Key>> settled;
  for (const auto& [key, value] : states_)
    if (value.first != ReceiptState::Pending) settled.push_back({value.second, key});
  std::sort(settled.begin(), settled.end());
  const std::size_t drop = settled.size() > kSettledKeptOnCompaction ? settled.size() - kSettledKeptOnCompaction : 0;
  for (std::size_t i = 0; i < drop; ++i) states_.erase(settled[i].second);

  std::vector<std::pair<std::uint64_t, Key>> kept;
  for (const auto& [key, value] : states_) kept.push_back({value.second, key});
  std::sort(kept.begin(), kept.end());
  std::string text;
  for (const auto& [order, key] : kept) {
    const ReceiptState state = states_[key].first;
    Receipt receipt{key.first, key.second};
    // A settled receipt is written as pending then settled, so that the
    // loader sees the same history as before.
    text += line_of(receipt, ReceiptState::Pending);
    if (state != ReceiptState::Pending) text += line_of(receipt, state);
  }
  file_for_append_.reset();
  setup::private_write(file_, text);
  lines_ = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  open_for_append();
}

}  // namespace halvenor::agent
