#pragma once
// Two sets of noisy views of one camera for judging whether views are enough:
// boards spread over the image, and boards clustered in its centre (450 mm
// away, tilted 20 to 35 degrees, centred within 50 px of the image centre,
// so the image's outer band sees no corner).

#include <Eigen/Dense>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "synth/SyntheticViews.h"

namespace guidance_views {

inline const GridDescription kGrid{25.0, 25.0, 9, 6, 5, 5};
inline constexpr double kNoise = 0.1;

inline SyntheticCamera Camera() {
  SyntheticCamera camera;
  camera.fx = 810.0;
  camera.fy = 790.0;
  camera.cx = 322.0;
  camera.cy = 236.0;
  camera.coefficients[0] = -0.21;
  camera.coefficients[1] = 0.08;
  return camera;
}

inline std::vector<SyntheticPose> SpreadPoses(int count) {
  return MakeSyntheticPoses(count, kGrid, Camera(), nullptr, nullptr, 7);
}

inline std::vector<SyntheticPose> ClusteredPoses(int count) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<SyntheticPose> poses;
  const Eigen::Vector3d centre(0.5 * (kGrid.nx - 1) * kGrid.dX, 0.5 * (kGrid.ny - 1) * kGrid.dY, 0.0);
  for (int view = 0; view < count; ++view) {
    const double direction = 2.0 * M_PI * view / count;
    const double tilt = (20.0 + 15.0 * std::fabs(unit(random))) * M_PI / 180.0;
    const std::array<double, 3> r{tilt * std::cos(direction), tilt * std::sin(direction), 0.3 * unit(random)};
    const SyntheticPose rotation = PoseFromVectors(r, {0.0, 0.0, 0.0});
    const Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>> R(rotation.R.data());
    const Eigen::Vector3d t = Eigen::Vector3d(28.0 * unit(random), 22.0 * unit(random), 450.0) - R * centre;
    poses.push_back(PoseFromVectors(r, {t.x(), t.y(), t.z()}));
  }
  return poses;
}

// The views of the poses with kNoise pixels of Gaussian noise, without pictures.
inline SyntheticCameraViews ViewsAt(const std::vector<SyntheticPose>& poses, unsigned seed = 5) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, kNoise);
  SyntheticCameraViews views;
  views.camera = Camera();
  views.poses = poses;
  for (const SyntheticPose& pose : poses) {
    views.points.push_back(ProjectGrid(views.camera, pose, kGrid));
    for (ImagePoint& p : views.points.back()) {
      p.x += noise(random);
      p.y += noise(random);
    }
  }
  return views;
}

}  // namespace guidance_views
