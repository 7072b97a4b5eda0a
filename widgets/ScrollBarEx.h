#pragma once
// A thin vertical scroll bar drawn in the panels' style: a dark track with a
// light thumb, amber while dragged. It hides itself while everything fits.
// Positions are in pixels of the scrolled content.

#include <QWidget>
#include <cstdint>

class CScrollBarEx : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 8;
  static constexpr int kMinimumThumb = 16;
  static constexpr uint32_t kTrackColour = 0xFF353535;
  static constexpr uint32_t kThumbColour = 0xFF8C8C8C;
  static constexpr uint32_t kActiveThumbColour = 0xFFFFBF00;

  explicit CScrollBarEx(QWidget* parent = nullptr);

  // The content's height and the height of the area that shows it.
  void SetRange(int contentHeight, int viewHeight);
  // Clamped to [0, Maximum()]; emits offsetChanged when it moves.
  void SetOffset(int offset);
  // Scrolls by `steps` lines (positive: towards the end).
  void ScrollLines(int steps);
  void SetLineStep(int pixels) { lineStep_ = pixels; }
  // Turns a wheel event's angle into lines, three a notch, as the desktop does.
  void Wheel(int angleDelta);

  int Offset() const { return offset_; }
  int Maximum() const { return contentHeight_ > viewHeight_ ? contentHeight_ - viewHeight_ : 0; }
  bool Needed() const { return Maximum() > 0; }
  QRect ThumbRect() const;

 signals:
  void offsetChanged(int offset);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  int OffsetForThumbTop(int thumbTop) const;

  int contentHeight_ = 0;
  int viewHeight_ = 0;
  int offset_ = 0;
  int lineStep_ = 20;
  int wheelRemainder_ = 0;
  bool dragging_ = false;
  int dragGrip_ = 0;  // where in the thumb the drag took hold
};
