// Fuzz target: configuration documents as the service loads them: parsing,
// the derived credential index, the provider set, and authentication and
// targeting over whatever directory results. Refusals must be the mapped
// kinds; nothing may crash.
#include <cstdint>
#include <string>

#include "base/errors.h"
#include "companions/mobile/providers.h"
#include "server/core/config_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvenor;
  try {
    Json doc = json::parse_text(std::string(reinterpret_cast<const char*>(data), size));
    ConfigSnapshot snapshot(doc);
    snapshot.device_allows_live("pc1");
    snapshot.credentials_hashing_to(std::string(32, 'x'));
    build_providers(doc);
  } catch (const RequestError&) {
  } catch (const ProviderConfigurationError&) {
  } catch (const nlohmann::json::exception&) {
  }
  return 0;
}
