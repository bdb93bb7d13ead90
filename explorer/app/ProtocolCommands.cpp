#include "explorer/app/ProtocolCommands.h"

#include <memory>
#include <utility>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/Strings.h"

QCoro::Task<> Scan(CExplorerDlg& dlg) {
  // A scan destroys every device object. A worker may still use one: also
  // a cancelled worker whose report has not been handled yet, though a
  // second Cancel has already ended the busy display and enabled Scan.
  if (QueueBusy() || WorkerExists() || dlg.IsBusy() || dlg.InExchange()) co_return;
  // The devices (with their objects and records) first, then the records
  // of the array that no device owns.
  dlg.ClearDevices();
  ReleaseRecords(dlg.Records(), dlg.RecordCount());
  dlg.BeginBusy(SCAN_BUSY_MS, SCAN_STATUS_TEXT);
  // The passes fill an array of their own on the exchange thread; the
  // window's takes it over once they are done.
  auto records = std::make_unique<DeviceRecordArray>();
  int count = 0;
  ScanOutcome outcome;
  {
    CExplorerDlg::ExchangeScope exchange(dlg);
    outcome = co_await dlg.Exchanges().Run([&dlg, &records, &count](CDeviceSocket& transport) {
      ScanHooks hooks;
      // Cancel, or a worker's report, ends the busy display: no pass after.
      hooks.stillBusy = [&dlg] { return dlg.IsBusy(); };
      hooks.discover = [&transport](DeviceRecordArray& found, int& n) { return transport.Discover(found, n); };
      hooks.failedLocally = [&transport] { return transport.SendFailed(); };
      return RunScanPasses(hooks, *records, count);
    });
  }
  std::swap(dlg.Records(), *records);
  dlg.RecordCount() = count;
  if (outcome.networkingFailed) {
    dlg.EndBusy();
    dlg.Ui().MessageBox(NETWORKING_FAILED_TEXT, "Error", BoxIcon::Exclamation);
    co_return;
  }
  if (outcome.fill) dlg.FillDevices(dlg.Records(), dlg.RecordCount());
  const std::string failure = ScanFailureText(outcome, LoadBrandString(IDS_DEVICE_NAME));
  if (!failure.empty()) dlg.Ui().MessageBox(failure, "Error", BoxIcon::Exclamation);
  dlg.EndBusy();
}

QCoro::Task<> OnSetIpAddress(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  if (!q || !q->record) co_return;
  NetworkDialogData data;
  data.ip = q->record->ip();
  data.mask = q->record->mask();
  if (!dlg.Ui().NetworkDialog(data)) co_return;
  // The dialog itself stays open on such a mask; nothing else may send one.
  if (!IsValidNetworkMask(data.mask)) {
    dlg.Ui().MessageBox(MaskFieldErrorText(data.mask), "Error", BoxIcon::Exclamation);
    co_return;
  }
  // The device may have gone while the dialog was open.
  if (!dlg.Devices().Contains(q) || !q->record) co_return;

  const SetNetworkRequest request = FillSetNetworkRequest(*q->record, data);
  dlg.BeginBusy(SET_NETWORK_BUSY_MS, SetNetworkStatusText(LoadBrandString(IDS_DEVICE_NAME)));
  int32_t result = 0;
  {
    CExplorerDlg::ExchangeScope exchange(dlg);
    result = co_await dlg.Exchanges().Run(
        [&request](CDeviceSocket& transport) { return transport.SetNetworkParameters(request); });
  }
  dlg.EndBusy();

  if (result != 0) {
    dlg.Ui().MessageBox(ErrorText(result), SET_NETWORK_FAILED_CAPTION, BoxIcon::Exclamation);
    co_return;
  }
  if (!dlg.Devices().Contains(q)) co_return;
  q->record->setIp(data.ip);
  q->record->setMask(data.mask);
  dlg.RefreshDevices();
  dlg.SelectDevice(q);
  // The buttons were computed for the old address (0.0.0.0 allows only
  // Set IP address); the new one may allow all of them.
  dlg.UpdateActionButtons();
}

QCoro::Task<bool> IsReachable(CExplorerDlg& dlg, DeviceRecord record) {
  // Also without a probe (duplicate address): the caller asks afterwards
  // whether this exchange was cancelled.
  CExplorerDlg::ExchangeScope exchange(dlg);
  const bool duplicate = dlg.Devices().IsDuplicateIp(record.ip());
  co_return co_await dlg.Exchanges().Run([&record, duplicate](CDeviceSocket& transport) {
    return CheckReachable(record, duplicate,
                          [&transport](uint32_t ip, uint16_t port) { return transport.ProbeConnect(ip, port); });
  });
}

QCoro::Task<> OnTestConnection(CExplorerDlg& dlg) {
  CQuillbox* q = dlg.SelectedDevice();
  if (!q || !q->record) co_return;
  dlg.BeginBusy(CONNECTION_TEST_BUSY_MS, ConnectionTestStatusText(*q->record));
  const bool ok = co_await IsReachable(dlg, *q->record);
  dlg.EndBusy();
  if (ok) {
    dlg.Ui().MessageBox(CONNECTION_OK_TEXT, CONNECTION_TEST_CAPTION, BoxIcon::None);
  } else {
    dlg.Ui().MessageBox(CONNECTION_FAILED_TEXT, CONNECTION_TEST_CAPTION, BoxIcon::Exclamation);
  }
}
