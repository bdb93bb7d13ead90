#include "explorer/ctl/DeviceCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "explorer/ctl/Console.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/OperationQueue.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ConnectionTest.h"
#include "explorer/protocol/DeviceSocket.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/protocol/Scan.h"
#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/Strings.h"
#include "explorer/session/DeviceRules.h"
#include "explorer/session/Operations.h"
#include "explorer/session/Outcome.h"
#include "explorer/session/Selection.h"
#include "explorer/upgrade/UpgradeLibrary.h"
#include "explorer/upgrade/UpgradeWorker.h"
#include "net/Interfaces.h"
#include "net/Socket.h"

namespace ctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(100);

long SecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
}

// "TEXT, 12 s of 300 s" on the progress line, at most every 200 ms.
class Countdown {
 public:
  Countdown(std::string text, long budgetSeconds)
      : text_(std::move(text)), budget_(budgetSeconds), start_(Clock::now()) {}
  void Tick() {
    Console& c = Console::Get();
    if (!c.ShowsProgress()) return;
    const auto now = Clock::now();
    if (now - shown_ < std::chrono::milliseconds(200)) return;
    shown_ = now;
    c.Status(text_ + ", " + std::to_string(SecondsSince(start_)) + " s of " +
             std::to_string(budget_) + " s");
  }
  ~Countdown() { Console::Get().ClearStatus(); }
  Countdown(const Countdown&) = delete;
  Countdown& operator=(const Countdown&) = delete;

 private:
  std::string text_;
  long budget_;
  Clock::time_point start_;
  Clock::time_point shown_{};
};

// The main thread plays the explorer's user-interface thread: it starts the
// operation on the queue and waits for the worker's report; Ctrl-C or the
// deadline cancels it as the explorer's Cancel button does.
struct Run {
  bool started = false;  // the queue refused to start it
  RunEnd end;
};

Run RunOperation(BlockingOperation& op, CQuillbox& q, int32_t kind, Countdown& countdown,
                 int timeoutSeconds) {
  Run run;
  {
    SignalsBlockedForNewThreads blocked;
    run.started = op.Start(q, kind);
  }
  if (!run.started) return run;
  run.end = op.Wait(q, std::chrono::seconds(timeoutSeconds), [] { return Interrupted(); },
                    [&countdown] { countdown.Tick(); });
  return run;
}

void Fail(const std::string& text) { Console::Get().Err(text); }

std::string DeviceName() { return LoadBrandString(IDS_DEVICE_NAME); }

std::unique_ptr<CQuillbox> DeviceObject(const DeviceTarget& target, const std::string& password) {
  auto q = std::make_unique<CQuillbox>();
  q->record = std::make_unique<DeviceRecord>(target.record);
  q->password = password;
  return q;
}

// Says what an operation's outcome is and returns its exit status. A
// refused password ends here: no second attempt, no prompt.
int Report(int32_t kind, const CQuillbox& q, const Run& run, int timeoutSeconds,
           const std::string& leftBehind) {
  OperationEnd end;
  end.kind = kind;
  end.run = run.end;
  end.errorText = q.errorText;
  end.budgetSeconds = timeoutSeconds;
  end.leftBehind = leftBehind;
  const Outcome outcome = OutcomeOf(end);
  switch (outcome.kind) {
    case OutcomeKind::Success:
      Console::Get().Out(outcome.text + "\n");
      return EXIT_OK;
    case OutcomeKind::Cancelled:
      Fail(outcome.text);
      return EXIT_INTERRUPTED;
    case OutcomeKind::WrongPassword:
      Fail(WithPasswordHint(outcome.text));
      return EXIT_WRONG_PASSWORD;
    case OutcomeKind::TimedOut:
    case OutcomeKind::Closed:
    case OutcomeKind::Failed:
      break;
  }
  Fail(outcome.text);
  return EXIT_FAILED;
}

// Without --mask a device keeps its mask, unless it has none a device can
// take (one without an address has 0.0.0.0): then it gets the mask of the
// adapter its reply came through, whose network it is on.
uint32_t DefaultMask(const DeviceTarget& target) {
  const uint32_t own = target.record.mask();
  if (IsValidNetworkMask(own)) return own;
  const uint32_t adapter = AdapterMask(target.link);
  return adapter != 0 ? adapter : own;
}

// Says why the device refuses `action`, if it does.
bool Refuses(const DeviceTarget& target, DeviceAction action) {
  const Refusal refusal = RefusalOf(target.record, action);
  // Kinds whose firmware takes no upgrade still go to the library, which
  // says so in its own words.
  if (refusal == Refusal::None || refusal == Refusal::NoFirmwareUpgrade) return false;
  if (refusal == Refusal::NoAddress)
    Fail(FormatMac(target.record.mac()) +
         " has no IP address yet (0.0.0.0); give it one with set-ip first");
  else
    Fail("A device of " + RefusalReason(target.record, refusal));
  return true;
}

// The device at `ip` alone, asked once: EXIT_OK with it in `target`,
// EXIT_NOT_FOUND when nobody answered from there (the scan then looks, as
// for a device that moved or one behind a router that drops unicast).
int AskAtAddress(uint32_t ip, DeviceTarget& target) {
  CDeviceSocket transport;
  transport.SetPumpHook([&] {
    if (Interrupted()) transport.CancelRequest();
  });
  DeviceRecord record;
  const int32_t rc = transport.AskAddress(ip, &record);
  transport.SetPumpHook(nullptr);
  if (Interrupted()) return EXIT_INTERRUPTED;
  if (rc != 0) return EXIT_NOT_FOUND;
  target.record = record;
  // Asked alone, a duplicate address cannot show; the test and the
  // commands that follow go to the one device that answered.
  target.duplicateIp = false;
  target.link = transport.LinkOfDevice(record.mac()).name;
  target.via = ViaAddress(ip);
  return EXIT_OK;
}

}  // namespace

int BindLibrary() {
  const int32_t status = BindUpgradeLibrary();
  if (status == 0) return EXIT_OK;
  Fail("explorerctl: " + BindingFailureText(status));
  return EXIT_FAILED;
}

int ResolveTarget(const TargetArgs& args, DeviceTarget& target) {
  if (!args.recordHex.empty()) {
    std::optional<DeviceRecord> record = RecordFromHex(args.recordHex);
    if (!record) {
      Fail("explorerctl: --record needs 32 hexadecimal digits");
      return EXIT_USAGE;
    }
    target.record = *record;
    target.duplicateIp = args.duplicateIp;
    return EXIT_OK;
  }
  std::optional<DeviceSpec> spec = ParseDeviceSpec(args.device);
  if (!spec) {
    Fail("explorerctl: DEVICE must be an IPv4 address or an Ethernet address, not \"" +
         args.device + "\"");
    return EXIT_USAGE;
  }
  if (!spec->byMac && AskAloneFirst(spec->ip)) {
    const int asked = AskAtAddress(spec->ip, target);
    if (asked != EXIT_NOT_FOUND) return asked;
  }
  ScanRequest request;
  request.passes = args.passes;
  request.scope = args.scope;
  ScanResult scan = ScanDevices(request);
  if (scan.exitCode == EXIT_INTERRUPTED) return scan.exitCode;
  if (scan.rows.empty()) {
    Fail(scan.failureText);
    // With nobody there, no device answers to DEVICE either.
    return scan.exitCode == EXIT_NO_DEVICES ? EXIT_NOT_FOUND : scan.exitCode;
  }
  FoundDevice found = FindDevice(scan.rows, *spec);
  if (found.exitCode != EXIT_OK) {
    Fail(found.error);
    return found.exitCode;
  }
  target.record = scan.rows[found.index].record;
  target.duplicateIp = scan.rows[found.index].duplicateIp;
  target.link = scan.rows[found.index].link;
  target.via = scan.rows[found.index].via;
  return EXIT_OK;
}

int32_t SendNetworkParameters(const DeviceTarget& target, uint32_t ip, uint32_t mask, const std::string& password) {
  NetworkDialogData data;
  data.ip = ip;
  data.mask = mask;
  data.password = password;
  const SetNetworkRequest request = FillSetNetworkRequest(target.record, data);

  CDeviceSocket transport;
  Countdown countdown(SetNetworkStatusText(DeviceName()), SET_NETWORK_BUSY_MS / 1000);
  transport.SetPumpHook([&] {
    if (Interrupted()) transport.CancelRequest();
    countdown.Tick();
  });
  const int32_t result = transport.SetNetworkParameters(request, target.via.alsoTo);
  transport.SetPumpHook(nullptr);
  Console::Get().ClearStatus();
  return result;
}

bool AnswersAt(uint32_t ip, const DeviceRecord& device) {
  CDeviceSocket transport;
  transport.SetPumpHook([&] {
    if (Interrupted()) transport.CancelRequest();
  });
  DeviceRecord heard;
  // A device may take a moment to move its interface to the new address.
  for (int attempt = 0; attempt < CONFIRM_ATTEMPTS && !Interrupted(); ++attempt) {
    if (transport.AskAddress(ip, &heard) == 0 && MacKey(heard.mac()) == MacKey(device.mac())) return true;
  }
  return false;
}

int SetIpCommand(const DeviceTarget& target, uint32_t ip, std::optional<uint32_t> newMask,
                 const std::string& password) {
  const std::optional<uint32_t> mask = newMask ? newMask : DefaultMask(target);
  if (!IsValidNetworkMask(*mask)) {
    // The device would refuse it after 4 s; only a default gets here.
    Fail(FormatMac(target.record.mac()) + " has no network mask to keep (" + FormatIp(*mask) +
         ") and none could be taken from the adapter it answered through; give one with --mask MASK");
    return EXIT_FAILED;
  }
  const int32_t result = SendNetworkParameters(target, ip, *mask, password);
  if (result == 0) {
    Console::Get().Out(FormatMac(target.record.mac()) + " " + FormatIp(ip) + " " +
                       FormatIp(*mask) + "\n");
    return EXIT_OK;
  }
  if (Interrupted()) return EXIT_INTERRUPTED;
  std::string text = ErrorText(result);
  if (result == ERR_INVALID_PASSWORD) text = WithPasswordHint(text);
  // The mask may be a default the user never saw: say which, and how to choose.
  if (result == ERR_CANNOT_SET_MASK)
    text += " (the mask sent was " + FormatIp(*mask) + "; give another with --mask MASK)";
  Fail(std::string(SET_NETWORK_FAILED_CAPTION) + " " + text);
  return result == ERR_INVALID_PASSWORD ? EXIT_WRONG_PASSWORD : EXIT_FAILED;
}

int TestCommand(const DeviceTarget& target) {
  CDeviceSocket transport;
  Countdown countdown(ConnectionTestStatusText(target.record), CONNECTION_TEST_BUSY_MS / 1000);
  transport.SetPumpHook([&] {
    if (Interrupted()) transport.CancelRequest();
    countdown.Tick();
  });
  const bool ok = CheckReachable(target.record, target.duplicateIp, [&](uint32_t ip, uint16_t port) {
    return transport.ProbeConnect(ip, port);
  });
  transport.SetPumpHook(nullptr);
  Console::Get().ClearStatus();
  if (Interrupted()) return EXIT_INTERRUPTED;
  if (ok) {
    Console::Get().Out(std::string(CONNECTION_OK_TEXT) + "\n");
    return EXIT_OK;
  }
  Fail(CONNECTION_FAILED_TEXT);
  return EXIT_FAILED;
}

int ConfigGetCommand(const DeviceTarget& target, const std::string& file,
                     const std::string& password, int timeoutSeconds) {
  if (Refuses(target, DeviceAction::GetConfiguration)) return EXIT_FAILED;
  auto q = DeviceObject(target, password);
  WireOperationWorkers([file](const FileDialogRequest&, const HttpRequest& request) -> std::optional<std::string> {
    if (request.Closed()) return std::nullopt;
    return file;
  });
  BlockingOperation op;
  Countdown countdown(OperationStatusText(OPERATION_RETRIEVE, FormatMac(target.record.mac())),
                      timeoutSeconds);
  const Run run = RunOperation(op, *q, OPERATION_RETRIEVE, countdown, timeoutSeconds);
  if (!run.started) return EXIT_FAILED;
  // Standard output carries the configuration itself: the verdict goes to
  // standard error, where it cannot end up inside the file.
  const bool toStandardOutput = file == CONFIG_STANDARD_OUTPUT;
  if (toStandardOutput && run.end.result == 0) {
    Console::Get().Err(OPERATION_SUCCESS_TEXT);
    return EXIT_OK;
  }
  return Report(OPERATION_RETRIEVE, *q, run, timeoutSeconds,
                toStandardOutput ? "what was written to standard output is incomplete"
                                 : file + " was left as it was");
}

int ConfigPutCommand(const DeviceTarget& target, const std::string& file,
                     const std::string& password, int timeoutSeconds) {
  if (Refuses(target, DeviceAction::SetConfiguration)) return EXIT_FAILED;
  auto q = DeviceObject(target, password);
  q->configPath = file;
  WireOperationWorkers(nullptr);
  BlockingOperation op;
  Countdown countdown(OperationStatusText(OPERATION_UPLOAD, FormatMac(target.record.mac())),
                      timeoutSeconds);
  const Run run = RunOperation(op, *q, OPERATION_UPLOAD, countdown, timeoutSeconds);
  if (!run.started) return EXIT_FAILED;
  return Report(OPERATION_UPLOAD, *q, run, timeoutSeconds, "the upload was cancelled");
}

int UpgradeCommand(const DeviceTarget& target, const std::string& image,
                   const std::string& password, bool verbose, int timeoutSeconds) {
  if (Refuses(target, DeviceAction::UpgradeFirmware)) return EXIT_FAILED;
  auto q = DeviceObject(target, password);
  q->firmwarePath = image;
  WireOperationWorkers(nullptr);
  BlockingOperation op;
  Run run;
  {
    // The library traces its FTP dialogue on standard error; only --verbose
    // shows it.
    Console::LibraryTrace trace(verbose);
    Countdown countdown(OperationStatusText(OPERATION_UPGRADE, FormatMac(target.record.mac())),
                        timeoutSeconds);
    run = RunOperation(op, *q, OPERATION_UPGRADE, countdown, timeoutSeconds);
  }
  if (!run.started) return EXIT_FAILED;
  return Report(OPERATION_UPGRADE, *q, run, timeoutSeconds, "the upgrade was cancelled");
}

namespace {

// A regular file, and a port 69 this process may bind; else says why.
bool CanServe(const std::string& image) {
  struct stat st {};
  if (::stat(image.c_str(), &st) != 0) {
    Fail(FileErrorText(FileErrorCause(errno, false), image));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Fail(FileErrorText(5, image));
    return false;
  }
  // The library's server would only note a failed bind and then wait the
  // full time for nothing: find out first, and say why.
  net::Socket probe;
  int err = probe.OpenUdp();
  if (err == 0) err = probe.Bind(net::Endpoint{0, 69});
  probe.Close();
  if (err == 0) return true;
  if (err == EACCES || err == EPERM)
    Fail("Cannot serve on TFTP port 69: binding a port below 1024 needs a privilege (run as "
         "root or give explorerctl the CAP_NET_BIND_SERVICE capability)");
  else
    Fail(std::string("Cannot serve on TFTP port 69: ") + std::strerror(err));
  return false;
}

struct ServeEnd {
  int32_t result = 0;
  bool timedOut = false;
  Clock::time_point start{};
};

// The library's wait on a thread of its own, cancelled by Ctrl-C or the
// deadline; false when the thread could not start (said already).
bool WaitForFetch(const std::string& image, int timeoutSeconds, ServeEnd& end) {
  const UpgradeLibraryBinding& lib = UpgradeLibrary();
  std::mutex mutex;  // guards done and end.result
  std::condition_variable ended;
  bool done = false;
  std::thread waiter;
  // However the wait below ends, the waiter is cancelled and joined.
  struct WaiterEnd {
    std::thread& thread;
    const UpgradeLibraryBinding& lib;
    ~WaiterEnd() {
      if (!thread.joinable()) return;
      lib.Cancel();
      thread.join();
    }
  } waiterEnd{waiter, lib};
  try {
    SignalsBlockedForNewThreads blocked;
    waiter = std::thread([&] {
      const int32_t r = lib.WaitForFile(image.c_str(), 0, nullptr);
      std::lock_guard<std::mutex> lock(mutex);
      end.result = r;
      done = true;
      ended.notify_all();
    });
  } catch (...) {
    std::string why;
    OperationFailure(std::current_exception(), why);
    Fail(why);
    return false;
  }
  end.start = Clock::now();
  Countdown countdown("Waiting for a device to fetch " + image, timeoutSeconds);
  bool cancelled = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (ended.wait_for(lock, kTick, [&] { return done; })) break;
    }
    if (!cancelled && (Interrupted() || Clock::now() - end.start >= std::chrono::seconds(timeoutSeconds))) {
      end.timedOut = !Interrupted();
      cancelled = true;
      lib.Cancel();
    }
    countdown.Tick();
  }
  waiter.join();
  return true;
}

}  // namespace

int ServeImageCommand(const std::string& image, int timeoutSeconds) {
  if (!CanServe(image)) return EXIT_FAILED;
  ServeEnd end;
  if (!WaitForFetch(image, timeoutSeconds, end)) return EXIT_FAILED;
  Console::Get().ClearStatus();
  if (Interrupted()) return EXIT_INTERRUPTED;
  // 1: a transfer ended (the library does not say how) or its own timer ran out.
  if (end.result == 1 && !end.timedOut &&
      Clock::now() - end.start < std::chrono::seconds(timeoutSeconds)) {
    Console::Get().Out("A device fetched " + image + " (transfer ended after " +
                       std::to_string(SecondsSince(end.start)) + " s)\n");
    return EXIT_OK;
  }
  if (end.result == 0) {
    Fail("The upgrade library is busy with another operation");
    return EXIT_FAILED;
  }
  Fail("No device fetched " + image + " within " + std::to_string(timeoutSeconds) + " s");
  return EXIT_FAILED;
}

}  // namespace ctl
