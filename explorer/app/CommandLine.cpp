#include "explorer/app/CommandLine.h"

#include <array>
#include <string_view>

#include "explorer/res/Strings.h"

namespace {

// The options QGuiApplication, QApplication and the X11 platform take out of
// argv. Qt reads "--name" as "-name", so both spellings are Qt's.
constexpr std::array<std::string_view, 16> kQtOptionsWithValue{
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowtitle",
    "qwindowicon", "geometry", "title", "icon", "session", "display", "name", "visual", "style",
    "stylesheet"};
constexpr std::array<std::string_view, 6> kQtFlags{"reverse", "widgetcount", "testability",
                                                   "nograb", "dograb", "sync"};
// Qt's options that carry their value after "=".
constexpr std::array<std::string_view, 3> kQtJoined{"style=", "stylesheet=", "qmljsdebugger="};

template <size_t N>
bool OneOf(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::string_view n : names)
    if (n == name) return true;
  return false;
}

template <size_t N>
bool StartsWithOneOf(const std::array<std::string_view, N>& prefixes, std::string_view name) {
  for (std::string_view p : prefixes)
    if (name.substr(0, p.size()) == p && name.size() > p.size()) return true;
  return false;
}

ExplorerCommandLine Refuse(std::string error) {
  ExplorerCommandLine c;
  c.action = ExplorerCommandLine::Action::UsageError;
  c.error = std::move(error);
  return c;
}

}  // namespace

ExplorerCommandLine ParseExplorerCommandLine(const std::vector<std::string>& args) {
  ExplorerCommandLine c;
  bool help = false, version = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else if (a == "--screenshot") {
      if (!hasValue) return Refuse("option '--screenshot' needs a file name");
      c.screenshot = args[++i];
      if (c.screenshot.empty()) return Refuse("option '--screenshot' needs a file name");
    } else if (a.rfind("--screenshot=", 0) == 0) {
      c.screenshot = a.substr(sizeof "--screenshot=" - 1);
      if (c.screenshot.empty()) return Refuse("option '--screenshot' needs a file name");
    } else if (a.size() > 1 && a[0] == '-') {
      const std::string_view name = std::string_view(a).substr(a.rfind("--", 0) == 0 ? 2 : 1);
      if (OneOf(kQtOptionsWithValue, name)) {
        if (!hasValue) return Refuse("option '" + a + "' needs a value");
        ++i;
      } else if (!OneOf(kQtFlags, name) && !StartsWithOneOf(kQtJoined, name)) {
        return Refuse("unrecognized option '" + a + "'");
      }
    } else {
      return Refuse("unexpected argument '" + a + "'");
    }
  }
  // Help before version, as either is asked for to learn, not to run.
  if (help)
    c.action = ExplorerCommandLine::Action::Help;
  else if (version)
    c.action = ExplorerCommandLine::Action::Version;
  return c;
}

std::string ExplorerUsage(const std::string& programName) {
  return "Usage: " + programName + " [--screenshot FILE] [Qt options]\n" +
         LoadBrandString(IDS_TITLE) + " lists the " + LoadBrandString(IDS_DEVICE_NAME) +
         " devices of the local network\n"
         "and works on the one picked in the list.\n"
         "\n"
         "  --screenshot FILE  scan once, save a picture of the window to FILE and exit;\n"
         "                     messages go to standard error instead of boxes\n"
         "  -h, --help         show this help and exit\n"
         "      --version      show the version and exit\n"
         "\n"
         "Qt's own options (-platform NAME, -style NAME, -reverse, ...) are passed on to Qt.\n"
         "Exit status: 0 when the window was closed (or the picture saved), 1 when the\n"
         "program could not start or save the picture, 2 for a command line it does\n"
         "not understand.\n";
}

std::string ExplorerVersion() { return LoadBrandString(IDS_TITLE) + " " + LoadBrandString(IDS_VERSION) + "\n"; }

std::string ExplorerUsageError(const std::string& programName, const std::string& error) {
  return programName + ": " + error + "\nTry '" + programName + " --help' for more information.\n";
}

bool WriteAllOut(std::FILE* to, const std::string& text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), to) == text.size();
  // The flush is where a buffered write meets the closed pipe or full disk.
  return std::fflush(to) == 0 && written && !std::ferror(to);
}
