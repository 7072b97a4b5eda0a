#include "widgets/HoverButtonEx.h"

#include <QEnterEvent>
#include <QPainter>
#include <algorithm>

#include "imaging/GDI.h"
#include "widgets/DrawingSurface.h"

namespace {

uint32_t WindowColourToArgb(uint32_t colour) {
  const uint32_t r = colour & 0xFF;
  const uint32_t g = (colour >> 8) & 0xFF;
  const uint32_t b = (colour >> 16) & 0xFF;
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

}  // namespace

std::string GraphicsFile(const std::string& applicationFolder, const std::string& graphicsPath) {
  std::string relative = graphicsPath;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (applicationFolder.empty()) return relative.empty() || relative[0] != '/' ? relative : relative.substr(1);
  if (!relative.empty() && relative[0] != '/') relative.insert(relative.begin(), '/');
  std::string folder = applicationFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + relative;
}

CHoverButtonEx::CHoverButtonEx(QWidget* parent, int id) : QPushButton(parent), id_(id) {
  setMouseTracking(true);
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_NoSystemBackground);
}

bool CHoverButtonEx::LoadImage(const std::string& path) {
  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, stride = 0;
  const QImage loaded = GDI::LoadBitmap(path, &pixels, &width, &height, &stride);
  backgroundCaptured_ = false;
  if (loaded.isNull() || width < 4 || height < 4) {
    image_ = QImage();
    frameWidth_ = frameHeight_ = 0;
    return false;
  }
  image_ = loaded.convertToFormat(QImage::Format_ARGB32);
  frameWidth_ = horizontalStrip_ ? image_.width() / 4 : image_.width();
  frameHeight_ = horizontalStrip_ ? image_.height() : image_.height() / 4;
  resize(frameWidth_, frameHeight_);
  update();
  return true;
}

void CHoverButtonEx::SetRegion(const QRegion& region) {
  region_ = region;
  hasRegion_ = true;
  setMask(region_);
}

void CHoverButtonEx::SetTooltip(const QString& text, bool activate) {
  if (text.isEmpty()) return;
  tooltipText_ = text;
  setToolTip(activate ? text : QString());
}

void CHoverButtonEx::SetSolidBackground(uint32_t windowColour) {
  backgroundMode_ = kBackgroundSolid;
  solidColour_ = windowColour;
  backgroundCaptured_ = false;
  update();
}

int CHoverButtonEx::FrameIndex() const {
  if (isDown()) return 1;
  if (hover_) return 2;
  return isEnabled() ? 0 : 3;
}

QImage CHoverButtonEx::BackgroundFromBelow() const {
  QWidget* parent = parentWidget();
  if (!parent) return QImage();
  // What lies under the button: the topmost earlier sibling covering it, else the parent.
  QWidget* below = parent;
  const QObjectList& siblings = parent->children();
  const int self = static_cast<int>(siblings.indexOf(const_cast<CHoverButtonEx*>(this)));
  for (int i = self - 1; i >= 0; --i) {
    auto* sibling = qobject_cast<QWidget*>(siblings[i]);
    if (sibling && sibling->isVisibleTo(parent) && !sibling->isWindow() && sibling->geometry().contains(geometry().center())) {
      below = sibling;
      break;
    }
  }
  const QRect area(below->mapFrom(parent, geometry().topLeft()), QSize(frameWidth_, frameHeight_));
  QImage captured(frameWidth_, frameHeight_, QImage::Format_ARGB32);
  captured.fill(below->palette().color(below->backgroundRole()));
  below->render(&captured, QPoint(), QRegion(area), QWidget::DrawWindowBackground);
  return captured;
}

void CHoverButtonEx::CaptureBackground() {
  if (backgroundMode_ == kBackgroundSolid) {
    background_ = QImage(frameWidth_, frameHeight_, QImage::Format_ARGB32);
    background_.fill(WindowColourToArgb(solidColour_));
  } else {
    background_ = BackgroundFromBelow();
    if (background_.isNull()) {
      background_ = QImage(frameWidth_, frameHeight_, QImage::Format_ARGB32);
      background_.fill(0xFF000000u);
    }
    // Screen pixels carry no alpha: everything taken from there is opaque.
    for (int y = 0; y < background_.height(); ++y) {
      auto* row = reinterpret_cast<uint32_t*>(background_.scanLine(y));
      for (int x = 0; x < background_.width(); ++x) row[x] |= 0xFF000000u;
    }
  }
  backgroundCaptured_ = true;
}

QImage CHoverButtonEx::ComposeFrame(int index) {
  if (!HasImage()) return QImage();
  if (!backgroundCaptured_) CaptureBackground();
  index = std::clamp(index, 0, 3);
  QImage out = background_.copy();
  const int offsetX = horizontalStrip_ ? index * frameWidth_ : 0;
  const int offsetY = horizontalStrip_ ? 0 : index * frameHeight_;
  for (int y = 0; y < frameHeight_; ++y) {
    const auto* src = reinterpret_cast<const uint32_t*>(image_.constScanLine(offsetY + y)) + offsetX;
    auto* dst = reinterpret_cast<uint32_t*>(out.scanLine(y));
    for (int x = 0; x < frameWidth_; ++x) {
      const int alpha = static_cast<int>(src[x] >> 24);
      // Fully transparent picture pixels leave the background exactly as it was.
      if (alpha != 0) dst[x] = BlendPixel(dst[x], src[x], alpha) | 0xFF000000u;
    }
  }
  return out;
}

void CHoverButtonEx::paintEvent(QPaintEvent* event) {
  if (!HasImage()) {
    QPushButton::paintEvent(event);
    return;
  }
  QPainter painter(this);
  const int index = FrameIndex();
  if (hasRegion_) {
    QImage frame = ComposeFrame(index);
    CopyBufferToWidget(painter, frame, QRect(0, 0, frameWidth_, frameHeight_));
    return;
  }
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRect frameRect = horizontalStrip_ ? QRect(index * frameWidth_, 0, frameWidth_, frameHeight_)
                                           : QRect(0, index * frameHeight_, frameWidth_, frameHeight_);
  painter.drawImage(rect(), image_, frameRect);
}

void CHoverButtonEx::enterEvent(QEnterEvent* event) {
  tracking_ = true;
  hover_ = true;
  setToolTip(tooltipText_);
  update();
  QPushButton::enterEvent(event);
}

void CHoverButtonEx::leaveEvent(QEvent* event) {
  tracking_ = false;
  hover_ = false;
  update();
  QPushButton::leaveEvent(event);
}

void CHoverButtonEx::mouseMoveEvent(QMouseEvent* event) {
  if (!tracking_) {
    tracking_ = true;
    hover_ = true;
    update();
  }
  QPushButton::mouseMoveEvent(event);
}

CHoverButtonEx* CreateImageButton(QWidget* parent, const std::string& applicationFolder,
                                  const ImageButtonSpec& spec) {
  auto* button = new CHoverButtonEx(parent, spec.id);
  button->setText(spec.text);
  button->SetHorizontalStrip(spec.horizontalStrip);
  button->move(spec.position);
  const QRect regionRect(QPoint(0, 0), spec.regionSize);
  button->SetRegion(spec.regionShape == CHoverButtonEx::kEllipse ? QRegion(regionRect, QRegion::Ellipse)
                                                                 : QRegion(regionRect));
  if (!button->LoadImage(GraphicsFile(applicationFolder, spec.graphicsPath))) button->resize(spec.regionSize);
  button->SetTooltip(spec.tooltip, true);
  if (spec.solidBackground) button->SetSolidBackground(spec.solidColour);
  button->show();
  return button;
}
