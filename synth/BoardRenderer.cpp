#include "synth/BoardRenderer.h"

#include <algorithm>
#include <cmath>
#include <random>

#include <opencv2/imgproc.hpp>

#include "calib/CameraModel.h"

namespace {

// Grey levels of the printed board and of what lies around it.
constexpr double kBlack = 25.0;
constexpr double kWhite = 225.0;
constexpr double kBackground = 95.0;

// How close to a square's edge (in pixels) a sample must come before its
// interpolated ray is no longer trusted. The interpolation is off by well
// under a thousandth of a pixel for any sensible distortion.
constexpr double kEdgeMargin = 5e-3;

// The ray seen at image point (u, v) through the camera's lens model, or NaNs
// where the model has none (outside a fisheye's circle, past a lens's fold).
void RayAt(const CameraParameters& camera, double u, double v, double* ray) {
  if (!camera_model::Ray(camera, u, v, ray)) ray[0] = ray[1] = ray[2] = std::nan("");
}

// Grey level of the board square (column, row) in square units: the squares
// run from -1 to n-1 along each axis, the white margin one further.
double CellShade(const GridDescription& grid, long column, long row) {
  const bool onSquares = column >= -1 && column <= grid.nx - 1 && row >= -1 && row <= grid.ny - 1;
  if (onSquares) return ((column + row) & 1) == 0 ? kBlack : kWhite;
  const bool onMargin = column >= -2 && column <= grid.nx && row >= -2 && row <= grid.ny;
  return onMargin ? kWhite : kBackground;
}

// floor() for cell indices, kept inside long's range for rays near the horizon.
long CellIndex(double value) { return static_cast<long>(std::floor(std::clamp(value, -1e9, 1e9))); }

// The board plane seen from the camera. For a ray, a = R^T ray; the ray meets
// the board at depth offset / a.z (in units of the ray's length), at board
// point depth * a - R^T t.
struct BoardPlane {
  BoardPlane(const SyntheticPose& pose, const GridDescription& grid) : R(pose.R), t(pose.t), dX(grid.dX), dY(grid.dY) {
    offset = R[2] * t[0] + R[5] * t[1] + R[8] * t[2];
    c0 = R[0] * t[0] + R[3] * t[1] + R[6] * t[2];
    c1 = R[1] * t[0] + R[4] * t[1] + R[7] * t[2];
  }
  std::array<double, 9> R;
  std::array<double, 3> t;
  double dX, dY, offset, c0, c1;
};

// Shade seen along the exact ray (the background where there is none).
double ShadeOfRay(const BoardPlane& plane, const GridDescription& grid, const double* ray) {
  const auto& R = plane.R;
  const double towards = R[2] * ray[0] + R[5] * ray[1] + R[8] * ray[2];
  const double depth = towards != 0.0 ? plane.offset / towards : -1.0;
  if (!(depth > 0.0)) return kBackground;
  // Object coordinates: R^T (depth * ray - t).
  const double d0 = depth * ray[0] - plane.t[0], d1 = depth * ray[1] - plane.t[1], d2 = depth * ray[2] - plane.t[2];
  const double X = R[0] * d0 + R[3] * d1 + R[6] * d2;
  const double Y = R[1] * d0 + R[4] * d1 + R[7] * d2;
  return CellShade(grid, CellIndex(X / plane.dX), CellIndex(Y / plane.dY));
}

// Shade of the sample at image point (u, v), its ray solved on its own.
double ExactSampleShade(const CameraParameters& camera, const BoardPlane& plane, const GridDescription& grid, double u,
                        double v) {
  double ray[3];
  RayAt(camera, u, v, ray);
  return ShadeOfRay(plane, grid, ray);
}

// A pixel corner's ray in board terms: a = R^T ray and, when the ray meets the
// board in front of the camera, the board point in square units.
struct CornerPoint {
  double a[3];
  double X, Y;
  long column, row;
  bool front;
};

// Where the ray c.a (board frame) meets the board.
void Locate(const BoardPlane& plane, CornerPoint& c) {
  const double depth = c.a[2] != 0.0 ? plane.offset / c.a[2] : -1.0;
  c.front = depth > 0.0 && std::isfinite(depth);
  c.X = (depth * c.a[0] - plane.c0) / plane.dX;
  c.Y = (depth * c.a[1] - plane.c1) / plane.dY;
  c.front = c.front && std::isfinite(c.X) && std::isfinite(c.Y);
  c.column = c.front ? CellIndex(c.X) : 0;
  c.row = c.front ? CellIndex(c.Y) : 0;
}

void ComputeCorners(const BoardPlane& plane, const double* rays, int count, CornerPoint* corners) {
  const auto& R = plane.R;
  for (int k = 0; k < count; ++k) {
    const double x = rays[3 * k], y = rays[3 * k + 1], z = rays[3 * k + 2];
    CornerPoint& c = corners[k];
    c.a[0] = R[0] * x + R[3] * y + R[6] * z;
    c.a[1] = R[1] * x + R[4] * y + R[7] * z;
    c.a[2] = R[2] * x + R[5] * y + R[8] * z;
    Locate(plane, c);
  }
}

// The one shade of a pixel whose corners all lie on one square or all on one
// side beside the margin (squares and the margin's outline are convex, and the
// samples' board points lie inside their corners' quadrilateral); -1 otherwise.
double UniformShade(const GridDescription& grid, const CornerPoint* const c[4]) {
  const bool allFront = c[0]->front && c[1]->front && c[2]->front && c[3]->front;
  if (!allFront) {
    const bool noneFront = !c[0]->front && !c[1]->front && !c[2]->front && !c[3]->front;
    return noneFront ? kBackground : -1.0;
  }
  bool sameCell = true, left = true, right = true, below = true, above = true;
  for (int k = 0; k < 4; ++k) {
    sameCell = sameCell && c[k]->column == c[0]->column && c[k]->row == c[0]->row;
    left = left && c[k]->column < -2;
    right = right && c[k]->column > grid.nx;
    below = below && c[k]->row < -2;
    above = above && c[k]->row > grid.ny;
  }
  if (sameCell) return CellShade(grid, c[0]->column, c[0]->row);
  return left || right || below || above ? kBackground : -1.0;
}

double DistanceToEdge(double value) { return std::fabs(value - std::nearbyint(value)); }

}  // namespace

BoardRenderer::BoardRenderer(const SyntheticCamera& camera)
    : camera_(camera), cornerRays_(3 * static_cast<size_t>(camera.width + 1) * (camera.height + 1)) {
  const CameraParameters parameters = camera.ToParameters();
  double* ray = cornerRays_.data();
  for (int row = 0; row <= camera.height; ++row)
    for (int column = 0; column <= camera.width; ++column, ray += 3) RayAt(parameters, column - 0.5, row - 0.5, ray);
}

namespace {

// Pixels per side of the blocks a frame is first looked at in. A block whose
// corners lie well inside one square is filled without looking at its pixels.
constexpr int kBlock = 8;
// How far (pixels) the corners of such a block must stay from the square's
// edges: the rays across a block are only nearly those interpolated from its
// corners (for strong distortion a few hundredths of a pixel off).
constexpr double kBlockMargin = 0.25;

// Samples a pixel along each axis where its exact area cannot be had (its
// footprint crosses the horizon, folds, or spans many squares).
constexpr int kAreaFallbackSamples = 8;

// Bilinear weights of a pixel's corners (top-left, top-right, bottom-left,
// bottom-right) at (fu, fv) of its width and height.
std::array<double, 4> CornerWeights(double fu, double fv) {
  return {(1 - fu) * (1 - fv), fu * (1 - fv), (1 - fu) * fv, fu * fv};
}

// What one frame needs besides the corner rays.
struct FrameSetting {
  CameraParameters camera;
  const GridDescription& grid;
  BoardPlane plane;
  bool exactArea;
  bool quarters = false;  // shade each pixel's four half-pixel cells (a picture of twice the size)
  std::vector<std::array<double, 4>> weights;  // corner weights (top-left, top-right, bottom-left, bottom-right)
  std::vector<std::array<double, 2>> offsets;  // sample offsets from the pixel centre

  FrameSetting(const SyntheticCamera& c, const SyntheticPose& pose, const GridDescription& g, int supersampling)
      : camera(c.ToParameters()), grid(g), plane(pose, g), exactArea(supersampling == kExactPixelArea) {
    const int samples = exactArea ? kAreaFallbackSamples : std::max(supersampling, 1);
    for (int a = 0; a < samples; ++a)
      for (int b = 0; b < samples; ++b) {
        const double fu = (b + 0.5) / samples, fv = (a + 0.5) / samples;
        weights.push_back(CornerWeights(fu, fv));
        offsets.push_back({fu - 0.5, fv - 0.5});
      }
  }
};

// Sets a rectangle of a one-channel picture (double or float) to one value;
// cheaper than a view's setTo for the many small blocks of a frame.
void Fill(cv::Mat& picture, const cv::Rect& rect, double value) {
  for (int row = rect.y; row < rect.y + rect.height; ++row) {
    if (picture.depth() == CV_64F) {
      double* first = picture.ptr<double>(row) + rect.x;
      std::fill(first, first + rect.width, value);
    } else {
      float* first = picture.ptr<float>(row) + rect.x;
      std::fill(first, first + rect.width, static_cast<float>(value));
    }
  }
}

bool AllFront(const CornerPoint* const c[4]) { return c[0]->front && c[1]->front && c[2]->front && c[3]->front; }

// Range of the corners' board coordinates.
void Spans(const CornerPoint* const c[4], double& spanX, double& spanY) {
  const auto [minX, maxX] = std::minmax({c[0]->X, c[1]->X, c[2]->X, c[3]->X});
  const auto [minY, maxY] = std::minmax({c[0]->Y, c[1]->Y, c[2]->Y, c[3]->Y});
  spanX = maxX - minX;
  spanY = maxY - minY;
}

// The one shade of a block whose corners lie at least the margin inside one
// square, or beyond one side of the board's margin; -1 otherwise.
double BlockShade(const GridDescription& grid, const CornerPoint* const c[4], int blockPixels) {
  if (!AllFront(c)) return -1.0;
  double spanX = 0.0, spanY = 0.0;
  Spans(c, spanX, spanY);
  const double mX = kBlockMargin * spanX / blockPixels, mY = kBlockMargin * spanY / blockPixels;
  bool inside = true, left = true, right = true, below = true, above = true;
  for (int k = 0; k < 4; ++k) {
    const double column = static_cast<double>(c[0]->column), row = static_cast<double>(c[0]->row);
    inside = inside && c[k]->X >= column + mX && c[k]->X <= column + 1 - mX && c[k]->Y >= row + mY &&
             c[k]->Y <= row + 1 - mY;
    left = left && c[k]->X < -2 - mX;
    right = right && c[k]->X > grid.nx + 1 + mX;
    below = below && c[k]->Y < -2 - mY;
    above = above && c[k]->Y > grid.ny + 1 + mY;
  }
  if (inside) return CellShade(grid, c[0]->column, c[0]->row);
  return left || right || below || above ? kBackground : -1.0;
}

// A convex polygon of board points (square units). Cutting a quadrilateral by
// the four sides of a square leaves at most eight corners; `lost` marks a cut
// that rounding made produce more than the room holds.
struct BoardPolygon {
  std::array<std::array<double, 2>, 12> points;
  int count = 0;
  bool lost = false;

  void Add(const std::array<double, 2>& point) {
    if (count == static_cast<int>(points.size()))
      lost = true;
    else
      points[count++] = point;
  }
};

// The part of the polygon where coordinate `axis` lies on `side` (+1: above,
// -1: below) of `bound`.
BoardPolygon Cut(const BoardPolygon& polygon, int axis, double bound, double side) {
  BoardPolygon kept;
  kept.lost = polygon.lost;
  for (int k = 0; k < polygon.count; ++k) {
    const auto& p = polygon.points[k];
    const auto& q = polygon.points[(k + 1) % polygon.count];
    const double dp = side * (p[axis] - bound), dq = side * (q[axis] - bound);
    if (dp >= 0.0) kept.Add(p);
    if ((dp < 0.0) != (dq < 0.0)) {
      const double t = dp / (dp - dq);
      kept.Add({p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1])});
    }
  }
  return kept;
}

// Twice the signed area.
double DoubleArea(const BoardPolygon& polygon) {
  double sum = 0.0;
  for (int k = 0; k < polygon.count; ++k) {
    const auto& p = polygon.points[k];
    const auto& q = polygon.points[(k + 1) % polygon.count];
    sum += p[0] * q[1] - q[0] * p[1];
  }
  return sum;
}

// Whether the polygon turns one way at every corner.
bool Convex(const BoardPolygon& polygon) {
  int left = 0, right = 0;
  for (int k = 0; k < polygon.count; ++k) {
    const auto& p = polygon.points[k];
    const auto& q = polygon.points[(k + 1) % polygon.count];
    const auto& r = polygon.points[(k + 2) % polygon.count];
    const double turn = (q[0] - p[0]) * (r[1] - q[1]) - (q[1] - p[1]) * (r[0] - q[0]);
    left += turn > 0.0;
    right += turn < 0.0;
  }
  return left == 0 || right == 0;
}

// Most squares (and margin or background cells) one pixel's footprint may
// span and still be cut exactly; beyond, the pixel is sampled.
constexpr long kMostCellsCut = 64;

// The pixel's shade from the exact share of its footprint each cell covers,
// or -1 where the footprint is no convex quadrilateral in front of the camera.
// Within one pixel the board's map is all but affine, so shares of board area
// stand for shares of the pixel's area.
double ExactAreaShade(const GridDescription& grid, const CornerPoint* const c[4]) {
  if (!AllFront(c)) return -1.0;
  BoardPolygon footprint;
  for (const CornerPoint* corner : {c[0], c[1], c[3], c[2]}) footprint.Add({corner->X, corner->Y});
  const double total = DoubleArea(footprint);
  if (!(std::fabs(total) > 0.0) || !Convex(footprint)) return -1.0;
  const long column0 = std::min({c[0]->column, c[1]->column, c[2]->column, c[3]->column});
  const long column1 = std::max({c[0]->column, c[1]->column, c[2]->column, c[3]->column});
  const long row0 = std::min({c[0]->row, c[1]->row, c[2]->row, c[3]->row});
  const long row1 = std::max({c[0]->row, c[1]->row, c[2]->row, c[3]->row});
  if ((column1 - column0 + 1) * (row1 - row0 + 1) > kMostCellsCut) return -1.0;
  double sum = 0.0;
  for (long column = column0; column <= column1; ++column) {
    const BoardPolygon strip = Cut(Cut(footprint, 0, static_cast<double>(column), 1.0), 0, column + 1.0, -1.0);
    if (strip.lost) return -1.0;
    if (strip.count < 3) continue;
    for (long row = row0; row <= row1; ++row) {
      const BoardPolygon piece = Cut(Cut(strip, 1, static_cast<double>(row), 1.0), 1, row + 1.0, -1.0);
      if (piece.lost) return -1.0;
      if (piece.count >= 3) sum += DoubleArea(piece) * CellShade(grid, column, row);
    }
  }
  return sum / total;
}

// Shade of one pixel from its four corners.
double PixelShade(const FrameSetting& f, const CornerPoint* const corners[4], int column, int row) {
  const double uniform = UniformShade(f.grid, corners);
  if (uniform >= 0.0) return uniform;
  if (f.exactArea) {
    const double shade = ExactAreaShade(f.grid, corners);
    if (shade >= 0.0) return shade;
  }
  const bool allFront = AllFront(corners);
  double spanX = 0.0, spanY = 0.0;
  if (allFront) Spans(corners, spanX, spanY);
  const BoardPlane& plane = f.plane;
  double sum = 0.0;
  for (size_t s = 0; s < f.weights.size(); ++s) {
    const auto& w = f.weights[s];
    if (allFront) {
      double a[3];
      for (int i = 0; i < 3; ++i)
        a[i] = w[0] * corners[0]->a[i] + w[1] * corners[1]->a[i] + w[2] * corners[2]->a[i] + w[3] * corners[3]->a[i];
      const double depth = plane.offset / a[2];
      const double X = (depth * a[0] - plane.c0) / plane.dX;
      const double Y = (depth * a[1] - plane.c1) / plane.dY;
      if (DistanceToEdge(X) > kEdgeMargin * spanX && DistanceToEdge(Y) > kEdgeMargin * spanY) {
        sum += CellShade(f.grid, CellIndex(X), CellIndex(Y));
        continue;
      }
    }
    sum += ExactSampleShade(f.camera, plane, f.grid, column + f.offsets[s][0], row + f.offsets[s][1]);
  }
  return sum / static_cast<double>(f.weights.size());
}

// The board point of the ray interpolated between a pixel's corners at
// (fu, fv) of its width and height.
CornerPoint Between(const BoardPlane& plane, const CornerPoint* const c[4], double fu, double fv) {
  const std::array<double, 4> w = CornerWeights(fu, fv);
  CornerPoint point{};
  for (int i = 0; i < 3; ++i)
    point.a[i] = w[0] * c[0]->a[i] + w[1] * c[1]->a[i] + w[2] * c[2]->a[i] + w[3] * c[3]->a[i];
  Locate(plane, point);
  return point;
}

// Shades of a mixed pixel's four quarters from the exact areas of their
// footprints, into top[0..1] and bottom[0..1]; false where a footprint
// cannot be cut (the pixel is then shaded whole).
bool QuarterShades(const FrameSetting& f, const CornerPoint* const c[4], float* top, float* bottom) {
  if (!AllFront(c)) return false;
  // Corners, the middles of the sides and the centre, row by row.
  const CornerPoint middle[5] = {Between(f.plane, c, 0.5, 0.0), Between(f.plane, c, 0.0, 0.5),
                                 Between(f.plane, c, 0.5, 0.5), Between(f.plane, c, 1.0, 0.5),
                                 Between(f.plane, c, 0.5, 1.0)};
  const CornerPoint* const points[9] = {c[0],       &middle[0], c[1],       &middle[1], &middle[2],
                                        &middle[3], c[2],       &middle[4], c[3]};
  float* const cells[4] = {&top[0], &top[1], &bottom[0], &bottom[1]};
  for (int q = 0; q < 4; ++q) {
    const int first = 3 * (q / 2) + q % 2;
    const CornerPoint* const quarter[4] = {points[first], points[first + 1], points[first + 3], points[first + 4]};
    double shade = UniformShade(f.grid, quarter);
    if (shade < 0.0) shade = ExactAreaShade(f.grid, quarter);
    if (shade < 0.0) return false;
    *cells[q] = static_cast<float>(shade);
  }
  return true;
}

// A pixel's four half-pixel cells: each quarter's exact area where the pixel
// is mixed, else the pixel's one shade.
void ShadeQuarters(const FrameSetting& f, const CornerPoint* const c[4], int column, int row, cv::Mat& cells) {
  float* top = cells.ptr<float>(2 * row) + 2 * column;
  float* bottom = cells.ptr<float>(2 * row + 1) + 2 * column;
  const double uniform = UniformShade(f.grid, c);
  if (uniform < 0.0 && QuarterShades(f, c, top, bottom)) return;
  const auto shade = static_cast<float>(uniform >= 0.0 ? uniform : PixelShade(f, c, column, row));
  top[0] = top[1] = bottom[0] = bottom[1] = shade;
}

}  // namespace

const double* BoardRenderer::CornerRay(int column, int row) const {
  return cornerRays_.data() + 3 * (static_cast<size_t>(row) * (camera_.width + 1) + column);
}

void BoardRenderer::ShadePixels(const void* setting, int column0, int row0, int column1, int row1,
                                cv::Mat& picture) const {
  const FrameSetting& f = *static_cast<const FrameSetting*>(setting);
  const int count = column1 - column0 + 1;
  std::vector<CornerPoint> above(count), below(count);
  ComputeCorners(f.plane, CornerRay(column0, row0), count, above.data());
  for (int row = row0; row < row1; ++row) {
    ComputeCorners(f.plane, CornerRay(column0, row + 1), count, below.data());
    for (int k = 0; k + 1 < count; ++k) {
      const CornerPoint* const corners[4] = {&above[k], &above[k + 1], &below[k], &below[k + 1]};
      if (f.quarters)
        ShadeQuarters(f, corners, column0 + k, row, picture);
      else
        picture.at<double>(row, column0 + k) = PixelShade(f, corners, column0 + k, row);
    }
    std::swap(above, below);
  }
}

std::vector<double> BoardRenderer::ShadeBlocks(const void* setting, cv::Mat& picture) const {
  const FrameSetting& f = *static_cast<const FrameSetting*>(setting);
  const int width = camera_.width, height = camera_.height, scale = f.quarters ? 2 : 1;
  const int blocksX = (width + kBlock - 1) / kBlock, blocksY = (height + kBlock - 1) / kBlock;
  // Corners of the blocks (the last ones at the image's edge).
  std::vector<CornerPoint> blockCorners(static_cast<size_t>(blocksX + 1) * (blocksY + 1));
  for (int by = 0; by <= blocksY; ++by)
    for (int bx = 0; bx <= blocksX; ++bx)
      ComputeCorners(f.plane, CornerRay(std::min(bx * kBlock, width), std::min(by * kBlock, height)), 1,
                     &blockCorners[static_cast<size_t>(by) * (blocksX + 1) + bx]);
  std::vector<double> shades(static_cast<size_t>(blocksX) * blocksY);
  for (int by = 0; by < blocksY; ++by)
    for (int bx = 0; bx < blocksX; ++bx) {
      const CornerPoint* const corners[4] = {&blockCorners[static_cast<size_t>(by) * (blocksX + 1) + bx],
                                             &blockCorners[static_cast<size_t>(by) * (blocksX + 1) + bx + 1],
                                             &blockCorners[static_cast<size_t>(by + 1) * (blocksX + 1) + bx],
                                             &blockCorners[static_cast<size_t>(by + 1) * (blocksX + 1) + bx + 1]};
      const int column0 = bx * kBlock, row0 = by * kBlock;
      const int column1 = std::min(column0 + kBlock, width), row1 = std::min(row0 + kBlock, height);
      const double shade = BlockShade(f.grid, corners, std::max(column1 - column0, row1 - row0));
      shades[static_cast<size_t>(by) * blocksX + bx] = shade;
      if (shade >= 0.0)
        Fill(picture, cv::Rect(scale * column0, scale * row0, scale * (column1 - column0), scale * (row1 - row0)),
             shade);
      else
        ShadePixels(setting, column0, row0, column1, row1, picture);
    }
  return shades;
}

cv::Mat BoardRenderer::RenderGrey(const SyntheticPose& pose, const GridDescription& grid, int supersampling) const {
  const FrameSetting setting(camera_, pose, grid, supersampling);
  cv::Mat grey(camera_.height, camera_.width, CV_64FC1);
  ShadeBlocks(&setting, grey);
  return grey;
}

namespace {

// Whether every block within `reach` blocks of (bx, by) has the block's one
// shade: the blur then leaves the block as it is.
bool Quiet(const std::vector<double>& shades, int blocksX, int blocksY, int bx, int by, int reach) {
  const double shade = shades[static_cast<size_t>(by) * blocksX + bx];
  if (shade < 0.0) return false;
  for (int y = std::max(by - reach, 0); y <= std::min(by + reach, blocksY - 1); ++y)
    for (int x = std::max(bx - reach, 0); x <= std::min(bx + reach, blocksX - 1); ++x)
      if (shades[static_cast<size_t>(y) * blocksX + x] != shade) return false;
  return true;
}

}  // namespace

cv::Mat BoardRenderer::RenderExposure(const SyntheticPose& pose, const GridDescription& grid, double blurSigma) const {
  FrameSetting setting(camera_, pose, grid, kExactPixelArea);
  setting.quarters = true;
  const int width = camera_.width, height = camera_.height;
  // The cells and their blur, kept from frame to frame of a thread (a live
  // device draws thirty a second).
  thread_local cv::Mat cells, blurred;
  cells.create(2 * height, 2 * width, CV_32FC1);
  blurred.create(cells.size(), CV_32FC1);
  const std::vector<double> shades = ShadeBlocks(&setting, cells);
  // The blur on half-pixel cells, kept to the blocks it changes; a filter on
  // part of a picture reads the cells around that part, so the blocks equal
  // those of the whole picture blurred.
  const double cellSigma = 2.0 * blurSigma;
  const int radius = blurSigma > 0.0 ? static_cast<int>(std::ceil(3.0 * cellSigma)) : 0;
  const int reach = (radius + 2 * kBlock - 1) / (2 * kBlock);
  const int blocksX = (width + kBlock - 1) / kBlock, blocksY = (height + kBlock - 1) / kBlock;
  cv::Mat grey(height, width, CV_64FC1), sums;
  for (int by = 0; by < blocksY; ++by) {
    const int row0 = by * kBlock, rows = std::min(kBlock, height - row0);
    for (int bx = 0; bx < blocksX;) {
      if (Quiet(shades, blocksX, blocksY, bx, by, reach)) {
        Fill(grey, cv::Rect(bx * kBlock, row0, std::min(kBlock, width - bx * kBlock), rows),
             shades[static_cast<size_t>(by) * blocksX + bx]);
        ++bx;
        continue;
      }
      int end = bx + 1;
      while (end < blocksX && !Quiet(shades, blocksX, blocksY, end, by, reach)) ++end;
      const cv::Rect pixels(bx * kBlock, row0, std::min(end * kBlock, width) - bx * kBlock, rows);
      const cv::Rect half(2 * pixels.x, 2 * pixels.y, 2 * pixels.width, 2 * pixels.height);
      if (radius > 0)
        cv::GaussianBlur(cells(half), blurred(half), cv::Size(2 * radius + 1, 2 * radius + 1), cellSigma);
      else
        cells(half).copyTo(blurred(half));
      cv::resize(blurred(half), sums, pixels.size(), 0.0, 0.0, cv::INTER_AREA);
      sums.convertTo(grey(pixels), CV_64F);
      bx = end;
    }
  }
  return grey;
}

namespace {

// Blur, noise and the 8-bit BGR picture.
cv::Mat Photograph(cv::Mat grey, const RenderOptions& options) {
  if (options.blurSigma > 0.0) cv::GaussianBlur(grey, grey, cv::Size(0, 0), options.blurSigma);
  if (options.imageNoise > 0.0 && options.fastNoise) {
    cv::Mat noise(grey.size(), CV_32FC1);
    cv::RNG(options.seed).fill(noise, cv::RNG::NORMAL, 0.0, options.imageNoise);
    cv::add(grey, noise, grey, cv::noArray(), CV_64F);
  } else if (options.imageNoise > 0.0) {
    std::mt19937 random(options.seed);
    std::normal_distribution<double> noise(0.0, options.imageNoise);
    for (int row = 0; row < grey.rows; ++row)
      for (double *p = grey.ptr<double>(row), *end = p + grey.cols; p != end; ++p) *p += noise(random);
  }
  cv::Mat grey8, colour;
  grey.convertTo(grey8, CV_8UC1);  // rounds and saturates
  cv::cvtColor(grey8, colour, cv::COLOR_GRAY2BGR);
  return colour;
}

}  // namespace

cv::Mat BoardRenderer::Render(const SyntheticPose& pose, const GridDescription& grid, const RenderOptions& options) const {
  if (options.supersampling != kExactPixelArea || options.blurSigma <= 0.0)
    return Photograph(RenderGrey(pose, grid, options.supersampling), options);
  RenderOptions afterBlur = options;
  afterBlur.blurSigma = 0.0;
  return Photograph(RenderExposure(pose, grid, options.blurSigma), afterBlur);
}

cv::Mat RenderBoard(const SyntheticCamera& camera, const SyntheticPose& pose, const GridDescription& grid,
                    const RenderOptions& options) {
  return BoardRenderer(camera).Render(pose, grid, options);
}

cv::Mat RenderBoardPerSample(const SyntheticCamera& camera, const SyntheticPose& pose, const GridDescription& grid,
                             const RenderOptions& options) {
  const int samples = std::max(options.supersampling, 1);
  const BoardPlane plane(pose, grid);
  const CameraParameters parameters = camera.ToParameters();
  cv::Mat grey(camera.height, camera.width, CV_64FC1);
  for (int row = 0; row < camera.height; ++row) {
    double* out = grey.ptr<double>(row);
    for (int column = 0; column < camera.width; ++column) {
      double sum = 0.0;
      for (int a = 0; a < samples; ++a)
        for (int b = 0; b < samples; ++b)
          sum += ExactSampleShade(parameters, plane, grid, column - 0.5 + (b + 0.5) / samples,
                                  row - 0.5 + (a + 0.5) / samples);
      out[column] = sum / (samples * samples);
    }
  }
  return Photograph(grey, options);
}
