#include "companions/export/csv.h"

#include <stdexcept>

namespace halvenor::csv {
namespace {

// First characters that spreadsheet programs read as the start of a formula.
constexpr std::string_view kFormulaStarts = "=+-@\t\r";
constexpr char kFormulaGuard = '\'';
// Characters that force a field into double quotes.
constexpr std::string_view kNeedsQuotes = ",\"\r\n";

}  // namespace

std::string field(std::string_view value) {
  std::string text;
  text.reserve(value.size() + 3);
  if (!value.empty() && kFormulaStarts.find(value.front()) != std::string_view::npos) text += kFormulaGuard;
  text += value;
  if (text.find_first_of(kNeedsQuotes) == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

void append_record(std::string& out, const std::vector<std::string>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    out += field(values[i]);
  }
  out += "\r\n";
}

namespace {

std::string unguarded(std::string value) {
  if (value.size() >= 2 && value[0] == kFormulaGuard && kFormulaStarts.find(value[1]) != std::string_view::npos)
    value.erase(0, 1);
  return value;
}

}  // namespace

std::vector<Record> parse(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<Record> records;
  Record record{1, {}};
  std::string value;
  std::size_t line = 1;
  bool in_quotes = false, pending = false;
  std::size_t quote_line = 0;
  auto end_field = [&] {
    record.values.push_back(unguarded(std::move(value)));
    value.clear();
  };
  auto end_record = [&] {
    end_field();
    records.push_back(std::move(record));
    record = Record{line, {}};
    pending = false;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_quotes) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        value += '"';
        ++i;
      } else if (c == '"') {
        in_quotes = false;
      } else {
        if (c == '\n') ++line;
        value += c;
      }
      continue;
    }
    if (c == '"' && value.empty()) {
      in_quotes = pending = true;
      quote_line = line;
    } else if (c == ',') {
      end_field();
      pending = true;
    } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      if (c == '\r') ++i;
      ++line;
      end_record();
    } else {
      value += c;
      pending = true;
    }
  }
  if (in_quotes)
    throw std::invalid_argument("The quoted value that starts on line " + std::to_string(quote_line) +
                                " is never closed.");
  if (pending) end_record();
  return records;
}

}  // namespace halvenor::csv
