#pragma once
// The three renderings of a scan: a table for people, CSV (RFC 4180, header
// row) and JSON (an array of objects with fixed keys) for programs.
#include <string>
#include <vector>

#include "explorer/ctl/DeviceScan.h"

namespace ctl {

enum class ScanFormat { Table, Csv, Json };

std::string RenderScan(const std::vector<DeviceRow>& rows, ScanFormat format);

}  // namespace ctl
