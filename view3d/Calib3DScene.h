#pragma once
// The 3D results window: a frameless tool window that shows a calibration
// run in 3D. Camera-centred mode draws every view's grid where the run put
// it in front of the camera; object-centred mode draws a camera pyramid per
// view around the grid's frame, each with the view's picture on its image
// plane. A side panel moves the world to fit ("Move world"), switches the
// mode and steps a highlighted view; Return toggles anti-aliased lines.

#include <QImage>
#include <QPoint>
#include <QWidget>
#include <array>
#include <string>
#include <vector>

#include "records/Records.h"
#include "view3d/SceneContent.h"
#include "widgets/ResultsWindow.h"

class CCalibrationData;
class CCalib3DView;
class CHoverButtonEx;
class CStaticEx;

// Where a window of `size` and the main window go so that the window lies
// beside `main` inside `available` without covering it: to its right, else to
// its left; when neither side has room but the screen is wide enough for
// both, the main window moves aside as little as it must; else the same above
// or below. Only a screen too small for both side by side in either direction
// lets them overlap (the window then keeps to the side with more room).
struct SideBySide {
  QPoint main;    // the main window's frame position (unchanged when it need not move)
  QPoint window;  // the window's
};
SideBySide PlaceBeside(const QRect& main, const QSize& size, const QRect& available);

class CCalib3DScene : public QWidget, public CResultsWindow {
  Q_OBJECT
 public:
  // Control identifiers of the window.
  enum ControlId {
    kExitId = 3,
    kMinimizeId = 4,
    kMoveWorldId = 5,
    kViewModeId = 7,
    kPreviousCameraId = 8,
    kNextCameraId = 9,
    kAliasId = 10,
    kViewAreaId = 1027,
    kTitleId = 1029,
    kSidePanelId = 1065,
  };

  // The store gives the views' pictures for thumbnails; the folder prefixes
  // the graphics paths. The window starts hidden.
  CCalib3DScene(CCalibrationData* store, const std::string& applicationFolder, QWidget* parent = nullptr);
  ~CCalib3DScene() override;

  void SetStore(CCalibrationData* store) { store_ = store; }

  // The results of camera `camera`'s last calibration run replace whatever
  // the window showed: a grid (drawn with the camera's own grid) and a
  // pyramid with the view's picture for every view that took part, framed
  // by the eye, with the mouse's turns and shifts undone. False (and an
  // empty scene) when the camera has no run to show.
  bool SetCalibrationResults(int camera);
  // Shows the window beside its parent (the main window) when there is
  // room on the screen, at (50, 50) without a parent; not on top of others.
  void ShowResults();
  // The workbench's results window. ShowCalibration is both of the above:
  // what the calibration data panel does after a run.
  QWidget* Window() override { return this; }
  void ShowCalibration(int camera) override;
  void CameraNumbersChanged(int position, int delta) override;
  void RunChanged(int camera) override;
  // The camera whose run is shown, -1 for none.
  int ShownCamera() const { return shownCamera_; }

  // Commands of the side panel and the hidden "Alias" button.
  void MoveWorld();
  void ToggleViewMode();
  void PreviousCamera();
  void NextCamera();
  void ToggleAntiAliasing();

  void Render();
  // The picture of the view area as drawn now; null without OpenGL.
  QImage GrabPicture();
  // The window's own rendering of itself (labels, side panel, view area).
  QImage GrabWindow();

  bool HasOpenGL() const;
  const D3D::SceneContent& Content() const { return content_; }
  CCalib3DView* View() const { return view_; }
  QRect ViewArea() const { return viewArea_; }
  QRect TitleBand() const { return titleBand_; }
  QWidget* TitleWidget() const;
  CHoverButtonEx* Button(int id) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void CreateTitleBand();
  void CreateViewArea();
  void CreateSidePanel();
  void CreateTitleButtons();
  bool HandleTitleMouse(QEvent* event);
  void AddThumbnails(int camera, const std::vector<int>& views);

  // Empties the scene and hides the window.
  void Withdraw();

  CCalibrationData* store_;
  int shownCamera_ = -1;
  std::string applicationFolder_;
  D3D::SceneContent content_;
  QRect templateRect_;
  QRect titleBand_;
  QRect viewArea_;
  QRect sidePanel_;
  CStaticEx* title_ = nullptr;
  CCalib3DView* view_ = nullptr;
  QWidget* viewPane_ = nullptr;
  QWidget* sidePanelWidget_ = nullptr;
  std::array<CHoverButtonEx*, 6> buttons_{};
  bool dragging_ = false;
  QPoint dragOffset_;
};

// The factory the executable gives the workbench: a hidden 3D results window.
CResultsWindow* CreateCalib3DScene(CCalibrationData* store, const std::string& applicationFolder, QWidget* parent);
