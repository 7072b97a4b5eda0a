#include "grid/GridExtraction.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "calib/Calibration.h"
#include "calib/GridFit.h"
#include "core/CalibrationData.h"
#include "grid/GridDetection.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kInverseTwoPi = 0.15915494309189535;
// Angle differences below this count as the same direction as the first click.
constexpr double kSameAngle = 1e-5;
// A border corner must turn by at least this sine to count as a corner.
constexpr double kMinCornerSine = 1e-6;

bool Finite(const ImagePoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

bool InsideImage(const cv::Mat& image, const ImagePoint& p) {
  return Finite(p) && p.x >= 0.0 && p.y >= 0.0 && p.x < image.cols && p.y < image.rows;
}

GridStatus ValidateGray(const cv::Mat& gray) {
  if (gray.empty() || gray.type() != CV_8UC1) return GridStatus::BadImage;
  return WindowFitsImage(gray, kMinHalfWindow) ? GridStatus::Ok : GridStatus::WindowTooLarge;
}

double Cross(const ImagePoint& o, const ImagePoint& a, const ImagePoint& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Ordered border points must turn the same way at every corner, and clearly
// so: a reflex, straight or doubled corner would send part of the unit
// square to infinity under the homography.
bool IsConvexQuadrilateral(const std::array<ImagePoint, 4>& s) {
  int sign = 0;
  for (int k = 0; k < 4; ++k) {
    const ImagePoint& prev = s[(k + 3) % 4];
    const ImagePoint& here = s[k];
    const ImagePoint& next = s[(k + 1) % 4];
    const double lengths = std::hypot(here.x - prev.x, here.y - prev.y) * std::hypot(next.x - here.x, next.y - here.y);
    const double cross = Cross(prev, here, next);
    if (!(lengths > 0.0) || std::abs(cross) <= kMinCornerSine * lengths) return false;
    const int turn = cross > 0.0 ? 1 : -1;
    if (sign != 0 && turn != sign) return false;
    sign = turn;
  }
  return true;
}

// Least-squares homography taking the source points onto the destination
// points (at least four of each, in the same order).
bool FitHomography(const std::vector<ImagePoint>& from, const std::vector<ImagePoint>& to, double H[9]) {
  const int count = static_cast<int>(from.size());
  std::vector<double> source(2 * from.size()), destination(2 * to.size());  // first row x, second row y
  for (int k = 0; k < count; ++k) {
    source[k] = from[k].x, source[count + k] = from[k].y;
    destination[k] = to[k].x, destination[count + k] = to[k].y;
  }
  CvMat sourceMat = cvMat(2, count, CV_64FC1, source.data());
  CvMat destinationMat = cvMat(2, count, CV_64FC1, destination.data());
  double result[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  CvMat resultMat = cvMat(3, 3, CV_64FC1, result);
  Orvel_ClearError();
  Orvel_cvFindHomography(&sourceMat, &destinationMat, &resultMat);
  const bool failed = Orvel_GetErrStatus() < 0;
  Orvel_ClearError();
  if (failed || !std::all_of(result, result + 9, [](double v) { return std::isfinite(v); })) return false;
  std::copy(result, result + 9, H);
  return true;
}

// Homography from the unit square (0,0), (1,0), (1,1), (0,1) onto s0..s3.
bool UnitSquareHomography(const std::array<ImagePoint, 4>& s, double H[9]) {
  return FitHomography({{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {s.begin(), s.end()}, H);
}

// Corner (row, column) of the grid predicted through H, in single precision.
ImagePoint PredictCorner(const double H[9], int row, int column, const GridDescription& grid) {
  const double u = static_cast<double>(column) / (grid.nx - 1);
  const double v = static_cast<double>(row) / (grid.ny - 1);
  const double px = H[0] * u + H[1] * v + H[2];
  const double py = H[3] * u + H[4] * v + H[5];
  const double pw = H[6] * u + H[7] * v + H[8];
  return {static_cast<float>(px / pw), static_cast<float>(py / pw)};
}

// Predictions of the four outer corners must be finite and inside the image
// before any corner is refined or stored.
bool OuterCornersInside(const cv::Mat& gray, const double H[9], const GridDescription& grid) {
  const int lastRow = grid.ny - 1;
  const int lastColumn = grid.nx - 1;
  return InsideImage(gray, PredictCorner(H, 0, 0, grid)) && InsideImage(gray, PredictCorner(H, 0, lastColumn, grid)) &&
         InsideImage(gray, PredictCorner(H, lastRow, lastColumn, grid)) &&
         InsideImage(gray, PredictCorner(H, lastRow, 0, grid));
}

// Corners in the order they are refined: by grid steps from the nearest of
// the four outer corners, where the homography of the clicks is exact.
std::vector<int> WalkOrder(int nx, int ny) {
  std::vector<int> order(static_cast<size_t>(nx) * ny);
  std::iota(order.begin(), order.end(), 0);
  const auto steps = [&](int k) {
    const int row = k / nx, column = k % nx;
    return std::min(row, ny - 1 - row) + std::min(column, nx - 1 - column);
  };
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return steps(a) < steps(b); });
  return order;
}

// How far the refined corners near (row, column) lie from the homography's
// predictions, extrapolated to (row, column): a plane over the grid offsets
// fitted to the corners refined so far within two steps, or along their line,
// or the nearest one's offset. Lens distortion bends the grid smoothly, so
// this follows it where the homography of the four outer corners cannot.
struct Offset {
  double x = 0.0, y = 0.0;
};

// Solves the n x n normal equations (n <= 3) for both axes at once;
// false when they are singular (the corners lie on one diagonal).
bool SolveNormalEquations(double m[3][5], int n, double scale) {
  for (int p = 0; p < n; ++p) {
    int pivot = p;
    for (int i = p + 1; i < n; ++i)
      if (std::abs(m[i][p]) > std::abs(m[pivot][p])) pivot = i;
    if (std::abs(m[pivot][p]) < 1e-9 * scale) return false;
    std::swap(m[p], m[pivot]);
    for (int i = 0; i < n; ++i) {
      if (i == p) continue;
      const double factor = m[i][p] / m[p][p];
      for (int j = p; j < 5; ++j) m[i][j] -= factor * m[p][j];
    }
  }
  for (int i = 0; i < n; ++i) m[i][3] /= m[i][i], m[i][4] /= m[i][i];
  return true;
}

Offset ExtrapolateOffset(const std::vector<Offset>& offsets, const std::vector<char>& done, int row, int column,
                         int nx, int ny) {
  constexpr int kReach = 2;
  struct Sample {
    double dr, dc;
    Offset offset;
  };
  std::vector<Sample> samples;
  Offset nearest;
  int nearestSteps = 1 << 30;
  bool oneRow = true, oneColumn = true;
  for (int r = std::max(row - kReach, 0); r <= std::min(row + kReach, ny - 1); ++r)
    for (int c = std::max(column - kReach, 0); c <= std::min(column + kReach, nx - 1); ++c) {
      if (!done[r * nx + c]) continue;
      const Offset& offset = offsets[r * nx + c];
      if (!samples.empty()) {
        oneRow = oneRow && samples[0].dr == r - row;
        oneColumn = oneColumn && samples[0].dc == c - column;
      }
      samples.push_back({double(r - row), double(c - column), offset});
      const int steps = std::abs(r - row) + std::abs(c - column);
      if (steps < nearestSteps) nearestSteps = steps, nearest = offset;
    }
  // Only the slopes the corners can determine take part: offset = a + b*dr + c*dc.
  const bool rowSlope = !oneRow, columnSlope = !oneColumn;
  const int n = 1 + rowSlope + columnSlope;
  if (n == 1 || static_cast<int>(samples.size()) < n) return nearest;
  double m[3][5] = {};
  for (const Sample& sample : samples) {
    double f[3] = {1.0, 0.0, 0.0};
    int k = 1;
    if (rowSlope) f[k++] = sample.dr;
    if (columnSlope) f[k++] = sample.dc;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) m[i][j] += f[i] * f[j];
      m[i][3] += f[i] * sample.offset.x;
      m[i][4] += f[i] * sample.offset.y;
    }
  }
  if (!SolveNormalEquations(m, n, static_cast<double>(samples.size()))) return nearest;
  // At (row, column) itself the grid offsets are zero: the constant term.
  return {m[0][3], m[0][4]};
}

// The corners around (row, column) as the walk knows them: refined ones
// where they are, the others predicted and moved by this corner's offset.
CornerNeighbourhood WalkNeighbourhood(const double H[9], const GridDescription& grid, const PointList& refined,
                                      const std::vector<char>& done, int row, int column, const Offset& offset) {
  CornerNeighbourhood around;
  for (int dr = -1; dr <= 1; ++dr)
    for (int dc = -1; dc <= 1; ++dc) {
      const int r = row + dr, c = column + dc;
      if (r < 0 || r >= grid.ny || c < 0 || c >= grid.nx) continue;
      const size_t k = static_cast<size_t>(r) * grid.nx + c;
      if (done[k]) {
        around[(dr + 1) * 3 + dc + 1] = refined[k];
      } else {
        const ImagePoint p = PredictCorner(H, r, c, grid);
        around[(dr + 1) * 3 + dc + 1] = ImagePoint{p.x + offset.x, p.y + offset.y};
      }
    }
  return around;
}

// Refines every corner, each from a prediction corrected by the corners
// already refined around it and in the window its squares allow there, and
// returns them in the grid order.
PointList WalkAndRefine(const cv::Mat& gray, const double H[9], const GridDescription& grid) {
  const int nx = grid.nx, ny = grid.ny;
  PointList refined(static_cast<size_t>(nx) * ny);
  std::vector<Offset> offsets(refined.size());
  std::vector<char> done(refined.size(), 0);
  for (int k : WalkOrder(nx, ny)) {
    const int row = k / nx, column = k % nx;
    const ImagePoint plain = PredictCorner(H, row, column, grid);
    const Offset offset = ExtrapolateOffset(offsets, done, row, column, nx, ny);
    ImagePoint predicted{static_cast<float>(plain.x + offset.x), static_cast<float>(plain.y + offset.y)};
    if (!InsideImage(gray, predicted)) predicted = plain;
    const int halfWindow =
        FittingHalfWindow(ShortestSquareExtent(WalkNeighbourhood(H, grid, refined, done, row, column, offset)));
    // A prediction the library cannot refine keeps its position: every grid
    // position always receives a point.
    refined[k] = RefineCorner(gray, predicted, ClampHalfWindow(gray, halfWindow)).point;
    offsets[k] = {refined[k].x - plain.x, refined[k].y - plain.y};
    done[k] = 1;
  }
  return refined;
}

// Whether every walked corner lies where the corners around it put it: each
// one against the homography of the others within two grid steps (leaving it
// out, so it cannot pull that fit towards itself), within the share of its
// nearest neighbour's distance that the whole grid's fit allows. A corner the
// walk refined onto something else that is a corner (the edge of a sticker
// over the board) can pass the whole grid's fit from the grid's rim, where it
// pulls that fit to itself; two steps are short enough for lens bow to stay
// far below the limit.
bool EachCornerFitsItsNeighbours(const PointList& corners, int nx, int ny) {
  constexpr int kReach = 2;
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column) {
      std::vector<ImagePoint> steps, around;
      double nearest = std::numeric_limits<double>::infinity();
      const ImagePoint& corner = corners[static_cast<size_t>(row) * nx + column];
      for (int r = std::max(row - kReach, 0); r <= std::min(row + kReach, ny - 1); ++r)
        for (int c = std::max(column - kReach, 0); c <= std::min(column + kReach, nx - 1); ++c) {
          if (r == row && c == column) continue;
          const ImagePoint& p = corners[static_cast<size_t>(r) * nx + c];
          steps.push_back({double(c - column), double(r - row)});
          around.push_back(p);
          if (std::abs(r - row) + std::abs(c - column) == 1)
            nearest = std::min(nearest, std::hypot(p.x - corner.x, p.y - corner.y));
        }
      double H[9];
      // A 2 x 2 grid has no corner to spare; the clicks alone place it.
      if (around.size() < 5 || !FitHomography(steps, around, H)) continue;
      const double x = H[2] / H[8], y = H[5] / H[8];
      if (!std::isfinite(x) || !std::isfinite(y)) continue;
      if (!(std::hypot(x - corner.x, y - corner.y) <= kFitWorstShare * nearest + kFitFloor)) return false;
    }
  return true;
}

// Where to look for the clicked board: the quadrilateral grown by two squares
// on every side (the printed ring of squares and its margin), clipped to the
// image; the whole image when the growth runs past the horizon.
cv::Rect SearchArea(const cv::Mat& gray, const double H[9], const GridDescription& grid) {
  const cv::Rect whole(0, 0, gray.cols, gray.rows);
  const double du = 2.0 / (grid.nx - 1), dv = 2.0 / (grid.ny - 1);
  double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
  for (double u : {-du, 1.0 + du})
    for (double v : {-dv, 1.0 + dv}) {
      const double w = H[6] * u + H[7] * v + H[8];
      const double w0 = H[8] + 0.5 * (H[6] + H[7]);  // the middle of the board lies in front
      if (!(w * w0 > 0.0)) return whole;
      const double x = (H[0] * u + H[1] * v + H[2]) / w, y = (H[3] * u + H[4] * v + H[5]) / w;
      if (!std::isfinite(x) || !std::isfinite(y)) return whole;
      minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
  const int left = static_cast<int>(std::floor(std::max(minX, 0.0)));
  const int top = static_cast<int>(std::floor(std::max(minY, 0.0)));
  const int right = static_cast<int>(std::ceil(std::min(maxX, gray.cols - 1.0))) + 1;
  const int bottom = static_cast<int>(std::ceil(std::min(maxY, gray.rows - 1.0))) + 1;
  if (right <= left || bottom <= top) return whole;
  return cv::Rect(left, top, right - left, bottom - top) & whole;
}

struct ViewAccess {
  GridStatus status = GridStatus::Ok;
  cv::Mat gray;
};

// Gray image of a view, checked against the camera's image size (that of its
// first view), which is the frame every clicked coordinate refers to.
ViewAccess GrayImageOfView(const CCalibrationData& store, int camera, int view) {
  ViewAccess access;
  if (camera < 0 || camera >= store.GetCameraCount() || view < 0 || view >= store.GetViewCount(camera)) {
    access.status = GridStatus::NoView;
    return access;
  }
  const ViewPixels image = store.GetViewImage(camera, view);
  if (image == nullptr) {
    access.status = GridStatus::ImageUnreadable;
    return access;
  }
  if (image->cols != store.GetImageWidth(camera) || image->rows != store.GetImageHeight(camera)) {
    access.status = GridStatus::ImageSizeMismatch;
    return access;
  }
  access.status = MakeGrayImage(*image, access.gray);
  return access;
}

}  // namespace

std::array<ImagePoint, 4> OrderBorderPoints(const std::array<ImagePoint, 4>& points) {
  ImagePoint centre;
  for (const ImagePoint& p : points) {
    centre.x += p.x / 4.0;
    centre.y += p.y / 4.0;
  }
  struct Record {
    int index;
    double angle;
  };
  std::array<Record, 4> records;
  // The image's y axis points down; flipping it makes angles grow counter-clockwise on the screen.
  const double firstAngle = std::atan2(-(points[0].y - centre.y), points[0].x - centre.x);
  for (int k = 0; k < 4; ++k) {
    double d = std::atan2(-(points[k].y - centre.y), points[k].x - centre.x) - firstAngle;
    if (std::abs(d) < kSameAngle) d = 0.0;
    d -= kTwoPi * std::floor(d * kInverseTwoPi);
    records[k] = {k, d};
  }
  // Largest relative angle first; on a tie the later click goes first so the
  // first click always ends last, as s3.
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return a.angle != b.angle ? a.angle > b.angle : a.index > b.index;
  });
  std::array<ImagePoint, 4> ordered;
  for (int k = 0; k < 4; ++k) ordered[k] = points[records[k].index];
  return ordered;
}

GridStatus EstimateGridPoints(const cv::Mat& gray, const std::array<ImagePoint, 4>& border,
                              const GridDescription& grid, PointList& corners, const CornerCallback& onCorner,
                              CornerSource* source) {
  GridStatus status = ValidateGrid(grid);
  if (status != GridStatus::Ok) return status;
  status = ValidateGray(gray);
  if (status != GridStatus::Ok) return status;
  if (!std::all_of(border.begin(), border.end(), [&](const ImagePoint& p) { return InsideImage(gray, p); }))
    return GridStatus::PointOutsideImage;
  const std::array<ImagePoint, 4> ordered = OrderBorderPoints(border);
  if (!IsConvexQuadrilateral(ordered)) return GridStatus::DegenerateBorder;
  double H[9];
  if (!UnitSquareHomography(ordered, H) || !OuterCornersInside(gray, H, grid)) return GridStatus::HomographyFailed;

  // The detector sees the whole board at once, where the walk sees a corner
  // at a time; clicks and detection then give the same corners.
  PointList refined;
  CornerSource from = CornerSource::Detector;
  GridDetection detection = DetectGridAtBorder(gray, grid, ordered, SearchArea(gray, H, grid));
  if (detection.status == GridStatus::Ok) {
    refined = std::move(detection.corners);
  } else {
    from = CornerSource::Walk;
    // A last pass with windows from the walked corners themselves, as the
    // detector's corners get. A corner it cannot refine is only where the
    // clicks predict it, maybe pixels off: the walk is refused.
    const GridStatus walked = RefineGridCorners(gray, WalkAndRefine(gray, H, grid), grid.nx, grid.ny, refined,
                                                std::nullopt, UnrefinedCorner::FailsTheGrid);
    if (walked != GridStatus::Ok) return walked;
    // The detector's corners were fitted to the grid already.
    if (!FitPointsToGrid(refined, grid.nx, grid.ny, gray.cols, gray.rows).fits ||
        !EachCornerFitsItsNeighbours(refined, grid.nx, grid.ny))
      return GridStatus::PointsDoNotFit;
  }
  if (source) *source = from;
  corners.clear();
  corners.reserve(refined.size());
  for (const ImagePoint& corner : refined) {
    corners.push_back(corner);
    if (onCorner) onCorner(static_cast<int>(corners.size()) - 1, corners.back());
  }
  return GridStatus::Ok;
}

BorderClick AddBorderPoint(CCalibrationData& store, int camera, int view, const ImagePoint& imagePoint,
                           double uncertainty) {
  BorderClick click;
  click.refined = imagePoint;
  PointList* border = store.GetBorderPoints(camera, view);
  if (border == nullptr) {
    click.status = GridStatus::NoView;
    return click;
  }
  click.borderCount = static_cast<int>(border->size());
  if (border->size() >= 4) {
    click.status = GridStatus::BorderComplete;
    return click;
  }
  const ViewAccess access = GrayImageOfView(store, camera, view);
  if (access.status != GridStatus::Ok) {
    click.status = access.status;
    return click;
  }
  const CornerRefinement refined = RefineClick(access.gray, imagePoint, uncertainty);
  click.status = refined.status;
  if (refined.status != GridStatus::Ok) return click;
  click.refined = refined.point;
  border->push_back(refined.point);
  click.borderCount = static_cast<int>(border->size());
  return click;
}

GridStatus EstimateGrid(CCalibrationData& store, int camera, int view, const CornerCallback& onCorner,
                        CornerSource* source) {
  const PointList* border = store.GetBorderPoints(camera, view);
  PointList* corners = store.GetGridPoints(camera, view);
  if (border == nullptr || corners == nullptr) return GridStatus::NoView;
  if (border->size() != 4) return GridStatus::BorderIncomplete;
  const GridDescription grid = store.GetGrid(camera);
  const GridStatus gridStatus = ValidateGrid(grid);
  if (gridStatus != GridStatus::Ok) return gridStatus;
  const ViewAccess access = GrayImageOfView(store, camera, view);
  if (access.status != GridStatus::Ok) return access.status;
  const std::array<ImagePoint, 4> clicks{(*border)[0], (*border)[1], (*border)[2], (*border)[3]};
  const GridStatus status = EstimateGridPoints(access.gray, clicks, grid, *corners, onCorner, source);
  if (status == GridStatus::Ok) store.MarkViewPointsCurrent(camera, view);
  return status;
}
