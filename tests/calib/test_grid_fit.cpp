// Whether a point list can be the camera's grid seen through a lens.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "calib/GridFit.h"
#include "synth/SyntheticViews.h"
#include "tests/calib/LensViews.h"

namespace {

SyntheticRig Views(double k1, double k2, double noise, int views = 10) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{30.0, 30.0, 9, 6, 3, 3};
  options.camera = SyntheticCamera{560, 560, 319.5, 239.5, LensModel::PinholeRadtan, {k1, k2, 0.001, -0.001}, 640, 480};
  options.pointNoise = noise;
  options.renderImages = false;
  options.seed = 3;
  return MakeSyntheticRig(options);
}

}  // namespace

TEST(GridFit, ViewsThroughStronglyDistortingLensesFit) {
  for (const auto& [k1, k2] : {std::pair{0.0, 0.0}, {-0.3, 0.08}, {-0.45, 0.15}, {0.2, 0.0}}) {
    const SyntheticRig rig = Views(k1, k2, 0.3);
    for (size_t v = 0; v < rig.cameras[0].points.size(); ++v) {
      const GridFit fit = FitPointsToGrid(rig.cameras[0].points[v], 9, 6, 640, 480);
      EXPECT_TRUE(fit.fits) << "k1 " << k1 << " view " << v << ": rms " << fit.rms << " worst " << fit.worst
                            << " square " << fit.squareSize;
      EXPECT_LT(fit.rms, 0.6) << "k1 " << k1 << " view " << v;
    }
  }
  // Without the image size the points' own middle stands in for its centre.
  const SyntheticRig rig = Views(-0.3, 0.08, 0.1);
  EXPECT_TRUE(FitPointsToGrid(rig.cameras[0].points[0], 9, 6).fits);
}

TEST(GridFit, ListsReadWithTheWrongGridOrWithAStrayCornerDoNotFit) {
  const SyntheticRig rig = Views(-0.3, 0.08, 0.1);
  for (size_t v = 0; v < rig.cameras[0].points.size(); ++v) {
    const PointList& points = rig.cameras[0].points[v];
    const GridFit transposed = FitPointsToGrid(points, 6, 9, 640, 480);
    EXPECT_FALSE(transposed.fits) << "view " << v;
    EXPECT_GT(transposed.rms, 0.5 * transposed.squareSize) << "view " << v;
    EXPECT_EQ(GridThatFits(points, 6, 9, 640, 480), std::make_optional(std::make_pair(9, 6))) << "view " << v;
    EXPECT_EQ(GridThatFits(points, 9, 6, 640, 480), std::nullopt) << "it fits its own grid, and no other";

    // One corner settled on the edge of the neighbouring square, 0.6 of a square off.
    PointList stray = points;
    const ImagePoint& next = points[23];
    stray[22].x += 0.6 * (next.x - stray[22].x);
    stray[22].y += 0.6 * (next.y - stray[22].y);
    const GridFit fit = FitPointsToGrid(stray, 9, 6, 640, 480);
    EXPECT_FALSE(fit.fits) << "view " << v << ": worst " << fit.worst << " square " << fit.squareSize;
  }
  // Lists of the wrong length, too few points a side, nothing finite.
  const PointList& points = rig.cameras[0].points[0];
  EXPECT_FALSE(FitPointsToGrid(points, 9, 5).fits);
  EXPECT_FALSE(FitPointsToGrid(PointList(points.begin(), points.begin() + 9), 9, 1).fits);
  EXPECT_FALSE(FitPointsToGrid(PointList(54, ImagePoint{3, 4}), 9, 6).fits);
  PointList broken = points;
  broken[7].x = std::nan("");
  EXPECT_FALSE(FitPointsToGrid(broken, 9, 6).fits);
  EXPECT_EQ(GridSizeText(9, 6), "9x6");
}

// A 190-degree fisheye bends a board beside it more than one radial term
// follows; patch by patch its views fit, and wrong lists still do not.
TEST(GridFit, FisheyeViewsFitPatchByPatchAndWrongListsStillDoNot) {
  lens_views::Options options;
  options.views = 12;
  options.grid = GridDescription{30.0, 30.0, 10, 7, 5, 5};
  const lens_views::Views views = lens_views::Make(lens_views::FisheyeTruth(190.0), options);
  int wholeListsFailing = 0;
  for (size_t v = 0; v < views.points.size(); ++v) {
    const PointList& points = views.points[v];
    if (!FitPointsToGrid(points, 10, 7, 1280, 960).fits) ++wholeListsFailing;
    const GridFit fit = FitPointsToGridPiecewise(points, 10, 7, 1280, 960);
    EXPECT_TRUE(fit.fits) << "view " << v << ": rms " << fit.rms << " worst " << fit.worst;
    EXPECT_FALSE(FitPointsToGridPiecewise(points, 7, 10, 1280, 960).fits) << "transposed, view " << v;
    PointList stray = points;
    stray[33].x += 0.6 * (points[34].x - points[33].x);
    stray[33].y += 0.6 * (points[34].y - points[33].y);
    EXPECT_FALSE(FitPointsToGridPiecewise(stray, 10, 7, 1280, 960).fits) << "stray corner, view " << v;
  }
  EXPECT_GT(wholeListsFailing, 0) << "the views reach the edge of the lens, where one term is not enough";
}
