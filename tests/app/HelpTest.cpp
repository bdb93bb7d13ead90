// The Help button: the user guide installed beside the program, opened the
// way a device's web pages are, with a recording stand-in as the browser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QPushButton>
#include <QUrl>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppTestSupport.h"
#include "support/ScriptedUi.h"
#include "explorer/app/WebLaunch.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string ReadWhenThere(const fs::path& file, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (fs::exists(file)) return ReadFile(file);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "<nothing started>";
}

const fs::path kGuide = fs::path(QUILL_BIN_DIR) / "explorer-guide.html";

class Help : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    dir_ = fs::temp_directory_path() / ("app_help_" + std::to_string(getpid()));
    fs::create_directories(dir_ / "bin");
    recorder_ = fs::path(QUILL_BIN_DIR) / "app_argv_recorder";
    record_ = dir_ / "argv.txt";
    setenv("QUILL_RECORD_FILE", record_.c_str(), 1);
    oldPath_ = getenv("PATH") ? getenv("PATH") : "";
    // Only what a test puts here can be found on the search path.
    setenv("PATH", (dir_ / "bin").c_str(), 1);
    unsetenv("BROWSER");
    dlg_ = std::make_unique<CExplorerDlg>(ui_);
    dlg_->show();
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    dlg_.reset();
    setenv("PATH", oldPath_.c_str(), 1);
    unsetenv("BROWSER");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void ClickHelp() { static_cast<QPushButton*>(dlg_->Control(IDC_HELP))->click(); }
  std::string GuideUrl() const { return QUrl::fromLocalFile(QString::fromStdString(kGuide.string())).toString().toStdString(); }

  ScriptedUi ui_;
  std::unique_ptr<CExplorerDlg> dlg_;
  fs::path dir_, recorder_, record_;
  std::string oldPath_;
};

TEST_F(Help, TheGuideBesideTheProgramOpensInTheUsersBrowser) {
  ASSERT_TRUE(fs::exists(kGuide)) << "the build puts the guide beside the programs";
  EXPECT_EQ(HelpFilePath(), kGuide.string());
  setenv("BROWSER", recorder_.c_str(), 1);
  ClickHelp();
  EXPECT_EQ(ReadWhenThere(record_, 5000), recorder_.string() + "\n" + GuideUrl() + "\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(Help, WithoutBrowserTheDesktopOpenerShowsIt) {
  fs::create_symlink(recorder_, dir_ / "bin" / "xdg-open");
  ClickHelp();
  EXPECT_EQ(ReadWhenThere(record_, 5000), "xdg-open\n" + GuideUrl() + "\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(Help, WhenNothingCanOpenItTheBoxNamesTheMissingProgram) {
  ClickHelp();
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text,
            "Unable to open the help: xdg-open was not found and BROWSER is not set.\n"
            "Install xdg-utils or set BROWSER to your web browser.");
  EXPECT_EQ(ui_.boxes[0].caption, "Help");
  EXPECT_EQ(ui_.boxes[0].icon, BoxIcon::Exclamation);

  // A browser that cannot be started is named, with the reason.
  setenv("BROWSER", "/nonexistent/browser", 1);
  ClickHelp();
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_EQ(ui_.boxes[1].text, "Unable to load /nonexistent/browser\n-1: No such file or directory");
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(Help, AMissingGuideIsReportedNotHandedOn) {
  setenv("BROWSER", recorder_.c_str(), 1);
  const std::string missing = (dir_ / "no-guide.html").string();
  ShowHelpFile(ui_, missing);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Unable to find the help file " + missing);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(record_));
}

// What the guide must tell: every command by its caption, the marks, and
// what to do when nothing is found.
TEST(HelpGuide, CoversEveryCommandAndTheNothingFoundCauses) {
  const std::string guide = ReadFile(kGuide);
  ASSERT_FALSE(guide.empty());
  for (const char* text : {"Scan", "Cancel", "Web configuration", "Configuration", "Get configuration",
                           "Set configuration", "Upgrade firmware", "Set IP address", "Test connection",
                           "green tick", "red cross", "(duplicate IP)", "8375", "nftables", "firewalld",
                           "ufw", "several network", "xdg-utils", "BROWSER"})
    EXPECT_NE(guide.find(text), std::string::npos) << text;
}

}  // namespace
