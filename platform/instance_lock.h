// One agent per state folder: two would show every alert twice and race on
// the journal. Linux: an flock on "agent.lock" in the folder. Windows: a
// named mutex in the session's Local\ namespace, named after the user and
// the folder, so each signed-in user's agent runs once. Either way the
// claim ends with the process, however it ends.
#pragma once

#include <filesystem>

namespace halvenor::platform {

// False when another process holds the claim for this folder.
bool claim_instance(const std::filesystem::path& state_folder);

}  // namespace halvenor::platform
