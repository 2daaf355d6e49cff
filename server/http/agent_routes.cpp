// Routes of the desktop agents on receiving computers.
#include "base/errors.h"
#include "companions/setup/setup_manager.h"
#include "server/core/core.h"
#include "server/http/agent_compat.h"
#include "server/http/routes.h"

namespace halvenor::http {

HttpResponse get_agent_profile(RequestContext& c) { return reply(200, c.core().agent_profile(c.actor)); }

HttpResponse agent_channel_status(RequestContext& c) { return reply(200, c.core().agent_channel_status()); }

// Agents ask for their certificate at start and every few minutes after: the
// moment to note which version each one runs, without touching the poll.
HttpResponse get_agent_certificate(RequestContext& c) {
  SetupManager& setup = setup_of(c);
  if (auto version = c.request.header("X-Halvenor-Agent-Version"))
    setup.note_agent_version(c.actor, std::string(*version));
  return reply(200, setup.agent_update(c.actor));
}

HttpResponse get_agent_browser_trust(RequestContext& c) { return reply(200, setup_of(c).browser_request(c.actor)); }

HttpResponse get_agent_poll(RequestContext& c) {
  auto legacy = c.request.header(AGENT_HEADER);
  auto current = c.request.header("X-Halvenor-Agent-Capability");
  // The current header wins whenever it is present, even when empty.
  std::string protocol = current ? std::string(*current) : legacy ? std::string(*legacy) : std::string();
  bool live = protocol == "live-desktop-v1" || protocol == "live-desktop-v2";
  return reply(200, c.core().poll(c.actor, live, protocol));
}

HttpResponse post_agent_certificate(RequestContext& c) {
  return reply(200, setup_of(c).agent_report(c.actor, c.data));
}

HttpResponse post_agent_browser_trust(RequestContext& c) {
  return reply(200, setup_of(c).browser_report(c.actor, c.data));
}

HttpResponse post_agent_receipt(RequestContext& c) {
  auto event = c.data.find("event");
  c.core().receipt(c.actor, id_text(c.data, "id"), event == c.data.end() ? Json() : *event);
  return reply(200, Json{{"ok", true}});
}

}  // namespace halvenor::http
