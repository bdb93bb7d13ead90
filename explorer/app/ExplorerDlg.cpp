#include "explorer/app/ExplorerDlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QResizeEvent>
#include <QShortcut>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "explorer/app/AboutDlg.h"
#include "explorer/app/OperationCommands.h"
#include "explorer/app/ProtocolCommands.h"
#include "explorer/app/UpgradeCommand.h"
#include "explorer/app/WebLaunch.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/Strings.h"
#include "explorer/res/ui/Bitmaps.h"
#include "explorer/res/ui/DialogUnits.h"
#include "explorer/res/ui/TextFit.h"
#include "explorer/session/DeviceRows.h"
#include "explorer/session/DeviceRules.h"
#include "explorer/upgrade/UpgradeWorker.h"

std::vector<std::string> BusyStatusTexts(const uint8_t (&mac)[6]) {
  DeviceRecord device;
  device.setMac(mac);
  return {SCAN_STATUS_TEXT,
          SetNetworkStatusText(LoadBrandString(IDS_DEVICE_NAME)),
          ConnectionTestStatusText(device),
          WebProbeStatusText(),
          RETRIEVE_STATUS_TEXT,
          UPLOAD_STATUS_TEXT,
          UpgradeStatusText(FormatMac(mac))};
}

namespace {

// The Ethernet address that reads widest in `fm`: every digit the widest
// hexadecimal digit.
void WidestMac(const QFontMetrics& fm, uint8_t (&mac)[6]) {
  int widest = 0;
  for (int digit = 1; digit < 16; ++digit) {
    if (fm.horizontalAdvance(QString::number(digit, 16).toUpper()) >
        fm.horizontalAdvance(QString::number(widest, 16).toUpper()))
      widest = digit;
  }
  for (uint8_t& byte : mac) byte = static_cast<uint8_t>(widest * 0x11);
}

}  // namespace

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
  // Hundreds of devices want room: the window can be resized and
  // maximised, from its start size (also its least) up.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  list_ = new CDeviceListView(this);
  list_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_DEVICE_LIST));
  controls_[IDC_DEVICE_LIST] = list_;

  // Hidden until Ctrl+F; what is typed filters the rows.
  find_ = new CFindField(this);
  find_->setObjectName(QStringLiteral("find_field"));
  find_->hide();
  connect(find_, &QLineEdit::textChanged, this, [this](const QString& text) { list_->SetFilter(text.toStdString()); });
  connect(find_, &CFindField::closeRequested, this, &CExplorerDlg::CloseFind);
  connect(find_, &CFindField::listRequested, this, [this] {
    if (list_->SelectedIndexes().empty()) {
      for (int row = 0; row < list_->topLevelItemCount(); ++row)
        if (!list_->topLevelItem(row)->isHidden()) {
          list_->setCurrentItem(list_->topLevelItem(row));
          break;
        }
    }
    FocusDeviceList();
  });
  auto* findKey = new QShortcut(QKeySequence::Find, this);
  findKey->setContext(Qt::WindowShortcut);
  connect(findKey, &QShortcut::activated, this, &CExplorerDlg::OpenFind);

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_STATUS_TEXT));
  controls_[IDC_STATUS_TEXT] = status_;

  countdown_ = new QLabel(this);
  countdown_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_COUNTDOWN_TEXT));
  // Flush with the list's right edge, away from the status text.
  countdown_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  controls_[IDC_COUNTDOWN_TEXT] = countdown_;

  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PROGRESS));
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  controls_[IDC_PROGRESS] = progress_;

  AddButton(IDC_SCAN, "Scan");
  exit_ = AddButton(IDC_EXIT, "Exit");
  AddButton(IDC_HELP, "&Help");
  QPushButton* web = AddButton(IDC_WEB_CONFIGURATION, WEB_BUTTON_TEXT);
  web->setDefault(true);
  AddButton(IDC_GET_CONFIGURATION, GET_BUTTON_TEXT);
  AddButton(IDC_SET_CONFIGURATION, SET_BUTTON_TEXT);
  AddButton(IDC_UPGRADE_FIRMWARE, UPGRADE_BUTTON_TEXT);
  AddButton(IDC_SET_IP_ADDRESS, SET_IP_BUTTON_TEXT);
  AddButton(IDC_TEST_CONNECTION, TEST_BUTTON_TEXT);
  // The keys of other tools of this kind: F5 scans, F1 is the help (as
  // Alt+H), each only when its button could be pressed.
  for (const auto& [key, id] : {std::pair{Qt::Key_F5, IDC_SCAN}, std::pair{Qt::Key_F1, IDC_HELP}}) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this, id = id] {
      if (controls_[id]->isEnabled()) RunCommand(id);
    });
  }

  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("ctl_%1").arg(IDC_PICTURE));
  picture->setAlignment(Qt::AlignCenter);
  picture->setPixmap(LoadResBitmap(IDB_PICTURE));
  controls_[IDC_PICTURE] = picture;

  LayOut(0);

  setWindowTitle(QString::fromStdString(LoadBrandString(IDS_TITLE)));
  // Title bar, task bar and window list take their sizes of icon 152.
  setWindowIcon(LoadResIcon(IDI_DEVICE));

  // The list lays out its own two columns; the window keeps the selection
  // visible while the focus is on a button.
  QPalette pal = list_->palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
               pal.color(QPalette::Active, QPalette::HighlightedText));
  list_->setPalette(pal);
  list_->viewport()->installEventFilter(this);
  // The buttons describe the device the actions will run on, however the
  // selection moved (mouse, arrow keys, Home/End, type-ahead), also during
  // the busy display of a queued long operation. While an exchange waits
  // UpdateActionButtons keeps them off; its EndBusy recomputes them.
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActionButtons(); });
  // A double-click is the web command: it may run while a long operation
  // is queued, never while an exchange waits on the one transport.
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) {
    if (!InExchange()) RunHandler(OnWebConfiguration(*this));
  });

  timer_ = new QTimer(this);
  timer_->setInterval(PROGRESS_TICK_MS);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &CExplorerDlg::ProgressTick);

  WireOperationQueue(*this);
  EnableActions(false);
}

CExplorerDlg::~CExplorerDlg() {
  // No worker may still use a CQuillbox when the rows go.
  WaitForRunningOperation();
  UnwireOperationQueue(*this);
  // Emptying the list changes its selection; no button is left to update.
  list_->disconnect(this);
  ClearDevices();
}

QPushButton* CExplorerDlg::AddButton(int id, const char* text) {
  auto* button = new QPushButton(QString::fromUtf8(text), this);
  button->setObjectName(QStringLiteral("ctl_%1").arg(id));
  button->setAutoDefault(false);
  controls_[id] = button;
  connect(button, &QPushButton::clicked, this, [this, id] { RunCommand(id); });
  return button;
}

void CExplorerDlg::LayOut(int statusWidth) {
  const DialogUnits du(font());
  // Every text a control of the window can show, not only the current one:
  // the window keeps its size whatever runs.
  uint8_t widestMac[6];
  WidestMac(status_->fontMetrics(), widestMac);
  QStringList statusTexts;
  for (const std::string& t : BusyStatusTexts(widestMac)) statusTexts << QString::fromStdString(t);
  QStringList countdownTexts;
  for (int seconds = 0; seconds <= UPGRADE_BUSY_MS / 1000; ++seconds)
    countdownTexts << QString::fromStdString(CountdownText(seconds * 1000, 0));

  // Busy line: the status text on the left, the countdown at the list's
  // right edge, never on top of each other.
  du.Place(status_, 18, 143, 152, 8);
  du.Place(countdown_, 178, 143, 70, 8);
  WidenToFit(status_, statusTexts);
  if (status_->width() < statusWidth) status_->resize(statusWidth, status_->height());
  WidenToFit(countdown_, countdownTexts);
  statusWidth_ = status_->width();
  const int left = du.X(18);
  // Enough space that the two texts never read as one sentence.
  const int gap = du.X(8);
  // Scan, Exit/Cancel and Help in a row below the progress bar.
  struct RowButton {
    int id;
    int dluWidth;
    QStringList texts;
  };
  const RowButton row[] = {{IDC_SCAN, 55, {QStringLiteral("Scan")}},
                           {IDC_EXIT, 50, {QStringLiteral("Exit"), QStringLiteral("Cancel")}},
                           {IDC_HELP, 50, {QStringLiteral("&Help")}}};
  int x = left;
  for (const RowButton& b : row) {
    QWidget* button = controls_[b.id];
    button->setGeometry(x, du.Y(183), du.X(b.dluWidth), du.Y(14));
    WidenToFit(button, b.texts);
    x += button->width() + du.X(10);
  }
  const int rowWidth = x - du.X(10) - left;
  const int listWidth = std::max({du.X(230), status_->width() + gap + countdown_->width(), rowWidth});
  list_->setGeometry(left, du.Y(14), listWidth, du.Y(124));
  progress_->setGeometry(left, du.Y(155), listWidth, du.Y(17));
  status_->move(left, status_->y());
  status_->resize(listWidth - gap - countdown_->width(), status_->height());
  countdown_->move(left + listWidth - countdown_->width(), countdown_->y());

  // The action column right of the list, all buttons as wide as the widest
  // text needs (button 1 also reads "Configuration").
  const int column = left + listWidth + du.X(10);
  const struct {
    int id;
    int y;
  } actions[] = {{IDC_WEB_CONFIGURATION, 13}, {IDC_GET_CONFIGURATION, 33}, {IDC_SET_CONFIGURATION, 53},
                 {IDC_UPGRADE_FIRMWARE, 73},  {IDC_SET_IP_ADDRESS, 93},     {IDC_TEST_CONNECTION, 113}};
  int buttonWidth = du.X(65);
  for (const auto& a : actions) {
    QWidget* button = controls_[a.id];
    button->resize(du.X(65), du.Y(14));
    QStringList texts{static_cast<QPushButton*>(button)->text()};
    if (a.id == IDC_WEB_CONFIGURATION) texts << QString::fromUtf8(WEB_BUTTON_TEXT) << QString::fromUtf8(TELNET_BUTTON_TEXT);
    buttonWidth = std::max(buttonWidth, TextSizeNeeded(button, texts).width());
  }
  for (const auto& a : actions) controls_[a.id]->setGeometry(column, du.Y(a.y), buttonWidth, du.Y(14));
  const int pictureWidth = du.X(67) + buttonWidth - du.X(65);
  controls_[IDC_PICTURE]->setGeometry(column, du.Y(135), pictureWidth, du.Y(62));

  // The least size is the laid-out one; a bigger window gives its extra
  // room to the list, the action column and the picture keep to the right,
  // the busy line and the Scan row to the bottom.
  placements_.clear();
  const auto keep = [this](QWidget* w, bool moveX, bool moveY, bool growW, bool growH) {
    placements_.push_back({w, w->geometry(), moveX, moveY, growW, growH});
  };
  keep(list_, false, false, true, true);
  keep(status_, false, true, true, false);
  keep(countdown_, true, true, false, false);
  keep(progress_, false, true, true, false);
  for (const RowButton& b : row) keep(controls_[b.id], false, true, false, false);
  for (const auto& a : actions) keep(controls_[a.id], true, false, false, false);
  keep(controls_[IDC_PICTURE], true, true, false, false);
  const QSize least(column + pictureWidth + du.X(7), du.Y(210));
  findGap_ = du.Y(3);
  setMinimumSize(least);
  if (!laidOut_) {
    laidOut_ = true;
    resize(least);
  } else if (width() < least.width() || height() < least.height()) {
    resize(size().expandedTo(least));
  }
  Arrange();
}

void CExplorerDlg::Arrange() {
  if (placements_.empty()) return;
  const QSize least = minimumSize();
  const int dx = std::max(0, width() - least.width());
  const int dy = std::max(0, height() - least.height());
  for (const Placement& p : placements_) {
    QRect r = p.base;
    if (p.moveX) r.translate(dx, 0);
    if (p.moveY) r.translate(0, dy);
    if (p.growW) r.setWidth(r.width() + dx);
    if (p.growH) r.setHeight(r.height() + dy);
    p.widget->setGeometry(r);
  }
  if (find_->isVisible()) {
    // The find field takes the foot of the list's room.
    const QRect list = list_->geometry();
    const int h = find_->sizeHint().height();
    list_->setGeometry(list.x(), list.y(), list.width(), std::max(h, list.height() - h - findGap_));
    find_->setGeometry(list.x(), list_->geometry().bottom() + 1 + findGap_, list.width(), h);
  }
}

void CExplorerDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Arrange();
}

void CExplorerDlg::OpenFind() {
  find_->show();
  Arrange();
  find_->setFocus(Qt::ShortcutFocusReason);
  find_->selectAll();
}

void CExplorerDlg::CloseFind() {
  find_->clear();  // the filter goes with the text
  find_->hide();
  Arrange();
  FocusDeviceList();
}



std::vector<CQuillbox*> CExplorerDlg::ListDevices(std::vector<std::unique_ptr<DeviceRecord>> records) {
  DeviceRecordArray& array = *records_;
  int count = 0;
  for (auto& record : records) {
    if (count == MAX_DEVICES) break;
    array[static_cast<size_t>(count++)] = std::move(record);
  }
  recordCount_ = count;
  FillDevices(array, count);
  std::vector<CQuillbox*> rows;
  for (int row = 0; row < list_->topLevelItemCount(); ++row) rows.push_back(DeviceAt(row));
  return rows;
}

CQuillbox* CExplorerDlg::DeviceAt(int row) const { return devices_.At(list_->IndexAt(row)); }

void CExplorerDlg::FillDevices(DeviceRecordArray& records, int count) {
  CQuillbox* selected = SelectedDevice();
  // The rows name devices by index, and the merge renumbers them: no row
  // may outlive its numbering, whatever a selection signal reads meanwhile.
  list_->ClearDeviceList();
  devices_.Merge(records, count);
  ShowRows();
  SelectDevice(selected);
}

void CExplorerDlg::RefreshDevices() {
  CQuillbox* selected = SelectedDevice();
  ShowRows();
  SelectDevice(selected);
}

void CExplorerDlg::ShowRows() {
  std::vector<std::string> vias;
  vias.reserve(static_cast<size_t>(devices_.Size()));
  for (int i = 0; i < devices_.Size(); ++i) vias.push_back(devices_.At(i) ? ViaOf(*devices_.At(i)).text : std::string());
  list_->ShowRows(BuildListRows(devices_.Records(), vias));
}

void CExplorerDlg::ClearDevices() {
  // The rows first: a selection signal they send still finds its device.
  list_->ClearDeviceList();
  // The next list comes in the scan's order, whatever was clicked before.
  list_->ResetOrder();
  batch_.Clear();
  refusedEntries_.clear();
  links_.clear();
  vias_.clear();
  devices_.Clear();
}

void CExplorerDlg::ShowBatchStatus(const CQuillbox& q) {
  if (!batch_.Several()) return;
  const int position = batch_.PositionOf(&q);
  if (position == 0) return;
  BeginBusy(OperationBudgetMs(batch_.Kind()),
            BatchStatusText(OperationStatusText(batch_.Kind(), DeviceMacText(q)), position, batch_.Count()));
}

bool CExplorerDlg::IsPresetStoreFile(const std::string& path) const {
  return !path.empty() && std::find(presetStores_.begin(), presetStores_.end(), path) != presetStores_.end();
}

const NetworkDialogData* CExplorerDlg::RefusedNetworkEntry(const CQuillbox* q) const {
  auto it = refusedEntries_.find(q);
  return it == refusedEntries_.end() ? nullptr : &it->second;
}

void CExplorerDlg::RememberRefusedNetworkEntry(const CQuillbox* q, const NetworkDialogData& data) {
  NetworkDialogData kept = data;
  kept.password.clear();  // never kept beyond its request
  refusedEntries_[q] = kept;
}

DeviceVia CExplorerDlg::ViaOf(const CQuillbox& q) const {
  if (!q.record) return {};
  auto it = vias_.find(MacKey(q.record->mac()));
  return it == vias_.end() ? DeviceVia{} : it->second;
}

void CExplorerDlg::SetTargetsText(const std::string& text) {
  targetsText_ = text;
  scope_ = SessionScope(text);
}

std::string CExplorerDlg::LinkOf(const CQuillbox& q) const {
  if (!q.record) return {};
  auto it = links_.find(MacKey(q.record->mac()));
  return it == links_.end() ? std::string() : it->second;
}

void CExplorerDlg::FocusDeviceList() { list_->setFocus(Qt::OtherFocusReason); }

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
    case IDC_SCAN: RunHandler(Scan(*this)); break;
    case IDC_EXIT: CancelOrExit(); break;
    case IDC_HELP: OpenHelp(); break;
    case IDC_WEB_CONFIGURATION: RunHandler(OnWebConfiguration(*this)); break;
    case IDC_GET_CONFIGURATION: OnGetConfiguration(*this); break;
    case IDC_SET_CONFIGURATION: OnSetConfiguration(*this); break;
    case IDC_UPGRADE_FIRMWARE: OnUpgradeFirmware(*this); break;
    case IDC_SET_IP_ADDRESS: RunHandler(OnSetIpAddress(*this)); break;
    case IDC_TEST_CONNECTION: RunHandler(OnTestConnection(*this)); break;
    case IDM_ABOUTBOX: ShowAbout(); break;
    case IDM_OTHER_NETWORKS: EditOtherNetworks(); break;
    default: break;
  }
}

void CExplorerDlg::RunHandler(QCoro::Task<> handler) {
  ++handlers_;
  // Whoever started it does not wait: the task cleans up after itself.
  auto counted = Finish(*this, std::move(handler));
}

QCoro::Task<> CExplorerDlg::Finish(CExplorerDlg& dlg, QCoro::Task<> handler) {
  co_await handler;
  --dlg.handlers_;
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
  // A text nobody planned room for still shows whole: the window grows.
  const QString status = QString::fromStdString(text);
  const int need = TextSizeNeeded(status_, {status}).width();
  if (need > statusWidth_) LayOut(need);
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
  sinceBusyEnded_.start();
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
  web->setText(QString::fromUtf8(WEB_BUTTON_TEXT));
  std::vector<const DeviceRecord*> selected;
  for (CQuillbox* q : SelectedDevices()) {
    // A row without a record can only be refused by the commands.
    if (!q->record) {
      EnableActions(false);
      return;
    }
    selected.push_back(q->record.get());
  }
  const SelectionOffers s = OffersForSelection(selected);
  const std::pair<int, const ActionOffer*> offers[] = {
      {IDC_WEB_CONFIGURATION, &s.web}, {IDC_GET_CONFIGURATION, &s.getConfig}, {IDC_SET_CONFIGURATION, &s.setConfig},
      {IDC_UPGRADE_FIRMWARE, &s.upgrade}, {IDC_SET_IP_ADDRESS, &s.setIp},     {IDC_TEST_CONNECTION, &s.test}};
  for (const auto& [id, offer] : offers) {
    controls_[id]->setEnabled(offer->enabled);
    controls_[id]->setToolTip(offer->enabled ? QString() : QString::fromStdString(offer->whyNot));
  }
  if (s.telnetCaption) web->setText(QString::fromUtf8(TELNET_BUTTON_TEXT));
}

CQuillbox* CExplorerDlg::SelectedDevice() const { return devices_.At(list_->SelectedIndex()); }

std::vector<CQuillbox*> CExplorerDlg::SelectedDevices() const {
  std::vector<CQuillbox*> out;
  for (int index : list_->SelectedIndexes())
    if (CQuillbox* q = devices_.At(index)) out.push_back(q);
  return out;
}

void CExplorerDlg::SelectDevice(CQuillbox* q) {
  if (const int index = devices_.IndexOf(q); index >= 0) list_->SelectIndex(index);
}

void CExplorerDlg::CancelOrExit() {
  if (QueueBusy()) {
    CancelAllOperations();
    // What the batch had left will not run.
    batch_.Clear();
    ForgetPresetStoreFiles();
    return;
  }
  // An exchange still waiting after a report ended the busy display is
  // cancelled too: closing would pull the window from under it.
  if (busy_ || InExchange()) {
    if (InExchange()) exchangeCancelled_ = true;
    EndBusy();
    deviceExchanges_.Cancel();
    return;
  }
  // Cancel turns into Exit under the pointer: the second click of a double
  // click must not throw the list away.
  if (sinceBusyEnded_.isValid() && ExitGuarded(std::chrono::milliseconds(sinceBusyEnded_.elapsed()))) return;
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
  // Shown, not waited for: the handler returns at once and the item's
  // action comes through the event loop.
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("window_menu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addAction(QString::fromStdString(aboutText), this, [this] { PostCommand(IDM_ABOUTBOX); });
  menu->addAction(QString::fromStdString(OTHER_NETWORKS_MENU), this, [this] { PostCommand(IDM_OTHER_NETWORKS); });
  menu->popup(event->globalPos());
}

void CExplorerDlg::EditOtherNetworks() {
  // Not while a scan or Set IP address uses the scope.
  if (IsBusy() || InExchange()) return;
  if (std::optional<std::string> text = Ui().TargetsDialog(targetsText_)) SetTargetsText(*text);
}

void CExplorerDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CExplorerDlg::OpenHelp() { ShowHelpFile(ui_, HelpFilePath()); }
