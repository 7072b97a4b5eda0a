#pragma once
// Coverage as it would be with one more board, for the live preview: the
// bars of a camera with the board of the frame on screen added to its views,
// and whether that board adds coverage, i.e. differs enough from every view
// the camera holds to be worth keeping.

#include "calib/Coverage.h"
#include <vector>

#include "records/Records.h"

class CCalibrationData;

// How far apart two boards are: the sum of the absolute differences of their
// four measures (x, y, size, skew), each 0..1.
double BoardDistance(const BoardMeasures& a, const BoardMeasures& b);

// A board adds coverage when this far from every usable view of its camera.
inline constexpr double kDefaultNewBoardDistance = 0.2;

// The camera's coverage (its usable views, as the data panel counts them)
// with `board` (nx*ny corners of the camera's grid in a width x height
// picture) added.
CoverageSummary CoverageWithBoard(const CCalibrationData& data, int camera, const PointList& board, int width,
                                  int height);

// Distance from `board` to the nearest usable view of the camera; infinity
// when it has none. A board that is not complete, or a picture size other than
// the camera's, gives -1: such a board can add nothing.
double DistanceToNearestView(const CCalibrationData& data, int camera, const PointList& board, int width, int height);

// The same on the usable views' point lists at hand (UsablePointLists in
// ViewGuidance.h): telling which views are usable fits every view's points to
// the grid, so a caller that asks often keeps the lists while the views stay.
CoverageSummary CoverageWithBoard(const std::vector<PointList>& usable, const GridDescription& grid,
                                  const PointList& board, int width, int height);
double DistanceToNearestView(const std::vector<PointList>& usable, const GridDescription& grid,
                             const PointList& board, int width, int height);

// True when the board lies more than `distance` from every usable view.
bool BoardAddsCoverage(const CCalibrationData& data, int camera, const PointList& board, int width, int height,
                       double distance = kDefaultNewBoardDistance);
