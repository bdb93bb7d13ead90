#pragma once
// What a file dialog is asked to show; the user-interface side decides how.
#include <string>

struct FileDialogRequest {
  bool save = false;
  std::string title;
  std::string filter;       // Qt filter text, e.g. "Text files (*.txt);;All files (*)"
  std::string initialPath;  // name or full path shown at first
  std::string defaultSuffix;
};
