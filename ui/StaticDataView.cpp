#include "ui/StaticDataView.h"

#include <QFileDialog>
#include <QMouseEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <QPainter>
#include <QResizeEvent>
#include <QTextLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <exception>

#include "app/CalibrationReport.h"
#include "app/CalibrationService.h"
#include "app/RunDiagnostics.h"
#include "app/ViewGuidance.h"
#include "core/CalibrationData.h"
#include "ui/ApplicationSettings.h"
#include "ui/CalibrationRunner.h"
#include "ui/GridDetector.h"
#include "ui/ProgressWindow.h"
#include "ui/ImageListControl.h"
#include "ui/ObjectProperties.h"
#include "ui/ResidualWindow.h"
#include "widgets/DrawingSurface.h"
#include "widgets/HoverButtonEx.h"
#include "widgets/ScrollBarEx.h"

namespace {

constexpr uint32_t kButtonWindowColour = 0x4B4B4B;
constexpr uint32_t kEntryTitleColour = 0xFF3C3C3C;
constexpr int kEntryPitch = CStaticDataView::kEntryHeight + CStaticDataView::kEntrySpacing;
// Space between the entry area and the button row, so no entry touches a button.
constexpr int kButtonClearance = 5;

struct PanelButton {
  int id;
  const char* text;
  const char* graphic;
  const char* tooltip;
  int x;
  int fromBottom;
};

constexpr int kLowerRow = CStaticDataView::kButtonRowFromBottom;
constexpr int kUpperRow = CStaticDataView::kSecondRowFromBottom;

const PanelButton kButtons[] = {
    {CStaticDataView::kIdNewCamera, "New camera", "\\Graphics\\button_data_insert_camera.png", "New camera", 15, kLowerRow},
    {CStaticDataView::kIdCalibrate, "Calib", "\\Graphics\\button_calib.png", "Calibrate", 51, kLowerRow},
    {CStaticDataView::kIdCalibrateStereo, "Calib Stereo", "\\Graphics\\button_calib2.png", "Calibrate stereo rig", 85, kLowerRow},
    {CStaticDataView::kIdRemoveCamera, "Remove camera", "\\Graphics\\button_bin.png", "Remove camera", 119, kLowerRow},
    {CStaticDataView::kIdDetectAll, "Detect all", "\\Graphics\\button_detect_all.png", "Detect all", 153, kLowerRow},
    {CStaticDataView::kIdResiduals, "Residuals", "\\Graphics\\button_residuals.png", "Residuals of the last run", 15, kUpperRow},
    {CStaticDataView::kIdExport, "Export...", "\\Graphics\\button_export.png", "Export...", 51, kUpperRow},
    {CStaticDataView::kIdLoadParameters, "Load parameters...", "\\Graphics\\button_load_parameters.png",
     "Load parameters... (L)", 85, kUpperRow},
    {CStaticDataView::kIdGrid, "Grid...", "\\Graphics\\button_grid.png", "Grid...", 119, kUpperRow},
};

QString CameraTitle(int camera) { return QString("Camera %1").arg(camera + 1); }

}  // namespace

// ---- Entry panel ----

CCameraEntryPanel::CCameraEntryPanel(QWidget* parent, int id) : QWidget(parent), id_(id) {
  titleFont_ = QFont("Verdana");
  titleFont_.setBold(true);
  titleFont_.setPointSize(8);
  textFont_ = QFont("Verdana");
  textFont_.setPointSize(7);
}

void CCameraEntryPanel::SetTexts(const QString& title, const QString& information) {
  if (title == title_ && information == information_) return;
  title_ = title;
  information_ = information;
  update();
}

void CCameraEntryPanel::SetTitleColour(uint32_t argb) {
  titleColour_ = argb;
  update();
}

namespace {

QRect TextArea(int width, int height) {
  return QRect(4, CCameraEntryPanel::kTitleHeight + 1, width - 6, height - CCameraEntryPanel::kTitleHeight - 2);
}

// A text's lines at `width`: wrapped between words, a word too long for a line
// broken where it must.
QStringList WrapWords(const QString& text, const QFont& font, qreal width) {
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  QTextLayout layout(text, font);
  layout.setTextOption(option);
  QStringList lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    lines << text.mid(line.textStart(), line.textLength());
  }
  layout.endLayout();
  return lines;
}

// A paragraph of "a, b, ..." takes as many whole parts a line as fit, so it
// wraps after a comma; other paragraphs wrap between words.
QStringList WrapParagraph(const QString& paragraph, const QFont& font, qreal width) {
  if (!paragraph.contains(", ")) return WrapWords(paragraph, font, width);
  const QFontMetricsF metrics(font);
  const QStringList parts = paragraph.split(", ");
  QStringList lines;
  QString line;
  for (int i = 0; i < parts.size(); ++i) {
    const QString part = parts[i] + (i + 1 < parts.size() ? ", " : "");
    if (!line.isEmpty() && metrics.horizontalAdvance((line + part).trimmed()) > width) {
      lines << line;
      line.clear();
    }
    line += part;
  }
  lines << line;
  QStringList wrapped;  // a part wider than the line still wraps
  for (const QString& whole : lines) wrapped << WrapWords(whole, font, width);
  return wrapped;
}

}  // namespace

int CCameraEntryPanel::TextHeight(int width) const {
  const int lines = static_cast<int>(DrawnLines(width).size());
  return TextArea(width, 10000).top() + lines * QFontMetrics(textFont_).lineSpacing() + 3;
}

int CCameraEntryPanel::HeightForText(int width) const { return TextHeight(width) + GuidanceHeight(width); }

void CCameraEntryPanel::SetGuidance(std::optional<EntryGuidance> guidance) {
  guidance_ = std::move(guidance);
  update();
}

namespace {

constexpr int kGuidanceGap = 4;
constexpr int kBarLabelWidth = 30;
constexpr int kBarValueWidth = 28;

}  // namespace

QStringList CCameraEntryPanel::VerdictLines(int width) const {
  if (!guidance_) return {};
  return WrapWords(guidance_->verdict, textFont_, TextArea(width, 10000).width());
}

int CCameraEntryPanel::GuidanceHeight(int width) const {
  if (!guidance_) return 0;
  const int lineSpacing = QFontMetrics(textFont_).lineSpacing();
  return kGuidanceGap + lineSpacing + EntryGuidance::kBars * kBarRowHeight +
         static_cast<int>(VerdictLines(width).size()) * lineSpacing + 3;
}

QRect CCameraEntryPanel::BarRect(int i) const {
  if (!guidance_ || i < 0 || i >= EntryGuidance::kBars) return QRect();
  const QRect area = TextArea(width(), height());
  const int top = TextHeight(width()) + kGuidanceGap + QFontMetrics(textFont_).lineSpacing() + i * kBarRowHeight;
  return QRect(area.left() + kBarLabelWidth, top + 2, area.width() - kBarLabelWidth - kBarValueWidth, kBarRowHeight - 4);
}

void CCameraEntryPanel::DrawGuidance(QPainter& painter, int top) const {
  const QRect area = TextArea(width(), height());
  const int lineSpacing = QFontMetrics(textFont_).lineSpacing();
  painter.setPen(QColor(0xE6, 0xE6, 0xE6));
  painter.drawText(QRect(area.left(), top + kGuidanceGap, area.width(), lineSpacing), Qt::AlignLeft | Qt::AlignTop,
                   guidance_->heading);
  for (int i = 0; i < EntryGuidance::kBars; ++i) {
    const QRect bar = BarRect(i);
    const double value = std::clamp(guidance_->bars[static_cast<size_t>(i)], 0.0, 1.0);
    painter.setPen(QColor(0xE6, 0xE6, 0xE6));
    painter.drawText(QRect(area.left(), bar.top() - 2, kBarLabelWidth, kBarRowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                     EntryGuidance::kLabels[static_cast<size_t>(i)]);
    painter.fillRect(bar, QColor(0x3C, 0x3C, 0x3C));
    const QColor fill = value >= 0.999 ? QColor(0x5C, 0xC8, 0x5C) : QColor(0xFF, 0xBF, 0x00);
    painter.fillRect(QRect(bar.left(), bar.top(), static_cast<int>(std::lround(bar.width() * value)), bar.height()), fill);
    painter.drawText(QRect(bar.right() + 2, bar.top() - 2, kBarValueWidth - 2, kBarRowHeight),
                     Qt::AlignRight | Qt::AlignVCenter, QString::number(value, 'f', 2));
  }
  painter.setPen(guidance_->enough ? QColor(0x7C, 0xE0, 0x7C) : QColor(0xFF, 0xBF, 0x00));
  QRect line(area.left(), BarRect(EntryGuidance::kBars - 1).bottom() + 4, area.width(), lineSpacing);
  for (const QString& text : VerdictLines(width())) {
    painter.drawText(line, Qt::AlignTop | Qt::AlignLeft | Qt::TextSingleLine, text);
    line.translate(0, lineSpacing);
  }
}

QStringList CCameraEntryPanel::DrawnLines(int width) const {
  const qreal lineWidth = TextArea(width, 10000).width();
  QStringList drawn;
  for (const QString& paragraph : information_.split('\n')) drawn << WrapParagraph(paragraph, textFont_, lineWidth);
  return drawn;
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
  const QRect area = TextArea(width(), height());
  painter.setClipRect(area);
  const int lineSpacing = QFontMetrics(textFont_).lineSpacing();
  QRect line(area.left(), area.top(), area.width(), lineSpacing);
  for (const QString& text : DrawnLines(width())) {
    painter.drawText(line, Qt::AlignTop | Qt::AlignLeft | Qt::TextSingleLine, text);
    line.translate(0, lineSpacing);
  }
  if (guidance_) DrawGuidance(painter, TextHeight(width()));
}

// ---- Panel ----

CStaticDataView::CStaticDataView(QWidget* parent, int id)
    : QWidget(parent), id_(id), runner_(new CCalibrationRunner(this)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

CStaticDataView::~CStaticDataView() = default;

void CStaticDataView::Init() {
  backBuffer_ = QImage(size(), QImage::Format_ARGB32);
  backBuffer_.fill(kPanelColour);
  if (!initialised_) {
    CreateEntryArea();
    CreateImageList();
    CreateButtons();
  }
  initialised_ = true;
  PlaceChildren();
  Refresh();
}

void CStaticDataView::CreateEntryArea() {
  // Entries are children of this area, which clips them above the buttons.
  entryArea_ = new QWidget(this);
  scrollBar_ = new CScrollBarEx(this);
  scrollBar_->SetLineStep(kEntryPitch / 3);
  connect(scrollBar_, &CScrollBarEx::offsetChanged, this, [this] { LayoutEntries(); });
}

void CStaticDataView::CreateImageList() {
  imageList_ = new CImageListControl(this, kImageListId);
  imageList_->setWindowTitle("Video Player");
  imageList_->setGeometry(ImageListRect());
  imageList_->SetApplicationFolder(applicationFolder_);
  imageList_->SetImageFilePrompt([this] { return AskImageFiles(); });
  imageList_->SetCommandGuard([this](const std::function<void()>& command) { Guarded(command); });
  imageList_->SetRemoveCommand([this] { RemoveSelectedView(); });
  imageList_->SetMessage([this](const QString& text) { ShowMessage(text); });
  imageList_->SetViewsArrived([this](const std::vector<int>& before) {
    if (detector_) detector_->DetectArrivals(before);
  });
  imageList_->Init();
  imageList_->setVisible(false);  // only a selected camera's views show
}

void CStaticDataView::CreateButtons() {
  for (size_t i = 0; i < buttons_.size(); ++i) {
    const PanelButton& entry = kButtons[i];
    ImageButtonSpec spec;
    spec.text = entry.text;
    spec.id = entry.id;
    spec.position = QPoint(entry.x, height() - entry.fromBottom);
    spec.regionSize = QSize(kButtonSize, kButtonSize);
    spec.graphicsPath = entry.graphic;
    spec.tooltip = entry.tooltip;
    spec.solidBackground = true;
    spec.solidColour = kButtonWindowColour;
    buttons_[i] = CreateImageButton(this, applicationFolder_, spec);
  }
  const auto wire = [this](int i, void (CStaticDataView::*command)()) {
    connect(buttons_[i], &QPushButton::clicked, this, [this, command] { Guarded([this, command] { (this->*command)(); }); });
  };
  wire(0, &CStaticDataView::NewCamera);
  wire(1, &CStaticDataView::Calibrate);
  wire(2, &CStaticDataView::CalibrateStereoRig);
  wire(3, &CStaticDataView::RemoveSelectedCamera);
  wire(4, &CStaticDataView::DetectAll);
  wire(5, &CStaticDataView::ShowResiduals);
  wire(6, &CStaticDataView::Export);
  wire(7, &CStaticDataView::LoadParameters);
  wire(8, &CStaticDataView::EditGrid);
}

void CStaticDataView::PlaceChildren() {
  entryArea_->setGeometry(EntryArea());
  const QRect area = EntryArea();
  scrollBar_->setGeometry(kEntryLeft + kEntryWidth + 2, area.top() + kEntryTop, CScrollBarEx::kWidth,
                          std::max(0, area.height() - kEntryTop));
  imageList_->setGeometry(ImageListRect());
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i]) buttons_[i]->move(kButtons[i].x, height() - kButtons[i].fromBottom);
}

CHoverButtonEx* CStaticDataView::Button(int id) const {
  for (CHoverButtonEx* button : buttons_)
    if (button && button->Id() == id) return button;
  return nullptr;
}

void CStaticDataView::SetStore(CCalibrationData* store) {
  store_ = store;
  selectedEntry_ = -1;
  DropRig();
  if (initialised_) Refresh();
}

// ---- Geometry ----

int CStaticDataView::CameraCount() const { return store_ ? store_->GetCameraCount() : 0; }

int CStaticDataView::EntryCount() const { return CameraCount() + (HasRigEntry() ? 1 : 0); }

int CStaticDataView::SelectedCamera() const {
  return selectedEntry_ >= 0 && selectedEntry_ < CameraCount() ? selectedEntry_ : -1;
}

QRect CStaticDataView::EntryArea() const {
  return QRect(0, 0, kSeparatorX, std::max(0, height() - kSecondRowFromBottom - kButtonClearance));
}

QRect CStaticDataView::ImageListRect() const {
  return QRect(QPoint(kListLeft, kListTop), QPoint(width() - 10, height() - 10));
}

int CStaticDataView::ContentHeight() const {
  return kEntryTop + EntryCount() * kEntryPitch + (selectedEntry_ >= 0 ? SelectedExpansion() : 0);
}

int CStaticDataView::SelectedExpansion() const {
  if (selectedEntry_ < 0 || selectedEntry_ >= static_cast<int>(entries_.size())) return kEntryExpansion;
  return std::max(kEntryExpansion, entries_[selectedEntry_]->HeightForText(kEntryWidth) - kEntryHeight);
}

QRect CStaticDataView::EntryRect(int entry) const {
  if (entry < 0 || entry >= EntryCount()) return QRect();
  const int offset = scrollBar_ ? scrollBar_->Offset() : 0;
  const bool afterSelected = selectedEntry_ >= 0 && entry > selectedEntry_;
  const int top = kEntryTop + entry * kEntryPitch + (afterSelected ? SelectedExpansion() : 0) - offset;
  const int height = kEntryHeight + (entry == selectedEntry_ ? SelectedExpansion() : 0);
  return QRect(kEntryLeft, top, kEntryWidth, height);
}

QString CStaticDataView::EntryTitle(int entry) const {
  return entry >= 0 && entry < static_cast<int>(entries_.size()) ? entries_[entry]->Title() : QString();
}

QString CStaticDataView::EntryText(int entry) const {
  return entry >= 0 && entry < static_cast<int>(entries_.size()) ? entries_[entry]->Information() : QString();
}

void CStaticDataView::LayoutEntries() {
  if (!scrollBar_) return;
  scrollBar_->SetRange(ContentHeight(), EntryArea().height());
  for (int e = 0; e < static_cast<int>(entries_.size()); ++e) entries_[e]->setGeometry(EntryRect(e));
  Redraw();
}

void CStaticDataView::ScrollToEntry(int entry) {
  const QRect r = EntryRect(entry);
  if (r.isNull()) return;
  const int bottomLimit = EntryArea().bottom();
  if (r.top() < kEntryTop) scrollBar_->SetOffset(scrollBar_->Offset() - (kEntryTop - r.top()));
  else if (r.bottom() > bottomLimit) scrollBar_->SetOffset(scrollBar_->Offset() + (r.bottom() - bottomLimit));
}

// ---- Entries from the store ----

QString CStaticDataView::CameraText(int camera) const {
  return QString::fromStdString(CameraSummaryText(*store_, camera));
}

void CStaticDataView::UpdateGuidance() {
  const int selected = SelectedCamera();
  for (int camera = 0; camera < std::min(CameraCount(), static_cast<int>(entries_.size())); ++camera) {
    if (camera != selected) {
      entries_[camera]->SetGuidance(std::nullopt);
      continue;
    }
    const CameraGuidance guidance = GuidanceOf(*store_, camera, GuidanceThresholds());
    // A camera without a view to judge keeps its entry as it was.
    if (guidance.usableViews == 0 && !guidance.hasRun) {
      entries_[camera]->SetGuidance(std::nullopt);
      continue;
    }
    EntryGuidance shown;
    shown.heading = QString("Coverage of %1 view%2").arg(guidance.usableViews).arg(guidance.usableViews == 1 ? QString() : QString("s"));
    const CoverageSummary& c = guidance.coverage;
    if (c.valid) shown.bars = {c.share, c.x, c.y, c.size, c.skew};
    shown.verdict = QString::fromStdString(guidance.verdict.text);
    if (guidance.hasRun && guidance.runViews != guidance.usableViews)
      shown.verdict += QString(" (last run: %1 views)").arg(guidance.runViews);
    shown.enough = guidance.verdict.enough;
    entries_[camera]->SetGuidance(std::move(shown));
  }
}

void CStaticDataView::Refresh() {
  if (!initialised_) return;
  if (CameraCount() < 2) DropRig();
  const int count = EntryCount();
  while (static_cast<int>(entries_.size()) < count) {
    auto* entry = new CCameraEntryPanel(entryArea_, kEntryIdBase + static_cast<int>(entries_.size()));
    entry->setWindowTitle("Source Panel");
    entry->SetTitleColour(kEntryTitleColour);
    entry->show();
    entries_.push_back(entry);
  }
  while (static_cast<int>(entries_.size()) > count) {
    delete entries_.back();
    entries_.pop_back();
  }
  if (selectedEntry_ >= count) selectedEntry_ = -1;
  for (int camera = 0; camera < CameraCount(); ++camera) entries_[camera]->SetTexts(CameraTitle(camera), CameraText(camera));
  if (HasRigEntry()) {
    entries_.back()->SetTexts("Stereo Rig", rigText_);
    entries_.back()->SetGuidance(std::nullopt);
  }
  UpdateGuidance();
  LayoutEntries();
  BindSelectedList();
}

void CStaticDataView::ViewsChanged() {
  if (!initialised_) return;
  for (int camera = 0; camera < std::min(CameraCount(), static_cast<int>(entries_.size())); ++camera)
    entries_[camera]->SetTexts(CameraTitle(camera), CameraText(camera));
  UpdateGuidance();
  LayoutEntries();
  imageList_->Redraw();
}

void CStaticDataView::BindSelectedList() {
  const int camera = SelectedCamera();
  if (camera != imageList_->Camera() || imageList_->Store() != store_) imageList_->Bind(store_, camera);
  else imageList_->Redraw();
  imageList_->setVisible(camera >= 0);
}

void CStaticDataView::DropRig() {
  rigText_.clear();
  rig_.reset();
}

// The selection follows its camera (or the rig's entry) across a change of
// the camera list; `change` makes the change in the store.
GridDescription CStaticDataView::GridForNewCamera() const {
  const int selected = SelectedCamera();
  return selected >= 0 ? store_->GetGrid(selected) : GridDescription{};
}

void CStaticDataView::AppendCamera() {
  if (!store_) return;
  const bool rigSelected = HasRigEntry() && selectedEntry_ == CameraCount();
  const GridDescription grid = GridForNewCamera();
  store_->AddCamera();
  store_->SetGrid(CameraCount() - 1, grid);
  if (rigSelected) selectedEntry_ = CameraCount();
  Refresh();
}

void CStaticDataView::InsertCamera(int position) {
  if (!store_ || position < 0 || position > CameraCount()) return;
  const bool rigSelected = HasRigEntry() && selectedEntry_ == CameraCount();
  const GridDescription grid = GridForNewCamera();
  if (position == CameraCount()) store_->AddCamera();
  else store_->InsertCamera(position);
  if (tools_.cameraNumbersChanged) tools_.cameraNumbersChanged(position, +1);
  store_->SetGrid(position, grid);
  if (position <= 1) DropRig();  // the rig's cameras are no longer cameras 0 and 1
  if (rigSelected) selectedEntry_ = HasRigEntry() ? CameraCount() : -1;
  else if (selectedEntry_ >= position) ++selectedEntry_;
  Refresh();
}

void CStaticDataView::RemoveCamera(int position) {
  if (!store_ || position < 0 || position >= CameraCount()) return;
  const bool rigSelected = HasRigEntry() && selectedEntry_ == CameraCount();
  store_->RemoveCamera(position);
  if (tools_.cameraNumbersChanged) tools_.cameraNumbersChanged(position, -1);
  if (position <= 1) DropRig();
  if (rigSelected) selectedEntry_ = HasRigEntry() ? CameraCount() : -1;
  else if (selectedEntry_ == position) selectedEntry_ = -1;
  else if (selectedEntry_ > position) --selectedEntry_;
  Refresh();
}

void CStaticDataView::ClearCameras() {
  if (!store_) return;
  while (CameraCount() > 0) {
    store_->RemoveCamera(CameraCount() - 1);
    if (tools_.cameraNumbersChanged) tools_.cameraNumbersChanged(CameraCount(), -1);
  }
  DropRig();
  selectedEntry_ = -1;
  if (listener_.cleared) listener_.cleared();
  Refresh();
}

// ---- Input ----

void CStaticDataView::Select(int entry) {
  if (entry == selectedEntry_) return;
  selectedEntry_ = entry;
  UpdateGuidance();
  LayoutEntries();
  if (entry >= 0) ScrollToEntry(entry);
  BindSelectedList();
  AnnounceSelection();
}

void CStaticDataView::AnnounceSelection() {
  if (tools_.selectionChanged && SelectedCamera() >= 0) tools_.selectionChanged(SelectedCamera(), imageList_->SelectedView());
}

void CStaticDataView::Click(int x, int y) {
  if (x >= kListLeft) {
    if (SelectedCamera() < 0) return;
    const int before = imageList_->SelectedView();
    imageList_->Click(x - kListLeft, y - kListTop);
    if (imageList_->SelectedView() != before) AnnounceSelection();
    return;
  }
  if (!EntryArea().contains(x, y)) return;
  int hit = -1;
  for (int e = 0; e < EntryCount() && hit < 0; ++e)
    if (EntryRect(e).contains(x, y)) hit = e;
  Select(hit);
}

void CStaticDataView::SelectEntry(int entry) {
  if (entry < 0 || entry >= EntryCount()) return;
  Select(entry);
}

void CStaticDataView::DoubleClick(int x, int y) {
  if (x < kListLeft || SelectedCamera() < 0) return;
  const int view = imageList_->ViewAt(x - kListLeft, y - kListTop);
  if (view < 0) return;
  imageList_->SelectView(view);
  OpenEditorAt(view);
}

void CStaticDataView::OpenEditorAt(int view) {
  if (tools_.openEditor) tools_.openEditor(SelectedCamera(), view);
}

void CStaticDataView::KeyPressed(int key) {
  if (key == Qt::Key_L) Guarded([this] { LoadParameters(); });
}

void CStaticDataView::Wheel(int x, int angleDelta) {
  if (x >= kListLeft) imageList_->Wheel(angleDelta);
  else scrollBar_->Wheel(angleDelta);
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

void CStaticDataView::wheelEvent(QWheelEvent* event) {
  Wheel(static_cast<int>(event->position().x()), event->angleDelta().y());
  event->accept();
}

// ---- Commands ----

void CStaticDataView::Guarded(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& error) {
    ShowMessage(QString("The command could not be completed:\n%1").arg(error.what()));
    Refresh();
  }
}

void CStaticDataView::NewCamera() { AppendCamera(); }

void CStaticDataView::Calibrate() {
  const int camera = SelectedCamera();
  if (!store_ || camera < 0) {
    ShowMessage("Please select a camera to calibrate.");
    return;
  }
  if (const std::string refusal = TooFewViewsToCalibrate(*store_, camera); !refusal.empty()) {
    ShowMessage(QString::fromStdString(refusal));
    return;
  }
  if (IsCalibrating()) return;
  // Disabled, imageless and incompletely marked views take no part; too few others refuse the run.
  runner_->Start(CalibrationJob::ForCamera(*store_, camera), store_,
                 QString("Calibrating %1").arg(CameraTitle(camera)),
                 [this, camera](const CalibrationJob& job) { FinishCameraRun(camera, job.CameraResult()); });
}

void CStaticDataView::FinishCameraRun(int camera, const CameraCalibrationResult& run) {
  if (run.cancelled) return;
  if (!run.ok) {
    ShowMessage(QString::fromStdString(run.message));
    return;
  }
  Refresh();
  if (tools_.showCalibration) tools_.showCalibration(camera);
}

void CStaticDataView::CalibrateStereoRig() {
  if (!store_ || IsCalibrating()) return;
  runner_->Start(CalibrationJob::ForStereoRig(*store_), store_, "Calibrating the stereo rig",
                 [this](const CalibrationJob& job) { FinishRigRun(job.RigResult()); });
}

bool CStaticDataView::IsCalibrating() const { return runner_->IsRunning(); }


bool CStaticDataView::WaitForCalibration(int timeoutMs) { return runner_->Wait(timeoutMs); }

void CStaticDataView::FinishRigRun(const StereoRigResult& rig) {
  if (rig.cancelled) return;
  if (!rig.ok) {
    ShowMessage(QString("The stereo rig could not be calibrated: %1").arg(QString::fromStdString(rig.message)));
    Refresh();  // a camera that did calibrate shows its results
    return;
  }
  rigText_ = QString("Stereo Rig between cameras 1 and 2\n") + QString::fromStdString(StereoRigText(rig));
  rig_ = std::make_unique<StereoRigResult>(rig);
  Refresh();
}

void CStaticDataView::RemoveSelectedCamera() {
  if (!store_ || selectedEntry_ < 0) {
    ShowMessage("Please select a camera to remove.");
    return;
  }
  if (selectedEntry_ >= CameraCount()) {
    if (!Confirm("Remove the stereo rig's results?")) return;
    DropRig();
    selectedEntry_ = -1;
    Refresh();
    return;
  }
  const int camera = selectedEntry_;
  const int views = store_->GetViewCount(camera);
  if (!Confirm(QString("Remove %1 and its %2 view(s)?").arg(CameraTitle(camera)).arg(views))) return;
  RemoveCamera(camera);
  if (listener_.removed) listener_.removed(camera);
}

void CStaticDataView::RemoveSelectedView() {
  const int camera = SelectedCamera();
  const int view = imageList_->SelectedView();
  if (!store_ || camera < 0 || view < 0 || view >= store_->GetViewCount(camera)) {
    ShowMessage("Please select a view to remove.");
    return;
  }
  // Cameras 0 and 1 pair their views by index for the stereo rig; removing
  // one view of a pair alone would pair every later view with the wrong one.
  const int other = 1 - camera;
  const bool paired = camera <= 1 && CameraCount() >= 2 && view < store_->GetViewCount(other) &&
                      (HasRigEntry() || store_->GetViewCount(0) == store_->GetViewCount(1));
  if (!paired) {
    if (Confirm(QString("Remove view %1 of %2?").arg(view + 1).arg(CameraTitle(camera)))) RemoveViews(camera, view, false);
    return;
  }
  const QString text = QString("Remove view %1 of %2?\nIt is paired with view %1 of %3 for the stereo rig. "
                               "Remove that view too, so the pairs stay aligned?")
                           .arg(view + 1)
                           .arg(CameraTitle(camera), CameraTitle(other));
  const QMessageBox::StandardButton answer =
      prompts_.question ? prompts_.question(text, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)
                        : QMessageBox::question(this, "Lentora", text, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  if (answer == QMessageBox::Yes) RemoveViews(camera, view, true);
  else if (answer == QMessageBox::No) RemoveViews(camera, view, false);
}

void CStaticDataView::RemoveViews(int camera, int view, bool withPair) {
  store_->RemoveView(camera, view);
  if (withPair) store_->RemoveView(1 - camera, view);
  if (tools_.runChanged) {
    tools_.runChanged(camera);
    if (withPair) tools_.runChanged(1 - camera);
  }
  if (camera <= 1) DropRig();  // its pairs have changed
  Refresh();
  imageList_->SelectView(std::min(view, store_->GetViewCount(camera) - 1));
}

void CStaticDataView::LoadParameters() {
  const QString path = AskParameterFile();
  if (path.isEmpty()) return;
  LoadParametersFrom(path);
}

void CStaticDataView::LoadParametersFrom(const QString& path) {
  const int camera = SelectedCamera();
  if (!store_ || camera < 0) {
    ShowMessage("Please select a camera before trying to load parameters!!!");
    return;
  }
  const ImportResult imported = ImportParameters(*store_, camera, path.toStdString());
  if (!imported.ok)
    ShowMessage(QString("The parameter file could not be read:\n%1\n%2").arg(path, QString::fromStdString(imported.message)));
  Refresh();
}

// ---- Residuals and export ----

void CStaticDataView::ShowResiduals() {
  const int camera = SelectedCamera();
  if (!store_ || camera < 0) {
    ShowMessage("Please select a camera to see the residuals of its calibration.");
    return;
  }
  if (!HasCalibrationRun(*store_, camera)) {
    ShowMessage(QString("%1 has no calibration run to show. Please calibrate it first.").arg(CameraTitle(camera)));
    return;
  }
  RunResiduals residuals = LastRunResiduals(*store_, camera);
  if (!residualWindow_) {
    residualWindow_ = new CResidualWindow(this);
    residualWindow_->setWindowFlag(Qt::Window);
  }
  residualWindow_->SetResiduals(CameraTitle(camera), std::move(residuals.corners), std::move(residuals.views),
                                residuals.imageWidth, residuals.imageHeight);
  CameraGuidance guidance = GuidanceOf(*store_, camera, GuidanceThresholds());
  residualWindow_->SetUncertainty(std::move(guidance.uncertainty),
                                  LengthUnitName(store_->GetGrid(camera).unit),
                                  QString::fromStdString(guidance.verdict.text));
  residualWindow_->show();
  residualWindow_->raise();
}

void CStaticDataView::Export() {
  if (!store_ || selectedEntry_ < 0) {
    ShowMessage("Please select a camera or the stereo rig to export.");
    return;
  }
  const bool rig = HasRigEntry() && selectedEntry_ == CameraCount() && rig_;
  const int camera = SelectedCamera();
  if (!rig && !HasCalibrationRun(*store_, camera) && !(store_->GetCameraParameters(camera).K[0] > 0.0)) {
    ShowMessage(QString("Please calibrate %1 or load its parameters before exporting it.").arg(CameraTitle(camera)));
    return;
  }
  const auto target = AskExportTarget(rig ? QString("Export the stereo rig") : QString("Export %1").arg(CameraTitle(camera)));
  if (!target) return;
  const std::string path = target->second.toStdString();
  const ExchangeResult result = rig ? ExportRig(ExportedRigOf(*rig_), target->first, path)
                                    : ExportCamera(ExportedCameraToWrite(camera), target->first, path);
  if (!result.ok) {
    ShowMessage(QString("The calibration could not be exported:\n%1").arg(QString::fromStdString(result.message)));
    return;
  }
  QStringList files;
  for (const std::string& file : result.files) files << QString::fromStdString(file);
  ShowMessage(QString("Exported to:\n%1").arg(files.join('\n')));
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
  const int camera = SelectedCamera();
  if (!detector_ || !store_) return;
  if (camera < 0) {
    ShowMessage(selectedEntry_ >= 0 ? "The stereo rig's entry holds no views of its own. Please select a camera to "
                                      "detect the grid in its views."
                                    : "Please select a camera to detect the grid in its views.");
    return;
  }
  if (detector_->BatchRunning()) {
    ShowMessage("The grid is being detected already; wait for that search to end or cancel it first.");
    return;
  }
  if (!detector_->CanDetect(camera)) {
    ShowMessage("Please set the camera's calibration grid (\"Grid...\") before detecting it.");
    return;
  }
  const int views = store_->GetViewCount(camera);
  if (views == 0) {
    ShowMessage(QString("%1 has no views to detect the grid in. Add images or capture frames first.").arg(CameraTitle(camera)));
    return;
  }
  if (!detector_->DetectAll(camera)) return;
  progress_ = OpenProgressWindow(this, "Grid Detection",
                                 QString("Detecting the grid in the views of camera %1...").arg(camera + 1), views, 0);
  progress_->setWindowModality(Qt::NonModal);
  connect(detector_, &CGridDetector::sizeSearchStarted, progress_, [this, camera] {
    const GridDescription grid = store_->GetGrid(camera);
    progress_->setLabelText(QString("No %1 x %2 grid in any view of camera %3; looking for a board of another size...")
                                .arg(grid.nx)
                                .arg(grid.ny)
                                .arg(camera + 1));
  });
  connect(progress_, &QProgressDialog::canceled, detector_, &CGridDetector::CancelBatch);
  progress_->show();
}

void CStaticDataView::DetectionFinished(const DetectionSummary& summary) {
  CloseProgressWindow(progress_);
  if (!summary.hint || summary.cancelled) {
    ShowMessage(DetectionSummaryText(summary));
    return;
  }
  const GridDescription board = summary.hint->grid;
  if (!Offer(DetectionSummaryText(summary), QString("Use %1 x %2").arg(board.nx).arg(board.ny))) return;
  // The hint holds only while the camera still has the grid it was found for.
  const int camera = summary.camera;
  if (camera >= CameraCount() || store_->GetGrid(camera).nx != summary.grid.nx ||
      store_->GetGrid(camera).ny != summary.grid.ny)
    return;
  store_->SetGrid(camera, board);
  Refresh();
  if (SelectedCamera() == camera) DetectAll();
}

// ---- Grid ----

void CStaticDataView::EditGrid() {
  const int camera = SelectedCamera();
  if (!store_ || camera < 0) {
    ShowMessage("Please select a camera to set its calibration grid.");
    return;
  }
  std::optional<GridDescription> edited;
  if (askGrid_) {
    edited = askGrid_(store_->GetGrid(camera));
  } else {
    CObjectProperties dialog(this);
    dialog.SetGrid(store_->GetGrid(camera));
    dialog.SetSettings(store_->GetCalibrationSettings(camera));
    if (dialog.exec() != QDialog::Accepted) return;
    edited = dialog.Grid();
    store_->SetCalibrationSettings(camera, dialog.Settings());
  }
  if (!edited) return;
  store_->SetGrid(camera, *edited);
  const QString stale = StaleViewsQuestion(*store_, camera);
  if (!stale.isEmpty() && Confirm(stale))
    for (int view : store_->StaleViews(camera)) store_->ClearViewPoints(camera, view);
  Refresh();
}

// ---- Prompts ----

void CStaticDataView::ShowMessage(const QString& text) {
  if (prompts_.message) return prompts_.message(text);
  QMessageBox::information(this, "Lentora", text);
}

bool CStaticDataView::Offer(const QString& text, const QString& action) {
  if (prompts_.offer) return prompts_.offer(text, action);
  QMessageBox box(QMessageBox::Question, "Grid Detection", text, QMessageBox::Close, this);
  QPushButton* act = box.addButton(action, QMessageBox::AcceptRole);
  box.setDefaultButton(act);
  box.exec();
  return box.clickedButton() == act;
}

bool CStaticDataView::Confirm(const QString& text) {
  const QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
  const QMessageBox::StandardButton answer =
      prompts_.question ? prompts_.question(text, buttons) : QMessageBox::question(this, "Lentora", text, buttons);
  return answer == QMessageBox::Yes;
}

QString CStaticDataView::AskParameterFile() {
  if (prompts_.parameterFile) return prompts_.parameterFile();
  return QFileDialog::getOpenFileName(this, "Load camera parameters");
}

namespace {

// The formats in the order of the dialog's file type list.
struct ExportChoice {
  ExchangeFormat format;
  const char* filter;
  const char* suffix;
};
const ExportChoice kExportChoices[] = {
    {ExchangeFormat::OpenCv, "OpenCV YAML (*.yaml *.yml)", "yaml"},
    {ExchangeFormat::Ros, "ROS camera_info YAML (*.yaml *.yml)", "yaml"},
    {ExchangeFormat::Colmap, "COLMAP cameras.txt (*.txt)", "txt"},
    {ExchangeFormat::Kalibr, "Kalibr camchain YAML (*.yaml *.yml)", "yaml"},
};

}  // namespace

// The stored parameters, with the last run's errors only when they are that
// run's result (parameters loaded since carry no errors of their own).
ExportedCamera CStaticDataView::ExportedCameraToWrite(int camera) const {
  ExportedCamera exported = ExportedCameraOf(*store_, camera);
  if (!RunResultsAreCurrent(*store_, camera)) {
    exported.perViewErrors.clear();
    exported.averageError = 0.0;
  }
  return exported;
}

// One save dialog asks for both: the file type list is the format.
std::optional<std::pair<ExchangeFormat, QString>> CStaticDataView::AskExportTarget(const QString& title) {
  if (askExportTarget_) return askExportTarget_(title);
  QFileDialog dialog(this, title);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  QStringList filters;
  for (const ExportChoice& choice : kExportChoices) filters << choice.filter;
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(kExportChoices[0].suffix);
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, filters](const QString& filter) {
    const qsizetype index = filters.indexOf(filter);
    if (index >= 0) dialog.setDefaultSuffix(kExportChoices[index].suffix);
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const qsizetype index = std::max<qsizetype>(0, filters.indexOf(dialog.selectedNameFilter()));
  return std::make_pair(kExportChoices[index].format, dialog.selectedFiles().front());
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
  if (selectedEntry_ >= 0 && selectedEntry_ < EntryCount()) {
    const QRect r = EntryRect(selectedEntry_);
    painter.setClipRect(EntryArea());
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
  PlaceChildren();
  LayoutEntries();
}
