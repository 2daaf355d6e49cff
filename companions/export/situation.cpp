#include "companions/export/situation.h"

#include "server/core/errors.h"

namespace halvenor {

Json situation(Core& /*core*/, const Json& /*request*/) {
  throw DashboardInvalid("The decision dashboard is not available in this release yet.");
}

}  // namespace halvenor
