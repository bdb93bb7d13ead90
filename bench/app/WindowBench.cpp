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

class SilentUi : public ModalUi {
 public:
  void MessageBox(const std::string&, const std::string&, BoxIcon) override {}
  std::optional<std::string> FileDialog(const FileDialogRequest&) override { return std::nullopt; }
  std::optional<std::string> PasswordPrompt(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  bool NetworkDialog(NetworkDialogData&) override { return false; }
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

// Intervals between progress ticks while `exchange` runs under a busy display.
template <typename Exchange>
std::vector<double> TickIntervals(CExplorerDlg& dlg, int busyMs, Exchange exchange) {
  std::vector<Clock::time_point> ticks;
  auto* bar = static_cast<QProgressBar*>(dlg.Control(IDC_PROGRESS));
  auto conn = QObject::connect(bar, &QProgressBar::valueChanged, [&](int v) {
    if (v > 0) ticks.push_back(Clock::now());
  });
  dlg.BeginBusy(busyMs, "Benchmark");
  exchange();
  dlg.EndBusy();
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

  // One discovery pass with 200 simulated devices answering.
  const auto scanTicks = TickIntervals(dlg, 12000, [&] {
    int count = 0;
    dlg.Transport().Discover(dlg.Records(), count);
    dlg.RecordCount() = count;
  });
  PrintRow("tick interval, discovery pass", Summarise(scanTicks, 100), "100, jitter < 20");

  // A set-network wait that nobody answers: the whole 4 s deadline.
  const auto setTicks = TickIntervals(dlg, 4000, [&] {
    SetNetworkRequest request;
    request.mac = {0x02, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    request.ip = inet_addr("10.9.9.9");
    request.mask = inet_addr("255.0.0.0");
    request.password = "none";
    dlg.Transport().SetNetworkParameters(request);
  });
  PrintRow("tick interval, set-network wait", Summarise(setTicks, 100), "100, jitter < 20");

  // A Cancel click in the middle of a discovery pass, to the pass's return.
  std::vector<double> cancels;
  auto* exitButton = static_cast<QPushButton*>(dlg.Control(IDC_EXIT));
  for (int i = 0; i < 10; ++i) {
    Clock::time_point clicked{};
    QTimer::singleShot(300 + 37 * i, &dlg, [&] {
      clicked = Clock::now();
      exitButton->click();
    });
    dlg.BeginBusy(12000, "Benchmark");
    int count = 0;
    dlg.Transport().Discover(dlg.Records(), count);
    const auto returned = Clock::now();
    dlg.EndBusy();
    if (clicked != Clock::time_point{}) cancels.push_back(Ms(returned - clicked));
  }
  PrintRow("Cancel click to exchange return", Summarise(cancels, 0), "< 50");

  // Listing a full plant: fresh objects, then a refresh keeping them.
  std::vector<double> fresh, refresh;
  for (int round = 0; round < 3; ++round) {
    dlg.DeviceList().ClearDeviceList();
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
        dlg.Records()[static_cast<size_t>(i)] = std::move(r);
      }
      const auto t0 = Clock::now();
      dlg.DeviceList().FillDeviceList(dlg.Records(), MAX_DEVICES);
      const double ms = Ms(Clock::now() - t0);
      (pass == 0 ? fresh : refresh).push_back(ms);
    }
  }
  PrintRow("FillDeviceList 4096, new objects", Summarise(fresh, 0), "< 1000");
  PrintRow("FillDeviceList 4096, kept objects", Summarise(refresh, 0), "< 1000");
  std::printf("(worst dev: largest distance from the goal value; for the last three rows, the largest time)\n");
  return 0;
}
