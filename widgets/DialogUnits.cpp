#include "widgets/DialogUnits.h"

#include <QFontMetrics>
#include <QString>

QFont DialogFont() {
  QFont font("Verdana");
  // 8 points at the 96 dpi the templates were drawn for: 11 pixels.
  font.setPixelSize(11);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  static const QString kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  // The average over both alphabets, rounded, as dialog managers measure it.
  baseWidth_ = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
  baseHeight_ = metrics.height();
  if (baseWidth_ <= 0) baseWidth_ = 7;
  if (baseHeight_ <= 0) baseHeight_ = 13;
}

int DialogUnits::X(int units) const { return (units * baseWidth_ + 2) / 4; }
int DialogUnits::Y(int units) const { return (units * baseHeight_ + 4) / 8; }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  const int left = X(x);
  const int top = Y(y);
  return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}
