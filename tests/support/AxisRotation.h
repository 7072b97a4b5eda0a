#pragma once
// Tilting a synthetic board: a rotation about an axis in the image plane.

#include <cmath>

#include "synth/SmallMatrix.h"

// Rotation by `angle` (radians) about the unit axis (ax, ay, 0), row by row.
inline small_matrix::Matrix3 AxisRotation(double ax, double ay, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), C = 1.0 - c;
  return {c + ax * ax * C, ax * ay * C, ay * s, ax * ay * C, c + ay * ay * C, -ax * s, -ay * s, ax * s, c};
}
