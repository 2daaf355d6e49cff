// The agent's record of receipts: those still to be delivered to the server
// (in the order they happened) and those already settled, so that a restart
// neither loses a receipt nor shows an acknowledged alert again.
//
// File: one JSON object a line, appended and flushed to disk (fdatasync)
// before add() or settle() returns; the file is 0600.
//   {"alert": ID, "event": "received"|"displayed"|"acknowledged", "state": "pending"}
//   ... "state": "accepted" (the server took it) or "refused" (it never will)
// A power cut can leave the last line torn; loading ignores it and cuts it
// off so the next line starts cleanly. When the file grows past
// kCompactAfterLines it is rewritten atomically with the pending receipts and
// the most recent settled ones.
//
// Thread-safety: all members lock one mutex. Errors: std::runtime_error
// naming the file when it cannot be opened, read or written.
#pragma once

#include <filesystem>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace halvenor::platform {
class AppendFile;
}

namespace halvenor::agent {

inline constexpr std::size_t kCompactAfterLines = 4096;
inline constexpr std::size_t kSettledKeptOnCompaction = 1024;
inline constexpr std::size_t kMaxJournalBytes = 64 * 1024 * 1024;

struct Receipt {
  std::string alert_id;
  std::string event;  // "received", "displayed" or "acknowledged"
  bool operator==(const Receipt&) const = default;
};

enum class ReceiptState { Pending, Accepted, Refused };

class ReceiptJournal {
 public:
  explicit ReceiptJournal(std::filesystem::path file);
  ~ReceiptJournal();
  ReceiptJournal(const ReceiptJournal&) = delete;
  ReceiptJournal& operator=(const ReceiptJournal&) = delete;

  // Records a receipt to deliver. Returns false, writing nothing, when this
  // receipt is already recorded in any state.
  bool add(const Receipt& receipt);
  // Records the server's answer to a pending receipt.
  void settle(const Receipt& receipt, ReceiptState outcome);

  std::vector<Receipt> pending() const;  // oldest first
  std::optional<ReceiptState> state(const Receipt& receipt) const;
  bool has(const std::string& alert_id, const std::string& event) const {
    return state({alert_id, event}).has_value();
  }
  // Lines skipped while loading (a torn last line, damaged lines).
  std::size_t skipped_lines() const;

 private:
  using Key = std::pair<std::string, std::string>;
  void load();
  void append(const Receipt& receipt, ReceiptState state);
  void compact();
  void open_for_append();

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  std::unique_ptr<platform::AppendFile> file_for_append_;
  std::size_t lines_ = 0;
  std::size_t skipped_ = 0;
  std::uint64_t next_order_ = 0;
  // State and the order of its latest change.
  std::map<Key, std::pair<ReceiptState, std::uint64_t>> states_;
};

}  // namespace halvenor::agent
