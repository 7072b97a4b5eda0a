#pragma once
// The program's own icon set, drawn in code: glyphs on a 24-unit grid, button
// strips of four state pictures (normal, pressed, hover, disabled) and the
// pane headers of the workspace panel.

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QString>
#include <vector>

class QIcon;
class QPainter;

enum class ButtonStyle { kRound, kSquare };

struct ButtonGraphic {
  QString fileName;  // "button_power.png"
  QString glyph;     // glyph drawn on it
  int size;          // frame width and height in pixels
  ButtonStyle style;
};

struct PaneGraphic {
  QString fileName;
  QString glyph;  // empty: a plain bar
  bool bottom;    // the bar closing a pane instead of heading it
};

// Every button graphic and pane header the program loads.
const std::vector<ButtonGraphic>& ButtonGraphics();
const std::vector<PaneGraphic>& PaneGraphics();

// Draws the named glyph into box (kept square and centred) in colour.
// Unknown names draw nothing and return false.
bool DrawGlyph(QPainter& painter, const QString& glyph, const QRectF& box, const QColor& colour);

// A horizontal strip of four frames of size x size pixels.
QImage MakeButtonStrip(const ButtonGraphic& graphic);
// A 144 x 24 pane header.
QImage MakePaneHeader(const PaneGraphic& graphic);

// Writes every graphic into folder (created when missing); returns how many
// files were written, -1 on the first failure.
int WriteAllGraphics(const QString& folder);

// The application icon at size x size pixels: a chequerboard seen in
// perspective through an amber lens ring on the icon set's dark grey.
QImage MakeApplicationIcon(int size);
// The icon in every size that ApplicationIconSizes() lists, for windows.
QIcon ApplicationIcon();
// 16 to 256 pixels: the sizes desktops look for.
const std::vector<int>& ApplicationIconSizes();
// Writes folder/NxN/apps/lentora.png for every size; false on a failure.
bool WriteApplicationIcons(const QString& hicolorFolder);
