#include "grid/CornerRefinement.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace {

// Refinement stops after 20 iterations or when a step is below 0.0003 px.
constexpr int kRefineIterations = 20;
constexpr double kRefineAccuracy = 0.0003;
// Squares of a small-square corner's rectified patch are this many pixels
// wide; the patch reaches one square from the corner each way.
constexpr int kPatchSquare = 16;

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

// One square along the grid's row and one along its column at the middle
// corner: from the neighbours on both sides where there are two.
bool LocalSquareAxes(const CornerNeighbourhood& around, cv::Vec2d& along, cv::Vec2d& across) {
  const ImagePoint& c = *around[4];
  const auto axis = [&](int before, int after, cv::Vec2d& out) {
    const auto& b = around[before];
    const auto& a = around[after];
    if (a && b) out = {(a->x - b->x) / 2.0, (a->y - b->y) / 2.0};
    else if (a) out = {a->x - c.x, a->y - c.y};
    else if (b) out = {c.x - b->x, c.y - b->y};
    else return false;
    return true;
  };
  if (!axis(3, 5, along) || !axis(1, 7, across)) return false;
  return std::abs(along[0] * across[1] - along[1] * across[0]) > 1.0;
}

cv::Mat CornerMat(cv::Point2f& corner) { return cv::Mat(1, 1, CV_32FC2, &corner); }

cv::TermCriteria RefinementStop() {
  return cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, kRefineIterations, kRefineAccuracy);
}

// Squares a few pixels wide, seen steeply, are thin parallelograms: any pixel
// window wide enough to hold the edges along them reaches across them onto
// their neighbours' edges. Their corner is refined instead in a patch where
// the local grid is square (the picture resampled along the two grid axes),
// with the window the rule gives for squares of kPatchSquare pixels.
CornerRefinement RefineInSquarePatch(const cv::Mat& gray, const ImagePoint& point, const cv::Vec2d& along,
                                     const cv::Vec2d& across) {
  CornerRefinement result{GridStatus::Ok, point, kMinHalfWindow};
  const double scale = 1.0 / kPatchSquare, half = kPatchSquare;
  const cv::Matx23d toImage(along[0] * scale, across[0] * scale, point.x - half * scale * (along[0] + across[0]),
                            along[1] * scale, across[1] * scale, point.y - half * scale * (along[1] + across[1]));
  cv::Mat patch;
  cv::warpAffine(gray, patch, toImage, cv::Size(2 * kPatchSquare + 1, 2 * kPatchSquare + 1),
                 cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  cv::Point2f corner(static_cast<float>(half), static_cast<float>(half));
  const int window = static_cast<int>(kWindowFraction * kPatchSquare);
  try {
    cv::cornerSubPix(patch, CornerMat(corner), cv::Size(window, window), cv::Size(-1, -1), RefinementStop());
  } catch (const cv::Exception&) {
    result.status = GridStatus::RefinementFailed;
    return result;
  }
  const cv::Vec3d inPatch(corner.x, corner.y, 1.0);
  const cv::Vec2d inImage = toImage * inPatch;
  result.point = {inImage[0], inImage[1]};
  return result;
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
  try {
    cv::cornerSubPix(gray, CornerMat(corner), cv::Size(halfWindow, halfWindow), cv::Size(-1, -1), RefinementStop());
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
      const double extent = ShortestSquareExtent(around);
      const int halfWindow = ClampHalfWindow(gray, FittingHalfWindow(extent));
      cv::Vec2d along, across;
      const bool smallSquares = kWindowFraction * extent < kMinHalfWindow + 1;
      const CornerRefinement r = smallSquares && InsideImage(gray, start[k]) && LocalSquareAxes(around, along, across)
                                     ? RefineInSquarePatch(gray, start[k], along, across)
                                     : RefineCorner(gray, start[k], halfWindow);
      if (r.status == GridStatus::PointOutsideImage && maxShiftShare) return GridStatus::BoardNotFound;
      result[k] = r.point;
      if (maxShiftShare && Length(r.point, start[k]) > *maxShiftShare * NearestNeighbourDistance(around))
        return GridStatus::RefinementFailed;
    }
  refined = std::move(result);
  return GridStatus::Ok;
}
