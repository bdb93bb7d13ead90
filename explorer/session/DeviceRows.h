#pragma once
// The rows of the window's device list: the scan's two columns and the ones
// shown on request (the kind, the mask, the way each device answered).
#include <string>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ListRows.h"

// One row per record (null entries skipped) in the scan's order; row i names
// the device of records[i]. `viaTexts[i]` is how that device answered ("" or
// missing when not known).
std::vector<ListRow> BuildListRows(const std::vector<const DeviceRecord*>& records,
                                   const std::vector<std::string>& viaTexts);
