#pragma once
// The window's device-protocol handlers return at their exchange's start
// and finish from the event loop; a test that looks at their outcome runs
// the loop until then.
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QTimer>
#include <chrono>

#include "explorer/app/ExplorerDlg.h"

namespace testsupport {

// Runs the event loop until every handler the window started (a click, a
// RunCommand) has finished, at most `limit`; true when they have.
inline bool FinishHandlers(CExplorerDlg& dlg, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  if (dlg.HandlersRunning() == 0) return true;
  const auto end = std::chrono::steady_clock::now() + limit;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (dlg.HandlersRunning() == 0 || std::chrono::steady_clock::now() > end) loop.quit();
  });
  poll.start(2);
  loop.exec();
  return dlg.HandlersRunning() == 0;
}

// Runs a handler called directly to its end, the event loop running
// meanwhile; its result.
template <class T>
T Finish(QCoro::Task<T> handler) {
  return QCoro::waitFor(std::move(handler));
}

}  // namespace testsupport
