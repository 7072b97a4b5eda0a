#include "calib/GridFit.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Residuals {
  bool valid = false;
  double rms = 0.0;
  double worst = 0.0;
  std::vector<double> each;  // per point, grid order
};

struct Frame {
  double cx = 0.0, cy = 0.0, rho = 1.0;
};

Frame DistortionFrame(const PointList& points, int width, int height) {
  Frame frame;
  if (width > 0 && height > 0) {
    frame.cx = (width - 1) / 2.0;
    frame.cy = (height - 1) / 2.0;
    frame.rho = std::hypot(width, height) / 2.0;
    return frame;
  }
  double minX = points[0].x, maxX = minX, minY = points[0].y, maxY = minY;
  for (const ImagePoint& p : points) {
    minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
  }
  frame.cx = (minX + maxX) / 2.0;
  frame.cy = (minY + maxY) / 2.0;
  frame.rho = std::max(std::hypot(maxX - minX, maxY - minY) / 2.0, 1.0);
  return frame;
}

std::vector<Eigen::Vector2d> Undistort(const PointList& points, const Frame& frame, double lambda) {
  std::vector<Eigen::Vector2d> u(points.size());
  const double scale = lambda / (frame.rho * frame.rho);
  for (size_t k = 0; k < points.size(); ++k) {
    const double dx = points[k].x - frame.cx, dy = points[k].y - frame.cy;
    const double factor = 1.0 / (1.0 + scale * (dx * dx + dy * dy));
    u[k] = {frame.cx + dx * factor, frame.cy + dy * factor};
  }
  return u;
}

// Homography of grid coordinates (column, row) onto the points by the
// normalised direct linear transform; residuals in the points' units.
Residuals FitHomography(const std::vector<Eigen::Vector2d>& target, int nx, int ny) {
  Residuals result;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  for (const auto& p : target) mean += p;
  mean /= static_cast<double>(target.size());
  double spread = 0.0;
  for (const auto& p : target) spread += (p - mean).norm();
  spread /= static_cast<double>(target.size());
  if (!(spread > 0.0) || !std::isfinite(spread)) return result;
  const double s = std::sqrt(2.0) / spread;
  const double gx = (nx - 1) / 2.0, gy = (ny - 1) / 2.0, gs = std::sqrt(2.0) / std::max(gx, gy);
  Eigen::Matrix<double, 9, 9> normal = Eigen::Matrix<double, 9, 9>::Zero();
  for (int i = 0; i < ny; ++i)
    for (int j = 0; j < nx; ++j) {
      const Eigen::Vector2d& p = target[static_cast<size_t>(i) * nx + j];
      const double X = (j - gx) * gs, Y = (i - gy) * gs;
      const double x = (p.x() - mean.x()) * s, y = (p.y() - mean.y()) * s;
      Eigen::Matrix<double, 9, 1> a, b;
      a << X, Y, 1, 0, 0, 0, -x * X, -x * Y, -x;
      b << 0, 0, 0, X, Y, 1, -y * X, -y * Y, -y;
      normal += a * a.transpose() + b * b.transpose();
    }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 9, 9>> solver(normal);
  if (solver.info() != Eigen::Success) return result;
  const Eigen::Matrix<double, 9, 1> h = solver.eigenvectors().col(0);
  double sum = 0.0;
  for (int i = 0; i < ny; ++i)
    for (int j = 0; j < nx; ++j) {
      const Eigen::Vector2d& p = target[static_cast<size_t>(i) * nx + j];
      const double X = (j - gx) * gs, Y = (i - gy) * gs;
      const double w = h[6] * X + h[7] * Y + h[8];
      if (!(std::abs(w) > 1e-12)) return result;
      const double x = (h[0] * X + h[1] * Y + h[2]) / w / s + mean.x();
      const double y = (h[3] * X + h[4] * Y + h[5]) / w / s + mean.y();
      const double e = std::hypot(x - p.x(), y - p.y());
      sum += e * e;
      result.worst = std::max(result.worst, e);
      result.each.push_back(e);
    }
  result.rms = std::sqrt(sum / static_cast<double>(target.size()));
  result.valid = std::isfinite(result.rms);
  return result;
}

double MedianNeighbourDistance(const PointList& points, int nx, int ny) {
  std::vector<double> distances;
  distances.reserve(2 * points.size());
  for (int i = 0; i < ny; ++i)
    for (int j = 0; j < nx; ++j) {
      const ImagePoint& p = points[static_cast<size_t>(i) * nx + j];
      if (j + 1 < nx) {
        const ImagePoint& q = points[static_cast<size_t>(i) * nx + j + 1];
        distances.push_back(std::hypot(q.x - p.x, q.y - p.y));
      }
      if (i + 1 < ny) {
        const ImagePoint& q = points[static_cast<size_t>(i + 1) * nx + j];
        distances.push_back(std::hypot(q.x - p.x, q.y - p.y));
      }
    }
  const auto middle = distances.begin() + static_cast<ptrdiff_t>(distances.size() / 2);
  std::nth_element(distances.begin(), middle, distances.end());
  return *middle;
}

// Distance from each point to its nearest neighbour along the grid.
std::vector<double> NearestNeighbourDistances(const PointList& points, int nx, int ny) {
  std::vector<double> nearest(points.size(), std::numeric_limits<double>::infinity());
  for (int i = 0; i < ny; ++i)
    for (int j = 0; j < nx; ++j) {
      const size_t k = static_cast<size_t>(i) * nx + j;
      for (const size_t n : {j + 1 < nx ? k + 1 : k, i + 1 < ny ? k + static_cast<size_t>(nx) : k}) {
        if (n == k) continue;
        const double d = std::hypot(points[n].x - points[k].x, points[n].y - points[k].y);
        nearest[k] = std::min(nearest[k], d);
        nearest[n] = std::min(nearest[n], d);
      }
    }
  return nearest;
}

// Root-mean-square residual is what the search minimises.
double Cost(const Residuals& r) { return r.valid ? r.rms : std::numeric_limits<double>::infinity(); }

}  // namespace

GridFit FitPointsToGrid(const PointList& points, int nx, int ny, int width, int height) {
  GridFit fit;
  if (nx < 2 || ny < 2 || points.size() != static_cast<size_t>(nx) * static_cast<size_t>(ny)) return fit;
  if (!std::all_of(points.begin(), points.end(), [](const ImagePoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); }))
    return fit;
  const Frame frame = DistortionFrame(points, width, height);
  const auto residualsAt = [&](double lambda) { return FitHomography(Undistort(points, frame, lambda), nx, ny); };
  // A coarse scan, then golden-section search around its best step.
  constexpr int kSteps = 20;
  constexpr double kLimit = 1.0;
  double best = 0.0;
  double bestCost = Cost(residualsAt(0.0));
  for (int k = -kSteps; k <= kSteps; ++k) {
    const double lambda = kLimit * k / kSteps;
    const double cost = Cost(residualsAt(lambda));
    if (cost < bestCost) bestCost = cost, best = lambda;
  }
  double low = std::max(best - kLimit / kSteps, -kLimit), high = std::min(best + kLimit / kSteps, kLimit);
  constexpr double kGolden = 0.6180339887498949;
  for (int iteration = 0; iteration < 24; ++iteration) {
    const double a = high - kGolden * (high - low), b = low + kGolden * (high - low);
    if (Cost(residualsAt(a)) < Cost(residualsAt(b)))
      high = b;
    else
      low = a;
  }
  const double refinedLambda = (low + high) / 2.0;
  if (Cost(residualsAt(refinedLambda)) < bestCost) best = refinedLambda;
  const Residuals residuals = residualsAt(best);
  if (!residuals.valid) return fit;
  fit.rms = residuals.rms;
  fit.worst = residuals.worst;
  fit.lambda = best;
  fit.squareSize = MedianNeighbourDistance(points, nx, ny);
  fit.fits = fit.squareSize > 0.0 && fit.rms <= kFitRmsShare * fit.squareSize + kFitFloor;
  // Each point against its own squares: a steep view's far corners are a
  // fraction of the median square, and so is their share of a wrong corner.
  const std::vector<double> nearest = NearestNeighbourDistances(points, nx, ny);
  for (size_t k = 0; k < points.size() && fit.fits; ++k)
    fit.fits = residuals.each[k] <= kFitWorstShare * nearest[k] + kFitFloor;
  return fit;
}

namespace {

// Starts of patches of `size` along `count` points, overlapping by half, the last one at the end.
std::vector<int> PatchStarts(int count, int size) {
  std::vector<int> starts;
  for (int start = 0; start + size < count; start += std::max(1, size / 2)) starts.push_back(start);
  starts.push_back(count - size);
  return starts;
}

}  // namespace

GridFit FitPointsToGridPiecewise(const PointList& points, int nx, int ny, int width, int height) {
  const GridFit whole = FitPointsToGrid(points, nx, ny, width, height);
  if (whole.fits || nx < 2 || ny < 2 || points.size() != static_cast<size_t>(nx) * static_cast<size_t>(ny)) return whole;
  constexpr int kPatch = 4;
  const int px = std::min(kPatch, nx), py = std::min(kPatch, ny);
  GridFit worst;
  worst.fits = true;
  PointList patch(static_cast<size_t>(px) * static_cast<size_t>(py));
  for (int row0 : PatchStarts(ny, py))
    for (int column0 : PatchStarts(nx, px)) {
      for (int i = 0; i < py; ++i)
        for (int j = 0; j < px; ++j)
          patch[static_cast<size_t>(i * px + j)] = points[static_cast<size_t>((row0 + i) * nx + column0 + j)];
      const GridFit fit = FitPointsToGrid(patch, px, py, width, height);
      if (!fit.fits) return fit;
      if (fit.rms > worst.rms) worst = fit;
    }
  return worst;
}

std::optional<std::pair<int, int>> GridThatFits(const PointList& points, int nx, int ny, int width, int height) {
  const long long count = static_cast<long long>(points.size());
  // The transposed grid first: the usual mistake.
  std::vector<std::pair<int, int>> candidates{{ny, nx}};
  for (long long a = 2; a * 2 <= count && a <= 100000; ++a)
    if (count % a == 0) candidates.emplace_back(static_cast<int>(a), static_cast<int>(count / a));
  for (const auto& [a, b] : candidates) {
    if ((a == nx && b == ny) || a < 2 || b < 2 || static_cast<long long>(a) * b != count) continue;
    if (FitPointsToGrid(points, a, b, width, height).fits) return std::make_pair(a, b);
  }
  return std::nullopt;
}

std::string GridSizeText(int nx, int ny) { return std::to_string(nx) + "x" + std::to_string(ny); }
