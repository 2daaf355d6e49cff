// The dashboard snapshot as the reply text of the dashboard route.
//
// snapshot_text returns the bytes json::field_text writes for Core::snapshot()
// with the members of `extra` (an object whose keys the snapshot does not
// use) appended at its end, without building the document: with a long
// history the snapshot runs to tens of megabytes, and its alert records are
// written straight from the stored rows.
//
// Thread-safety and errors: as Core::snapshot.
#pragma once

#include <string>

#include "server/core/core.h"

namespace halvenor {

std::string snapshot_text(Core& core, const Json& extra);

}  // namespace halvenor
