#include "explorer/app/ProtocolCommands.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#include <utility>

#include "explorer/app/ExplorerDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/Strings.h"
#include "explorer/session/Doctor.h"
#include "explorer/session/Selection.h"

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
  std::vector<std::string> linkNames;  // of the last pass's records, by index
  std::vector<DeviceVia> vias;         // the same
  std::string report;                  // why nobody answered, under the box's "Show Details..."
  const DiscoveryScope scope = dlg.Scope();
  {
    CExplorerDlg::ExchangeScope exchange(dlg);
    outcome = co_await dlg.Exchanges().Run([&dlg, &records, &count, &linkNames, &vias, &report, &scope](CDeviceSocket& transport) {
      ApplyScope(transport, scope);
      ScanHooks hooks;
      // Cancel, or a worker's report, ends the busy display: no pass after.
      hooks.stillBusy = [&dlg] { return dlg.IsBusy(); };
      hooks.discover = [&transport](DeviceRecordArray& found, int& n) { return transport.Discover(found, n); };
      hooks.failedLocally = [&transport] { return transport.SendFailed(); };
      ScanOutcome result = RunScanPasses(hooks, *records, count);
      for (const CDeviceSocket::Link& link : transport.RecordLinks()) linkNames.push_back(link.name);
      for (const CDeviceSocket::Origin& origin : transport.RecordOrigins())
        vias.push_back(::ViaOf(origin, transport.Targets()));
      // While the transport still knows where the last pass asked.
      if (VerdictOf(result) == ScanVerdict::NoDevices) {
        std::vector<DeviceRecord> heard;
        for (int i = 0; i < count; ++i)
          if ((*records)[static_cast<size_t>(i)]) heard.push_back(*(*records)[static_cast<size_t>(i)]);
        report = DoctorText(BuildDoctorReport(GatherDoctorFacts(transport, heard, DoctorFrontEnd::Window)));
      }
      return result;
    });
  }
  std::swap(dlg.Records(), *records);
  dlg.RecordCount() = count;
  // Which adapter each device answered through, while the array still
  // holds the records.
  std::unordered_map<uint64_t, std::string> links;
  for (int i = 0; i < count && static_cast<size_t>(i) < linkNames.size(); ++i)
    if (dlg.Records()[static_cast<size_t>(i)] && !linkNames[static_cast<size_t>(i)].empty())
      links.emplace(MacKey(dlg.Records()[static_cast<size_t>(i)]->mac()), linkNames[static_cast<size_t>(i)]);
  dlg.SetLinks(std::move(links));
  std::unordered_map<uint64_t, DeviceVia> viaOf;
  for (int i = 0; i < count && static_cast<size_t>(i) < vias.size(); ++i)
    if (dlg.Records()[static_cast<size_t>(i)])
      viaOf.emplace(MacKey(dlg.Records()[static_cast<size_t>(i)]->mac()), vias[static_cast<size_t>(i)]);
  dlg.SetVias(std::move(viaOf));
  if (outcome.networkingFailed) {
    dlg.EndBusy();
    dlg.Ui().MessageBox(NETWORKING_FAILED_TEXT, "Error", BoxIcon::Exclamation);
    co_return;
  }
  if (outcome.fill) dlg.FillDevices(dlg.Records(), dlg.RecordCount());
  const std::string failure = ScanFailureText(outcome, LoadBrandString(IDS_DEVICE_NAME));
  if (!report.empty())
    dlg.Ui().DetailedMessageBox(failure, "Error", BoxIcon::Exclamation, report);
  else if (!failure.empty())
    dlg.Ui().MessageBox(failure, "Error", BoxIcon::Exclamation);
  dlg.EndBusy();
  // Not on Exit, where the next Space would quit.
  dlg.FocusDeviceList();
}

QCoro::Task<> OnSetIpAddress(CExplorerDlg& dlg) {
  // One device at a time: the request names one Ethernet address.
  const std::vector<CQuillbox*> selected = dlg.SelectedDevices();
  if (selected.size() > 1) co_return;
  CQuillbox* q = dlg.SelectedDevice();
  if (!q || !q->record) co_return;
  NetworkDialogData data = StartingNetworkEntry(*q->record, dlg.RefusedNetworkEntry(q), AdapterMask(dlg.LinkOf(*q)));
  if (!dlg.Ui().NetworkDialog(data)) co_return;
  // The dialog itself stays open on such a mask; nothing else may send one.
  if (!IsValidNetworkMask(data.mask)) {
    dlg.Ui().MessageBox(MaskFieldErrorText(data.mask), "Error", BoxIcon::Exclamation);
    co_return;
  }
  // The device may have gone while the dialog was open.
  if (!dlg.Devices().Contains(q) || !q->record) co_return;

  const SetNetworkRequest request = FillSetNetworkRequest(*q->record, data);
  // A device behind a router hears no limited broadcast.
  const std::vector<uint32_t> alsoTo = dlg.ViaOf(*q).alsoTo;
  dlg.BeginBusy(SET_NETWORK_BUSY_MS, SetNetworkStatusText(LoadBrandString(IDS_DEVICE_NAME)));
  int32_t result = 0;
  {
    CExplorerDlg::ExchangeScope exchange(dlg);
    result = co_await dlg.Exchanges().Run(
        [&request, &alsoTo](CDeviceSocket& transport) { return transport.SetNetworkParameters(request, alsoTo); });
  }
  dlg.EndBusy();

  if (result != 0) {
    // The next try starts from what was typed, not from scratch.
    if (dlg.Devices().Contains(q)) dlg.RememberRefusedNetworkEntry(q, data);
    dlg.Ui().MessageBox(ErrorText(result), SET_NETWORK_FAILED_CAPTION, BoxIcon::Exclamation);
    co_return;
  }
  if (!dlg.Devices().Contains(q)) co_return;
  dlg.ForgetRefusedNetworkEntry(q);
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

namespace {

// Each selected device in turn, one box for all.
QCoro::Task<> TestSeveral(CExplorerDlg& dlg, std::vector<CQuillbox*> devices) {
  std::vector<ConnectionTestLine> lines;
  bool cancelled = false;
  const int count = static_cast<int>(devices.size());
  for (int i = 0; i < count; ++i) {
    CQuillbox* q = devices[static_cast<size_t>(i)];
    // A device may have gone while an earlier one was probed.
    if (!dlg.Devices().Contains(q) || !q->record) continue;
    ConnectionTestLine line;
    line.macText = FormatMac(q->record->mac());
    if (!cancelled) {
      dlg.BeginBusy(CONNECTION_TEST_BUSY_MS, BatchStatusText(ConnectionTestStatusText(*q->record), i + 1, count));
      const DeviceRecord record = *q->record;
      line.ok = co_await IsReachable(dlg, record);
      cancelled = dlg.ExchangeCancelled();
      line.tested = !cancelled;
    }
    lines.push_back(line);
  }
  dlg.EndBusy();
  dlg.Ui().MessageBox(ConnectionTestSummary(lines), CONNECTION_TEST_CAPTION,
                      AllConnectionsOk(lines) ? BoxIcon::None : BoxIcon::Exclamation);
}

}  // namespace

QCoro::Task<> OnTestConnection(CExplorerDlg& dlg) {
  std::vector<CQuillbox*> selected = dlg.SelectedDevices();
  if (selected.size() > 1) {
    co_await TestSeveral(dlg, std::move(selected));
    co_return;
  }
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
