// History export for auditors: alerts with their deliveries and receipt
// times, and the audit rows of a time range with the verdict on the whole
// hash chain, as CSV or JSON.
#pragma once

#include <string>

#include "server/core/json_text.h"

namespace halvenor {

class Core;

struct ExportFile {
  std::string content_type;  // "application/json" or "text/csv; charset=utf-8"
  Json json_body;            // when content_type is JSON
  std::string bytes;         // otherwise
  std::string filename;      // "halvenor-history-<from>-<to>.<ext>"
};

// Throws ExportInvalid for a bad range or format. Writes one audit event.
ExportFile export_history(Core& core, const std::string& actor, const Json& request);

}  // namespace halvenor
