// Coverage with the board of a live frame added, and when such a board is new
// enough to keep: on a real store holding synthetic views.
#include <gtest/gtest.h>

#include <cmath>

#include "app/LiveCoverage.h"
#include "app/ViewGuidance.h"
#include "core/CalibrationData.h"
#include "support/GuidanceViews.h"
#include "support/SyntheticStore.h"

namespace {

using namespace guidance_views;

// A store whose one camera holds the first `count` spread views.
void StoreWith(CCalibrationData& store, const SyntheticCameraViews& views, int count) {
  store.AddCamera();
  ASSERT_TRUE(AddSyntheticViews(store, 0, views, kGrid, count));
}

// The board of pose `pose` moved by (dx, dy) pixels.
PointList Shifted(PointList board, double dx, double dy) {
  for (ImagePoint& p : board) {
    p.x += dx;
    p.y += dy;
  }
  return board;
}

}  // namespace

TEST(LiveCoverage, DistanceSumsTheFourMeasures) {
  EXPECT_DOUBLE_EQ(BoardDistance({0.1, 0.2, 0.3, 0.4}, {0.1, 0.2, 0.3, 0.4}), 0.0);
  EXPECT_NEAR(BoardDistance({0.1, 0.2, 0.3, 0.4}, {0.2, 0.0, 0.3, 0.5}), 0.4, 1e-12);
}

TEST(LiveCoverage, AStoredBoardAddsNothingAndADistantOneDoes) {
  const SyntheticCameraViews views = ViewsAt(SpreadPoses(12));
  CCalibrationData store;
  StoreWith(store, views, 6);
  const PointList& stored = views.points[2];
  EXPECT_NEAR(DistanceToNearestView(store, 0, stored, 640, 480), 0.0, 1e-9);
  EXPECT_FALSE(BoardAddsCoverage(store, 0, stored, 640, 480));
  // A few pixels of jitter, as a board held still shows, is not a new board.
  EXPECT_FALSE(BoardAddsCoverage(store, 0, Shifted(stored, 3.0, -2.0), 640, 480));

  // Boards the camera has not seen: the one farthest from its views adds coverage.
  size_t farthestView = 6;
  double farthest = 0.0;
  const std::vector<PointList> usable = UsablePointLists(store, 0);
  ASSERT_EQ(usable.size(), 6u);
  for (size_t view = 6; view < 12; ++view) {
    const double distance = DistanceToNearestView(usable, kGrid, views.points[view], 640, 480);
    if (distance > farthest) {
      farthest = distance;
      farthestView = view;
    }
  }
  EXPECT_GT(farthest, kDefaultNewBoardDistance);
  EXPECT_TRUE(BoardAddsCoverage(store, 0, views.points[farthestView], 640, 480));
  EXPECT_FALSE(BoardAddsCoverage(store, 0, views.points[farthestView], 640, 480, farthest));

  // A camera without usable views: any complete board is new.
  CCalibrationData empty;
  empty.AddCamera();
  empty.SetGrid(0, kGrid);
  EXPECT_TRUE(std::isinf(DistanceToNearestView(empty, 0, stored, 640, 480)));
  EXPECT_TRUE(BoardAddsCoverage(empty, 0, stored, 640, 480));
}

TEST(LiveCoverage, BoardsThatCannotBeViewsAddNothing) {
  const SyntheticCameraViews views = ViewsAt(SpreadPoses(4));
  CCalibrationData store;
  StoreWith(store, views, 4);
  PointList incomplete = views.points[0];
  incomplete.pop_back();
  EXPECT_LT(DistanceToNearestView(store, 0, incomplete, 640, 480), 0.0);
  EXPECT_FALSE(BoardAddsCoverage(store, 0, incomplete, 640, 480));
  // Frames of another size cannot join the camera's views.
  EXPECT_FALSE(BoardAddsCoverage(store, 0, Shifted(views.points[0], 200.0, 0.0), 800, 600));
  EXPECT_LT(DistanceToNearestView(store, 7, views.points[0], 640, 480), 0.0);  // no such camera
  // Their coverage is the camera's own.
  const CoverageSummary own = CurrentCoverage(store, 0);
  const CoverageSummary with = CoverageWithBoard(store, 0, incomplete, 640, 480);
  EXPECT_EQ(with.corners, own.corners);
  EXPECT_DOUBLE_EQ(with.x, own.x);
}

TEST(LiveCoverage, CoverageWithTheBoardIsTheCoverageOnceItIsStored) {
  const SyntheticCameraViews views = ViewsAt(SpreadPoses(8));
  CCalibrationData before, after;
  StoreWith(before, views, 5);
  StoreWith(after, views, 6);
  const CoverageSummary predicted = CoverageWithBoard(before, 0, views.points[5], 640, 480);
  const CoverageSummary stored = CurrentCoverage(after, 0);
  ASSERT_TRUE(predicted.valid);
  EXPECT_EQ(predicted.corners, stored.corners);
  EXPECT_DOUBLE_EQ(predicted.share, stored.share);
  EXPECT_DOUBLE_EQ(predicted.x, stored.x);
  EXPECT_DOUBLE_EQ(predicted.y, stored.y);
  EXPECT_DOUBLE_EQ(predicted.size, stored.size);
  EXPECT_DOUBLE_EQ(predicted.skew, stored.skew);
  // Adding a board never shrinks a spread or a share.
  const CoverageSummary now = CurrentCoverage(before, 0);
  EXPECT_GE(predicted.share, now.share);
  EXPECT_GE(predicted.x, now.x);
  EXPECT_GE(predicted.size, now.size);
}
