// The agent's log: one line per event on standard output, flushed at once,
// "agent: " followed by the event. Lines come from the poll loop and the
// window threads, so writing is serialised. Alert texts are never logged;
// identifiers are printable ASCII only (anything else becomes '?'), so a
// server cannot forge log lines. The credential is never logged.
#pragma once

#include <string>
#include <string_view>

namespace halvenor::agent {

void log_line(std::string_view text);
// Printable ASCII of `text`, at most `most` characters.
std::string printable(std::string_view text, std::size_t most = 200);

}  // namespace halvenor::agent
