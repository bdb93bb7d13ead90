// The FTP client against the scripted device: dialogue, reply parsing,
// upload, failures and the waits that a cancel must be able to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "FtpClient.h"
#include "support/NetGuard.h"
#include "ScriptedFtpServer.h"
#include "TempFile.h"

using namespace quillbox;
using testftp::Script;
using testftp::ScriptedFtpServer;
using testftp::TempFile;
using ::testing::ElementsAre;

namespace {

std::string RandomBytes(size_t n) { return testftp::RandomBytes(n, 7); }

struct Client {
  ProtocolLog log;
  FtpClient ftp;
  std::vector<std::string> lines;
  explicit Client(uint16_t port, std::string user = "admin", std::string password = "secret") {
    log.Target = ltNone;
    log.Active = true;
    log.OnLogItem = [this](const std::string& l) { lines.push_back(l); };
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.User = std::move(user);
    ftp.Password = std::move(password);
    ftp.ProtocolLog = &log;
  }
  int Count(const std::string& suffix) const {
    int n = 0;
    for (const auto& l : lines)
      if (l.size() >= suffix.size() && l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0) ++n;
    return n;
  }
};

// The stock script with one step changed.
template <typename Field, typename Value>
Script With(Field Script::*step, Value value) {
  Script s;
  s.*step = std::move(value);
  return s;
}

// The scripted device of one dialogue; a base, so that it is up before the
// client is made.
struct Device {
  explicit Device(const Script& script) : server(script) {}
  ScriptedFtpServer server;
};

// A client and the scripted device it logged in to: `login` is how that
// went, and a test asserts it before anything else.
struct Dialogue : Device, Client {
  explicit Dialogue(const Script& script = Script{})
      : Device(script), Client(server.Port()), login(ftp.Connect(true)) {}
  Failure login;
};

// "YYYY-MM-DD HH:MM:SS: " followed by exactly the event text.
bool IsStamped(const std::string& line, const std::string& event) {
  const std::string shape = "dddd-dd-dd dd:dd:dd: ";
  if (line.size() != shape.size() + event.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return line.compare(shape.size(), std::string::npos, event) == 0;
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST(FtpClientDialogue, MultiLineGreetingPasswordLoginAndLogLines) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c(With(&Script::greeting, "220-Welcome to the device\r\n220-Second line\r\n220 Ready\r\n"));
  ASSERT_FALSE(c.login);
  EXPECT_THAT(c.server.Commands(), ElementsAre("user admin", "pass secret", "type I", "syst"));
  EXPECT_EQ(c.ftp.LastReplyLine(), "215 UNIX Type: L8");
  EXPECT_EQ(c.ftp.LastReplyCode(), 215);

  bool found = false;
  for (const auto& l : c.lines) found = found || IsStamped(l, "Sent: user admin<EOL>");
  EXPECT_TRUE(found) << "no log line for the login name";
  EXPECT_EQ(c.Count(": Connected."), 1);
  // The password command is traced, the password itself never.
  EXPECT_EQ(c.Count(": Sent: pass ****<EOL>"), 1);
  for (const auto& l : c.lines) EXPECT_EQ(l.find("secret"), std::string::npos) << l;
  bool recvGreeting = false;
  for (const auto& l : c.lines) recvGreeting = recvGreeting || l.find(": Recv: 220-Welcome") != std::string::npos;
  EXPECT_TRUE(recvGreeting);

  // A second Connect on an open connection is refused without traffic.
  Failure again = c.ftp.Connect(true);
  EXPECT_EQ(again.kind, FailureKind::General);
  EXPECT_EQ(again.message, "Already connected.");
  c.ftp.Disconnect();
  EXPECT_EQ(c.Count(": Disconnected."), 1);
  EXPECT_FALSE(c.ftp.IsConnected());
  // Connect works again after a close.
  ASSERT_FALSE(c.ftp.Connect(true));
  EXPECT_EQ(c.server.Connections(), 2);
}

TEST(FtpClientDialogue, LoginVariantsAndSystemTypeRefusal) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  using Change = std::pair<std::string Script::*, const char*>;
  auto with = [](std::initializer_list<Change> changes) {
    Script s;
    for (const auto& [step, reply] : changes) s.*step = reply;
    return s;
  };
  struct Case {
    const char* name;
    Script script;
    std::vector<std::string> commands;
    FailureKind kind;  // None: the login succeeds
    std::string message;
  };
  const std::vector<Case> cases{
      {"no password needed, system type refused",
       with({{&Script::user, "230 No password needed\r\n"}, {&Script::syst, "500 Unknown command\r\n"}}),
       {"user admin", "type I", "syst"}, FailureKind::None, ""},
      {"password refused", with({{&Script::pass, "530 Login incorrect.\r\n"}}), {"user admin", "pass secret"},
       FailureKind::Reply, "530 Login incorrect."},
      {"greeting refused", with({{&Script::greeting, "421 Too many users\r\n"}}), {}, FailureKind::Reply,
       "421 Too many users"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server(c.script);
    Client client(server.Port());
    Failure f = client.ftp.Connect(true);
    EXPECT_EQ(f.kind, c.kind) << f.message;
    EXPECT_EQ(f.message, c.message);
    EXPECT_EQ(f.code, c.kind == FailureKind::Reply ? std::stoi(c.message.substr(0, 3)) : 0);
    EXPECT_EQ(client.ftp.IsConnected(), c.kind == FailureKind::None);
    // A failed login closes the connection before Connect reports it.
    EXPECT_EQ(client.Count(": Disconnected."), c.kind == FailureKind::None ? 0 : 1);
    EXPECT_EQ(server.Commands(), c.commands);
  }
}

TEST(FtpClientDialogue, CommandsWithLineBreaksAreNeverSent) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  {
    ScriptedFtpServer server(Script{});
    Client client(server.Port(), "admin", "x\r\nDELE y");
    Failure f = client.ftp.Connect(true);
    EXPECT_EQ(f.kind, FailureKind::General);
    EXPECT_EQ(f.message, "A command may not contain a line break.");
    EXPECT_FALSE(client.ftp.IsConnected());
    EXPECT_TRUE(server.WaitForCommand("user admin", 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_THAT(server.Commands(), ElementsAre("user admin")) << "the password command went out";
    EXPECT_EQ(client.Count(": Sent: pass ****<EOL>"), 0);
  }
  Dialogue c;
  ASSERT_FALSE(c.login);
  for (const char* command : {"stable\r\nDELE y", "stable\nDELE y", "stable\r"}) {
    Failure f = c.ftp.Site(command);
    EXPECT_EQ(f.kind, FailureKind::General);
    EXPECT_EQ(f.message, "A command may not contain a line break.");
  }
  TempFile image("abc");
  Failure f = c.ftp.Put(image.path, "release.pak\r\nDELE y", false);
  EXPECT_EQ(f.kind, FailureKind::General);
  // The connection stays in step: the next command gets its own reply.
  ASSERT_FALSE(c.ftp.Site("stable"));
  EXPECT_THAT(c.server.Commands(),
              ElementsAre("user admin", "pass secret", "type I", "syst", ::testing::StartsWith("PORT "),
                          "SITE stable"));
}

TEST(FtpClientDialogue, ReplyParsingRules) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Script s;
  // Blank lines before a reply are skipped, trailing blanks are trimmed, and
  // a continuation line shorter than four characters ends the reply.
  s.site = "\r\n  \r\n200-First line   \r\nab\r\n";
  s.type = "200-type\r\n200 set   \r\n";
  Dialogue c(s);
  ASSERT_FALSE(c.login);
  Failure f = c.ftp.Site("Upgrade");
  EXPECT_EQ(f.kind, FailureKind::Reply);
  EXPECT_EQ(f.code, 0);
  EXPECT_EQ(f.message, "ab");
  EXPECT_THAT(c.ftp.LastReply(), ElementsAre("200-First line", "ab"));
  EXPECT_EQ(c.server.Commands().back(), "SITE Upgrade");
}

TEST(FtpClientDialogue, MultiLineReplyEndsOnlyAtItsOwnCode) {
  // A NUL among the first three characters is a character like any other:
  // "2<NUL>9 " does not end a reply that began "2<NUL>0-".
  const std::string nul(1, '\0');
  const std::string first = "2" + nul + "0-Hello", other = "2" + nul + "9 not the end", last = "2" + nul + "0 end";
  net::Socket mine, peer;
  ASSERT_EQ(net::MakeStreamPair(&mine, &peer, net::Blocking::No), 0);
  const std::string said = first + "\r\n" + other + "\r\n" + last + "\r\n";
  ASSERT_EQ(peer.SendAll(said.data(), said.size()), 0);
  peer.ShutdownSend();
  Client c(0);
  Failure f = c.ftp.Attach(std::move(mine), false);
  EXPECT_EQ(f.kind, FailureKind::Reply);
  EXPECT_EQ(f.code, 0) << "no code in digits";
  EXPECT_THAT(c.ftp.LastReply(), ElementsAre(first, other, last));
}

TEST(FtpClientDialogue, RepliesArrivingInPieces) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Script s;
  s.trickle = true;
  s.greeting = "220-Welcome\r\n220 Ready\r\n";
  Dialogue c(s);
  ASSERT_FALSE(c.login);
  EXPECT_EQ(c.ftp.LastReplyLine(), "215 UNIX Type: L8");
  EXPECT_THAT(c.server.Commands(), ElementsAre("user admin", "pass secret", "type I", "syst"));
  EXPECT_GT(c.Count("<EOL>"), 4);
}

TEST(FtpClientDialogue, AttachTakesAConnectedStreamFromTheGreetingOn) {
  net::Socket mine, peer;
  ASSERT_EQ(net::MakeStreamPair(&mine, &peer, net::Blocking::No), 0);
  const std::string said = "220-Welcome\r\n220 Ready\r\n331 Password\r\n230 In\r\n200 I\r\n500 no syst\r\n";
  ASSERT_EQ(peer.SendAll(said.data(), said.size()), 0);
  Client c(0);
  // Everything is buffered: a silent wait is a fault, not a hang.
  c.ftp.AbortAfterSilenceMs = 2000;
  c.ftp.AbortWaits();
  Failure f = c.ftp.Attach(std::move(mine), true);
  EXPECT_FALSE(f) << f.message;
  EXPECT_EQ(c.ftp.LastReplyCode(), 500);
  EXPECT_EQ(c.Count("Connected."), 1);
  net::Socket other, otherPeer;
  ASSERT_EQ(net::MakeStreamPair(&other, &otherPeer), 0);
  EXPECT_EQ(c.ftp.Attach(std::move(other), false).message, "Already connected.");
  char sent[128];
  size_t got = 0;
  ASSERT_EQ(peer.Recv(sent, sizeof sent, &got), 0);
  EXPECT_EQ(std::string(sent, got).substr(0, 13), "user admin\r\np");
  c.ftp.Disconnect();
  // The peer went away before greeting: closed, and nothing stays open.
  ASSERT_EQ(net::MakeStreamPair(&other, &otherPeer), 0);
  otherPeer.Close();
  EXPECT_EQ(c.ftp.Attach(std::move(other), false).kind, FailureKind::ConnectionClosed);
  EXPECT_FALSE(c.ftp.IsConnected());
}

TEST(FtpClientDialogue, ConnectionRefusedIsSocketError) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  uint16_t port;
  {
    ScriptedFtpServer gone(Script{});
    port = gone.Port();
  }
  Client c(port);
  Failure f = c.ftp.Connect(true);
  EXPECT_EQ(f.kind, FailureKind::Socket);
  EXPECT_EQ(f.code, ECONNREFUSED);
  EXPECT_EQ(f.message, "Socket Error # " + std::to_string(ECONNREFUSED) + "\r\nConnection refused");
  EXPECT_EQ(c.Count(": Connected."), 0);
  EXPECT_EQ(c.Count(": Disconnected."), 2);
}

TEST(FtpClientDialogue, LastReplySurvivesTheNextConnect) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c(With(&Script::maxConnections, 1));
  ASSERT_FALSE(c.login);
  ASSERT_FALSE(c.ftp.Site("Upgrade"));
  c.ftp.Disconnect();
  Failure f = c.ftp.Connect(true);
  EXPECT_EQ(f.code, ECONNREFUSED);
  EXPECT_EQ(c.ftp.LastReplyLine(), "200 Command okay") << "the most recent reply is still the last one";
}

TEST(FtpClientUpload, PortCommandDataAndEndOfTransfer) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  const std::string content = RandomBytes(200000);
  TempFile file(content);
  {
    Dialogue c;
    ASSERT_FALSE(c.login);
    ASSERT_FALSE(c.ftp.Put(file.path, "release.pak", false));
    EXPECT_EQ(c.server.Data(), content);
    const auto cmds = c.server.Commands();
    ASSERT_EQ(cmds.size(), 6u);
    unsigned h1, h2, h3, h4, p1, p2;
    ASSERT_EQ(std::sscanf(cmds[4].c_str(), "PORT %u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2), 6)
        << cmds[4];
    EXPECT_EQ(cmds[4].find(' ', 5), std::string::npos) << "no blanks inside the PORT argument";
    EXPECT_EQ((std::vector<unsigned>{h1, h2, h3, h4}), (std::vector<unsigned>{127, 0, 0, 1}));
    EXPECT_GT(p1 * 256 + p2, 0u);
    EXPECT_EQ(cmds[5], "STOR release.pak");
    EXPECT_EQ(c.ftp.LastReplyCode(), 226);
    // The data connection is not logged: no log line is anywhere near that size.
    for (const auto& l : c.lines) EXPECT_LT(l.size(), 1000u);
  }
  // After 426 one more reply is read, which must be 226.
  struct End {
    const char* replies;
    std::string failure;  // empty: the upload succeeds
  };
  for (const End& e : {End{"426 Connection closed; transfer aborted\r\n226 Closing data connection\r\n", ""},
                       End{"426 Connection closed; transfer aborted\r\n451 Local error\r\n", "451 Local error"}}) {
    SCOPED_TRACE(e.replies);
    Dialogue c(With(&Script::transferEnd, e.replies));
    ASSERT_FALSE(c.login);
    Failure f = c.ftp.Put(file.path, "release.pak", false);
    EXPECT_EQ(f.kind, e.failure.empty() ? FailureKind::None : FailureKind::Reply);
    EXPECT_EQ(f.message, e.failure);
  }
}

TEST(FtpClientUpload, EmptyAndMissingFiles) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c;
  ASSERT_FALSE(c.login);
  TempFile empty("");
  ASSERT_FALSE(c.ftp.Put(empty.path, "release.pak", false));
  EXPECT_EQ(c.server.DataConnections(), 1);
  EXPECT_EQ(c.server.Data(), "");

  const size_t before = c.server.Commands().size();
  Failure f = c.ftp.Put("/nonexistent/image.pak", "release.pak", false);
  EXPECT_EQ(f.kind, FailureKind::General);
  EXPECT_EQ(f.message, "Cannot open file /nonexistent/image.pak");
  EXPECT_EQ(c.server.Commands().size(), before) << "nothing is sent for a file that cannot be opened";

  // A folder and a FIFO open on Linux, but are no image: refused at once.
  char dir[] = "/tmp/quillbox-folder-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string folder = dir;
  const std::string fifo = folder + "/image.pak";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {folder, fifo}) {
    f = c.ftp.Put(path, "release.pak", false);
    EXPECT_EQ(f.kind, FailureKind::General);
    EXPECT_EQ(f.message, "Cannot open file " + path);
  }
  unlink(fifo.c_str());
  rmdir(folder.c_str());
  EXPECT_EQ(c.server.Commands().size(), before);
}

TEST(FtpClientFailures, ServerClosingAndEndlessLine) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  {
    Dialogue c(With(&Script::closeOn, "SITE"));
    ASSERT_FALSE(c.login);
    Failure f = c.ftp.Site("Upgrade");
    EXPECT_EQ(f.kind, FailureKind::ConnectionClosed);
    EXPECT_EQ(f.message, "Connection Closed Gracefully.");
    std::string line;
    EXPECT_EQ(c.ftp.ReadLine(0, &line).kind, FailureKind::ConnectionClosed);
  }
  {
    // A reply that came before the hang-up is still read: the command after
    // the upload gets it, and only the one after that meets the close.
    Script s;
    s.transferEnd = "226 Transfer complete\r\n421 Bye\r\n";
    s.closeAfterTransfer = true;
    Dialogue c(s);
    ASSERT_FALSE(c.login);
    TempFile file("image");
    ASSERT_FALSE(c.ftp.Put(file.path, "release.pak", false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the hang-up has arrived
    Failure f = c.ftp.Site("Upgrade");
    EXPECT_EQ(f.kind, FailureKind::Reply) << f.message;
    EXPECT_EQ(f.code, 421);
    EXPECT_EQ(f.message, "421 Bye");
    f = c.ftp.Site("Upgrade");
    EXPECT_EQ(f.kind, FailureKind::ConnectionClosed) << f.message;
  }
  {
    // Hung up while we were idle: the next command meets a closed connection.
    auto server = std::make_unique<ScriptedFtpServer>(Script{});
    Client c(server->Port());
    ASSERT_FALSE(c.ftp.Connect(true));
    server.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Failure f = c.ftp.Site("Upgrade");
    EXPECT_EQ(f.kind, FailureKind::ConnectionClosed) << f.message;
  }
  // A line without end, and short lines that never end the reply, are
  // bounded alike.
  std::string endless = "200-Start\r\n";
  while (endless.size() < 1536 * 1024) endless += "more of the same\r\n\r\n";
  struct Flood {
    std::string reply;
    const char* message;
  };
  for (const Flood& flood : {Flood{std::string(200 * 1024, 'x'), "Reply line too long."},
                             Flood{endless, "Reply too long."}}) {
    SCOPED_TRACE(flood.message);
    Dialogue c(With(&Script::site, flood.reply));
    ASSERT_FALSE(c.login);
    Failure f = c.ftp.Site("Upgrade");
    EXPECT_EQ(f.kind, FailureKind::General);
    EXPECT_EQ(f.message, flood.message);
    EXPECT_FALSE(c.ftp.IsConnected());
  }
}

TEST(FtpClientFailures, LineLimitHoldsHoweverTheLineArrives) {
  // A greeting whose text is `length` characters, its line end sent at once
  // or (lateLf) only once the client has had time to read all before it.
  struct Case {
    size_t length;
    bool lateLf;
    bool accepted;
  };
  for (const Case& c : {Case{FtpClient::kMaxLineLength, false, true}, Case{FtpClient::kMaxLineLength, true, true},
                        Case{FtpClient::kMaxLineLength + 1, false, false}}) {
    SCOPED_TRACE(testing::Message() << c.length << (c.lateLf ? ", LF late" : ""));
    net::Socket mine, peer;
    ASSERT_EQ(net::MakeStreamPair(&mine, &peer, net::Blocking::No), 0);
    std::string line = "220 ";
    line.resize(c.length, 'x');
    const std::string head = line + (c.lateLf ? "\r" : "\r\n");
    ASSERT_EQ(peer.SendAll(head.data(), head.size()), 0);
    std::thread late([&] {
      if (!c.lateLf) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      peer.SendAll("\n", 1);
    });
    Client client(0);
    Failure f = client.ftp.Attach(std::move(mine), false);
    late.join();
    if (c.accepted) {
      EXPECT_FALSE(f) << f.message;
      EXPECT_TRUE(client.ftp.LastReplyLine() == line) << client.ftp.LastReplyLine().size() << " characters";
    } else {
      EXPECT_EQ(f.kind, FailureKind::General);
      EXPECT_EQ(f.message, "Reply line too long.");
      EXPECT_FALSE(client.ftp.IsConnected());
    }
  }
}

TEST(FtpClientReadLine, TimeOutPartialLinesAndRawText) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c(With(&Script::site, "200 OK\r\n  451 Write error on device  \r\n"));
  ASSERT_FALSE(c.login);
  ASSERT_FALSE(c.ftp.Site("Upgrade"));
  std::string line;
  ASSERT_FALSE(c.ftp.ReadLine(1000, &line));
  EXPECT_EQ(line, "  451 Write error on device  ") << "ReadLine does not trim";
  EXPECT_EQ(c.ftp.LastReplyLine(), "200 OK") << "ReadLine leaves the last reply alone";

  auto start = std::chrono::steady_clock::now();
  ASSERT_FALSE(c.ftp.ReadLine(300, &line));
  EXPECT_EQ(line, "");
  EXPECT_GE(MsSince(start), 290);
  EXPECT_LT(MsSince(start), 2000);
}

TEST(FtpClientCancel, CloseDataConnectionEndsAcceptWait) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c(With(&Script::connectData, false));
  ASSERT_FALSE(c.login);
  TempFile file("data");
  std::thread canceller([&] {
    c.server.WaitForCommand("STOR", 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(c.ftp.CloseDataConnection());
  });
  auto start = std::chrono::steady_clock::now();
  Failure f = c.ftp.Put(file.path, "release.pak", false);
  canceller.join();
  EXPECT_EQ(f.kind, FailureKind::ConnectionClosed);
  EXPECT_LT(MsSince(start), 3000);
  // With nothing open a further close is harmless.
  EXPECT_FALSE(c.ftp.CloseDataConnection());
}

TEST(FtpClientUpload, DataConnectionFromAnotherHostIsRefused) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c(With(&Script::connectData, false));
  ASSERT_FALSE(c.login);
  TempFile file("firmware image");
  std::string leaked = "(no connection)";
  std::thread intruder([&] {
    if (!c.server.WaitForCommand("STOR", 5000)) return;
    unsigned h1, h2, h3, h4, p1, p2;
    for (const auto& cmd : c.server.Commands())
      if (std::sscanf(cmd.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) == 6) break;
    uint32_t other = 0, target = 0;
    net::ParseIpv4("127.0.0.2", &other);
    net::ParseIpv4("127.0.0.1", &target);
    net::Socket rogue;
    if (rogue.OpenTcp() || rogue.Bind({other, 0})) return;
    rogue.Connect({target, static_cast<uint16_t>(p1 << 8 | p2)},
                  std::chrono::steady_clock::now() + std::chrono::seconds(1), 1000);
    bool ready = false;
    leaked.clear();
    for (int i = 0; i < 50; ++i) {
      rogue.WaitReadable(20, &ready);
      if (!ready) continue;
      char buffer[256];
      size_t got = 0;
      if (rogue.Recv(buffer, sizeof buffer, &got) != 0 || got == 0) break;
      leaked.append(buffer, got);
    }
    c.ftp.CloseDataConnection();
    c.ftp.AbortWaits();  // ends the reply wait too, should the intruder have been served
  });
  Failure f = c.ftp.Put(file.path, "release.pak", false);
  intruder.join();
  EXPECT_EQ(f.kind, FailureKind::ConnectionClosed) << "still waiting for the server when closed";
  EXPECT_EQ(leaked, "");
}

TEST(FtpClientCancel, CloseDuringBlockedWriteIsSocketError) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  Dialogue c(With(&Script::readData, false));
  ASSERT_FALSE(c.login);
  TempFile file(RandomBytes(32 * 1024 * 1024));
  std::thread canceller([&] {
    c.server.WaitForCommand("STOR", 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.ftp.CloseDataConnection();
  });
  Failure f = c.ftp.Put(file.path, "release.pak", false);
  canceller.join();
  EXPECT_EQ(f.kind, FailureKind::Socket) << f.message;
  EXPECT_EQ(f.code, EPIPE);
}

TEST(FtpClientCancel, AbortEndsSilentWaitsButNotAnsweredOnes) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  {
    Script s;
    s.greeting = "";
    ScriptedFtpServer server(s);
    Client c(server.Port());
    std::thread canceller([&] {
      server.WaitForConnections(1, 5000);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      c.ftp.AbortWaits();
    });
    auto start = std::chrono::steady_clock::now();
    Failure f = c.ftp.Connect(true);
    canceller.join();
    EXPECT_EQ(f.kind, FailureKind::ConnectionClosed);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_FALSE(c.ftp.IsConnected());
  }
  {
    // Aborted before it starts, the login ends at once; with a silence
    // limit, a prompt device still completes it.
    ScriptedFtpServer server(Script{});
    Client c(server.Port());
    c.ftp.AbortWaits();
    EXPECT_EQ(c.ftp.Connect(true).kind, FailureKind::ConnectionClosed);
    c.ftp.AbortAfterSilenceMs = 10000;
    EXPECT_FALSE(c.ftp.Connect(true));
  }
}

TEST(FtpClientCancel, AbortEndsWaitsOnATricklingDevice) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  // One byte every 100 ms: every slice of the wait sees input, and every
  // piece of a line restarts the time limit of ReadLine.
  for (bool limited : {false, true}) {
    SCOPED_TRACE(limited ? "ReadLine with a time limit" : "reply wait without a limit");
    Script s;
    s.trickleOn = "SITE";
    if (limited) s.trickleFirst = "200 OK\r\n";
    Dialogue c(s);
    ASSERT_FALSE(c.login);
    if (limited) {
      ASSERT_FALSE(c.ftp.Site("Upgrade"));
    }
    std::chrono::steady_clock::time_point abortedAt;
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      abortedAt = std::chrono::steady_clock::now();
      c.ftp.AbortWaits();
    });
    std::string line;
    Failure f = limited ? c.ftp.ReadLine(1000, &line) : c.ftp.Site("Upgrade");
    const auto end = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_EQ(f.kind, FailureKind::ConnectionClosed) << f.message;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(end - abortedAt).count(), 350);
  }
}
