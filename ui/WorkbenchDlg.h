#pragma once
// The main window: a frameless window with its own title band, a toolbar on
// the left and a panel area that shows either one panel (small layout, which
// cycles workspace -> sources -> calibration data) or the sources panel above
// the calibration data panel (large layout, 250 pixels taller).

#include <QDialog>
#include <QMessageBox>
#include <QPoint>
#include <QRect>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/CalibrationData.h"
#include "widgets/ResultsWindow.h"

class CHoverButtonEx;
class CStaticEx;
class CStaticDataView;
class CGridDetector;
class CStaticSourcesView;
struct DataPanelLink;
class COptionsDlg;
class CStaticWorkspaceView;
struct DataPanelTools;
class QMenu;

class CWorkbenchDlg : public QDialog {
  Q_OBJECT
 public:
  // Control identifiers of the window template.
  enum ControlId {
    kIdWorkspacePanel = 1000,
    kIdSourcesPanel = 1004,
    kIdOptions = 1008,
    kIdOpen = 1016,
    kIdSave = 1017,
    kIdTitle = 1020,
    kIdPower = 1021,
    kIdExpandView = 1022,
    kIdMinimize = 1024,
    kIdLowerCaption = 1025,
    kIdUpperCaption = 1026,
    kIdToolbarStrip = 1027,
    kIdNewWorkspace = 1028,
    kIdDataPanel = 1029,
    kIdLiveFeed = 1035,
    kIdSmallView = 1040,
  };
  static constexpr int kLayoutGrowth = 250;
  static constexpr int kLowerPanelOffset = kLayoutGrowth + 30;

  // What the panels and tool windows built elsewhere plug into. Unset hooks do nothing.
  struct Hooks {
    std::function<void(QPoint)> sourcesClick;      // panel coordinates
    std::function<void(QPoint)> dataClick;         // panel coordinates
    std::function<void(QPoint)> dataDoubleClick;   // panel coordinates
    // full path, file name, extension of a chosen video file
    std::function<void(const std::string&, const std::string&, const std::string&)> openVideo;
    std::function<void()> liveFeed;
    std::function<void()> keyP;  // synchronised playback
    std::function<void()> keyL;  // load camera parameters
  };

  // Without a results window factory, calibrating shows no 3D window.
  explicit CWorkbenchDlg(const std::string& applicationFolder, ResultsWindowFactory resultsWindow = {},
                         QWidget* parent = nullptr);
  ~CWorkbenchDlg() override;

  // State.
  int ViewMode() const { return viewMode_; }
  int Expanded() const { return expanded_; }
  const std::string& ApplicationFolderPath() const { return applicationFolder_; }
  QRect PanelRect() const { return panelRect_; }
  QRect LowerPanelRect() const { return lowerPanelRect_; }
  QRect TitleRect() const { return titleRect_; }
  bool Dragging() const { return dragging_; }
  CCalibrationData& Data() { return data_; }
  Hooks& PanelHooks() { return hooks_; }

  // Controls.
  CStaticWorkspaceView* WorkspacePanel() const { return workspacePanel_; }
  QWidget* SourcesPanel() const { return sourcesPanel_; }
  QWidget* DataPanel() const { return dataPanel_; }
  CStaticDataView* CalibrationPanel() const { return calibrationPanel_; }
  CStaticSourcesView* SourcesView() const { return sourcesView_; }
  // Whether the store differs from what was last saved or loaded into an unchanged one.
  bool HasUnsavedChanges() const;
  CStaticEx* TitleText() const { return titleText_; }
  CStaticEx* UpperCaption() const { return upperCaption_; }
  CStaticEx* LowerCaption() const { return lowerCaption_; }
  CHoverButtonEx* Button(int id) const;

  // The real sources and calibration data panels replace the placeholders;
  // the window takes ownership and places them for the current layout.
  // Presses and double-clicks on a panel's own surface (not on its child
  // controls) are routed by the window and reach the panel through the hooks.
  void InstallSourcesPanel(QWidget* panel);
  void InstallDataPanel(QWidget* panel);
  // Tool windows whose pictures the W key saves when they are visible (not owned).
  void SetToolWindows(QWidget* objectEditor, QWidget* resultsView);
  // The same tool windows, with what the calibration data panel does with them.
  void ConnectToolWindows(QWidget* objectEditor, QWidget* resultsView, const DataPanelTools& tools);

  // Commands.
  void OnExpandView();
  void OnSmallView();
  void OnOpen();
  void OnSave();
  void OnPower();
  void OnMinimize();
  void OnNewWorkspace();
  void OnOptions();
  // The Open command after its dialog: video files go to the sources, "txt"
  // files are loaded as workspaces (extensions compared case-sensitively).
  void OpenPath(const QString& path);
  // A workspace named at start: loaded, with its first camera selected so
  // that one press of Calibrate calibrates it.
  void OpenStartupWorkspace(const QString& path);
  // Returns whether the workspace was written; a failure is shown to the user.
  bool SaveTo(const QString& path);
  void ShowAbout();
  QMenu* CreateSystemMenu();

  // Mouse and keys, in window coordinates (the event handlers call these).
  void LeftButtonDown(QPoint point);
  void LeftButtonUp();
  void MouseMoveWithLeftButton(QPoint point);
  void LeftButtonDoubleClick(QPoint point);
  void KeyPressed(int key);

 protected:
  virtual QString AskOpenPath();
  virtual QString AskSavePath();
  virtual void ShowMessage(const QString& text);
  virtual void RunAboutBox();
  virtual QMessageBox::StandardButton AskQuestion(const QString& text, QMessageBox::StandardButtons buttons);
  // Runs the options dialog modally; true when OK was pressed.
  virtual bool RunOptionsDialog(COptionsDlg& dialog);
  void closeEvent(QCloseEvent* event) override;

  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void reject() override;

 private:
  void CreateControls();
  void CreateButtons();
  void WireButton(int id, void (CWorkbenchDlg::*command)());
  void ShowSmallPanel(int mode);
  void PlacePanels();
  QWidget* MakePlaceholderPanel(int id);
  void AdoptPanel(QWidget*& slot, QWidget* panel, int id);
  bool RouteMouseEvent(QWidget* from, QEvent* event);
  void SaveWindowPictures();
  void InitCalibrationPanel();
  void InitSourcesPanel();
  CStaticSourcesView* InstallSourcesView(DataPanelLink link);
  void CreateToolWindows();
  // Offers to save unsaved changes; false when the user cancelled (or the save failed).
  bool ConfirmDiscardChanges();
  void MarkSaved();

  std::string applicationFolder_;
  CCalibrationData data_;
  // Searches views for the grid on its own thread; deleted before the store.
  std::unique_ptr<CGridDetector> detector_;
  QWidget* objectEditor_ = nullptr;
  QWidget* resultsView_ = nullptr;
  ResultsWindowFactory resultsWindowFactory_;
  QRect titleRect_;
  QPoint dragStart_;
  bool dragging_ = false;
  int viewMode_ = 0;
  int expanded_ = 0;
  QRect panelRect_;
  QRect lowerPanelRect_;
  CStaticEx* titleText_ = nullptr;
  CStaticEx* upperCaption_ = nullptr;
  CStaticEx* lowerCaption_ = nullptr;
  CStaticEx* toolbarStrip_ = nullptr;
  CStaticWorkspaceView* workspacePanel_ = nullptr;
  QWidget* sourcesPanel_ = nullptr;
  QWidget* dataPanel_ = nullptr;
  CStaticDataView* calibrationPanel_ = nullptr;
  CStaticSourcesView* sourcesView_ = nullptr;
  uint64_t savedFingerprint_ = 0;
  std::map<int, CHoverButtonEx*> buttons_;
  Hooks hooks_;
};
