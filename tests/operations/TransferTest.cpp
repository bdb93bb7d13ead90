// Configuration retrieve and upload workers against simulated devices.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/ErrorTable.h"
#include "tests/support/FileBytes.h"
#include "tests/support/SimulatedDevicesSuite.h"

namespace {

using namespace std::chrono_literals;

using testsupport::ReadAll;
using testsupport::WriteAll;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

const char kRawConfig[] = "name=panel\n\0\x01key=\xff\xfe\n# end\n";
const std::string kConfigWithZeros(kRawConfig, sizeof kRawConfig - 1);

class TransferTest : public testsupport::SimulatedDevicesSuite<TransferTest> {
 protected:
  static void SetUpTestSuite() {
    StartDevices("transfer", {"--only", "http"}, [](const std::string& d) {
      WriteAll(d + "/device.cfg", kConfigWithZeros);
      return "00:50:C2:60:00:01 0 127.0.0.21 255.0.0.0 admin config=" + d + "/device.cfg\n"
             "00:50:C2:60:00:02 0 127.0.0.22 255.0.0.0 admin config-out=" + d + "/stored2.cfg http-log=" + d + "/http2.log\n"
             "00:50:C2:60:00:03 0 127.0.0.23 255.0.0.0 admin config-bytes=100 http-status=500\n"
             "00:50:C2:60:00:04 0 127.0.0.24 255.0.0.0 admin config-bytes=300000 http-drop=100000\n"
             "00:50:C2:60:00:05 0 127.0.0.25 255.0.0.0 admin config-bytes=400000 http-slow=50\n"
             "00:50:C2:60:00:06 0 127.0.0.26 255.0.0.0 admin auth=digest config=" + d + "/device.cfg config-out=" + d + "/stored6.cfg\n";
    });
  }

  static std::unique_ptr<CQuillbox> Device(uint8_t last, const std::string& password = "admin") {
    auto q = std::make_unique<CQuillbox>();
    q->record = std::make_unique<DeviceRecord>();
    uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x60, 0x00, static_cast<uint8_t>(last - 20)};
    q->record->setMac(mac);
    q->record->setIp(htonl(0x7F000000u | last));
    q->password = password;
    return q;
  }

  // Answers the store dialog with `path` (nothing: cancelled).
  StoreFileAsker Answer(std::optional<std::string> path) {
    return [this, path](const FileDialogRequest& r, const HttpRequest&) {
      asked.push_back(r);
      return path;
    };
  }

  // The store left no temporary file of `name` behind.
  static void ExpectNoTemporaryOf(const std::string& name) {
    for (const std::string& n : Entries(dir_)) EXPECT_EQ(n.find(name + "."), std::string::npos) << n;
  }

  std::vector<FileDialogRequest> asked;
};

TEST_F(TransferTest, RetrieveStoresTheBodyUnchangedOverAnExistingFile) {
  auto q = Device(21);
  q->configPath = "earlier.txt";
  const std::string target = Path("retrieved.txt");
  WriteAll(target, "an older configuration that is longer than the new one ...........");
  ::chmod(target.c_str(), 0640);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(target)), 0) << q->errorText;
  EXPECT_EQ(ReadAll(target), kConfigWithZeros);
  EXPECT_EQ(q->configPath, target);
  EXPECT_EQ(q->errorText, "");
  EXPECT_FALSE(q->request) << "request left published";
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced file kept its permissions";
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].save);
  EXPECT_EQ(asked[0].title, "Please enter a filename to store configuration file to");
  EXPECT_EQ(asked[0].filter, "Configuration Files (*.txt);;All Files (*)");
  EXPECT_EQ(asked[0].initialPath, "earlier.txt");
  EXPECT_EQ(asked[0].defaultSuffix, "txt");
  ExpectNoTemporaryOf("retrieved.txt");
}

TEST_F(TransferTest, RetrieveFailingMidwayLeavesTheExistingFileAlone) {
  auto q = Device(24);
  const std::string target = Path("precious.txt");
  WriteAll(target, "precious=1\n");
  int32_t rc = RetrieveConfigurationWorker(*q, Answer(target));
  EXPECT_EQ(rc, HTTP_ERROR_CONNECTION_ABORTED);
  EXPECT_NE(q->errorText, "");
  EXPECT_EQ(ReadAll(target), "precious=1\n");
  ExpectNoTemporaryOf("precious.txt");
}

TEST_F(TransferTest, StatusCodesBecomeTheirTexts) {
  auto none = Device(22);
  EXPECT_EQ(RetrieveConfigurationWorker(*none, Answer(Path("x.txt"))), 404);
  EXPECT_EQ(none->errorText, "Configuration file not found");
  auto broken = Device(23);
  EXPECT_EQ(RetrieveConfigurationWorker(*broken, Answer(Path("x.txt"))), 500);
  EXPECT_EQ(broken->errorText, ErrorText(500));
  EXPECT_NE(broken->errorText.find("0x1F4"), std::string::npos) << broken->errorText;
  broken->configPath = Path("device.cfg");
  EXPECT_EQ(UploadConfigurationWorker(*broken), 500);
  EXPECT_EQ(broken->errorText, "Configuration upload not supported");
  EXPECT_TRUE(asked.empty()) << "a file dialog for a failed request";
  EXPECT_FALSE(Exists(Path("x.txt")));
}

TEST_F(TransferTest, WrongPasswordIsReportedAs401) {
  auto q = Device(21, "wrong");
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(Path("y.txt"))), 401);
  q->configPath = Path("device.cfg");
  EXPECT_EQ(UploadConfigurationWorker(*q), 401);
  EXPECT_TRUE(asked.empty());
}

TEST_F(TransferTest, UploadSendsTheFileByteForByte) {
  auto q = Device(22);
  q->configPath = Path("upload-binary.cfg");
  WriteAll(q->configPath, kConfigWithZeros);
  EXPECT_EQ(UploadConfigurationWorker(*q), 0) << q->errorText;
  EXPECT_EQ(ReadAll(Path("stored2.cfg")), kConfigWithZeros);
  // The device hands back what it stored.
  const std::string back = Path("back.txt");
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(back)), 0) << q->errorText;
  EXPECT_EQ(ReadAll(back), kConfigWithZeros);

  q->configPath = Path("empty.cfg");
  WriteAll(q->configPath, "");
  EXPECT_EQ(UploadConfigurationWorker(*q), 0) << q->errorText;
  ASSERT_TRUE(Exists(Path("stored2.cfg")));
  EXPECT_EQ(ReadAll(Path("stored2.cfg")), "");
  std::string log = ReadAll(Path("http2.log"));
  EXPECT_NE(log.find("POST /CGI/mUploadCGI?file=ConfigFile.txt 0\n"), std::string::npos) << log;
}

TEST_F(TransferTest, DigestAuthenticationIsNegotiated) {
  auto q = Device(26);
  const std::string target = Path("digest.txt");
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(target)), 0) << q->errorText;
  EXPECT_EQ(ReadAll(target), kConfigWithZeros);
  // The body goes out again in the authenticated round.
  q->configPath = Path("digest-up.cfg");
  WriteAll(q->configPath, "digest=yes\n");
  EXPECT_EQ(UploadConfigurationWorker(*q), 0) << q->errorText;
  EXPECT_EQ(ReadAll(Path("stored6.cfg")), "digest=yes\n");
  auto wrong = Device(26, "nope");
  EXPECT_EQ(RetrieveConfigurationWorker(*wrong, Answer(target)), 401);
}

TEST_F(TransferTest, UploadOfAMissingFileNamesItAndSendsNothing) {
  auto q = Device(22);
  const std::string before = ReadAll(Path("http2.log"));
  q->configPath = Path("no-such-file.cfg");
  EXPECT_EQ(UploadConfigurationWorker(*q), 2);
  EXPECT_EQ(q->errorText, Path("no-such-file.cfg") + " was not found.");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ReadAll(Path("http2.log")), before) << "a request reached the device";

  // A pipe nobody writes to is no configuration file (and must not hang).
  q->configPath = Path("pipe.cfg");
  ASSERT_EQ(::mkfifo(q->configPath.c_str(), 0600), 0);
  EXPECT_EQ(UploadConfigurationWorker(*q), 5);
  EXPECT_EQ(q->errorText, "Access to " + Path("pipe.cfg") + " was denied.");
  EXPECT_EQ(ReadAll(Path("http2.log")), before) << "a request reached the device";
}

TEST_F(TransferTest, DeviceRefusingTheUploadShowsItsAnswer) {
  auto q = Device(22);
  q->configPath = Path("malformed.cfg");
  WriteAll(q->configPath, "a=1\nthis is no setting\n");
  EXPECT_EQ(UploadConfigurationWorker(*q), 400);
  EXPECT_EQ(q->errorText, "Configuration Upload error!\n\nLine 2: expected name=value");
}

TEST_F(TransferTest, RetrieveIntoAMissingFolderReportsTheFileError) {
  auto q = Device(21);
  const std::string target = Path("no-folder/cfg.txt");
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(target)), 3);
  EXPECT_EQ(q->errorText, target + " contains an invalid path.");
}

TEST_F(TransferTest, DialogCancelledEndsQuietly) {
  auto q = Device(21);
  q->configPath = "kept.txt";
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(std::nullopt)), HTTP_ERROR_CANCELLED);
  EXPECT_EQ(q->configPath, "kept.txt");
}

// Closes q's request from another thread, as the Cancel button does.
std::thread CancelLater(CQuillbox& q, std::chrono::milliseconds after) {
  return std::thread([&q, after] {
    std::this_thread::sleep_for(after);
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::recursive_mutex> g(q.lock);
        if (q.request) {
          q.request->Close();
          return;
        }
      }
      std::this_thread::sleep_for(10ms);
    }
  });
}

TEST_F(TransferTest, FailureTextsAreCutAsTheSystemCutsItsMessages) {
  // The layer's detail names the host: a long name (resolved here, as every
  // *.localhost is, to this computer, where nothing listens on port 9)
  // makes a long message.
  std::string host;
  for (int label = 0; label < 3; ++label) host += std::string(60, 'a' + label) + ".";
  host += "localhost";
  HttpClient client("test manager");
  HttpRequest request(client, HttpTarget{host, 9, "admin", "admin"}, "GET", "/");
  HttpError err;
  EXPECT_EQ(request.Send(nullptr, err), HTTP_ERROR_CANNOT_CONNECT);
  EXPECT_EQ(err.code, HTTP_ERROR_CANNOT_CONNECT);
  EXPECT_EQ(err.text.size(), HTTP_ERROR_TEXT_MAX) << err.text;
  EXPECT_EQ(err.text.rfind("A connection with the server could not be established (", 0), 0u) << err.text;
  EXPECT_NE(err.text.find(std::string(60, 'b')), std::string::npos) << err.text;
}

TEST_F(TransferTest, CancelDuringASlowBodyKeepsTheOldFile) {
  auto q = Device(25);
  const std::string target = Path("slow.txt");
  WriteAll(target, "old=1\n");
  std::thread cancel = CancelLater(*q, 300ms);
  int32_t rc = RetrieveConfigurationWorker(*q, Answer(target));
  cancel.join();
  EXPECT_EQ(rc, HTTP_ERROR_CANCELLED);
  EXPECT_EQ(ReadAll(target), "old=1\n");
  ExpectNoTemporaryOf("slow.txt");
}

TEST_F(TransferTest, CancelWhileTheDeviceNeverAnswers) {
  auto q = Device(21);
  q->record->setIp(htonl(0x0AC80005u));  // 10.200.0.5: the namespace's silent sink
  std::thread cancel = CancelLater(*q, 300ms);
  int32_t rc = RetrieveConfigurationWorker(*q, Answer(Path("never.txt")));
  cancel.join();
  EXPECT_EQ(rc, HTTP_ERROR_CANCELLED);
  EXPECT_TRUE(asked.empty());
}

}  // namespace
