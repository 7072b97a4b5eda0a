// Coverage of the image by a set of views: board measures on boards of known
// shape, the spreads and the cell share, and spread against clustered sets.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "calib/Coverage.h"
#include "synth/SyntheticViews.h"

namespace {

const GridDescription kGrid3{10.0, 10.0, 3, 3, 3, 3};

// A 3x3 board: origin (first point), one step along a row and one down a column.
PointList Board(double x, double y, double rowStepX, double rowStepY, double columnStepX, double columnStepY) {
  PointList points;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      points.push_back({x + j * rowStepX + i * columnStepX, y + j * rowStepY + i * columnStepY});
  return points;
}

}  // namespace

TEST(Coverage, MeasuresOfSquareShiftedAndShearedBoards) {
  // 50 x 50 px in the middle of a 100 x 100 image.
  const BoardMeasures centred = MeasureBoard(Board(25, 25, 25, 0, 0, 25), kGrid3, 100, 100);
  EXPECT_NEAR(centred.x, 0.5, 1e-12);
  EXPECT_NEAR(centred.y, 0.5, 1e-12);
  EXPECT_NEAR(centred.size, 0.5, 1e-12);
  EXPECT_NEAR(centred.skew, 0.0, 1e-12);

  // Against the left and bottom edges: as far as a board of that size goes.
  const BoardMeasures corner = MeasureBoard(Board(0, 50, 25, 0, 0, 25), kGrid3, 100, 100);
  EXPECT_NEAR(corner.x, 0.0, 1e-12);
  EXPECT_NEAR(corner.y, 1.0, 1e-12);

  // Columns leaning 10 degrees: the corner angle is 80 degrees, 2 x 10 degrees of skew.
  const double lean = std::tan(10.0 * M_PI / 180.0);
  const BoardMeasures sheared = MeasureBoard(Board(25, 25, 25, 0, 25 * lean, 25), kGrid3, 100, 100);
  EXPECT_NEAR(sheared.skew, 2.0 * 10.0 * M_PI / 180.0, 1e-9);
  EXPECT_NEAR(sheared.size, 0.5, 1e-12) << "a parallelogram keeps base times height";

  // A list of another grid measures nothing.
  const BoardMeasures wrong = MeasureBoard(PointList(4), kGrid3, 100, 100);
  EXPECT_EQ(wrong.size, 0.0);
}

TEST(Coverage, SpreadsAndCellShareOfTheCompleteViews) {
  const std::vector<PointList> views = {
      Board(0, 0, 10, 0, 0, 10),      // small, top left
      Board(70, 70, 14.5, 0, 0, 14.5),  // larger, bottom right, corners up to 99
      PointList(5),                  // incomplete: left out
  };
  const CoverageSummary coverage = CoverageOf(views, kGrid3, 100, 100);
  ASSERT_TRUE(coverage.valid);
  ASSERT_EQ(coverage.corners.size(), 100u);
  // The first board's 9 corners in cells (0..2, 0..2), the second's in (7..9, 7..9).
  EXPECT_EQ(coverage.corners[0], 1);
  EXPECT_EQ(coverage.corners[2 * 10 + 2], 1);
  EXPECT_EQ(coverage.corners[9 * 10 + 9], 1);
  EXPECT_EQ(coverage.corners[5 * 10 + 5], 0);
  EXPECT_NEAR(coverage.share, 18.0 / 100.0, 1e-12);
  EXPECT_NEAR(coverage.x, 1.0, 1e-12) << "from edge to edge is more than the range";
  EXPECT_NEAR(coverage.size, std::min(1.0, (0.29 - 0.2) / 0.4), 1e-12);
  EXPECT_NEAR(coverage.skew, 0.0, 1e-12);

  // Points outside the image count in no cell.
  const CoverageSummary outside = CoverageOf({Board(-50, -50, 10, 0, 0, 10)}, kGrid3, 100, 100);
  ASSERT_TRUE(outside.valid);
  EXPECT_EQ(outside.share, 0.0);
  EXPECT_FALSE(CoverageOf(views, kGrid3, 0, 100).valid);
  EXPECT_FALSE(CoverageOf({PointList(5)}, kGrid3, 100, 100).valid);
}

TEST(Coverage, BoardsSpreadOverTheImageCoverMoreThanBoardsInItsCentre) {
  const GridDescription grid{25.0, 25.0, 9, 6, 5, 5};
  const SyntheticCamera camera = TypicalSyntheticCamera();
  std::vector<PointList> spread, centre;
  for (const SyntheticPose& pose : MakeSyntheticPoses(12, grid, camera, nullptr, nullptr, 3))
    spread.push_back(ProjectGrid(camera, pose, grid));
  for (int view = 0; view < 12; ++view)
    centre.push_back(ProjectGrid(camera, PoseFromVectors({0.3 * std::cos(view), 0.3 * std::sin(view), 0.0},
                                                         {-100.0, -62.5, 1200.0}),
                                 grid));
  const CoverageSummary wide = CoverageOf(spread, grid, camera.width, camera.height);
  const CoverageSummary narrow = CoverageOf(centre, grid, camera.width, camera.height);
  EXPECT_GT(wide.share, 0.6);
  EXPECT_LT(narrow.share, 0.3);
  EXPECT_GT(wide.x, 2.0 * narrow.x);
  EXPECT_GT(wide.y, 2.0 * narrow.y);
  EXPECT_GT(narrow.skew, 0.0);
}
