// Receiving computers and mobile contacts in bulk, as CSV: a whole file is
// checked row by row and shown before anything changes, then applied as one
// change of the configuration document with one audit event, and the
// directory can be saved in the same form to be edited and imported again.
//
// CSV columns (header row required, names in any order and letter case):
//   kind                "computer" (or "device") | "contact"    required
//   id                  the entry's identifier                   required
//   display_name, site, department, enabled                      both kinds
//   computer_id, allow_live_desktop                              computers
//   phone, channels ("sms", "whatsapp", separated by ; or space),
//   account_id                                                   contacts
// A row whose id is new adds the entry; a row naming an existing entry of the
// same kind changes the columns that are not empty and leaves the rest. Every
// value is checked exactly as the single-entry forms check it (directory_change.h);
// booleans are true/false or yes/no.
//
// Because request bodies are small, a file of thousands of rows arrives in
// pieces: {"action": "stage", "offset": bytes already sent, "text": next
// piece} (offset 0 starts again). The pieces live in memory only, one file per
// administrator. {"action": "preview"} and {"action": "commit"} then work on
// that file; either may instead carry the whole file as "text".
//
// Thread-safety: safe to call concurrently. Refusals: AccessDenied for a
// caller who may not manage users; AccessInvalid for a file that cannot be
// read or, at commit, has any row in error. Nothing is written before commit,
// and a refused commit writes nothing.
#pragma once

#include <string>

#include "base/json_text.h"

namespace halvenor {

class AccessManager;
class Core;

// The staging, preview and commit actions above.
Json import_directory(Core& core, AccessManager& access, const std::string& actor, const Json& request);

// Every computer and contact not removed, in the import's columns.
std::string export_directory_csv(Core& core, AccessManager& access, const std::string& actor);

}  // namespace halvenor
