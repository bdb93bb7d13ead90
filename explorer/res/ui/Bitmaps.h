#pragma once
// Bitmap resources, drawn at run time so the build carries no image files.
#include <QIcon>
#include <QPixmap>

constexpr int IDB_PICTURE = 178;   // 100 x 100, the main window's picture
constexpr int IDB_ROW_IMAGES = 133;  // 32 x 13: cross and tick, 16 px each
constexpr int IDI_DEVICE = 152;    // window icon: the picture's panel, square

// Empty pixmap for an unknown id.
QPixmap LoadResBitmap(int id);
// Icon 152 in the sizes task bars, title bars and window lists ask for
// (16 to 64 pixels) on a transparent ground; empty for any other id.
QIcon LoadResIcon(int id);
// Image `index` of the row-image strip (0 cross, 1 tick), white transparent;
// an empty icon for any other index.
QIcon RowImage(int index);
