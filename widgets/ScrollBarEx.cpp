#include "widgets/ScrollBarEx.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>

CScrollBarEx::CScrollBarEx(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setVisible(false);
}

void CScrollBarEx::SetRange(int contentHeight, int viewHeight) {
  contentHeight_ = std::max(0, contentHeight);
  viewHeight_ = std::max(0, viewHeight);
  setVisible(Needed());
  SetOffset(offset_);
  update();
}

void CScrollBarEx::SetOffset(int offset) {
  const int clamped = std::clamp(offset, 0, Maximum());
  if (clamped == offset_) return;
  offset_ = clamped;
  update();
  emit offsetChanged(offset_);
}

void CScrollBarEx::ScrollLines(int steps) { SetOffset(offset_ + steps * lineStep_); }

void CScrollBarEx::Wheel(int angleDelta) {
  // One notch is 120; touch pads send less at a time, so the rest is kept.
  wheelRemainder_ += angleDelta;
  const int notches = wheelRemainder_ / 120;
  wheelRemainder_ -= notches * 120;
  if (notches != 0) ScrollLines(-3 * notches);
}

QRect CScrollBarEx::ThumbRect() const {
  if (!Needed() || height() <= 0) return QRect();
  const int track = height();
  const int thumb = std::clamp(track * viewHeight_ / std::max(1, contentHeight_), kMinimumThumb, track);
  const int top = (track - thumb) * offset_ / std::max(1, Maximum());
  return QRect(0, top, width(), thumb);
}

int CScrollBarEx::OffsetForThumbTop(int thumbTop) const {
  const int travel = height() - ThumbRect().height();
  return travel <= 0 ? 0 : thumbTop * Maximum() / travel;
}

void CScrollBarEx::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor::fromRgba(kTrackColour));
  const QRect thumb = ThumbRect();
  if (thumb.isEmpty()) return;
  painter.fillRect(thumb.adjusted(1, 0, -1, 0), QColor::fromRgba(dragging_ ? kActiveThumbColour : kThumbColour));
}

void CScrollBarEx::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  const int y = event->position().toPoint().y();
  const QRect thumb = ThumbRect();
  if (thumb.contains(thumb.left(), y)) {
    dragging_ = true;
    dragGrip_ = y - thumb.top();
    update();
    return;
  }
  // A press on the track pages towards it.
  SetOffset(offset_ + (y < thumb.top() ? -viewHeight_ : viewHeight_));
}

void CScrollBarEx::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return QWidget::mouseMoveEvent(event);
  SetOffset(OffsetForThumbTop(event->position().toPoint().y() - dragGrip_));
}

void CScrollBarEx::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return QWidget::mouseReleaseEvent(event);
  dragging_ = false;
  update();
}

void CScrollBarEx::wheelEvent(QWheelEvent* event) {
  Wheel(event->angleDelta().y());
  event->accept();
}
