#pragma once
// The one scripted ModalUi of the tests: records every box and dialog
// request and answers from a script, so windows run headless.
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "explorer/res/ui/ModalUi.h"

struct RecordedBox {
  std::string text;
  std::string caption;
  BoxIcon icon;
};

class ScriptedUi : public ModalUi {
 public:
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
    boxes.push_back({text, caption, icon});
    log.push_back("box:" + text);
  }
  std::optional<std::string> FileDialog(const FileDialogRequest& request) override {
    fileRequests.push_back(request);
    log.push_back("file:" + request.title);
    // What happens while the user looks at the dialog (events keep coming).
    if (whileFileDialog) whileFileDialog(request);
    return Next(fileAnswers);
  }
  std::optional<std::string> PasswordPrompt(const std::string& ipText, const std::string& macText) override {
    prompts.push_back(ipText + " " + macText);
    log.push_back("prompt:" + ipText);
    return Next(passwordAnswers);
  }
  bool NetworkDialog(NetworkDialogData& data) override {
    networkDialogs.push_back(data);
    return network ? network(data) : false;  // none: the user cancels
  }

  std::vector<RecordedBox> boxes;
  std::vector<FileDialogRequest> fileRequests;
  std::deque<std::optional<std::string>> fileAnswers;  // empty: the user cancels
  std::function<void(const FileDialogRequest&)> whileFileDialog;
  std::vector<std::string> prompts;
  std::deque<std::optional<std::string>> passwordAnswers;  // empty: the user cancels
  std::vector<NetworkDialogData> networkDialogs;
  std::function<bool(NetworkDialogData&)> network;
  std::vector<std::string> log;  // every interaction in order

 private:
  static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
};
