#include "calib/Coverage.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kHalfPi = 1.57079632679489661923;

struct Corner {
  double x = 0.0, y = 0.0;
};

Corner CornerOf(const ImagePoint& p) { return {p.x, p.y}; }

double Clamp01(double value) { return std::clamp(value, 0.0, 1.0); }

// The quadrilateral of the board's four outer corners, in order around it.
std::array<Corner, 4> OuterCorners(const PointList& points, const GridDescription& grid) {
  const size_t nx = static_cast<size_t>(grid.nx), ny = static_cast<size_t>(grid.ny);
  return {CornerOf(points[0]), CornerOf(points[nx - 1]), CornerOf(points[nx * ny - 1]),
          CornerOf(points[nx * (ny - 1)])};
}

double Area(const std::array<Corner, 4>& q) {
  double twice = 0.0;
  for (size_t i = 0; i < 4; ++i) {
    const Corner& a = q[i];
    const Corner& b = q[(i + 1) % 4];
    twice += a.x * b.y - b.x * a.y;
  }
  return 0.5 * std::fabs(twice);
}

double AngleAt(const Corner& before, const Corner& at, const Corner& after) {
  const double ax = before.x - at.x, ay = before.y - at.y, bx = after.x - at.x, by = after.y - at.y;
  return std::atan2(std::fabs(ax * by - ay * bx), ax * bx + ay * by);
}

bool Complete(const PointList& points, const GridDescription& grid) {
  return grid.nx >= 2 && grid.ny >= 2 && points.size() == static_cast<size_t>(grid.nx) * static_cast<size_t>(grid.ny);
}

// Largest minus smallest, over the range, capped at 1.
double Spread(const std::vector<double>& values, double range) {
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  return std::min(1.0, (*high - *low) / range);
}

}  // namespace

BoardMeasures MeasureBoard(const PointList& points, const GridDescription& grid, int width, int height) {
  BoardMeasures m;
  if (!Complete(points, grid) || width <= 0 || height <= 0) return m;
  const std::array<Corner, 4> q = OuterCorners(points, grid);
  const double area = Area(q);
  // A board's centre can come no nearer to an edge than half its own size.
  const double extent = std::sqrt(area);
  double meanX = 0.0, meanY = 0.0;
  for (const ImagePoint& p : points) {
    meanX += p.x;
    meanY += p.y;
  }
  meanX /= static_cast<double>(points.size());
  meanY /= static_cast<double>(points.size());
  m.x = Clamp01((meanX - 0.5 * extent) / std::max(1.0, width - extent));
  m.y = Clamp01((meanY - 0.5 * extent) / std::max(1.0, height - extent));
  m.size = Clamp01(std::sqrt(area / (static_cast<double>(width) * height)));
  m.skew = Clamp01(2.0 * std::fabs(kHalfPi - AngleAt(q[0], q[1], q[2])));
  return m;
}

CoverageSummary CoverageOf(const std::vector<PointList>& views, const GridDescription& grid, int width, int height) {
  CoverageSummary summary;
  if (width <= 0 || height <= 0) return summary;
  summary.corners.assign(static_cast<size_t>(summary.columns * summary.rows), 0);
  std::vector<double> xs, ys, sizes, skews;
  for (const PointList& view : views) {
    if (!Complete(view, grid)) continue;
    for (const ImagePoint& p : view) {
      if (!(p.x >= 0.0 && p.x < width && p.y >= 0.0 && p.y < height)) continue;
      const int column = std::min(summary.columns - 1, static_cast<int>(p.x * summary.columns / width));
      const int row = std::min(summary.rows - 1, static_cast<int>(p.y * summary.rows / height));
      ++summary.corners[static_cast<size_t>(row * summary.columns + column)];
    }
    const BoardMeasures m = MeasureBoard(view, grid, width, height);
    xs.push_back(m.x);
    ys.push_back(m.y);
    sizes.push_back(m.size);
    skews.push_back(m.skew);
  }
  if (xs.empty()) return summary;
  summary.valid = true;
  const auto held = std::count_if(summary.corners.begin(), summary.corners.end(), [](int n) { return n > 0; });
  summary.share = static_cast<double>(held) / static_cast<double>(summary.corners.size());
  summary.x = Spread(xs, kCoverageRanges[0]);
  summary.y = Spread(ys, kCoverageRanges[1]);
  summary.size = Spread(sizes, kCoverageRanges[2]);
  summary.skew = Spread(skews, kCoverageRanges[3]);
  return summary;
}
