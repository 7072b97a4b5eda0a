#pragma once
// A camera's views as a grid of 40 x 40 thumbnails (disabled views tinted
// orange) with three buttons: add image files, remove the selected view and
// disable/enable it. The thumbnails scroll (wheel and drawn scroll bar) above
// the buttons when they do not fit. After a calibration run each view that
// took part carries its reprojection error on a strip at the bottom of its
// thumbnail, amber for a likely outlier. Drawn off-screen, copied when painted.

#include <QFont>
#include <QImage>
#include <QRect>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/RunDiagnostics.h"

class CCalibrationData;
class CHoverButtonEx;
class CScrollBarEx;

class CImageListControl : public QWidget {
  Q_OBJECT
 public:
  enum ControlId { kIdAddImages = 1044, kIdRemove = 1043, kIdDisable = 1045 };
  static constexpr int kThumbnailSize = 40;
  static constexpr int kThumbnailGap = 5;
  static constexpr int kThumbnailPitch = kThumbnailSize + kThumbnailGap;
  static constexpr int kMargin = 10;
  static constexpr int kButtonRowFromBottom = 35;
  static constexpr uint32_t kBackgroundColour = 0xFF414141;
  static constexpr uint32_t kDisabledTint = 0x96FFBF64;
  static constexpr uint32_t kSelectionColour = 0xFFFFBF00;
  static constexpr int kErrorStripHeight = 11;
  static constexpr uint32_t kErrorStripColour = 0xC8000000;
  static constexpr uint32_t kOutlierStripColour = 0xF0FFBF00;
  // The file filter of the Add images dialog, in the framework's "a|b|c|d||" form.
  static const char* const kImageFilter;

  // Asks the user for image files; an empty list means cancelled.
  using ImageFilePrompt = std::function<QStringList()>;
  // Runs a command of the buttons, turning failures into messages.
  using CommandGuard = std::function<void(const std::function<void()>& command)>;

  explicit CImageListControl(QWidget* parent = nullptr, int id = 0);
  ~CImageListControl() override;

  int Id() const { return id_; }
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  // Back buffer at the client size, the buttons and the scroll bar; call once the list has its size.
  void Init();
  // Shows a camera's views from the top, none selected (camera -1: none).
  void Bind(CCalibrationData* store, int camera);
  void SetImageFilePrompt(ImageFilePrompt prompt) { askImageFiles_ = std::move(prompt); }
  // Told after image files were added, with the view counts from before.
  void SetViewsArrived(std::function<void(const std::vector<int>& before)> hook) { viewsArrived_ = std::move(hook); }
  void SetCommandGuard(CommandGuard guard) { guard_ = std::move(guard); }
  // Shows a message (unset: a message box).
  void SetMessage(std::function<void(const QString&)> message) { message_ = std::move(message); }
  // What "Remove" does (the owner asks and removes).
  void SetRemoveCommand(std::function<void()> command) { removeCommand_ = std::move(command); }

  // A click at list coordinates selects the view under it (none off the
  // thumbnails); a click on the error strip of an enabled outlier also
  // disables that view.
  void Click(int x, int y);
  // The per-view errors of the bound camera's last run, as drawn now.
  std::vector<ViewError> ViewErrors() const;
  // Where a view's error strip is now (empty when the view shows no error).
  QRect ErrorStripRect(int view) const;
  // The view whose thumbnail is at list coordinates, -1 for none.
  int ViewAt(int x, int y) const;
  // Selects a view (-1 for none) and scrolls it into sight.
  void SelectView(int view);
  void Wheel(int angleDelta);
  // Commands of the buttons.
  void AddImages();
  void AddImageFiles(const QStringList& paths);
  void ToggleSelectedView();

  CCalibrationData* Store() const { return store_; }
  int Camera() const { return camera_; }
  int SelectedView() const { return selectedView_; }
  int Columns() const;
  // The part of the list the thumbnails are drawn in, above the buttons.
  QRect ThumbnailArea() const;
  // Where view `view`'s thumbnail is now, in list coordinates (possibly out of sight).
  QRect ThumbnailRect(int view) const;
  int ScrollOffset() const;
  CScrollBarEx* ScrollBar() const { return scrollBar_; }
  const QImage& BackBuffer() const { return backBuffer_; }
  CHoverButtonEx* Button(int id) const;
  // Draws the thumbnails into the back buffer; Redraw also repaints.
  void Draw();
  void Redraw();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void CreateButtons();
  void PlaceChildren();
  void UpdateScrollRange();
  void RunGuarded(const std::function<void()>& command);
  void DrawThumbnails(class QPainter& painter);
  void DrawViewErrors(QPainter& painter, const std::vector<ViewError>& errors);
  QStringList AskImageFiles();
  int ViewCount() const;
  // Says why a command did nothing (through the panel's message when set).
  void Tell(const QString& text);

  int id_;
  std::string applicationFolder_;
  CCalibrationData* store_ = nullptr;
  int camera_ = -1;
  int selectedView_ = -1;
  std::array<CHoverButtonEx*, 3> buttons_{};
  CScrollBarEx* scrollBar_ = nullptr;
  QImage backBuffer_;
  ImageFilePrompt askImageFiles_;
  std::function<void(const std::vector<int>& before)> viewsArrived_;
  CommandGuard guard_;
  std::function<void()> removeCommand_;
  std::function<void(const QString&)> message_;
  bool initialised_ = false;
};

// The framework-style filter ("Name|patterns|Name|patterns||") as a Qt file dialog filter.
QString QtFileFilter(const QString& frameworkFilter);
// The multi-select Add images dialog; empty when cancelled.
QStringList RunAddImagesDialog(QWidget* parent);
