#include "ui/StaticDataView.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressDialog>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "widgets/DrawingSurface.h"
#include "widgets/HoverButtonEx.h"
#include "ui/GridDetector.h"
#include "ui/ImageListControl.h"

namespace {

constexpr uint32_t kButtonWindowColour = 0x4B4B4B;
constexpr uint32_t kEntryTitleColour = 0xFF3C3C3C;
constexpr int kEntryLeft = 10;
constexpr int kEntryRight = 200;
constexpr int kSeparatorX = 215;

struct PanelButton {
  int id;
  const char* text;
  const char* graphic;
  const char* tooltip;
  int x;
};

const PanelButton kButtons[] = {
    {CStaticDataView::kIdNewCamera, "New camera", "\\Graphics\\button_data_insert_camera.png", "New camera", 15},
    {CStaticDataView::kIdCalibrate, "Calib", "\\Graphics\\button_calib.png", "Calibrate", 51},
    {CStaticDataView::kIdCalibrateStereo, "Calib Stereo", "\\Graphics\\button_calib2.png", "Calibrate stereo rig", 85},
    {CStaticDataView::kIdRemoveCamera, "Remove camera", "\\Graphics\\button_bin.png", "Remove camera", 119},
    {CStaticDataView::kIdDetectAll, "Detect all", "\\Graphics\\button_detect_all.png", "Detect all", 153},
};

QString CameraTitle(int entry) { return QString("Camera %1").arg(entry + 1); }

}  // namespace

// ---- Entry panel ----

CCameraEntryPanel::CCameraEntryPanel(QWidget* parent, int id) : QWidget(parent), id_(id) {
  titleFont_ = QFont("Verdana");
  titleFont_.setBold(true);
  titleFont_.setPointSize(8);
  textFont_ = QFont("Verdana");
  textFont_.setPointSize(7);
}

void CCameraEntryPanel::Layout() { update(); }

void CCameraEntryPanel::SetTexts(const QString& title, const QString& information) {
  title_ = title;
  information_ = information;
  update();
}

void CCameraEntryPanel::SetTitle(const QString& title) { SetTexts(title, information_); }
void CCameraEntryPanel::SetInformation(const QString& information) { SetTexts(title_, information); }

void CCameraEntryPanel::SetTitleColour(uint32_t argb) {
  titleColour_ = argb;
  update();
}

void CCameraEntryPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(0x55, 0x55, 0x55));
  const QRect titleBand(0, 0, width(), kTitleHeight);
  painter.fillRect(titleBand, QColor::fromRgba(titleColour_));
  painter.setPen(Qt::white);
  painter.setFont(titleFont_);
  painter.drawText(titleBand.adjusted(4, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft, title_);
  painter.setFont(textFont_);
  painter.setPen(QColor(0xE6, 0xE6, 0xE6));
  painter.drawText(QRect(4, kTitleHeight + 1, width() - 6, height() - kTitleHeight - 2),
                   Qt::AlignTop | Qt::AlignLeft | Qt::TextWordWrap, information_);
}

// ---- Panel ----

CStaticDataView::CStaticDataView(QWidget* parent, int id) : QWidget(parent), id_(id) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  font_ = QFont("Verdana");
  font_.setBold(true);
  font_.setPointSize(8);
}

CStaticDataView::~CStaticDataView() = default;

void CStaticDataView::Init() {
  backBuffer_ = QImage(size(), QImage::Format_ARGB32);
  backBuffer_.fill(kPanelColour);
  if (!initialised_) CreateButtons();
  initialised_ = true;
  Redraw();
}

void CStaticDataView::CreateButtons() {
  for (size_t i = 0; i < buttons_.size(); ++i) {
    const PanelButton& entry = kButtons[i];
    ImageButtonSpec spec;
    spec.text = entry.text;
    spec.id = entry.id;
    spec.position = QPoint(entry.x, height() - kButtonRowFromBottom);
    spec.regionSize = QSize(kButtonSize, kButtonSize);
    spec.graphicsPath = entry.graphic;
    spec.tooltip = entry.tooltip;
    spec.solidBackground = true;
    spec.solidColour = kButtonWindowColour;
    buttons_[i] = CreateImageButton(this, applicationFolder_, spec);
  }
  connect(buttons_[0], &QPushButton::clicked, this, &CStaticDataView::NewCamera);
  connect(buttons_[1], &QPushButton::clicked, this, &CStaticDataView::Calibrate);
  connect(buttons_[2], &QPushButton::clicked, this, &CStaticDataView::CalibrateStereoRig);
  connect(buttons_[4], &QPushButton::clicked, this, &CStaticDataView::DetectAll);
  // "Remove camera" has no action.
}

CHoverButtonEx* CStaticDataView::Button(int id) const {
  for (CHoverButtonEx* button : buttons_)
    if (button && button->Id() == id) return button;
  return nullptr;
}

QRect CStaticDataView::EntryRect(int entry) const {
  return entry >= 0 && entry < EntryCount() ? entryRects_[entry] : QRect();
}

QString CStaticDataView::EntryTitle(int entry) const {
  return entry >= 0 && entry < EntryCount() ? entries_[entry]->Title() : QString();
}

QString CStaticDataView::EntryText(int entry) const {
  return entry >= 0 && entry < EntryCount() ? entries_[entry]->Information() : QString();
}

CImageListControl* CStaticDataView::ImageList(int entry) const {
  return entry >= 0 && entry < EntryCount() ? imageLists_[entry] : nullptr;
}

CCameraEntryPanel* CStaticDataView::EntryPanel(int entry) const {
  return entry >= 0 && entry < EntryCount() ? entries_[entry] : nullptr;
}

QRect CStaticDataView::ImageListRect() const {
  return QRect(QPoint(kListLeft, kListTop), QPoint(width() - 10, height() - 10));
}

void CStaticDataView::SetStore(CCalibrationData* store) {
  store_ = store;
  for (CImageListControl* list : imageLists_) list->Bind(store_, list->Camera());
}

// ---- Entries ----

CImageListControl* CStaticDataView::CreateImageList(int camera, int controlId) {
  auto* list = new CImageListControl(this, controlId);
  list->setWindowTitle("Video Player");
  list->setGeometry(ImageListRect());
  list->SetApplicationFolder(applicationFolder_);
  list->SetImageFilePrompt([this] { return AskImageFiles(); });
  list->SetViewsArrived([this](const std::vector<int>& before) {
    if (detector_) detector_->DetectArrivals(before);
  });
  list->Init();
  list->Bind(store_, camera);
  list->setVisible(false);  // only the selected entry's list shows
  return list;
}

CCameraEntryPanel* CStaticDataView::CreateEntryPanel(int controlId, const QRect& rect, const QString& information) {
  auto* entry = new CCameraEntryPanel(this, controlId);
  entry->setWindowTitle("Source Panel");
  entry->setGeometry(rect);
  entry->Layout();
  entry->SetTexts(QString(), information);
  entry->SetTitleColour(kEntryTitleColour);
  entry->show();
  return entry;
}

void CStaticDataView::AddCameraEntry() {
  const int e = EntryCount();
  imageLists_.push_back(CreateImageList(e, kImageListIdBase + e));
  const int top = e == 0 ? 10 : entryRects_.back().bottom() + 1 + kEntrySpacing;
  const QRect rect(QPoint(kEntryLeft, top), QPoint(kEntryRight - 1, top + kEntryHeight - 1));
  entries_.push_back(CreateEntryPanel(kEntryIdBase + e, rect, "Not calibrated."));
  entries_.back()->SetTitle(CameraTitle(e));
  entryRects_.push_back(rect);
  ShowSelectedList();
  Redraw();
}

void CStaticDataView::InsertCameraEntry(int position) {
  if (position < 0 || position > EntryCount()) return;
  const int top = position == 0 ? 10 : entryRects_[position - 1].bottom() + 1 + kEntrySpacing;
  const QRect rect(QPoint(kEntryLeft, top), QPoint(kEntryRight - 1, top + kEntryHeight - 1));
  // The new list shows the camera appended last; later lists keep their cameras.
  CImageListControl* list = CreateImageList(EntryCount(), kImageListIdBase + EntryCount());
  CCameraEntryPanel* entry = CreateEntryPanel(kEntryIdBase + EntryCount(), rect, "Image files");
  MoveEntriesFrom(position, kEntryHeight + kEntrySpacing);
  imageLists_.insert(imageLists_.begin() + position, list);
  entries_.insert(entries_.begin() + position, entry);
  entryRects_.insert(entryRects_.begin() + position, rect);
  if (selectedCamera_ >= position) ++selectedCamera_;
  RetitleEntriesFrom(position);
  ShowSelectedList();
  Redraw();
}

void CStaticDataView::RemoveCameraEntry(int position) {
  if (position < 0 || position >= EntryCount()) return;
  if (selectedCamera_ == position) {
    ResizeEntry(position, -kEntryExpansion);
    selectedCamera_ = -1;
  } else if (selectedCamera_ > position) {
    --selectedCamera_;
  }
  delete imageLists_[position];
  delete entries_[position];
  imageLists_.erase(imageLists_.begin() + position);
  entries_.erase(entries_.begin() + position);
  entryRects_.erase(entryRects_.begin() + position);
  MoveEntriesFrom(position, -(kEntryHeight + kEntrySpacing));
  RetitleEntriesFrom(position);
  ShowSelectedList();
  Redraw();
}

void CStaticDataView::MoveEntriesFrom(int first, int dy) {
  for (int e = first; e < EntryCount(); ++e) {
    entryRects_[e].translate(0, dy);
    entries_[e]->setGeometry(entryRects_[e]);
  }
}

void CStaticDataView::RetitleEntriesFrom(int first) {
  for (int e = first; e < EntryCount(); ++e) entries_[e]->SetTitle(CameraTitle(e));
}

// Grows (or shrinks) one entry at its bottom and moves every later entry with it.
void CStaticDataView::ResizeEntry(int entry, int dy) {
  entryRects_[entry].setBottom(entryRects_[entry].bottom() + dy);
  entries_[entry]->setGeometry(entryRects_[entry]);
  MoveEntriesFrom(entry + 1, dy);
}

void CStaticDataView::ShowSelectedList() {
  for (int e = 0; e < EntryCount(); ++e) imageLists_[e]->setVisible(e == selectedCamera_);
}

// ---- Input ----

void CStaticDataView::Click(int x, int y) {
  if (x >= kListLeft) {
    if (CImageListControl* list = ImageList(selectedCamera_)) list->Click(x - kListLeft, y - kListTop);
    return;
  }
  int hit = -1;
  for (int e = 0; e < EntryCount() && hit < 0; ++e)
    if (entryRects_[e].contains(x, y)) hit = e;
  if (hit == selectedCamera_ || (hit < 0 && selectedCamera_ < 0)) return;
  if (selectedCamera_ >= 0) ResizeEntry(selectedCamera_, -kEntryExpansion);
  selectedCamera_ = hit;
  if (hit >= 0) ResizeEntry(hit, kEntryExpansion);
  ShowSelectedList();
  Redraw();
}

void CStaticDataView::SelectEntry(int entry) {
  if (entry < 0 || entry >= EntryCount()) return;
  const QRect r = entryRects_[entry];
  Click(r.left(), r.top());
}

void CStaticDataView::DoubleClick(int x, int) {
  if (x < kListLeft || selectedCamera_ < 0) return;
  if (tools_.openEditor) tools_.openEditor(selectedCamera_, 0);
}

void CStaticDataView::KeyPressed(int key) {
  if (key == Qt::Key_L) LoadParameters();
}

void CStaticDataView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  const QPoint p = event->position().toPoint();
  Click(p.x(), p.y());
}

void CStaticDataView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mouseDoubleClickEvent(event);
  const QPoint p = event->position().toPoint();
  DoubleClick(p.x(), p.y());
}

// ---- Commands ----

void CStaticDataView::NewCamera() {
  if (!store_) return;
  store_->AddCamera();
  AddCameraEntry();
}

void CStaticDataView::Calibrate() {
  if (!store_ || selectedCamera_ < 0) return;
  const int camera = selectedCamera_;
  if (store_->GetViewCount(camera) < kMinimumCalibrationViews) {
    ShowMessage(kTooFewViewsMessage);
    return;
  }
  // Disabled, imageless and incompletely marked views take no part; too few others refuse the run.
  const CameraCalibrationResult run = CalibrateCamera(*store_, camera);
  if (!run.ok) {
    ShowMessage(QString::fromStdString(run.message));
    return;
  }
  const CalibrationProblem& problem = store_->GetCalibrationProblem(camera);
  std::string text = CalibrationText(problem);
  // Which views were left out, and why, when any were.
  if (!problem.skippedViews.empty()) text += "\n" + ViewUsageText(problem);
  entries_[camera]->SetInformation(QString::fromStdString(text));
  if (tools_.showCalibration) tools_.showCalibration(camera);
}

void CStaticDataView::CalibrateStereoRig() {
  if (!store_ || EntryCount() < 2 || store_->GetCameraCount() < 2) return;
  const StereoRigResult rig = ::CalibrateStereoRig(*store_);
  if (!rig.ok) {
    ShowMessage(QString("The stereo rig could not be calibrated: %1").arg(QString::fromStdString(rig.message)));
    return;
  }
  AddCameraEntry();
  entries_.back()->SetTexts("Stereo Rig", QString("Stereo Rig between cameras\n") +
                                              QString::fromStdString(StereoRigText(rig)));
}

void CStaticDataView::LoadParameters() {
  const QString path = AskParameterFile();
  if (path.isEmpty()) return;
  LoadParametersFrom(path);
}

void CStaticDataView::LoadParametersFrom(const QString& path) {
  if (selectedCamera_ < 0) {
    ShowMessage("Please select a camera before trying to load parameters!!!");
    return;
  }
  if (!store_ || selectedCamera_ >= store_->GetCameraCount()) return;
  // A file that cannot be read leaves the parameters as they were; the text shows them either way.
  LoadCameraParameters(*store_, selectedCamera_, path.toStdString());
  entries_[selectedCamera_]->SetInformation(
      QString::fromStdString(ParametersText(store_->GetCameraParameters(selectedCamera_))));
}

// ---- Grid detection ----

void CStaticDataView::SetDetector(CGridDetector* detector) {
  if (detector_) disconnect(detector_, nullptr, this, nullptr);
  detector_ = detector;
  if (!detector_) return;
  connect(detector_, &CGridDetector::batchProgress, this, [this](int searched, int) {
    if (progress_) progress_->setValue(searched);
  });
  connect(detector_, &CGridDetector::batchFinished, this, &CStaticDataView::DetectionFinished);
}

void CStaticDataView::DetectAll() {
  if (!detector_ || !store_ || selectedCamera_ < 0 || selectedCamera_ >= store_->GetCameraCount()) return;
  if (detector_->BatchRunning()) return;
  if (!detector_->CanDetect(selectedCamera_)) {
    ShowMessage("Please set the calibration grid's properties in the object editor before detecting it.");
    return;
  }
  const int views = store_->GetViewCount(selectedCamera_);
  if (!detector_->DetectAll(selectedCamera_)) return;
  progress_ = new QProgressDialog(QString("Detecting the grid in the views of camera %1...").arg(selectedCamera_ + 1),
                                  "Cancel", 0, views, this);
  progress_->setWindowTitle("Detect all");
  progress_->setWindowModality(Qt::NonModal);
  progress_->setAutoClose(false);
  progress_->setAutoReset(false);
  progress_->setMinimumDuration(0);
  progress_->setValue(0);
  connect(progress_, &QProgressDialog::canceled, detector_, &CGridDetector::CancelBatch);
  progress_->show();
}

void CStaticDataView::DetectionFinished(const DetectionSummary& summary) {
  if (progress_) {
    progress_->disconnect(this);
    progress_->hide();
    progress_->deleteLater();
    progress_ = nullptr;
  }
  ShowMessage(DetectionSummaryText(summary));
}

// ---- Prompts ----

void CStaticDataView::ShowMessage(const QString& text) {
  if (prompts_.message) return prompts_.message(text);
  QMessageBox::information(this, "Lentora", text);
}

QString CStaticDataView::AskParameterFile() {
  if (prompts_.parameterFile) return prompts_.parameterFile();
  return QFileDialog::getOpenFileName(this, "Load camera parameters");
}

QStringList CStaticDataView::AskImageFiles() {
  return prompts_.imageFiles ? prompts_.imageFiles() : RunAddImagesDialog(this);
}

// ---- Drawing ----

void CStaticDataView::Redraw() {
  if (backBuffer_.isNull()) return;
  backBuffer_.fill(kPanelColour);
  QPainter painter(&backBuffer_);
  painter.setPen(QPen(QColor::fromRgba(kSeparatorColour), 1));
  painter.drawLine(kSeparatorX, 10, kSeparatorX, height() - 10);
  if (selectedCamera_ >= 0 && selectedCamera_ < EntryCount()) {
    const QRect r = entryRects_[selectedCamera_];
    painter.setPen(QPen(QColor::fromRgba(kSelectionColour), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.left() - 1, r.top() - 1, r.width() + 2, r.height() + 2);
  }
  painter.end();
  update();
}

void CStaticDataView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (backBuffer_.isNull()) {
    painter.fillRect(rect(), QColor::fromRgba(kPanelColour));
    return;
  }
  CopyBufferToWidget(painter, backBuffer_, rect());
}

void CStaticDataView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!initialised_) return;
  backBuffer_ = QImage(size(), QImage::Format_ARGB32);
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i]) buttons_[i]->move(kButtons[i].x, height() - kButtonRowFromBottom);
  for (CImageListControl* list : imageLists_) list->setGeometry(ImageListRect());
  Redraw();
}
