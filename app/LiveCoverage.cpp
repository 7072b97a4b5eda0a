#include "app/LiveCoverage.h"

#include <cmath>
#include <limits>

#include "app/ViewGuidance.h"
#include "core/CalibrationData.h"

double BoardDistance(const BoardMeasures& a, const BoardMeasures& b) {
  return std::fabs(a.x - b.x) + std::fabs(a.y - b.y) + std::fabs(a.size - b.size) + std::fabs(a.skew - b.skew);
}

namespace {

bool BoardFits(const CCalibrationData& data, int camera, const PointList& board, int width, int height) {
  if (camera < 0 || camera >= data.GetCameraCount() || width <= 0 || height <= 0) return false;
  const GridDescription grid = data.GetGrid(camera);
  if (grid.nx <= 0 || grid.ny <= 0 || board.size() != static_cast<size_t>(grid.nx) * grid.ny) return false;
  return data.FitsImageSize(camera, width, height);
}

}  // namespace

CoverageSummary CoverageWithBoard(const std::vector<PointList>& usable, const GridDescription& grid,
                                  const PointList& board, int width, int height) {
  std::vector<PointList> views = usable;
  views.push_back(board);
  return CoverageOf(views, grid, width, height);
}

double DistanceToNearestView(const std::vector<PointList>& usable, const GridDescription& grid,
                             const PointList& board, int width, int height) {
  if (grid.nx <= 0 || grid.ny <= 0 || board.size() != static_cast<size_t>(grid.nx) * grid.ny || width <= 0 ||
      height <= 0)
    return -1.0;
  const BoardMeasures measures = MeasureBoard(board, grid, width, height);
  double nearest = std::numeric_limits<double>::infinity();
  for (const PointList& view : usable)
    nearest = std::min(nearest, BoardDistance(measures, MeasureBoard(view, grid, width, height)));
  return nearest;
}

CoverageSummary CoverageWithBoard(const CCalibrationData& data, int camera, const PointList& board, int width,
                                  int height) {
  if (!BoardFits(data, camera, board, width, height)) return CurrentCoverage(data, camera);
  return CoverageWithBoard(UsablePointLists(data, camera), data.GetGrid(camera), board, width, height);
}

double DistanceToNearestView(const CCalibrationData& data, int camera, const PointList& board, int width, int height) {
  if (!BoardFits(data, camera, board, width, height)) return -1.0;
  return DistanceToNearestView(UsablePointLists(data, camera), data.GetGrid(camera), board, width, height);
}

bool BoardAddsCoverage(const CCalibrationData& data, int camera, const PointList& board, int width, int height,
                       double distance) {
  return DistanceToNearestView(data, camera, board, width, height) > distance;
}
