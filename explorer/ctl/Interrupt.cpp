#include "explorer/ctl/Interrupt.h"

#include <pthread.h>

#include <atomic>

namespace ctl {
namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void OnInterrupt(int sig) { g_signal.store(sig); }

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  // Restarted calls keep plain reads and writes simple; the waits that
  // matter poll in short slices and look at the flag between them.
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() { return g_signal.load() != 0; }

int InterruptSignal() { return g_signal.load(); }

SignalsBlockedForNewThreads::SignalsBlockedForNewThreads() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &previous_);
}

SignalsBlockedForNewThreads::~SignalsBlockedForNewThreads() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace ctl
