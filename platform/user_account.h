// The account this program runs as: its name, its home folder and whether it
// has administrator rights, as setup needs them for folders it offers, the
// systemd unit it writes and certificate trust for all users.
//
// Linux only so far (the password database); a Windows build provides its
// own. Thread-safety: may be called from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace halvenor::platform {

// $HOME, else the account's entry in the password database; empty when
// neither says.
std::filesystem::path home_folder();

// Another account's home folder ("~name"), when the account exists.
std::optional<std::filesystem::path> home_folder_of(const std::string& user);

// The effective account's name; empty when the system has no entry for it.
std::string user_name();

// True when running with administrator rights (root).
bool is_administrator();

}  // namespace halvenor::platform
