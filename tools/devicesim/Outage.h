#pragma once
// A device that restarts can leave the network for the restart, as a real
// one does, so that the PC's echo requests go unanswered. Device option:
//   restart-offline=address  its address leaves the segment: requests to it
//                            are dropped without a word, as behind a switch
//   restart-offline=link     the segment's link goes down: the PC loses its
//                            carrier and its requests end as unreachable, as
//                            with a cable from the PC straight to the device
//                            (every device of the segment goes with it)
// Both need the link topology (scripts/netns-links.sh): on loopback the
// kernel answers every address whatever the simulator does.
#include <atomic>

#include "tools/devicesim/DeviceTable.h"

// Keeps d off the network for ms (less when stop is set) as its options say
// and brings it back; returns at once for a device that stays on.
void StayOffline(const Device& d, int ms, const std::atomic<bool>& stop);
