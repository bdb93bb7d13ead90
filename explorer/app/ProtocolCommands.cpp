#include "explorer/app/ProtocolCommands.h"

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/Strings.h"

void Scan(CExplorerDlg& dlg) {
  // A scan destroys every device object. A worker may still use one: also
  // a cancelled worker whose report has not been handled yet, though a
  // second Cancel has already ended the busy display and enabled Scan.
  if (QueueBusy() || WorkerExists() || dlg.IsBusy() || dlg.InExchange()) return;
  // Rows (with their objects and records) first, then the records of the
  // array that no row owns.
  dlg.DeviceList().ClearDeviceList();
  ReleaseRecords(dlg.Records(), dlg.RecordCount());
  dlg.BeginBusy(SCAN_BUSY_MS, SCAN_STATUS_TEXT);
  ScanHooks hooks;
  hooks.stillBusy = [&dlg] { return dlg.IsBusy(); };
  hooks.discover = [&dlg](DeviceRecordArray& records, int& count) {
    return dlg.Transport().Discover(records, count);
  };
  hooks.failedLocally = [&dlg] { return dlg.Transport().SendFailed(); };
  ScanOutcome outcome;
  {
    CExplorerDlg::ExchangeScope exchange(dlg);
    outcome = RunScanPasses(hooks, dlg.Records(), dlg.RecordCount());
  }
  if (outcome.networkingFailed) {
    dlg.EndBusy();
    dlg.Ui().MessageBox(NETWORKING_FAILED_TEXT, "Error", BoxIcon::Exclamation);
    return;
  }
  if (outcome.fill) dlg.DeviceList().FillDeviceList(dlg.Records(), dlg.RecordCount());
  const std::string failure = ScanFailureText(outcome, LoadBrandString(IDS_DEVICE_NAME));
  if (!failure.empty()) dlg.Ui().MessageBox(failure, "Error", BoxIcon::Exclamation);
  dlg.EndBusy();
}

void OnSetIpAddress(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  if (!q || !q->record) return;
  NetworkDialogData data;
  data.ip = q->record->ip();
  data.mask = q->record->mask();
  if (!dlg.Ui().NetworkDialog(data)) return;
  // The dialog itself stays open on such a mask; nothing else may send one.
  if (!IsValidNetworkMask(data.mask)) {
    dlg.Ui().MessageBox(MaskFieldErrorText(data.mask), "Error", BoxIcon::Exclamation);
    return;
  }
  // The device may have gone while the dialog was open.
  if (!dlg.DeviceList().Contains(q) || !q->record) return;

  const SetNetworkRequest request = FillSetNetworkRequest(*q->record, data);
  dlg.BeginBusy(SET_NETWORK_BUSY_MS, SetNetworkStatusText(LoadBrandString(IDS_DEVICE_NAME)));
  int32_t result = 0;
  {
    CExplorerDlg::ExchangeScope exchange(dlg);
    result = dlg.Transport().SetNetworkParameters(request);
  }
  dlg.EndBusy();

  if (result != 0) {
    dlg.Ui().MessageBox(ErrorText(result), SET_NETWORK_FAILED_CAPTION, BoxIcon::Exclamation);
    return;
  }
  if (!dlg.DeviceList().Contains(q)) return;
  q->record->setIp(data.ip);
  q->record->setMask(data.mask);
  dlg.DeviceList().RefreshDeviceList();
  dlg.SelectDevice(q);
  // The buttons were computed for the old address (0.0.0.0 allows only
  // Set IP address); the new one may allow all of them.
  dlg.UpdateActionButtons();
}

bool IsReachable(CExplorerDlg& dlg, const DeviceRecord& record) {
  // Also without a probe (duplicate address): the caller asks afterwards
  // whether this exchange was cancelled.
  CExplorerDlg::ExchangeScope exchange(dlg);
  return CheckReachable(record, dlg.DeviceList().IsDuplicateIp(record.ip()),
                        [&dlg](uint32_t ip, uint16_t port) { return dlg.Transport().ProbeConnect(ip, port); });
}

void OnTestConnection(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  if (!q || !q->record) return;
  dlg.BeginBusy(CONNECTION_TEST_BUSY_MS, ConnectionTestStatusText(*q->record));
  const bool ok = IsReachable(dlg, *q->record);
  dlg.EndBusy();
  if (ok) {
    dlg.Ui().MessageBox(CONNECTION_OK_TEXT, CONNECTION_TEST_CAPTION, BoxIcon::None);
  } else {
    dlg.Ui().MessageBox(CONNECTION_FAILED_TEXT, CONNECTION_TEST_CAPTION, BoxIcon::Exclamation);
  }
}
