// The agent's command line:
//   agent [--settings FILE] [--headless [--auto-ack SECONDS]] [--state-dir DIR]
//         [--once] [--poll-interval SECONDS]
//   agent --enrol ROLLOUT_FILE [--state-dir DIR] [--hostname NAME]
// Without --settings the agent runs from the settings its enrolment wrote
// into the state folder, enrolling first from /etc/halvenor-agent/rollout.json
// when there are none yet. --hostname names the computer to the server when
// its own host name would not tell computers apart (cloned images).
// --auto-ack and --once need --headless: on a desktop only a person
// acknowledges, and a window that closes after one poll would not be seen.
// --poll-interval (default 5, at least 1) exists for tests and the load
// simulator. Throws AgentUsageError with the message to print.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace halvenor::agent {

class AgentUsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr char kAgentUsage[] =
    "usage: agent [--settings FILE] [--headless [--auto-ack SECONDS]] [--state-dir DIR] [--once] "
    "[--poll-interval SECONDS]\n"
    "       agent --enrol ROLLOUT_FILE [--state-dir DIR] [--hostname NAME]";
inline constexpr double kDefaultPollSeconds = 5.0;
inline constexpr double kMaxAutoAckSeconds = 86400.0;

struct AgentOptions {
  std::string settings;  // empty: the enrolled settings in the state folder
  std::string enrol;     // a rollout file: enrol, then exit
  std::string hostname;  // with enrol; empty: this computer's host name
  std::string state_dir;  // empty: the default state folder
  bool headless = false;
  std::optional<double> auto_ack_seconds;
  bool once = false;
  double poll_seconds = kDefaultPollSeconds;
  bool help = false;
};

AgentOptions parse_agent_options(const std::vector<std::string>& args);

}  // namespace halvenor::agent
