#include "explorer/ctl/LinkSeam.h"

namespace ctl {

std::string ReplyInterface(const CDeviceSocket& transport, const DeviceRecord& record) {
  return transport.LinkOfDevice(record.mac()).name;
}

DeviceVia ReplyVia(const CDeviceSocket& transport, const DeviceRecord& record) {
  return ViaOf(transport.OriginOfDevice(record.mac()), transport.Targets());
}

void RestrictToInterfaces(CDeviceSocket& transport, const std::vector<std::string>& names) {
  transport.SetLinkFilter(names);
}

}  // namespace ctl
