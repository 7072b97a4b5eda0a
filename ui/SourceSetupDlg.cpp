#include "ui/SourceSetupDlg.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <algorithm>

namespace {
constexpr uint32_t kBackground = 0xFF646464;
constexpr uint32_t kBand = 0xFF414141;
constexpr uint32_t kHeaderText = 0xFFC8C8C8;
constexpr uint32_t kDivider = 0xFF969696;
constexpr uint32_t kBoxText = 0xFFE6E6E6;
constexpr uint32_t kGreen = 0xFF00C800;
constexpr uint32_t kYellow = 0xFFC8C800;
constexpr uint32_t kSubViewFill = 0x96C80000;
constexpr int kClientWidth = 330;
constexpr int kBoxHeight = 30;

QColor Argb(uint32_t value) { return QColor::fromRgba(value); }
}  // namespace

CSourceSetupDlg::CSourceSetupDlg(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  headerFont_ = QFont("Verdana", 8, QFont::Bold);
  boxFont_ = QFont("Verdana", 8);
  setAttribute(Qt::WA_OpaquePaintEvent);
  CreateControls();
}

void CSourceSetupDlg::CreateControls() {
  title_ = new QLabel(" Source Setup \n", this);
  title_->setStyleSheet("QLabel { color: #ffffff; background-color: #2f2f2f; }");
  title_->setAttribute(Qt::WA_TransparentForMouseEvents);  // the dialog moves by it
  title_->adjustSize();
  const int t = TitleHeight();
  const int height = t + 185 + 50;
  title_->setGeometry(0, 0, kClientWidth, t);
  auto makeButton = [this](const QString& text, int x, int y, int w) {
    auto* button = new QPushButton(text, this);
    button->setGeometry(x, y, w, 24);
    button->setAutoDefault(false);
    return button;
  };
  captureFilter_ = makeButton("Capture Filter...", 10, height - 40, 100);
  capturePin_ = makeButton("Capture Pin...", 115, height - 40, 90);
  ok_ = makeButton("OK", 210, height - 40, 50);
  cancel_ = makeButton("Cancel", 265, height - 40, 55);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(captureFilter_, &QPushButton::clicked, this, [this] {
    if (onCaptureFilter_) onCaptureFilter_();
  });
  connect(capturePin_, &QPushButton::clicked, this, [this] {
    if (onCapturePin_) onCapturePin_();
  });
  SetLiveSource(false);
  setFixedSize(kClientWidth, height);
}

int CSourceSetupDlg::TitleHeight() const { return title_ ? std::max(20, title_->height()) : 20; }

void CSourceSetupDlg::SetSettings(const SourceSettings& settings) {
  deinterlace_ = settings.deinterlace == kDeinterlaceFields ? kDeinterlaceFields : kDeinterlaceNone;
  split_ = SubViewsOfSplit(settings.split) > 0 ? settings.split : kSplitNone;
  Redraw();
  update();
}

SourceSettings CSourceSetupDlg::GetSettings() const {
  SourceSettings settings;
  settings.deinterlace = deinterlace_;
  settings.split = split_;
  DefaultSubViewCameras(settings);
  return settings;
}

void CSourceSetupDlg::SetLiveSource(bool live) {
  captureFilter_->setEnabled(live);
  capturePin_->setEnabled(live);
}

void CSourceSetupDlg::SetCaptureActions(std::function<void()> captureFilter, std::function<void()> capturePin) {
  onCaptureFilter_ = std::move(captureFilter);
  onCapturePin_ = std::move(capturePin);
}

QPushButton* CSourceSetupDlg::Button(int id) const {
  switch (id) {
    case kIdOk: return ok_;
    case kIdCancel: return cancel_;
    case kIdCaptureFilter: return captureFilter_;
    case kIdCapturePin: return capturePin_;
    default: return nullptr;
  }
}

QRect CSourceSetupDlg::BoxRect(Box box) const {
  const int t = TitleHeight();
  auto span = [t](int left, int right, int top) { return QRect(QPoint(left, t + top), QPoint(right - 1, t + top + kBoxHeight - 1)); };
  switch (box) {
    case Box::kSplitNone: return span(15, 90, 40);
    case Box::kSplitStereo: return span(15, 90, 75);
    case Box::kSplitQuad: return span(15, 90, 110);
    case Box::kDeinterlaceNone: return span(115, 190, 40);
    case Box::kDeinterlaceFields: return span(115, 190, 75);
    case Box::kNone: break;
  }
  return QRect();
}

QRect CSourceSetupDlg::CameraBoxRect(int index) const {
  const int top = TitleHeight() + 40 + index * 35;
  return QRect(QPoint(215, top), QPoint(289, top + kBoxHeight - 1));
}

CSourceSetupDlg::Box CSourceSetupDlg::BoxAt(QPoint point) const {
  for (Box box : {Box::kSplitNone, Box::kSplitStereo, Box::kSplitQuad, Box::kDeinterlaceNone, Box::kDeinterlaceFields})
    if (BoxRect(box).contains(point)) return box;
  return Box::kNone;
}

void CSourceSetupDlg::Click(QPoint point) {
  switch (BoxAt(point)) {
    case Box::kSplitNone: split_ = kSplitNone; break;
    case Box::kSplitStereo: split_ = kSplitStereo; break;
    case Box::kSplitQuad: split_ = kSplitQuad; break;
    case Box::kDeinterlaceNone: deinterlace_ = kDeinterlaceNone; break;
    case Box::kDeinterlaceFields: deinterlace_ = kDeinterlaceFields; break;
    case Box::kNone: return;
  }
  Redraw();
  update();
}

void CSourceSetupDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Redraw();
}

void CSourceSetupDlg::Redraw() {
  if (width() <= 0 || height() <= 0) return;
  if (image_.size() != size()) image_ = QImage(size(), QImage::Format_ARGB32);
  image_.fill(Argb(kBackground));
  QPainter painter(&image_);
  DrawHeader(painter);
  DrawOptionBox(painter, BoxRect(Box::kSplitNone), "None", split_ == kSplitNone);
  DrawOptionBox(painter, BoxRect(Box::kSplitStereo), "Stereo", split_ == kSplitStereo);
  DrawOptionBox(painter, BoxRect(Box::kSplitQuad), "Quad", split_ == kSplitQuad);
  DrawOptionBox(painter, BoxRect(Box::kDeinterlaceNone), "None", deinterlace_ == kDeinterlaceNone);
  DrawOptionBox(painter, BoxRect(Box::kDeinterlaceFields), "Fields", deinterlace_ == kDeinterlaceFields);
  for (int i = 0; i < SubViewsOfSplit(split_); ++i) DrawCameraBox(painter, i);
}

void CSourceSetupDlg::DrawHeader(QPainter& painter) {
  const int t = TitleHeight();
  painter.fillRect(QRect(QPoint(10, t + 10), QPoint(width() - 30 - 1, t + 30 - 1)), Argb(kBand));
  painter.setFont(headerFont_);
  painter.setPen(Argb(kHeaderText));
  const int baseline = t + 15 + QFontMetrics(headerFont_).ascent();
  painter.drawText(10, baseline, " Stream Splitting");
  painter.drawText(115, baseline, " Deinterlacing");
  painter.drawText(210, baseline, " Camera Config ");
  painter.setPen(QPen(Argb(kDivider), 1));
  for (int x : {100, 210}) painter.drawLine(x, t + 10, x, height() - 50);
}

void CSourceSetupDlg::DrawOptionBox(QPainter& painter, const QRect& box, const QString& label, bool chosen) {
  painter.fillRect(box, Argb(kBand));
  painter.setFont(boxFont_);
  painter.setPen(Argb(kBoxText));
  painter.drawText(box.left() + 3, box.top() + 7 + QFontMetrics(boxFont_).ascent(), label);
  painter.setPen(QPen(Argb(kGreen), 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(QRect(box.left() + 50, box.top() + 3, box.width() - 53, box.height() - 6));
  if (chosen) {
    painter.setPen(QPen(Argb(kYellow), 1));
    painter.drawRect(box.adjusted(-2, -2, 1, 1));
  }
}

void CSourceSetupDlg::DrawCameraBox(QPainter& painter, int index) {
  const QRect box = CameraBoxRect(index);
  DrawOptionBox(painter, box, QString("Data %1").arg(index), false);
  const QRect frame(box.left() + 50, box.top() + 3, box.width() - 53, box.height() - 6);
  const int midX = frame.left() + frame.width() / 2;
  const int midY = frame.top() + frame.height() / 2;
  painter.setPen(QPen(Argb(kGreen), 1));
  if (split_ == kSplitStereo) {
    const QRect half = index == 0 ? QRect(QPoint(frame.left(), frame.top()), QPoint(midX, frame.bottom()))
                                  : QRect(QPoint(midX, frame.top()), frame.bottomRight());
    painter.fillRect(half, Argb(kSubViewFill));
    painter.drawLine(midX, frame.top(), midX, frame.bottom());
  } else if (split_ == kSplitQuad) {
    const int left = index % 2 == 0 ? frame.left() : midX;
    const int top = index / 2 == 0 ? frame.top() : midY;
    const int right = index % 2 == 0 ? midX : frame.right();
    const int bottom = index / 2 == 0 ? midY : frame.bottom();
    painter.fillRect(QRect(QPoint(left, top), QPoint(right, bottom)), Argb(kSubViewFill));
    painter.drawLine(midX, frame.top(), midX, frame.bottom());
    painter.drawLine(frame.left(), midY, frame.right(), midY);
  }
}

void CSourceSetupDlg::paintEvent(QPaintEvent*) {
  if (image_.size() != size()) Redraw();
  QPainter painter(this);
  painter.drawImage(0, 0, image_);
}

void CSourceSetupDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QDialog::mousePressEvent(event);
  const QPoint point = event->position().toPoint();
  if (point.y() < TitleHeight()) {
    moving_ = true;
    moveAnchor_ = event->globalPosition().toPoint();
    return;
  }
  Click(point);
}

void CSourceSetupDlg::mouseMoveEvent(QMouseEvent* event) {
  if (!moving_ || !(event->buttons() & Qt::LeftButton)) return QDialog::mouseMoveEvent(event);
  const QPoint now = event->globalPosition().toPoint();
  move(pos() + (now - moveAnchor_));
  moveAnchor_ = now;
}

void CSourceSetupDlg::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) moving_ = false;
  QDialog::mouseReleaseEvent(event);
}
