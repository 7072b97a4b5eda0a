#pragma once
// Whether a view's point list can be the camera's grid seen in a photograph:
// a plane's grid seen through a lens, that is a homography after a radial
// distortion about the image centre. A list read with the wrong grid (a grid
// transposed after marking, points of another board), or with a corner that
// settled on the wrong edge, leaves residuals of a good part of a square;
// lens distortion and corner noise leave a small share of one.
//
// The fit: u = c + (d - c) / (1 + lambda * |d - c|^2 / rho^2) takes each point
// d to its undistorted place u (c the image centre, rho half the image
// diagonal); lambda is searched in [-1, 1] and the homography of the grid
// onto the u is fitted linearly for each. The list fits when
//   the RMS residual      <= kFitRmsShare   * s   + kFitFloor and
//   each point's residual <= kFitWorstShare * s_k + kFitFloor,
// s being the median distance between neighbouring points and s_k the
// distance from point k to its nearest neighbour.

#include <optional>
#include <string>
#include <utility>

#include "records/Records.h"

inline constexpr double kFitRmsShare = 0.1;
inline constexpr double kFitWorstShare = 0.25;
inline constexpr double kFitFloor = 0.5;  // pixels: corner noise of a small, blurred board

struct GridFit {
  bool fits = false;
  double rms = 0.0;      // pixels
  double worst = 0.0;    // pixels
  double squareSize = 0.0;  // median neighbour distance, pixels
  double lambda = 0.0;   // radial term of the best fit
};

// Fits nx x ny points (grid order: row i, column j at i*nx + j). Width and
// height give the image centre; without them (0) the points' own centre
// stands in. A list of another length, or with fewer than 2 points a side,
// does not fit.
GridFit FitPointsToGrid(const PointList& points, int nx, int ny, int width = 0, int height = 0);

// For lenses whose distortion one radial term cannot follow (fisheyes, wide
// rational lenses): the whole list fits, or every patch of up to 4 x 4
// neighbouring points fits on its own (overlapping, so a wrong corner or a
// row read with the wrong length breaks the patch that holds it). The result
// is the whole list's fit, or the worst patch's when the whole does not fit.
GridFit FitPointsToGridPiecewise(const PointList& points, int nx, int ny, int width = 0, int height = 0);

// Another grid of the same point count that the list fits (the grid it was
// marked for, typically the transposed one), or nothing.
std::optional<std::pair<int, int>> GridThatFits(const PointList& points, int nx, int ny, int width = 0,
                                                int height = 0);

// "9x6"
std::string GridSizeText(int nx, int ny);
