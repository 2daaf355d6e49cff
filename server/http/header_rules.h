// Requests whose headers could be read two ways.
//
// A proxy, a log and this service must all agree on who is asking, for which
// host and with how many body bytes. A request that repeats one of the fields
// that decide this, or that announces a transfer coding (this HTTP/1.0
// service reads bodies by Content-Length only), is refused as a whole rather
// than served by whichever copy the code happens to look at.
#pragma once

#include "server/http/http_message.h"

namespace halvenor::http {

// Throws RequestError (the generic invalid-request reply) when `request`
// repeats Host, Authorization, Content-Length, Content-Type, Origin or
// Idempotency-Key (names compared without regard to case), carries
// Transfer-Encoding, or has a Content-Length that is not a plain decimal
// number.
void refuse_ambiguous_headers(const HttpRequest& request);

}  // namespace halvenor::http
