// After the install: trust, start the service, wait for it, open it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/json_text.h"

namespace halvenor::firstrun {

struct FinishOptions {
  bool open_windows = true;
};

// Trusts the CA as result["browser_trust_scope"] asks (null, "user", "machine"), sets
// result["_browser_trust_installed"]=true when it did, starts the service detached through the start script,
// waits until it answers over HTTPS verified with the new CA, then (open_windows) opens the dashboard and the
// credential file. Returns notes for the final status. Thread: runs on a worker thread; `progress` may be
// called from it.
std::vector<std::string> start_and_open(Json& result, const std::function<void(const std::string&)>& progress,
                                        const FinishOptions& options = {});

// The dashboard in its own window (chromium --app=URL when present, else xdg-open).
void open_dashboard(const std::string& url);

// The desktop's opener (xdg-open), detached.
void open_file(const std::filesystem::path& file);

}  // namespace halvenor::firstrun
