// Writing CSV as RFC 4180 describes it, for files that people open in
// spreadsheet programs.
//
// Records end with CR LF. A field is enclosed in double quotes when it holds a
// comma, a double quote, CR or LF, and a double quote inside it is doubled.
// Because a spreadsheet treats a cell that starts with =, +, -, @, a tab or a
// carriage return as a formula, such a field is first prefixed with a single
// quote, so text typed into an alert can never run as a formula on an
// auditor's machine. The prefix applies to every field, numbers included.
//
// Reading is forgiving in what spreadsheet programs actually save: records
// may end with LF or CR LF, a leading UTF-8 byte-order mark is skipped, and a
// formula guard that `field` added is taken off again, so a file written here
// reads back as the values that went in.
//
// Pure functions; thread-safe. Nothing throws except std::bad_alloc and, from
// `parse`, std::invalid_argument.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvenor::csv {

// The field as it is written: protected against formulas, then quoted if needed.
std::string field(std::string_view value);

// Appends one record (the fields separated by commas, then CR LF) to `out`.
void append_record(std::string& out, const std::vector<std::string>& values);

struct Record {
  std::size_t line;  // line of the text where the record starts, from 1
  std::vector<std::string> values;
};

// All records of `text`. Throws std::invalid_argument naming the line where a
// quoted field starts that is never closed.
std::vector<Record> parse(std::string_view text);

}  // namespace halvenor::csv
