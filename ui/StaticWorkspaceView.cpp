#include "ui/StaticWorkspaceView.h"

#include <QMouseEvent>
#include <QPainter>

#include "imaging/GDI.h"
#include "widgets/DrawingSurface.h"
#include "widgets/GraphicsArt.h"
#include "widgets/HoverButtonEx.h"

namespace {

constexpr uint32_t kPanelColour = 0xFF4B4B4B;
constexpr uint32_t kPreviewColour = 0xFF828282;
constexpr uint32_t kHighlightColour = 0xFFFFBF00;
constexpr int kPreviewHeight = 150;

struct PaneLayout {
  const char* graphic;
  const char* label;
  const char* art;  // glyph shown faintly in the preview area
  QRect header;
  QPoint labelOrigin;
  QRect preview;
  QRect hit;  // (left, top) to (right, bottom), both corners inside
  QRect highlight;
};

const PaneLayout kPanes[CStaticWorkspaceView::kPaneCount] = {
    {"\\Graphics\\pane_source.png", "Image Sources", "camera", QRect(10, 10, 144, 24), QPoint(13, 16),
     QRect(11, 34, 143, 210), QRect(QPoint(10, 10), QPoint(155, 185)), QRect(9, 9, 146, 236)},
    {"\\Graphics\\pane_calibdata.png", "Calibration Data", "calib", QRect(164, 10, 144, 24), QPoint(167, 16),
     QRect(165, 34, 143, 210), QRect(QPoint(163, 10), QPoint(318, 185)), QRect(163, 9, 146, 236)},
    {"\\Graphics\\pane_calib.png", "Visualization", "cube", QRect(318, 10, 144, 24), QPoint(323, 16),
     QRect(319, 34, 143, 210), QRect(QPoint(318, 10), QPoint(473, 185)), QRect(317, 9, 146, 236)},
};

QImage LoadGraphic(const std::string& folder, const char* graphicsPath) {
  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, stride = 0;
  return GDI::LoadBitmap(GraphicsFile(folder, graphicsPath), &pixels, &width, &height, &stride);
}

}  // namespace

CStaticWorkspaceView::CStaticWorkspaceView(QWidget* parent, int id) : QWidget(parent), id_(id) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  font_ = QFont("Verdana");
  font_.setBold(true);
  font_.setPixelSize(11);
}

bool CStaticWorkspaceView::GraphicsLoaded() const {
  for (const QImage& header : headers_)
    if (header.isNull()) return false;
  return !bottomBar_.isNull();
}

void CStaticWorkspaceView::Init() {
  backBuffer_ = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32);
  backBuffer_.fill(kPanelColour);
  for (int pane = 0; pane < kPaneCount; ++pane) {
    headers_[pane] = LoadGraphic(applicationFolder_, kPanes[pane].graphic);
    const int previewWidth = headers_[pane].isNull() ? kPanes[pane].header.width() : headers_[pane].width();
    previews_[pane] = QImage(previewWidth, kPreviewHeight, QImage::Format_ARGB32);
    previews_[pane].fill(kPreviewColour);
    DrawPreviewArt(pane);
  }
  bottomBar_ = LoadGraphic(applicationFolder_, "\\Graphics\\pane_source_bottom.png");
  initialised_ = true;
  Redraw();
}

void CStaticWorkspaceView::DrawPreviewArt(int pane) {
  // Until a pane has something of its own to preview, a quiet emblem of what it holds.
  // The preview is stretched to its taller on-screen area, so the emblem is
  // drawn pre-squeezed by the same factor to come out square.
  QPainter painter(&previews_[pane]);
  const double squeeze = double(kPreviewHeight) / kPanes[pane].preview.height();
  const double side = 60;
  painter.translate(previews_[pane].width() / 2.0, kPreviewHeight / 2.0);
  painter.scale(1.0, squeeze);
  DrawGlyph(painter, kPanes[pane].art, QRectF(-side / 2, -side / 2 - 8, side, side), QColor(0x74, 0x74, 0x74));
}

bool CStaticWorkspaceView::Click(int x, int y) {
  bool changed = false;
  for (int pane = 0; pane < kPaneCount; ++pane) {
    const bool hit = GDI::IsPointInRect(x, y, kPanes[pane].hit);
    if (hit != highlight_[pane]) changed = true;
    highlight_[pane] = hit;
  }
  if (changed) {
    Redraw();
    update();
  }
  return changed;
}

void CStaticWorkspaceView::Redraw() {
  if (!initialised_) return;
  ++redrawCount_;
  backBuffer_.fill(kPanelColour);
  QPainter painter(&backBuffer_);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setRenderHint(QPainter::TextAntialiasing);
  painter.setFont(font_);
  for (int pane = 0; pane < kPaneCount; ++pane) {
    const PaneLayout& layout = kPanes[pane];
    if (!headers_[pane].isNull()) painter.drawImage(GDI::GetRectF(layout.header), headers_[pane]);
    painter.setPen(QColor::fromRgba(0xFFFFFFFF));
    painter.drawText(QRect(layout.labelOrigin, QSize(layout.header.width(), 20)), Qt::AlignLeft | Qt::AlignTop,
                     layout.label);
    painter.drawImage(GDI::GetRectF(layout.preview), previews_[pane]);
  }
  painter.setRenderHint(QPainter::Antialiasing, false);
  for (int pane = 0; pane < kPaneCount; ++pane) {
    if (!highlight_[pane]) continue;
    const QRect& frame = kPanes[pane].highlight;
    painter.setPen(QPen(QColor::fromRgba(kHighlightColour), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(frame.x() + 0.5, frame.y() + 0.5, frame.width(), frame.height()));
  }
}

void CStaticWorkspaceView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (backBuffer_.isNull()) {
    painter.fillRect(rect(), QColor::fromRgba(kPanelColour));
    return;
  }
  CopyBufferToWidget(painter, backBuffer_, rect());
}

void CStaticWorkspaceView::resizeEvent(QResizeEvent*) {
  if (!initialised_ || backBuffer_.size() == size()) return;
  backBuffer_ = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32);
  Redraw();
}

void CStaticWorkspaceView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) Click(event->position().toPoint().x(), event->position().toPoint().y());
}
