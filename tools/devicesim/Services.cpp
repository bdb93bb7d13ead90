#include "tools/devicesim/Services.h"

void ServiceContext::Ready() { state = 1; }

void ServiceContext::Fail(const std::string& why) {
  failure = why;
  state = 2;
}

std::vector<ServiceEntry>& RegisteredServices() {
  // Built on first use, so registrations from any file's static
  // initialisers find it ready whatever the link order.
  static std::vector<ServiceEntry> services;
  return services;
}

ServiceRegistration::ServiceRegistration(const char* name, ServiceMain run) {
  RegisteredServices().push_back({name, std::move(run)});
}
