#include "explorer/app/QtThreadPool.h"

#include <dirent.h>

#include <QThreadPool>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Qt names every pooled thread so; the kernel keeps the first 15 bytes.
constexpr const char* kPooledThreadName = "Thread (pooled)";

}  // namespace

int PooledQtThreadCount() {
  int count = 0;
  std::unique_ptr<DIR, DirCloser> tasks(::opendir("/proc/self/task"));
  if (!tasks) return 0;
  while (const dirent* entry = ::readdir(tasks.get())) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == kPooledThreadName) ++count;
  }
  return count;
}

void SettleQtThreadPool() {
  QThreadPool::globalInstance()->waitForDone();
  // The threads are joined as Qt sees them; wait until the system agrees.
  // A listing taken while another thread leaves can miss a task, so only
  // two clean listings in a row count.
  int clean = 0;
  for (int i = 0; i < 200 && clean < 2; ++i) {
    clean = PooledQtThreadCount() > 0 ? 0 : clean + 1;
    if (clean < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
