#pragma once
// Where a command's device password comes from. Never from the command line,
// where every user sees it in the process list.
#include <string>

namespace ctl {

constexpr const char* PASSWORD_ENV = "EXPLORERCTL_PASSWORD";

struct PasswordSource {
  std::string file;  // --password-file: its first line
  bool ask = false;  // --ask-password: a prompt without echo on the terminal
};

enum class PasswordResult { Ok, Usage, Interrupted };

// In this order: the file, the prompt, the environment variable, and else
// the family's default password as the explorer starts every device with.
PasswordResult ResolvePassword(const PasswordSource& source, std::string& password,
                               std::string& error);

// A device's refusal `text` ("Invalid password", "Login incorrect.") with
// the ways to give the right password after it, on the same line (a
// batch's summary shows a job's last line).
std::string WithPasswordHint(const std::string& text);

}  // namespace ctl
