// The residual window: histogram counts, residuals placed where their vector
// points, colours per view, and a picture of a real run for a person to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <cmath>

#include "UiTestSupport.h"
#include "calib/CalibrationProblem.h"
#include "synth/SyntheticViews.h"
#include "ui/ResidualWindow.h"
#include "support/TestPaths.h"

namespace {

CornerResidual Corner(int view, double x, double y, double dx, double dy) {
  CornerResidual c;
  c.view = view;
  c.observed = ImagePoint{x, y};
  c.dx = dx;
  c.dy = dy;
  return c;
}

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 && std::abs(a.blue() - b.blue()) < 40;
}

}  // namespace

TEST(ResidualWindow, HistogramCountsEveryCornerOnceAndClampsTheLongest) {
  const std::vector<CornerResidual> corners = {Corner(0, 0, 0, 0.3, 0.4), Corner(0, 0, 0, 0.0, 0.05),
                                               Corner(1, 0, 0, 3.0, 4.0), Corner(1, 0, 0, -0.6, 0.8)};
  const std::vector<int> counts = LengthHistogram(corners, 10, 1.0);
  ASSERT_EQ(counts.size(), 10u);
  EXPECT_EQ(counts[0], 1);  // 0.05
  EXPECT_EQ(counts[5], 1);  // 0.5
  EXPECT_EQ(counts[9], 2);  // 1.0 and 5.0, beyond the range
  EXPECT_EQ(LengthHistogram(corners, 4, 0.0)[0], 4);
}

TEST(ResidualWindow, EachResidualIsDrawnAtItsVectorInItsViewsColour) {
  TestApplication();
  CResidualWindow window;
  // Two views; the second one's single corner points right and down.
  window.SetResiduals("Camera 1", {Corner(4, 100, 100, -1.0, 0.0), Corner(7, 300, 200, 1.5, 1.0)}, {}, 640, 480);
  const QSize size(960, 640);
  const QImage picture = window.Render(size);
  const QPointF origin = window.ScatterOrigin(size);
  const double scale = window.ScatterScale(size);
  const QPoint second = (origin + QPointF(1.5, 1.0) * scale).toPoint();
  const QPoint first = (origin + QPointF(-1.0, 0.0) * scale).toPoint();
  EXPECT_TRUE(Near(picture.pixelColor(second), ViewColour(1))) << picture.pixelColor(second).name().toStdString();
  EXPECT_TRUE(Near(picture.pixelColor(first), ViewColour(0))) << picture.pixelColor(first).name().toStdString();
  EXPECT_FALSE(Near(ViewColour(0), ViewColour(1)));
  // Mirrored, nothing was drawn.
  const QPoint mirrored = (origin + QPointF(-1.5, -1.0) * scale).toPoint();
  EXPECT_FALSE(Near(picture.pixelColor(mirrored), ViewColour(1)));
}

TEST(Screenshot, ResidualWindowOfASyntheticRunWithOneDisturbedView) {
  TestApplication();
  SyntheticOptions options;
  options.views = 10;
  options.pointNoise = 0.15;
  options.renderImages = false;
  options.camera.coefficients[0] = -0.12;
  options.camera.coefficients[1] = 0.04;
  SyntheticRig rig = MakeSyntheticRig(options);
  PointList& slipped = rig.cameras[0].points[6];  // corners marked carelessly in one view
  for (size_t k = 0; k < slipped.size(); ++k) slipped[k].x += (k % 2 ? 0.7 : -0.7);
  CalibrationProblem problem;
  ASSERT_TRUE(problem.Calibrate(rig.cameras[0].points, rig.grid, 640, 480));
  const CameraFit fit = FitOf(problem);
  CResidualWindow window;
  window.SetResiduals("Camera 1", CornerResiduals(fit), PerViewErrors(fit), 640, 480);
  const QImage picture = window.Render(QSize(960, 640));
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(picture.save(QString(TestScreenshotDir()) + "/residual_window.png"));
  EXPECT_EQ(window.Corners().size(), 10u * 54u);
  // The disturbed view is named an outlier, and its label fits its column.
  bool outlier = false;
  EXPECT_TRUE(window.LegendText(6, &outlier).endsWith(" outlier")) << window.LegendText(6).toStdString();
  EXPECT_TRUE(outlier);
  for (const double width : {560.0, 420.0, 300.0, 120.0}) {
    const int columns = window.LegendColumns(width);
    EXPECT_TRUE(columns == 1 || columns * window.LegendCellWidth() <= width) << width;
    EXPECT_GE(columns, 1);
  }
  EXPECT_LT(window.LegendColumns(300.0), 4) << "four columns cannot hold \"View 7: 0.xxx outlier\" in 300 pixels";
}
