#include "companions/export/csv.h"

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

}  // namespace halvenor::csv
