// Qt's shared worker threads are gone, as the system sees them, once the
// program has settled them: nothing of theirs is still ending when the
// process does. A join alone leaves a thread in its last teardown often
// enough that a few hundred rounds catch it (within 40 on two cores).
#include <gtest/gtest.h>

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QThreadPool>

#include "explorer/app/QtThreadPool.h"
#include "explorer/res/ui/Bitmaps.h"

namespace {

// A gradient fill with many spans, as the device picture has: the raster
// engine hands its spans to the pool.
void PaintOnThePool() {
  QImage image(400, 400, QImage::Format_RGB888);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient ground(0, 0, 0, 400);
  ground.setColorAt(0, Qt::darkBlue);
  ground.setColorAt(1, Qt::black);
  p.setBrush(ground);
  p.drawRoundedRect(QRectF(10, 10, 380, 380), 20, 20);
}

TEST(QtThreadPool, SettlingLeavesNoPooledThreadRunning) {
  for (int round = 0; round < 300; ++round) {
    PaintOnThePool();
    (void)LoadResBitmap(IDB_PICTURE);
    if (round == 0 && PooledQtThreadCount() == 0) GTEST_SKIP() << "this Qt paints without its thread pool";
    SettleQtThreadPool();
    ASSERT_EQ(PooledQtThreadCount(), 0) << "round " << round;
  }
  // The pool still works afterwards (a later repaint uses it again).
  PaintOnThePool();
  SettleQtThreadPool();
  EXPECT_EQ(PooledQtThreadCount(), 0);
}

}  // namespace
