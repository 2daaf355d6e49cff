// The Windows transport (agent/server_transport.h) through WinHTTP.
//
// One WinHTTP session and one connection handle live as long as the
// transport, so WinHTTP keeps its connections (and their TLS sessions) from
// one poll to the next; the server link makes a new transport only when the
// trust file changes.
//
// The server's certificate is checked by agent/windows/certificate_check.h
// against the trust file's authorities alone, in WinHTTP's SENDING_REQUEST
// notification: after the TLS handshake, before the request (and with it
// the bearer credential) is written. A certificate that fails closes the
// request handle there, which on Windows cancels the send
// (ERROR_WINHTTP_OPERATION_CANCELLED) before anything is written. Wine's
// WinHTTP (8.0) writes the request anyway once the notification returns;
// the exchange still fails and its reply is never read, but the credential
// has reached the peer (see the README's list of Wine differences). A
// request whose notification never came is treated as unverified and its
// reply is refused. For a DNS name WinHTTP's own name check runs during the
// handshake too, so a peer without a certificate for that name never gets
// as far as the request.
//
// Redirects are not followed (the credential must not travel to another
// host), cookies are not kept, TLS is 1.2 or later.
#pragma once

#include "agent/server_transport.h"

namespace halvenor::agent::win32 {

inline constexpr std::size_t kMaxTrustFileBytes = 1024 * 1024;

}  // namespace halvenor::agent::win32
