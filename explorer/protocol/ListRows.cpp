#include "explorer/protocol/ListRows.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <numeric>

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// <0, 0, >0 as row a sorts before, with or after row b in `column`.
int Compare(const ListRow& a, const ListRow& b, int column) {
  auto three = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  switch (column) {
    case LIST_COLUMN_MAC: return std::memcmp(a.mac, b.mac, sizeof a.mac);
    case LIST_COLUMN_IP: return three(a.ipKey, b.ipKey);
    case LIST_COLUMN_KIND: return three(a.kind, b.kind);
    case LIST_COLUMN_MASK: return three(a.maskKey, b.maskKey);
    case LIST_COLUMN_VIA: return Lower(a.text[LIST_COLUMN_VIA]).compare(Lower(b.text[LIST_COLUMN_VIA]));
    default: return 0;
  }
}

}  // namespace

const char* ListColumnTitle(int column) {
  switch (column) {
    case LIST_COLUMN_MAC: return "Ethernet Address";
    case LIST_COLUMN_IP: return "IP Address";
    case LIST_COLUMN_KIND: return "Device Kind";
    case LIST_COLUMN_MASK: return "Network Mask";
    case LIST_COLUMN_VIA: return "Answered Through";
    default: return "";
  }
}

bool ListColumnShownAtStart(int column) { return column == LIST_COLUMN_MAC || column == LIST_COLUMN_IP; }

ListOrder NextOrder(ListOrder current, int column) {
  if (column < 0 || column >= LIST_COLUMNS) return current;
  if (current.column == column) return {column, !current.descending};
  return {column, false};
}

std::vector<size_t> OrderRows(const std::vector<ListRow>& rows, ListOrder order) {
  std::vector<size_t> out(rows.size());
  std::iota(out.begin(), out.end(), size_t{0});
  if (order.column < 0 || order.column >= LIST_COLUMNS) return out;
  std::stable_sort(out.begin(), out.end(), [&](size_t a, size_t b) {
    const int c = Compare(rows[a], rows[b], order.column);
    return order.descending ? c > 0 : c < 0;
  });
  return out;
}

bool RowMatchesFilter(const ListRow& row, const std::string& filter) {
  if (filter.empty()) return true;
  const std::string wanted = Lower(filter);
  return Lower(row.text[LIST_COLUMN_MAC]).find(wanted) != std::string::npos ||
         Lower(row.text[LIST_COLUMN_IP]).find(wanted) != std::string::npos;
}

int TypeAheadRow(const std::vector<const ListRow*>& shown, int from, const std::string& typed) {
  const int n = static_cast<int>(shown.size());
  if (n == 0 || typed.empty()) return -1;
  const std::string wanted = Lower(typed);
  if (from < 0 || from >= n) from = 0;
  for (int step = 0; step < n; ++step) {
    const int row = (from + step) % n;
    const ListRow* r = shown[static_cast<size_t>(row)];
    if (r && (StartsWith(Lower(r->text[LIST_COLUMN_MAC]), wanted) ||
              StartsWith(Lower(r->text[LIST_COLUMN_IP]), wanted)))
      return row;
  }
  return -1;
}
