#include "explorer/protocol/ui/DeviceListView.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QResizeEvent>
#include <algorithm>
#include <set>

#include "explorer/protocol/Scan.h"
#include "explorer/res/ui/Bitmaps.h"

namespace {

int ItemIndex(const QTreeWidgetItem* item) {
  if (!item) return CDeviceListView::NO_DEVICE;
  const QVariant index = item->data(CDeviceListView::COLUMN_MAC, Qt::UserRole);
  return index.isValid() ? index.toInt() : CDeviceListView::NO_DEVICE;
}

}  // namespace

CDeviceListView::CDeviceListView(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("ctl_1018"));
  setColumnCount(LIST_COLUMNS);
  QStringList titles;
  for (int c = 0; c < LIST_COLUMNS; ++c) titles << QString::fromUtf8(ListColumnTitle(c));
  setHeaderLabels(titles);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  // Shift and Ctrl clicks, Shift+arrows and Ctrl+A: a technician works on
  // many devices at once.
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
  header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // The order is ours (numeric addresses, stable among equals), not the
  // view's text comparison: a click only asks for it.
  header()->setSectionsClickable(true);
  header()->setSortIndicatorShown(false);
  connect(header(), &QHeaderView::sectionClicked, this, [this](int column) { SortBy(column); });
  columnMenu_ = new QMenu(this);
  for (int c = 0; c < LIST_COLUMNS; ++c) {
    if (ListColumnShownAtStart(c)) continue;
    QAction* a = columnMenu_->addAction(QString::fromUtf8(ListColumnTitle(c)));
    a->setCheckable(true);
    a->setData(c);
    connect(a, &QAction::toggled, this, [this, c](bool on) { SetColumnShown(c, on); });
    setColumnHidden(c, true);
  }
  // The header's own menu; a right click on the rows still reaches the
  // window's. Not exec(): nothing waits inside the event that opened it.
  header()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(header(), &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { columnMenu_->popup(header()->mapToGlobal(at)); });
  setIconSize(QSize(16, 13));
  images_[IMAGE_CROSS] = RowImage(IMAGE_CROSS);
  images_[IMAGE_TICK] = RowImage(IMAGE_TICK);
  MeasureColumns();
  FitColumns();
}

CDeviceListView::~CDeviceListView() = default;

void CDeviceListView::ClearDeviceList() {
  clear();
  rows_.clear();
  shown_.clear();
}

void CDeviceListView::ShowRows(std::vector<ListRow> rows) {
  rows_ = std::move(rows);
  Populate();
  MeasureColumns();
  FitColumns();
}

void CDeviceListView::Populate() {
  std::set<int> selected;
  for (int index : SelectedIndexes()) selected.insert(index);
  const int current = ItemIndex(currentItem());
  // Signals of the old rows' going are of no interest: the selection is
  // put back below, and that is signalled.
  {
    const QSignalBlocker quiet(selectionModel());
    clear();
  }
  shown_ = OrderRows(rows_, order_);
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(shown_.size()));
  for (size_t at : shown_) {
    const ListRow& row = rows_[at];
    auto* item = new QTreeWidgetItem();
    for (int c = 0; c < LIST_COLUMNS; ++c) item->setText(c, QString::fromStdString(row.text[c]));
    item->setIcon(COLUMN_MAC, images_[row.image == IMAGE_TICK ? IMAGE_TICK : IMAGE_CROSS]);
    item->setData(COLUMN_MAC, Qt::UserRole, row.device);
    items.append(item);
  }
  addTopLevelItems(items);  // the list takes the items
  ApplyFilter();
  for (int r = 0; r < topLevelItemCount(); ++r) {
    QTreeWidgetItem* item = topLevelItem(r);
    if (item->isHidden()) continue;
    const int index = ItemIndex(item);
    if (index == current) setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
    if (selected.count(index)) item->setSelected(true);
  }
  if (order_.column < 0) {
    header()->setSortIndicatorShown(false);
  } else {
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(order_.column, order_.descending ? Qt::DescendingOrder : Qt::AscendingOrder);
  }
}

void CDeviceListView::SortBy(int column) {
  order_ = NextOrder(order_, column);
  Populate();
  if (QTreeWidgetItem* item = currentItem()) scrollToItem(item);
}

void CDeviceListView::ResetOrder() {
  order_ = {};
  if (!rows_.empty()) Populate();
  header()->setSortIndicatorShown(false);
}

void CDeviceListView::SetFilter(const std::string& filter) {
  if (filter == filter_) return;
  filter_ = filter;
  ApplyFilter();
}

void CDeviceListView::ApplyFilter() {
  for (int r = 0; r < topLevelItemCount() && static_cast<size_t>(r) < shown_.size(); ++r) {
    QTreeWidgetItem* item = topLevelItem(r);
    const bool hide = !RowMatchesFilter(rows_[shown_[static_cast<size_t>(r)]], filter_);
    // An action must never run on a device the user cannot see.
    if (hide && item->isSelected()) item->setSelected(false);
    item->setHidden(hide);
  }
  if (currentItem() && currentItem()->isHidden()) setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
}

int CDeviceListView::ShownRowCount() const {
  int n = 0;
  for (int r = 0; r < topLevelItemCount(); ++r) n += topLevelItem(r)->isHidden() ? 0 : 1;
  return n;
}

void CDeviceListView::SetColumnShown(int column, bool shown) {
  if (column <= COLUMN_IP || column >= LIST_COLUMNS) return;  // the scan's two always show
  setColumnHidden(column, !shown);
  MeasureColumns();
  for (QAction* a : columnMenu_->actions())
    if (a->data().toInt() == column && a->isChecked() != shown) {
      const QSignalBlocker quiet(a);
      a->setChecked(shown);
    }
  FitColumns();
}

void CDeviceListView::keyboardSearch(const QString& search) {
  if (search.isEmpty()) return;
  const bool fresh = !sinceTyped_.isValid() || sinceTyped_.elapsed() > QApplication::keyboardInputInterval();
  sinceTyped_.start();
  typed_ = fresh ? search : typed_ + search;
  std::vector<const ListRow*> shown;
  std::vector<QTreeWidgetItem*> items;
  int from = 0;
  for (int r = 0; r < topLevelItemCount() && static_cast<size_t>(r) < shown_.size(); ++r) {
    QTreeWidgetItem* item = topLevelItem(r);
    if (item->isHidden()) continue;
    // A first letter moves on from the current row (the same letter again
    // steps through the rows it starts); a longer text may stay on it.
    if (item == currentItem()) from = static_cast<int>(items.size()) + (typed_.size() == 1 ? 1 : 0);
    shown.push_back(&rows_[shown_[static_cast<size_t>(r)]]);
    items.push_back(item);
  }
  const int row = TypeAheadRow(shown, from, typed_.toStdString());
  if (row < 0) return;
  QTreeWidgetItem* item = items[static_cast<size_t>(row)];
  setCurrentItem(item);
  scrollToItem(item);
}

int CDeviceListView::SelectedIndex() const {
  for (int row = 0; row < topLevelItemCount(); ++row) {
    const QTreeWidgetItem* item = topLevelItem(row);
    if (item->isSelected() && !item->isHidden()) return ItemIndex(item);
  }
  return NO_DEVICE;
}

std::vector<int> CDeviceListView::SelectedIndexes() const {
  std::vector<int> out;
  for (int row = 0; row < topLevelItemCount(); ++row) {
    const QTreeWidgetItem* item = topLevelItem(row);
    if (item->isSelected() && !item->isHidden()) out.push_back(ItemIndex(item));
  }
  return out;
}

void CDeviceListView::SelectIndex(int index) {
  if (index == NO_DEVICE) return;
  for (int row = 0; row < topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (ItemIndex(item) == index && !item->isHidden()) {
      setCurrentItem(item);
      item->setSelected(true);
      scrollToItem(item);
      return;
    }
  }
}

int CDeviceListView::IndexAt(int row) const { return ItemIndex(topLevelItem(row)); }

void CDeviceListView::resizeEvent(QResizeEvent* event) {
  QTreeWidget::resizeEvent(event);
  FitColumns();
}

void CDeviceListView::MeasureColumns() {
  // What the style itself needs for the widest cell (icon and margins
  // included) and for the header with its sort indicator.
  for (int c = 0; c < LIST_COLUMNS; ++c)
    needed_[c] = std::max(sizeHintForColumn(c), header()->sectionSizeHint(c));
}

void CDeviceListView::FitColumns() {
  const int width = viewport()->width();
  std::vector<int> shownColumns;
  for (int c = 0; c < LIST_COLUMNS; ++c)
    if (!isColumnHidden(c)) shownColumns.push_back(c);
  if (shownColumns.size() == 2) {
    // The scan's two columns share the list.
    const int half = width / 2;
    setColumnWidth(COLUMN_MAC, half);
    setColumnWidth(COLUMN_IP, half + 1);
    return;
  }
  // Each column as wide as its texts; room left over is shared out, a
  // shortage scrolls.
  int total = 0;
  for (int c : shownColumns) total += needed_[c];
  const int extra = std::max(0, width - total) / static_cast<int>(shownColumns.size());
  for (int c : shownColumns) setColumnWidth(c, needed_[c] + extra);
}
