#include "ui/WorkbenchDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>

#include "app/WorkspaceState.h"
#include "records/Paths.h"
#include "core/Workspace.h"
#include "imaging/GDI.h"
#include "records/Version.h"
#include "widgets/DialogUnits.h"
#include "widgets/GraphicsArt.h"
#include "widgets/HoverButtonEx.h"
#include "ui/ApplicationSettings.h"
#include "ui/GridDetector.h"
#include "ui/ObjectEditDlg.h"
#include "ui/SourceSelectDlg.h"
#include "ui/OptionsDlg.h"
#include "ui/LiveSourceWiring.h"
#include "ui/StaticDataView.h"
#include "widgets/StaticEx.h"
#include "ui/StaticSourcesView.h"
#include "ui/StaticWorkspaceView.h"

namespace {

constexpr uint32_t kTitleColour = 0xFF2F2F2F;
constexpr uint32_t kDialogColour = 0xFFA0A0A0;
constexpr uint32_t kStripColour = 0xFF4B4B4B;
constexpr uint32_t kStripWindowColour = 0x4B4B4B;
constexpr int kToolbarSlotPitch = 39;

const char* const kCaptionWorkspace = "Workspace View";
const char* const kCaptionSources = "Sources View";
const char* const kCaptionData = "Calibration Data View";

struct ToolbarButton {
  int id;
  const char* text;
  const char* graphic;
  const char* tooltip;
};

// In toolbar slot order.
const ToolbarButton kToolbar[] = {
    {CWorkbenchDlg::kIdNewWorkspace, "New workspace", "\\Graphics\\button_new.png", "New workspace"},
    {CWorkbenchDlg::kIdOpen, "Open video...", "\\Graphics\\button_open.png", "Open workspace"},
    {CWorkbenchDlg::kIdSave, "Save...", "\\Graphics\\button_save.png", "Save workspace"},
    {CWorkbenchDlg::kIdLiveFeed, "Live feed...", "\\Graphics\\button_camera.png", "Connect to camera"},
    {CWorkbenchDlg::kIdOptions, "Options...", "\\Graphics\\button_settings.png", "Workspace settings"},
    {CWorkbenchDlg::kIdSmallView, "Small View", "\\Graphics\\button_small_view.png", "Small view"},
    {CWorkbenchDlg::kIdExpandView, "Expand View", "\\Graphics\\button_extended_view.png", "Large view"},
};

// The part of a file name after its last dot ("" without one).
std::string ExtensionOf(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const qsizetype dot = name.lastIndexOf('.');
  return dot < 0 ? std::string() : name.mid(dot + 1).toStdString();
}

QIcon MakeWindowIcon() {
  QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x3A, 0x3A, 0x3A));
  painter.setPen(QPen(QColor(0xFF, 0xBF, 0x00), 1.5));
  painter.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 6, 6);
  DrawGlyph(painter, "calib", QRectF(4, 4, 24, 24), QColor(0xE0, 0xE0, 0xE0));
  painter.end();
  return QIcon(QPixmap::fromImage(image));
}

// The budget for decoded view pictures, from the application settings.
void ApplyImageCacheSetting(CCalibrationData& data) {
  const int megabytes = ApplicationSettings().value(kImageCacheMegabytesKey, kDefaultImageCacheMegabytes).toInt();
  data.SetImageCacheBudget(static_cast<size_t>(std::max(megabytes, 16)) << 20);
}

}  // namespace

CWorkbenchDlg::CWorkbenchDlg(const std::string& applicationFolder, ResultsWindowFactory resultsWindow, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      applicationFolder_(applicationFolder),
      detector_(std::make_unique<CGridDetector>(&data_)),
      resultsWindowFactory_(std::move(resultsWindow)) {
  setFont(DialogFont());
  setWindowTitle("Lentora");
  setWindowIcon(MakeWindowIcon());
  ApplyImageCacheSetting(data_);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor::fromRgba(kDialogColour));
  setPalette(palette);
  setAutoFillBackground(true);
  CreateControls();
  CreateButtons();
  upperCaption_->Init();
  lowerCaption_->Init();
  InitCalibrationPanel();
  InitSourcesPanel();
  CreateToolWindows();
  MarkSaved();
  // Keys reach the window before any control sees them.
  qApp->installEventFilter(this);
  OnExpandView();
}

CWorkbenchDlg::~CWorkbenchDlg() {
  qApp->removeEventFilter(this);
  // Panels keep pointers to the store; they go first, while it still exists.
  qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
}

void CWorkbenchDlg::CreateControls() {
  const DialogUnits du(font());
  resize(du.X(316), du.Y(220));

  const QRect titleTemplate = du.Rect(0, 7, 307, 17);
  titleText_ = new CStaticEx(this, kIdTitle);
  titleText_->setGeometry(0, 0, width(), titleTemplate.height());
  titleText_->SetColours(kTitleColour, 0xFFFFFFFF);
  titleText_->SetTextOrigin(QPoint(4, 1));
  titleText_->Init();
  titleText_->SetText(" Lentora \n Camera calibration workbench");
  titleRect_ = QRect(0, 0, width(), titleTemplate.height());

  toolbarStrip_ = new CStaticEx(this, kIdToolbarStrip);
  toolbarStrip_->setGeometry(du.Rect(7, 24, 24, 171));
  toolbarStrip_->SetColours(kStripColour, 0xFFFFFFFF);
  toolbarStrip_->Init();

  upperCaption_ = new CStaticEx(this, kIdUpperCaption);
  upperCaption_->setGeometry(du.Rect(34, 24, 273, 14));
  upperCaption_->SetText("Workspace title bar");
  lowerCaption_ = new CStaticEx(this, kIdLowerCaption);
  lowerCaption_->setGeometry(du.Rect(34, 199, 273, 12));
  lowerCaption_->SetText("Video information");

  panelRect_ = du.Rect(34, 40, 273, 155);
  lowerPanelRect_ = panelRect_.translated(0, kLowerPanelOffset);

  workspacePanel_ = new CStaticWorkspaceView(this, kIdWorkspacePanel);
  workspacePanel_->setGeometry(panelRect_);
  workspacePanel_->SetApplicationFolder(applicationFolder_);
  workspacePanel_->Init();
  workspacePanel_->installEventFilter(this);

  sourcesPanel_ = MakePlaceholderPanel(kIdSourcesPanel);
  dataPanel_ = MakePlaceholderPanel(kIdDataPanel);
  PlacePanels();
}

QWidget* CWorkbenchDlg::MakePlaceholderPanel(int id) {
  auto* panel = new CStaticEx(this, id);
  panel->setAttribute(Qt::WA_TransparentForMouseEvents, false);
  panel->setGeometry(panelRect_);
  panel->SetColours(kStripColour, 0xFFFFFFFF);
  panel->Init();
  panel->hide();
  panel->installEventFilter(this);
  return panel;
}

void CWorkbenchDlg::CreateButtons() {
  const int titleWidth = titleText_->width();
  const auto addButton = [this](const ImageButtonSpec& spec) {
    buttons_[spec.id] = CreateImageButton(this, applicationFolder_, spec);
  };
  ImageButtonSpec power;
  power.text = "Power";
  power.id = kIdPower;
  power.position = QPoint(titleWidth - 25, 2);
  power.graphicsPath = "\\Graphics\\button_power.png";
  power.tooltip = "Exit";
  addButton(power);
  ImageButtonSpec minimize = power;
  minimize.text = "Minimize";
  minimize.id = kIdMinimize;
  minimize.position = QPoint(titleWidth - 45, 2);
  minimize.graphicsPath = "\\Graphics\\button_minimize.png";
  minimize.tooltip = "Minimize";
  addButton(minimize);

  const QPoint strip = toolbarStrip_->geometry().topLeft();
  int slot = 0;
  for (const ToolbarButton& entry : kToolbar) {
    ImageButtonSpec spec;
    spec.text = entry.text;
    spec.id = entry.id;
    spec.position = QPoint(strip.x() + 2, strip.y() + 5 + kToolbarSlotPitch * slot++);
    spec.regionSize = QSize(36, 36);
    spec.regionShape = CHoverButtonEx::kRectangle;
    spec.graphicsPath = entry.graphic;
    spec.tooltip = entry.tooltip;
    spec.solidBackground = true;
    spec.solidColour = kStripWindowColour;
    addButton(spec);
  }

  WireButton(kIdPower, &CWorkbenchDlg::OnPower);
  WireButton(kIdOpen, &CWorkbenchDlg::OnOpen);
  WireButton(kIdSave, &CWorkbenchDlg::OnSave);
  WireButton(kIdExpandView, &CWorkbenchDlg::OnExpandView);
  WireButton(kIdSmallView, &CWorkbenchDlg::OnSmallView);
  connect(buttons_[kIdLiveFeed], &QPushButton::clicked, this, [this] {
    if (hooks_.liveFeed) hooks_.liveFeed();
  });
  WireButton(kIdMinimize, &CWorkbenchDlg::OnMinimize);
  WireButton(kIdNewWorkspace, &CWorkbenchDlg::OnNewWorkspace);
  WireButton(kIdOptions, &CWorkbenchDlg::OnOptions);
}

void CWorkbenchDlg::WireButton(int id, void (CWorkbenchDlg::*command)()) {
  connect(buttons_[id], &QPushButton::clicked, this, command);
}

CHoverButtonEx* CWorkbenchDlg::Button(int id) const {
  const auto it = buttons_.find(id);
  return it == buttons_.end() ? nullptr : it->second;
}

void CWorkbenchDlg::AdoptPanel(QWidget*& slot, QWidget* panel, int id) {
  if (!panel || panel == slot) return;
  delete slot;
  panel->setParent(this);
  panel->setProperty("controlId", id);
  panel->installEventFilter(this);
  slot = panel;
  PlacePanels();
}

void CWorkbenchDlg::InstallSourcesPanel(QWidget* panel) { AdoptPanel(sourcesPanel_, panel, kIdSourcesPanel); }
void CWorkbenchDlg::InstallDataPanel(QWidget* panel) { AdoptPanel(dataPanel_, panel, kIdDataPanel); }

void CWorkbenchDlg::SetToolWindows(QWidget* objectEditor, QWidget* resultsView) {
  objectEditor_ = objectEditor;
  resultsView_ = resultsView;
}

void CWorkbenchDlg::ConnectToolWindows(QWidget* objectEditor, QWidget* resultsView, const DataPanelTools& tools) {
  SetToolWindows(objectEditor, resultsView);
  calibrationPanel_->SetTools(tools);
}

// The tool windows: the object editor and the 3D results window, hidden
// top-level windows for the whole run that the calibration data panel opens.
void CWorkbenchDlg::CreateToolWindows() {
  auto* editor = new CObjectEditDlg(this);
  editor->SetApplicationFolder(applicationFolder_);
  editor->SetData(&data_);
  editor->Create();
  editor->SetDetector(detector_.get());
  editor->hide();
  DataPanelTools tools;
  QWidget* resultsView = nullptr;
  if (resultsWindowFactory_) {
    CResultsWindow* results = resultsWindowFactory_(&data_, applicationFolder_, this);
    resultsView = results->Window();
    resultsView->hide();
    tools.showCalibration = [results](int camera) { results->ShowCalibration(camera); };
    tools.cameraNumbersChanged = [results](int position, int delta) { results->CameraNumbersChanged(position, delta); };
    tools.runChanged = [results](int camera) { results->RunChanged(camera); };
  }
  tools.openEditor = [editor](int camera, int view) {
    editor->OpenOn(camera);
    editor->SetView(view);
  };
  tools.selectionChanged = [editor](int camera, int view) { editor->FollowSelection(camera, view); };
  ConnectToolWindows(editor, resultsView, tools);
}

// The calibration data panel takes the data panel's place; cameras announced
// by a workspace load get their entries before the store adds them.
void CWorkbenchDlg::InitCalibrationPanel() {
  auto* panel = new CStaticDataView(this, kIdDataPanel);
  panel->SetApplicationFolder(applicationFolder_);
  panel->setGeometry(panelRect_);
  panel->Init();
  panel->SetStore(&data_);
  panel->SetDetector(detector_.get());
  calibrationPanel_ = panel;
  InstallDataPanel(panel);
  hooks_.dataClick = [panel](QPoint p) { panel->Click(p.x(), p.y()); };
  hooks_.dataDoubleClick = [panel](QPoint p) { panel->DoubleClick(p.x(), p.y()); };
  hooks_.keyL = [panel] { panel->KeyPressed(Qt::Key_L); };
}

// Makes the sources panel: places it, gives it the store, the data panel's
// camera operations and live controls, and routes "Open video...", "Live
// feed...", the panel's clicks and the P key (synchronised player). Each added
// source appends one camera through the data panel.
CStaticSourcesView* CWorkbenchDlg::InstallSourcesView(DataPanelLink link) {
  auto* panel = new CStaticSourcesView(this, kIdSourcesPanel);
  panel->SetApplicationFolder(applicationFolder_);
  InstallSourcesPanel(panel);
  panel->Layout();
  panel->SetStore(&Data());
  panel->SetDataPanel(link);
  panel->SetLiveControlFactory(LiveCaptureControls(applicationFolder_));
  auto appendCamera = [link] {
    if (link.appendCamera) link.appendCamera();
  };
  hooks_.sourcesClick = [panel](QPoint point) { panel->Click(point.x(), point.y()); };
  hooks_.openVideo = [panel, appendCamera](const std::string& path, const std::string& name,
                                           const std::string& extension) {
    // Only these extensions, written exactly so, are video files.
    if (extension != "avi" && extension != "mpg" && extension != "wmv") return;
    if (panel->AddVideoSource(path, name, extension)) appendCamera();
  };
  hooks_.liveFeed = [this, panel, appendCamera] {
    CSourceSelectDlg dialog(this);
    if (dialog.exec() != QDialog::Accepted || dialog.SelectedDevice() == 0) return;
    const int device = dialog.SelectedDevice();
    if (panel->AddLiveSource(device, dialog.DeviceName(device))) appendCamera();
  };
  hooks_.keyP = [this] { RunSyncPlayer(this); };
  return panel;
}

// The sources panel takes its place; the cameras of its sources get their
// entries in the calibration data panel.
void CWorkbenchDlg::InitSourcesPanel() {
  CStaticDataView* data = calibrationPanel_;
  DataPanelLink link;
  link.insertCamera = [data](int position) { data->InsertCamera(position); };
  link.removeCamera = [data](int position) { data->RemoveCamera(position); };
  link.appendCamera = [data] { data->AppendCamera(); };
  link.refresh = [data] { data->ViewsChanged(); };
  link.viewsArrived = [this](const std::vector<int>& before) { detector_->DetectArrivals(before); };
  CStaticSourcesView* sources = InstallSourcesView(link);
  sourcesView_ = sources;
  CameraListener listener;
  listener.removed = [sources](int camera) { sources->CameraRemoved(camera); };
  listener.cleared = [sources] { sources->RemoveAllSources(); };
  data->SetCameraListener(listener);
}

// Puts every panel where the current layout wants it and shows the right ones.
void CWorkbenchDlg::PlacePanels() {
  workspacePanel_->setGeometry(panelRect_);
  sourcesPanel_->setGeometry(panelRect_);
  dataPanel_->setGeometry(expanded_ ? lowerPanelRect_ : panelRect_);
  workspacePanel_->setVisible(!expanded_ && viewMode_ == 0);
  sourcesPanel_->setVisible(expanded_ || viewMode_ == 1);
  dataPanel_->setVisible(expanded_ || viewMode_ == 2);
}

void CWorkbenchDlg::OnExpandView() {
  if (expanded_ != 0) return;
  resize(width(), height() + kLayoutGrowth);
  expanded_ = 1;
  PlacePanels();
  dataPanel_->update();
  upperCaption_->SetText(kCaptionSources);
  lowerCaption_->SetText(kCaptionData);
}

void CWorkbenchDlg::OnSmallView() {
  if (expanded_ == 1) {
    resize(width(), height() - kLayoutGrowth);
    expanded_ = 0;
    lowerCaption_->SetText("");
    ShowSmallPanel(0);
    return;
  }
  ShowSmallPanel((viewMode_ + 1) % 3);
}

void CWorkbenchDlg::ShowSmallPanel(int mode) {
  viewMode_ = mode;
  PlacePanels();
  static const char* const kCaptions[] = {kCaptionWorkspace, kCaptionSources, kCaptionData};
  upperCaption_->SetText(kCaptions[mode]);
}

void CWorkbenchDlg::OnPower() {
  if (ConfirmDiscardChanges()) done(QDialog::Accepted);
}

void CWorkbenchDlg::OnMinimize() { showMinimized(); }

void CWorkbenchDlg::closeEvent(QCloseEvent* event) {
  if (ConfirmDiscardChanges()) event->accept();
  else event->ignore();
}

void CWorkbenchDlg::OnNewWorkspace() {
  if (!ConfirmDiscardChanges()) return;
  calibrationPanel_->ClearCameras();
  MarkSaved();
}

void CWorkbenchDlg::OnOptions() {
  COptionsDlg dialog(LoadApplicationOptions(), this);
  if (!RunOptionsDialog(dialog)) return;
  SaveApplicationOptions(dialog.Options());
  ApplyApplicationOptions(dialog.Options());
}

bool CWorkbenchDlg::RunOptionsDialog(COptionsDlg& dialog) { return dialog.exec() == QDialog::Accepted; }

bool CWorkbenchDlg::HasUnsavedChanges() const { return WorkspaceFingerprint(data_) != savedFingerprint_; }

void CWorkbenchDlg::MarkSaved() { savedFingerprint_ = WorkspaceFingerprint(data_); }

bool CWorkbenchDlg::ConfirmDiscardChanges() {
  if (!HasUnsavedChanges()) return true;
  const QMessageBox::StandardButton answer =
      AskQuestion("The workspace has unsaved changes. Save them first?",
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  if (answer == QMessageBox::No) return true;
  if (answer != QMessageBox::Yes) return false;
  const QString path = AskSavePath();
  return !path.isEmpty() && SaveTo(path);
}

QMessageBox::StandardButton CWorkbenchDlg::AskQuestion(const QString& text, QMessageBox::StandardButtons buttons) {
  return QMessageBox::question(this, "Lentora", text, buttons);
}

// Enter and Escape never close the window; only Power does.
void CWorkbenchDlg::reject() {}

QString CWorkbenchDlg::AskOpenPath() { return QFileDialog::getOpenFileName(this, "Open"); }

QString CWorkbenchDlg::AskSavePath() {
  return QFileDialog::getSaveFileName(this, "Save workspace", QString(), "Workspace (*.txt);;All files (*)");
}

void CWorkbenchDlg::ShowMessage(const QString& text) { QMessageBox::information(this, "Lentora", text); }

void CWorkbenchDlg::OnOpen() {
  const QString path = AskOpenPath();
  if (!path.isEmpty()) OpenPath(path);
}

void CWorkbenchDlg::OpenPath(const QString& path) {
  const std::string extension = ExtensionOf(path);
  if (extension == "avi" || extension == "mpg" || extension == "wmv") {
    if (hooks_.openVideo)
      hooks_.openVideo(path.toStdString(), QFileInfo(path).fileName().toStdString(), extension);
  }
  if (extension != "txt") return;
  // A workspace loaded into an unchanged store is as saved; appended to changes it is not.
  const bool wasSaved = !HasUnsavedChanges();
  const WorkspaceResult result = LoadWorkspace(data_, path.toStdString());
  calibrationPanel_->Refresh();
  if (!result.ok) {
    ShowMessage(QString("The workspace could not be loaded:\n%1").arg(QString::fromStdString(result.error)));
    return;
  }
  if (wasSaved) MarkSaved();
  if (result.warnings.empty()) return;
  QStringList warnings;
  for (const std::string& warning : result.warnings) warnings << QString::fromStdString(warning);
  ShowMessage(QString("The workspace was loaded with warnings:\n%1").arg(warnings.join('\n')));
}

void CWorkbenchDlg::OpenStartupWorkspace(const QString& path) {
  OpenPath(path);
  calibrationPanel_->SelectEntry(0);
}

void CWorkbenchDlg::OnSave() {
  const QString path = AskSavePath();
  if (!path.isEmpty()) SaveTo(path);
}

bool CWorkbenchDlg::SaveTo(const QString& path) {
  QString indexPath = path;
  if (QFileInfo(indexPath).suffix().isEmpty()) indexPath += ".txt";
  WorkspaceSaveOptions options;
  options.mayRemove = [this](const std::vector<std::string>& names) {
    QStringList files;
    for (const std::string& name : names) files << QString::fromStdString(name);
    return AskQuestion(QString("The folder already holds:\n%1\nnamed like the image of a view that has none. The "
                               "save writes no image for such a view, so a reload would take that file for its "
                               "picture.\n\nRemove it with the save? (No saves nothing.)")
                           .arg(files.join('\n')),
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  };
  const WorkspaceResult result = SaveWorkspaceTo(data_, indexPath.toStdString(), options);
  if (!result.ok) {
    ShowMessage(QString("The workspace could not be saved:\n%1").arg(QString::fromStdString(result.error)));
    return false;
  }
  MarkSaved();
  if (!result.warnings.empty()) {
    QStringList notes;
    for (const std::string& warning : result.warnings) notes << QString::fromStdString(warning);
    ShowMessage(QString("The workspace was saved to %1, with these notes:\n%2").arg(indexPath, notes.join('\n')));
  }
  return true;
}

QMenu* CWorkbenchDlg::CreateSystemMenu() {
  auto* menu = new QMenu(this);
  menu->addSeparator();
  menu->addAction("&About Lentora...", this, &CWorkbenchDlg::ShowAbout);
  return menu;
}

void CWorkbenchDlg::ShowAbout() { RunAboutBox(); }

void CWorkbenchDlg::RunAboutBox() {
  QDialog about(this);
  about.setWindowTitle("About Lentora");
  auto* layout = new QVBoxLayout(&about);
  auto* text = new QLabel(QString("Lentora Version %1\n\nCamera calibration workbench").arg(LentoraVersion()), &about);
  layout->addWidget(text);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
  connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
  layout->addWidget(buttons);
  about.exec();
}

void CWorkbenchDlg::LeftButtonDown(QPoint point) {
  if (GDI::IsPointInRect(point.x(), point.y(), titleRect_)) {
    dragging_ = true;
    dragStart_ = point;
    return;
  }
  const QPoint inPanel = point - panelRect_.topLeft();
  if (!expanded_) {
    if (!GDI::IsPointInRect(point.x(), point.y(), panelRect_)) return;
    if (viewMode_ == 0) workspacePanel_->Click(inPanel.x(), inPanel.y());
    else if (viewMode_ == 1 && hooks_.sourcesClick) hooks_.sourcesClick(inPanel);
    else if (viewMode_ == 2 && hooks_.dataClick) hooks_.dataClick(inPanel);
    return;
  }
  if (GDI::IsPointInRect(point.x(), point.y(), panelRect_)) {
    if (hooks_.sourcesClick) hooks_.sourcesClick(inPanel);
  } else if (GDI::IsPointInRect(point.x(), point.y(), lowerPanelRect_)) {
    if (hooks_.dataClick) hooks_.dataClick(point - lowerPanelRect_.topLeft());
  }
}

void CWorkbenchDlg::LeftButtonUp() { dragging_ = false; }

void CWorkbenchDlg::MouseMoveWithLeftButton(QPoint point) {
  if (!dragging_) return;
  move(pos() + (point - dragStart_));
}

void CWorkbenchDlg::LeftButtonDoubleClick(QPoint point) {
  if (expanded_) {
    if (GDI::IsPointInRect(point.x(), point.y(), lowerPanelRect_) && hooks_.dataDoubleClick)
      hooks_.dataDoubleClick(point - lowerPanelRect_.topLeft());
    return;
  }
  if (!GDI::IsPointInRect(point.x(), point.y(), panelRect_)) return;
  const QPoint p = point - panelRect_.topLeft();
  if (viewMode_ == 0) {
    if (GDI::IsPointInRect(p.x(), p.y(), QRect(QPoint(10, 10), QPoint(165, 200)))) ShowSmallPanel(1);
    else if (GDI::IsPointInRect(p.x(), p.y(), QRect(QPoint(164, 10), QPoint(319, 200)))) ShowSmallPanel(2);
  } else if (viewMode_ == 2 && hooks_.dataDoubleClick) {
    hooks_.dataDoubleClick(p);
  }
}

void CWorkbenchDlg::KeyPressed(int key) {
  switch (key) {
    case Qt::Key_W: SaveWindowPictures(); break;
    case Qt::Key_P: if (hooks_.keyP) hooks_.keyP(); break;
    case Qt::Key_L: if (hooks_.keyL) hooks_.keyL(); break;
    case Qt::Key_F1: ShowAbout(); break;
    default: break;
  }
}

void CWorkbenchDlg::SaveWindowPictures() {
  QStringList saved, failed;
  const auto save = [&](QWidget* window, const char* fileName) {
    const std::string path = OutputPath(fileName);
    (GDI::SaveImage(path, window->grab().toImage(), "jpg") ? saved : failed) << QString::fromStdString(path);
  };
  save(this, "Main.jpg");
  if (objectEditor_ && objectEditor_->isVisible()) save(objectEditor_, "Obj.jpg");
  if (resultsView_ && resultsView_->isVisible()) save(resultsView_, "3D.jpg");
  QString text;
  if (!saved.isEmpty()) text += QString("Window pictures saved:\n%1").arg(saved.join('\n'));
  if (!failed.isEmpty())
    text += QString("%1These window pictures could not be written:\n%2").arg(text.isEmpty() ? "" : "\n\n", failed.join('\n'));
  ShowMessage(text);
}

bool CWorkbenchDlg::RouteMouseEvent(QWidget* from, QEvent* event) {
  auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint point = from->mapTo(this, mouse->position().toPoint());
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      if (mouse->button() == Qt::RightButton && GDI::IsPointInRect(point.x(), point.y(), titleRect_)) {
        QMenu* menu = CreateSystemMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(mapToGlobal(point));
        return true;
      }
      if (mouse->button() != Qt::LeftButton) return false;
      LeftButtonDown(point);
      return true;
    case QEvent::MouseButtonRelease:
      if (mouse->button() == Qt::LeftButton) LeftButtonUp();
      return mouse->button() == Qt::LeftButton;
    case QEvent::MouseMove:
      if (mouse->buttons() & Qt::LeftButton) MouseMoveWithLeftButton(point);
      return false;
    case QEvent::MouseButtonDblClick:
      if (mouse->button() != Qt::LeftButton) return false;
      LeftButtonDoubleClick(point);
      return true;
    default: return false;
  }
}

bool CWorkbenchDlg::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::KeyPress || type == QEvent::ShortcutOverride) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) return QDialog::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (type == QEvent::KeyPress && !key->isAutoRepeat()) KeyPressed(key->key());
    event->accept();
    return true;  // never passed on: no control, and no default button, sees it
  }
  const bool isMouse = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
                       type == QEvent::MouseMove || type == QEvent::MouseButtonDblClick;
  // Presses on the panels themselves (not on their own buttons) are the window's to route.
  if (isMouse && (watched == workspacePanel_ || watched == sourcesPanel_ || watched == dataPanel_))
    return RouteMouseEvent(static_cast<QWidget*>(watched), event);
  return QDialog::eventFilter(watched, event);
}

void CWorkbenchDlg::mousePressEvent(QMouseEvent* event) {
  if (!RouteMouseEvent(this, event)) QDialog::mousePressEvent(event);
}
void CWorkbenchDlg::mouseMoveEvent(QMouseEvent* event) {
  if (!RouteMouseEvent(this, event)) QDialog::mouseMoveEvent(event);
}
void CWorkbenchDlg::mouseReleaseEvent(QMouseEvent* event) {
  if (!RouteMouseEvent(this, event)) QDialog::mouseReleaseEvent(event);
}
void CWorkbenchDlg::mouseDoubleClickEvent(QMouseEvent* event) {
  if (!RouteMouseEvent(this, event)) QDialog::mouseDoubleClickEvent(event);
}

void CWorkbenchDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor::fromRgba(kDialogColour));
  // The thin window border a frameless window has to draw itself.
  painter.setPen(QColor(0x1E, 0x1E, 0x1E));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
