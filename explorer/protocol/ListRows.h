#pragma once
// The device list's rows as a technician works through hundreds of them:
// its columns, the order a click on a column header asks for, the find
// field's filter and type-ahead. Plain rules; the list widget only shows
// the rows in the order and with the visibility these give.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The columns, left to right. The first two are the scan's; the others are
// shown only on request (a right click on the header).
enum ListColumn : int {
  LIST_COLUMN_MAC = 0,
  LIST_COLUMN_IP = 1,
  LIST_COLUMN_KIND = 2,
  LIST_COLUMN_MASK = 3,
  LIST_COLUMN_VIA = 4,
  LIST_COLUMNS = 5,
};
const char* ListColumnTitle(int column);
bool ListColumnShownAtStart(int column);

// One device's row, with what the order compares beside its texts.
struct ListRow {
  int device = -1;  // the caller's index of the device
  std::string text[LIST_COLUMNS];
  int image = 0;
  uint8_t mac[6] = {};
  uint32_t ipKey = 0;    // host order: numeric
  uint32_t maskKey = 0;  // host order
  uint16_t kind = 0;
};

// Which column the rows are sorted by; none (-1) is the scan's own order
// (ascending address, equal addresses in the order they answered).
struct ListOrder {
  int column = -1;
  bool descending = false;
  bool operator==(const ListOrder&) const = default;
};
// A click on the header of `column`: ascending first, the same column
// again reverses.
ListOrder NextOrder(ListOrder current, int column);

// Positions into `rows` (given in the scan's order) in the order asked for.
// Equal keys keep the scan's order, whichever the direction, so a reversed
// list still reads the duplicates of one address as they answered.
std::vector<size_t> OrderRows(const std::vector<ListRow>& rows, ListOrder order);

// The find field: a row stays when its Ethernet or IP address text contains
// `filter` anywhere, letters in either case; an empty filter keeps all.
bool RowMatchesFilter(const ListRow& row, const std::string& filter);

// Type-ahead over the rows as shown (`shown`, top first): the first row from
// `from` on, wrapping round, whose Ethernet or IP address text starts with
// `typed` (either case); -1 for none.
int TypeAheadRow(const std::vector<const ListRow*>& shown, int from, const std::string& typed);
