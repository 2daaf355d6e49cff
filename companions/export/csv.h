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
// Pure functions; thread-safe. Nothing throws except std::bad_alloc.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvenor::csv {

// The field as it is written: protected against formulas, then quoted if needed.
std::string field(std::string_view value);

// Appends one record (the fields separated by commas, then CR LF) to `out`.
void append_record(std::string& out, const std::vector<std::string>& values);

}  // namespace halvenor::csv
