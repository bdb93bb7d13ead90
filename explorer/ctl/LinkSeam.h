#pragma once
// Which network link a device answered on, and the interfaces a scan is
// sent on: the only two places that ask the transport about links.
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/DeviceSocket.h"
#include "explorer/session/Discovery.h"

namespace ctl {

// The interface name the device's discovery reply arrived on; "" when the
// transport cannot tell.
std::string ReplyInterface(const CDeviceSocket& transport, const DeviceRecord& record);

// How the device's reply reached us: its link, or the target that asked it.
DeviceVia ReplyVia(const CDeviceSocket& transport, const DeviceRecord& record);

// Asks the transport to send the next discovery passes only on these
// interfaces (all of them for an empty list).
void RestrictToInterfaces(CDeviceSocket& transport, const std::vector<std::string>& names);

}  // namespace ctl
