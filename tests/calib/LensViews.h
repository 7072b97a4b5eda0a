#pragma once
// Views of a chequerboard seen by a known camera of any lens model, spread so
// that the boards reach every part of the image (corners included), with
// Gaussian noise on the corners. The points are rounded to float so that
// OpenCV (which works in float) and the engine see the same numbers.

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "calib/CalibrationProblem.h"
#include "calib/CameraModel.h"
#include "records/Records.h"

namespace lens_views {

struct Views {
  CameraParameters truth;
  GridDescription grid;
  std::vector<PointList> points;        // noisy
  std::vector<std::array<double, 9>> R;  // true poses
  std::vector<std::array<double, 3>> t;
};

struct Options {
  int views = 25;
  GridDescription grid{30.0, 30.0, 10, 7, 5, 5};
  double noise = 0.2;
  unsigned seed = 1;
  double minDistance = 350.0, maxDistance = 900.0;  // board centre from the camera
  double maxTilt = 0.7;                             // radians
  double margin = 3.0;                              // pixels kept from the image border
};

inline std::array<double, 3> Normalised(std::array<double, 3> v) {
  const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {v[0] / n, v[1] / n, v[2] / n};
}

inline std::array<double, 3> Cross(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Projects the board with pose (R, t); false when a corner falls outside the image (less the margin).
inline bool ProjectBoard(const CameraParameters& camera, const std::vector<ObjectPoint>& board, const double* R,
                         const double* t, double margin, PointList& out) {
  out.clear();
  for (const ObjectPoint& X : board) {
    const ImagePoint p = ProjectGridPoint(X, R, t, camera);
    if (!(p.x >= margin && p.y >= margin && p.x <= camera.width - 1 - margin && p.y <= camera.height - 1 - margin))
      return false;
    out.push_back(p);
  }
  return true;
}

// A board's pose and its corners as the camera sees them, without noise.
struct Placement {
  PointList points;
  std::array<double, 9> R;
  std::array<double, 3> t;
};

// The board centred on the ray through pixel (u, v), at a random distance,
// facing the camera, then tilted about a random axis in its plane and turned
// in it; false when the pixel has no ray or a corner falls outside the image.
inline bool PlaceBoard(const CameraParameters& truth, const std::vector<ObjectPoint>& board, const Options& options,
                       double u, double v, std::mt19937& random, Placement& out) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double bx = 0.5 * (options.grid.nx - 1) * options.grid.dX, by = 0.5 * (options.grid.ny - 1) * options.grid.dY;
  double ray[3];
  if (!camera_model::Ray(truth, u, v, ray)) return false;
  const std::array<double, 3> direction = Normalised({ray[0], ray[1], ray[2]});
  const double distance = options.minDistance + unit(random) * (options.maxDistance - options.minDistance);
  const std::array<double, 3> facing{-direction[0], -direction[1], -direction[2]};
  const std::array<double, 3> helper = std::fabs(facing[1]) < 0.9 ? std::array<double, 3>{0, 1, 0}
                                                                  : std::array<double, 3>{1, 0, 0};
  std::array<double, 3> a = Normalised(Cross(helper, facing)), b = Cross(facing, a);
  const double tilt = options.maxTilt * unit(random), axisAngle = 2.0 * M_PI * unit(random);
  const double spin = 2.0 * M_PI * unit(random);
  // normal = cos(tilt) facing + sin(tilt) (cos axis a + sin axis b)
  std::array<double, 3> normal{};
  for (int i = 0; i < 3; ++i)
    normal[i] = std::cos(tilt) * facing[i] + std::sin(tilt) * (std::cos(axisAngle) * a[i] + std::sin(axisAngle) * b[i]);
  normal = Normalised(normal);
  std::array<double, 3> e1 = Normalised(Cross(helper, normal));
  std::array<double, 3> e2 = Cross(normal, e1);
  std::array<double, 3> s1{}, s2{};
  for (int i = 0; i < 3; ++i) {
    s1[i] = std::cos(spin) * e1[i] + std::sin(spin) * e2[i];
    s2[i] = -std::sin(spin) * e1[i] + std::cos(spin) * e2[i];
  }
  const std::array<double, 3> s3 = Cross(s1, s2);
  out.R = {s1[0], s2[0], s3[0], s1[1], s2[1], s3[1], s1[2], s2[2], s3[2]};
  for (int i = 0; i < 3; ++i) out.t[i] = distance * direction[i] - bx * s1[i] - by * s2[i];
  return ProjectBoard(truth, board, out.R.data(), out.t.data(), options.margin, out.points);
}

// v turned by `angle` about the unit axis k.
inline std::array<double, 3> Turned(const std::array<double, 3>& v, const std::array<double, 3>& k, double angle) {
  const std::array<double, 3> kv = Cross(k, v);
  const double along = k[0] * v[0] + k[1] * v[1] + k[2] * v[2], c = std::cos(angle), s = std::sin(angle);
  std::array<double, 3> out{};
  for (int i = 0; i < 3; ++i) out[i] = v[i] * c + kv[i] * s + k[i] * along * (1.0 - c);
  return out;
}

// The board with its first corner on the ray through pixel (u, v) near the
// image border and its rows and columns running into the image (towards
// +x when `inwardX` is 1, -x when -1; likewise `inwardY`), then turned a
// little in its plane and tilted about a random axis through that corner:
// views like these reach the image's corners and edges.
inline bool PlaceBoardFromBorder(const CameraParameters& truth, const std::vector<ObjectPoint>& board,
                                 const Options& options, double u, double v, int inwardX, int inwardY,
                                 std::mt19937& random, Placement& out) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double distance = options.minDistance + unit(random) * (options.maxDistance - options.minDistance);
  double ray[3], rayX[3], rayY[3];
  const double step = 0.05 * truth.width;
  if (!camera_model::Ray(truth, u, v, ray) || !camera_model::Ray(truth, u + inwardX * step, v, rayX) ||
      !camera_model::Ray(truth, u, v + inwardY * step, rayY))
    return false;
  std::array<double, 3> corner = Normalised({ray[0], ray[1], ray[2]}), towardsX = Normalised({rayX[0], rayX[1], rayX[2]}),
                        towardsY = Normalised({rayY[0], rayY[1], rayY[2]});
  for (int i = 0; i < 3; ++i) corner[i] *= distance, towardsX[i] = towardsX[i] * distance - corner[i],
                              towardsY[i] = towardsY[i] * distance - corner[i];
  std::array<double, 3> s1 = Normalised(towardsX);
  const double along = s1[0] * towardsY[0] + s1[1] * towardsY[1] + s1[2] * towardsY[2];
  std::array<double, 3> s2 = Normalised({towardsY[0] - along * s1[0], towardsY[1] - along * s1[1], towardsY[2] - along * s1[2]});
  std::array<double, 3> s3 = Cross(s1, s2);
  // The board's rows and columns run along the image's before they are turned.
  const double spin = 0.4 * (unit(random) - 0.5);
  s1 = Turned(s1, s3, spin), s2 = Turned(s2, s3, spin);
  const double axisAngle = 2.0 * M_PI * unit(random), tilt = options.maxTilt * (2.0 * unit(random) - 1.0);
  std::array<double, 3> axis{};
  for (int i = 0; i < 3; ++i) axis[i] = std::cos(axisAngle) * s1[i] + std::sin(axisAngle) * s2[i];
  s1 = Turned(s1, axis, tilt), s2 = Turned(s2, axis, tilt), s3 = Cross(s1, s2);
  out.R = {s1[0], s2[0], s3[0], s1[1], s2[1], s3[1], s1[2], s2[2], s3[2]};
  out.t = corner;
  return ProjectBoard(truth, board, out.R.data(), out.t.data(), options.margin, out.points);
}

inline void AddView(Views& views, Placement placement, std::mt19937& random, double sigma) {
  std::normal_distribution<double> noise(0.0, sigma);
  for (ImagePoint& p : placement.points) {
    p.x = static_cast<float>(p.x + noise(random));
    p.y = static_cast<float>(p.y + noise(random));
  }
  views.points.push_back(std::move(placement.points));
  views.R.push_back(placement.R);
  views.t.push_back(placement.t);
}

// Boards centred on rays towards a cycle of image positions (the centre, the
// edges' middles and the corners, then random ones), each tilted at random and
// turned in its plane; placements with a corner outside the image are drawn again.
inline Views Make(const CameraParameters& truth, const Options& options) {
  Views views;
  views.truth = truth;
  views.grid = options.grid;
  const std::vector<ObjectPoint> board = MakeGridObjectPoints(options.grid, 1);
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double w = truth.width, h = truth.height;
  const std::array<std::array<double, 2>, 9> targets{{{0.5, 0.5}, {0.12, 0.12}, {0.88, 0.12}, {0.12, 0.88}, {0.88, 0.88},
                                                      {0.5, 0.1}, {0.5, 0.9}, {0.1, 0.5}, {0.9, 0.5}}};
  for (int attempt = 0; static_cast<int>(views.points.size()) < options.views && attempt < 200000; ++attempt) {
    const size_t v = views.points.size();
    double u, vv;
    if (v < targets.size() && attempt < 2000 * static_cast<int>(v + 1)) {
      u = targets[v][0] * w + (unit(random) - 0.5) * 0.08 * w;
      vv = targets[v][1] * h + (unit(random) - 0.5) * 0.08 * h;
    } else {
      u = unit(random) * w, vv = unit(random) * h;
    }
    Placement placement;
    if (!PlaceBoard(truth, board, options, u, vv, random, placement)) continue;
    AddView(views, std::move(placement), random, options.noise);
  }
  return views;
}

// Views chosen so that together they reach every part of the image, corners
// and edges included: `candidates` boards are placed at random (half centred
// anywhere, half starting at a corner or an edge; at any distance and tilt of
// the options), and the views are taken one at a time, each the board that
// adds most to the points seen in the image's cells, counted with diminishing
// worth (the square root of a cell's count), so that empty cells, near the
// corners and edges, pull the choice.
inline Views MakeCovering(const CameraParameters& truth, const Options& options, int candidates = 4000,
                          int cellSize = 32) {
  Views views;
  views.truth = truth;
  views.grid = options.grid;
  const std::vector<ObjectPoint> board = MakeGridObjectPoints(options.grid, 1);
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Placement> pool;
  // Half the candidates centred anywhere, half starting at the border.
  const double w = truth.width, h = truth.height, inset = options.margin + 2.0;
  for (int attempt = 0; static_cast<int>(pool.size()) < candidates && attempt < 200 * candidates; ++attempt) {
    Placement placement;
    bool placed = false;
    if (attempt % 2 == 0) {
      placed = PlaceBoard(truth, board, options, unit(random) * w, unit(random) * h, random, placement);
    } else {
      // A point on the border, a corner one time in three.
      const int side = static_cast<int>(6 * unit(random));
      const int inwardX = unit(random) < 0.5 ? 1 : -1, inwardY = unit(random) < 0.5 ? 1 : -1;
      const double along = unit(random), nudge = 8.0 * unit(random);
      double u = along * w, v = along * h;
      if (side < 2) {
        u = inwardX > 0 ? inset + nudge : w - 1 - inset - nudge, v = inwardY > 0 ? inset + nudge : h - 1 - inset - nudge;
      } else if (side < 4) {
        u = inwardX > 0 ? inset + nudge : w - 1 - inset - nudge;
      } else {
        v = inwardY > 0 ? inset + nudge : h - 1 - inset - nudge;
      }
      placed = PlaceBoardFromBorder(truth, board, options, u, v, inwardX, inwardY, random, placement);
    }
    if (placed) pool.push_back(std::move(placement));
  }
  const int columns = (truth.width + cellSize - 1) / cellSize, rows = (truth.height + cellSize - 1) / cellSize;
  std::vector<int> counts(static_cast<size_t>(columns * rows), 0);
  auto cellOf = [&](const ImagePoint& p) {
    const int cx = std::clamp(static_cast<int>(p.x / cellSize), 0, columns - 1);
    const int cy = std::clamp(static_cast<int>(p.y / cellSize), 0, rows - 1);
    return static_cast<size_t>(cy * columns + cx);
  };
  std::vector<bool> taken(pool.size(), false);
  while (static_cast<int>(views.points.size()) < options.views) {
    double bestGain = -1.0;
    size_t best = pool.size();
    for (size_t c = 0; c < pool.size(); ++c) {
      if (taken[c]) continue;
      std::vector<int> added;
      for (const ImagePoint& p : pool[c].points) added.push_back(static_cast<int>(cellOf(p)));
      std::sort(added.begin(), added.end());
      double gain = 0.0;
      for (size_t i = 0; i < added.size();) {
        size_t j = i;
        while (j < added.size() && added[j] == added[i]) ++j;
        const int before = counts[static_cast<size_t>(added[i])];
        gain += std::sqrt(before + static_cast<double>(j - i)) - std::sqrt(static_cast<double>(before));
        i = j;
      }
      if (gain > bestGain) bestGain = gain, best = c;
    }
    if (best == pool.size()) break;
    taken[best] = true;
    for (const ImagePoint& p : pool[best].points) ++counts[cellOf(p)];
    AddView(views, pool[best], random, options.noise);
  }
  return views;
}

// A fisheye camera of width x height whose horizontal field of view is `degrees`.
inline CameraParameters FisheyeTruth(double degrees, int width = 1280, int height = 960,
                                     std::array<double, 4> k = {0.03, -0.008, 0.0015, -0.0002}) {
  CameraParameters camera;
  camera.model = LensModel::Fisheye;
  camera.width = width;
  camera.height = height;
  std::copy(k.begin(), k.end(), camera.distortion.begin());
  const double halfAngle = 0.5 * degrees * M_PI / 180.0;
  const double thetaD = camera_model::Fisheye::Polynomial(k.data(), halfAngle);
  const double f = 0.5 * width / thetaD;
  camera.K = {f, 0, 0.5 * width + 3.5, 0, f * 1.001, 0.5 * height - 2.25, 0, 0, 1};
  return camera;
}

// Sum of squared residuals of a camera and poses over the views.
inline double SumOfSquares(const CameraParameters& camera, const GridDescription& grid,
                           const std::vector<PointList>& points, const std::vector<std::array<double, 9>>& R,
                           const std::vector<std::array<double, 3>>& t) {
  const std::vector<ObjectPoint> board = MakeGridObjectPoints(grid, 1);
  double sum = 0.0;
  for (size_t v = 0; v < points.size(); ++v)
    for (size_t k = 0; k < board.size(); ++k) {
      const ImagePoint p = ProjectGridPoint(board[k], R[v].data(), t[v].data(), camera);
      sum += (p.x - points[v][k].x) * (p.x - points[v][k].x) + (p.y - points[v][k].y) * (p.y - points[v][k].y);
    }
  return sum;
}

// Rotation matrix (row by row) of a rotation vector.
inline std::array<double, 9> RotationOf(const double r[3]) {
  const double angle = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  if (angle == 0.0) return R;
  const double k[3] = {r[0] / angle, r[1] / angle, r[2] / angle}, c = std::cos(angle), s = std::sin(angle);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R[static_cast<size_t>(3 * i + j)] = (i == j ? c : 0.0) + (1 - c) * k[i] * k[j];
  R[1] -= s * k[2], R[2] += s * k[1], R[3] += s * k[2], R[5] -= s * k[0], R[6] -= s * k[1], R[7] += s * k[0];
  return R;
}

// Pixels a comparison takes (every pixel when empty).
using PixelFilter = std::function<bool(int x, int y)>;

// Distance between pixel (x, y) and the projection by `found` of the ray that
// `truth` sees there, turned by `rotation`; infinity where the truth has no ray.
inline double RayError(const CameraParameters& truth, const CameraParameters& found,
                       const std::array<double, 9>& rotation, double x, double y) {
  double ray[3];
  if (!camera_model::Ray(truth, x, y, ray)) return INFINITY;
  const auto q = camera_model::ToCamera(rotation.data(), std::array<double, 3>{}.data(), ray[0], ray[1], ray[2]);
  const camera_model::Point2<double> p = camera_model::Project(found, q[0], q[1], q[2]);
  return std::hypot(p.x - x, p.y - y);
}

// The same over a grid of pixels covering the image.
inline std::vector<double> RayErrors(const CameraParameters& truth, const CameraParameters& found,
                                     const std::array<double, 9>& rotation, int step, const PixelFilter& taken = {}) {
  std::vector<double> errors;
  for (int y = 0; y < truth.height; y += step)
    for (int x = 0; x < truth.width; x += step)
      if (!taken || taken(x, y)) errors.push_back(RayError(truth, found, rotation, x, y));
  return errors;
}

// Largest such distance after the rotation between the two camera frames that
// fits best (Gauss-Newton over the rotation vector): a camera is only known up
// to a small turn of its frame, which its principal point and the grid poses
// trade between them, so the comparison takes that turn out.
struct RayErrorSummary {
  double worst = 0.0;
  double rms = 0.0;
};

// The rotation (row by row) that turns the truth's camera frame into the found one's best.
inline std::array<double, 9> BestAlignment(const CameraParameters& truth, const CameraParameters& found, int step = 16,
                                           const PixelFilter& taken = {}) {
  double r[3] = {0, 0, 0};
  for (int iteration = 0; iteration < 8; ++iteration) {
    double JtJ[3][3] = {}, Jte[3] = {};
    // Residual vector (dx, dy per pixel) at r and its numeric Jacobian.
    auto residuals = [&](const double* rv) {
      std::vector<double> out;
      const std::array<double, 9> R = RotationOf(rv);
      for (int y = 0; y < truth.height; y += 4 * step)
        for (int x = 0; x < truth.width; x += 4 * step) {
          if (taken && !taken(x, y)) continue;
          double ray[3];
          if (!camera_model::Ray(truth, x, y, ray)) continue;
          const auto q = camera_model::ToCamera(R.data(), std::array<double, 3>{}.data(), ray[0], ray[1], ray[2]);
          const camera_model::Point2<double> p = camera_model::Project(found, q[0], q[1], q[2]);
          out.push_back(p.x - x);
          out.push_back(p.y - y);
        }
      return out;
    };
    const std::vector<double> e = residuals(r);
    std::vector<double> J[3];
    for (int j = 0; j < 3; ++j) {
      double moved[3] = {r[0], r[1], r[2]};
      moved[j] += 1e-7;
      const std::vector<double> shifted = residuals(moved);
      for (size_t i = 0; i < e.size(); ++i) J[j].push_back((shifted[i] - e[i]) / 1e-7);
    }
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b)
        for (size_t i = 0; i < e.size(); ++i) JtJ[a][b] += J[a][i] * J[b][i];
      for (size_t i = 0; i < e.size(); ++i) Jte[a] += J[a][i] * e[i];
    }
    // Solve the 3x3 system by Cramer's rule.
    auto det = [](double m[3][3]) {
      return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
             m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double d = det(JtJ);
    if (!(std::fabs(d) > 0.0)) break;
    for (int j = 0; j < 3; ++j) {
      double m[3][3];
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) m[a][b] = b == j ? Jte[a] : JtJ[a][b];
      r[j] -= det(m) / d;
    }
  }
  return RotationOf(r);
}

inline RayErrorSummary RayErrorAfterAlignment(const CameraParameters& truth, const CameraParameters& found,
                                              int step = 16, const PixelFilter& taken = {}) {
  const std::vector<double> errors = RayErrors(truth, found, BestAlignment(truth, found, step, taken), step, taken);
  RayErrorSummary summary;
  for (double e : errors) summary.worst = std::max(summary.worst, e), summary.rms += e * e;
  summary.rms = std::sqrt(summary.rms / static_cast<double>(errors.size()));
  return summary;
}

inline double WorstRayError(const CameraParameters& truth, const CameraParameters& found, int step = 16) {
  return RayErrorAfterAlignment(truth, found, step).worst;
}

}  // namespace lens_views
