#pragma once
// Layouts are given in dialog units, which scale with the dialog's font:
// a horizontal unit is a quarter of the average character width, a vertical
// unit an eighth of the character height.
#include <QFontMetrics>
#include <QRect>
#include <QWidget>

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    const int sample = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (sample / 26 + 1) / 2;  // average width, rounded
    if (baseX_ < 1) baseX_ = 1;
    baseY_ = fm.height();
    if (baseY_ < 1) baseY_ = 1;
  }

  int X(int dlu) const { return (dlu * baseX_ + 2) / 4; }
  int Y(int dlu) const { return (dlu * baseY_ + 4) / 8; }
  QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }
  QSize Size(int w, int h) const { return QSize(X(w), Y(h)); }
  void Place(QWidget* w, int x, int y, int cx, int cy) const { w->setGeometry(Rect(x, y, cx, cy)); }

 private:
  int baseX_ = 1;
  int baseY_ = 1;
};
