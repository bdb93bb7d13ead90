#pragma once
// The main window (dialog 102): device list, action buttons, busy display.
#include <QCoro/QCoroTask>
#include <QDialog>
#include <QElapsedTimer>
#include <QRect>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "explorer/app/DeviceExchanges.h"
#include "explorer/app/DeviceTable.h"
#include "explorer/operations/DeviceOperation.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ui/DeviceListView.h"
#include "explorer/protocol/ui/FindField.h"
#include "explorer/res/ui/ModalUi.h"
#include "explorer/session/Discovery.h"
#include "explorer/session/Selection.h"

class CQuillbox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

constexpr int IDD_EXPLORER_DIALOG = 102;
constexpr int IDC_DEVICE_LIST = 1018;
constexpr int IDC_STATUS_TEXT = 1022;
constexpr int IDC_COUNTDOWN_TEXT = 1023;
constexpr int IDC_PROGRESS = 1006;
constexpr int IDC_SCAN = 1010;
constexpr int IDC_EXIT = 2;
constexpr int IDC_HELP = 57670;
constexpr int IDC_WEB_CONFIGURATION = 1;
constexpr int IDC_GET_CONFIGURATION = 1031;
constexpr int IDC_SET_CONFIGURATION = 1032;
constexpr int IDC_UPGRADE_FIRMWARE = 1030;
constexpr int IDC_SET_IP_ADDRESS = 1036;
constexpr int IDC_TEST_CONNECTION = 1033;
constexpr int IDC_PICTURE = 1044;
constexpr int IDM_ABOUTBOX = 16;
constexpr int IDM_OTHER_NETWORKS = 32;
constexpr int PROGRESS_TICK_MS = 100;

// The action buttons' texts, each with its mnemonic.
constexpr const char* WEB_BUTTON_TEXT = "&Web configuration";
constexpr const char* TELNET_BUTTON_TEXT = "C&onfiguration";
constexpr const char* GET_BUTTON_TEXT = "&Get configuration";
constexpr const char* SET_BUTTON_TEXT = "&Set configuration";
constexpr const char* UPGRADE_BUTTON_TEXT = "&Upgrade firmware";
constexpr const char* SET_IP_BUTTON_TEXT = "Set &IP address";
constexpr const char* TEST_BUTTON_TEXT = "&Test connection";
// The countdown text for `elapsedMs` of an operation of `durationMs`.
std::string CountdownText(int durationMs, int elapsedMs);
// Every text the status line shows while an operation runs, for the device
// with Ethernet address `mac`.
std::vector<std::string> BusyStatusTexts(const uint8_t (&mac)[6]);

class CExplorerDlg : public QDialog, public OperationOwner {
  Q_OBJECT
 public:
  explicit CExplorerDlg(ModalUi& ui, QWidget* parent = nullptr);
  ~CExplorerDlg() override;

  void BeginBusy(int durationMs, const std::string& text);
  void EndBusy();
  // Also read by the scan's exchange thread between its passes.
  bool IsBusy() const { return busy_.load(); }
  // A UDP or TCP exchange of the transport runs, from its start until its
  // handler goes on with the result. The window stays live meanwhile; no
  // command may start a second one.
  bool InExchange() const { return exchanges_ > 0; }
  // The user pressed Cancel during the latest exchange.
  bool ExchangeCancelled() const { return exchangeCancelled_; }
  // Device-protocol handlers started and not yet finished.
  int HandlersRunning() const { return handlers_; }
  void EnableActions(bool enable);
  void UpdateActionButtons();
  CQuillbox* SelectedDevice() const;
  // Every selected device, from the top of the list.
  std::vector<CQuillbox*> SelectedDevices() const;
  void SelectDevice(CQuillbox* q);
  CDeviceListView& DeviceList() { return *list_; }
  // The listed devices; the window owns their objects.
  const DeviceTable& Devices() const { return devices_; }
  // The device of row `row` (top is 0), or none.
  CQuillbox* DeviceAt(int row) const;
  // Lists the first `count` records of the array (taking them out), keeping
  // the object and the selection of every device already listed.
  void FillDevices(DeviceRecordArray& records, int count);
  // Shows the rows again after a listed device's record changed; objects and
  // selection stay.
  void RefreshDevices();
  // Removes every row and frees every device object: only while no worker
  // exists and nothing is queued (the workers hold the objects).
  void ClearDevices();
  // Lists `records` as the last pass of a scan would (at most MAX_DEVICES);
  // the devices' objects in row order.
  std::vector<CQuillbox*> ListDevices(std::vector<std::unique_ptr<DeviceRecord>> records);
  ModalUi& Ui() { return ui_; }
  // The command running over several selected devices (its queued
  // operations), for its status text and the re-run after a refused password.
  DeviceBatch& Batch() { return batch_; }
  // Shows the status text of the batch's device q while it runs.
  void ShowBatchStatus(const CQuillbox& q);
  // A retrieve of a batch stores into a file the command named beforehand:
  // its store asks nobody.
  void PresetStoreFile(const std::string& path) { presetStores_.push_back(path); }
  bool IsPresetStoreFile(const std::string& path) const;
  void ForgetPresetStoreFiles() { presetStores_.clear(); }
  // What was typed in the network dialog for q when q refused it.
  const NetworkDialogData* RefusedNetworkEntry(const CQuillbox* q) const;
  void RememberRefusedNetworkEntry(const CQuillbox* q, const NetworkDialogData& data);
  void ForgetRefusedNetworkEntry(const CQuillbox* q) { refusedEntries_.erase(q); }
  // The host interface q's answer came in on in the last scan ("" unknown).
  std::string LinkOf(const CQuillbox& q) const;
  // How q was reached in the last scan: its link, or one of the session's
  // targets (then also where a request for q alone must go).
  DeviceVia ViaOf(const CQuillbox& q) const;
  // The session's other networks: the dialog's text, and what every scan
  // asks because of it. Kept until the program ends, never on disk.
  const std::string& TargetsText() const { return targetsText_; }
  const DiscoveryScope& Scope() const { return scope_; }
  void SetTargetsText(const std::string& text);
  void FocusDeviceList();
  // Ctrl+F: the find field under the list; Escape there closes it again
  // and clears its filter.
  void OpenFind();
  void CloseFind();
  CFindField& FindField() { return *find_; }
  void PostOperationDone(int32_t result, CQuillbox* q) override;
  void PostCommand(int commandId);
  QWidget* Control(int id);

  // One step of the busy display; the 100 ms timer calls it.
  void ProgressTick();
  int ElapsedMs() const { return elapsedMs_; }
  // Cancel-or-exit: the Exit/Cancel button, Escape and the close box.
  void CancelOrExit();
  void ShowAbout();
  void EditOtherNetworks();
  // Runs the handler of a command id, as a click on that button would. A
  // handler with an exchange returns at the exchange's start and finishes
  // from the event loop (HandlersRunning).
  void RunCommand(int commandId);

  void reject() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The device-protocol handlers run the window's exchanges.
  friend QCoro::Task<> Scan(CExplorerDlg& dlg);
  friend QCoro::Task<> OnSetIpAddress(CExplorerDlg& dlg);
  friend QCoro::Task<bool> IsReachable(CExplorerDlg& dlg, DeviceRecord record);
  friend QCoro::Task<bool> CheckBeforeConfigure(CExplorerDlg& dlg, DeviceRecord record);

  // Marks one exchange from its start to its end. The busy display alone
  // does not tell: a worker's report may end it while the exchange waits.
  class ExchangeScope {
   public:
    explicit ExchangeScope(CExplorerDlg& dlg) : dlg_(dlg) {
      ++dlg_.exchanges_;
      dlg_.exchangeCancelled_ = false;
    }
    ~ExchangeScope() { --dlg_.exchanges_; }
    ExchangeScope(const ExchangeScope&) = delete;
    ExchangeScope& operator=(const ExchangeScope&) = delete;

   private:
    CExplorerDlg& dlg_;
  };

  DeviceExchanges& Exchanges() { return deviceExchanges_; }
  // The links of the last scan's answers, by Ethernet address key.
  void SetLinks(std::unordered_map<uint64_t, std::string> links) { links_ = std::move(links); }
  void SetVias(std::unordered_map<uint64_t, DeviceVia> vias) { vias_ = std::move(vias); }
  // Starts a device-protocol handler and counts it until it finishes.
  void RunHandler(QCoro::Task<> handler);
  static QCoro::Task<> Finish(CExplorerDlg& dlg, QCoro::Task<> handler);
  DeviceRecordArray& Records() { return *records_; }
  int& RecordCount() { return recordCount_; }
  QPushButton* AddButton(int id, const char* text);
  // Places the controls: the dialog-unit layout, widened wherever a text of
  // the program would not show whole; the status line gets at least
  // `statusWidth` pixels.
  void LayOut(int statusWidth);
  // Places the controls for the window's current size from their places at
  // its least size.
  void Arrange();
  // Hands the list its rows, with the way each device answered.
  void ShowRows();
  void OpenHelp();

  ModalUi& ui_;
  std::unique_ptr<DeviceRecordArray> records_;
  int recordCount_ = 0;
  // One object per listed device, for as long as it is listed; the rows
  // name them by index.
  DeviceTable devices_;
  std::atomic<bool> busy_{false};  // written by the UI thread only
  int elapsedMs_ = 0;
  int exchanges_ = 0;               // exchanges waiting (at most one)
  bool exchangeCancelled_ = false;  // Cancel pressed during the latest exchange
  int handlers_ = 0;                // RunHandler's, not yet finished
  QElapsedTimer sinceBusyEnded_;    // invalid until the first EndBusy
  DeviceBatch batch_;
  std::vector<std::string> presetStores_;
  std::unordered_map<const CQuillbox*, NetworkDialogData> refusedEntries_;
  std::unordered_map<uint64_t, std::string> links_;
  std::unordered_map<uint64_t, DeviceVia> vias_;
  std::string targetsText_;
  DiscoveryScope scope_;

  std::map<int, QWidget*> controls_;  // child widgets by dialog id, owned by Qt
  CDeviceListView* list_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* countdown_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* exit_ = nullptr;
  QTimer* timer_ = nullptr;
  int statusWidth_ = 0;  // pixels the status line was laid out for
  CFindField* find_ = nullptr;
  // Where each control sits at the least size, and which way it follows
  // a bigger window.
  struct Placement {
    QWidget* widget;
    QRect base;
    bool moveX, moveY, growW, growH;
  };
  std::vector<Placement> placements_;
  int findGap_ = 0;
  bool laidOut_ = false;  // the start size was given
  // Last: the exchange thread is joined before anything it may read goes.
  DeviceExchanges deviceExchanges_{*this};
};
