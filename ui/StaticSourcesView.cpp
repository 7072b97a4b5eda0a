#include "ui/StaticSourcesView.h"

#include <QMessageBox>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <algorithm>

#include "core/CalibrationData.h"
#include "sources/media/DShow.h"
#include "widgets/HoverButtonEx.h"
#include "ui/RemoveSourceOptionsDlg.h"
#include "ui/SourceControl.h"
#include "ui/SourceDetailsPanel.h"
#include "ui/SourceSetupDlg.h"
#include "ui/VideoPlayerControl.h"

namespace {
constexpr int kSeparatorX = 215;
constexpr int kPanelLeft = 10;
constexpr int kPanelWidth = 190;
constexpr int kPanelHeight = 30;
constexpr int kPanelSpacing = 5;
constexpr int kFirstPanelTop = 10;
constexpr int kFormatWaitMs = 1000;
constexpr uint32_t kPanelTitleColour = 0xFF3C3C3C;

// A source's cameras are the entries of its record that feed one.
int SubViewCountOf(const SourceSettings& settings) { return std::max(1, CountSubViews(settings)); }
}  // namespace

CStaticSourcesView::CStaticSourcesView(QWidget* parent, int id) : QWidget(parent), id_(id) {
  font_ = QFont("Verdana", 8, QFont::Bold);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setupDialog_ = new CSourceSetupDlg(this);
}

CStaticSourcesView::~CStaticSourcesView() {
  // Controls own media graphs; release them before the rest of the panel.
  for (CSourceControl* control : controls_) delete control;
  controls_.clear();
}

void CStaticSourcesView::Layout() {
  image_ = QImage(std::max(1, width()), std::max(1, height()), QImage::Format_ARGB32);
  Redraw();
  const int y = height() - kButtonRowFromBottom;
  auto makeButton = [this, y](int id, int x, const char* image, const char* tooltip) {
    ImageButtonSpec spec;
    spec.id = id;
    spec.text = tooltip;
    spec.position = QPoint(x, y);
    spec.regionSize = QSize(kButtonSize, kButtonSize);
    spec.graphicsPath = image;
    spec.tooltip = tooltip;
    spec.solidBackground = true;
    spec.solidColour = 0x4B4B4B;
    return CreateImageButton(this, applicationFolder_, spec);
  };
  setupButton_ = makeButton(kIdSetupSource, kLeftMargin, "\\Graphics\\button_source_setup.png", "Setup source");
  removeButton_ = makeButton(kIdRemoveSource, kLeftMargin + kButtonSize + kButtonGap, "\\Graphics\\button_bin.png",
                             "Remove source");
  connect(setupButton_, &QPushButton::clicked, this, &CStaticSourcesView::SetupSource);
  connect(removeButton_, &QPushButton::clicked, this, &CStaticSourcesView::RemoveSource);
}

CHoverButtonEx* CStaticSourcesView::Button(int id) const {
  if (id == kIdSetupSource) return setupButton_;
  if (id == kIdRemoveSource) return removeButton_;
  return nullptr;
}

void CStaticSourcesView::Redraw() {
  if (image_.isNull()) return;
  image_.fill(QColor::fromRgba(kBackground));
  QPainter painter(&image_);
  painter.setPen(QPen(QColor::fromRgba(kSeparator), 1));
  painter.drawLine(kSeparatorX, 10, kSeparatorX, height() - 10);
  if (selected_ >= 0) {
    painter.setPen(QPen(QColor::fromRgba(kSelectionColour), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(panelRects_[selected_].adjusted(-1, -1, 0, 0));
  }
}

// The selected control paints itself as a child; asking it to repaint from
// here would make every repaint of it repaint the panel below it again, a
// loop that keeps a core busy while nothing changes.
void CStaticSourcesView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!image_.isNull()) painter.drawImage(0, 0, image_);
}

// ---- Adding ----------------------------------------------------------------

int CStaticSourcesView::NextCameraNumber() const {
  // The main window appends the new source's camera at the end of the store.
  if (store_) return store_->GetCameraCount();
  int cameras = 0;
  for (const CSourceControl* control : controls_) cameras += SubViewCountOf(control->GetSettings());
  return cameras;
}

CVideoPlayerControl* CStaticSourcesView::AddVideoSource(const std::string& path, const std::string& title,
                                                        const std::string&) {
  const int n = SourceCount();
  auto* control = new CVideoPlayerControl(this, kControlIdBase + n);
  control->setWindowTitle(QString::fromStdString(title));
  control->setGeometry(QRect(QPoint(kControlLeft, 10), QPoint(width() - 10 - 1, height() - 10 - 1)));
  control->SetApplicationFolder(applicationFolder_);
  control->Layout();
  if (!control->Open(path)) {
    // Not a source: no entry, no camera, and the user learns why.
    delete control;
    ShowSourceMessage(this, QString("%1 could not be opened as a video: no decodable video stream was found.")
                                .arg(QString::fromStdString(path)));
    return nullptr;
  }
  control->show();
  control->SetFirstCamera(NextCameraNumber());
  control->SetStore(store_);
  control->SetDataPanelRefresh([this] {
    if (dataPanel_.refresh) dataPanel_.refresh();
  });
  control->SetViewsArrived([this](const std::vector<int>& before) {
    if (dataPanel_.viewsArrived) dataPanel_.viewsArrived(before);
  });
  control->hide();
  AppendSource(control, kVideoFileSource, QString::fromStdString(title));
  return control;
}

CSourceControl* CStaticSourcesView::AddLiveSource(int device, const std::string& name) {
  if (!liveFactory_) return nullptr;
  CSourceControl* control = liveFactory_(this, kControlIdBase + SourceCount(), device);
  if (!control) return nullptr;
  control->setWindowTitle("Camera");
  control->hide();
  control->SetFirstCamera(NextCameraNumber());
  control->SetStore(store_);
  control->SetDataPanelRefresh([this] {
    if (dataPanel_.refresh) dataPanel_.refresh();
  });
  control->SetViewsArrived([this](const std::vector<int>& before) {
    if (dataPanel_.viewsArrived) dataPanel_.viewsArrived(before);
  });
  AppendSource(control, kLiveCameraSource, name.empty() ? QString("Camera") : QString::fromStdString(name));
  // Not selected yet: its preview stops once the device has told its format.
  control->IdleIfHidden();
  // A device tells its format with its first frame, often after this.
  QPointer<CSourceDetailsPanel> panel = panels_.back();
  QTimer::singleShot(kFormatWaitMs, control, [control, panel] {
    if (panel && panel->Information().isEmpty()) panel->SetTexts(QString(), control->GetInfoText());
  });
  return control;
}

QRect CStaticSourcesView::NextPanelRect() const {
  const int top = panelRects_.empty() ? kFirstPanelTop : panelRects_.back().bottom() + 1 + kPanelSpacing;
  return QRect(kPanelLeft, top, kPanelWidth, kPanelHeight);
}

void CStaticSourcesView::AppendSource(CSourceControl* control, int kind, const QString& title) {
  const QRect rect = NextPanelRect();
  auto* panel = new CSourceDetailsPanel(this, kPanelIdBase + SourceCount());
  panel->setGeometry(rect);
  panel->Layout();
  panel->SetTexts(title, control->GetInfoText());
  panel->SetTitleColour(kPanelTitleColour);
  // Clicks on a panel reach the sources panel, which selects its source.
  panel->setAttribute(Qt::WA_TransparentForMouseEvents);
  panel->show();
  kinds_.push_back(kind);
  controls_.push_back(control);
  panelRects_.push_back(rect);
  panels_.push_back(panel);
}

// ---- Queries ---------------------------------------------------------------

int CStaticSourcesView::SourceKind(int source) const {
  return source >= 0 && source < SourceCount() ? kinds_[source] : 0;
}
CSourceControl* CStaticSourcesView::Control(int source) const {
  return source >= 0 && source < SourceCount() ? controls_[source] : nullptr;
}
CSourceDetailsPanel* CStaticSourcesView::Panel(int source) const {
  return source >= 0 && source < SourceCount() ? panels_[source] : nullptr;
}
QRect CStaticSourcesView::PanelRect(int source) const {
  return source >= 0 && source < SourceCount() ? panelRects_[source] : QRect();
}

int CStaticSourcesView::FirstCameraOf(int source) const {
  if (source < 0 || source >= SourceCount()) return -1;
  int first = -1;
  for (int camera : controls_[source]->GetSettings().subViewCamera)
    if (camera != kNoCamera && (first < 0 || camera < first)) first = camera;
  if (first >= 0) return first;
  int cameras = 0;  // a record without cameras: count those of earlier sources
  for (int s = 0; s < source; ++s) cameras += SubViewCountOf(controls_[s]->GetSettings());
  return cameras;
}

// ---- Selection -------------------------------------------------------------

void CStaticSourcesView::ResizePanel(int source, int delta) {
  panelRects_[source].setBottom(panelRects_[source].bottom() + delta);
  for (int s = source + 1; s < SourceCount(); ++s) panelRects_[s].translate(0, delta);
  for (int s = source; s < SourceCount(); ++s) panels_[s]->setGeometry(panelRects_[s]);
}

void CStaticSourcesView::ShowSelectedControl() {
  for (CSourceControl* control : controls_) control->hide();
  if (selected_ >= 0) {
    controls_[selected_]->show();
    controls_[selected_]->update();
  }
}

void CStaticSourcesView::Click(int x, int y) {
  if (x >= kControlLeft) return;  // the controls take their own clicks
  int hit = -1;
  for (int s = 0; s < SourceCount(); ++s)
    if (panelRects_[s].contains(x, y)) hit = s;
  if (hit == selected_) return;
  if (selected_ >= 0) ResizePanel(selected_, -kExpandHeight);
  selected_ = hit;
  if (selected_ >= 0) ResizePanel(selected_, kExpandHeight);
  ShowSelectedControl();
  Redraw();
  update();
}

// ---- Set-up ----------------------------------------------------------------

void CStaticSourcesView::ChangeCameraCount(int source, int firstCamera, int oldCount, int newCount) {
  // New cameras go behind the source's existing ones, old ones go from its
  // end, through the data panel, so the store and its entries keep one order;
  // the other sources' camera numbers follow each change.
  for (int k = 0; k < newCount - oldCount; ++k) {
    const int position = firstCamera + oldCount + k;
    if (dataPanel_.insertCamera) dataPanel_.insertCamera(position);
    RenumberCameras(source, position, +1);
  }
  for (int k = oldCount - newCount - 1; k >= 0; --k) {
    const int position = firstCamera + newCount + k;
    if (dataPanel_.removeCamera) dataPanel_.removeCamera(position);
    RenumberCameras(source, position, -1);
  }
}

void CStaticSourcesView::RenumberCameras(int exceptSource, int position, int delta) {
  for (int s = 0; s < SourceCount(); ++s) {
    if (s == exceptSource) continue;
    SourceSettings settings = controls_[s]->GetSettings();
    for (int32_t& feeds : settings.subViewCamera) {
      if (feeds == kNoCamera) continue;
      if (delta < 0 && feeds == position) feeds = kNoCamera;
      else if (feeds >= position) feeds += delta;
    }
    controls_[s]->SetSettings(settings);
  }
}

void CStaticSourcesView::SetupSource() {
  const int p = selected_;
  if (p < 0) return;
  CSourceControl* control = controls_[p];
  const SourceSettings old = control->GetSettings();
  setupDialog_->SetLiveSource(control->IsLive());
  setupDialog_->SetCaptureActions([control] { control->ShowCaptureFilterSettings(); },
                                  [control] { control->ShowCapturePinSettings(); });
  setupDialog_->SetSettings(old);
  const bool accepted = runSetup_ ? runSetup_(*setupDialog_) : setupDialog_->exec() == QDialog::Accepted;
  if (!accepted) return;
  SourceSettings chosen = setupDialog_->GetSettings();
  if (chosen.deinterlace == old.deinterlace && chosen.split == old.split) return;
  const int oldCount = CountSubViews(old);
  if (oldCount == 0) {
    // A source whose cameras were all removed feeds none, whatever its split.
    for (int32_t& feeds : chosen.subViewCamera) feeds = kNoCamera;
    control->SetSettings(chosen);
    return;
  }
  const int first = FirstCameraOf(p);
  if (!ConfirmDiscardingViews(first, oldCount)) return;
  // Views cut from frames the old way no longer match the new sub-view
  // size: every camera of the source starts again.
  if (store_)
    for (int k = 0; k < oldCount; ++k)
      if (first + k < store_->GetCameraCount()) store_->ClearCameraViews(first + k);
  if (dataPanel_.refresh) dataPanel_.refresh();
  ::ShiftSubViewCameras(chosen, first);
  control->SetSettings(chosen);
  if (chosen.split == old.split) return;
  ChangeCameraCount(p, first, oldCount, SubViewCountOf(chosen));
}

bool CStaticSourcesView::ConfirmDiscardingViews(int first, int count) {
  int views = 0;
  if (store_)
    for (int k = 0; k < count && first + k < store_->GetCameraCount(); ++k) views += store_->GetViewCount(first + k);
  if (views == 0) return true;
  const QString text = QString("The source's cameras hold %1 captured view(s), which the new setting discards.\n"
                               "Change the setting and discard them?")
                           .arg(views);
  return QMessageBox::question(this, "Setup source", text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

// ---- Removal ---------------------------------------------------------------

void CStaticSourcesView::RemoveSource() {
  const int p = selected_;
  if (p < 0) return;
  CRemoveSourceOptionsDlg question(this);
  const bool accepted = runRemove_ ? runRemove_(question) : question.exec() == QDialog::Accepted;
  if (!accepted || question.Answer() == CRemoveSourceOptionsDlg::kAnswerCancel) return;
  ResizePanel(p, -kExpandHeight);
  selected_ = -1;
  ShowSelectedControl();
  Redraw();
  if (question.Answer() == CRemoveSourceOptionsDlg::kAnswerYes) {
    // The source's cameras go from the store and the data panel together, and
    // later sources move down by as many.
    const int count = CountSubViews(controls_[p]->GetSettings());
    if (count > 0) ChangeCameraCount(p, FirstCameraOf(p), count, 0);
  }
  DeleteSource(p);
  update();
}

void CStaticSourcesView::DeleteSource(int source) {
  delete controls_[source];
  delete panels_[source];
  controls_.erase(controls_.begin() + source);
  panels_.erase(panels_.begin() + source);
  panelRects_.erase(panelRects_.begin() + source);
  kinds_.erase(kinds_.begin() + source);
  CloseUpPanels(source);
}

// The sources after a removed one move up into its place, keeping their sizes.
void CStaticSourcesView::CloseUpPanels(int from) {
  for (int s = std::max(0, from); s < SourceCount(); ++s) {
    const int top = s == 0 ? kFirstPanelTop : panelRects_[s - 1].bottom() + 1 + kPanelSpacing;
    panelRects_[s].moveTop(top);
    panels_[s]->setGeometry(panelRects_[s]);
  }
}

void CStaticSourcesView::CameraRemoved(int camera) { RenumberCameras(-1, camera, -1); }

void CStaticSourcesView::RemoveAllSources() {
  if (selected_ >= 0) ResizePanel(selected_, -kExpandHeight);
  selected_ = -1;
  while (SourceCount() > 0) DeleteSource(SourceCount() - 1);
  Redraw();
  update();
}
