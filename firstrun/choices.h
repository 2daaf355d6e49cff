// The choices the first install asks for, their defaults and their checks.
//
// The window and the unattended mode share these functions so that both
// refuse the same values with the same messages, in the same order.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/json_text.h"

namespace halvenor::firstrun {

// Field keys in display order and their labels and defaults (Linux default folder:
// $HOME/Halvenor-Mass-Communication; Windows default "C:\\Halvenor-Mass-Communication" under _WIN32;
// hostname default: the machine's host name).
struct ChoiceField {
  std::string key;
  std::string label;
};

const std::vector<ChoiceField>& choice_fields();  // folder, hostname, bind, port, account, name
Json default_choices();  // {"folder":..., "hostname":..., "bind":"0.0.0.0", "port":"8765", "account":"Administrator", "name":"Administrator"}
Json validate(const Json& values);               // returns the installation plan
void check_server_settings(const Json& values);  // the lighter step-1 check
// Refuses (Invalid) an address and port this computer cannot listen on now,
// such as a port another program holds: found before installing, it is a
// message on the step that chose them; found by the server afterwards, it
// would be a committed installation that does not start.
void check_can_listen(const std::string& bind, long long port);
// The same for the choices as typed, once check_server_settings passed.
void check_can_listen(const Json& values);
std::filesystem::path resolve_folder(const std::string& typed);

}  // namespace halvenor::firstrun
