#include "explorer/app/ExplorerDlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "explorer/app/AboutDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/app/ProcessLauncher.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/app/UpgradeCommand.h"
#include "explorer/app/WebLaunch.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/DeviceKinds.h"
#include "explorer/res/Strings.h"
#include "explorer/res/ui/Bitmaps.h"
#include "explorer/res/ui/DialogUnits.h"

ActionButtonState ComputeActionButtons(const DeviceRecord* selected) {
  ActionButtonState s;
  if (!selected) return s;
  const bool usable = selected->ip() != 0;
  s.web = s.getConfig = s.setConfig = s.upgrade = s.test = usable;
  // A device without an address can still be given one.
  s.setIp = true;
  const uint16_t kind = selected->kind();
  if (!HasFirmwareUpgrade(kind)) s.upgrade = false;
  if (!HasConfigurationTransfer(kind)) s.setConfig = s.getConfig = false;
  if (IsTelnetOnlyKind(kind)) s.telnetCaption = true;
  return s;
}

std::string CountdownText(int durationMs, int elapsedMs) {
  int seconds = (durationMs - elapsedMs) / 1000;
  if (seconds < 0) seconds = 0;
  char text[48];
  std::snprintf(text, sizeof text, "%d seconds remaining", seconds);
  return text;
}

CExplorerDlg::CExplorerDlg(ModalUi& ui, QWidget* parent)
    : QDialog(parent), ui_(ui), records_(std::make_unique<DeviceRecordArray>()) {
  setObjectName(QStringLiteral("dlg_%1").arg(IDD_EXPLORER_DIALOG));
  const DialogUnits du(font());
  // Controls sit at fixed places, so the window keeps its size.
  setFixedSize(du.Size(332, 210));

  list_ = new CDeviceListView(this);
  list_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_DEVICE_LIST));
  du.Place(list_, 18, 14, 230, 124);
  controls_[IDC_DEVICE_LIST] = list_;

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_STATUS_TEXT));
  du.Place(status_, 18, 143, 162, 8);
  controls_[IDC_STATUS_TEXT] = status_;

  countdown_ = new QLabel(this);
  countdown_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_COUNTDOWN_TEXT));
  du.Place(countdown_, 178, 143, 70, 8);
  controls_[IDC_COUNTDOWN_TEXT] = countdown_;

  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PROGRESS));
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  du.Place(progress_, 18, 155, 230, 17);
  controls_[IDC_PROGRESS] = progress_;

  AddButton(IDC_SCAN, "Scan", 18, 183, 55, 14);
  exit_ = AddButton(IDC_EXIT, "Exit", 83, 183, 50, 14);
  AddButton(IDC_HELP, "&Help", 143, 183, 50, 14);
  QPushButton* web = AddButton(IDC_WEB_CONFIGURATION, "Web configuration", 258, 13, 65, 14);
  web->setDefault(true);
  AddButton(IDC_GET_CONFIGURATION, "Get configuration", 258, 33, 65, 14);
  AddButton(IDC_SET_CONFIGURATION, "Set configuration", 258, 53, 65, 14);
  AddButton(IDC_UPGRADE_FIRMWARE, "Upgrade firmware", 258, 73, 65, 14);
  AddButton(IDC_SET_IP_ADDRESS, "Set IP address", 258, 93, 65, 14);
  AddButton(IDC_TEST_CONNECTION, "Test connection", 258, 113, 65, 14);

  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PICTURE));
  picture->setAlignment(Qt::AlignCenter);
  const QPixmap bitmap = LoadResBitmap(IDB_PICTURE);
  picture->setPixmap(bitmap);
  du.Place(picture, 258, 135, 67, 62);
  controls_[IDC_PICTURE] = picture;

  setWindowTitle(QString::fromStdString(LoadBrandString(IDS_TITLE)));
  if (!bitmap.isNull()) setWindowIcon(QIcon(bitmap));

  // The list lays out its own two columns; the window keeps the selection
  // visible while the focus is on a button.
  QPalette pal = list_->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
               pal.color(QPalette::Active, QPalette::HighlightedText));
  list_->setPalette(pal);
  list_->viewport()->installEventFilter(this);
  // A double-click is the web command: it may run while a long operation
  // is queued, never while an exchange waits on the one transport.
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) {
    if (!InExchange()) OnWebConfiguration(*this);
  });

  timer_ = new QTimer(this);
  timer_->setInterval(PROGRESS_TICK_MS);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &CExplorerDlg::ProgressTick);

  // Every exchange keeps the window alive: repaint, the progress tick and
  // a Cancel click all run inside the transport's waits.
  transport_.SetPumpHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });

  WireOperationQueue(*this);
  EnableActions(false);
}

CExplorerDlg::~CExplorerDlg() {
  // No worker may still use a CQuillbox when the rows go.
  WaitForRunningOperation();
  UnwireOperationQueue(*this);
  list_->ClearDeviceList();
  transport_.SetPumpHook(nullptr);
}

QPushButton* CExplorerDlg::AddButton(int id, const char* text, int x, int y, int cx, int cy) {
  auto* button = new QPushButton(QString::fromUtf8(text), this);
  button->setObjectName(QStringLiteral("ctl_%1").arg(id));
  button->setAutoDefault(false);
  DialogUnits(font()).Place(button, x, y, cx, cy);
  controls_[id] = button;
  connect(button, &QPushButton::clicked, this, [this, id] { RunCommand(id); });
  return button;
}

std::vector<CQuillbox*> CExplorerDlg::ListDevices(std::vector<std::unique_ptr<DeviceRecord>> records) {
  DeviceRecordArray& array = *records_;
  int count = 0;
  for (auto& record : records) {
    if (count == MAX_DEVICES) break;
    array[static_cast<size_t>(count++)] = std::move(record);
  }
  recordCount_ = count;
  list_->FillDeviceList(array, count);
  std::vector<CQuillbox*> rows;
  for (int row = 0; row < list_->topLevelItemCount(); ++row) rows.push_back(list_->DeviceAt(row));
  return rows;
}

QWidget* CExplorerDlg::Control(int id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void CExplorerDlg::RunCommand(int commandId) {
  switch (commandId) {
    case IDC_SCAN:
    case IDC_WEB_CONFIGURATION:
    case IDC_SET_IP_ADDRESS:
    case IDC_TEST_CONNECTION:
      // These start an exchange of their own; the transport has one.
      if (InExchange()) return;
      break;
    default: break;
  }
  switch (commandId) {
    case IDC_SCAN: Scan(*this); break;
    case IDC_EXIT: CancelOrExit(); break;
    case IDC_HELP: OpenHelp(); break;
    case IDC_WEB_CONFIGURATION: OnWebConfiguration(*this); break;
    case IDC_GET_CONFIGURATION: OnGetConfiguration(*this); break;
    case IDC_SET_CONFIGURATION: OnSetConfiguration(*this); break;
    case IDC_UPGRADE_FIRMWARE: OnUpgradeFirmware(*this); break;
    case IDC_SET_IP_ADDRESS: OnSetIpAddress(*this); break;
    case IDC_TEST_CONNECTION: OnTestConnection(*this); break;
    case IDM_ABOUTBOX: ShowAbout(); break;
    default: break;
  }
}

void CExplorerDlg::PostCommand(int commandId) {
  QMetaObject::invokeMethod(this, [this, commandId] { RunCommand(commandId); }, Qt::QueuedConnection);
}

void CExplorerDlg::PostOperationDone(int32_t result, CQuillbox* q) {
  // Called on the worker thread: only queue the report for the UI thread.
  QMetaObject::invokeMethod(this, [this, result, q] { OnOperationDone(*this, result, q); },
                            Qt::QueuedConnection);
}

void CExplorerDlg::BeginBusy(int durationMs, const std::string& text) {
  busy_ = true;
  elapsedMs_ = 0;
  timer_->start();
  progress_->setRange(0, durationMs);
  progress_->setValue(0);
  controls_[IDC_SCAN]->setEnabled(false);
  controls_[IDC_HELP]->setEnabled(false);
  EnableActions(false);
  exit_->setText(QStringLiteral("Cancel"));
  status_->setText(QString::fromStdString(text));
}

void CExplorerDlg::EndBusy() {
  busy_ = false;
  elapsedMs_ = 0;
  timer_->stop();
  progress_->setValue(0);
  // A report may end the busy display while an exchange still waits; the
  // exchange's own end enables Scan then.
  controls_[IDC_SCAN]->setEnabled(!InExchange());
  controls_[IDC_HELP]->setEnabled(true);
  exit_->setText(QStringLiteral("Exit"));
  status_->clear();
  countdown_->clear();
  UpdateActionButtons();
}

void CExplorerDlg::ProgressTick() {
  const int upper = progress_->maximum();
  if (elapsedMs_ % 1000 == 0) countdown_->setText(QString::fromStdString(CountdownText(upper, elapsedMs_)));
  if (elapsedMs_ < upper) {
    elapsedMs_ += PROGRESS_TICK_MS;
    progress_->setValue(elapsedMs_ > upper ? upper : elapsedMs_);
  }
}

void CExplorerDlg::EnableActions(bool enable) {
  for (int id : {IDC_WEB_CONFIGURATION, IDC_GET_CONFIGURATION, IDC_SET_CONFIGURATION,
                 IDC_UPGRADE_FIRMWARE, IDC_SET_IP_ADDRESS, IDC_TEST_CONNECTION})
    controls_[id]->setEnabled(enable);
}

void CExplorerDlg::UpdateActionButtons() {
  auto* web = static_cast<QPushButton*>(controls_[IDC_WEB_CONFIGURATION]);
  if (InExchange()) {
    // Recomputed when the exchange ends.
    EnableActions(false);
    return;
  }
  web->setText(QStringLiteral("Web configuration"));
  CQuillbox* q = SelectedDevice();
  const ActionButtonState s = ComputeActionButtons(q ? q->record.get() : nullptr);
  if (q && !q->record) {
    // A row without a record can only be refused by the commands.
    EnableActions(false);
    return;
  }
  controls_[IDC_WEB_CONFIGURATION]->setEnabled(s.web);
  controls_[IDC_GET_CONFIGURATION]->setEnabled(s.getConfig);
  controls_[IDC_SET_CONFIGURATION]->setEnabled(s.setConfig);
  controls_[IDC_UPGRADE_FIRMWARE]->setEnabled(s.upgrade);
  controls_[IDC_SET_IP_ADDRESS]->setEnabled(s.setIp);
  controls_[IDC_TEST_CONNECTION]->setEnabled(s.test);
  if (s.telnetCaption) web->setText(QStringLiteral("Configuration"));
}

CQuillbox* CExplorerDlg::SelectedDevice() const { return list_->SelectedDevice(); }

void CExplorerDlg::SelectDevice(CQuillbox* q) { list_->SelectDevice(q); }

void CExplorerDlg::CancelOrExit() {
  if (QueueBusy()) {
    CancelAllOperations();
    return;
  }
  // An exchange still waiting after a report ended the busy display is
  // cancelled too: closing would pull the window from under it.
  if (busy_ || InExchange()) {
    if (InExchange()) exchangeCancelled_ = true;
    EndBusy();
    transport_.CancelRequest();
    return;
  }
  QDialog::reject();
}

void CExplorerDlg::reject() { CancelOrExit(); }

bool CExplorerDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport()) {
    if (event->type() == QEvent::MouseButtonPress) {
      // A click on empty space leaves no row selected, as a list on the
      // desktop does.
      auto* me = static_cast<QMouseEvent*>(event);
      if (!list_->itemAt(me->position().toPoint())) {
        list_->clearSelection();
        list_->setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
      }
    } else if (event->type() == QEvent::MouseButtonRelease) {
      // After the list has applied the click to its selection.
      // During a queued long operation the click recomputes the buttons,
      // so another device's operation can be queued; during an exchange
      // UpdateActionButtons keeps them off.
      QMetaObject::invokeMethod(this, [this] { UpdateActionButtons(); }, Qt::QueuedConnection);
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CExplorerDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Our stand-in for the window's system menu.
  const std::string aboutText = LoadBrandString(IDS_ABOUT_MENU);
  if (aboutText.empty()) return;
  QMenu menu(this);
  menu.addAction(QString::fromStdString(aboutText), this, [this] { ShowAbout(); });
  menu.exec(event->globalPos());
}

void CExplorerDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CExplorerDlg::OpenHelp() {
  const std::string helpFile = QCoreApplication::applicationFilePath().toStdString() + ".HLP";
  // Whatever the opener makes of a missing file is its own business.
  StartProgram("xdg-open", {"xdg-open", helpFile});
}
