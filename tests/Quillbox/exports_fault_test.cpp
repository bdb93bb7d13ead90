// No exception leaves an export, whatever its kind: an allocation inside the
// call is made to fail with an exception that is no std::exception, at each
// point in turn.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "LibraryState.h"
#include "TtftpForm.h"

extern "C" int32_t WaitForFile(const char* filePath, uint32_t reserved, void* ownerWindow);
extern "C" void GetLastError(const char** textOut, int32_t* codeOut);
extern "C" int32_t Upgrade(const char* host, const char* user, const char* password, const char* imagePath,
                           int32_t deviceKind, void* ownerWindow);

namespace {

// Allocations of this thread still to succeed before one fails; -1: none
// fails. Other threads (the server's) are left alone.
thread_local long g_allocationsBeforeFault = -1;
thread_local bool g_faulted = false;
// Memory has run out for good: every allocation of this thread fails.
thread_local bool g_noMemory = false;
// The counted fault starts that shortage instead of throwing once.
thread_local bool g_shortageLasts = false;

struct NotAStdException {};

}  // namespace

// This file replaces operator new with malloc, so free is its true match;
// the compiler cannot see that once the replacement is inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (g_noMemory) throw std::bad_alloc();
  if (g_allocationsBeforeFault == 0) {
    g_allocationsBeforeFault = -1;
    g_faulted = true;
    if (g_shortageLasts) {
      g_noMemory = true;
      throw std::bad_alloc();
    }
    throw NotAStdException{};
  }
  if (g_allocationsBeforeFault > 0) --g_allocationsBeforeFault;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs call with the allocation after `before` made to fail; true when the
// call returned normally. *faulted says whether the fault was reached.
template <typename Call>
bool ReturnsDespiteFault(long before, Call call, bool* faulted) {
  g_faulted = false;
  g_allocationsBeforeFault = before;
  bool returned = true;
  try {
    call();
  } catch (...) {
    returned = false;
  }
  g_allocationsBeforeFault = -1;
  *faulted = g_faulted;
  return returned;
}

}  // namespace

TEST(ExportFaults, NothingEscapesWaitForFileOrUpgrade) {
  quillbox::TtftpSettings settings;
  settings.server.port = 0;
  settings.server.stopCheck = std::chrono::milliseconds(10);
  settings.timerInterval = std::chrono::milliseconds(30);
  quillbox::SetWaitSettings(settings);
  const std::string path = "/tmp/a-folder-name-long-enough-to-be-allocated/fw.pak";
  struct Export {
    const char* name;
    std::function<void()> call;
  };
  const Export exports[] = {
      {"WaitForFile", [&] { WaitForFile(path.c_str(), 0, nullptr); }},
      {"Upgrade", [&] { Upgrade("192.0.2.1", "administrator", "a-password-of-some-length", path.c_str(), 16, nullptr); }},
  };
  for (const Export& e : exports) {
    SCOPED_TRACE(e.name);
    // Each allocation of the call in turn, until the call runs through.
    bool faulted = true;
    long before = 0;
    for (; faulted && before < 500; ++before) {
      EXPECT_TRUE(ReturnsDespiteFault(before, e.call, &faulted)) << "fault at allocation " << before;
    }
    EXPECT_GT(before, 1) << "the call allocates";
    EXPECT_FALSE(faulted) << "ran through in the end";
  }
  quillbox::SetWaitSettings({});
}

// Once memory has run out, even the export's last catch cannot allocate the
// failure's text: the call still returns, and the last error tells of the
// shortage (or of the failure reached before it) with a text.
TEST(ExportFaults, UpgradeReturnsWhenMemoryRunsOutForGood) {
  const std::string path = "/tmp/a-folder-name-long-enough-to-be-allocated/fw.pak";
  bool ranThrough = false;
  for (long before = 0; before < 200 && !ranThrough; ++before) {
    SCOPED_TRACE(before);
    g_faulted = false;
    g_shortageLasts = true;
    g_allocationsBeforeFault = before;
    bool returned = true;
    try {
      Upgrade("192.0.2.1", "administrator", "a-password-of-some-length", path.c_str(), 16, nullptr);
    } catch (...) {
      returned = false;
    }
    ranThrough = !g_faulted;
    g_allocationsBeforeFault = -1;
    g_noMemory = false;
    g_shortageLasts = false;
    const char* text = nullptr;
    int32_t code = 0;
    GetLastError(&text, &code);
    EXPECT_TRUE(returned);
    EXPECT_NE(code, 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STRNE(text, "");
  }
  EXPECT_TRUE(ranThrough);
}
