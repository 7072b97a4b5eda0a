#include "widgets/StaticEx.h"

#include <QPainter>

#include "widgets/DialogUnits.h"
#include "widgets/DrawingSurface.h"

CStaticEx::CStaticEx(QWidget* parent, int id) : QWidget(parent), id_(id), font_(DialogFont()) {
  // Like a plain static, the strip lets mouse presses through to its window.
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CStaticEx::Init() {
  initialised_ = true;
  Redraw();
}

void CStaticEx::SetText(const QString& text) {
  text_ = text;
  Redraw();
  update();
}

void CStaticEx::SetColours(uint32_t background, uint32_t textColour) {
  background_ = background;
  textColour_ = textColour;
  Redraw();
  update();
}

void CStaticEx::SetTextOrigin(const QPoint& origin) {
  origin_ = origin;
  Redraw();
  update();
}

void CStaticEx::Redraw() {
  if (!initialised_ || width() <= 0 || height() <= 0) return;
  if (image_.size() != size()) image_ = QImage(size(), QImage::Format_ARGB32);
  image_.fill(background_);
  QPainter painter(&image_);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setFont(font_);
  painter.setPen(QColor::fromRgba(textColour_));
  painter.drawText(QRect(origin_, QSize(width() * 4, height() * 4)), Qt::AlignLeft | Qt::AlignTop, text_);
}

void CStaticEx::resizeEvent(QResizeEvent*) { Redraw(); }

void CStaticEx::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (image_.isNull()) {
    painter.fillRect(rect(), QColor::fromRgba(background_));
    return;
  }
  CopyBufferToWidget(painter, image_, rect());
}
