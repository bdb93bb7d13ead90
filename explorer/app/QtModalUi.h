#pragma once
// The interactive ModalUi: real Qt dialogs over the main window.
#include <QPointer>
#include <QWidget>

#include "explorer/res/ui/ModalUi.h"

class QtModalUi : public ModalUi {
 public:
  // Dialogs open over `owner` (the main window once it exists).
  void SetOwner(QWidget* owner) { owner_ = owner; }

  void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void DetailedMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                          const std::string& details) override;
  std::optional<std::string> FileDialog(const FileDialogRequest& request) override;
  std::optional<PasswordAnswer> PasswordPrompt(const std::string& ipText, const std::string& macText,
                                               bool otherSelected) override;
  bool Question(const std::string& text, const std::string& caption) override;
  std::optional<std::string> FolderDialog(const std::string& title, const std::string& initialFolder) override;
  bool NetworkDialog(NetworkDialogData& data) override;
  std::optional<std::string> TargetsDialog(const std::string& current) override;

 private:
  QWidget* Owner() const;
  // Both boxes, so that a subclass may replace either alone.
  void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon, const std::string& details);
  QPointer<QWidget> owner_;
};
