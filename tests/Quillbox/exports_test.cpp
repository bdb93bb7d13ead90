// The built library as the explorer sees it: loaded by file name, exactly
// four exports, and the guard and last-error behaviour behind them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "LoadedLibrary.h"

namespace {

using testquillbox::kLibrary;
using testquillbox::LoadedLibrary;

}  // namespace

TEST(LibraryExports, ExactlyFourDynamicSymbols) {
  const std::string command = "nm -D --defined-only '" + kLibrary + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  std::set<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe.get())) {
    std::istringstream in(line);
    std::string address, type, name;
    if (in >> address >> type >> name) names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"Cancel", "GetLastError", "Upgrade", "WaitForFile"}));
}

TEST(LibraryExports, GuardAndLastErrorWithoutNetwork) {
  LoadedLibrary lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  auto upgrade = lib.Get<QuillboxUpgradeFn>("Upgrade");
  auto getLastError = lib.Get<QuillboxGetLastErrorFn>("GetLastError");
  auto cancel = lib.Get<QuillboxCancelFn>("Cancel");
  ASSERT_TRUE(upgrade && getLastError && cancel && lib.Get<QuillboxWaitForFileFn>("WaitForFile"));

  const char* text = nullptr;
  int32_t code = -1;
  getLastError(&text, &code);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_STREQ(text, "");

  const auto start = std::chrono::steady_clock::now();
  cancel();  // nothing running: nothing to do
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

  EXPECT_EQ(upgrade("192.0.2.1", "admin", "pw", "/nonexistent.pak", 16, nullptr), 1);
  getLastError(&text, &code);
  EXPECT_EQ(code, 2002);
  EXPECT_STREQ(text, "Firmware does not support FTP upgrade");
  const char* again = nullptr;
  int32_t code2 = 0;
  getLastError(&again, &code2);
  EXPECT_EQ(again, text) << "reading does not change anything";
  EXPECT_EQ(code2, 2002);

  // Missing texts are taken as empty ones rather than crashing the caller.
  EXPECT_EQ(upgrade(nullptr, nullptr, nullptr, nullptr, 18, nullptr), 1);
  getLastError(&text, &code);
  EXPECT_EQ(code, 2002);
}
