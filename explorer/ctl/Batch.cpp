#include "explorer/ctl/TextTable.h"
#include "explorer/ctl/Batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "explorer/ctl/Console.h"
#include "explorer/ctl/Csv.h"
#include "explorer/ctl/DeviceCommands.h"
#include "explorer/ctl/DeviceScan.h"
#include "explorer/ctl/ExitCodes.h"
#include "explorer/ctl/Fd.h"
#include "explorer/ctl/Interrupt.h"
#include "explorer/ctl/Password.h"
#include "explorer/session/DeviceRules.h"

extern char** environ;

namespace ctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kKeptOutput = 16 * 1024;
// Jobs told to stop get this long to cancel and clean up before they are killed.
constexpr auto kStopGrace = std::chrono::seconds(30);


enum class JobState { Skipped, NotFound, Waiting, Running, Done };

struct Job {
  std::string label;  // the device's MAC, or the CSV entry nobody answered for
  std::string ip;
  std::vector<std::string> args;  // after the program name
  JobState state = JobState::Waiting;
  std::string note;  // why skipped / not found
  pid_t pid = -1;
  Fd output;
  std::string captured;
  Clock::time_point start{};
  double seconds = 0;
  int exitCode = -1;  // -1: ended by a signal
};

struct Selection {
  std::vector<DeviceRow> rows;
  std::vector<std::string> missing;  // CSV entries no single device answers to
};

std::string SelfPath() {
  std::array<char, 4096> buf{};
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string("explorerctl");
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// DEVICE entries of a CSV file: its "mac" column (or "ip" column) when the
// first row names columns, as a scan's CSV does; else the first field of
// every row.
CsvRead DevicesFromCsv(const std::string& path, std::vector<std::string>& devices,
                       std::string& error) {
  std::string text;
  if (CsvRead read = ReadCsvFile(path, text, error); read != CsvRead::Ok) return read;
  std::vector<std::vector<std::string>> records;
  if (!ParseCsv(text, records, error)) {
    error = path + ": " + error;
    return CsvRead::Failed;
  }
  size_t column = 0;
  size_t first = 0;
  if (!records.empty()) {
    const std::vector<std::string>& head = records.front();
    for (const char* name : {"mac", "ip"}) {
      auto it = std::find_if(head.begin(), head.end(),
                             [&](const std::string& f) { return Lower(f) == name; });
      if (it != head.end()) {
        column = static_cast<size_t>(it - head.begin());
        first = 1;
        break;
      }
    }
  }
  for (size_t i = first; i < records.size(); ++i) {
    if (column < records[i].size() && !records[i][column].empty())
      devices.push_back(records[i][column]);
  }
  return CsvRead::Ok;
}

// The DEVICE entries of --from, checked before anything is sent.
int ReadSelection(const BatchArgs& args, std::vector<DeviceSpec>& specs) {
  if (args.selector.fromCsv.empty()) return EXIT_OK;
  std::vector<std::string> devices;
  std::string error;
  switch (DevicesFromCsv(args.selector.fromCsv, devices, error)) {
    case CsvRead::Ok: break;
    case CsvRead::Interrupted: return EXIT_INTERRUPTED;
    case CsvRead::Failed:
      Console::Get().Err("explorerctl: " + error);
      return EXIT_USAGE;
  }
  for (const std::string& d : devices) {
    std::optional<DeviceSpec> spec = ParseDeviceSpec(d);
    if (!spec) {
      Console::Get().Err("explorerctl: " + args.selector.fromCsv + ": not a DEVICE: " + d);
      return EXIT_USAGE;
    }
    specs.push_back(*spec);
  }
  return EXIT_OK;
}

Selection Select(const BatchArgs& args, const std::vector<DeviceSpec>& specs,
                 const std::vector<DeviceRow>& scanned) {
  Selection out;
  if (args.selector.all) {
    out.rows = scanned;
  } else if (args.selector.kind) {
    for (const DeviceRow& r : scanned)
      if (r.record.kind() == *args.selector.kind) out.rows.push_back(r);
  } else {
    std::set<size_t> taken;
    for (const DeviceSpec& spec : specs) {
      FoundDevice found = FindDevice(scanned, spec);
      if (found.exitCode != EXIT_OK) {
        out.missing.push_back(spec.text);
      } else if (taken.insert(found.index).second) {
        out.rows.push_back(scanned[found.index]);
      }
    }
  }
  return out;
}

// Why the explorer would not offer this command for the device, or "".
// A test is run for every device: for one without an address its failure
// is the answer asked for.
std::string NotOffered(BatchCommand command, const DeviceRecord& r) {
  switch (command) {
    case BatchCommand::Upgrade:
      return RefusalReason(r, RefusalOf(r, DeviceAction::UpgradeFirmware));
    case BatchCommand::ConfigGet:
      return RefusalReason(r, RefusalOf(r, DeviceAction::GetConfiguration));
    case BatchCommand::Test: break;
  }
  return {};
}

std::vector<std::string> JobArgs(const BatchArgs& args, const DeviceRow& row) {
  std::vector<std::string> a;
  const std::string hex = RecordToHex(row.record);
  const std::string timeout = std::to_string(args.timeoutSeconds);
  switch (args.command) {
    case BatchCommand::Upgrade:
      a = {"upgrade", "--record", hex, args.image, "--timeout", timeout};
      if (args.verbose) a.push_back("--verbose");
      break;
    case BatchCommand::ConfigGet:
      a = {"config", "get", "--record", hex,
           args.folder + "/" + ConfigFileName(FormatMac(row.record.mac())), "--timeout", timeout};
      break;
    case BatchCommand::Test:
      a = {"test", "--record", hex};
      if (row.duplicateIp) a.push_back("--duplicate-ip");
      break;
  }
  // A job that outlives the batch (killed with SIGKILL, say) would go on
  // with its device unwatched: it ends with this process instead.
  a.push_back("--batch-parent");
  a.push_back(std::to_string(::getpid()));
  return a;
}

long BudgetSeconds(const BatchArgs& args) {
  return args.command == BatchCommand::Test ? TEST_TIMEOUT_S : args.timeoutSeconds;
}

// Starts the job's child with its output on a pipe; false when it cannot.
bool Start(Job& job, const std::string& self, const std::vector<std::string>& env) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  Fd readEnd(fds[0]);
  Fd writeEnd(fds[1]);
  ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGQUIT);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(self.c_str()));
  for (const std::string& a : job.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, self.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  job.pid = pid;
  job.output = std::move(readEnd);
  job.state = JobState::Running;
  job.start = Clock::now();
  return true;
}

void Drain(Job& job) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(job.output.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    job.captured.append(buf, static_cast<size_t>(n));
    if (job.captured.size() > 2 * kKeptOutput)
      job.captured.erase(0, job.captured.size() - kKeptOutput);
  }
}

std::string LastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
  const size_t nl = t.find_last_of('\n');
  return nl == std::string::npos ? t : t.substr(nl + 1);
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

std::string ResultName(const Job& job) {
  switch (job.state) {
    case JobState::Skipped: return "skipped";
    case JobState::NotFound: return "not found";
    case JobState::Waiting: return "not started";
    default: break;
  }
  switch (job.exitCode) {
    case EXIT_OK: return "ok";
    case EXIT_FAILED: return "failed";
    case EXIT_USAGE: return "usage error";
    case EXIT_NOT_FOUND: return "not found";
    case EXIT_WRONG_PASSWORD: return "wrong password";
    case EXIT_INTERRUPTED:
    case 128 + SIGHUP:
    case 128 + SIGQUIT: return "interrupted";
    default: return job.exitCode < 0 ? "killed" : "exit " + std::to_string(job.exitCode);
  }
}

std::string Summary(const std::vector<Job>& jobs) {
  using Line = std::array<std::string, 5>;
  std::vector<Line> lines{{"DEVICE", "IP", "RESULT", "TIME", "MESSAGE"}};
  for (const Job& j : jobs) {
    const bool ran = j.state == JobState::Done;
    lines.push_back({j.label, j.ip.empty() ? "-" : j.ip, ResultName(j),
                     ran ? Seconds(j.seconds) : "-",
                     ran ? LastLine(j.captured) : j.note});
  }
  return AlignedTable(lines);
}

std::vector<std::string> JobEnvironment(const std::string& password) {
  std::vector<std::string> env;
  const std::string key = std::string(PASSWORD_ENV) + "=";
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, key.c_str(), key.size()) != 0) env.emplace_back(*e);
  }
  env.push_back(key + password);
  return env;
}

}  // namespace

std::string ConfigFileName(const std::string& macText) {
  std::string name = macText;
  std::replace(name.begin(), name.end(), ':', '-');
  return name + ".txt";
}

namespace {

// The folder a batch retrieve stores into is there before anything is sent.
int CheckFolder(const BatchArgs& args) {
  if (args.command != BatchCommand::ConfigGet) return EXIT_OK;
  struct stat st {};
  if (::stat(args.folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EXIT_OK;
  Console::Get().Err("explorerctl: " + args.folder + " is not a folder");
  return EXIT_USAGE;
}

// A job for every CSV entry nobody answered for, then one for every device
// selected (skipped when the explorer would not offer the command for it).
std::vector<Job> JobsOf(const BatchArgs& args, const Selection& selection) {
  std::vector<Job> jobs;
  for (const std::string& m : selection.missing) {
    Job j;
    j.label = m;
    j.state = JobState::NotFound;
    j.note = "no single device answers to it";
    jobs.push_back(std::move(j));
  }
  for (const DeviceRow& row : selection.rows) {
    Job j;
    j.label = FormatMac(row.record.mac());
    j.ip = FormatIp(row.record.ip());
    j.note = NotOffered(args.command, row.record);
    j.state = j.note.empty() ? JobState::Waiting : JobState::Skipped;
    j.args = JobArgs(args, row);
    jobs.push_back(std::move(j));
  }
  return jobs;
}

// Runs the waiting jobs, at most `jobs` at once, until every one has ended.
class JobRunner {
 public:
  JobRunner(const BatchArgs& args, std::vector<Job>& jobs)
      : args_(args),
        jobs_(jobs),
        self_(SelfPath()),
        env_(JobEnvironment(args.password)),
        budget_(BudgetSeconds(args)),
        limit_(static_cast<size_t>(std::max(1, args.jobs))) {
    for (const Job& j : jobs_) total_ += j.state == JobState::Waiting ? 1 : 0;
  }

  void Run() {
    for (;;) {
      StopWhenAsked();
      if (StartWaiting() == 0) break;
      std::vector<pollfd> fds;
      for (const Job& j : jobs_)
        if (j.state == JobState::Running) fds.push_back({j.output.get(), POLLIN, 0});
      ::poll(fds.data(), fds.size(), 100);
      const std::string status = Reap();
      Console::Get().Status("[" + std::to_string(finished_) + "/" + std::to_string(total_) + " done]" +
                            status);
    }
    Console::Get().ClearStatus();
  }

 private:
  void StopWhenAsked() {
    if (Interrupted() && !stopping_) {
      stopping_ = true;
      stopAt_ = Clock::now();
      // Ctrl-C on a terminal reached the jobs already; a signal meant for
      // this process alone (a scheduler stopping it) is passed on.
      Signal(SIGTERM);
    }
    if (stopping_ && !killed_ && Clock::now() - stopAt_ > kStopGrace) {
      killed_ = true;
      Signal(SIGKILL);
    }
  }

  void Signal(int sig) {
    for (Job& j : jobs_)
      if (j.state == JobState::Running) ::kill(j.pid, sig);
  }

  // Starts jobs up to the limit; the number running then.
  size_t StartWaiting() {
    size_t running = 0;
    for (const Job& j : jobs_) running += j.state == JobState::Running ? 1 : 0;
    for (Job& j : jobs_) {
      if (stopping_ || running >= limit_) break;
      if (j.state != JobState::Waiting) continue;
      if (Start(j, self_, env_)) {
        ++running;
      } else {
        j.state = JobState::Done;
        j.captured = std::string("cannot start a job: ") + std::strerror(errno);
        j.exitCode = EXIT_FAILED;
        ++finished_;
      }
    }
    return running;
  }

  // Reads what the running jobs wrote and collects those that ended; the
  // progress of those still running.
  std::string Reap() {
    std::string status;
    for (Job& j : jobs_) {
      if (j.state != JobState::Running) continue;
      Drain(j);
      int wstatus = 0;
      if (::waitpid(j.pid, &wstatus, WNOHANG) != j.pid) {
        const long elapsed = static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - j.start).count());
        status += "  " + j.label + " " + std::to_string(elapsed) + "/" + std::to_string(budget_) + " s";
        continue;
      }
      Drain(j);
      j.output.Reset();
      j.state = JobState::Done;
      j.seconds = std::chrono::duration<double>(Clock::now() - j.start).count();
      j.exitCode = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
      ++finished_;
      Ended(j);
    }
    return status;
  }

  void Ended(const Job& j) {
    Console& console = Console::Get();
    if (args_.verbose) {
      std::istringstream lines(j.captured);
      for (std::string line; std::getline(lines, line);) console.Err(j.label + ": " + line);
    } else if (console.ShowsProgress()) {
      console.Err(j.label + ": " + ResultName(j) + " (" + Seconds(j.seconds) + ")");
    }
  }

  const BatchArgs& args_;
  std::vector<Job>& jobs_;
  const std::string self_;
  const std::vector<std::string> env_;
  const long budget_;
  const size_t limit_;
  bool stopping_ = false;
  Clock::time_point stopAt_{};
  bool killed_ = false;
  size_t total_ = 0;
  size_t finished_ = 0;
};

}  // namespace

int RunBatch(const BatchArgs& args) {
  if (int rc = CheckFolder(args)) return rc;
  std::vector<DeviceSpec> specs;
  if (int rc = ReadSelection(args, specs)) return rc;

  ScanRequest request;
  request.passes = args.passes;
  request.scope = args.scope;
  ScanResult scan = ScanDevices(request);
  if (scan.exitCode == EXIT_INTERRUPTED) return EXIT_INTERRUPTED;
  if (scan.rows.empty()) {
    Console::Get().Err(scan.failureText);
    return scan.exitCode;
  }
  const Selection selection = Select(args, specs, scan.rows);
  std::vector<Job> jobs = JobsOf(args, selection);
  if (selection.rows.empty() && selection.missing.empty()) {
    Console::Get().Err("No selected device answered the scan");
    return EXIT_NOT_FOUND;
  }

  JobRunner(args, jobs).Run();
  Console::Get().Out(Summary(jobs));

  if (Interrupted()) return EXIT_INTERRUPTED;
  for (const Job& j : jobs) {
    if (j.state == JobState::NotFound) return EXIT_FAILED;
    if (j.state == JobState::Done && j.exitCode != EXIT_OK) return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace ctl
