#pragma once
// Whole texts in the fonts a desktop really uses. Layouts in dialog units
// follow the font's average character width, but a given text can still be
// wider than its control (a font with broad lower-case letters, a larger
// desktop font): these tell how large a label or push button must be, in
// its own font and the style's drawing, to show each of its texts whole.
#include <QSize>
#include <QStringList>

class QLabel;
class QWidget;

// Pixels a QLabel or QPushButton needs for every text of `texts` (all
// lines of a multi-line text, a trailing line break not counted; a
// button's mnemonic marker not counted) with the room its frame, margins
// and style take. An empty size for other widgets.
QSize TextSizeNeeded(const QWidget* control, const QStringList& texts);
// Grows `control` (to the right and downwards) to TextSizeNeeded where it
// is smaller; returns the pixels added across (0 when the width did).
int WidenToFit(QWidget* control, const QStringList& texts);
// The same for the control's own text.
int WidenToFit(QWidget* control);
// A word-wrapped label: the smallest width, not below its current one, at
// which its text fits its height and its longest word fits a line.
int WrappedWidthNeeded(const QLabel* label);
