#include "explorer/ctl/Interrupt.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>

#include "explorer/ctl/ExitCodes.h"

namespace ctl {
namespace {

constexpr int kInterrupting[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void OnInterrupt(int sig) {
  // The first signal says why the work ended; a later one changes nothing.
  int none = 0;
  g_signal.compare_exchange_strong(none, sig);
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  // Restarted calls keep plain reads and writes simple; nothing on the main
  // thread blocks without a time limit (the waits poll in short slices and
  // look at the flag between them, inputs that may never come are opened
  // without blocking), so no wait depends on a call being broken.
  sa.sa_flags = SA_RESTART;
  for (int sig : kInterrupting) sigaction(sig, &sa, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool Interrupted() { return g_signal.load() != 0; }

int InterruptSignal() { return g_signal.load(); }

int InterruptedExitStatus() {
  const int sig = g_signal.load();
  return sig == SIGHUP || sig == SIGQUIT ? 128 + sig : EXIT_INTERRUPTED;
}

bool EndWithParent(pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // A parent that died before the request took hold has handed this
  // process on to another one already; that signal will never come.
  return ::getppid() == parent;
}

SignalsBlockedForNewThreads::SignalsBlockedForNewThreads() {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : kInterrupting) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &previous_);
}

SignalsBlockedForNewThreads::~SignalsBlockedForNewThreads() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace ctl
