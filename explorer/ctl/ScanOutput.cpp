#include "explorer/ctl/TextTable.h"
#include "explorer/ctl/ScanOutput.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "explorer/ctl/Csv.h"
#include "explorer/protocol/Scan.h"

namespace ctl {
namespace {

struct Fields : RowContent {
  std::string link;
  std::string via;
};

Fields FieldsOf(const DeviceRow& row) {
  Fields f;
  static_cast<RowContent&>(f) = BuildRowContent(row.record, row.duplicateIp);
  f.link = row.link;
  f.via = row.via.text;
  return f;
}

std::string Marks(const Fields& f) {
  std::string marks;
  if (f.noAddress) marks = "no-address";
  if (f.duplicateIp) marks += std::string(marks.empty() ? "" : ",") + "duplicate-ip";
  return marks;
}

std::string Table(const std::vector<DeviceRow>& rows) {
  using Line = std::array<std::string, 6>;
  std::vector<Line> lines{{"MAC", "IP", "MASK", "KIND", "LINK", "MARKS"}};
  for (const DeviceRow& row : rows) {
    const Fields f = FieldsOf(row);
    lines.push_back({f.macText, f.addressText, f.maskText, std::to_string(f.kind), f.link.empty() ? "-" : f.link, Marks(f)});
  }
  return AlignedTable(lines);
}

std::string CsvText(const std::vector<DeviceRow>& rows) {
  std::string out = CsvLine({"mac", "ip", "mask", "kind", "link", "via", "duplicate_ip", "no_address"});
  for (const DeviceRow& row : rows) {
    const Fields f = FieldsOf(row);
    out += CsvLine({f.macText, f.addressText, f.maskText, std::to_string(f.kind), f.link, f.via, f.duplicateIp ? "true" : "false",
                    f.noAddress ? "true" : "false"});
  }
  return out;
}

std::string Json(const std::vector<DeviceRow>& rows) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const DeviceRow& row : rows) {
    const Fields f = FieldsOf(row);
    nlohmann::ordered_json o;
    o["mac"] = f.macText;
    o["ip"] = f.addressText;
    o["mask"] = f.maskText;
    o["kind"] = f.kind;
    // null, not "": the link is unknown, not empty.
    o["link"] = f.link.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(f.link);
    // The link for an answer to its broadcast, the target as given for an
    // answer to a target; null when neither is known.
    o["via"] = f.via.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(f.via);
    o["duplicate_ip"] = f.duplicateIp;
    o["no_address"] = f.noAddress;
    array.push_back(std::move(o));
  }
  // ASCII only: whatever an interface is called (other languages, bytes
  // that are no UTF-8, control bytes) reaches the reader escaped, not raw.
  return array.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string RenderScan(const std::vector<DeviceRow>& rows, ScanFormat format) {
  switch (format) {
    case ScanFormat::Csv: return CsvText(rows);
    case ScanFormat::Json: return Json(rows);
    case ScanFormat::Table: break;
  }
  return Table(rows);
}

}  // namespace ctl
