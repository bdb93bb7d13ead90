// The exports while an upgrade runs: the single-operation guard, Cancel from
// another thread, and cancels racing the end of sessions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LoadedLibrary.h"
#include "ScriptedFtpServer.h"
#include "support/NetGuard.h"

namespace {

using testquillbox::kLibrary;
using testquillbox::LoadedLibrary;

}  // namespace

TEST(LibraryExportsNet, SecondCallsAreRefusedAndCancelEndsTheUpgrade) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  LoadedLibrary lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  testftp::Script silent;
  silent.greeting = "";
  testftp::ScriptedFtpServer device(silent, "127.0.0.1", 21);

  EXPECT_EQ(lib.Upgrade("127.0.0.1", "admin", "pw", "/x.pak", 16, nullptr), 1);
  std::atomic<int32_t> result{0};
  std::thread worker([&] { result = lib.Upgrade("127.0.0.1", "admin", "pw", "/x.pak", 3, nullptr); });
  ASSERT_TRUE(device.WaitForConnections(1, 5000));

  const char* text = nullptr;
  int32_t code = -1;
  lib.GetLastError(&text, &code);
  EXPECT_EQ(code, 0) << "the running session reset the last error";
  EXPECT_EQ(lib.Upgrade("127.0.0.1", "admin", "pw", "/x.pak", 16, nullptr), 1);
  lib.GetLastError(&text, &code);
  EXPECT_EQ(code, 0) << "a refused Upgrade leaves the last error alone";
  EXPECT_STREQ(text, "");
  EXPECT_EQ(lib.WaitForFile("/x.pak", 0, nullptr), 0);

  const auto start = std::chrono::steady_clock::now();
  lib.Cancel();
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(result, 1);
  lib.GetLastError(&text, &code);
  EXPECT_EQ(code, 12017);
  EXPECT_STREQ(text, "");
  lib.Cancel();

  // The guard is free again.
  EXPECT_EQ(lib.Upgrade("127.0.0.1", "admin", "pw", "/x.pak", 18, nullptr), 1);
  lib.GetLastError(&text, &code);
  EXPECT_EQ(code, 2002);
}

TEST(LibraryExportsNet, CancelsRacingSessionEndsAreHarmless) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  LoadedLibrary lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  // Nothing listens on port 21 now: each Upgrade ends quickly with a refused
  // connection while another thread cancels without pause.
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done) lib.Cancel();
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(lib.Upgrade("127.0.0.1", "admin", "pw", "/x.pak", 3, nullptr), 1);
    const char* text = nullptr;
    int32_t code = 0;
    lib.GetLastError(&text, &code);
    EXPECT_TRUE(code == ECONNREFUSED || code == 12017) << code;
  }
  done = true;
  canceller.join();
}

TEST(LibraryExportsNet, LineBreaksInTheLoginAreRefusedBeforeConnecting) {
  QUILL_REQUIRE_PRIVATE_NETWORK();
  LoadedLibrary lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  testftp::ScriptedFtpServer device(testftp::Script{}, "127.0.0.1", 21);
  struct Case {
    const char* user;
    const char* password;
  };
  const std::vector<Case> cases{
      {"admin", "x\r\nDELE y"}, {"admin", "x\nDELE y"}, {"admin", "x\rDELE y"},
      {"admin\r\nDELE y", "pw"}, {"admin\n", "pw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " / " + c.password);
    EXPECT_EQ(lib.Upgrade("127.0.0.1", c.user, c.password, "/x.pak", 3, nullptr), 1);
    const char* text = nullptr;
    int32_t code = -1;
    lib.GetLastError(&text, &code);
    EXPECT_EQ(code, 2003);
    EXPECT_STREQ(text, "The user name or password contains a line break");
  }
  EXPECT_EQ(device.Connections(), 0) << "nothing may reach the device";
  EXPECT_TRUE(device.Commands().empty());

  // The device was there all along: an ordinary login reaches it.
  EXPECT_EQ(lib.Upgrade("127.0.0.1", "admin", "pw", "/nonexistent.pak", 3, nullptr), 1);
  const char* text = nullptr;
  int32_t code = -1;
  lib.GetLastError(&text, &code);
  EXPECT_EQ(code, 5);
  EXPECT_STREQ(text, "Cannot open file /nonexistent.pak");
  EXPECT_EQ(device.Connections(), 1);
  EXPECT_TRUE(device.WaitForCommand("pass pw", 1000));
}
