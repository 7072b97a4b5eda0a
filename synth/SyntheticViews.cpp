#include "synth/SyntheticViews.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "calib/CameraModel.h"
#include "synth/BoardRenderer.h"
#include "synth/SmallMatrix.h"

namespace {

using small_matrix::kDegree;
using small_matrix::kPi;
using small_matrix::Matrix3;
using small_matrix::Multiply;
using small_matrix::Vector3;

// Rotation by `angle` about the unit axis (ax, ay, az).
Matrix3 AxisAngle(double ax, double ay, double az, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), C = 1.0 - c;
  return {c + ax * ax * C,      ax * ay * C - az * s, ax * az * C + ay * s,
          ay * ax * C + az * s, c + ay * ay * C,      ay * az * C - ax * s,
          az * ax * C - ay * s, az * ay * C + ax * s, c + az * az * C};
}

Matrix3 MatrixFromVector(const Vector3& r) {
  const double angle = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
  if (angle < 1e-300) return {1, 0, 0, 0, 1, 0, 0, 0, 1};
  return AxisAngle(r[0] / angle, r[1] / angle, r[2] / angle, angle);
}

// Rotation vector of a rotation matrix, accurate up to and including 180 degrees.
Vector3 VectorFromMatrix(const Matrix3& R) {
  const double c = std::clamp((R[0] + R[4] + R[8] - 1.0) / 2.0, -1.0, 1.0);
  const double angle = std::acos(c);
  const Vector3 s{R[7] - R[5], R[2] - R[6], R[3] - R[1]};  // 2 sin(angle) axis
  if (c > 0.0) {
    const double sinAngle = 0.5 * std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    const double factor = sinAngle < 1e-12 ? 0.5 : angle / (2.0 * sinAngle);
    return {s[0] * factor, s[1] * factor, s[2] * factor};
  }
  // Large angles: the symmetric part gives axis*axis^T without dividing by sin.
  double M[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) M[3 * i + j] = (0.5 * (R[3 * i + j] + R[3 * j + i]) - (i == j ? c : 0.0)) / (1.0 - c);
  int largest = 0;
  for (int i = 1; i < 3; ++i)
    if (M[4 * i] > M[4 * largest]) largest = i;
  const double a = std::sqrt(std::max(M[4 * largest], 0.0));
  Vector3 axis{M[3 * largest] / a, M[3 * largest + 1] / a, M[3 * largest + 2] / a};
  if (axis[0] * s[0] + axis[1] * s[1] + axis[2] * s[2] < 0.0)
    for (double& v : axis) v = -v;
  return {axis[0] * angle, axis[1] * angle, axis[2] * angle};
}

ImagePoint Project(const CameraParameters& camera, const SyntheticPose& pose, double X, double Y) {
  const Vector3 Xc = Multiply(pose.R, Vector3{X, Y, 0.0});
  const camera_model::Point2<double> p =
      camera_model::Project(camera, Xc[0] + pose.t[0], Xc[1] + pose.t[1], Xc[2] + pose.t[2]);
  return {p.x, p.y};
}

// Whether the lens sees the camera-frame point at all: the pinhole family only
// in front of the camera, a fisheye at any angle but straight behind.
bool InFieldOfView(LensModel model, const Vector3& Xc) {
  if (model != LensModel::Fisheye) return Xc[2] > 0.0;
  return Xc[2] > 0.0 || Xc[0] * Xc[0] + Xc[1] * Xc[1] > 0.0;
}

// True when the printed squares (the grid points and one square around them)
// lie in front of the camera and inside the image, `border` pixels away from
// its edges; the white margin may be cut off.
bool BoardVisible(const SyntheticCamera& synthetic, const SyntheticPose& pose, const GridDescription& grid,
                  double border) {
  const CameraParameters camera = synthetic.ToParameters();
  const double x0 = -grid.dX, x1 = grid.nx * grid.dX;
  const double y0 = -grid.dY, y1 = grid.ny * grid.dY;
  constexpr int kSamples = 16;
  for (int i = 0; i <= kSamples; ++i) {
    const double a = static_cast<double>(i) / kSamples;
    const double edge[4][2] = {{x0 + a * (x1 - x0), y0}, {x0 + a * (x1 - x0), y1}, {x0, y0 + a * (y1 - y0)},
                               {x1, y0 + a * (y1 - y0)}};
    for (const auto& p : edge) {
      const Vector3 Xc = Multiply(pose.R, Vector3{p[0], p[1], 0.0});
      if (!InFieldOfView(camera.model, {Xc[0] + pose.t[0], Xc[1] + pose.t[1], Xc[2] + pose.t[2]})) return false;
      const ImagePoint q = Project(camera, pose, p[0], p[1]);
      if (!(q.x >= border && q.y >= border && q.x <= camera.width - 1 - border && q.y <= camera.height - 1 - border))
        return false;
    }
  }
  return true;
}

// The direction a board centred at pixel (u, v) lies in. The pinhole family
// takes the undistorted estimate (x, y, 1) with x = (u - cx) / fx (the
// distortion only moves the board a little); a fisheye's pixels are angles,
// so its boards lie along the lens's own ray, at unit distance.
Vector3 CentreRay(const SyntheticCamera& camera, double u, double v) {
  const Vector3 linear{(u - camera.cx) / camera.fx, (v - camera.cy) / camera.fy, 1.0};
  if (camera.model != LensModel::Fisheye) return linear;
  double ray[3];
  if (!camera_model::Ray(camera.ToParameters(), u, v, ray)) return linear;
  const double length = std::sqrt(ray[0] * ray[0] + ray[1] * ray[1] + ray[2] * ray[2]);
  return {ray[0] / length, ray[1] / length, ray[2] / length};
}

// The rotation taking the optical axis to the unit vector `ray`.
Matrix3 TurnFromAxis(const Vector3& ray) {
  const double sideways = std::sqrt(ray[0] * ray[0] + ray[1] * ray[1]);
  if (sideways < 1e-15) return ray[2] > 0.0 ? Matrix3{1, 0, 0, 0, 1, 0, 0, 0, 1} : AxisAngle(1, 0, 0, kPi);
  // About z x ray, by the angle between them.
  return AxisAngle(-ray[1] / sideways, ray[0] / sideways, 0.0, std::atan2(sideways, ray[2]));
}

// One candidate pose: the board tilted by `tilt` about an axis at `direction`
// in the image plane, turned by `roll` in its plane, with its centre seen at
// (u, v) and spanning about `span` of the image.
SyntheticPose CandidatePose(const SyntheticCamera& camera, const GridDescription& grid, double direction,
                            double tilt, double roll, double u, double v, double span) {
  // Object Y points up the image and the board faces the camera.
  const Matrix3 facing{1, 0, 0, 0, -1, 0, 0, 0, -1};
  // A fisheye's boards off the axis face the camera rather than its axis.
  const Vector3 ray = CentreRay(camera, u, v);
  const Matrix3 turn = camera.model == LensModel::Fisheye ? TurnFromAxis(ray) : Matrix3{1, 0, 0, 0, 1, 0, 0, 0, 1};
  const Matrix3 R = Multiply(turn, Multiply(AxisAngle(std::cos(direction), std::sin(direction), 0.0, tilt),
                                                          Multiply(AxisAngle(0, 0, 1, roll), facing)));
  const double boardWidth = (grid.nx + 1) * grid.dX, boardHeight = (grid.ny + 1) * grid.dY;
  const double depth = std::max(camera.fx * boardWidth / (span * camera.width),
                                camera.fy * boardHeight / (span * camera.height));
  const Vector3 centre{(grid.nx - 1) * grid.dX / 2.0, (grid.ny - 1) * grid.dY / 2.0, 0.0};
  const Vector3 rotatedCentre = Multiply(R, centre);
  SyntheticPose pose;
  pose.R = R;
  pose.r = VectorFromMatrix(R);
  pose.t = {ray[0] * depth - rotatedCentre[0], ray[1] * depth - rotatedCentre[1], ray[2] * depth - rotatedCentre[2]};
  return pose;
}

}  // namespace

SyntheticPose PoseFromVectors(const std::array<double, 3>& r, const std::array<double, 3>& t) {
  SyntheticPose pose;
  pose.R = MatrixFromVector(r);
  pose.r = r;
  pose.t = t;
  return pose;
}

SyntheticPose ComposePose(const SyntheticPose& relative, const SyntheticPose& pose) {
  SyntheticPose composed;
  composed.R = Multiply(relative.R, pose.R);
  composed.r = VectorFromMatrix(composed.R);
  const Vector3 rt = Multiply(relative.R, pose.t);
  composed.t = {rt[0] + relative.t[0], rt[1] + relative.t[1], rt[2] + relative.t[2]};
  return composed;
}

std::vector<SyntheticPose> MakeSyntheticPoses(int count, const GridDescription& grid, const SyntheticCamera& camera,
                                              const SyntheticPose* relative, const SyntheticCamera* second,
                                              uint32_t seed, int* hidden) {
  std::mt19937 random(seed);
  if (hidden) *hidden = 0;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<SyntheticPose> poses;
  for (int view = 0; view < count; ++view) {
    // Alternate large boards near the centre with smaller ones pushed into the
    // image corners, so that distortion is seen across the whole image.
    const bool outward = view % 2 == 1;
    const int corner = (view / 2) % 4;
    const double towardsX = corner == 0 || corner == 3 ? 1.0 : -1.0;
    const double towardsY = corner < 2 ? 1.0 : -1.0;
    double span = outward ? 0.45 + 0.15 * unit(random) : 0.6 + 0.2 * unit(random);
    SyntheticPose pose;
    bool visible = false;
    for (int attempt = 0; attempt < 400; ++attempt, span *= 0.98) {
      const double direction = 2.0 * kPi * (view + 0.6 * unit(random)) / std::max(count, 1) + 0.3;
      const double tilt = (15.0 + 30.0 * unit(random)) * kDegree;
      const double roll = (-20.0 + 40.0 * unit(random)) * kDegree;
      // Free room for the centre, shrinking with the attempts so that a fit is found.
      const double room = 0.5 * (1.0 - span) * std::pow(0.99, attempt);
      const double shiftX = outward ? towardsX * (0.7 + 0.3 * unit(random)) : 2.0 * unit(random) - 1.0;
      const double shiftY = outward ? towardsY * (0.7 + 0.3 * unit(random)) : 2.0 * unit(random) - 1.0;
      const double u = camera.cx + shiftX * room * camera.width;
      const double v = camera.cy + shiftY * room * camera.height;
      pose = CandidatePose(camera, grid, direction, tilt, roll, u, v, span);
      const double border = 0.02 * camera.width;
      visible = BoardVisible(camera, pose, grid, border);
      if (visible && relative && second) visible = BoardVisible(*second, ComposePose(*relative, pose), grid, border);
      if (visible) break;
    }
    if (!visible && hidden) ++*hidden;
    poses.push_back(pose);
  }
  return poses;
}

PointList ProjectGrid(const SyntheticCamera& synthetic, const SyntheticPose& pose, const GridDescription& grid) {
  const CameraParameters camera = synthetic.ToParameters();
  PointList points;
  points.reserve(static_cast<size_t>(grid.nx) * grid.ny);
  for (int i = 0; i < grid.ny; ++i)
    for (int j = 0; j < grid.nx; ++j) points.push_back(Project(camera, pose, j * grid.dX, (grid.ny - 1 - i) * grid.dY));
  return points;
}

SyntheticRig MakeSyntheticRig(const SyntheticOptions& options) {
  SyntheticRig rig;
  rig.grid = options.grid;
  const SyntheticPose relative = PoseFromVectors(options.stereoRotation, options.stereoTranslation);
  const std::vector<SyntheticPose> poses =
      MakeSyntheticPoses(options.views, options.grid, options.camera, options.stereo ? &relative : nullptr,
                         options.stereo ? &options.secondCamera : nullptr, options.seed, &rig.hiddenViews);
  std::mt19937 random(options.seed ^ 0x9e3779b9u);
  std::normal_distribution<double> noise(0.0, options.pointNoise > 0.0 ? options.pointNoise : 1.0);
  const int cameraCount = options.stereo ? 2 : 1;
  for (int c = 0; c < cameraCount; ++c) {
    SyntheticCameraViews views;
    views.camera = c == 0 ? options.camera : options.secondCamera;
    const BoardRenderer renderer(views.camera);
    for (size_t v = 0; v < poses.size(); ++v) {
      const SyntheticPose pose = c == 0 ? poses[v] : ComposePose(relative, poses[v]);
      views.poses.push_back(pose);
      views.exactPoints.push_back(ProjectGrid(views.camera, pose, options.grid));
      PointList noisy = views.exactPoints.back();
      if (options.pointNoise > 0.0)
        for (ImagePoint& p : noisy) {
          p.x += noise(random);
          p.y += noise(random);
        }
      views.points.push_back(std::move(noisy));
      if (options.renderImages) {
        RenderOptions render = options.render;
        render.seed = options.render.seed + static_cast<uint32_t>(100 * c + v);
        views.images.push_back(renderer.Render(pose, options.grid, render));
      }
    }
    rig.cameras.push_back(std::move(views));
  }
  return rig;
}
