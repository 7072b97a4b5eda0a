#pragma once
// The residual window of a calibration run, in two tabs. "Residuals and
// coverage": a scatter of every corner's residual vector coloured by view, a
// histogram of the residual lengths and the coverage of the image by the
// corners (with their residuals magnified), drawn with QPainter into one
// picture. "Projection uncertainty": the run's uncertainty map as a heat map
// over the image with contour lines, its colour scale in pixels and the
// verdict on the views.

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>
#include <vector>

#include "app/RunDiagnostics.h"
#include "calib/ProjectionUncertainty.h"

class QTabBar;

// Counts of residual lengths in `bins` equal bins over [0, maxLength]; longer ones go to the last bin.
std::vector<int> LengthHistogram(const std::vector<CornerResidual>& corners, int bins, double maxLength);
// The colour of the n-th view of a run (well apart for neighbouring n).
QColor ViewColour(int n);
// The heat map's colour of `value` on a scale from 0 to `top` (dark blue through green to red; above `top`: red).
QColor HeatColour(double value, double top);
// The top of the heat map's colour scale for a map: a round number close above its worst finite value, but no
// more than three times the worst value of the image's centre rounded up, so a few very uncertain corners do
// not wash out the rest.
double HeatScaleTop(const ProjectionUncertaintyMap& map);
// The contour levels drawn at that scale: round steps strictly between 0 and `top`.
std::vector<double> ContourLevels(double top);
// The map's value at an image position, interpolated between cell centres (infinity beside a cell without a ray).
double InterpolatedSigma(const ProjectionUncertaintyMap& map, double x, double y);

class CResidualWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHistogramBins = 30;
  static constexpr uint32_t kBackgroundColour = 0xFF4B4B4B;
  static constexpr uint32_t kPlotColour = 0xFF3C3C3C;

  explicit CResidualWindow(QWidget* parent = nullptr);

  enum Tab { kResidualsTab = 0, kUncertaintyTab = 1 };

  // The residuals of one run and the image size of its camera.
  void SetResiduals(const QString& title, std::vector<CornerResidual> corners, std::vector<ViewError> errors,
                    int imageWidth, int imageHeight);
  const std::vector<CornerResidual>& Corners() const { return corners_; }

  // That run's projection uncertainty map (`unit`: of its distance) and the verdict on its views.
  void SetUncertainty(ProjectionUncertaintyMap map, const QString& unit, const QString& verdict);
  const ProjectionUncertaintyMap& Uncertainty() const { return uncertainty_; }
  QTabBar* Tabs() const { return tabs_; }
  int CurrentTab() const;

  // The residuals picture at `size`; the window paints it at its own size below the tabs.
  QImage Render(const QSize& size) const;
  // The uncertainty picture at `size`.
  QImage RenderUncertainty(const QSize& size) const;
  // Where the heat map's image lands in the uncertainty picture at `size`.
  QRectF HeatMapRect(const QSize& size) const;
  // What the window shows now, at its own size below the tabs.
  QImage Picture() const;
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
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Layout;
  Layout LayoutFor(const QSize& size) const;
  void DrawScatter(class QPainter& painter, const QRectF& area) const;
  void DrawHistogram(QPainter& painter, const QRectF& area) const;
  void DrawCoverage(QPainter& painter, const QRectF& area) const;
  void DrawLegend(QPainter& painter, const QRectF& area) const;
  void DrawHeatMap(QPainter& painter, const QRectF& area, double top) const;
  void DrawContours(QPainter& painter, const QRectF& area, double top) const;
  void DrawColourScale(QPainter& painter, const QRectF& area, double top) const;
  QSize PictureSize() const;
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
  ProjectionUncertaintyMap uncertainty_;
  QString distanceUnit_;
  QString verdict_;
  QTabBar* tabs_ = nullptr;
};
