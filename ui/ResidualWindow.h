#pragma once
// The residual window of a calibration run: a scatter of every corner's
// residual vector coloured by view, a histogram of the residual lengths and
// the coverage of the image by the corners (with their residuals magnified),
// drawn with QPainter into one picture.

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>
#include <vector>

#include "app/RunDiagnostics.h"

// Counts of residual lengths in `bins` equal bins over [0, maxLength]; longer ones go to the last bin.
std::vector<int> LengthHistogram(const std::vector<CornerResidual>& corners, int bins, double maxLength);
// The colour of the n-th view of a run (well apart for neighbouring n).
QColor ViewColour(int n);

class CResidualWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHistogramBins = 30;
  static constexpr uint32_t kBackgroundColour = 0xFF4B4B4B;
  static constexpr uint32_t kPlotColour = 0xFF3C3C3C;

  explicit CResidualWindow(QWidget* parent = nullptr);

  // The residuals of one run and the image size of its camera.
  void SetResiduals(const QString& title, std::vector<CornerResidual> corners, std::vector<ViewError> errors,
                    int imageWidth, int imageHeight);
  const std::vector<CornerResidual>& Corners() const { return corners_; }

  // The whole picture at `size`; the window paints it at its own size.
  QImage Render(const QSize& size) const;
  // Where the scatter plot's origin lands and how many widget pixels one residual pixel is, at `size`.
  QPointF ScatterOrigin(const QSize& size) const;
  double ScatterScale(const QSize& size) const;
  // "View N: rms" of the i-th view drawn, with " outlier" when it is one.
  QString LegendText(size_t i, bool* outlier = nullptr) const;
  // As many legend columns (at most 4) as the widest text leaves room for in `width`.
  int LegendColumns(double width) const;
  // The width a legend column needs for its widest text.
  int LegendCellWidth() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Layout;
  Layout LayoutFor(const QSize& size) const;
  void DrawScatter(class QPainter& painter, const QRectF& area) const;
  void DrawHistogram(QPainter& painter, const QRectF& area) const;
  void DrawCoverage(QPainter& painter, const QRectF& area) const;
  void DrawLegend(QPainter& painter, const QRectF& area) const;
  int ColourIndex(int view) const;
  double ScatterRange() const;
  double MaxLength() const;

  QString title_;
  std::vector<CornerResidual> corners_;
  std::vector<ViewError> errors_;
  std::vector<int> views_;  // store views in run order
  int imageWidth_ = 0;
  int imageHeight_ = 0;
  double rms_ = 0.0;
};
