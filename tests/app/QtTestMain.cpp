// main() of the widget tests: the QApplication lives exactly as long as
// the tests and is gone before the static destructors run.
#include <gtest/gtest.h>

#include <QApplication>

#include "explorer/app/QtThreadPool.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  SettleQtThreadPool();
  return status;
}
