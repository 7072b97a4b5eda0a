#pragma once
// The lens models, written out once. Every model is a pinhole camera matrix
// (fx, fy, cx, cy, no skew) applied to a distorted image-plane point; the
// models differ in how a camera-frame point (Xc, Yc, Zc) becomes that point.
//
// Pinhole family, on the normalised point (x, y) = (Xc, Yc) / Zc (Zc exactly 0
// is taken as 1 so that nothing is divided by zero):
//
//   r2 = x^2 + y^2
//   radial = (1 + k1 r2 + k2 r2^2 + k3 r2^3) / (1 + k4 r2 + k5 r2^2 + k6 r2^3)
//   xd = x radial + 2 p1 x y + p2 (r2 + 2 x^2)
//   yd = y radial + p1 (r2 + 2 y^2) + 2 p2 x y
//
// with coefficients k1 k2 p1 p2 (pinhole-radtan), k1 k2 p1 p2 k3
// (pinhole-radtan-k3) or k1 k2 p1 p2 k3 k4 k5 k6 (rational); the terms of
// a model without a coefficient are left out, not multiplied by zero.
//
// Fisheye (Kannala-Brandt), on the angle theta between the ray and the axis,
// so that rays at and beyond 90 degrees (Zc <= 0) still have an image:
//
//   rho = sqrt(Xc^2 + Yc^2), theta = atan2(rho, Zc)
//   thetaD = theta (1 + k1 theta^2 + k2 theta^4 + k3 theta^6 + k4 theta^8)
//   (xd, yd) = thetaD (Xc, Yc) / rho
//
// and for both u = fx xd + cx, v = fy yd + cy.
//
// The intrinsic block of a model is fx fy cx cy followed by its coefficients;
// the engine packs, refines and reports it in that order. Everything is
// templated on the scalar; derivatives are exact and optional. Adding a model
// means one more model struct here, its entry in LensModel and
// AllLensModels(), and Visit() below.

#include <array>
#include <cmath>

#include "records/Records.h"

namespace camera_model {

// ---------------------------------------------------------------------------
// The pinhole family

template <class T>
struct Point2 {
  T x{}, y{};
};

template <int N>
struct PinholeModel {
  static_assert(N == 4 || N == 5 || N == 8, "pinhole models have 4, 5 or 8 coefficients");
  static constexpr int kCoefficients = N;
  static constexpr int kBlock = 4 + N;

  // The distorted normalised point; with dxy, its derivatives by (x, y)
  // (row 0 for xd, row 1 for yd); with dk, by the coefficients.
  template <class T>
  static Point2<T> Distort(const T* k, T x, T y, T (*dxy)[2] = nullptr, T (*dk)[N] = nullptr) {
    const T r2 = x * x + y * y;
    const T r4 = r2 * r2;
    T numerator = T(1) + k[0] * r2 + k[1] * r2 * r2;
    T dNumerator = k[0] + T(2) * k[1] * r2;  // by r2
    if constexpr (N >= 5) {
      numerator += k[4] * r4 * r2;
      dNumerator += T(3) * k[4] * r4;
    }
    T radial = numerator, dRadial = dNumerator, inverseDenominator = T(1);
    if constexpr (N == 8) {
      const T denominator = T(1) + k[5] * r2 + k[6] * r4 + k[7] * r4 * r2;
      const T dDenominator = k[5] + T(2) * k[6] * r2 + T(3) * k[7] * r4;
      inverseDenominator = T(1) / denominator;
      radial = numerator * inverseDenominator;
      dRadial = (dNumerator - radial * dDenominator) * inverseDenominator;
    }
    const T p1 = k[2], p2 = k[3];
    const T a1 = T(2) * x * y;
    const Point2<T> d{x * radial + p1 * a1 + p2 * (r2 + T(2) * x * x), y * radial + p1 * (r2 + T(2) * y * y) + p2 * a1};
    if (dxy) {
      // d radial / dx = dRadial * 2x
      dxy[0][0] = radial + T(2) * x * x * dRadial + T(2) * p1 * y + T(6) * p2 * x;
      dxy[0][1] = T(2) * x * y * dRadial + T(2) * p1 * x + T(2) * p2 * y;
      dxy[1][0] = T(2) * x * y * dRadial + T(2) * p1 * x + T(2) * p2 * y;
      dxy[1][1] = radial + T(2) * y * y * dRadial + T(6) * p1 * y + T(2) * p2 * x;
    }
    if (dk) {
      const T r6 = r4 * r2;
      const T sx = x * inverseDenominator, sy = y * inverseDenominator;
      dk[0][0] = sx * r2, dk[1][0] = sy * r2;
      dk[0][1] = sx * r4, dk[1][1] = sy * r4;
      dk[0][2] = a1, dk[1][2] = r2 + T(2) * y * y;
      dk[0][3] = r2 + T(2) * x * x, dk[1][3] = a1;
      if constexpr (N >= 5) dk[0][4] = sx * r6, dk[1][4] = sy * r6;
      if constexpr (N == 8) {
        const T powers[3] = {r2, r4, r6};
        for (int i = 0; i < 3; ++i) {
          dk[0][5 + i] = -x * radial * inverseDenominator * powers[i];
          dk[1][5 + i] = -y * radial * inverseDenominator * powers[i];
        }
      }
    }
    return d;
  }

  // Image position of the camera-frame point; with dPoint its derivatives by
  // (Xc, Yc, Zc), with dBlock by the intrinsic block.
  template <class T>
  static Point2<T> Project(const T* c, T Xc, T Yc, T Zc, T (*dPoint)[3] = nullptr, T (*dBlock)[kBlock] = nullptr) {
    const T w = Zc != T(0) ? T(1) / Zc : T(1);
    const T x = Xc * w, y = Yc * w;
    T dxy[2][2], dk[2][N];
    const Point2<T> d = Distort(c + 4, x, y, dPoint ? dxy : nullptr, dBlock ? dk : nullptr);
    if (dPoint) {
      const T f[2] = {c[0], c[1]};
      for (int row = 0; row < 2; ++row) {
        dPoint[row][0] = f[row] * dxy[row][0] * w;
        dPoint[row][1] = f[row] * dxy[row][1] * w;
        dPoint[row][2] = -f[row] * (dxy[row][0] * x + dxy[row][1] * y) * w;
      }
    }
    if (dBlock) WriteBlockDerivatives(c, d, dk, dBlock);
    return {c[0] * d.x + c[2], c[1] * d.y + c[3]};
  }

  // The normalised point (x, y) whose distorted point is (xd, yd): Newton's
  // method from (xd, yd), each step halved until it lowers the error. False
  // when it does not reach the point or reaches it beyond the fold (the lens
  // folds over there).
  template <class T>
  static bool Undistort(const T* k, T xd, T yd, Point2<T>& out) {
    T x = xd, y = yd;
    Point2<T> d = Distort(k, x, y);
    T error = (d.x - xd) * (d.x - xd) + (d.y - yd) * (d.y - yd);
    const T scale = T(1) + xd * xd + yd * yd;
    for (int iteration = 0; iteration < 50 && error > T(1e-26) * scale; ++iteration) {
      T J[2][2];
      Distort(k, x, y, J);
      const T det = J[0][0] * J[1][1] - J[0][1] * J[1][0];
      if (!(std::fabs(det) > T(1e-300))) return false;
      const T ex = xd - d.x, ey = yd - d.y;
      T stepX = (J[1][1] * ex - J[0][1] * ey) / det, stepY = (J[0][0] * ey - J[1][0] * ex) / det;
      bool lowered = false;
      for (int halving = 0; halving < 30 && !lowered; ++halving, stepX *= T(0.5), stepY *= T(0.5)) {
        const Point2<T> trial = Distort(k, x + stepX, y + stepY);
        const T trialError = (trial.x - xd) * (trial.x - xd) + (trial.y - yd) * (trial.y - yd);
        if (trialError < error) {
          x += stepX, y += stepY, d = trial, error = trialError, lowered = true;
        }
      }
      if (!lowered) break;
    }
    out = {x, y};
    if (!(std::isfinite(x) && std::isfinite(y) && error <= T(1e-18) * scale)) return false;
    // Past a fold the same image point is reached a second time, mirrored:
    // that is not where the ray comes from.
    T J[2][2];
    Distort(k, x, y, J);
    return J[0][0] > T(0) && J[1][1] > T(0) && J[0][0] * J[1][1] - J[0][1] * J[1][0] > T(0);
  }

  // The ray (not of unit length) seen at pixel (u, v): (x, y, 1).
  template <class T>
  static bool Ray(const T* c, T u, T v, T ray[3]) {
    Point2<T> p;
    if (!Undistort(c + 4, (u - c[2]) / c[0], (v - c[3]) / c[1], p)) return false;
    ray[0] = p.x, ray[1] = p.y, ray[2] = T(1);
    return true;
  }

 private:
  template <class T>
  static void WriteBlockDerivatives(const T* c, const Point2<T>& d, const T (*dk)[N], T (*dBlock)[kBlock]) {
    dBlock[0][0] = d.x, dBlock[0][1] = T(0), dBlock[0][2] = T(1), dBlock[0][3] = T(0);
    dBlock[1][0] = T(0), dBlock[1][1] = d.y, dBlock[1][2] = T(0), dBlock[1][3] = T(1);
    for (int i = 0; i < N; ++i) {
      dBlock[0][4 + i] = c[0] * dk[0][i];
      dBlock[1][4 + i] = c[1] * dk[1][i];
    }
  }
};

using PinholeRadtan = PinholeModel<4>;
using PinholeRadtanK3 = PinholeModel<5>;
using Rational = PinholeModel<8>;

// ---------------------------------------------------------------------------
// Fisheye (Kannala-Brandt)

struct Fisheye {
  static constexpr int kCoefficients = 4;
  static constexpr int kBlock = 8;

  // thetaD of theta, and d thetaD / d theta.
  template <class T>
  static T Polynomial(const T* k, T theta, T* derivative = nullptr) {
    const T t2 = theta * theta;
    if (derivative)
      *derivative = T(1) + t2 * (T(3) * k[0] + t2 * (T(5) * k[1] + t2 * (T(7) * k[2] + t2 * T(9) * k[3])));
    return theta * (T(1) + t2 * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3]))));
  }

  template <class T>
  static Point2<T> Project(const T* c, T Xc, T Yc, T Zc, T (*dPoint)[3] = nullptr, T (*dBlock)[kBlock] = nullptr) {
    const T* k = c + 4;
    const T rho2 = Xc * Xc + Yc * Yc;
    const T rho = std::sqrt(rho2);
    const T theta = std::atan2(rho, Zc);
    T dThetaD = T(1);
    const T thetaD = Polynomial(k, theta, &dThetaD);
    // s = thetaD / rho scales (Xc, Yc) to the distorted point. On the axis
    // (rho tiny against the depth) it tends to 1 / Zc.
    const bool onAxis = !(rho > T(1e-12) * std::fabs(Zc)) && Zc > T(0);
    T s, dsdX = T(0), dsdY = T(0), dsdZ;
    if (onAxis) {
      s = T(1) / Zc;
      dsdZ = -s * s;
    } else if (rho > T(0)) {
      s = thetaD / rho;
      const T d2 = rho2 + Zc * Zc;
      // d theta / dX = X Z / (rho d2), d theta / dZ = -rho / d2
      const T common = (dThetaD * Zc / d2 - s) / rho2;  // ds/dX = X * common
      dsdX = Xc * common;
      dsdY = Yc * common;
      dsdZ = -dThetaD / d2;
    } else {
      s = T(0);  // straight behind the camera: no direction, no image
      dsdZ = T(0);
    }
    const Point2<T> d{s * Xc, s * Yc};
    if (dPoint) {
      const T f[2] = {c[0], c[1]};
      const T p[2] = {Xc, Yc};
      for (int row = 0; row < 2; ++row) {
        dPoint[row][0] = f[row] * ((row == 0 ? s : T(0)) + p[row] * dsdX);
        dPoint[row][1] = f[row] * ((row == 1 ? s : T(0)) + p[row] * dsdY);
        dPoint[row][2] = f[row] * p[row] * dsdZ;
      }
    }
    if (dBlock) {
      dBlock[0][0] = d.x, dBlock[0][1] = T(0), dBlock[0][2] = T(1), dBlock[0][3] = T(0);
      dBlock[1][0] = T(0), dBlock[1][1] = d.y, dBlock[1][2] = T(0), dBlock[1][3] = T(1);
      // d thetaD / d k_i = theta^(2i+3); scaled by (X, Y) / rho (1 / Zc on the axis, where theta^3 -> 0)
      const T ux = onAxis || !(rho > T(0)) ? T(0) : Xc / rho, uy = onAxis || !(rho > T(0)) ? T(0) : Yc / rho;
      T power = theta * theta * theta;
      for (int i = 0; i < 4; ++i, power *= theta * theta) {
        dBlock[0][4 + i] = c[0] * power * ux;
        dBlock[1][4 + i] = c[1] * power * uy;
      }
    }
    return {c[0] * d.x + c[2], c[1] * d.y + c[3]};
  }

  // The angle theta whose thetaD is the given one, by Newton's method from
  // theta = thetaD; false where the polynomial is not increasing on the way
  // (the lens folds over).
  template <class T>
  static bool Angle(const T* k, T thetaD, T& theta) {
    theta = thetaD;
    for (int iteration = 0; iteration < 50; ++iteration) {
      T derivative;
      const T error = Polynomial(k, theta, &derivative) - thetaD;
      if (!(derivative > T(0))) return false;
      const T step = error / derivative;
      theta -= step;
      if (std::fabs(step) < T(1e-15) * (T(1) + std::fabs(theta))) break;
    }
    T derivative;
    const T error = Polynomial(k, theta, &derivative) - thetaD;
    return std::isfinite(theta) && theta >= T(0) && derivative > T(0) && std::fabs(error) < T(1e-9) * (T(1) + thetaD);
  }

  // The unit ray seen at pixel (u, v).
  template <class T>
  static bool Ray(const T* c, T u, T v, T ray[3]) {
    const T xd = (u - c[2]) / c[0], yd = (v - c[3]) / c[1];
    const T thetaD = std::sqrt(xd * xd + yd * yd);
    if (!(thetaD > T(0))) {
      ray[0] = T(0), ray[1] = T(0), ray[2] = T(1);
      return std::isfinite(thetaD);
    }
    T theta;
    if (!Angle(c + 4, thetaD, theta)) return false;
    const T s = std::sin(theta) / thetaD;
    ray[0] = xd * s, ray[1] = yd * s, ray[2] = std::cos(theta);
    return true;
  }
};

// ---------------------------------------------------------------------------
// Choosing the model at run time

// Calls f with a value of the model's struct (PinholeRadtan{}, ..., Fisheye{}).
template <class F>
decltype(auto) Visit(LensModel model, F&& f) {
  switch (model) {
    case LensModel::PinholeRadtanK3:
      return f(PinholeRadtanK3{});
    case LensModel::Rational:
      return f(Rational{});
    case LensModel::Fisheye:
      return f(Fisheye{});
    case LensModel::PinholeRadtan:
      break;
  }
  return f(PinholeRadtan{});
}

inline constexpr int kMaxBlock = 4 + kMaxDistortionCoefficients;

inline int BlockSize(LensModel model) { return 4 + DistortionCount(model); }

// The intrinsic block of a camera: fx fy cx cy, then the model's coefficients.
inline std::array<double, kMaxBlock> BlockOf(const CameraParameters& camera) {
  std::array<double, kMaxBlock> block{};
  block[0] = camera.K[0], block[1] = camera.K[4], block[2] = camera.K[2], block[3] = camera.K[5];
  for (int i = 0; i < DistortionCount(camera.model); ++i)
    block[4 + static_cast<size_t>(i)] = camera.distortion[static_cast<size_t>(i)];
  return block;
}

// Writes a block into a camera of that model: the four camera-matrix entries
// and the coefficients (the slots past the model's count are cleared).
inline void SetBlock(CameraParameters& camera, LensModel model, const double* block) {
  camera.model = model;
  camera.K[0] = block[0], camera.K[4] = block[1], camera.K[2] = block[2], camera.K[5] = block[3];
  camera.distortion.fill(0.0);
  for (int i = 0; i < DistortionCount(model); ++i) camera.distortion[static_cast<size_t>(i)] = block[4 + i];
}

// Camera-frame point of X seen with pose (R row by row, t).
template <class T>
inline std::array<T, 3> ToCamera(const T* R, const T* t, T X, T Y, T Z) {
  return {R[0] * X + R[1] * Y + R[2] * Z + t[0], R[3] * X + R[4] * Y + R[5] * Z + t[1],
          R[6] * X + R[7] * Y + R[8] * Z + t[2]};
}

// Image position of a camera-frame point through a camera of any model.
inline Point2<double> Project(const CameraParameters& camera, double Xc, double Yc, double Zc) {
  const std::array<double, kMaxBlock> block = BlockOf(camera);
  return Visit(camera.model, [&](auto model) { return decltype(model)::Project(block.data(), Xc, Yc, Zc); });
}

// The ray seen at pixel (u, v) through a camera of any model (pinhole models:
// (x, y, 1); fisheye: unit length). False where the model has no ray there.
inline bool Ray(const CameraParameters& camera, double u, double v, double ray[3]) {
  const std::array<double, kMaxBlock> block = BlockOf(camera);
  return Visit(camera.model, [&](auto model) { return decltype(model)::Ray(block.data(), u, v, ray); });
}

// ---------------------------------------------------------------------------
// The pinhole-radtan model in the shape the projection routine and the
// closed-form start use it: the normalised point and its derivatives.

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
};

// Derivatives of one image point: row 0 for u, row 1 for v.
template <class T>
struct PixelJacobian {
  T byNormalised[2][2];                // by x, y of the normalised point
  T byIntrinsics[2][kIntrinsicCount];  // by fx fy cx cy k1 k2 p1 p2
};

// The normalised point of object point X seen with pose (R row by row, t),
// and the inverse depth used for it (Zc exactly 0 is taken as 1).
template <class T>
struct CameraPoint {
  T x{}, y{}, inverseDepth{};
};

template <class T>
CameraPoint<T> ToNormalised(const T* R, const T* t, T X, T Y, T Z) {
  const std::array<T, 3> p = ToCamera(R, t, X, Y, Z);
  const T w = p[2] != T(0) ? T(1) / p[2] : T(1);
  return {p[0] * w, p[1] * w, w};
}

// Image position of the normalised point (x, y); with J, its derivatives.
template <class T>
Point2<T> ProjectNormalised(const Intrinsics<T>& c, T x, T y, PixelJacobian<T>* J = nullptr) {
  T dxy[2][2], dk[2][4];
  const Point2<T> d = PinholeRadtan::Distort(c.k.data(), x, y, J ? dxy : nullptr, J ? dk : nullptr);
  if (J) {
    const T f[2] = {c.fx, c.fy};
    for (int row = 0; row < 2; ++row) {
      J->byNormalised[row][0] = f[row] * dxy[row][0];
      J->byNormalised[row][1] = f[row] * dxy[row][1];
      J->byIntrinsics[row][0] = row == 0 ? d.x : T(0);
      J->byIntrinsics[row][1] = row == 1 ? d.y : T(0);
      J->byIntrinsics[row][2] = row == 0 ? T(1) : T(0);
      J->byIntrinsics[row][3] = row == 1 ? T(1) : T(0);
      for (int i = 0; i < 4; ++i) J->byIntrinsics[row][4 + i] = f[row] * dk[row][i];
    }
  }
  return {c.fx * d.x + c.cx, c.fy * d.y + c.cy};
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
