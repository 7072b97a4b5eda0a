#pragma once
// Whether views are enough: the judgement on how well a run's views cover the
// image and the board's positions, sizes and tilts (Coverage.h) and how far a
// projection may move after a re-calibration (ProjectionUncertainty.h).

#include <string>

#include "calib/Coverage.h"
#include "calib/ProjectionUncertainty.h"

// When views are enough. Every condition must hold.
struct EnoughViewsThresholds {
  // Worst projection uncertainty (at the median board distance) among cells
  // centred in the central 90% of the image, pixels.
  double maxCentralUncertainty = 0.25;
  // Share of the 10 x 10 image cells that must hold corners.
  double minCellShare = 0.6;
  // Spread each of the four board measures (x, y, size, skew) must reach, 0..1.
  double minSpread = 0.5;
};

struct EnoughViewsVerdict {
  bool enough = false;
  // "Enough views: worst projection uncertainty 0.08 px in the central 90%" or
  // "More views needed: <the first condition that fails>".
  std::string text;
};

// The judgement on a run's coverage and its uncertainty map at the median
// board distance, testing in turn: image corners holding corners (the outer
// fifth of the image in both directions at each corner), the share of cells
// holding corners, each measure's spread, then the central uncertainty.
EnoughViewsVerdict JudgeViews(const CoverageSummary& coverage, const ProjectionUncertaintyMap& uncertainty,
                              const EnoughViewsThresholds& thresholds = {});

// Where a pixel lies in the image, in words: "top left", "top", ..., "centre", ..., "bottom right".
std::string ImageRegionName(double x, double y, int width, int height);
