#include <gtest/gtest.h>

#include "records/Records.h"

namespace {

TEST(Records, DefaultsMatchTheFileConventions) {
  const CameraParameters p;
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(p.K[i], 0.0);
    EXPECT_EQ(p.R[i], i % 4 == 0 ? 1.0 : 0.0);
  }
  EXPECT_EQ(p.width, 0);
  const GridDescription g;
  EXPECT_EQ(g.wx, 3);
  EXPECT_EQ(g.wy, 3);
  EXPECT_EQ(g.nx, 0);
}

TEST(Records, GridObjectPointsRunFromTheTopRowAndRepeatPerView) {
  GridDescription grid;
  grid.nx = 3;
  grid.ny = 2;
  grid.dX = grid.dY = 10;
  const auto points = MakeGridObjectPoints(grid, 2);
  ASSERT_EQ(points.size(), 12u);
  const double expected[6][2] = {{0, 10}, {10, 10}, {20, 10}, {0, 0}, {10, 0}, {20, 0}};
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(points[i].X, expected[i % 6][0]) << i;
    EXPECT_EQ(points[i].Y, expected[i % 6][1]) << i;
    EXPECT_EQ(points[i].Z, 0.0);
  }
}

}  // namespace
