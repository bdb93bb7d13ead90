#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "explorer/protocol/ErrorTable.h"

// Nothing else in this process looks up a text before this test: the first
// lookups race here, and none of them may see a placeholder or a half
// rewritten row.
TEST(ErrorTextFirstCall, ConcurrentFirstLookupsSeeTheComposedTexts) {
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::vector<std::string> library(kThreads), function(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      --waiting;
      while (waiting.load() > 0) {
      }
      library[i] = ErrorText(0x2001);
      function[i] = ErrorText(0x2000);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(library[i], "QUILLBOX.DLL not found") << "thread " << i;
    EXPECT_EQ(function[i], "Upgrade function not found in QUILLBOX.DLL") << "thread " << i;
  }
}
