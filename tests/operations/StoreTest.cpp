// Where a retrieved configuration goes and what a device may send as one,
// and the upload's file read as it is sent, against web servers of the
// test's own on loopback. Pipes, device nodes and set-user-ID files exist
// only inside a private mount namespace (tests/support/PrivateMount.h).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/operations/Quillbox.h"
#include "tests/support/FileBytes.h"
#include "tests/support/HttpPeer.h"
#include "tests/support/NetGuard.h"
#include "tests/support/PrivateMount.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Brief;
using testsupport::HttpPeer;
using testsupport::HttpPeerConnection;
using testsupport::ReadAll;
using testsupport::WriteAll;
using Clock = std::chrono::steady_clock;

const std::string kBody = std::string("name=panel\n\0\x01key=\xff\n", 20);

std::unique_ptr<CQuillbox> Device(uint8_t last) {
  auto q = std::make_unique<CQuillbox>();
  q->record = std::make_unique<DeviceRecord>();
  q->record->setIp(htonl(0x7F000000u | last));
  q->password = "admin";
  return q;
}

std::string Address(uint8_t last) { return "127.0.0." + std::to_string(last); }

std::string Head(const std::string& fields) { return "HTTP/1.0 200 OK\r\n" + fields + "\r\n"; }

// Answers every request with `body` and its length.
HttpPeer::Handler Serving(std::string body) {
  return [body](HttpPeerConnection& c) {
    std::string head;
    if (c.ReadHead(head)) c.Send(Head("Content-Length: " + std::to_string(body.size()) + "\r\n") + body);
  };
}

StoreFileAsker Answer(std::string path) {
  return [path](const FileDialogRequest&, const HttpRequest&) { return std::optional<std::string>(path); };
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string LinkText(const std::string& path) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A block device number no driver of this machine answers to (a local or
// experimental major not in /proc/devices), so that even a faulty open of
// the node could reach nothing; 0 when there is none.
dev_t UnusedBlockDevice() {
  std::ifstream devices("/proc/devices");
  std::string line;
  bool block = false;
  std::vector<int> used;
  while (std::getline(devices, line)) {
    if (line.rfind("Block devices:", 0) == 0) block = true;
    else if (block && !line.empty()) used.push_back(std::atoi(line.c_str()));
  }
  if (!block) return 0;
  for (int major = 240; major <= 254; ++major)
    if (std::find(used.begin(), used.end(), major) == used.end()) return makedev(major, 0);
  return 0;
}

// Reads a pipe until its writer closes it (bounded), on a thread of its own.
class PipeReader {
 public:
  explicit PipeReader(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    thread_ = std::thread([this] {
      const auto giveUp = Clock::now() + 20s;
      bool writerSeen = false;
      while (fd_ >= 0 && Clock::now() < giveUp) {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, 50);
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
          writerSeen = true;
          std::lock_guard<std::mutex> g(mutex_);
          got_.append(buf, static_cast<size_t>(n));
        } else if (n == 0 && writerSeen) {
          break;  // the writer closed its end
        } else if (n == 0) {
          std::this_thread::sleep_for(10ms);  // no writer yet
        }
      }
    });
  }
  ~PipeReader() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  std::string Wait() {
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> g(mutex_);
    return got_;
  }

 private:
  int fd_ = -1;
  std::mutex mutex_;  // guards got_
  std::string got_;
  std::thread thread_;
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_PRIVATE_NETWORK(); }

  // A folder of the test's own outside any private mount, removed after.
  std::string PlainFolder() {
    char pattern[] = "/tmp/quill-store-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    plain_ = pattern;
    return plain_;
  }
  void TearDown() override {
    if (!plain_.empty()) std::filesystem::remove_all(plain_);
  }

  std::string plain_;
};

TEST_F(StoreTest, ReplacedFileKeepsOwnerAndPermissionBitsOnly) {
  std::string dir;
  QUILL_IN_PRIVATE_MOUNT(dir);
  HttpPeer peer(Address(41), 80, Serving(kBody));
  ASSERT_TRUE(peer.Ready()) << peer.Error();
  auto q = Device(41);

  // A set-user-ID, set-group-ID, sticky program of someone else's: the
  // device's bytes must not become a program that runs as its owner.
  const std::string tool = dir + "/tool";
  WriteAll(tool, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(tool.c_str(), 07755), 0);
  ASSERT_EQ(::chown(tool.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(tool.c_str(), 07755), 0);  // chown drops the set-ID bits
  ASSERT_EQ(ModeOf(tool) & 07777, 07755u);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(tool)), 0) << q->errorText;
  EXPECT_EQ(ReadAll(tool), kBody);
  struct stat st {};
  ASSERT_EQ(::stat(tool.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);

  // A new file gets what any new file gets: 0666 less the umask.
  const mode_t before = ::umask(027);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(dir + "/new.txt")), 0) << q->errorText;
  ::umask(before);
  EXPECT_EQ(ModeOf(dir + "/new.txt"), S_IFREG | 0640u);
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"new.txt", "tool"}));
}

TEST_F(StoreTest, PipesAndDevicesAreWrittenInPlaceOthersRefused) {
  std::string dir;
  QUILL_IN_PRIVATE_MOUNT(dir);
  HttpPeer peer(Address(42), 80, Serving(kBody));
  ASSERT_TRUE(peer.Ready()) << peer.Error();
  auto q = Device(42);

  // A pipe somebody reads gets the body and stays a pipe, also through a link.
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("fifo", (dir + "/to-fifo").c_str()), 0);
  for (const std::string& name : {fifo, dir + "/to-fifo"}) {
    SCOPED_TRACE(name);
    PipeReader reader(fifo);
    EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(name)), 0) << q->errorText;
    EXPECT_EQ(reader.Wait(), kBody);
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
  }
  EXPECT_TRUE(S_ISLNK(ModeOf(dir + "/to-fifo")));

  // Nobody reads: a clear failure at once, not a wait for a reader.
  const auto start = Clock::now();
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(fifo)), CONFIG_ERROR_NO_READER);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(q->errorText, "No program reads from " + fifo + "; the configuration was not stored");
  EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));

  // A character device (the null device's numbers, made here) is written.
  const std::string null = dir + "/null";
  ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(null)), 0) << q->errorText;
  struct stat st {};
  ASSERT_EQ(::lstat(null.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(1, 3));

  // A block device, a socket and a folder are no place for a configuration.
  std::vector<std::string> refused = {dir + "/socket", dir + "/folder"};
  ASSERT_EQ(::mknod(refused[0].c_str(), S_IFSOCK | 0666, 0), 0);
  ASSERT_EQ(::mkdir(refused[1].c_str(), 0700), 0);
  if (const dev_t block = UnusedBlockDevice()) {
    refused.push_back(dir + "/block");
    ASSERT_EQ(::mknod(refused.back().c_str(), S_IFBLK | 0600, block), 0);
  } else {
    ADD_FAILURE() << "no unused block device number to make a node with";
  }
  for (const std::string& name : refused) {
    SCOPED_TRACE(name);
    const mode_t type = ModeOf(name) & S_IFMT;
    EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(name)), 5);
    EXPECT_EQ(q->errorText, "Access to " + name + " was denied.");
    EXPECT_EQ(ModeOf(name) & S_IFMT, type);
  }
  EXPECT_TRUE(Entries(dir + "/folder").empty());
  std::vector<std::string> names = {"fifo", "folder", "null", "socket", "to-fifo"};
  if (refused.size() == 3) names.insert(names.begin(), "block");
  EXPECT_EQ(Entries(dir), names) << "a temporary file was left";
}

TEST_F(StoreTest, LinksAreFollowedToTheFileTheyNameAndKept) {
  HttpPeer peer(Address(43), 80, Serving(kBody));
  ASSERT_TRUE(peer.Ready()) << peer.Error();
  auto q = Device(43);
  const std::string dir = PlainFolder();
  ASSERT_EQ(::mkdir((dir + "/real").c_str(), 0700), 0);
  const std::string target = dir + "/real/target.txt";
  WriteAll(target, "old\n");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("real/target.txt", (dir + "/cfg.txt").c_str()), 0);
  ASSERT_EQ(::symlink((dir + "/cfg.txt").c_str(), (dir + "/chain.txt").c_str()), 0);

  for (const char* name : {"cfg.txt", "chain.txt"}) {
    SCOPED_TRACE(name);
    WriteAll(target, "old\n");
    EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(dir + "/" + name)), 0) << q->errorText;
    EXPECT_EQ(ReadAll(target), kBody);
    EXPECT_EQ(ModeOf(target), S_IFREG | 0640u);
    EXPECT_EQ(q->configPath, dir + "/" + name) << "the name chosen is the one offered next";
  }
  EXPECT_EQ(LinkText(dir + "/cfg.txt"), "real/target.txt");
  EXPECT_EQ(LinkText(dir + "/chain.txt"), dir + "/cfg.txt");

  // A dangling link makes the file it names.
  ASSERT_EQ(::symlink("real/made.txt", (dir + "/dangling.txt").c_str()), 0);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(dir + "/dangling.txt")), 0) << q->errorText;
  EXPECT_EQ(ReadAll(dir + "/real/made.txt"), kBody);
  EXPECT_EQ(LinkText(dir + "/dangling.txt"), "real/made.txt");

  // Links in a loop name no file.
  ASSERT_EQ(::symlink("loop-b", (dir + "/loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", (dir + "/loop-b").c_str()), 0);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(dir + "/loop-a")), 3);
  EXPECT_EQ(q->errorText, dir + "/loop-a contains an invalid path.");
  EXPECT_EQ(LinkText(dir + "/loop-a"), "loop-b");

  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"cfg.txt", "chain.txt", "dangling.txt", "loop-a",
                                                    "loop-b", "real"}));
  EXPECT_EQ(Entries(dir + "/real"), (std::vector<std::string>{"made.txt", "target.txt"}));
}

// Sends the head, then `total` bytes (endless when 0) in `piece`s with
// `pause` between them, until the client goes.
HttpPeer::Handler Streaming(std::string head, uint64_t total, size_t piece,
                            std::chrono::milliseconds pause) {
  return [=](HttpPeerConnection& c) {
    std::string request;
    if (!c.ReadHead(request) || !c.Send(head)) return;
    const std::string bytes(piece, 'x');
    // An endless body is bounded for the peer's own sake: a client that
    // takes it all is caught by what it stored.
    const uint64_t limit = total ? total : 4 * CONFIG_MAX_BYTES;
    for (uint64_t sent = 0; sent < limit; sent += piece) {
      if (!c.Send(bytes.data(), static_cast<size_t>(std::min<uint64_t>(piece, limit - sent)))) return;
      if (pause.count() && !c.Sleep(pause)) return;
    }
  };
}

TEST_F(StoreTest, DeviceSendingMoreThanAConfigurationIsRefused) {
  const std::string dir = PlainFolder();
  const std::string target = dir + "/kept.txt";
  const std::string tooLarge = "The device sent more than 16 MiB; the configuration was not stored";
  struct {
    const char* what;
    uint8_t last;
    std::string head;
    bool asked;
  } cases[] = {
      {"a body without end or length", 44, Head(""), true},
      {"a length over the limit", 45, Head("Content-Length: " + std::to_string(CONFIG_MAX_BYTES + 1) + "\r\n"),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HttpPeer peer(Address(c.last), 80, Streaming(c.head, 0, 64 * 1024, 0ms));
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    WriteAll(target, "old\n");
    auto q = Device(c.last);
    bool asked = false;
    StoreFileAsker ask = [&](const FileDialogRequest&, const HttpRequest&) {
      asked = true;
      return std::optional<std::string>(target);
    };
    EXPECT_EQ(RetrieveConfigurationWorker(*q, ask), CONFIG_ERROR_TOO_LARGE);
    EXPECT_EQ(q->errorText, tooLarge);
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(Brief(ReadAll(target)), "old\n");
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"kept.txt"});
  }

  // Up to the limit is a configuration.
  HttpPeer peer(Address(46), 80,
                Streaming(Head("Content-Length: " + std::to_string(CONFIG_MAX_BYTES) + "\r\n"),
                          CONFIG_MAX_BYTES, 64 * 1024, 0ms));
  ASSERT_TRUE(peer.Ready()) << peer.Error();
  auto q = Device(46);
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(target)), 0) << q->errorText;
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), CONFIG_MAX_BYTES);
}

TEST_F(StoreTest, BodySlowerThanTheFloorEndsWhileTheDialogDoesNotCount) {
  const std::string dir = PlainFolder();
  const std::string target = dir + "/kept.txt";
  WriteAll(target, "old\n");
  const HttpFloor floor{1024, 1500ms};

  // 50 bytes a second: a kilobyte would take twenty.
  HttpPeer trickle(Address(47), 80, Streaming(Head("Content-Length: 100000\r\n"), 100000, 1, 20ms));
  ASSERT_TRUE(trickle.Ready()) << trickle.Error();
  auto q = Device(47);
  const auto start = Clock::now();
  EXPECT_EQ(RetrieveConfigurationWorker(*q, Answer(target), floor), HTTP_ERROR_TIMEOUT);
  EXPECT_LT(Clock::now() - start, 6s);
  EXPECT_EQ(q->errorText, "The device sent less than 1 KiB in 1500 ms; the configuration was not stored");
  EXPECT_EQ(Brief(ReadAll(target)), "old\n");
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"kept.txt"});

  // Above the floor while it is read, with a dialog open longer than the
  // window meanwhile (the transfer is held back then, not slow).
  HttpPeer steady(Address(48), 80, Streaming(Head("Content-Length: 8192\r\n"), 8192, 1024, 300ms));
  ASSERT_TRUE(steady.Ready()) << steady.Error();
  auto r = Device(48);
  StoreFileAsker slowUser = [&](const FileDialogRequest&, const HttpRequest&) {
    std::this_thread::sleep_for(3s);
    return std::optional<std::string>(target);
  };
  EXPECT_EQ(RetrieveConfigurationWorker(*r, slowUser, floor), 0) << r->errorText;
  EXPECT_EQ(Brief(ReadAll(target)), Brief(std::string(8192, 'x')));
}

// Takes an upload's body slowly enough for the test to change the file in
// the middle: after `first` bytes it waits for the go-ahead.
class UploadTaker {
 public:
  explicit UploadTaker(uint64_t first) : first_(first) {}
  HttpPeer::Handler Handler() {
    return [this](HttpPeerConnection& c) {
      std::string head;
      if (!c.ReadHead(head)) return;
      const uint64_t length = std::stoull("0" + HttpPeerConnection::Header(head, "Content-Length"));
      auto count = [this](const char*, size_t n) { received_ += n; };
      uint64_t got = c.ReadBody(std::min(first_, length), count);
      {
        std::unique_lock<std::mutex> g(mutex_);
        paused_ = true;
        changed_.notify_all();
        changed_.wait_for(g, 20s, [this] { return resume_; });
      }
      got += c.ReadBody(length - got, count);
      if (got == length) c.Send(Head("Content-Length: 2\r\n") + "ok");
    };
  }
  bool WaitPaused() {
    std::unique_lock<std::mutex> g(mutex_);
    return changed_.wait_for(g, 20s, [this] { return paused_; });
  }
  void Resume() {
    std::lock_guard<std::mutex> g(mutex_);
    resume_ = true;
    changed_.notify_all();
  }
  uint64_t Received() const { return received_.load(); }

 private:
  uint64_t first_;
  std::atomic<uint64_t> received_{0};
  std::mutex mutex_;  // guards paused_ and resume_
  std::condition_variable changed_;
  bool paused_ = false;
  bool resume_ = false;
};

TEST_F(StoreTest, UploadOfAFileThatChangesSizeIsEndedBeforeItsEnd) {
  const std::string dir = PlainFolder();
  constexpr off_t kSize = 64 << 20;  // far more than the sockets hold
  struct {
    const char* what;
    off_t changedTo;
    uint8_t last;
  } cases[] = {{"shrinks", kSize / 2, 49}, {"grows", kSize + 1, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir + "/upload.cfg";
    ::unlink(file.c_str());
    {
      const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::ftruncate(fd, kSize), 0);
      ::close(fd);
    }
    UploadTaker taker(1 << 20);
    HttpPeer peer(Address(c.last), 80, taker.Handler());
    ASSERT_TRUE(peer.Ready()) << peer.Error();
    auto q = Device(c.last);
    q->configPath = file;
    int32_t rc = -1;
    std::thread upload([&] { rc = UploadConfigurationWorker(*q); });
    const bool paused = taker.WaitPaused();
    EXPECT_TRUE(paused);
    if (paused) {
      EXPECT_EQ(::truncate(file.c_str(), c.changedTo), 0);
    }
    taker.Resume();
    upload.join();
    EXPECT_EQ(rc, CONFIG_ERROR_FILE_CHANGED);
    EXPECT_EQ(q->errorText, file + " changed while it was being sent; the upload was ended");
    EXPECT_LT(taker.Received(), static_cast<uint64_t>(kSize)) << "the device got a whole body";
  }
}

}  // namespace
