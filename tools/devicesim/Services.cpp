#include "tools/devicesim/Services.h"

#include <cstdlib>

void ServiceContext::Ready() { state = ServiceState::Ready; }

void ServiceContext::Fail(const std::string& why) {
  failure = why;
  state = ServiceState::Failed;
}

long ServiceContext::SettingNumber(const std::string& key, long fallback) const {
  auto it = settings.find(key);
  return it == settings.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
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
