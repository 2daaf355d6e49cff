// Refusals and failures that cross layer boundaries.
//
// Every refusal is an exception carrying exactly one message written for the
// person who made the request. The HTTP layer maps these types to statuses in
// one table (server/http/error_mapping.cpp); nothing below the HTTP layer
// returns error codes.
#pragma once

#include <stdexcept>
#include <string>

namespace halvenor {

// Base of every refusal whose own message is shown to the caller (HTTP 400).
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request that breaks a rule of the core or of request intake.
class Invalid : public Refusal { using Refusal::Refusal; };

// Companion refusals. Each is answered like Invalid, with its own message.
class ExportInvalid : public Refusal { using Refusal::Refusal; };
class DashboardInvalid : public Refusal { using Refusal::Refusal; };
class AccessInvalid : public Refusal { using Refusal::Refusal; };
class MobileAckInvalid : public Refusal { using Refusal::Refusal; };
class IdentityError : public Refusal { using Refusal::Refusal; };
class ConnectorError : public Refusal { using Refusal::Refusal; };
class TemplateError : public Refusal { using Refusal::Refusal; };
// An agent's self-enrolment was refused (unknown, expired, withdrawn or used
// up code). Charged to the caller's address like a wrong credential.
class EnrolmentRefused : public Refusal { using Refusal::Refusal; };

// The caller may not do this. Answered 403 with a fixed message; the text
// carried here is for tests and diagnostics only.
class AccessDenied : public std::runtime_error {
 public:
  AccessDenied() : std::runtime_error("Directory management permission required") {}
  using std::runtime_error::runtime_error;
};

// The configuration names mobile providers that cannot be built. The core
// turns it into Invalid at construction, which stops the service.
class ProviderConfigurationError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A malformed request: bad JSON, a value of the wrong type, a required member
// missing, text that is not valid in its encoding. Answered with the generic
// invalid-request reply, never with this message (which is for diagnostics).
class RequestError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A required member is absent from a document the code reads directly (for
// example a configuration without a "users" list). Same reply as RequestError.
class MissingKey : public RequestError {
 public:
  explicit MissingKey(const std::string& key) : RequestError("missing key: " + key) {}
};

}  // namespace halvenor
