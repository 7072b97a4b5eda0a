#pragma once
// 3x3 matrices (row by row) and 3-vectors as plain arrays: the few products
// that build synthetic and virtual board poses.

#include <array>

namespace small_matrix {

using Matrix3 = std::array<double, 9>;
using Vector3 = std::array<double, 3>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

inline Matrix3 Multiply(const Matrix3& a, const Matrix3& b) {
  Matrix3 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[3 * i + j] += a[3 * i + k] * b[3 * k + j];
  return c;
}

inline Vector3 Multiply(const Matrix3& a, const Vector3& v) {
  return {a[0] * v[0] + a[1] * v[1] + a[2] * v[2], a[3] * v[0] + a[4] * v[1] + a[5] * v[2],
          a[6] * v[0] + a[7] * v[1] + a[8] * v[2]};
}

inline Matrix3 Transpose(const Matrix3& a) { return {a[0], a[3], a[6], a[1], a[4], a[7], a[2], a[5], a[8]}; }

}  // namespace small_matrix
