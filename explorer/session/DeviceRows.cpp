#include "explorer/session/DeviceRows.h"

#include <cstring>

#include "explorer/protocol/Scan.h"
#include "explorer/session/DeviceRules.h"

std::vector<ListRow> BuildListRows(const std::vector<const DeviceRecord*>& records,
                                   const std::vector<std::string>& viaTexts) {
  const std::vector<bool> duplicate = DuplicateIpFlags(records);
  std::vector<ListRow> rows;
  rows.reserve(records.size());
  for (size_t i : RowOrder(records)) {
    const DeviceRecord& record = *records[i];
    const RowContent content = BuildRowContent(record, duplicate[i]);
    ListRow row;
    row.device = static_cast<int>(i);
    row.text[LIST_COLUMN_MAC] = content.macText;
    row.text[LIST_COLUMN_IP] = content.ipText;
    row.text[LIST_COLUMN_KIND] = KindText(content.kind);
    row.text[LIST_COLUMN_MASK] = content.maskText;
    if (i < viaTexts.size()) row.text[LIST_COLUMN_VIA] = viaTexts[i];
    row.image = content.image;
    std::memcpy(row.mac, record.mac(), sizeof row.mac);
    row.ipKey = IpSortKey(record.ip());
    row.maskKey = IpSortKey(record.mask());
    row.kind = content.kind;
    rows.push_back(std::move(row));
  }
  return rows;
}
