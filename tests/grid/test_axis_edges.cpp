// Corners whose grid lines run within a degree of a pixel axis, refined from
// their true places in pictures blurred the way a lens blurs: before each
// pixel integrates the light.

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "grid/CornerRefinement.h"
#include "synth/BoardRenderer.h"
#include "synth/SmallMatrix.h"
#include "synth/SyntheticViews.h"

namespace {

using small_matrix::kDegree;
using small_matrix::kPi;
constexpr double kBlur = 0.6;

// Per-axis RMS error (px) of the refined corners of frontal boards turned
// less than a degree in their plane, each moved by a fraction of a pixel, in
// the 8-bit pictures `draw` makes.
template <typename Draw>
double AxisCornerError(Draw draw) {
  const SyntheticCamera camera = TypicalSyntheticCamera();
  const BoardRenderer renderer(camera);
  const GridDescription grid{30.0, 30.0, 9, 6, 3, 3};
  double sum = 0.0;
  int count = 0;
  for (double roll : {0.0, 0.3, -0.6}) {
    for (double shift : {0.0, 0.21, 0.43, 0.64}) {
      // Object X to the right, Y up in the image; the board's middle near the picture's centre.
      const double across = shift * 900.0 / camera.fx, down = shift * 450.0 / camera.fy;
      const SyntheticPose pose = PoseFromVectors({kPi, 0.0, 0.0}, {-120.0 + across, 75.0 + down, 900.0});
      SyntheticPose rolled = PoseFromVectors({0.0, 0.0, roll * kDegree}, {});
      rolled.R = small_matrix::Multiply(rolled.R, pose.R);
      rolled.t = pose.t;
      cv::Mat gray;
      draw(renderer, rolled, grid).convertTo(gray, CV_8U);
      const PointList truth = ProjectGrid(camera, rolled, grid);
      PointList refined;
      EXPECT_EQ(RefineGridCorners(gray, truth, grid.nx, grid.ny, refined), GridStatus::Ok);
      for (size_t i = 0; i < truth.size() && i < refined.size(); ++i, count += 2)
        sum += std::pow(refined[i].x - truth[i].x, 2) + std::pow(refined[i].y - truth[i].y, 2);
    }
  }
  return std::sqrt(sum / std::max(count, 1));
}

}  // namespace

// Blurred after its pixels, an edge's profile bends at every half pixel and
// the window's gradient weighting finds an edge along a pixel axis a few
// hundredths of a pixel off, the same all along it.
TEST(AxisEdges, CornersLieAtTheirPlaceWhenTheBlurComesBeforeThePixels) {
  const double before = AxisCornerError([](const BoardRenderer& renderer, const SyntheticPose& pose,
                                           const GridDescription& grid) {
    return renderer.RenderExposure(pose, grid, kBlur);
  });
  const double after = AxisCornerError([](const BoardRenderer& renderer, const SyntheticPose& pose,
                                          const GridDescription& grid) {
    cv::Mat grey = renderer.RenderGrey(pose, grid, kExactPixelArea);
    cv::GaussianBlur(grey, grey, cv::Size(0, 0), kBlur);
    return grey;
  });
  EXPECT_LT(before, 0.006);
  EXPECT_GT(after, 0.012);
}
