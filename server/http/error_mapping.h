// The one table that turns failures into HTTP replies.
#pragma once

#include <exception>
#include <string>

namespace halvenor::http {

inline constexpr const char* kInvalidRequestMessage =
    "Invalid request. Check fields, targets, test flag, receipt order and idempotency key.";
inline constexpr const char* kInternalErrorMessage =
    "Internal error; check local service and database availability";

struct ErrorReply {
  int status;
  std::string message;
};

// Maps the exception in flight (call inside a catch block).
ErrorReply map_current_exception();

}  // namespace halvenor::http
