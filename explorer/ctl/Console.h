#pragma once
// Standard output carries results only (tables, CSV, JSON, summaries);
// standard error carries failure texts and, when it is a terminal, one
// progress line that is rewritten in place. Results and the progress line
// come from the main thread; the library's trace may come from another
// while an upgrade runs.
//
// Everything written passes TerminalSafe first: texts from devices, file
// names and interface names reach a terminal without the control bytes
// that would make it act on them.
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace ctl {

enum class LineBreaks { Keep, Replace };

// `text` with every control byte other than tab (and, when kept, LF and the
// CR of a CRLF) replaced by '?': C0, DEL, and C1 whether as a single byte or
// as its UTF-8 form. Other valid UTF-8 and other bytes stay as they are.
std::string TerminalSafe(std::string_view text, LineBreaks breaks);

class Console {
 public:
  // The first call also makes sure descriptors 0 to 2 are open (see
  // Console()); main makes it before anything opens a file.
  static Console& Get();

  // A failed write is remembered; nothing more is written to standard
  // output after it.
  void Out(const std::string& text);
  // One line on standard error (a newline is added), after the progress
  // line has been cleared.
  void Err(const std::string& line);
  // Whether progress is shown at all: only when standard error is a terminal.
  bool ShowsProgress() const { return progress_; }
  void Status(const std::string& text);
  void ClearStatus();
  // The program's last act: closes standard output and returns exitCode, or
  // says on standard error why the results were lost and returns a failure
  // (exitCode when it is one already).
  int Finish(int exitCode);

  // While one lives, whatever else is written to file descriptor 2 (the
  // upgrade library's FTP trace) is either dropped or, when `show` is set,
  // passed on with the password of its login hidden; the console keeps its
  // own copy of the real standard error.
  class LibraryTrace {
   public:
    explicit LibraryTrace(bool show);
    ~LibraryTrace();
    LibraryTrace(const LibraryTrace&) = delete;
    LibraryTrace& operator=(const LibraryTrace&) = delete;

   private:
    void Forward(int readFd);
    int saved_ = -1;
    int unread_ = -1;  // the pipe's read end when no forwarder could start
    std::thread forwarder_;
  };

 private:
  Console();
  // 0, or the errno of the write that failed.
  int Write(int fd, const std::string& text);
  // Text for standard error that does not end the progress line's life.
  void ErrText(const std::string& text);

  std::mutex mutex_;  // guards errFd_, statusShown_ and the writes to standard error
  int errFd_ = 2;
  bool progress_ = false;
  bool statusShown_ = false;
  // Standard output: main thread only.
  bool outClosed_ = false;  // descriptor 1 came closed
  bool wroteOut_ = false;
  int outError_ = 0;  // errno of the first write that failed
};

}  // namespace ctl
