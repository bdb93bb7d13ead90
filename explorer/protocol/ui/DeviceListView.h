#pragma once
// The main window's device list (control 1018): one row per device. The
// list only shows the rows it is given, in the order and with the filter
// the plain rules of ListRows.h decide; each row names its device by the
// index the caller gave it, and the caller owns whatever stands behind it.
#include <QElapsedTimer>
#include <QIcon>
#include <QTreeWidget>
#include <string>
#include <vector>

#include "explorer/protocol/ListRows.h"

class QMenu;

class CDeviceListView : public QTreeWidget {
  Q_OBJECT
 public:
  static constexpr int COLUMN_MAC = LIST_COLUMN_MAC;
  static constexpr int COLUMN_IP = LIST_COLUMN_IP;
  static constexpr int NO_DEVICE = -1;

  explicit CDeviceListView(QWidget* parent = nullptr);
  ~CDeviceListView() override;

  // Removes every row.
  void ClearDeviceList();
  // Replaces the rows (given in the scan's order) and shows them in the
  // order the user clicked for, or the scan's; the selection stays on the
  // devices still shown.
  void ShowRows(std::vector<ListRow> rows);
  // The device of the first selected row (from the top), or NO_DEVICE.
  int SelectedIndex() const;
  // The devices of every selected row, from the top.
  std::vector<int> SelectedIndexes() const;
  void SelectIndex(int index);
  // The device of row `row` (top is 0), or NO_DEVICE.
  int IndexAt(int row) const;

  // The order a click on a header chose; none after ResetOrder.
  ListOrder Order() const { return order_; }
  void SortBy(int column);  // as a click on that column's header
  void ResetOrder();
  // Hides the rows the find field's text does not match; a hidden row is
  // no longer selected.
  void SetFilter(const std::string& filter);
  int ShownRowCount() const;
  void SetColumnShown(int column, bool shown);
  bool IsColumnShown(int column) const { return !isColumnHidden(column); }
  // The header's menu of columns (a right click on the header opens it).
  QMenu* ColumnMenu() const { return columnMenu_; }

  void keyboardSearch(const QString& search) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Makes the items anew from rows_ in the current order and filter.
  void Populate();
  void ApplyFilter();
  void FitColumns();
  // The width each column's cells and header ask for, remembered until the
  // rows or the columns change.
  void MeasureColumns();

  QIcon images_[2];  // red cross, green tick
  std::vector<ListRow> rows_;    // in the scan's order
  std::vector<size_t> shown_;    // rows_ position of each item, top first
  ListOrder order_;
  std::string filter_;
  int needed_[LIST_COLUMNS] = {};
  QMenu* columnMenu_ = nullptr;  // owned by the list
  QString typed_;                // type-ahead so far
  QElapsedTimer sinceTyped_;
};
