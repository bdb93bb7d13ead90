#pragma once
// Runs the device simulator (QUILL_BIN_DIR/devicesim) for a test.
//
// #include "support/SimProcess.h"
//
//   SimProcess sim({"--device", "00:50:C2:00:00:01 0 127.0.0.11 255.0.0.0 admin"});
//   ASSERT_TRUE(sim.Ready()) << sim.Error();
//
// or with the text of a device file (one device a line, see
// tools/devicesim/DeviceTable.h for the options):
//
//   SimProcess sim = SimProcess::WithDevices("00:50:C2:00:00:01 0 127.0.0.11 255.0.0.0 admin\n");
//
// Inside the link topology (scripts/netns-links.sh, run as root) a
// simulator plays the devices of one segment:
//
//   SimProcess b = SimProcess::OnLink(1, "00:50:C2:00:00:01 0 10.20.0.5 255.255.255.0 admin\n");
//
// and with --routed one plays a remote segment behind the router (0 is
// 10.30.0.0/24, 1 is 10.40.0.0/24), where each device answers only what is
// sent to it or to its subnet (devicesim --addressed-only):
//
//   SimProcess r = SimProcess::OnRemote(0, "00:50:C2:00:00:01 0 10.30.0.5 255.255.255.0 admin\n");
//
// The constructor waits (at most 10 s) for the simulator's "ready" line.
// The destructor (or Stop) ends it with SIGTERM, waits a bounded time,
// then SIGKILLs and always reaps it, and removes the temporary device file.
// Use only in NET tests, after QUILL_REQUIRE_PRIVATE_NETWORK().
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args, const std::string& deviceFileText = "",
                      int link = -1);
  static SimProcess WithDevices(const std::string& deviceFileText,
                                std::vector<std::string> extraArgs = {});
  // In the segment behind link `link` (0 = the first of QUILL_NETNS_LINKS).
  static SimProcess OnLink(size_t link, const std::string& deviceFileText,
                           std::vector<std::string> extraArgs = {});
  // In remote segment `segment` (0 = the first of QUILL_NETNS_REMOTE_SEGMENTS).
  static SimProcess OnRemote(size_t segment, const std::string& deviceFileText,
                             std::vector<std::string> extraArgs = {});
  ~SimProcess();
  SimProcess(SimProcess&& other) noexcept;
  SimProcess& operator=(SimProcess&&) = delete;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Error() const { return error_; }  // why it is not ready
  pid_t Pid() const { return pid_; }
  // Ends the simulator; returns its exit status as from waitpid, or -1 if it
  // was not running or had to be killed.
  int Stop();
  // The waitpid status of the last end (also when it ended before "ready").
  int ExitStatus() const { return exitStatus_; }

 private:
  // Where a simulator runs: the environment variables naming the segments'
  // interfaces and namespaces, and the index into both (-1: right here).
  struct Place {
    const char* linksVariable;
    const char* segmentsVariable;
    int index;
  };
  SimProcess(std::vector<std::string> args, const std::string& deviceFileText, Place place);

  pid_t pid_ = -1;
  bool ready_ = false;
  std::string error_;
  std::string deviceFile_;
  int exitStatus_ = -1;
};

}  // namespace testsupport
