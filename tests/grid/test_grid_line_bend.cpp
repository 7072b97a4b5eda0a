// Corners whose grid lines bow through a distorting lens: the grid window
// takes each line as straight and would put the corner on the convex side.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"
#include "grid/CornerRefinement.h"
#include "grid/GridLineBend.h"
#include "support/AxisRotation.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// nx x ny corners on a regular grid of `step` pixels, row i bent into the
// parabola y += bends[i] * (x - middle)^2.
PointList BentGrid(int nx, int ny, double step, const std::vector<double>& bends) {
  PointList corners;
  const double middle = 100.0 + step * (nx - 1) / 2.0;
  for (int i = 0; i < ny; ++i)
    for (int j = 0; j < nx; ++j) {
      const double x = 100.0 + step * j;
      corners.push_back({x, 100.0 + step * i + bends[static_cast<size_t>(i)] * (x - middle) * (x - middle)});
    }
  return corners;
}

std::vector<GridWindowReach> EveryReach(size_t count, double reach) {
  return std::vector<GridWindowReach>(count, std::array<double, 2>{reach, reach});
}

TEST(GridLineBend, MovesEachCornerTowardsTheConcaveSideByItsWindowsShare) {
  constexpr int kNx = 9, kNy = 6;
  constexpr double kStep = 30.0, kReach = 18.0;
  // Rows bent both ways and not at all; the columns stay straight.
  const std::vector<double> bends{0.0005, 0.0003, 0.0, 0.0, -0.0003, -0.0005};
  const PointList bent = BentGrid(kNx, kNy, kStep, bends);
  PointList straightened = bent;
  std::vector<GridWindowReach> reach = EveryReach(bent.size(), kReach);
  reach[1 * kNx + 4].reset();  // refined some other way
  StraightenGridWindowCorners(straightened, kNx, kNy, reach);
  for (int i = 0; i < kNy; ++i)
    for (int j = 0; j < kNx; ++j) {
      const size_t k = static_cast<size_t>(i) * kNx + j;
      const double dx = straightened[k].x - bent[k].x, dy = straightened[k].y - bent[k].y;
      EXPECT_NEAR(dx, 0.0, 1e-9) << "the straight column takes no shift across it, corner " << k;
      if (!reach[k] || bends[static_cast<size_t>(i)] == 0.0) {
        EXPECT_NEAR(dy, 0.0, 1e-9) << "corner " << k;
        continue;
      }
      // y = a x^2 bends with curvature 2a at its apex, towards +y for a > 0.
      const double slope = 2.0 * bends[static_cast<size_t>(i)] * (bent[k].x - bent[static_cast<size_t>(i) * kNx + 4].x);
      const double curvature = 2.0 * bends[static_cast<size_t>(i)] / std::pow(1.0 + slope * slope, 1.5);
      // The shift lies across the row's tangent; the column keeps x.
      const double expected = curvature * kReach * kReach / 10.0 * std::sqrt(1.0 + slope * slope);
      EXPECT_NEAR(dy, expected, 1e-6 + 1e-3 * std::abs(expected)) << "corner " << k;
    }
}

TEST(GridLineBend, LeavesLinesAloneThatCannotShowABend) {
  constexpr double kStep = 30.0, kReach = 18.0;
  // Four corners a line fit no curve with any scatter left over: a bent 4x4
  // grid, and the 4-corner columns of a 9x4 one, stay as they are.
  {
    const PointList bent = BentGrid(4, 4, kStep, {0.001, 0.001, 0.001, 0.001});
    PointList straightened = bent;
    StraightenGridWindowCorners(straightened, 4, 4, EveryReach(bent.size(), kReach));
    for (size_t k = 0; k < bent.size(); ++k) EXPECT_EQ(straightened[k].y, bent[k].y) << k;
  }
  // A corner that is not a number leaves its row and column alone and
  // spreads to no other corner; the rows and columns clear of it are still
  // straightened.
  {
    PointList bent = BentGrid(9, 6, kStep, {0.0005, 0.0005, 0.0005, 0.0005, 0.0005, 0.0005});
    bent[2 * 9 + 3].y = std::numeric_limits<double>::quiet_NaN();
    PointList straightened = bent;
    StraightenGridWindowCorners(straightened, 9, 6, EveryReach(bent.size(), kReach));
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 9; ++j) {
        const size_t k = static_cast<size_t>(i) * 9 + j;
        if (i == 2 && j == 3) continue;
        ASSERT_TRUE(std::isfinite(straightened[k].x) && std::isfinite(straightened[k].y)) << k;
        if (i == 2) {
          EXPECT_EQ(straightened[k].y, bent[k].y) << k;
        } else if (j != 3) {
          EXPECT_GT(straightened[k].y - bent[k].y, 0.01) << k;
        }
      }
  }
  // A reach list that does not match the grid moves nothing.
  {
    const PointList bent = BentGrid(9, 6, kStep, std::vector<double>(6, 0.0005));
    PointList straightened = bent;
    StraightenGridWindowCorners(straightened, 9, 6, EveryReach(bent.size() - 1, kReach));
    for (size_t k = 0; k < bent.size(); ++k) EXPECT_EQ(straightened[k].y, bent[k].y) << k;
  }
}

// On small noisy squares three neighbouring corners' second difference is
// mostly their noise; the whole line's fit is not. Straight lines with
// 0.05 px of noise on every corner: a bend taken from the second difference
// would move the worst of these corners by about 0.015 px.
TEST(GridLineBend, NoiseOnStraightLinesMovesNoCornerMuch) {
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 0.05);
  double largest = 0.0;
  for (int trial = 0; trial < 50; ++trial) {
    PointList noisy = BentGrid(9, 6, 12.0, std::vector<double>(6, 0.0));
    for (ImagePoint& p : noisy) p.x += noise(random), p.y += noise(random);
    PointList straightened = noisy;
    StraightenGridWindowCorners(straightened, 9, 6, EveryReach(noisy.size(), 7.2));
    for (size_t k = 0; k < noisy.size(); ++k)
      largest = std::max(largest, std::hypot(straightened[k].x - noisy[k].x, straightened[k].y - noisy[k].y));
  }
  EXPECT_LT(largest, 0.008);
}

using small_matrix::Multiply;

// The grid `steps` squares larger all round: the same pose, the grid's
// origin moved back.
PointList GrownGrid(const SyntheticCamera& camera, const SyntheticPose& pose, GridDescription grid, int steps) {
  SyntheticPose shifted = pose;
  for (int r = 0; r < 3; ++r) shifted.t[r] -= steps * (pose.R[r * 3] * grid.dX + pose.R[r * 3 + 1] * grid.dY);
  grid.nx += 2 * steps;
  grid.ny += 2 * steps;
  return ProjectGrid(camera, shifted, grid);
}

bool PrintedBoardInside(const SyntheticCamera& camera, const SyntheticPose& pose, const GridDescription& grid) {
  for (const ImagePoint& p : GrownGrid(camera, pose, grid, 2))
    if (!(p.x > 2 && p.y > 2 && p.x < camera.width - 3 && p.y < camera.height - 3)) return false;
  return true;
}

// Boards in the outer part of a picture through strong barrel distortion,
// turned in their plane so that no line runs along a pixel axis, refined
// from their true corners. Over every line through a corner that bows by
// more than 0.05 px over a step each way, the corner's error across the line
// towards its concave side must average out, and not grow with the bow (the
// straight-line window alone puts it 0.0056 px to the convex side on average,
// growing by 0.066 px per px of bow).
TEST(GridLineBend, CornersNearThePicturesEdgeOfABarrelLensStayOnTheirBentLines) {
  const SyntheticCamera camera{560, 560, 319.5, 239.5, LensModel::PinholeRadtan, {-0.3, 0.08}, 640, 480};
  const GridDescription grid{30.0, 30.0, 9, 6, 3, 3};
  RenderOptions render;
  render.supersampling = 16;
  render.blurSigma = 0.6;
  double sumAcross = 0.0, sumBow = 0.0, sumBowSquared = 0.0, sumBowAcross = 0.0;
  int lines = 0, boards = 0;
  for (int direction = 0; direction < 8; ++direction) {
    const double angle = direction * kPi / 4.0;
    SyntheticPose pose;
    // Facing the camera: object X to the right, object Y up in the image.
    const std::array<double, 9> facing{1, 0, 0, 0, -1, 0, 0, 0, -1};
    const std::array<double, 9> turned{std::cos(0.35), -std::sin(0.35), 0, std::sin(0.35), std::cos(0.35), 0, 0, 0, 1};
    // Tilted about a different axis each time: the lens is symmetric about
    // the picture's centre, and opposite boards would repeat each other.
    const double axis = 1.0 + 0.9 * direction;
    pose.R = Multiply(AxisRotation(std::cos(axis), std::sin(axis), 0.3), Multiply(turned, facing));
    bool placed = false;
    for (double offset = 0.5; offset > 0.2 && !placed; offset -= 0.02) {
      const double depth = 850.0;
      const double centre[2] = {(grid.nx - 1) * grid.dX / 2.0, (grid.ny - 1) * grid.dY / 2.0};
      const double target[3] = {offset * std::cos(angle) * camera.width * depth / camera.fx,
                                offset * std::sin(angle) * camera.height * depth / camera.fy, depth};
      for (int r = 0; r < 3; ++r) pose.t[r] = target[r] - pose.R[r * 3] * centre[0] - pose.R[r * 3 + 1] * centre[1];
      placed = PrintedBoardInside(camera, pose, grid);
    }
    ASSERT_TRUE(placed) << "no board fits towards direction " << direction;
    ++boards;
    const PointList exact = ProjectGrid(camera, pose, grid);
    const PointList grown = GrownGrid(camera, pose, grid, 1);
    cv::Mat gray;
    ASSERT_EQ(MakeGrayImage(RenderBoard(camera, pose, grid, render), gray), GridStatus::Ok);
    PointList refined;
    ASSERT_EQ(RefineGridCorners(gray, exact, grid.nx, grid.ny, refined, 0.25), GridStatus::Ok) << direction;
    const auto grownAt = [&](int i, int j) { return grown[static_cast<size_t>(i + 1) * (grid.nx + 2) + j + 1]; };
    for (int i = 0; i < grid.ny; ++i)
      for (int j = 0; j < grid.nx; ++j) {
        const ImagePoint& truth = exact[static_cast<size_t>(i) * grid.nx + j];
        const ImagePoint& found = refined[static_cast<size_t>(i) * grid.nx + j];
        for (const std::array<int, 2> step : {std::array<int, 2>{0, 1}, std::array<int, 2>{1, 0}}) {
          const ImagePoint a = grownAt(i - step[0], j - step[1]), b = grownAt(i + step[0], j + step[1]);
          // The sagitta across the chord (along it, perspective spaces the
          // corners unevenly); (sx, sy) the unit normal towards the concave side.
          const double chord = std::hypot(b.x - a.x, b.y - a.y);
          double sx = -(b.y - a.y) / chord, sy = (b.x - a.x) / chord;
          const double sagitta = ((a.x + b.x) / 2.0 - truth.x) * sx + ((a.y + b.y) / 2.0 - truth.y) * sy;
          const double bow = std::abs(sagitta);
          if (bow < 0.05) continue;
          if (sagitta < 0.0) sx = -sx, sy = -sy;
          const double across = (found.x - truth.x) * sx + (found.y - truth.y) * sy;
          sumAcross += across;
          sumBow += bow;
          sumBowSquared += bow * bow;
          sumBowAcross += bow * across;
          ++lines;
        }
      }
  }
  ASSERT_GE(lines, 200) << "the boards no longer bow enough to show anything";
  const double mean = sumAcross / lines;
  const double slope = (sumBowAcross - sumBow * mean) / (sumBowSquared - sumBow * sumBow / lines);
  std::printf("%d boards, %d bowed lines (mean bow %.3f px): mean error towards the concave side %+.4f px, "
              "%+.3f px per px of bow\n",
              boards, lines, sumBow / lines, mean, slope);
  EXPECT_NEAR(mean, 0.0, 0.0015);
  EXPECT_NEAR(slope, 0.0, 0.03);
}

}  // namespace
