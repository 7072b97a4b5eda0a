#include "grid/CornerRefinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "grid/GridLineBend.h"

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

bool RunLibraryRefinement(const cv::Mat& image, cv::Point2f& corner, int halfWindow) {
  try {
    cv::cornerSubPix(image, CornerMat(corner), cv::Size(halfWindow, halfWindow), cv::Size(-1, -1), RefinementStop());
  } catch (const cv::Exception&) {
    return false;
  }
  return true;
}

// The library gives its start back, to the last bit, when its steps run out
// of the window or the window shows no gradients: nothing was refined, and
// the point may be pixels off its corner. A start that already is its corner
// can come back too (the last step is below the single-precision spacing);
// refined again from a little off, such a start is found again.
constexpr float kRestartOffset = 0.25f;
constexpr double kFoundAgain = 0.05;

// The library's refinement of `corner` in place: RefinementFailed when the
// library refuses, CornerNotRefined when it gives back a start that is no corner.
GridStatus LibraryRefinement(const cv::Mat& image, cv::Point2f& corner, int halfWindow) {
  const cv::Point2f start = corner;
  if (!RunLibraryRefinement(image, corner, halfWindow)) return GridStatus::RefinementFailed;
  if (corner != start) return GridStatus::Ok;
  const cv::Point2f restart = start + cv::Point2f(kRestartOffset, kRestartOffset);
  cv::Point2f again = restart;
  const bool foundAgain =
      RunLibraryRefinement(image, again, halfWindow) && again != restart && cv::norm(again - start) <= kFoundAgain;
  return foundAgain ? GridStatus::Ok : GridStatus::CornerNotRefined;
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
  result.status = LibraryRefinement(patch, corner, static_cast<int>(kWindowFraction * kPatchSquare));
  if (result.status != GridStatus::Ok) return result;
  const cv::Vec3d inPatch(corner.x, corner.y, 1.0);
  const cv::Vec2d inImage = toImage * inPatch;
  result.point = {inImage[0], inImage[1]};
  return result;
}

// One step from the corner along the grid's row or column: the shorter of the
// two sides, in their mean direction. At the grid's border, where only the
// inside is known, the step inside shrunk by as much as the next step inside
// shrinks towards the border (the ring squares beyond are further away). At
// the grid's four corners the step inside as it is: there both steps would be
// shrunk, each by a ratio of two short sides whose corners all lie on the
// border, and their noise, squared by the extrapolation, changes the window
// (and with it where the corner settles) from one pass to the next; the
// board's edges beyond are kept out by weight instead (kBoardEdgeReach).
std::optional<cv::Vec2d> GridStep(const PointList& corners, int nx, int ny, int row, int column, int dRow,
                                  int dColumn) {
  const auto at = [&](int k) -> std::optional<cv::Vec2d> {
    const int r = row + k * dRow, c = column + k * dColumn;
    if (r < 0 || r >= ny || c < 0 || c >= nx) return std::nullopt;
    const ImagePoint& p = corners[static_cast<size_t>(r) * nx + c];
    return cv::Vec2d(p.x, p.y);
  };
  const cv::Vec2d p = *at(0);
  const auto before = at(-1), after = at(1);
  if (before && after) {
    const cv::Vec2d mean = (*after - *before) / 2.0;
    const double meanLength = cv::norm(mean);
    if (!(meanLength > 0.0)) return std::nullopt;
    return mean * (std::min(cv::norm(*after - p), cv::norm(p - *before)) / meanLength);
  }
  const int inward = after ? 1 : -1;
  const auto next = at(inward), nextButOne = at(2 * inward);
  if (!next) return std::nullopt;
  const cv::Vec2d step = (*next - p) * static_cast<double>(inward);
  const bool gridCorner = dRow == 0 ? (row == 0 || row == ny - 1) : (column == 0 || column == nx - 1);
  if (!nextButOne || gridCorner) return step;
  const double further = cv::norm(*nextButOne - *next);
  if (!(further > 0.0)) return std::nullopt;
  return step * std::min(1.0, cv::norm(step) / further);
}

// The steps' share each way that the grid window spans, and the weight that
// falls to zero at its rim.
constexpr double kGridWindowShare = 0.6;
constexpr int kGridWindowIterations = 30;
constexpr double kGridWindowAccuracy = 1e-4;
// Once a step turns back, each step goes only this share of the way; a
// corner whose last step is still longer than kGridWindowUnsettled pixels has
// not settled anywhere.
constexpr double kGridWindowDamping = 0.5;
constexpr double kGridWindowUnsettled = 0.01;
// A corner that moves further than this share of a step from where it
// started has settled on something else.
constexpr double kGridWindowMaxShift = 0.25;
// Only pixels this close to one of the two grid lines (pixels, or share of
// the shorter step) take part: a blurred edge spreads a few pixels across, and
// what lies inside a square nearer its middle (a glare, a mark) tells nothing
// of the corner.
constexpr double kMinBand = 4.0;
constexpr double kBandShare = 0.2;
// At a corner on the grid's border the ring of squares beyond ends one step
// out, at the board's edge, which only its dark squares show (at the grid's
// four corners two such edges, one for each step):
// that edge lies on one side of the grid line running out across the border,
// and where the window comes within the blur's reach of it, it pulls the
// corner along the border (on 6 px squares seen at 70 degrees the window ends
// 1.4 px short of it). Pixels about this close to the line one step out, and
// to its mirror image one step in, so that the window stays symmetric about
// the corner, are weighted down: to nothing within 1 px of either line, not
// at all beyond 3 px.
constexpr double kBoardEdgeReach = 2.0;

double ImageAt(const cv::Mat& gray, int x, int y) { return static_cast<double>(gray.at<uchar>(y, x)); }

double SobelX(const cv::Mat& gray, int x, int y) {
  const auto d = [&](int row) { return ImageAt(gray, x + 1, row) - ImageAt(gray, x - 1, row); };
  return (d(y - 1) + 2.0 * d(y) + d(y + 1)) / 8.0;
}

double SobelY(const cv::Mat& gray, int x, int y) {
  const auto d = [&](int column) { return ImageAt(gray, column, y + 1) - ImageAt(gray, column, y - 1); };
  return (d(x - 1) + 2.0 * d(x) + d(x + 1)) / 8.0;
}

// The picture's gradients around one corner, each worked out once: the
// window moves a little at every step, but its pixels are mostly the same.
class GradientCache {
 public:
  GradientCache(const cv::Mat& gray, const cv::Rect& around)
      : gray_(gray), area_(around & cv::Rect(1, 1, gray.cols - 2, gray.rows - 2)),
        known_(static_cast<size_t>(area_.area()), false), values_(known_.size()) {}

  cv::Vec2d At(int x, int y) {
    if (!area_.contains(cv::Point(x, y))) return Compute(x, y);
    const size_t k = static_cast<size_t>(y - area_.y) * area_.width + (x - area_.x);
    if (!known_[k]) {
      values_[k] = Compute(x, y);
      known_[k] = true;
    }
    return values_[k];
  }

 private:
  cv::Vec2d Compute(int x, int y) const { return {SobelX(gray_, x, y), SobelY(gray_, x, y)}; }

  const cv::Mat& gray_;
  cv::Rect area_;
  std::vector<bool> known_;
  std::vector<cv::Vec2d> values_;
};

double SmoothStep(double t) {
  t = std::clamp(t, 0.0, 1.0);
  return t * t * (3.0 - 2.0 * t);
}

// The grid axes a corner's steps cross the board's edge along: the first
// (steps along the row) in the first and last columns, the second in the
// first and last rows; both at the grid's four corners.
std::array<bool, 2> BorderAxes(int nx, int ny, int row, int column) {
  return {column == 0 || column == nx - 1, row == 0 || row == ny - 1};
}

// The corner where the picture's edges inside the grid window cross: the
// point p minimising the sum over its pixels q of w (g . (q - p))^2, g the
// gradient at q, by fixed-point steps (each with the window moved to the last
// p). The window is the parallelogram spanned by the share of the two grid
// steps each way: it reaches no edge but the two grid lines through the
// corner, whatever the squares' shape, and is symmetric about the corner, so
// a junction of two straight blurred edges has its crossing as the fixed
// point. Gradients are the picture's own Sobel differences, in thin squares
// too: nothing resampled or rounded reaches the point, and the smoothing
// across each difference, symmetric as the window is, leaves that crossing in
// place while it takes most of the pixel noise out (where it reaches a thin
// square's far edges, it does so on both sides of the corner alike). At the
// border (borderAxes) the board's edge is kept out (kBoardEdgeReach). Nothing
// when the gradients give no crossing, or the corner moves too far.
std::optional<ImagePoint> RefineInGridWindow(const cv::Mat& gray, const ImagePoint& start, cv::Vec2d along,
                                             cv::Vec2d across, std::array<bool, 2> borderAxes,
                                             GridWindowReach& reach) {
  const double reachX = kGridWindowShare * (std::abs(along[0]) + std::abs(across[0]));
  const double reachY = kGridWindowShare * (std::abs(along[1]) + std::abs(across[1]));
  const double shrink = std::min(1.0, kMaxHalfWindow / std::max(reachX, reachY));
  along *= shrink;
  across *= shrink;
  const cv::Matx22d axes(along[0], across[0], along[1], across[1]);
  const double determinant = cv::determinant(axes);
  if (!(std::abs(determinant) > 1.0)) return std::nullopt;
  const cv::Matx22d toSteps = axes.inv() * (1.0 / kGridWindowShare);
  const double halfX = shrink * reachX + 1.0, halfY = shrink * reachY + 1.0;
  const double band = std::max(kMinBand, kBandShare * std::min(cv::norm(along), cv::norm(across)));
  const cv::Vec2d alongUnit = along / cv::norm(along), acrossUnit = across / cv::norm(across);
  // The distance in pixels across the lines one step out and one step in
  // that one whole step along each axis makes.
  const std::array<double, 2> stepWidth{std::abs(determinant) / cv::norm(across) / shrink,
                                        std::abs(determinant) / cv::norm(along) / shrink};
  const auto clearOfBoardEdge = [&](const cv::Vec2d& inSteps) {
    double weight = 1.0;
    for (int axis : {0, 1})
      if (borderAxes[axis]) {
        const double steps = std::abs(inSteps[axis]) * kGridWindowShare * shrink;
        weight *= SmoothStep((std::abs(steps - 1.0) * stepWidth[axis] - kBoardEdgeReach + 1.0) / 2.0);
      }
    return weight;
  };
  // Weight by the distance from the nearer of the two grid lines.
  const auto nearLines = [&](const cv::Vec2d& d) {
    const double nearer = std::min(std::abs(alongUnit[0] * d[1] - alongUnit[1] * d[0]),
                                   std::abs(acrossUnit[0] * d[1] - acrossUnit[1] * d[0]));
    if (nearer <= 0.5 * band) return 1.0;
    if (nearer >= band) return 0.0;
    const double r = (nearer - 0.5 * band) / (0.5 * band);
    const double t = 1.0 - r * r;
    return t * t;
  };
  cv::Vec2d p(start.x, start.y);
  const int marginX = static_cast<int>(std::ceil(halfX)) + 3, marginY = static_cast<int>(std::ceil(halfY)) + 3;
  const cv::Rect around(static_cast<int>(std::floor(p[0])) - marginX, static_cast<int>(std::floor(p[1])) - marginY,
                        2 * marginX + 1, 2 * marginY + 1);
  GradientCache gradients(gray, around);
  // The window moves with the point. On thin squares the pixels that enter and
  // leave it at each step can throw the point as far past the crossing as it
  // was short of it: the point then jumps to and fro between two places on
  // either side, and the last jump (0.7 px off on 6 px squares) would be the
  // result. A step that turns back therefore starts damped steps, which
  // settle between the two.
  double damping = 1.0;
  cv::Vec2d lastMove(0.0, 0.0);
  bool settled = false;
  for (int iteration = 0; iteration < kGridWindowIterations; ++iteration) {
    const int x0 = static_cast<int>(std::floor(p[0] - halfX)), x1 = static_cast<int>(std::ceil(p[0] + halfX));
    const int y0 = static_cast<int>(std::floor(p[1] - halfY)), y1 = static_cast<int>(std::ceil(p[1] + halfY));
    // A window reaching past the picture's edge keeps the pixels inside it:
    // the corner's edges there still cross where they do. (The pixel window
    // instead would see a replicated border, and put such a corner up to
    // 0.9 px off on a clean picture.)
    cv::Matx22d normal = cv::Matx22d::zeros();
    cv::Vec2d right(0.0, 0.0);
    for (int y = std::max(y0, 1); y <= std::min(y1, gray.rows - 2); ++y)
      for (int x = std::max(x0, 1); x <= std::min(x1, gray.cols - 2); ++x) {
        const cv::Vec2d inSteps = toSteps * cv::Vec2d(x - p[0], y - p[1]);
        const double a = inSteps[0] * inSteps[0], b = inSteps[1] * inSteps[1];
        if (a >= 1.0 || b >= 1.0) continue;
        const double w =
            (1.0 - a) * (1.0 - b) * nearLines(cv::Vec2d(x - p[0], y - p[1])) * clearOfBoardEdge(inSteps);
        if (w == 0.0) continue;
        const cv::Vec2d g = gradients.At(x, y);
        const double gx = g[0], gy = g[1];
        const cv::Matx22d term(w * gx * gx, w * gx * gy, w * gx * gy, w * gy * gy);
        normal += term;
        right += term * cv::Vec2d(x, y);
      }
    const double trace = normal(0, 0) + normal(1, 1);
    if (!(cv::determinant(normal) > 1e-9 * trace * trace)) return std::nullopt;
    const cv::Vec2d move = normal.inv() * right - p;
    if (move.dot(lastMove) < 0.0) damping = kGridWindowDamping;
    lastMove = move;
    p += damping * move;
    if (damping * cv::norm(move) < kGridWindowAccuracy) {
      settled = true;
      break;
    }
  }
  if (!settled && !(damping * cv::norm(lastMove) <= kGridWindowUnsettled)) return std::nullopt;
  const cv::Vec2d moved = toSteps * (p - cv::Vec2d(start.x, start.y)) * kGridWindowShare;
  if (!(std::abs(moved[0]) <= kGridWindowMaxShift && std::abs(moved[1]) <= kGridWindowMaxShift)) return std::nullopt;
  reach = std::array<double, 2>{kGridWindowShare * cv::norm(along), kGridWindowShare * cv::norm(across)};
  return ImagePoint{p[0], p[1]};
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
  result.status = LibraryRefinement(gray, corner, halfWindow);
  if (result.status == GridStatus::Ok) result.point = {corner.x, corner.y};
  return result;
}

namespace {

// The picture is smoothed this much (Gaussian sigma, px) before the saddle
// strength is taken around a click.
constexpr double kSaddleSmoothing = 1.0;
// Peaks weaker than this share of the strongest near the click are noise.
constexpr float kSaddleShare = 0.5f;
// The strongest peak is sought this much beyond the junction's reach: a
// junction just past the reach still marks the weak peaks inside it as noise.
constexpr double kStrongestBeyondReach = 1.0;

// Saddle strength of the smoothed picture: the mixed second derivative
// squared less the product of the two pure ones. It peaks where four squares
// meet (the picture bends up one way and down the other) and is near zero
// along a straight edge, whatever the squares' size and shape.
cv::Mat SaddleStrength(const cv::Mat& patch) {
  cv::Mat smooth, xx, yy, xy;
  patch.convertTo(smooth, CV_32F);
  cv::GaussianBlur(smooth, smooth, cv::Size(0, 0), kSaddleSmoothing);
  cv::Sobel(smooth, xx, CV_32F, 2, 0, 3);
  cv::Sobel(smooth, yy, CV_32F, 0, 2, 3);
  cv::Sobel(smooth, xy, CV_32F, 1, 1, 3);
  return xy.mul(xy) - xx.mul(yy);
}

bool IsPeak(const cv::Mat& strength, int row, int column) {
  const float value = strength.at<float>(row, column);
  if (!(value > 0.0f)) return false;
  for (int dr = -1; dr <= 1; ++dr)
    for (int dc = -1; dc <= 1; ++dc)
      if ((dr != 0 || dc != 0) && strength.at<float>(row + dr, column + dc) > value) return false;
  return true;
}

// Sub-pixel offset of a peak along one axis from the parabola through three values.
double PeakOffset(float before, float at, float after) {
  const double bend = before - 2.0 * at + after;
  return bend < 0.0 ? std::clamp(0.5 * (before - after) / bend, -0.5, 0.5) : 0.0;
}

struct SaddlePeak {
  ImagePoint at;
  float strength = 0.0f;
};

std::vector<SaddlePeak> SaddlePeaksNear(const cv::Mat& gray, const ImagePoint& click, double reach) {
  const int margin = static_cast<int>(std::ceil(reach + 3.0 * kSaddleSmoothing)) + 2;
  const int x = static_cast<int>(std::lround(click.x)), y = static_cast<int>(std::lround(click.y));
  const cv::Rect box =
      cv::Rect(x - margin, y - margin, 2 * margin + 1, 2 * margin + 1) & cv::Rect(0, 0, gray.cols, gray.rows);
  std::vector<SaddlePeak> peaks;
  if (box.width < 3 || box.height < 3) return peaks;
  const cv::Mat strength = SaddleStrength(gray(box));
  for (int r = 1; r + 1 < strength.rows; ++r)
    for (int c = 1; c + 1 < strength.cols; ++c) {
      if (!IsPeak(strength, r, c)) continue;
      const float value = strength.at<float>(r, c);
      const double dx = PeakOffset(strength.at<float>(r, c - 1), value, strength.at<float>(r, c + 1));
      const double dy = PeakOffset(strength.at<float>(r - 1, c), value, strength.at<float>(r + 1, c));
      const ImagePoint at{box.x + c + dx, box.y + r + dy};
      if (Length(at, click) <= reach) peaks.push_back({at, value});
    }
  return peaks;
}

// The junction of squares nearest the click within `reach`: the nearest of
// the saddle peaks there that are at least kSaddleShare as strong as the
// strongest peak a little further out. None on a featureless patch.
std::optional<ImagePoint> NearestJunction(const cv::Mat& gray, const ImagePoint& click, double reach) {
  const std::vector<SaddlePeak> peaks = SaddlePeaksNear(gray, click, reach + kStrongestBeyondReach);
  float strongest = 0.0f;
  for (const SaddlePeak& peak : peaks) strongest = std::max(strongest, peak.strength);
  std::optional<ImagePoint> nearest;
  for (const SaddlePeak& peak : peaks)
    if (peak.strength >= kSaddleShare * strongest && Length(peak.at, click) <= reach &&
        (!nearest || Length(peak.at, click) < Length(*nearest, click)))
      nearest = peak.at;
  return nearest;
}

// A refined click further than this from the junction nearest the click has
// been pulled off it by other squares' edges.
constexpr double kClickOffJunction = 1.0;

// How far a saddle peak may lie from its corner. On thin squares seen
// steeply, with noise, the smoothed peak sits up to about 0.7 px off the
// corner, and not always towards the click.
constexpr double kJunctionPeakOffCorner = 1.0;

// How far from a click its junction may lie: as far as the click may be off
// (not beyond the largest window; a NaN counts as that) and as far as the
// peak may be off its corner.
double JunctionReach(double uncertainty) {
  return (uncertainty < kMaxHalfWindow ? std::max(uncertainty, 0.0) : double(kMaxHalfWindow)) + kJunctionPeakOffCorner;
}

CornerRefinement RefineWithin(const cv::Mat& gray, const ImagePoint& start, int halfWindow) {
  CornerRefinement refined = RefineCorner(gray, start, ClampHalfWindow(gray, halfWindow));
  const bool carriedOff = refined.status == GridStatus::Ok && Length(refined.point, start) > refined.halfWindow;
  if (carriedOff || refined.status == GridStatus::CornerNotRefined) {
    refined.status = GridStatus::Ok;
    refined.point = start;
  }
  return refined;
}

}  // namespace

CornerRefinement RefineClick(const cv::Mat& gray, const ImagePoint& click, double uncertainty) {
  const CornerRefinement fromClick = RefineWithin(gray, click, ClickHalfWindow(uncertainty));
  if (fromClick.status != GridStatus::Ok) return fromClick;
  const std::optional<ImagePoint> junction = NearestJunction(gray, click, JunctionReach(uncertainty));
  if (!junction || Length(fromClick.point, *junction) <= kClickOffJunction) return fromClick;
  // From the junction the corner is about a pixel away: the smallest window
  // reaches least onto the neighbouring squares.
  return RefineWithin(gray, *junction, kMinHalfWindow);
}

namespace {

// Each grid corner in its grid window; where that gives nothing (a window
// beyond the picture, no crossing, a corner moving off), in the pixel window
// of the rule above, or the square patch for small squares.
CornerRefinement RefineInGridOrPixelWindow(const cv::Mat& gray, const PointList& start, int nx, int ny, int row,
                                           int column, const CornerNeighbourhood& around, GridWindowReach& reach) {
  const ImagePoint& point = start[static_cast<size_t>(row) * nx + column];
  const double extent = ShortestSquareExtent(around);
  const int halfWindow = ClampHalfWindow(gray, FittingHalfWindow(extent));
  if (InsideImage(gray, point)) {
    const auto along = GridStep(start, nx, ny, row, column, 0, 1);
    const auto across = GridStep(start, nx, ny, row, column, 1, 0);
    if (along && across)
      if (const auto refined = RefineInGridWindow(gray, point, *along, *across, BorderAxes(nx, ny, row, column), reach))
        return CornerRefinement{GridStatus::Ok, *refined, halfWindow};
  }
  cv::Vec2d along, across;
  const bool smallSquares = kWindowFraction * extent < kMinHalfWindow + 1;
  return smallSquares && InsideImage(gray, point) && LocalSquareAxes(around, along, across)
             ? RefineInSquarePatch(gray, point, along, across)
             : RefineCorner(gray, point, halfWindow);
}

}  // namespace

GridStatus RefineGridCorners(const cv::Mat& gray, const PointList& start, int nx, int ny, PointList& refined,
                             std::optional<double> maxShiftShare, UnrefinedCorner unrefined) {
  if (nx < 2 || ny < 2 || start.size() != static_cast<size_t>(nx) * ny) return GridStatus::WrongPointCount;
  if (gray.empty() || gray.type() != CV_8UC1) return GridStatus::BadImage;
  if (!WindowFitsImage(gray, kMinHalfWindow)) return GridStatus::WindowTooLarge;
  PointList result(start.size());
  std::vector<GridWindowReach> reach(start.size());
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column) {
      const size_t k = static_cast<size_t>(row) * nx + column;
      const CornerNeighbourhood around = NeighbourhoodOf(start, nx, ny, row, column);
      const CornerRefinement r = RefineInGridOrPixelWindow(gray, start, nx, ny, row, column, around, reach[k]);
      if (r.status == GridStatus::PointOutsideImage && maxShiftShare) return GridStatus::BoardNotFound;
      if (r.status != GridStatus::Ok && unrefined == UnrefinedCorner::FailsTheGrid) return r.status;
      result[k] = r.point;
      if (maxShiftShare && Length(r.point, start[k]) > *maxShiftShare * NearestNeighbourDistance(around))
        return GridStatus::RefinementFailed;
    }
  StraightenGridWindowCorners(result, nx, ny, reach);
  refined = std::move(result);
  return GridStatus::Ok;
}
