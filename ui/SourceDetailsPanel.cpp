#include "ui/SourceDetailsPanel.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

CSourceDetailsPanel::CSourceDetailsPanel(QWidget* parent, int id) : QWidget(parent), id_(id) {
  setWindowTitle("Source Panel");
  setAttribute(Qt::WA_OpaquePaintEvent);
  font_ = QFont("Verdana");
  font_.setPointSizeF(7);
}

void CSourceDetailsPanel::Layout() {
  titleHeight_ = std::max(1, height());
  image_ = QImage(std::max(1, width()), titleHeight_ + kInformationHeight, QImage::Format_ARGB32);
  Redraw();
}

void CSourceDetailsPanel::SetTexts(const QString& title, const QString& information) {
  if (!title.isNull()) title_ = title;
  if (!information.isNull()) information_ = information;
  Redraw();
  update();
}

void CSourceDetailsPanel::SetTitleColour(uint32_t argb) {
  titleColour_ = argb;
  Redraw();
  update();
}

void CSourceDetailsPanel::Redraw() {
  if (image_.isNull()) return;
  QPainter painter(&image_);
  const QRect titleArea(0, 0, image_.width(), titleHeight_);
  const QRect informationArea(0, titleHeight_, image_.width(), kInformationHeight);
  painter.fillRect(titleArea, QColor::fromRgba(titleColour_));
  painter.fillRect(informationArea, QColor::fromRgba(kInformationColour));
  painter.setFont(font_);
  painter.setPen(Qt::white);
  painter.drawText(titleArea.adjusted(3, 0, -3, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, title_);
  painter.drawText(informationArea.adjusted(3, 3, -3, -3), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                   information_);
}

void CSourceDetailsPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (image_.isNull()) {
    painter.fillRect(rect(), QColor::fromRgba(titleColour_));
    return;
  }
  painter.drawImage(0, 0, image_);
}
