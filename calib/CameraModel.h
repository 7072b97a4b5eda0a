#pragma once
// The camera model, written out once: a pinhole camera (fx, fy, cx, cy) with
// two radial (k1, k2) and two tangential (p1, p2) distortion terms, applied to
// the normalised point (x, y) = (Xc / Zc, Yc / Zc):
//
//   r2 = x^2 + y^2,  radial = 1 + k1 r2 + k2 r2^2
//   xd = x radial + 2 p1 x y + p2 (r2 + 2 x^2)
//   yd = y radial + p1 (r2 + 2 y^2) + 2 p2 x y
//   u  = fx xd + cx,  v = fy yd + cy
//
// Everything is templated on the scalar so that the engine (double), tests
// and tools use the same formulas; derivatives are exact and optional.
// Adding a model means changing this header and its parameter count.

#include <array>

namespace camera_model {

// Intrinsic values in the order the engine packs them: fx fy cx cy k1 k2 p1 p2.
inline constexpr int kIntrinsicCount = 8;
inline constexpr int kDistortionCount = 4;

template <class T>
struct Intrinsics {
  T fx{}, fy{}, cx{}, cy{};
  std::array<T, kDistortionCount> k{};  // k1 k2 p1 p2

  // From a row-by-row 3x3 camera matrix and four distortion coefficients.
  static Intrinsics FromMatrix(const T* K, const T* distortion) {
    Intrinsics c;
    c.fx = K[0], c.fy = K[4], c.cx = K[2], c.cy = K[5];
    if (distortion)
      for (int i = 0; i < kDistortionCount; ++i) c.k[static_cast<size_t>(i)] = distortion[i];
    return c;
  }
  // From eight values in the packing order.
  static Intrinsics FromPacked(const T* values) {
    Intrinsics c;
    c.fx = values[0], c.fy = values[1], c.cx = values[2], c.cy = values[3];
    for (int i = 0; i < kDistortionCount; ++i) c.k[static_cast<size_t>(i)] = values[4 + i];
    return c;
  }
};

template <class T>
struct Point2 {
  T x{}, y{};
};

// Derivatives of one image point: row 0 for u, row 1 for v.
template <class T>
struct PixelJacobian {
  T byNormalised[2][2];              // by x, y of the normalised point
  T byIntrinsics[2][kIntrinsicCount];  // by fx fy cx cy k1 k2 p1 p2
};

// The normalised point of object point X seen with pose (R row by row, t),
// and the inverse depth used for it. A point in the camera plane (Zc exactly
// 0) is taken with the factor 1 so that nothing is divided by zero.
template <class T>
struct CameraPoint {
  T x{}, y{}, inverseDepth{};
};

template <class T>
CameraPoint<T> ToNormalised(const T* R, const T* t, T X, T Y, T Z) {
  const T Xc = R[0] * X + R[1] * Y + R[2] * Z + t[0];
  const T Yc = R[3] * X + R[4] * Y + R[5] * Z + t[1];
  const T Zc = R[6] * X + R[7] * Y + R[8] * Z + t[2];
  const T w = Zc != T(0) ? T(1) / Zc : T(1);
  return {Xc * w, Yc * w, w};
}

// The distorted normalised point (xd, yd).
template <class T>
Point2<T> Distort(const std::array<T, kDistortionCount>& k, T x, T y) {
  const T r2 = x * x + y * y;
  const T radial = T(1) + k[0] * r2 + k[1] * r2 * r2;
  const T a1 = T(2) * x * y;
  return {x * radial + k[2] * a1 + k[3] * (r2 + T(2) * x * x), y * radial + k[2] * (r2 + T(2) * y * y) + k[3] * a1};
}

// Image position of the normalised point (x, y); with J, its derivatives.
template <class T>
Point2<T> ProjectNormalised(const Intrinsics<T>& c, T x, T y, PixelJacobian<T>* J = nullptr) {
  const Point2<T> d = Distort(c.k, x, y);
  if (J) {
    const T k1 = c.k[0], k2 = c.k[1], p1 = c.k[2], p2 = c.k[3];
    const T r2 = x * x + y * y, r4 = r2 * r2;
    const T radial = T(1) + k1 * r2 + k2 * r4;
    const T dRadial = T(2) * (k1 + T(2) * k2 * r2);  // d radial / dx is dRadial * x
    const T a1 = T(2) * x * y;
    J->byNormalised[0][0] = c.fx * (radial + x * x * dRadial + T(2) * p1 * y + T(6) * p2 * x);
    J->byNormalised[0][1] = c.fx * (x * y * dRadial + T(2) * p1 * x + T(2) * p2 * y);
    J->byNormalised[1][0] = c.fy * (x * y * dRadial + T(2) * p1 * x + T(2) * p2 * y);
    J->byNormalised[1][1] = c.fy * (radial + y * y * dRadial + T(6) * p1 * y + T(2) * p2 * x);
    const T du[kIntrinsicCount] = {d.x, T(0), T(1), T(0), c.fx * x * r2, c.fx * x * r4, c.fx * a1,
                                   c.fx * (r2 + T(2) * x * x)};
    const T dv[kIntrinsicCount] = {T(0), d.y, T(0), T(1), c.fy * y * r2, c.fy * y * r4, c.fy * (r2 + T(2) * y * y),
                                   c.fy * a1};
    for (int i = 0; i < kIntrinsicCount; ++i) J->byIntrinsics[0][i] = du[i], J->byIntrinsics[1][i] = dv[i];
  }
  return {c.fx * d.x + c.cx, c.fy * d.y + c.cy};
}

// Image position of object point X seen with pose (R row by row, t).
template <class T>
Point2<T> ProjectPoint(const Intrinsics<T>& c, const T* R, const T* t, T X, T Y, T Z) {
  const CameraPoint<T> p = ToNormalised(R, t, X, Y, Z);
  return ProjectNormalised(c, p.x, p.y);
}

// The normalised point whose distorted image is (xd, yd), by the fixed-point
// iteration x = (xd - tangential(x)) / radial(x) from x = xd.
template <class T>
Point2<T> Undistort(const std::array<T, kDistortionCount>& k, T xd, T yd, int iterations) {
  T x = xd, y = yd;
  for (int i = 0; i < iterations; ++i) {
    const T r2 = x * x + y * y;
    const T inverseRadial = T(1) / (T(1) + k[0] * r2 + k[1] * r2 * r2);
    const T dx = T(2) * k[2] * x * y + k[3] * (r2 + T(2) * x * x);
    const T dy = k[2] * (r2 + T(2) * y * y) + T(2) * k[3] * x * y;
    x = (xd - dx) * inverseRadial;
    y = (yd - dy) * inverseRadial;
  }
  return {x, y};
}

}  // namespace camera_model
