#include "server/http/error_mapping.h"

#include <nlohmann/json.hpp>

#include "base/errors.h"

namespace halvenor::http {

ErrorReply map_current_exception() {
  try {
    throw;
  } catch (const Refusal& e) {
    // Invalid and every companion refusal carry their own message.
    return {400, e.what()};
  } catch (const AccessDenied&) {
    return {403, "Directory management permission required"};
  } catch (const RequestError&) {
    return {400, kInvalidRequestMessage};
  } catch (const nlohmann::json::exception&) {
    // A member of the wrong type or a required member missing.
    return {400, kInvalidRequestMessage};
  } catch (...) {
    return {500, kInternalErrorMessage};
  }
}

}  // namespace halvenor::http
