#include "agent/agent_options.h"

#include <cmath>
#include <cstdlib>

namespace halvenor::agent {
namespace {

double seconds_value(const std::string& option, const std::string& text, double least, double most) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value < least || value > most)
    throw AgentUsageError(option + " needs a number of seconds from " + std::to_string(static_cast<int>(least)) +
                          " to " + std::to_string(static_cast<long>(most)));
  return value;
}

}  // namespace

AgentOptions parse_agent_options(const std::vector<std::string>& args) {
  AgentOptions out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw AgentUsageError(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--settings") out.settings = value();
    else if (arg == "--state-dir") out.state_dir = value();
    else if (arg == "--enrol") out.enrol = value();
    else if (arg == "--hostname") out.hostname = value();
    else if (arg == "--headless") out.headless = true;
    else if (arg == "--once") out.once = true;
    else if (arg == "--auto-ack") out.auto_ack_seconds = seconds_value(arg, value(), 0, kMaxAutoAckSeconds);
    else if (arg == "--poll-interval") out.poll_seconds = seconds_value(arg, value(), 1, 3600);
    else if (arg == "--help" || arg == "-h") out.help = true;
    else throw AgentUsageError("unknown option " + arg);
  }
  if (out.help) return out;
  if (!out.enrol.empty()) {
    if (!out.settings.empty() || out.headless || out.once || out.auto_ack_seconds ||
        out.poll_seconds != kDefaultPollSeconds)
      throw AgentUsageError("--enrol takes only --state-dir and --hostname");
    return out;
  }
  if (!out.hostname.empty()) throw AgentUsageError("--hostname is only for --enrol");
  if (out.auto_ack_seconds && !out.headless) throw AgentUsageError("--auto-ack is only for --headless");
  if (out.once && !out.headless) throw AgentUsageError("--once is only for --headless");
  return out;
}

}  // namespace halvenor::agent
