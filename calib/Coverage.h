#pragma once
// How well the views in use cover what a calibration needs to see: the share
// of a 10 x 10 grid of image cells that holds corners, and four measures of
// how the boards vary: their centre's horizontal (x) and vertical (y)
// position, their size in the image and their skew (how far the board's
// corner angle is from square). Each measure of a board is 0 to 1; the
// coverage of a measure is its spread over the views (largest minus
// smallest) divided by the range a good set spans, capped at 1.

#include <array>
#include <vector>

#include "records/Records.h"

inline constexpr int kCoverageCells = 10;
// Spread at which a measure counts as covered: x, y, size, skew.
inline constexpr std::array<double, 4> kCoverageRanges{0.7, 0.7, 0.4, 0.5};

struct BoardMeasures {
  double x = 0.0;
  double y = 0.0;
  double size = 0.0;
  double skew = 0.0;
};

struct CoverageSummary {
  bool valid = false;  // false without an image size or without complete views
  int columns = kCoverageCells;
  int rows = kCoverageCells;
  std::vector<int> corners;  // corners per cell, row by row
  double share = 0.0;        // of cells holding at least one corner
  double x = 0.0;
  double y = 0.0;
  double size = 0.0;
  double skew = 0.0;
};

// The four measures of one complete view (nx*ny points in grid order) in a width x height image.
BoardMeasures MeasureBoard(const PointList& points, const GridDescription& grid, int width, int height);

// Coverage of the complete views among `views`; others are left out.
CoverageSummary CoverageOf(const std::vector<PointList>& views, const GridDescription& grid, int width, int height);
