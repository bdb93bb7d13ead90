// Minimal list until the scan lands.
#include "explorer/protocol/ui/DeviceListView.h"

#include "explorer/operations/Quillbox.h"

CDeviceListView::CDeviceListView(QWidget* parent) : QTreeWidget(parent) {}
CDeviceListView::~CDeviceListView() { ClearDeviceList(); }
void CDeviceListView::ClearDeviceList() { clear(); }
void CDeviceListView::FillDeviceList(DeviceRecordArray&, int) {}
CQuillbox* CDeviceListView::SelectedDevice() const { return nullptr; }
void CDeviceListView::SelectDevice(CQuillbox*) {}
