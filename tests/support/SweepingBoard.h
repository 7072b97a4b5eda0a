#pragma once
// The board path of the guided capture benchmark, shared with the benchmarks
// and the tests that look at the same pictures.

#include <algorithm>
#include <array>
#include <cmath>

#include "sources/media/VirtualRig.h"
#include "synth/SyntheticViews.h"

// The board's pose at `seconds`: its middle on a slow figure over the picture,
// nearer and farther, turned about both axes and rolled, on incommensurate
// periods. The middle keeps the board's half-size (with room for the tilt)
// from the picture's edges, so the outer corners reach the picture's corners.
inline SyntheticPose SweepingPoseAt(const VirtualRig& rig, double seconds) {
  constexpr double kPi = 3.14159265358979323846, kDegree = kPi / 180.0;
  const auto wave = [seconds](double period, double phase) { return std::sin(2.0 * kPi * seconds / period + phase); };
  const SyntheticCamera& camera = rig.left;
  const GridDescription& g = rig.grid;
  const double depth = 700.0 + 200.0 * wave(9.7, 0.4);
  const double halfWidth = 0.5 * (g.nx - 1) * g.dX * camera.fx / depth, halfHeight = 0.5 * (g.ny - 1) * g.dY * camera.fy / depth;
  const double roomX = std::max(0.0, 0.5 * camera.width - 1.2 * halfWidth - 10.0);
  const double roomY = std::max(0.0, 0.5 * camera.height - 1.2 * halfHeight - 10.0);
  const double u = camera.cx + roomX * wave(7.1, 0.0), v = camera.cy + roomY * wave(5.3, 1.1);
  const std::array<double, 3> middle{(u - camera.cx) / camera.fx * depth, (v - camera.cy) / camera.fy * depth, depth};
  const std::array<double, 3> turn{kPi + 35.0 * kDegree * wave(6.1, 0.0), 35.0 * kDegree * wave(4.3, 0.9),
                                   15.0 * kDegree * wave(11.0, 0.3)};
  SyntheticPose pose = PoseFromVectors(turn, {0.0, 0.0, 0.0});
  const double cx = 0.5 * (g.nx - 1) * g.dX, cy = 0.5 * (g.ny - 1) * g.dY;
  for (int row = 0; row < 3; ++row)
    pose.t[static_cast<size_t>(row)] =
        middle[static_cast<size_t>(row)] - pose.R[static_cast<size_t>(3 * row)] * cx - pose.R[static_cast<size_t>(3 * row + 1)] * cy;
  return PoseFromVectors(pose.r, pose.t);
}
