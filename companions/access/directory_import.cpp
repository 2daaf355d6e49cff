#include "companions/access/directory_import.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "companions/access/directory_change.h"
#include "companions/export/csv.h"
#include "server/core/config_snapshot.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

constexpr std::size_t kMaxImportBytes = 8 * 1024 * 1024;
constexpr std::size_t kMaxImportRows = 20000;

const std::vector<std::string> kColumns = {"kind",  "id",       "display_name", "site",       "department",
                                           "computer_id", "allow_live_desktop", "phone", "channels",
                                           "account_id", "enabled"};

// Files being uploaded piece by piece, by installation and administrator.
// They are not yet a change to anything, so they stay in memory.
std::mutex staged_mutex;
std::map<std::string, std::string> staged_files;

std::string staging_key(AccessManager& access, const std::string& actor) {
  return access.config_path() + '\n' + actor;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

Json cell_value(const std::string& column, const std::string& text) {
  if (column == "enabled" || column == "allow_live_desktop") {
    const std::string word = lower(text);
    if (word == "true" || word == "yes") return true;
    if (word == "false" || word == "no") return false;
    return text;  // refused by the field's own rule, in its own words
  }
  if (column == "channels") {
    Json channels = Json::array();
    std::string item;
    for (char c : text + ";") {
      if (c == ';' || c == ' ' || c == ',') {
        if (!item.empty()) channels.push_back(lower(item));
        item.clear();
      } else {
        item += c;
      }
    }
    return channels;
  }
  return text;
}

struct Located {
  const char* list;
  std::size_t index;
};

struct RowOutcome {
  Json shown;                  // the preview line
  std::optional<Json> entry;   // the entry as it will be stored
  std::optional<Located> replaces;
};

struct Plan {
  std::vector<RowOutcome> rows;
  std::size_t added = 0, updated = 0, unchanged = 0, errors = 0;
};

// Checks every row against `doc` as the single-entry forms would, each row
// on a small document that holds the vocabulary and at most that one entry,
// so a file of thousands of rows is not checked against thousands of
// entries once per row.
Plan plan_import(const Json& doc, const std::string& text, RandomSource& random) {
  std::vector<csv::Record> records;
  try {
    records = csv::parse(text);
  } catch (const std::invalid_argument& e) {
    throw AccessInvalid(e.what());
  }
  while (!records.empty() && records.front().values.size() == 1 && trimmed(records.front().values[0]).empty())
    records.erase(records.begin());
  if (records.empty()) throw AccessInvalid("The file is empty; it needs a header row and one row per entry.");
  std::vector<std::string> header;
  for (const std::string& name : records.front().values) {
    std::string column = lower(trimmed(name));
    if (std::find(kColumns.begin(), kColumns.end(), column) == kColumns.end())
      throw AccessInvalid("Unknown column \"" + trimmed(name) +
                          "\". The columns are kind, id, display_name, site, department, computer_id, "
                          "allow_live_desktop, phone, channels, account_id and enabled.");
    if (std::find(header.begin(), header.end(), column) != header.end())
      throw AccessInvalid("The column \"" + column + "\" appears twice.");
    header.push_back(column);
  }
  for (const char* needed : {"kind", "id"})
    if (std::find(header.begin(), header.end(), needed) == header.end())
      throw AccessInvalid(std::string("The header row needs a \"") + needed + "\" column.");
  if (records.size() - 1 > kMaxImportRows)
    throw AccessInvalid("Import at most " + std::to_string(kMaxImportRows) + " rows at a time.");

  std::unordered_map<std::string, Located> existing;  // by folded id
  for (const char* list : {"users", "devices", "contacts", "groups"}) {
    const Json& entries = member_or(doc, list, kEmptyArray);
    for (std::size_t i = 0; entries.is_array() && i < entries.size(); ++i) {
      const Json& id = member_or(entries[i], "id", kNull);
      if (id.is_string()) existing.emplace(lower(id.get<std::string>()), Located{list, i});
    }
  }
  Json vocabulary = doc;
  for (const char* list : {"users", "devices", "contacts", "groups"}) vocabulary[list] = Json::array();

  Plan plan;
  std::unordered_map<std::string, std::size_t> seen_in_file;  // folded id -> line
  for (std::size_t r = 1; r < records.size(); ++r) {
    const csv::Record& record = records[r];
    std::map<std::string, std::string> cells;
    for (std::size_t c = 0; c < header.size() && c < record.values.size(); ++c)
      cells[header[c]] = trimmed(record.values[c]);
    bool blank = true;
    for (const auto& [column, value] : cells) blank = blank && value.empty();
    if (blank) continue;

    RowOutcome outcome;
    const std::string kind_text = lower(cells["kind"]);
    const std::string id = cells["id"];
    outcome.shown = {{"row", record.line}, {"kind", kind_text}, {"id", id}};
    for (const char* column : {"display_name", "site", "department"})
      if (!cells[column].empty()) outcome.shown[column] = cells[column];
    try {
      if (record.values.size() > header.size())
        throw AccessInvalid("This row has more values than the header has columns.");
      const bool device = kind_text == "computer" || kind_text == "device";
      if (!device && kind_text != "contact") throw AccessInvalid("Kind must be \"computer\" or \"contact\".");
      const char* kind = device ? "device" : "contact";
      const char* list = device ? "devices" : "contacts";
      if (auto [it, fresh] = seen_in_file.emplace(lower(id), record.line); !fresh && !id.empty())
        throw AccessInvalid("\"" + id + "\" is already on line " + std::to_string(it->second) + " of this file.");

      Json fields = Json::object();
      for (const auto& [column, value] : cells)
        if (column != "kind" && column != "id" && !value.empty()) fields[column] = cell_value(column, value);

      auto found = existing.find(lower(id));
      if (found == existing.end()) {
        Json entry = fields;
        entry["id"] = id;
        apply_directory_change(vocabulary, {{"kind", kind}, {"action", "add"}, {"entry", entry}}, random);
        outcome.entry = std::move(vocabulary[list].back());
        outcome.shown["action"] = "add";
        ++plan.added;
      } else {
        const Json& current = doc[found->second.list][found->second.index];
        if (std::string(found->second.list) != list || current["id"] != id)
          throw AccessInvalid("\"" + id + "\" is already in use.");
        if (fields.empty()) {
          outcome.shown["action"] = "unchanged";
          ++plan.unchanged;
        } else {
          vocabulary[list].push_back(current);
          apply_directory_change(vocabulary, {{"kind", kind}, {"action", "edit"}, {"id", id}, {"changes", fields}},
                                 random);
          outcome.entry = std::move(vocabulary[list].back());
          outcome.replaces = found->second;
          outcome.shown["action"] = "update";
          ++plan.updated;
        }
      }
    } catch (const AccessInvalid& e) {
      outcome.entry.reset();
      outcome.replaces.reset();
      outcome.shown["action"] = "error";
      outcome.shown["error"] = e.what();
      ++plan.errors;
    }
    vocabulary["devices"] = Json::array();
    vocabulary["contacts"] = Json::array();
    plan.rows.push_back(std::move(outcome));
  }
  return plan;
}

Json plan_summary(const Plan& plan) {
  Json rows = Json::array();
  for (const RowOutcome& row : plan.rows) rows.push_back(row.shown);
  return {{"ok", plan.errors == 0},
          {"counts",
           {{"rows", plan.rows.size()},
            {"add", plan.added},
            {"update", plan.updated},
            {"unchanged", plan.unchanged},
            {"errors", plan.errors}}},
          {"rows", std::move(rows)}};
}

std::string file_text(AccessManager& access, const std::string& actor, const Json& request) {
  const Json& text = member_or(request, "text", kNull);
  if (text.is_string()) {
    if (text.get_ref<const std::string&>().size() > kMaxImportBytes)
      throw AccessInvalid("The file is larger than 8 MB; import it in parts.");
    return text.get<std::string>();
  }
  std::lock_guard lock(staged_mutex);
  auto it = staged_files.find(staging_key(access, actor));
  if (it == staged_files.end() || it->second.empty()) throw AccessInvalid("Choose a CSV file to import first.");
  return it->second;
}

Json stage(AccessManager& access, const std::string& actor, const Json& request) {
  const Json& offset = member_or(request, "offset", kNull);
  const Json& text = member_or(request, "text", kNull);
  if (!offset.is_number_unsigned() || !text.is_string())
    throw AccessInvalid("A piece of the file needs \"offset\" and \"text\".");
  std::lock_guard lock(staged_mutex);
  std::string& file = staged_files[staging_key(access, actor)];
  if (offset.get<std::size_t>() == 0) file.clear();
  if (offset.get<std::size_t>() != file.size())
    throw AccessInvalid("Part of the file went missing on the way; choose the file again.");
  if (file.size() + text.get_ref<const std::string&>().size() > kMaxImportBytes) {
    file.clear();
    throw AccessInvalid("The file is larger than 8 MB; import it in parts.");
  }
  file += text.get_ref<const std::string&>();
  return {{"ok", true}, {"staged", file.size()}};
}

Json commit(Core& core, AccessManager& access, const std::string& actor, const std::string& text) {
  Json result;
  access.update_config([&](Connection& conn, Json& doc) {
    Plan plan = plan_import(doc, text, core.random());
    if (plan.errors > 0)
      throw AccessInvalid(std::to_string(plan.errors) + (plan.errors == 1 ? " row has" : " rows have") +
                          " errors; preview the file again and correct them. Nothing was changed.");
    Json added = Json::array(), updated = Json::array();
    for (RowOutcome& row : plan.rows) {
      if (!row.entry) continue;
      if (row.replaces) {
        updated.push_back(row.shown["id"]);
        doc[row.replaces->list][row.replaces->index] = std::move(*row.entry);
      } else {
        added.push_back(row.shown["id"]);
        const char* list = row.shown["kind"] == "contact" ? "contacts" : "devices";
        if (!doc[list].is_array()) doc[list] = Json::array();
        doc[list].push_back(std::move(*row.entry));
      }
    }
    core.audit(conn, actor, "access.directory.imported", Json{{"added", added}, {"updated", updated}});
    result = {{"ok", true}, {"added", plan.added}, {"updated", plan.updated}, {"unchanged", plan.unchanged}};
  });
  std::lock_guard lock(staged_mutex);
  staged_files.erase(staging_key(access, actor));
  return result;
}

}  // namespace

Json import_directory(Core& core, AccessManager& access, const std::string& actor, const Json& request) {
  if (!access.allowed(actor)) throw AccessDenied();
  const Json& action = member_or(request, "action", kNull);
  if (action == "stage") return stage(access, actor, request);
  if (action == "preview") {
    ConfigPtr cfg = core.config();
    return plan_summary(plan_import(cfg->doc(), file_text(access, actor, request), core.random()));
  }
  if (action == "commit") return commit(core, access, actor, file_text(access, actor, request));
  throw AccessInvalid("Choose stage, preview or commit.");
}

std::string export_directory_csv(Core& core, AccessManager& access, const std::string& actor) {
  if (!access.allowed(actor)) throw AccessDenied();
  ConfigPtr cfg = core.config();
  std::string out;
  csv::append_record(out, kColumns);
  for (const char* list : {"devices", "contacts"}) {
    for (const Json& entry : member_or(cfg->doc(), list, kEmptyArray)) {
      if (EntryView(entry).removed()) continue;
      std::vector<std::string> values;
      for (const std::string& column : kColumns) {
        if (column == "kind") {
          values.push_back(std::string(list) == "devices" ? "computer" : "contact");
          continue;
        }
        const Json& value = member_or(entry, column.c_str(), kNull);
        std::string text;
        if (value.is_string()) text = value.get<std::string>();
        else if (value.is_boolean()) text = value.get<bool>() ? "true" : "false";
        else if (value.is_array())
          for (const Json& item : value)
            if (item.is_string()) text += (text.empty() ? "" : ";") + item.get<std::string>();
        values.push_back(std::move(text));
      }
      csv::append_record(out, values);
    }
  }
  return out;
}

}  // namespace halvenor
