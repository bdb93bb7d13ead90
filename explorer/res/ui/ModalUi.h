#pragma once
// Every modal interaction of the program goes through this interface: the
// real implementation shows Qt dialogs, tests give a scripted one.
#include <optional>
#include <string>

#include "explorer/protocol/SetNetwork.h"
#include "explorer/res/FileDialogRequest.h"

enum class BoxIcon { None, Exclamation, Stop, Information };

class ModalUi {
 public:
  virtual ~ModalUi() = default;
  virtual void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
  // The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> FileDialog(const FileDialogRequest& request) = 0;
  // The typed password (possibly empty), or nothing on Cancel.
  virtual std::optional<std::string> PasswordPrompt(const std::string& ipText,
                                                    const std::string& macText) = 0;
  // The network parameters dialog, started with `data`; true on OK with
  // `data` holding what the user entered.
  virtual bool NetworkDialog(NetworkDialogData& data) = 0;
};
