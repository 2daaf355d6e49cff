#include "companions/export/history_export.h"

#include "server/core/errors.h"

namespace halvenor {

ExportFile export_history(Core& /*core*/, const std::string& /*actor*/, const Json& /*request*/) {
  throw ExportInvalid("History export is not available in this release yet.");
}

}  // namespace halvenor
