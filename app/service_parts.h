// The service's domain objects, built and connected in dependency order: the
// Core first, then the features that use it (SMS and WhatsApp, their
// acknowledgement links, access administration, organisation sign-in,
// scheduled drills), each given only what it uses, and finally the Core
// connected to the parts it calls back into.
//
// The program's composition root (startup.cpp), the tools and the tests build
// the service through this one type, so each sees the same wiring.
//
// Thread-safety: as Core. Errors: whatever the Core's or a feature's
// constructor throws (Invalid for an unusable configuration).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "companions/access/access_manager.h"
#include "companions/identity/organisation_identity.h"
#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/mobile/mobile_integrations.h"
#include "server/core/core.h"
#include "server/http/service_context.h"

namespace halvenor {

class ServiceParts {
 public:
  // `config_path` empty: no access administration (access() is null).
  ServiceParts(Json config, std::string database, std::optional<std::string> config_path = std::nullopt,
               CoreOptions options = {});
  // Stops the queue's worker first: it uses everything else.
  ~ServiceParts();
  ServiceParts(const ServiceParts&) = delete;
  ServiceParts& operator=(const ServiceParts&) = delete;

  Core& core() { return core_; }
  MobileAcknowledgements& acknowledgements() { return acknowledgements_; }
  DeliveryQueue& queue() { return queue_; }
  MobileIntegrations& mobile() { return mobile_; }
  AccessManager* access() { return access_.get(); }
  OrganisationIdentity& identity() { return identity_; }

  // Points the request handlers' context at these parts.
  void expose_to(ServiceContext& service);

 private:
  Core core_;
  MobileAcknowledgements acknowledgements_;
  DeliveryQueue queue_;
  MobileIntegrations mobile_;
  std::unique_ptr<AccessManager> access_;
  OrganisationIdentity identity_;
};

}  // namespace halvenor
