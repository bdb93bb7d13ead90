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
  std::string details;  // the text under "Show Details...", if any
};

class ScriptedUi : public ModalUi {
 public:
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
    boxes.push_back({text, caption, icon, {}});
    log.push_back("box:" + text);
  }
  void DetailedMessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                          const std::string& details) override {
    boxes.push_back({text, caption, icon, details});
    log.push_back("box:" + text);
  }
  std::optional<std::string> FileDialog(const FileDialogRequest& request) override {
    fileRequests.push_back(request);
    log.push_back("file:" + request.title);
    // What happens while the user looks at the dialog (events keep coming).
    if (whileFileDialog) whileFileDialog(request);
    if (fileAnswerFor) return fileAnswerFor(request);
    return Next(fileAnswers);
  }
  std::optional<PasswordAnswer> PasswordPrompt(const std::string& ipText, const std::string& macText,
                                               bool otherSelected) override {
    prompts.push_back(ipText + " " + macText);
    promptOffers.push_back(otherSelected);
    log.push_back("prompt:" + ipText);
    std::optional<std::string> typed = Next(passwordAnswers);
    if (!typed) return std::nullopt;
    bool forOthers = false;
    if (!passwordForOthers.empty()) {
      forOthers = passwordForOthers.front();
      passwordForOthers.pop_front();
    }
    return PasswordAnswer{*typed, forOthers};
  }
  bool Question(const std::string& text, const std::string& caption) override {
    questions.push_back(text);
    log.push_back("question:" + text);
    (void)caption;
    if (questionAnswers.empty()) return false;  // none scripted: No
    const bool yes = questionAnswers.front();
    questionAnswers.pop_front();
    return yes;
  }
  std::optional<std::string> FolderDialog(const std::string& title, const std::string& initialFolder) override {
    folderRequests.push_back(title + "|" + initialFolder);
    log.push_back("folder:" + title);
    return Next(folderAnswers);
  }
  bool NetworkDialog(NetworkDialogData& data) override {
    networkDialogs.push_back(data);
    return network ? network(data) : false;  // none: the user cancels
  }

  std::vector<RecordedBox> boxes;
  std::vector<FileDialogRequest> fileRequests;
  std::deque<std::optional<std::string>> fileAnswers;  // empty: the user cancels
  std::function<void(const FileDialogRequest&)> whileFileDialog;
  // When set, answers instead of fileAnswers: for dialogs whose order
  // depends on when a worker's request arrives.
  std::function<std::optional<std::string>(const FileDialogRequest&)> fileAnswerFor;
  std::vector<std::string> prompts;
  std::deque<std::optional<std::string>> passwordAnswers;  // empty: the user cancels
  std::vector<bool> promptOffers;       // whether each prompt offered its password for the others
  std::deque<bool> passwordForOthers;  // the check box per accepted prompt; empty: not ticked
  std::vector<std::string> questions;
  std::deque<bool> questionAnswers;  // empty: No
  std::vector<std::string> folderRequests;                // "title|initial folder"
  std::deque<std::optional<std::string>> folderAnswers;  // empty: the user cancels
  std::optional<std::string> TargetsDialog(const std::string& current) override {
    targetsDialogs.push_back(current);
    log.push_back("targets");
    return Next(targetsAnswers);
  }

  std::vector<NetworkDialogData> networkDialogs;
  std::function<bool(NetworkDialogData&)> network;
  std::vector<std::string> targetsDialogs;               // the text each opened with
  std::deque<std::optional<std::string>> targetsAnswers;  // empty: the user cancels
  std::vector<std::string> log;  // every interaction in order

 private:
  static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
};
