#include "calib/ModelStart.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <Eigen/Dense>

#include "calib/CameraModel.h"

namespace {

using Matrix3 = Eigen::Matrix3d;
using Vector3 = Eigen::Vector3d;

// Board points moved to their centroid and scaled to a mean distance of sqrt(2),
// so that the homography's normal equations are well conditioned.
struct PlaneNormalisation {
  double cx = 0.0, cy = 0.0, scale = 1.0;

  explicit PlaneNormalisation(const ObjectPoint* object, int count) {
    for (int i = 0; i < count; ++i) cx += object[i].X, cy += object[i].Y;
    cx /= count, cy /= count;
    double distance = 0.0;
    for (int i = 0; i < count; ++i) distance += std::hypot(object[i].X - cx, object[i].Y - cy);
    distance /= count;
    scale = distance > 0.0 ? std::sqrt(2.0) / distance : 1.0;
  }
  Matrix3 AsMatrix() const {
    Matrix3 N;
    N << scale, 0, -scale * cx, 0, scale, -scale * cy, 0, 0, 1;
    return N;
  }
};

// H with each ray parallel to H (X', Y', 1) in the normalised plane.
bool FitRayHomography(const ObjectPoint* object, const Ray3* rays, int count, const PlaneNormalisation& n, Matrix3& H) {
  Eigen::Matrix<double, 9, 9> AtA = Eigen::Matrix<double, 9, 9>::Zero();
  for (int i = 0; i < count; ++i) {
    const Vector3 d = Vector3(rays[i][0], rays[i][1], rays[i][2]).normalized();
    const double p[3] = {n.scale * (object[i].X - n.cx), n.scale * (object[i].Y - n.cy), 1.0};
    // d x (H p) = 0: three rows, two of them independent.
    Eigen::Matrix<double, 3, 9> rows = Eigen::Matrix<double, 3, 9>::Zero();
    for (int j = 0; j < 3; ++j) {
      rows(0, 3 + j) = -d.z() * p[j], rows(0, 6 + j) = d.y() * p[j];
      rows(1, j) = d.z() * p[j], rows(1, 6 + j) = -d.x() * p[j];
      rows(2, j) = -d.y() * p[j], rows(2, 3 + j) = d.x() * p[j];
    }
    AtA.noalias() += rows.transpose() * rows;
  }
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 9, 9>> eigen(AtA);
  if (eigen.info() != Eigen::Success) return false;
  const auto h = eigen.eigenvectors().col(0);
  if (!(eigen.eigenvalues()(1) > 1e-12 * eigen.eigenvalues()(8))) return false;
  H << h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), h(8);
  H = H * n.AsMatrix();
  return H.allFinite();
}

Matrix3 NearestRotation(const Matrix3& M) {
  Eigen::JacobiSVD<Matrix3> svd(M, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Matrix3 R = svd.matrixU() * svd.matrixV().transpose();
  if (R.determinant() < 0) {
    Matrix3 U = svd.matrixU();
    U.col(2) *= -1.0;
    R = U * svd.matrixV().transpose();
  }
  return R;
}

}  // namespace

bool PlanarPoseFromRays(const ObjectPoint* object, const Ray3* rays, int count, double R[9], double t[3]) {
  if (count < 4) return false;
  const PlaneNormalisation normalisation(object, count);
  Matrix3 H;
  if (!FitRayHomography(object, rays, count, normalisation, H)) return false;
  // The sign that puts the grid where the rays look.
  double facing = 0.0;
  for (int i = 0; i < count; ++i)
    facing += Vector3(rays[i][0], rays[i][1], rays[i][2]).normalized().dot(H * Vector3(object[i].X, object[i].Y, 1.0));
  const double lambda = 2.0 / (H.col(0).norm() + H.col(1).norm());
  H *= facing < 0.0 ? -lambda : lambda;
  Matrix3 M;
  M.col(0) = H.col(0);
  M.col(1) = H.col(1);
  M.col(2) = H.col(0).cross(H.col(1));
  const Matrix3 rotation = NearestRotation(M);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) R[3 * i + j] = rotation(i, j);
    t[i] = H(i, 2);
  }
  return rotation.allFinite() && H.col(2).allFinite();
}

bool ViewPose(const CameraParameters& camera, const ObjectPoint* object, const ImagePoint* image, int count,
              double R[9], double t[3]) {
  std::vector<ObjectPoint> seen;
  std::vector<Ray3> rays;
  for (int i = 0; i < count; ++i) {
    Ray3 ray;
    if (!camera_model::Ray(camera, image[i].x, image[i].y, ray.data())) continue;
    seen.push_back(object[i]);
    rays.push_back(ray);
  }
  return PlanarPoseFromRays(seen.data(), rays.data(), static_cast<int>(seen.size()), R, t);
}

namespace {

// Sum of squared reprojection errors of every view through `camera`, each
// view posed from its rays; each point's share is capped so that a view whose
// pose fails weighs like a bad one, not like infinity. Poses go to R, t.
double ScoreCamera(const CameraParameters& camera, const ObjectPoint* grid, const ImagePoint* image, int views,
                   int pointsPerView, double cap, double* R, double* t, int* posed) {
  double sum = 0.0;
  *posed = 0;
  for (int v = 0; v < views; ++v) {
    const ImagePoint* points = image + static_cast<ptrdiff_t>(v) * pointsPerView;
    double* Rv = R + 9 * v;
    double* tv = t + 3 * v;
    if (!ViewPose(camera, grid, points, pointsPerView, Rv, tv)) {
      sum += cap * pointsPerView;
      continue;
    }
    ++*posed;
    for (int k = 0; k < pointsPerView; ++k) {
      const auto p = camera_model::ToCamera(Rv, tv, grid[k].X, grid[k].Y, grid[k].Z);
      const camera_model::Point2<double> q = camera_model::Project(camera, p[0], p[1], p[2]);
      const double e = (q.x - points[k].x) * (q.x - points[k].x) + (q.y - points[k].y) * (q.y - points[k].y);
      sum += std::isfinite(e) ? std::min(e, cap) : cap;
    }
  }
  return sum;
}

CameraParameters Equidistant(double focal, double aspect, int width, int height) {
  CameraParameters camera;
  camera.model = LensModel::Fisheye;
  camera.K = {aspect * focal, 0, (width - 1) * 0.5, 0, focal, (height - 1) * 0.5, 0, 0, 1};
  camera.width = width;
  camera.height = height;
  return camera;
}

}  // namespace

bool FisheyeStart(const ObjectPoint* grid, const ImagePoint* image, int views, int pointsPerView, int width,
                  int height, double aspect, CameraParameters& camera, double* rotations, double* translations) {
  if (views <= 0 || pointsPerView < 4 || width <= 0 || height <= 0) return false;
  if (!(aspect > 0.0)) aspect = 1.0;
  const double size = std::max(width, height);
  const double cap = 0.01 * size * size;
  std::vector<double> R(9 * static_cast<size_t>(views)), t(3 * static_cast<size_t>(views));
  int posed = 0;
  auto score = [&](double logFocal) {
    return ScoreCamera(Equidistant(std::exp(logFocal), aspect, width, height), grid, image, views, pointsPerView, cap,
                       R.data(), t.data(), &posed);
  };
  // A coarse scan of focal lengths from a field of view far beyond 360 degrees
  // to a narrow one, then a golden-section search around the best.
  const double low = std::log(0.05 * size), high = std::log(3.0 * size);
  constexpr int kSteps = 48;
  int best = 0;
  double bestScore = INFINITY;
  for (int i = 0; i <= kSteps; ++i) {
    const double s = score(low + (high - low) * i / kSteps);
    if (s < bestScore) bestScore = s, best = i;
  }
  const double step = (high - low) / kSteps;
  double a = low + (best - 1) * step, b = low + (best + 1) * step;
  const double golden = 0.5 * (std::sqrt(5.0) - 1.0);
  double c = b - golden * (b - a), d = a + golden * (b - a);
  double fc = score(c), fd = score(d);
  for (int i = 0; i < 40 && b - a > 1e-6; ++i) {
    if (fc < fd) {
      b = d, d = c, fd = fc, c = b - golden * (b - a), fc = score(c);
    } else {
      a = c, c = d, fc = fd, d = a + golden * (b - a), fd = score(d);
    }
  }
  camera = Equidistant(std::exp(0.5 * (a + b)), aspect, width, height);
  score(0.5 * (a + b));
  if (2 * posed < views + 1) return false;
  std::copy(R.begin(), R.end(), rotations);
  std::copy(t.begin(), t.end(), translations);
  return true;
}
