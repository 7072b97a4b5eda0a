#pragma once
// Window templates are laid out in dialog units of their font: x units are a
// quarter of the font's average character width, y units an eighth of its
// height. One helper converts every template.

#include <QFont>
#include <QRect>

// The font the templates are designed for ("Verdana" 8 points; fontconfig
// picks the nearest installed face).
QFont DialogFont();

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font = DialogFont());
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  int BaseWidth() const { return baseWidth_; }
  int BaseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;
  int baseHeight_;
};
