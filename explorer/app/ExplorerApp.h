#pragma once
// The application object: start-up checks, the main window's run, exit.
#include <functional>
#include <string>

#include "explorer/res/ui/ModalUi.h"

class CExplorerDlg;

class CExplorerApp {
 public:
  // `appName` captions the start-up boxes: the program file's base name.
  CExplorerApp(ModalUi& ui, std::string appName);
  ~CExplorerApp();  // the exit step
  CExplorerApp(const CExplorerApp&) = delete;
  CExplorerApp& operator=(const CExplorerApp&) = delete;

  // Socket layer and upgrade library; false (after its box) when the
  // program must end without a main window.
  bool InitInstance();
  // Creates the main window and runs it modally until it closes;
  // `onCreated` may prepare it before it shows.
  int RunMainWindow(const std::function<void(CExplorerDlg&)>& onCreated = {});
  // Releases the upgrade library; runs once, also from the destructor.
  void ExitInstance();

  static std::string AppNameFromPath(const std::string& programPath);

 private:
  ModalUi& ui_;
  std::string appName_;
  bool exited_ = false;
};

// False when the platform has no usable IPv4 datagram sockets.
bool SocketLayerAvailable();
