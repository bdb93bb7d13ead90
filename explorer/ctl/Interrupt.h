#pragma once
// Ctrl-C, SIGTERM, a hang-up (the terminal or the SSH session closed) and
// SIGQUIT only raise a flag; the work in progress looks at it from the main
// thread and cancels through its own cancel path (the transport's
// CancelRequest, the queue's cancel of an HTTP request or of the library),
// so every file and socket is cleaned up by the code that owns it. SIGPIPE
// is ignored: a write to a pipe nobody reads fails with EPIPE where it is
// made instead of ending the process under a half-written file.
#include <signal.h>
#include <sys/types.h>

namespace ctl {

void InstallInterruptHandlers();
bool Interrupted();
// The signal that interrupted (SIGINT, SIGTERM, SIGHUP or SIGQUIT), 0 before any.
int InterruptSignal();
// The exit status of a command that a signal cancelled: EXIT_INTERRUPTED
// for SIGINT and SIGTERM, 128 + the signal for the others.
int InterruptedExitStatus();

// For a batch's job: the job gets SIGTERM (and so cancels its device
// operation) when `parent` ends, however it ends. False when `parent` has
// already gone, before the request could take hold.
bool EndWithParent(pid_t parent);

// Threads created while this lives start with the interrupting signals
// blocked, so a signal always lands on the main thread, which is the one
// that polls the flag, and never breaks a blocking call inside a worker or
// the upgrade library.
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
