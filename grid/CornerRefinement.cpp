#include "grid/CornerRefinement.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace {

// Refinement stops after 20 iterations or when a step is below 0.0003 px.
constexpr int kRefineIterations = 20;
constexpr double kRefineAccuracy = 0.0003;

bool InsideImage(const cv::Mat& image, const ImagePoint& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && p.x >= 0.0 && p.y >= 0.0 && p.x < image.cols &&
         p.y < image.rows;
}

double Length(const ImagePoint& a, const ImagePoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

double DistanceToSegment(const ImagePoint& p, const ImagePoint& a, const ImagePoint& b) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double lengthSquared = dx * dx + dy * dy;
  if (!(lengthSquared > 0.0)) return Length(p, a);
  const double t = std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / lengthSquared, 0.0, 1.0);
  return Length(p, ImagePoint{a.x + t * dx, a.y + t * dy});
}

// One square with corner p: q and r its neighbours along the grid, o opposite.
double SquareExtent(const ImagePoint& p, const ImagePoint& q, const ImagePoint& o, const ImagePoint& r) {
  const double sides = std::min({Length(p, q), Length(q, o), Length(o, r), Length(r, p)});
  return std::min({sides, DistanceToSegment(p, q, o), DistanceToSegment(p, o, r)});
}

double NearestNeighbourDistance(const CornerNeighbourhood& around) {
  double nearest = std::numeric_limits<double>::infinity();
  for (int k : {1, 3, 5, 7})
    if (around[k]) nearest = std::min(nearest, Length(*around[4], *around[k]));
  return nearest;
}

CornerNeighbourhood NeighbourhoodOf(const PointList& corners, int nx, int ny, int row, int column) {
  CornerNeighbourhood around;
  for (int dr = -1; dr <= 1; ++dr)
    for (int dc = -1; dc <= 1; ++dc) {
      const int r = row + dr, c = column + dc;
      if (r >= 0 && r < ny && c >= 0 && c < nx) around[(dr + 1) * 3 + dc + 1] = corners[static_cast<size_t>(r) * nx + c];
    }
  return around;
}

}  // namespace

GridStatus MakeGrayImage(const cv::Mat& viewImage, cv::Mat& gray) {
  gray.release();
  if (viewImage.empty() || viewImage.type() != CV_8UC3) return GridStatus::BadImage;
  cv::cvtColor(viewImage, gray, cv::COLOR_BGR2GRAY);
  return GridStatus::Ok;
}

double ShortestSquareExtent(const CornerNeighbourhood& around) {
  double shortest = std::numeric_limits<double>::infinity();
  if (!around[4]) return shortest;
  // Squares to the upper left, upper right, lower right and lower left: the
  // neighbour along the row, the diagonal one and the one along the column.
  constexpr int kSquares[4][3] = {{3, 0, 1}, {1, 2, 5}, {5, 8, 7}, {7, 6, 3}};
  for (const auto& square : kSquares) {
    const auto& q = around[square[0]];
    const auto& o = around[square[1]];
    const auto& r = around[square[2]];
    if (q && o && r) shortest = std::min(shortest, SquareExtent(*around[4], *q, *o, *r));
  }
  return shortest;
}

double ShortestSquareExtent(const PointList& corners, int nx, int ny, int row, int column) {
  return ShortestSquareExtent(NeighbourhoodOf(corners, nx, ny, row, column));
}

int FittingHalfWindow(double shortestExtent) {
  const double fitted = kWindowFraction * shortestExtent;
  if (!(fitted < kMaxHalfWindow)) return kMaxHalfWindow;  // infinity too: a corner without a square
  return std::max(kMinHalfWindow, static_cast<int>(std::floor(fitted)));
}

int ClickHalfWindow(double uncertainty) {
  if (!(uncertainty < kMaxHalfWindow)) return kMaxHalfWindow;
  return std::clamp(static_cast<int>(std::ceil(uncertainty)) + 1, kMinHalfWindow, kMaxHalfWindow);
}

bool WindowFitsImage(const cv::Mat& gray, int halfWindow) {
  return gray.cols >= 2 * halfWindow + 5 && gray.rows >= 2 * halfWindow + 5;
}

int ClampHalfWindow(const cv::Mat& gray, int halfWindow) {
  return std::max(1, std::min(halfWindow, (std::min(gray.cols, gray.rows) - 5) / 2));
}

CornerRefinement RefineCorner(const cv::Mat& gray, const ImagePoint& point, int halfWindow) {
  CornerRefinement result{GridStatus::Ok, point, halfWindow};
  if (gray.empty() || gray.type() != CV_8UC1) {
    result.status = GridStatus::BadImage;
    return result;
  }
  if (halfWindow < 1 || !WindowFitsImage(gray, halfWindow)) {
    result.status = GridStatus::WindowTooLarge;
    return result;
  }
  if (!InsideImage(gray, point)) {
    result.status = GridStatus::PointOutsideImage;
    return result;
  }
  cv::Point2f corner(static_cast<float>(point.x), static_cast<float>(point.y));
  cv::Mat cornerMat(1, 1, CV_32FC2, &corner);  // a header over the one point, no allocation
  try {
    cv::cornerSubPix(gray, cornerMat, cv::Size(halfWindow, halfWindow), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, kRefineIterations,
                                      kRefineAccuracy));
  } catch (const cv::Exception&) {
    result.status = GridStatus::RefinementFailed;
    return result;
  }
  result.point = {corner.x, corner.y};
  return result;
}

GridStatus RefineGridCorners(const cv::Mat& gray, const PointList& start, int nx, int ny, PointList& refined,
                             std::optional<double> maxShiftShare) {
  if (nx < 2 || ny < 2 || start.size() != static_cast<size_t>(nx) * ny) return GridStatus::WrongPointCount;
  if (gray.empty() || gray.type() != CV_8UC1) return GridStatus::BadImage;
  if (!WindowFitsImage(gray, kMinHalfWindow)) return GridStatus::WindowTooLarge;
  PointList result(start.size());
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column) {
      const size_t k = static_cast<size_t>(row) * nx + column;
      const CornerNeighbourhood around = NeighbourhoodOf(start, nx, ny, row, column);
      const int halfWindow = ClampHalfWindow(gray, FittingHalfWindow(ShortestSquareExtent(around)));
      const CornerRefinement r = RefineCorner(gray, start[k], halfWindow);
      if (r.status == GridStatus::PointOutsideImage && maxShiftShare) return GridStatus::BoardNotFound;
      result[k] = r.point;
      if (maxShiftShare && Length(r.point, start[k]) > *maxShiftShare * NearestNeighbourDistance(around))
        return GridStatus::RefinementFailed;
    }
  refined = std::move(result);
  return GridStatus::Ok;
}
