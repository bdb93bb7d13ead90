#pragma once
// Standard output carries results only (tables, CSV, JSON, summaries);
// standard error carries failure texts and, when it is a terminal, one
// progress line that is rewritten in place. Everything is written from the
// main thread.
#include <string>

namespace ctl {

class Console {
 public:
  static Console& Get();

  void Out(const std::string& text);
  // One line on standard error (a newline is added), after the progress
  // line has been cleared.
  void Err(const std::string& line);
  // Whether progress is shown at all: only when standard error is a terminal.
  bool ShowsProgress() const { return progress_; }
  void Status(const std::string& text);
  void ClearStatus();

  // While one lives, anything else written to file descriptor 2 (the upgrade
  // library's FTP trace) goes to /dev/null; the console keeps its own copy
  // of the real standard error.
  class QuietStderr {
   public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

   private:
    int saved_ = -1;
  };

 private:
  Console();
  void Write(int fd, const std::string& text);

  int errFd_ = 2;
  bool progress_ = false;
  bool statusShown_ = false;
};

}  // namespace ctl
