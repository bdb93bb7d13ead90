#pragma once
// A scripted FTP device on loopback for tests: answers each command with the
// text its script gives, records what it received, and makes the active
// data connection itself. Every wait is sliced and ends when the server is
// destroyed.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/Socket.h"

namespace testftp {

struct Script {
  std::string greeting = "220 Test device ready\r\n";  // empty: never greets
  std::string user = "331 Password required\r\n";
  std::string pass = "230 Logged in\r\n";
  std::string type = "200 Type set to I\r\n";
  std::string syst = "215 UNIX Type: L8\r\n";
  std::string port = "200 PORT command successful\r\n";
  std::string stor = "150 Opening data connection\r\n";
  std::string transferEnd = "226 Transfer complete\r\n";
  std::string site = "200 Command okay\r\n";
  std::string silentOn;  // a command starting with this gets no answer
  std::string closeOn;   // a command starting with this closes the connection
  bool connectData = true;
  bool readData = true;
  // Reset the data connection after the first bytes and then send this on
  // the control connection.
  bool resetData = false;
  std::string afterReset;
  // Send every reply byte by byte, so that lines arrive in pieces.
  bool trickle = false;
  // A command starting with this is answered by trickleText, repeated, one
  // byte every trickleIntervalMs, for trickleForMs; then the device hangs up.
  std::string trickleOn;
  // The same after the data connection was reset (resetData).
  bool trickleAfterReset = false;
  std::string trickleFirst;  // sent at once before the trickle
  std::string trickleText = "x";
  int trickleIntervalMs = 100;
  int trickleForMs = 5000;
  // Hang up right after the end-of-transfer reply.
  bool closeAfterTransfer = false;
  // From the second connection on (the login after the restart): every
  // reply, the greeting included, comes this late, or never.
  int laterConnectionsDelayMs = 0;
  bool laterConnectionsSilent = false;
  // Once this many connections have been taken (0: no limit), the device
  // stops listening, so further connects are refused.
  int maxConnections = 0;
};

class ScriptedFtpServer {
 public:
  explicit ScriptedFtpServer(Script script, const std::string& ip = "127.0.0.1", uint16_t port = 0);
  ~ScriptedFtpServer();
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  uint16_t Port() const { return port_; }
  std::vector<std::string> Commands() const;
  std::string Data() const;
  int Connections() const { return connections_; }
  int DataConnections() const { return dataConnections_; }
  // True once a command starting with prefix has arrived (waits up to ms).
  bool WaitForCommand(const std::string& prefix, int ms) const;
  bool WaitForConnections(int count, int ms) const;

 private:
  void Run();
  void Serve(net::Socket& control);
  void Transfer(net::Socket& control, const std::string& portArgument);
  bool SendText(net::Socket& s, const std::string& text);
  // A reply on the current connection, as late as the script says.
  bool Reply(net::Socket& s, const std::string& text);
  void Trickle(net::Socket& s);

  Script script_;
  net::Socket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> dataConnections_{0};
  bool laterConnection_ = false;  // the server thread's own
  mutable std::mutex mutex_;  // guards commands_ and data_
  std::vector<std::string> commands_;
  std::string data_;
  std::thread thread_;
};

}  // namespace testftp
