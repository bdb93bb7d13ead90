// Whole upgrade sessions against the scripted device: dialogue per device
// kind, outcome codes and texts, and a cancel in each phase.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <thread>

#include "ScriptedFtpServer.h"
#include "TempFile.h"
#include "TFTPClientForm.h"
#include "support/NetGuard.h"

using namespace quillbox;
using testftp::Script;
using testftp::ScriptedFtpServer;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

namespace {

// An image of size random bytes.
struct TempFile : testftp::TempFile {
  explicit TempFile(size_t size) : testftp::TempFile(testftp::RandomBytes(size, 3)) {}
};

SessionSettings Fast(uint16_t port) {
  SessionSettings s;
  s.pollIntervalMs = 20;
  s.restartPauses = 11;
  s.echoLimit = 3;
  s.echoTimeoutMs = 200;
  s.ftpPort = port;
  return s;
}

struct Outcome {
  int32_t code;
  std::string text;
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) { *os << o.code << " \"" << o.text << '"'; }
};

// What a whole session reports, and what one the user cancelled does.
const Outcome kSuccess{0, "Success"};
const Outcome kCancelled{12017, ""};

Outcome LastError() {
  const char* text = nullptr;
  int32_t code = -1;
  GetLastErrorState(&text, &code);
  return {code, text ? text : "(null)"};
}

Outcome RunForm(TFTPClientForm& form) {
  form.RunSession();
  return LastError();
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST(UpgradeSession, SuccessDialoguePerDeviceKind) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(100000);
  struct Case {
    int32_t kind;
    const char* site;
    bool stable;
  };
  for (const Case& c : {Case{3, "SITE Upgrade", true}, Case{0, "SITE Upgrade", true}, Case{4, "SITE Upgrade", true},
                        Case{17, "SITE Reboot", false}, Case{19, "SITE Reboot", false},
                        Case{48, "SITE Upgrade", false}, Case{5, "SITE Upgrade", false},
                        Case{-1, "SITE Upgrade", false}}) {
    SCOPED_TRACE(c.kind);
    ScriptedFtpServer server(Script{});
    TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, c.kind, Fast(server.Port()));
    const Outcome o = RunForm(form);
    EXPECT_EQ(o, kSuccess);
    std::vector<std::string> expected{"user admin", "pass pw", "type I", "syst",
                                      "STOR release.pak", c.site, "user admin", "pass pw",
                                      "type I", "syst"};
    if (c.stable) expected.push_back("SITE stable");
    auto cmds = server.Commands();
    ASSERT_GE(cmds.size(), 5u);
    EXPECT_EQ(cmds[4].rfind("PORT ", 0), 0u);
    cmds.erase(cmds.begin() + 4);
    EXPECT_EQ(cmds, expected);
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(form.step.load(), c.stable ? SendingSiteCommand : Connecting);
  }
}

TEST(UpgradeSession, TraceListKeepsTheProtocolLog) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  ScriptedFtpServer server(Script{});
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
  RunForm(form);
  const auto lines = form.DebugListBox.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(form.DebugListBox.Selected(), static_cast<int>(lines.size()) - 1);
  auto has = [&](const std::string& suffix) {
    for (const auto& l : lines)
      if (l.size() >= suffix.size() && l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0)
        return true;
    return false;
  };
  EXPECT_TRUE(has(": Sent: user admin<EOL>"));
  EXPECT_TRUE(has(": Recv: 220 Test device ready<EOL>"));
  EXPECT_TRUE(has(": Connected."));
  EXPECT_TRUE(has(": Disconnected."));
}

// The whole trace of a session, as the list keeps it and as it goes to
// standard error, holds the device password nowhere, though the device
// received it on both logins.
TEST(UpgradeSession, TraceNeverShowsThePassword) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const std::string password = "Kq3-zebra!";
  TempFile image(10);
  ScriptedFtpServer server(Script{});
  testftp::TempFile stderrCopy("");
  std::vector<std::string> lines;
  {
    // Standard error goes into a file for the time of the session.
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    const int fd = open(stderrCopy.path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    close(fd);
    TFTPClientForm form("127.0.0.1", "admin", password, image.path, 3, Fast(server.Port()));
    const Outcome o = RunForm(form);
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_EQ(o.code, 0) << o.text;
    lines = form.DebugListBox.Lines();
  }
  const auto commands = server.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "pass " + password), 2);
  const std::string errText = testsupport::ReadAll(stderrCopy.path);
  EXPECT_NE(errText.find(": Sent: user admin<EOL>"), std::string::npos) << "the trace went elsewhere";
  EXPECT_EQ(errText.find(password), std::string::npos) << errText;
  const std::string maskedLine = ": Sent: pass ****<EOL>";
  int masked = 0;
  for (const auto& l : lines) {
    EXPECT_EQ(l.find(password), std::string::npos) << l;
    if (l.size() > maskedLine.size() && l.compare(l.size() - maskedLine.size(), std::string::npos, maskedLine) == 0)
      ++masked;
  }
  EXPECT_EQ(masked, 2);
}

TEST(UpgradeSession, RefusedKindsSendNothing) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  for (int32_t kind : {16, 18}) {
    ScriptedFtpServer server(Script{});
    SetLastError(77, "earlier");
    TFTPClientForm form("127.0.0.1", "admin", "pw", "/nonexistent", kind, Fast(server.Port()));
    const Outcome o = RunForm(form);
    EXPECT_EQ(o, (Outcome{2002, "Firmware does not support FTP upgrade"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.Connections(), 0);
  }
}

TEST(UpgradeSession, FailureCodesAndTexts) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(1000);
  struct Case {
    const char* name;
    Script script;
    std::string imagePath;
    int32_t code;
    std::string text;
  };
  Script loginIncorrect;
  loginIncorrect.pass = "530 Login incorrect.\r\n";
  Script notLoggedIn;
  notLoggedIn.pass = "530 Not logged in.\r\n";
  Script storRefused;
  storRefused.stor = "553 Could not create file.\r\n";
  Script siteRefused;
  siteRefused.site = "500 Unknown SITE command\r\n";
  Script digitsOnly;
  digitsOnly.site = "5000\r\n";
  const std::vector<Case> cases{
      {"login incorrect", loginIncorrect, image.path, 12014, "Login incorrect."},
      {"other 530", notLoggedIn, image.path, 5, "Not logged in."},
      {"store refused", storRefused, image.path, 5, "Could not create file."},
      {"site refused", siteRefused, image.path, 5, "Unknown SITE command"},
      {"digits only", digitsOnly, image.path, 5, "5000"},
      {"missing image", Script{}, "/nonexistent/fw.pak", 5, "Cannot open file /nonexistent/fw.pak"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server(c.script);
    TFTPClientForm form("127.0.0.1", "admin", "pw", c.imagePath, 3, Fast(server.Port()));
    const Outcome o = RunForm(form);
    EXPECT_EQ(o, (Outcome{c.code, c.text}));
  }
}

TEST(UpgradeSession, SocketErrorsTakeTheDeviceLine) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  {
    uint16_t port;
    {
      ScriptedFtpServer gone(Script{});
      port = gone.Port();
    }
    TFTPClientForm form("127.0.0.1", "admin", "pw", "/x", 3, Fast(port));
    const Outcome o = RunForm(form);
    EXPECT_EQ(o, (Outcome{ECONNREFUSED, ""}));
  }
  {
    // The device breaks the transfer and says why on the control line.
    TempFile image(16 * 1024 * 1024);
    Script s;
    s.resetData = true;
    s.afterReset = "451 Flash write failed\r\n";
    ScriptedFtpServer server(s);
    TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
    const Outcome o = RunForm(form);
    EXPECT_TRUE(o.code == ECONNRESET || o.code == EPIPE) << o.code;
    EXPECT_EQ(o.text, "Flash write failed");
  }
}

TEST(UpgradeSession, DeviceThatNeverAnswersEchoEndsCancelled) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  ScriptedFtpServer server(Script{});
  SessionSettings settings = Fast(server.Port());
  settings.echoHost = "10.200.0.2";
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, settings);
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = RunForm(form);
  EXPECT_EQ(o, kCancelled);
  EXPECT_GE(MsSince(start), 3 * 200);
  EXPECT_EQ(server.Connections(), 1);
}

namespace {

// Runs a session and cancels it once trigger() says the phase is reached.
template <typename Trigger>
Outcome CancelWhen(TFTPClientForm& form, Trigger trigger, long long* msAfterCancel) {
  std::chrono::steady_clock::time_point cancelledAt;
  std::thread canceller([&] {
    trigger();
    cancelledAt = std::chrono::steady_clock::now();
    form.CancelSession();
  });
  form.RunSession();
  const auto end = std::chrono::steady_clock::now();
  canceller.join();
  *msAfterCancel = std::chrono::duration_cast<std::chrono::milliseconds>(end - cancelledAt).count();
  return LastError();
}

// Runs a session and cancels it `settle` after the device received a
// command starting with `command`.
Outcome CancelAfter(TFTPClientForm& form, const ScriptedFtpServer& server, const char* command,
                    std::chrono::milliseconds settle, long long* msAfterCancel) {
  return CancelWhen(
      form,
      [&] {
        server.WaitForCommand(command, 5000);
        std::this_thread::sleep_for(settle);
      },
      msAfterCancel);
}

}  // namespace

TEST(UpgradeSessionCancel, WaitsForTheDeviceEndAtOnce) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  Script silentGreeting;
  silentGreeting.greeting = "";
  Script noDataConnection;
  noDataConnection.connectData = false;
  Script silentSite;
  silentSite.silentOn = "SITE";
  struct Case {
    const char* name;
    Script script;
    std::string imagePath;
    const char* reached;  // the command after which the cancel comes; null: the connection
  };
  const std::vector<Case> cases{
      {"silent greeting", silentGreeting, "/x", nullptr},
      {"waiting for the data connection", noDataConnection, image.path, "STOR"},
      {"silent site command", silentSite, image.path, "SITE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server(c.script);
    TFTPClientForm form("127.0.0.1", "admin", "pw", c.imagePath, 3, Fast(server.Port()));
    long long ms = 0;
    const Outcome o = CancelWhen(
        form,
        [&] {
          if (c.reached) server.WaitForCommand(c.reached, 5000);
          else server.WaitForConnections(1, 5000);
        },
        &ms);
    EXPECT_EQ(o, kCancelled);
    EXPECT_LT(ms, 1500);
  }
}

TEST(UpgradeSessionCancel, WhileWritingData) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(32 * 1024 * 1024);
  Script s;
  s.readData = false;
  ScriptedFtpServer server(s);
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
  long long ms = 0;
  const Outcome o = CancelAfter(form, server, "STOR", 200ms, &ms);
  // The write cut off under the upload is the user's own cancel, not a
  // failure to show.
  EXPECT_EQ(o, kCancelled);
  EXPECT_LT(ms, 1000);
}

TEST(UpgradeSessionCancel, TricklingDeviceEndsWithinAQuarterSecond) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(16 * 1024 * 1024);
  // One byte every 100 ms: a line that never ends, an endless multi-line
  // reply, and the line read after a broken upload, each restarted by every
  // piece that arrives.
  Script neverEndingLine;
  neverEndingLine.trickleOn = "SITE";
  Script endlessReply;
  endlessReply.trickleOn = "SITE";
  endlessReply.trickleText = "200-more\r\n";
  Script afterReset;
  afterReset.resetData = true;
  afterReset.trickleAfterReset = true;
  struct Case {
    const char* name;
    Script script;
    const char* reached;  // null: the connection
  };
  Script trickledGreeting = neverEndingLine;
  trickledGreeting.trickleOn = "user";
  const std::vector<Case> cases{
      {"site reply line", neverEndingLine, "SITE"},
      {"endless multi-line site reply", endlessReply, "SITE"},
      {"login reply", trickledGreeting, "user"},
      {"line after a broken upload", afterReset, "STOR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server(c.script);
    TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
    long long ms = 0;
    const Outcome o = CancelAfter(form, server, c.reached, 700ms, &ms);
    EXPECT_EQ(o, kCancelled);
    // A wait slice of 250 ms, and a little for the scheduler.
    EXPECT_LT(ms, 350);
  }
}

TEST(UpgradeSessionCancel, SecondLoginAndStableGoOnWhileTheDeviceAnswers) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  // After the restart every reply takes 600 ms, longer than a wait slice.
  Script slow;
  slow.laterConnectionsDelayMs = 600;
  struct Case {
    const char* name;
    bool atStable;  // cancel once "SITE stable" arrived; else at the second connection
  };
  for (const Case& c : {Case{"second login", false}, Case{"stable", true}}) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server(slow);
    TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
    long long ms = 0;
    const Outcome o = CancelWhen(
        form,
        [&] {
          if (c.atStable) server.WaitForCommand("SITE stable", 10000);
          else server.WaitForConnections(2, 10000);
        },
        &ms);
    EXPECT_EQ(o, kSuccess);
    EXPECT_TRUE(server.WaitForCommand("SITE stable", 0)) << "the device is marked stable";
  }
}

TEST(UpgradeSessionCancel, SecondLoginEndsOnlyAfterTheDeviceFellSilent) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  Script silentAfterRestart;
  silentAfterRestart.laterConnectionsSilent = true;
  ScriptedFtpServer server(silentAfterRestart);
  SessionSettings settings = Fast(server.Port());
  settings.lateCancelSilenceMs = 1500;
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, settings);
  std::chrono::steady_clock::time_point connected;
  long long ms = 0;
  const Outcome o = CancelWhen(
      form,
      [&] {
        server.WaitForConnections(2, 10000);
        connected = std::chrono::steady_clock::now();
      },
      &ms);
  EXPECT_EQ(o, kCancelled);
  const long long silentFor = MsSince(connected);
  EXPECT_GE(silentFor, 1400) << "the cancel waits for the silence";
  EXPECT_LT(silentFor, 1500 + 1000);
}

TEST(UpgradeSession, LastReplyBeforeTheDeviceHangsUpIsReported) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(1000);
  Script bye;
  bye.transferEnd = "226 Transfer complete\r\n421 Bye\r\n";
  bye.closeAfterTransfer = true;
  ScriptedFtpServer server(bye);
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
  const Outcome o = RunForm(form);
  EXPECT_EQ(o, (Outcome{5, "Bye"}));
}

TEST(UpgradeSession, RefusedSecondConnectionReportsTheLastReply) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  Script once;
  once.maxConnections = 1;
  ScriptedFtpServer server(once);
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, Fast(server.Port()));
  const Outcome o = RunForm(form);
  EXPECT_EQ(o, (Outcome{ECONNREFUSED, "Command okay"})) << "the reply to the site command, its code removed";
}

TEST(UpgradeSessionCancel, RestartPause) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  ScriptedFtpServer server(Script{});
  SessionSettings settings = Fast(server.Port());
  settings.pollIntervalMs = 300;
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, settings);
  long long ms = 0;
  // Past the one-tick reply check, into the pauses.
  const Outcome o = CancelAfter(form, server, "SITE", 700ms, &ms);
  EXPECT_EQ(o, kCancelled);
  EXPECT_LT(ms, 600);
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_FALSE(form.FtpClient.IsConnected());
}

TEST(UpgradeSessionCancel, EchoWait) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  ScriptedFtpServer server(Script{});
  SessionSettings settings = Fast(server.Port());
  settings.echoHost = "10.200.0.2";
  settings.echoLimit = 121;
  settings.echoTimeoutMs = 1000;
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, settings);
  long long ms = 0;
  const Outcome o = CancelAfter(form, server, "SITE", 400ms, &ms);
  EXPECT_EQ(o, kCancelled);
  EXPECT_LT(ms, 350) << "the probe in flight stops waiting too";
}

TEST(UpgradeSession, DefaultPausesTakeTwelveSeconds) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  TempFile image(10);
  ScriptedFtpServer server(Script{});
  SessionSettings settings;  // the real pauses and limits
  settings.ftpPort = server.Port();
  TFTPClientForm form("127.0.0.1", "admin", "pw", image.path, 3, settings);
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = RunForm(form);
  EXPECT_EQ(o, kSuccess);
  // One second of reply check and eleven of restart pause.
  EXPECT_GE(MsSince(start), 12000);
  EXPECT_EQ(server.Connections(), 2);
}
