#include "ui/ImageListControl.h"

#include <QFileDialog>
#include <algorithm>
#include <QPainter>
#include <QResizeEvent>

#include "core/CalibrationData.h"
#include "widgets/DrawingSurface.h"
#include "widgets/HoverButtonEx.h"
#include "ui/GridDetector.h"

namespace {

constexpr uint32_t kButtonWindowColour = 0x414141;
constexpr int kButtonRowFromBottom = 35;

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
  font_ = QFont("Verdana");
  font_.setBold(true);
  font_.setPointSize(8);
}

CImageListControl::~CImageListControl() = default;

void CImageListControl::Init() {
  backBuffer_ = QImage(size(), QImage::Format_ARGB32);
  backBuffer_.fill(kBackgroundColour);
  if (!initialised_) CreateButtons();
  initialised_ = true;
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
  connect(buttons_[0], &QPushButton::clicked, this, &CImageListControl::AddImages);
  connect(buttons_[2], &QPushButton::clicked, this, &CImageListControl::ToggleSelectedView);
  // "Remove" has no action.
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
  Redraw();
}

int CImageListControl::Columns() const { return std::max(1, width() / kThumbnailPitch); }

QRect CImageListControl::ThumbnailRect(int view) const {
  return view >= 0 && view < kHitTableSize ? hitTable_[view] : QRect();
}

void CImageListControl::Click(int x, int y) {
  if (x < 0 || y < 0) return;
  selectedView_ = Columns() * (y / kThumbnailPitch) + x / kThumbnailPitch;
  Redraw();
}

QStringList CImageListControl::AskImageFiles() {
  return askImageFiles_ ? askImageFiles_() : RunAddImagesDialog(this);
}

void CImageListControl::AddImages() {
  if (!store_) return;
  AddImageFiles(AskImageFiles());
}

void CImageListControl::AddImageFiles(const QStringList& paths) {
  if (!store_) return;
  const std::vector<int> before = ViewCounts(*store_);
  for (const QString& path : paths) store_->AddViewFromFile(camera_, path.toStdString(), 1, 0, "");
  Redraw();
  if (viewsArrived_) viewsArrived_(before);
}

void CImageListControl::ToggleSelectedView() {
  if (!store_ || selectedView_ < 0 || selectedView_ >= store_->GetViewCount(camera_)) return;
  if (store_->IsViewEnabled(camera_, selectedView_)) store_->DisableView(camera_, selectedView_);
  else store_->EnableView(camera_, selectedView_);
  Redraw();
}

void CImageListControl::DrawThumbnails(QPainter& painter) {
  hitTable_.fill(QRect());
  const int views = store_ ? store_->GetViewCount(camera_) : 0;
  const int columns = Columns();
  for (int view = 0; view < views; ++view) {
    const QRect cell(10 + kThumbnailPitch * (view % columns), 10 + kThumbnailPitch * (view / columns),
                     kThumbnailSize, kThumbnailSize);
    if (const QImage* bitmap = store_->GetViewBitmap(camera_, view); bitmap && !bitmap->isNull())
      painter.drawImage(cell, *bitmap);
    if (!store_->IsViewEnabled(camera_, view)) painter.fillRect(cell, QColor::fromRgba(kDisabledTint));
    if (view < kHitTableSize) hitTable_[view] = cell;
  }
  if (selectedView_ >= 0 && selectedView_ < std::min(views, kHitTableSize)) {
    const QRect cell = hitTable_[selectedView_];
    painter.setPen(QColor::fromRgba(kSelectionColour));
    painter.setBrush(Qt::NoBrush);
    // A 41 x 41 outline starting one pixel above and left of the thumbnail.
    painter.drawRect(cell.left() - 1, cell.top() - 1, kThumbnailSize + 1, kThumbnailSize + 1);
  }
}

void CImageListControl::Draw() {
  if (backBuffer_.isNull()) return;
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

// Thumbnails are drawn afresh on every paint: views can arrive from other
// panels (captured frames) without telling the list.
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
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i]) buttons_[i]->move(kButtons[i].x, height() - kButtonRowFromBottom);
  Redraw();
}
