#include "ui/ImageListControl.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "core/CalibrationData.h"
#include "widgets/DrawingSurface.h"
#include "widgets/HoverButtonEx.h"
#include "ui/GridDetector.h"
#include "app/RunDiagnostics.h"
#include "widgets/ScrollBarEx.h"

namespace {

constexpr uint32_t kButtonWindowColour = 0x414141;

// Thumbnails are decoded no larger than their cell on the screen.
cv::Size ThumbnailDecodeSize(qreal devicePixelRatio) {
  const int side = static_cast<int>(std::ceil(CImageListControl::kThumbnailSize * std::max<qreal>(devicePixelRatio, 1.0)));
  return cv::Size(side, side);
}
// Space between the thumbnails and the button row.
constexpr int kButtonClearance = 5;

struct ListButton {
  int id;
  const char* text;
  const char* graphic;
  const char* tooltip;
  int x;
};

const ListButton kButtons[] = {
    {CImageListControl::kIdAddImages, "Add images...", "\\Graphics\\button_open_image.png", "Add images...", 15},
    {CImageListControl::kIdRemove, "Remove", "\\Graphics\\button_remove_image.png", "Remove", 41},
    {CImageListControl::kIdDisable, "Disable", "\\Graphics\\button_disable_image.png", "Disable", 67},
};

}  // namespace

const char* const CImageListControl::kImageFilter =
    "Image Files (*.bmp;*.jpg;*.tif;*.png;*.gif)|*.bmp; *.jpg; *.tif; *.png; *.gif|All Files (*.*)|*.*||";

QString QtFileFilter(const QString& frameworkFilter) {
  const QStringList parts = frameworkFilter.split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString name = parts[i].trimmed();
    if (name.isEmpty()) break;  // the closing "||"
    const qsizetype open = name.lastIndexOf('(');
    if (open > 0 && name.endsWith(')')) name = name.left(open).trimmed();
    QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
    for (QString& pattern : patterns) pattern = pattern.trimmed();
    filters << QString("%1 (%2)").arg(name, patterns.join(' '));
  }
  return filters.join(";;");
}

QStringList RunAddImagesDialog(QWidget* parent) {
  QFileDialog dialog(parent, "Add images");
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setDefaultSuffix("bmp");
  dialog.setNameFilter(QtFileFilter(CImageListControl::kImageFilter));
  dialog.selectFile("Image");
  return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

CImageListControl::CImageListControl(QWidget* parent, int id) : QWidget(parent), id_(id) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

CImageListControl::~CImageListControl() = default;

void CImageListControl::Init() {
  backBuffer_ = QImage(size(), QImage::Format_ARGB32);
  backBuffer_.fill(kBackgroundColour);
  if (!initialised_) {
    CreateButtons();
    scrollBar_ = new CScrollBarEx(this);
    scrollBar_->SetLineStep(kThumbnailPitch / 3);  // a wheel notch scrolls one row
    connect(scrollBar_, &CScrollBarEx::offsetChanged, this, [this] { Redraw(); });
  }
  initialised_ = true;
  PlaceChildren();
  Redraw();
}

void CImageListControl::CreateButtons() {
  for (size_t i = 0; i < buttons_.size(); ++i) {
    const ListButton& entry = kButtons[i];
    ImageButtonSpec spec;
    spec.text = entry.text;
    spec.id = entry.id;
    spec.position = QPoint(entry.x, height() - kButtonRowFromBottom);
    spec.regionSize = QSize(24, 24);
    spec.graphicsPath = entry.graphic;
    spec.tooltip = entry.tooltip;
    spec.solidBackground = true;
    spec.solidColour = kButtonWindowColour;
    buttons_[i] = CreateImageButton(this, applicationFolder_, spec);
  }
  connect(buttons_[0], &QPushButton::clicked, this, [this] { RunGuarded([this] { AddImages(); }); });
  connect(buttons_[1], &QPushButton::clicked, this, [this] {
    if (removeCommand_) RunGuarded(removeCommand_);
  });
  connect(buttons_[2], &QPushButton::clicked, this, [this] { RunGuarded([this] { ToggleSelectedView(); }); });
}

void CImageListControl::PlaceChildren() {
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i]) buttons_[i]->move(kButtons[i].x, height() - kButtonRowFromBottom);
  const QRect area = ThumbnailArea();
  if (scrollBar_)
    scrollBar_->setGeometry(area.right() + 2, area.top() + kMargin, CScrollBarEx::kWidth,
                            std::max(0, area.height() - kMargin));
  UpdateScrollRange();
}

void CImageListControl::RunGuarded(const std::function<void()>& command) {
  if (guard_) return guard_(command);
  command();
}

CHoverButtonEx* CImageListControl::Button(int id) const {
  for (CHoverButtonEx* button : buttons_)
    if (button && button->Id() == id) return button;
  return nullptr;
}

void CImageListControl::Bind(CCalibrationData* store, int camera) {
  store_ = store;
  camera_ = camera;
  selectedView_ = -1;
  if (scrollBar_) scrollBar_->SetOffset(0);
  Redraw();
}

// ---- Geometry ----

int CImageListControl::ViewCount() const { return store_ && camera_ >= 0 ? store_->GetViewCount(camera_) : 0; }

QRect CImageListControl::ThumbnailArea() const {
  const int right = width() - CScrollBarEx::kWidth - 3;
  const int bottom = height() - kButtonRowFromBottom - kButtonClearance;
  return QRect(0, 0, std::max(0, right), std::max(0, bottom));
}

int CImageListControl::Columns() const {
  return std::max(1, (ThumbnailArea().width() - kMargin + kThumbnailGap) / kThumbnailPitch);
}

int CImageListControl::ScrollOffset() const { return scrollBar_ ? scrollBar_->Offset() : 0; }

QRect CImageListControl::ThumbnailRect(int view) const {
  if (view < 0 || view >= ViewCount()) return QRect();
  const int columns = Columns();
  return QRect(kMargin + kThumbnailPitch * (view % columns),
               kMargin + kThumbnailPitch * (view / columns) - ScrollOffset(), kThumbnailSize, kThumbnailSize);
}

int CImageListControl::ViewAt(int x, int y) const {
  if (!ThumbnailArea().contains(x, y) || x < kMargin) return -1;
  const int column = (x - kMargin) / kThumbnailPitch;
  const int contentY = y + ScrollOffset() - kMargin;
  if (column >= Columns() || contentY < 0) return -1;
  const int view = (contentY / kThumbnailPitch) * Columns() + column;
  return ThumbnailRect(view).contains(x, y) ? view : -1;
}

void CImageListControl::UpdateScrollRange() {
  if (!scrollBar_) return;
  const int rows = (ViewCount() + Columns() - 1) / Columns();
  scrollBar_->SetRange(kMargin + rows * kThumbnailPitch, ThumbnailArea().height());
}

// ---- Input and commands ----

void CImageListControl::Click(int x, int y) {
  const int view = ViewAt(x, y);
  if (view >= 0 && ErrorStripRect(view).contains(x, y) && store_->IsViewEnabled(camera_, view)) {
    const std::vector<ViewError> errors = ViewErrors();
    const auto error = std::find_if(errors.begin(), errors.end(), [view](const ViewError& e) { return e.view == view; });
    if (error != errors.end() && error->outlier) store_->DisableView(camera_, view);
  }
  SelectView(view);
}

// Derived from the store on every call, so the numbers follow the views
// through scrolling, removals, another camera and a new run.
std::vector<ViewError> CImageListControl::ViewErrors() const {
  return store_ && camera_ >= 0 ? CurrentViewErrors(*store_, camera_) : std::vector<ViewError>{};
}

QRect CImageListControl::ErrorStripRect(int view) const {
  const QRect cell = ThumbnailRect(view);
  if (cell.isNull()) return QRect();
  const std::vector<ViewError> errors = ViewErrors();
  if (std::none_of(errors.begin(), errors.end(), [view](const ViewError& e) { return e.view == view; })) return QRect();
  return QRect(cell.left(), cell.bottom() + 1 - kErrorStripHeight, cell.width(), kErrorStripHeight);
}

void CImageListControl::SelectView(int view) {
  selectedView_ = view >= 0 && view < ViewCount() ? view : -1;
  if (selectedView_ >= 0 && scrollBar_) {
    UpdateScrollRange();
    const QRect cell = ThumbnailRect(selectedView_);
    const int bottom = ThumbnailArea().bottom();
    if (cell.top() < kMargin) scrollBar_->SetOffset(ScrollOffset() - (kMargin - cell.top()));
    else if (cell.bottom() > bottom) scrollBar_->SetOffset(ScrollOffset() + cell.bottom() - bottom);
  }
  Redraw();
}

void CImageListControl::Wheel(int angleDelta) {
  if (scrollBar_) scrollBar_->Wheel(angleDelta);
}

QStringList CImageListControl::AskImageFiles() {
  return askImageFiles_ ? askImageFiles_() : RunAddImagesDialog(this);
}

void CImageListControl::AddImages() {
  if (!store_ || camera_ < 0) return;
  AddImageFiles(AskImageFiles());
}

void CImageListControl::AddImageFiles(const QStringList& paths) {
  if (!store_ || camera_ < 0) return;
  const std::vector<int> before = ViewCounts(*store_);
  // Each refusal names its file and why: unreadable, damaged (a truncated
  // JPEG decodes half grey), or of another size than the camera's views.
  QStringList refused;
  for (const QString& path : paths) {
    std::string problem;
    if (store_->AddViewFromFile(camera_, path.toStdString(), 1, 0, "", &problem) != 0)
      refused << QString::fromStdString(problem);
  }
  Redraw();
  if (viewsArrived_) viewsArrived_(before);
  if (refused.isEmpty()) return;
  Tell(QString("These files were not added:\n%1").arg(refused.join('\n')));
}

void CImageListControl::Tell(const QString& text) {
  if (message_) message_(text);
  else QMessageBox::warning(this, "Lentora", text);
}

void CImageListControl::ToggleSelectedView() {
  if (!store_ || camera_ < 0) return;
  if (selectedView_ < 0 || selectedView_ >= ViewCount()) {
    Tell("Please select a view to disable or enable.");
    return;
  }
  if (store_->IsViewEnabled(camera_, selectedView_)) {
    store_->DisableView(camera_, selectedView_);
  } else if (store_->ViewMissingImage(camera_, selectedView_)) {
    Tell(QString("View %1 has no image (its file could not be read when the workspace was loaded), so it stays "
                 "disabled: a calibration cannot use it.")
             .arg(selectedView_ + 1));
    return;
  } else {
    store_->EnableView(camera_, selectedView_);
  }
  Redraw();
}

// ---- Drawing ----

void CImageListControl::DrawThumbnails(QPainter& painter) {
  const QRect area = ThumbnailArea();
  painter.setClipRect(area);
  const int views = ViewCount();
  for (int view = 0; view < views; ++view) {
    const QRect cell = ThumbnailRect(view);
    if (!cell.intersects(area)) continue;
    if (const QImage thumbnail = CCalibrationData::BitmapOf(store_->GetViewThumbnail(camera_, view, ThumbnailDecodeSize(devicePixelRatioF())));
        !thumbnail.isNull())
      painter.drawImage(cell, thumbnail);
    if (!store_->IsViewEnabled(camera_, view)) painter.fillRect(cell, QColor::fromRgba(kDisabledTint));
  }
  DrawViewErrors(painter, ViewErrors());
  if (selectedView_ >= 0 && selectedView_ < views) {
    const QRect cell = ThumbnailRect(selectedView_);
    painter.setPen(QColor::fromRgba(kSelectionColour));
    painter.setBrush(Qt::NoBrush);
    // A 41 x 41 outline starting one pixel above and left of the thumbnail.
    painter.drawRect(cell.left() - 1, cell.top() - 1, kThumbnailSize + 1, kThumbnailSize + 1);
  }
}

void CImageListControl::DrawViewErrors(QPainter& painter, const std::vector<ViewError>& errors) {
  QFont small("Verdana");
  small.setPixelSize(9);
  painter.setFont(small);
  const QRect area = ThumbnailArea();
  for (const ViewError& e : errors) {
    const QRect cell = ThumbnailRect(e.view);
    if (cell.isNull() || !cell.intersects(area)) continue;
    const QRect strip(cell.left(), cell.bottom() + 1 - kErrorStripHeight, cell.width(), kErrorStripHeight);
    painter.fillRect(strip, QColor::fromRgba(e.outlier ? kOutlierStripColour : kErrorStripColour));
    painter.setPen(e.outlier ? Qt::black : Qt::white);
    const QString text = QString::number(e.rms, 'f', e.rms < 10 ? 2 : (e.rms < 100 ? 1 : 0));
    painter.drawText(strip, Qt::AlignCenter, e.outlier ? text + "!" : text);
  }
}

void CImageListControl::Draw() {
  if (backBuffer_.isNull()) return;
  UpdateScrollRange();
  if (selectedView_ >= ViewCount()) selectedView_ = -1;
  backBuffer_.fill(kBackgroundColour);
  QPainter painter(&backBuffer_);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setRenderHint(QPainter::Antialiasing, false);
  DrawThumbnails(painter);
}

void CImageListControl::Redraw() {
  Draw();
  update();
}

// Thumbnails are drawn afresh on every paint, so views that arrived since the
// last change (a capture) show whenever the list is repainted.
void CImageListControl::paintEvent(QPaintEvent*) {
  if (backBuffer_.isNull()) return;
  Draw();
  QPainter painter(this);
  CopyBufferToWidget(painter, backBuffer_, rect());
}

void CImageListControl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!initialised_) return;
  backBuffer_ = QImage(size(), QImage::Format_ARGB32);
  PlaceChildren();
  Redraw();
}

void CImageListControl::wheelEvent(QWheelEvent* event) {
  Wheel(event->angleDelta().y());
  event->accept();
}
