#pragma once
// Ctrl-C and SIGTERM only raise a flag; the work in progress looks at it
// from the main thread and cancels through its own cancel path (the
// transport's CancelRequest, the queue's cancel of an HTTP request or of the
// library), so every file and socket is cleaned up by the code that owns it.
#include <signal.h>

namespace ctl {

void InstallInterruptHandlers();
bool Interrupted();
// The signal that interrupted (SIGINT or SIGTERM), 0 before any.
int InterruptSignal();

// Threads created while this lives start with SIGINT and SIGTERM blocked,
// so the signal always lands on the main thread, which is the one that
// polls the flag, and never breaks a blocking call inside a worker or the
// upgrade library.
class SignalsBlockedForNewThreads {
 public:
  SignalsBlockedForNewThreads();
  ~SignalsBlockedForNewThreads();
  SignalsBlockedForNewThreads(const SignalsBlockedForNewThreads&) = delete;
  SignalsBlockedForNewThreads& operator=(const SignalsBlockedForNewThreads&) = delete;

 private:
  sigset_t previous_{};
};

}  // namespace ctl
