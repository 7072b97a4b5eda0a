#pragma once
// The calibration object editor: a frameless tool window that shows one view
// of a camera scaled into its image area, takes the four border-point clicks
// of the grid, estimates every grid corner after the fourth, steps through the
// camera's views, resets a view and edits the camera's grid description.
//
// Border points (magenta) and their connecting lines (green) are marks of the
// moment: they stay until the editor next redraws the image area on its own
// account (another view, a reset, showing the window), which then shows the
// view image and its red grid corners only.

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QString>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/Records.h"
#include "grid/GridExtraction.h"

class CCalibrationData;
class CGridDetector;
class CHoverButtonEx;
class CObjectProperties;
class CStaticEx;
class QCursor;
class QPainter;

class CObjectEditDlg : public QDialog {
  Q_OBJECT
 public:
  enum ControlId {
    kIdNext = 3,
    kIdPrevious = 4,
    kIdImageArea = 1010,
    kIdReset = 1011,
    kIdEstimate = 1012,
    kIdGridProperties = 1017,
    kIdDistortionPlus = 1018,
    kIdDistortionMinus = 1019,
    kIdClose = 1022,
    kIdDock = 1023,
    kIdTitle = 1026,
    kIdSelect = 1030,
    kIdSidePanel = 1041,
    kIdBottomPanel = 1042,
    kIdMoreDistortion = 1067,
    kIdLessDistortion = 1068,
    kIdDetect = 1069,
  };

  // A mark drawn over the image area, in display coordinates.
  struct Mark {
    enum Kind { kBorderPoint, kBorderLine } kind;
    QPointF from;
    QPointF to;  // lines only
  };

  explicit CObjectEditDlg(QWidget* parent = nullptr);
  ~CObjectEditDlg() override;

  // Set by the main window before Create().
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  void SetData(CCalibrationData* data) { data_ = data; }
  // The workbench's detector; "Detect grid" does nothing without one.
  void SetDetector(CGridDetector* detector);
  // Builds the controls; call once.
  void Create();

  // What the calibration data panel does on a double-click: the camera's
  // first view, window shown.
  void OpenOn(int camera);
  void SetCamera(int camera);
  void SetView(int view);
  // The data panel's selection moved: a visible editor shows that camera
  // (and view, when one is selected).
  void FollowSelection(int camera, int view);
  // The title band's text: the editor, and which camera and view it shows.
  QString TitleText() const;
  int Camera() const { return camera_; }
  int View() const { return view_; }
  bool SelectionMode() const { return selectionMode_; }
  bool ShowPoints() const { return showPoints_; }
  bool Dragging() const { return dragging_; }
  QRect ImageArea() const { return imageArea_; }              // in the image area's own coordinates
  QRect ImageAreaInWindow() const { return imageAreaInWindow_; }
  QRect TitleRect() const { return titleRect_; }
  double ScaleX() const { return scaleX_; }
  double ScaleY() const { return scaleY_; }
  const std::vector<Mark>& Marks() const { return marks_; }
  CHoverButtonEx* Button(int id) const;
  QWidget* Control(int id) const;

  // Commands.
  void OnClose();
  void OnSelect();
  void OnReset();
  void OnGridProperties();
  void OnPrevious();
  void OnNext();
  void OnEstimate();
  // "Detect grid": searches the shown view on the detector's thread.
  void OnDetect();

  // Mouse, in window coordinates (the event handlers call these).
  void LeftButtonDown(QPoint point);
  void LeftButtonUp();
  void MouseMoveWithLeftButton(QPoint point);

  // Redraws the image area from the store alone: view image and grid corners.
  void RepaintImageArea();
  // Draws the view and its marks as the image area shows them.
  void PaintImageArea(QPainter& painter);

 protected:
  // Runs the grid properties dialog modally; QDialog::Accepted on OK.
  virtual int RunPropertiesDialog(CObjectProperties& dialog);
  // A problem with the grid the user has to see.
  virtual void ShowMessage(const QString& text);
  // A yes/no question; true for Yes.
  virtual bool AskYesNo(const QString& text);
  // What to do with views whose points were marked for another grid.
  enum class StaleChoice { Redetect, Clear, Keep };
  virtual StaleChoice AskStaleChoice(const QString& text);

  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void reject() override;

 private:
  void CreatePanels();
  void CreateTemplateButtons();
  void CreateImageButtons();
  CHoverButtonEx* AddImageButton(int id, const QString& text, QPoint position, QSize region, bool round,
                                 const char* graphic, const QString& tooltip);
  bool ViewShown() const;
  bool ValidViewShown() const;
  bool UpdateScales();
  void ClickInImage(QPoint point);
  void RunEstimation();
  void SetSelectionMode(bool on);
  void ViewDetected(int camera, int view, GridStatus status);
  void MarkBorder();
  // Says which views hold points marked for another grid and offers to detect
  // the grid in them again or clear them.
  void OfferToClearStaleViews();
  void UpdateTitle();

  std::string applicationFolder_;
  CCalibrationData* data_ = nullptr;
  bool created_ = false;
  bool showPoints_ = true;
  QWidget* imageAreaControl_ = nullptr;
  QRect imageArea_;
  QRect imageAreaInWindow_;
  int camera_ = -1;
  int view_ = -1;
  double scaleX_ = 1.0;
  double scaleY_ = 1.0;
  double inverseScaleX_ = 1.0;
  double inverseScaleY_ = 1.0;
  bool selectionMode_ = false;
  QRect titleRect_;
  bool dragging_ = false;
  QPoint dragStart_;
  CStaticEx* title_ = nullptr;
  CStaticEx* sidePanel_ = nullptr;
  CStaticEx* bottomPanel_ = nullptr;
  std::map<int, CHoverButtonEx*> buttons_;
  std::map<int, QWidget*> controls_;
  std::vector<Mark> marks_;
  CGridDetector* detector_ = nullptr;
  std::optional<std::pair<int, int>> detectionAsked_;  // camera and view of "Detect grid"
};

// Creates the editor as the main window does at start: a hidden, frameless
// top-level window owned by `owner` (deleted with it), with the application
// folder and the store it works on.
CObjectEditDlg* CreateObjectEditor(QWidget* owner, const std::string& applicationFolder, CCalibrationData* data);

// The cross-hair cursor of the selection mode.
QCursor SelectionCursor();
