#pragma once
// A ModalUi that records every box and answers dialogs from a script, so
// the main window runs headless.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "explorer/app/ModalUi.h"

struct RecordedBox {
  std::string text;
  std::string caption;
  BoxIcon icon;
};

class ScriptedUi : public ModalUi {
 public:
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
    boxes.push_back({text, caption, icon});
  }
  std::optional<std::string> FileDialog(const FileDialogRequest& request) override {
    fileRequests.push_back(request);
    if (fileAnswers.empty()) return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
  }
  std::optional<std::string> PasswordPrompt(const std::string& ipText, const std::string& macText) override {
    prompts.push_back(ipText + " " + macText);
    if (passwordAnswers.empty()) return std::nullopt;
    auto answer = passwordAnswers.front();
    passwordAnswers.pop_front();
    return answer;
  }
  bool NetworkDialog(NetworkDialogData& data) override {
    networkDialogs.push_back(data);
    return false;  // the user cancels
  }

  std::vector<RecordedBox> boxes;
  std::vector<FileDialogRequest> fileRequests;
  std::deque<std::optional<std::string>> fileAnswers;
  std::vector<std::string> prompts;
  std::deque<std::optional<std::string>> passwordAnswers;
  std::vector<NetworkDialogData> networkDialogs;
};
