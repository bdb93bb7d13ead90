#include "explorer/res/ui/Bitmaps.h"

#include <QBitmap>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int kRowImageWidth = 16;

// The device picture in its 100 x 100 frame, on `ground`.
QImage DrawPictureImage(QImage::Format format, const QColor& ground) {
  QImage image(100, 100, format);
  image.fill(ground);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  // A small panel with a row of status lamps and a network socket.
  QLinearGradient body(0, 10, 0, 90);
  body.setColorAt(0, QColor(70, 90, 120));
  body.setColorAt(1, QColor(30, 40, 60));
  p.setPen(QPen(QColor(20, 25, 35), 2));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(10, 22, 80, 56), 8, 8);

  p.setPen(Qt::NoPen);
  const QColor lamps[] = {QColor(60, 200, 90), QColor(240, 190, 40), QColor(60, 200, 90)};
  for (int i = 0; i < 3; ++i) {
    p.setBrush(lamps[i]);
    p.drawEllipse(QPointF(24 + i * 12, 36), 4, 4);
  }

  p.setBrush(QColor(200, 205, 215));
  p.drawRect(QRectF(56, 44, 24, 20));
  p.setBrush(QColor(30, 35, 45));
  p.drawRect(QRectF(60, 48, 16, 12));
  p.drawRect(QRectF(64, 60, 8, 4));

  // The cable leaving the panel.
  p.setPen(QPen(QColor(40, 110, 200), 4, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  QPainterPath cable(QPointF(68, 66));
  cable.cubicTo(QPointF(68, 92), QPointF(30, 78), QPointF(20, 96));
  p.drawPath(cable);

  p.setPen(QColor(230, 235, 245));
  QFont font = p.font();
  font.setPixelSize(9);
  font.setBold(true);
  p.setFont(font);
  p.drawText(QRectF(16, 50, 36, 20), Qt::AlignLeft | Qt::AlignVCenter, "LAN");
  p.end();
  return image;
}

QPixmap DrawPicture() { return QPixmap::fromImage(DrawPictureImage(QImage::Format_RGB888, Qt::white)); }

QIcon DrawDeviceIcon() {
  // The square around the panel and its cable, without the white ground
  // that would show as a box on a coloured title bar.
  const QImage square =
      DrawPictureImage(QImage::Format_ARGB32_Premultiplied, Qt::transparent).copy(QRect(6, 10, 88, 88));
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64})
    icon.addPixmap(QPixmap::fromImage(square.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  return icon;
}

QImage DrawRowImageStrip() {
  QImage strip(32, 13, QImage::Format_RGB32);
  strip.fill(Qt::white);
  QPainter p(&strip);
  // Sharp pixels: the strip is tiny and white is keyed out afterwards, so
  // antialiased fringes would show as grey halos.
  p.setRenderHint(QPainter::Antialiasing, false);

  p.setPen(QPen(QColor(128, 0, 0), 2));
  p.drawLine(3, 2, 12, 11);
  p.drawLine(12, 2, 3, 11);

  p.setPen(QPen(QColor(0, 128, 0), 2));
  p.drawLine(kRowImageWidth + 2, 7, kRowImageWidth + 6, 11);
  p.drawLine(kRowImageWidth + 6, 11, kRowImageWidth + 13, 2);
  p.end();
  return strip;
}

}  // namespace

QPixmap LoadResBitmap(int id) {
  switch (id) {
    case IDB_PICTURE:
      return DrawPicture();
    case IDB_ROW_IMAGES:
      return QPixmap::fromImage(DrawRowImageStrip());
    default:
      return {};
  }
}

QIcon LoadResIcon(int id) { return id == IDI_DEVICE ? DrawDeviceIcon() : QIcon(); }

QIcon RowImage(int index) {
  const QImage strip = DrawRowImageStrip();
  if (index < 0 || (index + 1) * kRowImageWidth > strip.width()) return {};
  QImage cell = strip.copy(index * kRowImageWidth, 0, kRowImageWidth, strip.height())
                    .convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < cell.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(cell.scanLine(y));
    for (int x = 0; x < cell.width(); ++x) {
      if ((line[x] & 0x00FFFFFFu) == 0x00FFFFFFu) line[x] = qRgba(255, 255, 255, 0);
    }
  }
  return QIcon(QPixmap::fromImage(cell));
}
