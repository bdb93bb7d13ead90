// The FTP client against a real FTP server: login, active-mode upload of a
// multi-megabyte image, byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "FtpClient.h"
#include "PyFtpServer.h"
#include "support/FileBytes.h"
#include "support/NetGuard.h"

using namespace quillbox;
using testsupport::ReadAll;
using testsupport::WriteAll;

TEST(FtpInterop, UploadToARealServerIsByteIdentical) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  if (!testftp::PyFtpServer::Available())
    GTEST_SKIP() << "python3-pyftpdlib is not installed (apt-get install python3-pyftpdlib)";
  testftp::PyFtpServer server;
  ASSERT_TRUE(server.Ready()) << "pyftpdlib did not start";

  std::string content(6 * 1024 * 1024 + 12345, '\0');
  std::mt19937 gen(11);
  for (auto& c : content) c = static_cast<char>(gen());
  const std::string local = server.Folder() + "-image.pak";
  WriteAll(local, content);

  ProtocolLog log;
  log.Target = ltNone;
  log.Active = true;
  std::vector<std::string> trace;
  log.OnLogItem = [&trace](const std::string& line) { trace.push_back(line); };
  FtpClient ftp;
  ftp.ProtocolLog = &log;
  server.Configure(ftp);
  Failure f = ftp.Connect(true);
  ASSERT_FALSE(f) << f.message;
  f = ftp.Put(local, "release.pak", false);
  ASSERT_FALSE(f) << f.message;
  EXPECT_EQ(ftp.LastReplyCode(), 226);
  EXPECT_TRUE(ReadAll(server.Folder() + "/release.pak") == content) << "upload differs";

  // A second upload over the same control connection replaces the file.
  content.resize(1000);
  WriteAll(local, content);
  ASSERT_FALSE(ftp.Put(local, "release.pak", false));
  EXPECT_TRUE(ReadAll(server.Folder() + "/release.pak") == content);

  // A site command the server does not know is a reply error, not a hang.
  f = ftp.Site("Upgrade");
  EXPECT_EQ(f.kind, FailureKind::Reply);
  EXPECT_GE(f.code, 500);
  ftp.Disconnect();
  unlink(local.c_str());
  // The real server accepted the password; the trace does not show it.
  ASSERT_FALSE(trace.empty());
  for (const auto& line : trace)
    EXPECT_EQ(line.find(testftp::PyFtpServer::kPassword), std::string::npos) << line;

  // A wrong password is refused by the real server during Connect.
  ftp.Password = "wrong";
  f = ftp.Connect(true);
  EXPECT_EQ(f.kind, FailureKind::Reply);
  EXPECT_EQ(f.code, 530);
  EXPECT_FALSE(ftp.IsConnected());
}
