#pragma once
// The calibration data panel: one titled entry per camera of the store down
// the left side, the stereo rig's entry after them, the selected camera's
// image list on the right, and buttons to add, calibrate and remove cameras,
// to calibrate cameras 0 and 1 as a stereo rig, and (on a second row) to show
// the residuals of the selected camera's run and to export a calibration. The selected entry grows
// by 75 pixels to show its results text; entries and list scroll when they do
// not fit.
//
// The entries are derived from the store: entry i is camera i, its text is
// what the store holds for it. Every change of the workbench to the store's
// cameras goes through AppendCamera, InsertCamera and RemoveCamera; Refresh
// rebuilds the entries after changes made elsewhere (a workspace load).

#include <QFont>
#include <QImage>
#include <QMessageBox>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/ParameterExchange.h"
#include "records/Records.h"

class CCalibrationData;
class CCalibrationRunner;
struct CameraCalibrationResult;
struct StereoRigResult;
class CHoverButtonEx;
class CImageListControl;
class CGridDetector;
class QProgressDialog;
struct DetectionSummary;
class CScrollBarEx;
class CResidualWindow;

// What the selected camera's entry shows under its text: a bar per coverage
// figure (each 0 to 1) and the verdict on its views.
struct EntryGuidance {
  static constexpr int kBars = 5;
  static constexpr std::array<const char*, kBars> kLabels{"Cells", "X", "Y", "Size", "Skew"};
  QString heading;  // "Coverage of 12 views"
  std::array<double, kBars> bars{};
  QString verdict;
  bool enough = false;
};

// A camera's entry: a title strip over an information text, and for the
// selected camera the coverage bars and verdict below it.
class CCameraEntryPanel : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kTitleHeight = 16;
  static constexpr int kBarRowHeight = 12;

  explicit CCameraEntryPanel(QWidget* parent = nullptr, int id = 0);
  int Id() const { return id_; }
  void SetTexts(const QString& title, const QString& information);
  // Shown below the text; nullopt hides it.
  void SetGuidance(std::optional<EntryGuidance> guidance);
  const std::optional<EntryGuidance>& Guidance() const { return guidance_; }
  // Where the bar of figure i is drawn (its full length), in entry coordinates; empty without guidance.
  QRect BarRect(int i) const;
  void SetTitleColour(uint32_t argb);
  QString Title() const { return title_; }
  QString Information() const { return information_; }
  // The height that shows the whole information text at the given width.
  int HeightForText(int width) const;
  // The information text as it is drawn at the given width, one string a line.
  // A line of "a, b, ..." wraps after a comma, so a number keeps its label
  // and its unit; a part too long for the width wraps within itself.
  QStringList DrawnLines(int width) const;
  // The verdict's lines at the given width.
  QStringList VerdictLines(int width) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int TextHeight(int width) const;
  int GuidanceHeight(int width) const;
  void DrawGuidance(class QPainter& painter, int top) const;

  int id_;
  std::optional<EntryGuidance> guidance_;
  QString title_;
  QString information_;
  uint32_t titleColour_ = 0xFF3C3C3C;
  QFont titleFont_;
  QFont textFont_;
};

// The tool windows the panel drives; unset members do nothing.
struct DataPanelTools {
  // Shows the object editor on a camera at a view.
  std::function<void(int camera, int view)> openEditor;
  // Shows a camera's run in the results window after it was calibrated.
  std::function<void(int camera)> showCalibration;
  // The results window follows the cameras: one inserted (+1) or removed
  // (-1) at a position, and a camera whose run was forgotten.
  std::function<void(int position, int delta)> cameraNumbersChanged;
  std::function<void(int camera)> runChanged;
  // The selected camera or view changed (view -1: none selected).
  std::function<void(int camera, int view)> selectionChanged;
};

// Who else keeps camera numbers (the sources panel) hears of cameras the
// panel's own commands removed; unset members do nothing.
struct CameraListener {
  std::function<void(int camera)> removed;
  std::function<void()> cleared;
};

class CStaticDataView : public QWidget {
  Q_OBJECT
 public:
  enum ControlId {
    kIdNewCamera = 1046,
    kIdCalibrate = 1039,
    kIdCalibrateStereo = 1042,
    kIdRemoveCamera = 1066,
    kIdDetectAll = 1071,
    kIdResiduals = 1072,
    kIdExport = 1073,
    kIdLoadParameters = 1074,
    kIdGrid = 1075,
    kImageListId = 100123,
    kEntryIdBase = 100190,
  };
  static constexpr int kButtonRowFromBottom = 40;
  static constexpr int kSecondRowFromBottom = 76;
  static constexpr int kButtonSize = 32;
  static constexpr int kEntryExpansion = 75;
  static constexpr int kEntryHeight = 30;
  static constexpr int kEntrySpacing = 5;
  static constexpr int kEntryLeft = 10;
  static constexpr int kEntryTop = 10;
  static constexpr int kEntryWidth = 190;
  static constexpr int kListLeft = 220;
  static constexpr int kListTop = 10;
  static constexpr int kSeparatorX = 215;
  static constexpr uint32_t kPanelColour = 0xFF4B4B4B;
  static constexpr uint32_t kSeparatorColour = 0xFF969696;
  static constexpr uint32_t kSelectionColour = 0xFFFFBF00;

  explicit CStaticDataView(QWidget* parent = nullptr, int id = 0);
  ~CStaticDataView() override;

  int Id() const { return id_; }
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  // Back buffer at the client size, the separator, the buttons and the image
  // list; call once the panel has its size.
  void Init();
  void SetStore(CCalibrationData* store);
  void SetTools(DataPanelTools tools) { tools_ = std::move(tools); }
  // The workbench's detector: "Detect all" and the views added by the image lists.
  void SetDetector(CGridDetector* detector);
  void SetCameraListener(CameraListener listener) { listener_ = std::move(listener); }
  // Message boxes and file dialogs; unset members use the real ones.
  struct Prompts {
    std::function<void(const QString& text)> message;
    std::function<QString()> parameterFile;  // "" when cancelled
    std::function<QStringList()> imageFiles;  // empty when cancelled
    std::function<QMessageBox::StandardButton(const QString& text, QMessageBox::StandardButtons buttons)> question;
    // A message with one button that does something (`action`) besides Close; true when it was pressed.
    std::function<bool(const QString& text, const QString& action)> offer = {};
  };
  void SetPrompts(Prompts prompts) { prompts_ = std::move(prompts); }
  // Asks for the format and file to export to (nullopt: cancelled); unset: the save dialog.
  using ExportPrompt = std::function<std::optional<std::pair<ExchangeFormat, QString>>(const QString& title)>;
  void SetExportPrompt(ExportPrompt prompt) { askExportTarget_ = std::move(prompt); }

  // Cameras.
  void AppendCamera();
  void InsertCamera(int position);
  void RemoveCamera(int position);
  // Every camera goes, and the rig's results with them.
  void ClearCameras();
  // Rebuilds the entries from the store.
  void Refresh();
  // Views were added or changed elsewhere (a capture): the list and texts follow.
  void ViewsChanged();

  // Selects an entry as a click on it would.
  void SelectEntry(int entry);
  // Input from the main window, in panel coordinates.
  void Click(int x, int y);
  void DoubleClick(int x, int y);
  void KeyPressed(int key);
  void Wheel(int x, int angleDelta);

  // Commands. The two calibrations run on a worker thread behind a progress
  // dialog with Cancel; their results reach the store and the entries when
  // the run ends (a cancelled run changes nothing).
  void NewCamera();
  void Calibrate();
  void CalibrateStereoRig();
  bool IsCalibrating() const;
  // Processes events until the running calibration has ended; false on timeout.
  bool WaitForCalibration(int timeoutMs = 600000);
  CCalibrationRunner* Runner() const { return runner_; }
  void RemoveSelectedCamera();
  void RemoveSelectedView();
  // Our own parameter file, OpenCV YAML/XML or ROS YAML, as `lentora
  // import-parameters` reads them; a refused file changes nothing and says why.
  void LoadParameters();
  void LoadParametersFrom(const QString& path);
  // The residual window of the selected camera's last run (refused without one).
  void ShowResiduals();
  CResidualWindow* ResidualWindow() const { return residualWindow_; }
  // Exports the selected camera (its last run, or parameters loaded without
  // one), or the rig with its entry selected.
  void Export();
  // Searches every view of the selected camera on the detector's thread with a
  // progress window and Cancel; the summary follows as a message.
  void DetectAll();
  QProgressDialog* DetectionProgress() const { return progress_; }
  // The grid properties dialog for the selected camera, as the object editor opens it.
  void EditGrid();
  // Runs the grid dialog on a grid; the edited grid, or nothing when cancelled. Unset: the real dialog.
  using GridPrompt = std::function<std::optional<GridDescription>(const GridDescription& grid)>;
  void SetGridPrompt(GridPrompt prompt) { askGrid_ = std::move(prompt); }

  // State.
  int EntryCount() const;
  int CameraCount() const;
  bool HasRigEntry() const { return !rigText_.isEmpty(); }
  int SelectedEntry() const { return selectedEntry_; }
  // The selected entry's camera; -1 with none or the rig's entry selected.
  int SelectedCamera() const;
  // In panel coordinates, where the entry is now (possibly scrolled out of sight).
  QRect EntryRect(int entry) const;
  QString EntryTitle(int entry) const;
  QString EntryText(int entry) const;
  // The area entries are shown in; they never reach the buttons below it.
  QRect EntryArea() const;
  CImageListControl* ImageList() const { return imageList_; }
  CScrollBarEx* EntryScrollBar() const { return scrollBar_; }
  CHoverButtonEx* Button(int id) const;
  const QImage& BackBuffer() const { return backBuffer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void ShowMessage(const QString& text);
  bool Confirm(const QString& text);
  bool Offer(const QString& text, const QString& action);
  // The grid a new camera starts with: the selected camera's, or none.
  GridDescription GridForNewCamera() const;
  QString AskParameterFile();
  QStringList AskImageFiles();
  // Runs a command; whatever the store throws becomes a message, never a crash.
  void Guarded(const std::function<void()>& command);
  void CreateButtons();
  void CreateImageList();
  void CreateEntryArea();
  void PlaceChildren();
  void Redraw();
  QRect ImageListRect() const;
  int ContentHeight() const;
  // How much taller the selected entry is: 75 pixels, or what its text needs.
  int SelectedExpansion() const;
  void LayoutEntries();
  void ScrollToEntry(int entry);
  void AnnounceSelection();
  void BindSelectedList();
  void Select(int entry);
  void DropRig();
  QString CameraText(int camera) const;
  // The selected camera's coverage and verdict on its entry when it has views a run would take or a current
  // run; none on the others.
  void UpdateGuidance();
  void OpenEditorAt(int view);
  void RemoveViews(int camera, int view, bool withPair);
  void DetectionFinished(const DetectionSummary& summary);
  void FinishCameraRun(int camera, const CameraCalibrationResult& run);
  void FinishRigRun(const StereoRigResult& rig);
  std::optional<std::pair<ExchangeFormat, QString>> AskExportTarget(const QString& title);
  ExportedCamera ExportedCameraToWrite(int camera) const;

  int id_;
  std::string applicationFolder_;
  std::vector<CCameraEntryPanel*> entries_;  // widgets, EntryCount() of them
  QWidget* entryArea_ = nullptr;
  CScrollBarEx* scrollBar_ = nullptr;
  CImageListControl* imageList_ = nullptr;
  int selectedEntry_ = -1;
  QString rigText_;  // the rig entry's text; empty without a rig run
  std::unique_ptr<StereoRigResult> rig_;  // the rig of that run, for export
  CCalibrationData* store_ = nullptr;
  DataPanelTools tools_;
  CameraListener listener_;
  Prompts prompts_;
  ExportPrompt askExportTarget_;
  GridPrompt askGrid_;
  std::array<CHoverButtonEx*, 9> buttons_{};
  CGridDetector* detector_ = nullptr;
  QProgressDialog* progress_ = nullptr;
  QImage backBuffer_;
  bool initialised_ = false;
  CCalibrationRunner* runner_ = nullptr;
  CResidualWindow* residualWindow_ = nullptr;
};
