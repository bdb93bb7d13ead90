#include "explorer/ctl/LinkSeam.h"

namespace ctl {

std::string ReplyInterface(const CDeviceSocket&, const DeviceRecord&) { return {}; }

bool RestrictToInterfaces(CDeviceSocket&, const std::vector<std::string>& names) {
  return names.empty();
}

}  // namespace ctl
