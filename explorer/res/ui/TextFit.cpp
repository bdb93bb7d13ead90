#include "explorer/res/ui/TextFit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>

namespace {

QSize WidestText(const QFontMetrics& fm, int flags, const QStringList& texts) {
  QSize widest;
  for (QString text : texts) {
    // A trailing line break adds no line anybody sees.
    while (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    widest = widest.expandedTo(fm.size(flags, text));
  }
  return widest;
}

QSize LabelSizeNeeded(const QLabel* label, const QStringList& texts) {
  // Frame and contents margins do not depend on the size.
  const QSize chrome = label->size() - label->contentsRect().size() + QSize(2, 2) * label->margin();
  return WidestText(label->fontMetrics(), 0, texts) + chrome;
}

QSize ButtonSizeNeeded(const QPushButton* button, const QStringList& texts) {
  const QFontMetrics fm = button->fontMetrics();
  QStyleOptionButton option;
  option.initFrom(button);
  if (button->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
  if (button->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
  // The label is drawn inside the contents rectangle; what the style keeps
  // around it is the same for every size.
  const QSize probe(1000, 1000);
  option.rect = QRect(QPoint(0, 0), probe);
  const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
  // The style's own margin keeps the text off the edges, as its size hint does.
  const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
  return WidestText(fm, Qt::TextShowMnemonic, texts) + probe - contents.size() + QSize(margin, 0);
}

QStringList OwnText(const QWidget* control) {
  if (const auto* label = qobject_cast<const QLabel*>(control)) return {label->text()};
  if (const auto* button = qobject_cast<const QPushButton*>(control)) return {button->text()};
  return {};
}

}  // namespace

QSize TextSizeNeeded(const QWidget* control, const QStringList& texts) {
  if (const auto* label = qobject_cast<const QLabel*>(control)) return LabelSizeNeeded(label, texts);
  if (const auto* button = qobject_cast<const QPushButton*>(control)) return ButtonSizeNeeded(button, texts);
  return {};
}

int WidenToFit(QWidget* control, const QStringList& texts) {
  const QSize need = TextSizeNeeded(control, texts);
  const QSize now = control->size();
  control->resize(now.expandedTo(need));
  return control->width() - now.width();
}

int WidenToFit(QWidget* control) { return WidenToFit(control, OwnText(control)); }

int WrappedWidthNeeded(const QLabel* label) {
  const QFontMetrics fm = label->fontMetrics();
  const int chrome = label->width() - label->contentsRect().width() + 2 * label->margin();
  int width = label->width();
  for (const QString& word : label->text().split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
    width = std::max(width, fm.horizontalAdvance(word) + chrome);
  // Bounded: at four times its width every text of the program is one line.
  const int limit = std::max(width, label->width() * 4);
  while (width < limit && label->heightForWidth(width) > label->height()) ++width;
  return width;
}
