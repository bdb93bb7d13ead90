// Responsiveness of the main window during exchanges, and the cost of
// listing a full plant. Run inside the private network:
//   scripts/netns.sh build/bin/bench_app_window
#include <arpa/inet.h>

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "explorer/app/ExplorerDlg.h"
#include "support/NetGuard.h"
#include "support/SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers every box at once; the network dialog gives `network` when set.
class SilentUi : public ModalUi {
 public:
  void MessageBox(const std::string&, const std::string&, BoxIcon) override {}
  void DetailedMessageBox(const std::string&, const std::string&, BoxIcon, const std::string&) override {}
  std::optional<std::string> FileDialog(const FileDialogRequest&) override { return std::nullopt; }
  std::optional<PasswordAnswer> PasswordPrompt(const std::string&, const std::string&, bool) override {
    return std::nullopt;
  }
  bool Question(const std::string&, const std::string&) override { return false; }
  std::optional<std::string> FolderDialog(const std::string&, const std::string&) override { return std::nullopt; }
  bool NetworkDialog(NetworkDialogData& data) override {
    if (!network) return false;
    data = *network;
    return true;
  }
  std::optional<std::string> TargetsDialog(const std::string&) override { return std::nullopt; }
  std::optional<NetworkDialogData> network;
};

struct Stats {
  size_t n = 0;
  double mean = 0, min = 0, max = 0, stddev = 0, worstDeviation = 0;
};

Stats Summarise(const std::vector<double>& v, double goal) {
  Stats s;
  s.n = v.size();
  if (v.empty()) return s;
  s.min = *std::min_element(v.begin(), v.end());
  s.max = *std::max_element(v.begin(), v.end());
  for (double x : v) s.mean += x;
  s.mean /= static_cast<double>(v.size());
  for (double x : v) {
    s.stddev += (x - s.mean) * (x - s.mean);
    s.worstDeviation = std::max(s.worstDeviation, std::fabs(x - goal));
  }
  s.stddev = std::sqrt(s.stddev / static_cast<double>(v.size()));
  return s;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Intervals between progress ticks while the window runs `command` (which
// shows its own busy display).
std::vector<double> TickIntervals(CExplorerDlg& dlg, int command) {
  std::vector<Clock::time_point> ticks;
  auto* bar = static_cast<QProgressBar*>(dlg.Control(IDC_PROGRESS));
  auto conn = QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) {
    if (v > 0) ticks.push_back(Clock::now());
  });
  dlg.RunCommand(command);
  QObject::disconnect(conn);
  std::vector<double> out;
  for (size_t i = 1; i < ticks.size(); ++i) out.push_back(Ms(ticks[i] - ticks[i - 1]));
  return out;
}

void PrintRow(const char* what, const Stats& s, const char* goal) {
  std::printf("| %-34s | %5zu | %7.1f | %7.1f | %7.1f | %6.1f | %9.1f | %-22s |\n", what, s.n, s.mean, s.min,
              s.max, s.stddev, s.worstDeviation, goal);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::string why;
  if (!testsupport::InPrivateNetwork(&why)) {
    std::fprintf(stderr, "bench_app_window: run it through scripts/netns.sh (%s)\n", why.c_str());
    return 77;
  }
  auto sim = testsupport::SimProcess({"--generate", "200"});
  if (!sim.Ready()) {
    std::fprintf(stderr, "bench_app_window: simulator: %s\n", sim.Error().c_str());
    return 1;
  }

  SilentUi ui;
  CExplorerDlg dlg(ui);
  dlg.show();
  QCoreApplication::processEvents();

  std::printf("| %-34s | %5s | %7s | %7s | %7s | %6s | %9s | %-22s |\n", "measure (ms)", "n", "mean", "min", "max",
              "stddev", "worst dev", "goal");
  std::printf("|%s|\n", std::string(127, '-').c_str());

  // A scan (its discovery passes) with 200 simulated devices answering.
  const auto scanTicks = TickIntervals(dlg, IDC_SCAN);
  PrintRow("tick interval, scan", Summarise(scanTicks, 100), "100 +- 5");

  // A set-network wait that nobody answers: the whole 4 s deadline.
  {
    std::vector<std::unique_ptr<DeviceRecord>> absent;
    absent.push_back(std::make_unique<DeviceRecord>());
    const uint8_t mac[6] = {0x02, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    absent.back()->setMac(mac);
    absent.back()->setIp(inet_addr("10.9.9.8"));
    dlg.SelectDevice(dlg.ListDevices(std::move(absent)).front());
    ui.network = NetworkDialogData{inet_addr("10.9.9.9"), inet_addr("255.0.0.0"), "none"};
  }
  const auto setTicks = TickIntervals(dlg, IDC_SET_IP_ADDRESS);
  ui.network.reset();
  PrintRow("tick interval, set-network wait", Summarise(setTicks, 100), "100 +- 5");

  // A Cancel click in the middle of a scan's first pass, to the scan's
  // return (its rows listed).
  std::vector<double> cancels;
  auto* exitButton = static_cast<QPushButton*>(dlg.Control(IDC_EXIT));
  for (int i = 0; i < 10; ++i) {
    Clock::time_point clicked{};
    QTimer::singleShot(300 + 37 * i, &dlg, [&] {
      clicked = Clock::now();
      exitButton->click();
    });
    dlg.RunCommand(IDC_SCAN);
    const auto returned = Clock::now();
    if (clicked != Clock::time_point{}) cancels.push_back(Ms(returned - clicked));
  }
  PrintRow("Cancel click to scan return", Summarise(cancels, 0), "< 50");

  // Listing a full plant: fresh objects, then a refresh keeping them.
  std::vector<double> fresh, refresh;
  auto records = std::make_unique<DeviceRecordArray>();
  for (int round = 0; round < 3; ++round) {
    dlg.ClearDevices();
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < MAX_DEVICES; ++i) {
        auto r = std::make_unique<DeviceRecord>();
        const uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x30, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        r->setMac(mac);
        r->setKind(static_cast<uint16_t>(i % 5));
        // Scrambled addresses so the sort has work to do; some duplicates.
        const uint32_t host = (static_cast<uint32_t>(i) * 2654435761u) % 3000u;
        r->setIp(htonl(0x0A000000u | host));
        r->setMask(inet_addr("255.0.0.0"));
        (*records)[static_cast<size_t>(i)] = std::move(r);
      }
      const auto t0 = Clock::now();
      dlg.FillDevices(*records, MAX_DEVICES);
      const double ms = Ms(Clock::now() - t0);
      (pass == 0 ? fresh : refresh).push_back(ms);
    }
  }
  PrintRow("FillDevices 4096, new objects", Summarise(fresh, 0), "< 1000");
  PrintRow("FillDevices 4096, kept objects", Summarise(refresh, 0), "< 1000");
  std::printf("(worst dev: largest distance from the goal value; for the last three rows, the largest time)\n");
  return 0;
}
