#include "grid/GridDetection.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calib/GridFit.h"
#include "core/CalibrationData.h"
#include "grid/DetectorRandomness.h"

namespace {

// The library's detectors need at least three corners along each side.
constexpr int kMinDetectableSide = 3;
// Fewer pixels than this along a side cannot show any board.
constexpr int kMinImageSide = 16;
// A refined corner that moved further than this share of the distance to its
// nearest neighbour has settled on something else. The detectors' own corners
// on a steep view can be a quarter of that distance off, so the first pass
// allows more; the corners must then still fit the grid.
constexpr double kMaxRefinementShift = 0.25;
constexpr double kMaxFirstRefinementShift = 0.5;
// The colours decide the origin only when this share of the squares agrees.
constexpr double kMinColourAgreement = 0.75;
// A board continues beyond the grid when this share of the corners one square
// outside one of its edges look like chequerboard corners.
constexpr double kMaxOuterCornerShare = 0.6;
// The quick search looks at the picture reduced to this longest side, and
// takes its corners only where the squares there are at least this wide.
constexpr int kQuickSearchSide = 1024;
constexpr double kQuickSearchMinSquare = 8.0;
// The quick check keeps the classic detector from searching a board-less
// picture for seconds.
constexpr int kClassicFlags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_FAST_CHECK;
// On a picture it searches at its own size, the quick search takes one
// threshold, not the adaptive ones: with those the classic detector can work
// for tens of seconds on a steeply tilted board before it gives up or finds
// it (boards tilted 60 and 70 degrees at 640x480), where the sector-based
// search after it takes under a second. A board the one threshold misses is
// left to the sector-based search, which also copes with uneven light.
constexpr int kPlainClassicFlags = cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_FAST_CHECK;

// The classic detector's flags for a picture searched at its own size.
int ClassicFlagsAtOwnSize(const cv::Mat& gray) {
  return std::max(gray.cols, gray.rows) <= kQuickSearchSide ? kPlainClassicFlags : kClassicFlags;
}
// Refinement passes at most, while the windows keep changing.
constexpr int kMaxRefinementPasses = 5;
// The clicked board is searched again in a picture where its grid is made
// square: squares this wide, with this many squares of margin around the grid
// (the printed ring and some background).
constexpr float kRectifiedSquare = 16.0f;
constexpr int kRectifiedMargin = 2;

using Points = std::vector<cv::Point2f>;

// One way of reading the detector's rows of nx corners as the grid: corner
// (row, column) of the grid is detector corner Index(row, column).
struct Reading {
  bool transpose = false;
  bool flipRows = false;
  bool flipColumns = false;

  int Index(int row, int column, int nx, int ny) const {
    int r = flipRows ? ny - 1 - row : row;
    int c = flipColumns ? nx - 1 - column : column;
    if (transpose) std::swap(r, c);  // square grids only, so nx == ny
    return r * nx + c;
  }
};

struct Candidate {
  Points grid;  // in grid order
  int colourAgreement = 0;
};

Points Reorder(const Points& detected, const Reading& reading, int nx, int ny) {
  Points grid(detected.size());
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column) grid[row * nx + column] = detected[reading.Index(row, column, nx, ny)];
  return grid;
}

// The grid order runs (0,0) -> (0,nx-1) -> (ny-1,nx-1) -> (ny-1,0) clockwise on
// the screen, as the clicked border points do: a positive area with y down.
bool ClockwiseOnScreen(const Points& grid, int nx, int ny) {
  const std::array<cv::Point2f, 4> outer{grid[0], grid[nx - 1], grid[ny * nx - 1], grid[(ny - 1) * nx]};
  double area = 0.0;
  for (int k = 0; k < 4; ++k) {
    const cv::Point2f& a = outer[k];
    const cv::Point2f& b = outer[(k + 1) % 4];
    area += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
  }
  return area > 0.0;
}

float SampleGray(const cv::Mat& gray, cv::Point2f p) {
  const int x = std::clamp(static_cast<int>(std::lround(p.x)), 0, gray.cols - 1);
  const int y = std::clamp(static_cast<int>(std::lround(p.y)), 0, gray.rows - 1);
  return gray.at<uchar>(y, x);
}

// Mean gray level of the middle of the square whose upper-left grid corner is
// (row, column): nine samples inside the half-size quadrilateral.
float SquareGray(const cv::Mat& gray, const Points& grid, int nx, int row, int column) {
  const cv::Point2f a = grid[row * nx + column], b = grid[row * nx + column + 1];
  const cv::Point2f c = grid[(row + 1) * nx + column + 1], d = grid[(row + 1) * nx + column];
  float sum = 0.0f;
  for (float s : {0.25f, 0.5f, 0.75f})
    for (float t : {0.25f, 0.5f, 0.75f}) {
      const cv::Point2f top = a + (b - a) * s, bottom = d + (c - d) * s;
      sum += SampleGray(gray, top + (bottom - top) * t);
    }
  return sum / 9.0f;
}

// Squares that agree with "the square at the origin (row ny-1, column 0) is
// dark": each square is compared with its neighbours, not with a fixed
// level, so uneven lighting does not matter.
int ColourAgreement(const cv::Mat& gray, const Points& grid, int nx, int ny) {
  const int columns = nx - 1, rows = ny - 1;
  std::vector<float> level(static_cast<size_t>(rows) * columns);
  for (int row = 0; row < rows; ++row)
    for (int column = 0; column < columns; ++column)
      level[row * columns + column] = SquareGray(gray, grid, nx, row, column);
  int agreement = 0;
  for (int row = 0; row < rows; ++row)
    for (int column = 0; column < columns; ++column) {
      float neighbours = 0.0f;
      int count = 0;
      const int steps[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
      for (const auto& step : steps) {
        const int r = row + step[0], c = column + step[1];
        if (r < 0 || r >= rows || c < 0 || c >= columns) continue;
        neighbours += level[r * columns + c];
        ++count;
      }
      if (count == 0) continue;
      const float contrast = level[row * columns + column] - neighbours / count;
      const bool dark = ((rows - 1 - row) + column) % 2 == 0;
      if (dark ? contrast < 0.0f : contrast > 0.0f) ++agreement;
    }
  return agreement;
}

// How far the X axis (origin towards row ny-1, column nx-1) points to the right.
double XAxisRightness(const Points& grid, int nx, int ny) {
  const cv::Point2f axis = grid[ny * nx - 1] - grid[(ny - 1) * nx];
  const double length = std::hypot(axis.x, axis.y);
  return length > 0.0 ? axis.x / length : -1.0;
}

// Puts the detector's corners into the grid order with the physical origin.
GridStatus ChooseReading(const cv::Mat& gray, const Points& detected, int nx, int ny, Points& grid,
                         bool& originFromColours) {
  std::vector<Candidate> candidates;
  for (int transpose = 0; transpose <= (nx == ny ? 1 : 0); ++transpose)
    for (int flipRows = 0; flipRows <= 1; ++flipRows)
      for (int flipColumns = 0; flipColumns <= 1; ++flipColumns) {
        Points reordered = Reorder(detected, Reading{transpose == 1, flipRows == 1, flipColumns == 1}, nx, ny);
        if (ClockwiseOnScreen(reordered, nx, ny)) candidates.push_back({std::move(reordered), 0});
      }
  if (candidates.empty()) return GridStatus::BoardNotFound;
  for (Candidate& c : candidates) c.colourAgreement = ColourAgreement(gray, c.grid, nx, ny);
  const int best = std::max_element(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
                     return a.colourAgreement < b.colourAgreement;
                   })->colourAgreement;
  // Readings the colours cannot tell apart score exactly alike: they sample the
  // same squares against the same pattern.
  const bool decided = std::any_of(candidates.begin(), candidates.end(),
                                   [&](const Candidate& c) { return c.colourAgreement != best; });
  if (decided && best < kMinColourAgreement * (nx - 1) * (ny - 1)) return GridStatus::OriginUnclear;
  std::erase_if(candidates, [&](const Candidate& c) { return c.colourAgreement != best; });
  const auto chosen = std::max_element(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
    return XAxisRightness(a.grid, nx, ny) < XAxisRightness(b.grid, nx, ny);
  });
  grid = chosen->grid;
  originFromColours = decided;
  return GridStatus::Ok;
}

// Sine of the smallest angle between a detected outer corner's two grid steps.
constexpr double kMinStepsSine = 0.2;

// Whether a click belongs to a grid corner and not to one of the grid's
// points around it (on the board or beyond its edge): it lies nearer the
// corner than any of them. On a steep view the two grid steps at a corner
// differ much in length and direction, so no circle around the corner tells
// this. Steps (nearly) along one line are a misplaced detected corner, not a
// grid: no click belongs to it.
bool NearestGridPoint(const cv::Point2f& corner, const cv::Point2f& rowStep, const cv::Point2f& columnStep,
                      const ImagePoint& click) {
  const double dx = click.x - corner.x, dy = click.y - corner.y;
  const cv::Point2d a(rowStep), b(columnStep);
  if (std::abs(a.cross(b)) < kMinStepsSine * std::sqrt(a.dot(a) * b.dot(b))) return false;
  for (const cv::Point2d& v : {a, b, a + b, a - b}) {
    const double along = dx * v.x + dy * v.y, half = 0.5 * v.dot(v);
    if (std::abs(along) >= half) return false;
  }
  return true;
}

// The reading of the detector's corners whose outer corners lie at the
// clicked ones, each nearer its corner than any other point of the grid.
bool ReadInClickedOrder(const Points& detected, const std::array<ImagePoint, 4>& ordered, int nx, int ny,
                        Points& grid) {
  const std::array<int, 4> outer{0, nx - 1, ny * nx - 1, (ny - 1) * nx};  // s0, s1, s2, s3 in grid order
  const int rowNeighbours[4] = {1, nx - 2, ny * nx - 2, (ny - 1) * nx + 1};
  const int columnNeighbours[4] = {nx, 2 * nx - 1, (ny - 1) * nx - 1, (ny - 2) * nx};
  for (int transpose = 0; transpose <= (nx == ny ? 1 : 0); ++transpose)
    for (int flipRows = 0; flipRows <= 1; ++flipRows)
      for (int flipColumns = 0; flipColumns <= 1; ++flipColumns) {
        Points reordered = Reorder(detected, Reading{transpose == 1, flipRows == 1, flipColumns == 1}, nx, ny);
        bool matches = true;
        for (int k = 0; k < 4 && matches; ++k) {
          const cv::Point2f corner = reordered[outer[k]];
          matches = NearestGridPoint(corner, reordered[rowNeighbours[k]] - corner,
                                     reordered[columnNeighbours[k]] - corner, ordered[k]);
        }
        if (matches) {
          grid = std::move(reordered);
          return true;
        }
      }
  return false;
}

// The classic detector's outcome on a picture searched at its own size,
// kept so that the thorough search of the same picture takes it instead of
// running the detector again: where the board is of another size than the
// one looked for, or steeply tilted, it searches for seconds before it gives up.
struct ClassicOutcome {
  bool ran = false;
  Points corners;  // empty where it found no board
};

bool RunLibraryDetectors(const cv::Mat& gray, int nx, int ny, Points& corners, const ClassicOutcome* classic = nullptr) {
  const cv::Size pattern(nx, ny);
  try {
    if (FindBoardFromFixedState(gray, pattern, corners, cv::CALIB_CB_NORMALIZE_IMAGE)) return true;
    corners.clear();
    // Steep boards with far squares of a few pixels need the thorough search.
    if (FindBoardFromFixedState(gray, pattern, corners, cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_EXHAUSTIVE))
      return true;
    corners.clear();
    // The quick check keeps the classic detector from searching a board-less
    // picture for seconds.
    if (classic != nullptr && classic->ran) {
      corners = classic->corners;
      return !corners.empty();
    }
    if (cv::findChessboardCorners(gray, pattern, corners, kClassicFlags)) return true;
  } catch (const cv::Exception&) {
  }
  corners.clear();
  return false;
}

// Corners found in a reduced picture, in full size pixel coordinates.
void ScaleUp(Points& corners, const cv::Mat& full, const cv::Mat& reduced) {
  const double sx = static_cast<double>(full.cols) / reduced.cols, sy = static_cast<double>(full.rows) / reduced.rows;
  for (cv::Point2f& p : corners)
    p = cv::Point2f(static_cast<float>((p.x + 0.5) * sx - 0.5), static_cast<float>((p.y + 0.5) * sy - 0.5));
}

cv::Mat Reduced(const cv::Mat& gray, int longestSide) {
  const int side = std::max(gray.cols, gray.rows);
  if (side <= longestSide) return gray;
  const double scale = static_cast<double>(longestSide) / side;
  cv::Mat reduced;
  cv::resize(gray, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
  return reduced;
}

// Shortest distance between neighbouring corners of the detector's rows.
double ShortestCornerSpacing(const Points& corners, int nx, int ny) {
  double shortest = std::numeric_limits<double>::infinity();
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column) {
      const cv::Point2f p = corners[row * nx + column];
      if (column + 1 < nx) shortest = std::min(shortest, static_cast<double>(cv::norm(corners[row * nx + column + 1] - p)));
      if (row + 1 < ny) shortest = std::min(shortest, static_cast<double>(cv::norm(corners[(row + 1) * nx + column] - p)));
    }
  return shortest;
}

// The classic detector on a picture reduced to kQuickSearchSide: a few
// milliseconds where the sector-based one takes a few hundred. Its corners
// are only a start (refinement at full size places them); a board whose
// squares the reduced picture shows too small is left to the thorough search.
bool QuickSearch(const cv::Mat& gray, int nx, int ny, Points& corners, int side = kQuickSearchSide,
                 ClassicOutcome* classic = nullptr, int flags = kClassicFlags) {
  const cv::Mat reduced = Reduced(gray, side);
  bool found = false;
  try {
    found = cv::findChessboardCorners(reduced, cv::Size(nx, ny), corners, flags);
  } catch (const cv::Exception&) {
  }
  if (!found) corners.clear();
  if (classic != nullptr && reduced.data == gray.data) *classic = ClassicOutcome{true, corners};
  if (!found) return false;
  if (corners.size() != static_cast<size_t>(nx) * ny || ShortestCornerSpacing(corners, nx, ny) < kQuickSearchMinSquare) {
    corners.clear();
    return false;
  }
  ScaleUp(corners, gray, reduced);
  return true;
}

// The sector-based search, large views at a reduced size and then, for
// squares too small for that, at full size.
bool SectorSearch(const cv::Mat& gray, int nx, int ny, Points& corners, const ClassicOutcome* classic = nullptr) {
  const cv::Mat reduced = Reduced(gray, kDetectionSide);
  if (reduced.data == gray.data) return RunLibraryDetectors(gray, nx, ny, corners, classic);
  if (!RunLibraryDetectors(reduced, nx, ny, corners)) return RunLibraryDetectors(gray, nx, ny, corners);
  ScaleUp(corners, gray, reduced);
  return true;
}

// The quick search first; where it finds nothing, the sector-based search.
// The corners come back in full size pixel coordinates.
bool FindBoard(const cv::Mat& gray, int nx, int ny, Points& corners, BoardSearch search = BoardSearch::QuickFirst) {
  ClassicOutcome classic;
  if (search == BoardSearch::QuickFirst &&
      QuickSearch(gray, nx, ny, corners, kQuickSearchSide, &classic, ClassicFlagsAtOwnSize(gray)))
    return true;
  return SectorSearch(gray, nx, ny, corners, &classic);
}

// A board tilted 60 to 70 degrees shows squares two to three times narrower
// across the tilt than along it, which the detectors do not take as squares.
// The steep search stretches the picture across the tilt (of the picture
// reduced to kSteepSearchSide first), the far squares' narrow side widened,
// and searches the stretched copy: first the one its gradients suggest
// (GuessTilt below), then copies stretched by this ratio in four directions,
// 45 degrees apart, so one is within 22.5 degrees of any tilt, then the
// suggested stretch to either side of the suggested direction, then those
// three directions stretched further.
constexpr double kSteepStretch = 2.5;
constexpr double kSteepDirections[] = {0.0, 45.0, 90.0, 135.0};
constexpr int kSteepSearchSide = 1024;
// A copy is searched only where it shows at least as many saddle points (the
// X-junctions where four squares meet) as the grid has corners, so a picture
// without the board, or with a smaller one, costs a few filter passes.
// Saddles are counted in the stretched copy smoothed by this many pixels,
// at most one within this radius, and only where the saddle strength
// reaches this share of that of an ideal junction of the picture's contrast.
constexpr double kSaddleSmoothing = 1.5;
constexpr int kSaddleRadius = 3;
constexpr double kMinSaddleShare = 0.1;

// Picture -> stretched copy: `along` times along the direction at `degrees`
// from the x axis, `across` times across it, shifted so the copy starts at 0.
cv::Matx23d StretchMap(const cv::Size& size, double degrees, double along, double across, cv::Size& stretched) {
  const double angle = degrees * CV_PI / 180.0, c = std::cos(angle), s = std::sin(angle);
  const cv::Matx22d turn(c, -s, s, c);
  const cv::Matx22d map = turn * cv::Matx22d(along, 0.0, 0.0, across) * turn.t();
  double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
  for (const cv::Vec2d& corner : {cv::Vec2d(0, 0), cv::Vec2d(size.width, 0), cv::Vec2d(0, size.height),
                                 cv::Vec2d(size.width, size.height)}) {
    const cv::Vec2d q = map * corner;
    minX = std::min(minX, q[0]), maxX = std::max(maxX, q[0]), minY = std::min(minY, q[1]), maxY = std::max(maxY, q[1]);
  }
  stretched = cv::Size(static_cast<int>(std::ceil(maxX - minX)), static_cast<int>(std::ceil(maxY - minY)));
  return cv::Matx23d(map(0, 0), map(0, 1), -minX, map(1, 0), map(1, 1), -minY);
}

// Spread of the gray levels: the 2nd to the 98th percentile.
double GrayContrast(const cv::Mat& gray) {
  int histogram[256] = {};
  for (int y = 0; y < gray.rows; ++y) {
    const uchar* row = gray.ptr<uchar>(y);
    for (int x = 0; x < gray.cols; ++x) ++histogram[row[x]];
  }
  const double total = static_cast<double>(gray.total());
  double seen = 0.0;
  int low = 0, high = 255;
  for (int level = 0; level < 256; ++level) {
    seen += histogram[level];
    if (seen <= 0.02 * total) low = level;
    if (seen < 0.98 * total) high = level + 1;
  }
  return std::max(0, high - low);
}

// Saddle points of the smoothed gray levels: where the Hessian's determinant
// is most negative, a local extreme, and strong for the picture's contrast.
// A junction of contrast C smoothed by sigma has a mixed second derivative of
// C / (pi sigma^2) at its centre, so a determinant of minus its square.
// The mask is non-zero at each.
cv::Mat SaddlePoints(const cv::Mat& gray) {
  cv::Mat smooth, xx, yy, xy;
  gray.convertTo(smooth, CV_32F);
  cv::GaussianBlur(smooth, smooth, cv::Size(), kSaddleSmoothing);
  cv::Sobel(smooth, xx, CV_32F, 2, 0, 3);
  cv::Sobel(smooth, yy, CV_32F, 0, 2, 3);
  cv::Sobel(smooth, xy, CV_32F, 1, 1, 3);
  cv::Mat strength = xy.mul(xy) - xx.mul(yy);
  // The 3x3 Sobel kernels give four times the second derivatives.
  const double ideal = 4.0 * GrayContrast(gray) / (CV_PI * kSaddleSmoothing * kSaddleSmoothing);
  const double threshold = kMinSaddleShare * ideal * ideal;
  cv::Mat largest;
  const int reach = 2 * kSaddleRadius + 1;
  cv::dilate(strength, largest, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(reach, reach)));
  // A flat picture has no contrast and so no saddle at all.
  if (!(threshold > 0.0)) return cv::Mat::zeros(gray.size(), CV_8U);
  return (strength >= threshold) & (strength >= largest);
}

int CountSaddles(const cv::Mat& gray) { return cv::countNonZero(SaddlePoints(gray)); }

// How a steep board lies in the picture: the direction across its tilt, in
// which its squares are narrowest, and how much to stretch along it so that
// they come out about square. Taken from the second moments of the gray
// level gradients inside the outline of the picture's saddle points (the
// board, where nothing else shows junctions): a chequerboard seen
// square has as many edges along each of its axes; seen tilted, the edges
// along the tilt axis crowd together, so the gradients across the tilt
// outweigh the others, roughly by the foreshortening. The four fixed
// directions of the search are up to 22.5 degrees off this, too far for the
// library's detector on boards tilted 70 degrees whose tilt axis runs
// diagonally to their squares (they are sheared, not just narrowed).
struct TiltGuess {
  double degrees = 0.0;
  double stretch = 1.0;
};

// The guess may be this many degrees off (measured up to 10.6 on boards tilted
// 70 degrees with 6 px far squares, where the library's detector took copies
// up to about 5 degrees off only).
constexpr double kGuessUncertainty = 7.5;

// Below this stretch the picture is nearly the one the plain search missed;
// beyond the largest, the guess is taken as this.
constexpr double kMinGuessedStretch = 1.2;
constexpr double kMaxGuessedStretch = 4.0;
// The guessed stretch can fall short of the tilt: on a board tilted 70
// degrees with 6 px far squares it came out at 2.86; the library's detector
// took a few copies stretched that much and every one stretched 3.5 times
// within 8 degrees of the direction across the tilt, and missed the guess and
// the copies beside it.
// The guessed directions are then searched again, stretched this much more
// (up to the largest guess).
constexpr double kFurtherStretch = 1.25;

std::optional<TiltGuess> GuessTilt(const cv::Mat& gray, int corners) {
  cv::Mat inside = SaddlePoints(gray);
  std::vector<cv::Point> saddles;
  cv::findNonZero(inside, saddles);
  // The far junctions of a steep board are thin and weak before stretching:
  // a quarter of them suffices to outline the board; the stretched copy must
  // still show them all.
  if (4 * static_cast<int>(saddles.size()) < corners) return std::nullopt;
  std::vector<cv::Point> hull;
  cv::convexHull(saddles, hull);
  inside.setTo(0);
  cv::fillConvexPoly(inside, hull, cv::Scalar(255));
  cv::Mat gx, gy;
  cv::Sobel(gray, gx, CV_32F, 1, 0, 3);
  cv::Sobel(gray, gy, CV_32F, 0, 1, 3);
  double xx = 0.0, xy = 0.0, yy = 0.0;
  for (int y = 0; y < gray.rows; ++y) {
    const uchar* in = inside.ptr<uchar>(y);
    const float* u = gx.ptr<float>(y);
    const float* v = gy.ptr<float>(y);
    for (int x = 0; x < gray.cols; ++x)
      if (in[x]) {
        const double dx = u[x], dy = v[x];
        xx += dx * dx, xy += dx * dy, yy += dy * dy;
      }
  }
  const double half = 0.5 * (xx + yy);
  const double spread = std::sqrt(0.25 * (xx - yy) * (xx - yy) + xy * xy);
  const double larger = half + spread, smaller = half - spread;
  if (!(smaller > 0.0) || !(larger >= kMinGuessedStretch * smaller)) return std::nullopt;
  TiltGuess guess;
  guess.degrees = 0.5 * std::atan2(2.0 * xy, xx - yy) * 180.0 / CV_PI;
  guess.stretch = std::min(kMaxGuessedStretch, larger / smaller);
  return guess;
}

struct StretchedCopy {
  cv::Mat gray;
  cv::Matx23d toCopy;
};

// The picture stretched `stretch` times along the direction at `degrees`,
// and `scale` times overall.
StretchedCopy Stretched(const cv::Mat& gray, double degrees, double stretch, double scale) {
  StretchedCopy copy;
  cv::Size size;
  copy.toCopy = StretchMap(gray.size(), degrees, scale * stretch, scale, size);
  cv::warpAffine(gray, copy.gray, copy.toCopy, size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return copy;
}

using SteepCopy = TiltGuess;

// The library's sector-based detector on one stretched copy (of the picture
// reduced by `scale`), its corners mapped back to the picture.
bool SearchStretched(const cv::Mat& gray, const SteepCopy& steep, double scale, int nx, int ny, Points& corners) {
  const StretchedCopy copy = Stretched(gray, steep.degrees, steep.stretch, scale);
  try {
    if (!FindBoardFromFixedState(copy.gray, cv::Size(nx, ny), corners, cv::CALIB_CB_NORMALIZE_IMAGE)) return false;
    cv::Mat back;
    cv::invertAffineTransform(cv::Mat(copy.toCopy), back);
    cv::transform(corners, corners, back);
    return true;
  } catch (const cv::Exception&) {
  }
  return false;
}

// Each copy's saddle count is worked out only when the search reaches it:
// where an earlier copy shows the board, the later ones cost nothing.
bool SteepSearch(const cv::Mat& gray, int nx, int ny, Points& corners) {
  const int side = std::max(gray.cols, gray.rows);
  const double scale = std::min(1.0, static_cast<double>(kSteepSearchSide) / side);
  // Saddles are counted in copies of half the size, which cost a quarter.
  const cv::Mat half = Reduced(gray, static_cast<int>(0.5 * scale * side));
  const double halfScale = 0.5 * scale * side / std::max(half.cols, half.rows);
  const auto saddles = [&](const SteepCopy& copy) {
    return CountSaddles(Stretched(half, copy.degrees, copy.stretch, halfScale).gray);
  };
  const auto found = [&](const SteepCopy& copy) { return SearchStretched(gray, copy, scale, nx, ny, corners); };
  // The copy the picture's gradients point to first, then the fixed ones,
  // then the guessed stretch a little to either side of the guess.
  const auto guess = GuessTilt(Reduced(gray, kSteepSearchSide), nx * ny);
  if (guess && saddles(*guess) >= nx * ny && found(*guess)) return true;
  std::vector<std::pair<int, SteepCopy>> fixed;  // saddles, copy
  for (double direction : kSteepDirections) {
    const SteepCopy copy{direction, kSteepStretch};
    const int count = saddles(copy);
    if (count >= nx * ny) fixed.emplace_back(count, copy);
  }
  // The copy with the most saddles most likely shows the board's squares whole.
  std::stable_sort(fixed.begin(), fixed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second.degrees > b.second.degrees;
  });
  for (const auto& copy : fixed)
    if (found(copy.second)) return true;
  if (guess) {
    const double further = std::min(kMaxGuessedStretch, kFurtherStretch * guess->stretch);
    std::vector<SteepCopy> around{{guess->degrees - kGuessUncertainty, guess->stretch},
                                  {guess->degrees + kGuessUncertainty, guess->stretch}};
    if (further > guess->stretch)
      for (double beside : {0.0, -1.0, 1.0}) around.push_back({guess->degrees + beside * kGuessUncertainty, further});
    for (const SteepCopy& copy : around)
      if (saddles(copy) >= nx * ny && found(copy)) return true;
  }
  corners.clear();
  return false;
}

// The clicked board seen square: the picture warped so that the four clicked
// outer corners become the corners of a grid of kRectifiedSquare squares,
// searched there, and the corners mapped back. Steep views whose squares the
// detectors cannot take in the picture itself are found this way.
bool RectifiedSearch(const cv::Mat& gray, const std::array<ImagePoint, 4>& ordered, int nx, int ny, Points& corners) {
  const float margin = kRectifiedMargin * kRectifiedSquare;
  const float width = (nx - 1) * kRectifiedSquare, height = (ny - 1) * kRectifiedSquare;
  const cv::Point2f square[4] = {{margin, margin}, {margin + width, margin}, {margin + width, margin + height},
                                 {margin, margin + height}};
  cv::Point2f clicked[4];
  for (int k = 0; k < 4; ++k) clicked[k] = cv::Point2f(static_cast<float>(ordered[k].x), static_cast<float>(ordered[k].y));
  try {
    const cv::Mat toPicture = cv::getPerspectiveTransform(square, clicked);
    cv::Mat rectified;
    const cv::Size size(static_cast<int>(width + 2 * margin), static_cast<int>(height + 2 * margin));
    cv::warpPerspective(gray, rectified, toPicture, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    if (!RunLibraryDetectors(rectified, nx, ny, corners)) return false;
    cv::perspectiveTransform(corners, corners, toPicture);
  } catch (const cv::Exception&) {
    corners.clear();
    return false;
  }
  return std::all_of(corners.begin(), corners.end(), [](const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

// The window each corner's refinement gets from where the corners are.
std::vector<int> FittedWindows(const cv::Mat& gray, const PointList& corners, int nx, int ny) {
  std::vector<int> windows(corners.size());
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column)
      windows[static_cast<size_t>(row) * nx + column] =
          ClampHalfWindow(gray, FittingHalfWindow(ShortestSquareExtent(corners, nx, ny, row, column)));
  return windows;
}

// Every corner refined again and again, each time in windows fitted to the
// corners of the pass before, until the windows no longer change (at least
// twice): the corners then sit where their own windows put them, wherever
// the search started. A corner that wanders off to another feature makes
// the whole detection fail rather than store it.
GridStatus RefineDetected(const cv::Mat& gray, const Points& grid, int nx, int ny, PointList& refined) {
  PointList corners(grid.size());
  for (size_t k = 0; k < grid.size(); ++k) corners[k] = ImagePoint{grid[k].x, grid[k].y};
  std::vector<int> windows;
  for (int pass = 0; pass < kMaxRefinementPasses; ++pass) {
    PointList next;
    const GridStatus status =
        RefineGridCorners(gray, corners, nx, ny, next, pass == 0 ? kMaxFirstRefinementShift : kMaxRefinementShift);
    if (status != GridStatus::Ok) return status;
    corners = std::move(next);
    std::vector<int> nextWindows = FittedWindows(gray, corners, nx, ny);
    if (pass > 0 && nextWindows == windows) break;
    windows = std::move(nextWindows);
  }
  refined = std::move(corners);
  return GridStatus::Ok;
}

// True when the gray levels around p show a chequerboard corner: opposite
// quadrants alike, neighbouring ones clearly different.
bool LooksLikeCorner(const cv::Mat& gray, cv::Point2f p, cv::Point2f along, cv::Point2f across, float contrast) {
  const auto sample = [&](float a, float b) {
    const cv::Point2f q = p + along * a + across * b;
    if (q.x < 0 || q.y < 0 || q.x > gray.cols - 1 || q.y > gray.rows - 1) return -1.0f;
    return SampleGray(gray, q);
  };
  const float q1 = sample(0.3f, 0.3f), q2 = sample(-0.3f, 0.3f), q3 = sample(-0.3f, -0.3f), q4 = sample(0.3f, -0.3f);
  if (q1 < 0 || q2 < 0 || q3 < 0 || q4 < 0) return false;
  const float alike = std::max(std::abs(q1 - q3), std::abs(q2 - q4));
  const float differ = std::min(std::abs(q1 - q2), std::abs(q3 - q4));
  return differ > 0.5f * contrast && alike < 0.5f * differ;
}

// The printed board has one ring of squares around the grid and then a plain
// margin. A board with more squares than the grid shows further corners one
// square beyond an edge; the detectors may then have found a part of it.
bool BoardContinuesBeyond(const cv::Mat& gray, const Points& grid, int nx, int ny) {
  float darkest = 255.0f, lightest = 0.0f;
  for (int row = 0; row + 1 < ny; ++row)
    for (int column = 0; column + 1 < nx; ++column) {
      const float level = SquareGray(gray, grid, nx, row, column);
      darkest = std::min(darkest, level);
      lightest = std::max(lightest, level);
    }
  const float contrast = lightest - darkest;
  // Each edge: its corners stepped out by one square along the grid lines,
  // onto the ring's outer side, where only a larger board has corners.
  struct Edge {
    int count;
    std::function<cv::Point2f(int)> inner, outer;
  };
  const auto at = [&](int row, int column) { return grid[row * nx + column]; };
  const Edge edges[4] = {
      {nx, [&](int k) { return at(0, k); }, [&](int k) { return at(1, k); }},
      {nx, [&](int k) { return at(ny - 1, k); }, [&](int k) { return at(ny - 2, k); }},
      {ny, [&](int k) { return at(k, 0); }, [&](int k) { return at(k, 1); }},
      {ny, [&](int k) { return at(k, nx - 1); }, [&](int k) { return at(k, nx - 2); }},
  };
  for (const Edge& edge : edges) {
    int corners = 0;
    for (int k = 0; k < edge.count; ++k) {
      const cv::Point2f step = edge.inner(k) - edge.outer(k);
      const cv::Point2f across = k + 1 < edge.count ? edge.inner(k + 1) - edge.inner(k) : edge.inner(k) - edge.inner(k - 1);
      if (LooksLikeCorner(gray, edge.inner(k) + step, step, across, contrast)) ++corners;
    }
    if (corners > kMaxOuterCornerShare * edge.count) return true;
  }
  return false;
}

// The detector's corners in grid order with the origin; a board that goes
// on beyond the grid's ring of squares is refused.
GridStatus OrderFoundBoard(const cv::Mat& gray, const Points& detected, int nx, int ny, Points& ordered,
                           bool& originFromColours) {
  const GridStatus status = ChooseReading(gray, detected, nx, ny, ordered, originFromColours);
  if (status != GridStatus::Ok) return status;
  return BoardContinuesBeyond(gray, ordered, nx, ny) ? GridStatus::BoardLarger : GridStatus::Ok;
}

// The four outer corners as four clicks would give them, origin first.
void SetBorderFromCorners(GridDetection& detection, int nx, int ny) {
  const PointList& c = detection.corners;
  detection.border = {c[(ny - 1) * nx], c[0], c[nx - 1], c[ny * nx - 1]};
}

GridStatus CheckDetectionInput(const cv::Mat& gray, const GridDescription& grid) {
  GridStatus status = ValidateGrid(grid);
  if (status != GridStatus::Ok) return status;
  if (grid.nx < kMinDetectableSide || grid.ny < kMinDetectableSide) return GridStatus::GridTooSmall;
  if (gray.empty() || gray.type() != CV_8UC1) return GridStatus::BadImage;
  if (gray.cols < kMinImageSide || gray.rows < kMinImageSide) return GridStatus::ImageTooSmall;
  if (!WindowFitsImage(gray, kMinHalfWindow)) return GridStatus::WindowTooLarge;
  return GridStatus::Ok;
}

GridDetection Failed(GridStatus status) {
  GridDetection detection;
  detection.status = status;
  return detection;
}

}  // namespace

GridDetection DetectGridPoints(const cv::Mat& gray, const GridDescription& grid, BoardSearch search,
                               SteepBoards steep) {
  const GridStatus input = CheckDetectionInput(gray, grid);
  if (input != GridStatus::Ok) return Failed(input);
  const int nx = grid.nx, ny = grid.ny;
  Points detected;
  const size_t count = static_cast<size_t>(nx) * ny;
  if (!(FindBoard(gray, nx, ny, detected, search) && detected.size() == count) &&
      !(steep == SteepBoards::Search && SteepSearch(gray, nx, ny, detected) && detected.size() == count))
    return Failed(GridStatus::BoardNotFound);
  GridDetection detection;
  Points ordered;
  detection.status = OrderFoundBoard(gray, detected, nx, ny, ordered, detection.originFromColours);
  if (detection.status != GridStatus::Ok) return Failed(detection.status);
  detection.status = RefineDetected(gray, ordered, nx, ny, detection.corners);
  if (detection.status != GridStatus::Ok) return Failed(detection.status);
  if (!FitPointsToGrid(detection.corners, nx, ny, gray.cols, gray.rows).fits) return Failed(GridStatus::PointsDoNotFit);
  SetBorderFromCorners(detection, nx, ny);
  return detection;
}

namespace {

// The detectors in the clicked area first, then in the picture rectified by
// the clicks, then in stretched copies of the clicked area; the board found
// in the clicked order.
bool FindClickedBoard(const cv::Mat& gray, const cv::Rect& inside, const std::array<ImagePoint, 4>& ordered, int nx,
                      int ny, Points& clicked) {
  const size_t count = static_cast<size_t>(nx) * ny;
  Points detected;
  if (FindBoard(gray(inside), nx, ny, detected)) {
    for (cv::Point2f& p : detected) p += cv::Point2f(static_cast<float>(inside.x), static_cast<float>(inside.y));
    if (detected.size() == count && ReadInClickedOrder(detected, ordered, nx, ny, clicked)) return true;
  }
  detected.clear();
  if (RectifiedSearch(gray, ordered, nx, ny, detected) && detected.size() == count &&
      ReadInClickedOrder(detected, ordered, nx, ny, clicked))
    return true;
  // Clicks a little off on a steep board's far corners skew the rectified
  // picture; the stretched copies do not depend on them.
  detected.clear();
  if (!SteepSearch(gray(inside), nx, ny, detected) || detected.size() != count) return false;
  for (cv::Point2f& p : detected) p += cv::Point2f(static_cast<float>(inside.x), static_cast<float>(inside.y));
  return ReadInClickedOrder(detected, ordered, nx, ny, clicked);
}

}  // namespace

GridDetection DetectGridAtBorder(const cv::Mat& gray, const GridDescription& grid,
                                 const std::array<ImagePoint, 4>& ordered, const cv::Rect& area) {
  const GridStatus input = CheckDetectionInput(gray, grid);
  if (input != GridStatus::Ok) return Failed(input);
  const cv::Rect inside = area & cv::Rect(0, 0, gray.cols, gray.rows);
  if (inside.width < kMinImageSide || inside.height < kMinImageSide) return Failed(GridStatus::BoardNotFound);
  const int nx = grid.nx, ny = grid.ny;
  Points clicked;
  if (!FindClickedBoard(gray, inside, ordered, nx, ny, clicked)) return Failed(GridStatus::BoardNotFound);
  GridDetection detection;
  detection.status = RefineDetected(gray, clicked, nx, ny, detection.corners);
  if (detection.status != GridStatus::Ok) return Failed(detection.status);
  if (!FitPointsToGrid(detection.corners, nx, ny, gray.cols, gray.rows).fits) return Failed(GridStatus::PointsDoNotFit);
  SetBorderFromCorners(detection, nx, ny);
  return detection;
}

GridDetection DetectGridInImage(const cv::Mat& viewImage, const GridDescription& grid, BoardSearch search,
                                SteepBoards steep) {
  cv::Mat gray;
  const GridStatus status = MakeGrayImage(viewImage, gray);
  if (status != GridStatus::Ok) return Failed(status);
  return DetectGridPoints(gray, grid, search, steep);
}

GridDetection LocateGridRoughly(const cv::Mat& viewImage, const GridDescription& grid, int side) {
  cv::Mat gray;
  GridStatus status = MakeGrayImage(viewImage, gray);
  if (status == GridStatus::Ok) status = CheckDetectionInput(gray, grid);
  if (status != GridStatus::Ok) return Failed(status);
  const int nx = grid.nx, ny = grid.ny;
  Points detected;
  const bool reducedAtAll = std::max(gray.cols, gray.rows) > side;
  // The full size look takes one threshold where the detector would otherwise
  // work for seconds on a steep board and hold the live outline back.
  if (!QuickSearch(gray, nx, ny, detected, side) &&
      !(reducedAtAll && QuickSearch(gray, nx, ny, detected, kQuickSearchSide, nullptr, ClassicFlagsAtOwnSize(gray))))
    return Failed(GridStatus::BoardNotFound);
  GridDetection detection;
  Points ordered;
  detection.status = OrderFoundBoard(gray, detected, nx, ny, ordered, detection.originFromColours);
  if (detection.status != GridStatus::Ok) return Failed(detection.status);
  for (const cv::Point2f& p : ordered) detection.corners.push_back(ImagePoint{p.x, p.y});
  SetBorderFromCorners(detection, nx, ny);
  return detection;
}

GridDetection DetectGridInPicture(const ViewImageSource& source, const ViewPixels& pixels, const GridDescription& grid) {
  if (pixels) return DetectGridInImage(*pixels, grid);
  const cv::Mat decoded = source.Decode();
  if (decoded.empty()) return Failed(GridStatus::ImageUnreadable);
  return DetectGridInImage(decoded, grid);
}

GridDetection DetectGridInView(const CCalibrationData& store, int camera, int view) {
  if (camera < 0 || camera >= store.GetCameraCount() || view < 0 || view >= store.GetViewCount(camera))
    return Failed(GridStatus::NoView);
  const ViewPixels image = store.GetViewImage(camera, view);
  if (image == nullptr) return Failed(GridStatus::ImageUnreadable);
  if (image->cols != store.GetImageWidth(camera) || image->rows != store.GetImageHeight(camera))
    return Failed(GridStatus::ImageSizeMismatch);
  return DetectGridInImage(*image, store.GetGrid(camera));
}

namespace {

// Points that cannot pair with the camera's grid: marked for another grid,
// of another length, or off the grid's plane.
bool PointsUnfit(const CCalibrationData& store, int camera, int view) {
  const int count = store.GetPointCount(camera, view);
  if (count == 0 && !store.ViewHasPoints(camera, view)) return false;
  if (store.IsViewStale(camera, view)) return true;
  const GridDescription grid = store.GetGrid(camera);
  const PointList* points = store.GetGridPointLists(camera) ? &(*store.GetGridPointLists(camera))[view] : nullptr;
  return points == nullptr || !FitPointsToGrid(*points, grid.nx, grid.ny, store.GetImageWidth(camera),
                                               store.GetImageHeight(camera)).fits;
}

}  // namespace

GridStatus ApplyGridDetection(CCalibrationData& store, int camera, int view, const GridDetection& detection,
                              bool* cleared) {
  if (cleared) *cleared = false;
  PointList* corners = store.GetGridPoints(camera, view);
  PointList* border = store.GetBorderPoints(camera, view);
  if (corners == nullptr || border == nullptr) return GridStatus::NoView;
  if (detection.status != GridStatus::Ok) {
    if (PointsUnfit(store, camera, view)) {
      store.ClearViewPoints(camera, view);
      if (cleared) *cleared = true;
    }
    return detection.status;
  }
  const GridDescription grid = store.GetGrid(camera);
  const GridStatus gridStatus = ValidateGrid(grid);
  if (gridStatus != GridStatus::Ok) return gridStatus;
  if (detection.corners.size() != static_cast<size_t>(grid.nx) * grid.ny) return GridStatus::WrongPointCount;
  *corners = detection.corners;
  border->assign(detection.border.begin(), detection.border.end());
  store.MarkViewPointsCurrent(camera, view);
  return GridStatus::Ok;
}

GridDetection DetectGrid(CCalibrationData& store, int camera, int view, bool* cleared) {
  if (cleared) *cleared = false;
  GridDetection detection = DetectGridInView(store, camera, view);
  if (detection.status == GridStatus::NoView) return detection;
  const GridStatus applied = ApplyGridDetection(store, camera, view, detection, cleared);
  if (applied != detection.status) return Failed(applied);
  return detection;
}
