#include "explorer/protocol/ui/DeviceListView.h"

#include <QHeaderView>
#include <QResizeEvent>

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
  setColumnCount(2);
  setHeaderLabels({QStringLiteral("Ethernet Address"), QStringLiteral("IP Address")});
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
  setIconSize(QSize(16, 13));
  images_[IMAGE_CROSS] = RowImage(IMAGE_CROSS);
  images_[IMAGE_TICK] = RowImage(IMAGE_TICK);
  FitColumns();
}

CDeviceListView::~CDeviceListView() = default;

void CDeviceListView::ClearDeviceList() { clear(); }

void CDeviceListView::ShowDevices(const std::vector<const DeviceRecord*>& records) {
  clear();
  const std::vector<bool> duplicate = DuplicateIpFlags(records);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(records.size()));
  for (size_t i : RowOrder(records)) {
    const RowContent content = BuildRowContent(*records[i], duplicate[i]);
    auto* item = new QTreeWidgetItem();
    item->setText(COLUMN_MAC, QString::fromStdString(content.macText));
    item->setText(COLUMN_IP, QString::fromStdString(content.ipText));
    item->setIcon(COLUMN_MAC, images_[content.image == IMAGE_TICK ? IMAGE_TICK : IMAGE_CROSS]);
    item->setData(COLUMN_MAC, Qt::UserRole, static_cast<int>(i));
    rows.append(item);
  }
  addTopLevelItems(rows);  // the list takes the items
}

int CDeviceListView::SelectedIndex() const {
  for (int row = 0; row < topLevelItemCount(); ++row) {
    const QTreeWidgetItem* item = topLevelItem(row);
    if (item->isSelected()) return ItemIndex(item);
  }
  return NO_DEVICE;
}

std::vector<int> CDeviceListView::SelectedIndexes() const {
  std::vector<int> out;
  for (int row = 0; row < topLevelItemCount(); ++row) {
    const QTreeWidgetItem* item = topLevelItem(row);
    if (item->isSelected()) out.push_back(ItemIndex(item));
  }
  return out;
}

void CDeviceListView::SelectIndex(int index) {
  if (index == NO_DEVICE) return;
  for (int row = 0; row < topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (ItemIndex(item) == index) {
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

void CDeviceListView::FitColumns() {
  const int half = viewport()->width() / 2;
  setColumnWidth(COLUMN_MAC, half);
  setColumnWidth(COLUMN_IP, half + 1);
}
