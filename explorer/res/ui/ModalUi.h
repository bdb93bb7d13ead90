#pragma once
// Every modal interaction of the program goes through this interface: the
// real implementation shows Qt dialogs, tests give a scripted one.
#include <optional>
#include <string>

#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/FileDialogRequest.h"

enum class BoxIcon { None, Exclamation, Stop, Information };

// What the password prompt gave on OK.
struct PasswordAnswer {
  std::string password;  // possibly empty
  // "Use this password for the other selected devices" was ticked.
  bool forOtherSelected = false;
};

class ModalUi {
 public:
  virtual ~ModalUi() = default;
  virtual void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
  // The same box with a longer text the user can unfold below it.
  virtual void DetailedMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                                  const std::string& details) = 0;
  // The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> FileDialog(const FileDialogRequest& request) = 0;
  // The typed password (possibly empty), or nothing on Cancel. With
  // `otherSelected` the prompt also offers the password for the other
  // selected devices that have not finished.
  virtual std::optional<PasswordAnswer> PasswordPrompt(const std::string& ipText, const std::string& macText,
                                                       bool otherSelected) = 0;
  // A question answered with Yes (true) or No.
  virtual bool Question(const std::string& text, const std::string& caption) = 0;
  // The chosen folder, or nothing when the user cancelled.
  virtual std::optional<std::string> FolderDialog(const std::string& title, const std::string& initialFolder) = 0;
  // The network parameters dialog, started with `data`; true on OK with
  // `data` holding what the user entered.
  virtual bool NetworkDialog(NetworkDialogData& data) = 0;
  // The session's other networks, one target a line, started with
  // `current`; the new text on OK (every line a good target), nothing on
  // Cancel.
  virtual std::optional<std::string> TargetsDialog(const std::string& current) = 0;
};
