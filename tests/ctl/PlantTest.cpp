// explorerctl scan against thousands of devices answering at once: as an
// ordinary user held to a stock system's receive-buffer limit, and with a
// list cap (--max) below and above the window's 4096.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "net/Socket.h"
#include "tests/ctl/CtlProcess.h"
#include "tests/support/NetGuard.h"
#include "tests/support/SimProcess.h"

namespace {

using namespace std::chrono_literals;
using ctltest::CtlResult;
using ctltest::RunCtl;

std::string BinDir() {
  const char* dir = std::getenv("QUILL_BIN_DIR");
  return dir ? dir : QUILL_BIN_DIR;
}

std::string StockLimits() { return BinDir() + "/libstock_rcvbuf.so"; }

// Data rows of CSV output (the header left out) and how many distinct
// MACs (first field) they name.
struct Rows {
  size_t count = 0;
  size_t macs = 0;
};
Rows CsvRows(const std::string& csv) {
  std::istringstream in(csv);
  std::string line;
  std::set<std::string> macs;
  Rows rows;
  for (bool header = true; std::getline(in, line); header = false) {
    if (header) continue;
    ++rows.count;
    macs.insert(line.substr(0, line.find(',')));
  }
  rows.macs = macs.size();
  return rows;
}

// explorerctl as uid/gid 65534 without groups, with the stock-limits
// preload.
CtlResult ScanAsNobodyOnStockLimits(std::vector<std::string> args) {
  std::vector<std::string> argv = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", ctltest::CtlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  // An address-sanitized program would refuse a library loaded before its
  // runtime.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string asanOptions = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
  ctltest::CtlProcess p(argv, {"LD_PRELOAD=" + StockLimits(), "ASAN_OPTIONS=" + asanOptions}, "/usr/bin/setpriv");
  return p.Wait(60s);
}

// The preload really holds a program to the stock limits: as root here,
// forcing would otherwise succeed and the request would be granted whole.
void ExpectStockLimits() {
  void* library = ::dlopen(StockLimits().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);
  SetSockOpt limited = nullptr;
  void* symbol = ::dlsym(library, "setsockopt");
  ASSERT_NE(symbol, nullptr);
  std::memcpy(&limited, &symbol, sizeof limited);
  net::Socket s;
  ASSERT_EQ(s.OpenUdp(), 0);
  const int asked = 8 * 1024 * 1024;
  errno = 0;
  EXPECT_EQ(limited(s.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(limited(s.Fd(), SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked), 0);
  int granted = 0;
  ASSERT_EQ(s.ReceiveBufferSize(&granted), 0);
  EXPECT_EQ(granted, 2 * 212992);
  ::dlclose(library);
}

TEST(PlantTest, AnOrdinaryUserOnStockLimitsKeepsEveryAnswerOf4096Devices) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become uid 65534";
  const CtlResult probe = ScanAsNobodyOnStockLimits({"--version"});
  if (probe.exitCode != 0) GTEST_SKIP() << "cannot run explorerctl as uid 65534: " << probe.err;
  ExpectStockLimits();
  testsupport::SimProcess sim({"--generate", "4096", "--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE(run);
    const CtlResult r = ScanAsNobodyOnStockLimits({"scan", "--passes", "1", "--format", "csv"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const Rows rows = CsvRows(r.out);
    EXPECT_EQ(rows.count, 4096u);
    EXPECT_EQ(rows.macs, 4096u);
    // The pass ended at the default cap, which is just as many.
    EXPECT_EQ(r.err, "list full at 4096 devices; more may have answered\n");
  }
}

TEST(PlantTest, MaxEndsThePassAtItsCapSaysSoAndMayGoBeyondTheWindowsList) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  testsupport::SimProcess sim({"--generate", "4200", "--only", "udp"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const struct {
    std::vector<std::string> max;
    size_t rows;
    const char* err;
  } cases[] = {
      {{"--max", "100"}, 100, "list full at 100 devices; more may have answered\n"},
      {{}, 4096, "list full at 4096 devices; more may have answered\n"},
      {{"--max", "5000"}, 4200, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    std::vector<std::string> args = {"scan", "--passes", "1", "--format", "csv"};
    args.insert(args.end(), c.max.begin(), c.max.end());
    const CtlResult r = RunCtl(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const Rows rows = CsvRows(r.out);
    EXPECT_EQ(rows.count, c.rows);
    EXPECT_EQ(rows.macs, c.rows);
    EXPECT_EQ(r.err, c.err);
  }
  const CtlResult none = RunCtl({"scan", "--max", "0"});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_NE(none.err.find("--max"), std::string::npos) << none.err;
  EXPECT_EQ(none.out, "");
}

}  // namespace
