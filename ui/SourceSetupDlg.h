#pragma once
// The source set-up dialog: how a source's frames are split into sub-views,
// whether they hold interlaced fields, and which sub-view feeds which camera.
// It draws itself, moves by its title band, and for a live source offers the
// capture device's property pages.

#include <QDialog>
#include <QFont>
#include <QImage>
#include <QRect>
#include <functional>

#include "sources/SourceModel.h"

class QLabel;
class QPushButton;

class CSourceSetupDlg : public QDialog {
  Q_OBJECT
 public:
  enum ControlId { kIdTitle = 1031, kIdOk = 1, kIdCancel = 2, kIdCaptureFilter = 4, kIdCapturePin = 5 };
  // Which option box a point falls in.
  enum class Box { kNone, kSplitNone, kSplitStereo, kSplitQuad, kDeinterlaceNone, kDeinterlaceFields };

  explicit CSourceSetupDlg(QWidget* parent = nullptr);

  void SetSettings(const SourceSettings& settings);
  // The chosen deinterlace and split, with the default sub-view cameras.
  SourceSettings GetSettings() const;
  void SetLiveSource(bool live);
  // What the property buttons run for a live source.
  void SetCaptureActions(std::function<void()> captureFilter, std::function<void()> capturePin);

  int TitleHeight() const;
  QRect BoxRect(Box box) const;
  QRect CameraBoxRect(int index) const;
  Box BoxAt(QPoint point) const;
  QPushButton* Button(int id) const;
  const QImage& BackBuffer() const { return image_; }

  // A left click at client coordinates: selects an option box.
  void Click(QPoint point);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateControls();
  void Redraw();
  void DrawHeader(QPainter& painter);
  void DrawOptionBox(QPainter& painter, const QRect& box, const QString& label, bool chosen);
  void DrawCameraBox(QPainter& painter, int index);

  QLabel* title_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* captureFilter_ = nullptr;
  QPushButton* capturePin_ = nullptr;
  std::function<void()> onCaptureFilter_;
  std::function<void()> onCapturePin_;
  QImage image_;
  QFont headerFont_;
  QFont boxFont_;
  int deinterlace_ = kDeinterlaceNone;
  int split_ = kSplitNone;
  bool moving_ = false;
  QPoint moveAnchor_;
};
