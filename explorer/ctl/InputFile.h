#pragma once
// Reading a file named on the command line that need not be a regular file:
// a FIFO whose writer comes later (or never), a process substitution, a
// terminal. Nothing blocks for good: the file is opened without waiting for
// a writer, and every wait is a short poll that gives way to an interrupt.
#include <cstddef>
#include <string>

namespace ctl {

enum class InputResult { Ok, Interrupted, Failed, TooLarge };

// The whole of path, at most `limit` bytes (TooLarge beyond); on Failed,
// `error` holds the system's errno.
InputResult ReadInputFile(const std::string& path, size_t limit, std::string& text, int& error);

}  // namespace ctl
