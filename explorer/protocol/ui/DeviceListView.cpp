#include "explorer/protocol/ui/DeviceListView.h"

#include <QHeaderView>
#include <QResizeEvent>
#include <unordered_map>

#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/Scan.h"
#include "explorer/res/ui/Bitmaps.h"

namespace {

CQuillbox* ItemDevice(const QTreeWidgetItem* item) {
  if (!item) return nullptr;
  return reinterpret_cast<CQuillbox*>(item->data(CDeviceListView::COLUMN_MAC, Qt::UserRole).value<quintptr>());
}

}  // namespace

CDeviceListView::CDeviceListView(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("ctl_1018"));
  setColumnCount(2);
  setHeaderLabels({QStringLiteral("Ethernet Address"), QStringLiteral("IP Address")});
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
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

CDeviceListView::~CDeviceListView() { ClearDeviceList(); }

void CDeviceListView::ClearDeviceList() {
  // The rows point at the objects: remove them first.
  clear();
  devices_.clear();
}

std::vector<const DeviceRecord*> CDeviceListView::Records() const {
  std::vector<const DeviceRecord*> out;
  out.reserve(devices_.size());
  for (const auto& q : devices_) out.push_back(q->record.get());
  return out;
}

void CDeviceListView::FillDeviceList(DeviceRecordArray& records, int count) {
  if (count > MAX_DEVICES) count = MAX_DEVICES;
  // Rows already listed, by Ethernet address: their objects are kept.
  std::unordered_map<uint64_t, size_t> listed;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i]->record) listed.emplace(MacKey(devices_[i]->record->mac()), i);
  }
  std::unordered_map<uint64_t, size_t> placed;  // index into `next`
  std::vector<std::unique_ptr<CQuillbox>> next;
  next.reserve(devices_.size() + static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) {
    if (!records[i]) continue;
    const uint64_t key = MacKey(records[i]->mac());
    if (auto again = placed.find(key); again != placed.end()) {
      // A second answer of the same device refreshes its row, never adds one.
      next[again->second]->record = std::move(records[i]);
      continue;
    }
    std::unique_ptr<CQuillbox> q;
    if (auto kept = listed.find(key); kept != listed.end()) {
      q = std::move(devices_[kept->second]);
    } else {
      q = std::make_unique<CQuillbox>();
    }
    q->record = std::move(records[i]);
    placed.emplace(key, next.size());
    next.push_back(std::move(q));
  }
  // Devices that had a row and are not in the array keep it.
  for (auto& q : devices_) {
    if (q) next.push_back(std::move(q));
  }
  CQuillbox* selected = SelectedDevice();
  devices_ = std::move(next);
  RebuildRows();
  if (selected) SelectDevice(selected);
}

void CDeviceListView::RefreshDeviceList() {
  CQuillbox* selected = SelectedDevice();
  RebuildRows();
  if (selected) SelectDevice(selected);
}

void CDeviceListView::RebuildRows() {
  clear();
  const std::vector<const DeviceRecord*> records = Records();
  const std::vector<bool> duplicate = DuplicateIpFlags(records);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<qsizetype>(records.size()));
  for (size_t i : RowOrder(records)) {
    const RowContent content = BuildRowContent(*records[i], duplicate[i]);
    auto* item = new QTreeWidgetItem();
    item->setText(COLUMN_MAC, QString::fromStdString(content.macText));
    item->setText(COLUMN_IP, QString::fromStdString(content.ipText));
    item->setIcon(COLUMN_MAC, images_[content.image == IMAGE_TICK ? IMAGE_TICK : IMAGE_CROSS]);
    item->setData(COLUMN_MAC, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(devices_[i].get())));
    rows.append(item);
  }
  addTopLevelItems(rows);  // the list takes the items
}

CQuillbox* CDeviceListView::SelectedDevice() const {
  for (int row = 0; row < topLevelItemCount(); ++row) {
    const QTreeWidgetItem* item = topLevelItem(row);
    if (item->isSelected()) return ItemDevice(item);
  }
  return nullptr;
}

void CDeviceListView::SelectDevice(CQuillbox* q) {
  if (!q) return;
  for (int row = 0; row < topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (ItemDevice(item) == q) {
      setCurrentItem(item);
      item->setSelected(true);
      scrollToItem(item);
      return;
    }
  }
}

bool CDeviceListView::IsDuplicateIp(uint32_t ipNetOrder) const {
  return ::IsDuplicateIp(Records(), ipNetOrder);
}

bool CDeviceListView::Contains(const CQuillbox* q) const {
  for (const auto& d : devices_) {
    if (d.get() == q) return true;
  }
  return false;
}

CQuillbox* CDeviceListView::DeviceAt(int row) const { return ItemDevice(topLevelItem(row)); }

void CDeviceListView::resizeEvent(QResizeEvent* event) {
  QTreeWidget::resizeEvent(event);
  FitColumns();
}

void CDeviceListView::FitColumns() {
  const int half = viewport()->width() / 2;
  setColumnWidth(COLUMN_MAC, half);
  setColumnWidth(COLUMN_IP, half + 1);
}
