#pragma once
// A camera's views as a grid of 40 x 40 thumbnails (disabled views tinted
// orange) with three buttons: add image files, remove (no action) and
// disable/enable the selected view. Drawn off-screen, copied when painted.

#include <QFont>
#include <QImage>
#include <QRect>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

class CCalibrationData;
class CHoverButtonEx;

class CImageListControl : public QWidget {
  Q_OBJECT
 public:
  enum ControlId { kIdAddImages = 1044, kIdRemove = 1043, kIdDisable = 1045 };
  static constexpr int kThumbnailSize = 40;
  static constexpr int kThumbnailGap = 5;
  static constexpr int kThumbnailPitch = kThumbnailSize + kThumbnailGap;
  static constexpr int kHitTableSize = 200;
  static constexpr uint32_t kBackgroundColour = 0xFF414141;
  static constexpr uint32_t kDisabledTint = 0x96FFBF64;
  static constexpr uint32_t kSelectionColour = 0xFFFFBF00;
  // The file filter of the Add images dialog, in the framework's "a|b|c|d||" form.
  static const char* const kImageFilter;

  // Asks the user for image files; an empty list means cancelled.
  using ImageFilePrompt = std::function<QStringList()>;

  explicit CImageListControl(QWidget* parent = nullptr, int id = 0);
  ~CImageListControl() override;

  int Id() const { return id_; }
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  // Back buffer at the client size and the three buttons; call once the list has its size.
  void Init();
  void Bind(CCalibrationData* store, int camera);
  void SetImageFilePrompt(ImageFilePrompt prompt) { askImageFiles_ = std::move(prompt); }
  // Told after image files were added, with the view counts from before.
  void SetViewsArrived(std::function<void(const std::vector<int>& before)> hook) { viewsArrived_ = std::move(hook); }

  // A click at list coordinates selects the view under it (possibly past the last view).
  void Click(int x, int y);
  // Commands of the buttons.
  void AddImages();
  void AddImageFiles(const QStringList& paths);
  void ToggleSelectedView();

  int Camera() const { return camera_; }
  int SelectedView() const { return selectedView_; }
  int Columns() const;
  // Where view `view` was drawn last (empty when it has no hit rectangle).
  QRect ThumbnailRect(int view) const;
  const QImage& BackBuffer() const { return backBuffer_; }
  CHoverButtonEx* Button(int id) const;
  // Draws the thumbnails into the back buffer; Redraw also repaints.
  void Draw();
  void Redraw();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateButtons();
  void DrawThumbnails(class QPainter& painter);
  QStringList AskImageFiles();

  int id_;
  std::string applicationFolder_;
  CCalibrationData* store_ = nullptr;
  int camera_ = -1;
  int selectedView_ = -1;
  std::array<QRect, kHitTableSize> hitTable_{};
  std::array<CHoverButtonEx*, 3> buttons_{};
  QImage backBuffer_;
  QFont font_;
  ImageFilePrompt askImageFiles_;
  std::function<void(const std::vector<int>& before)> viewsArrived_;
  bool initialised_ = false;
};

// The framework-style filter ("Name|patterns|Name|patterns||") as a Qt file dialog filter.
QString QtFileFilter(const QString& frameworkFilter);
// The multi-select Add images dialog; empty when cancelled.
QStringList RunAddImagesDialog(QWidget* parent);
