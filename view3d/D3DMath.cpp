#include "view3d/D3DMath.h"

#include <cmath>

namespace D3D {

Vector3 operator+(const Vector3& a, const Vector3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vector3 operator-(const Vector3& a, const Vector3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vector3 operator*(const Vector3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(const Vector3& a, const Vector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

Vector3 Cross(const Vector3& a, const Vector3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vector3 Normalize(const Vector3& a) {
  const double length = std::sqrt(Dot(a, a));
  return length > 0.0 ? a * (1.0 / length) : a;
}

Matrix4 operator*(const Matrix4& a, const Matrix4& b) {
  Matrix4 r;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) sum += a(i, k) * b(k, j);
      r(i, j) = sum;
    }
  }
  return r;
}

Matrix4 MatrixIdentity() { return Matrix4{}; }

Matrix4 MatrixTranslation(double x, double y, double z) {
  Matrix4 r;
  r(3, 0) = x;
  r(3, 1) = y;
  r(3, 2) = z;
  return r;
}

Matrix4 MatrixRotationX(double angle) {
  Matrix4 r;
  const double c = std::cos(angle), s = std::sin(angle);
  r(1, 1) = c;
  r(1, 2) = s;
  r(2, 1) = -s;
  r(2, 2) = c;
  return r;
}

Matrix4 MatrixRotationY(double angle) {
  Matrix4 r;
  const double c = std::cos(angle), s = std::sin(angle);
  r(0, 0) = c;
  r(0, 2) = -s;
  r(2, 0) = s;
  r(2, 2) = c;
  return r;
}

Matrix4 MatrixLookAtLH(const Vector3& eye, const Vector3& at, const Vector3& up) {
  const Vector3 zAxis = Normalize(at - eye);
  const Vector3 xAxis = Normalize(Cross(up, zAxis));
  const Vector3 yAxis = Cross(zAxis, xAxis);
  Matrix4 r;
  r.m = {xAxis.x, yAxis.x, zAxis.x, 0.0,  //
         xAxis.y, yAxis.y, zAxis.y, 0.0,  //
         xAxis.z, yAxis.z, zAxis.z, 0.0,  //
         -Dot(xAxis, eye), -Dot(yAxis, eye), -Dot(zAxis, eye), 1.0};
  return r;
}

Matrix4 MatrixPerspectiveFovLH(double fovY, double aspect, double zNear, double zFar) {
  const double yScale = 1.0 / std::tan(fovY / 2.0);
  const double xScale = yScale / aspect;
  Matrix4 r;
  r.m = {xScale, 0.0, 0.0, 0.0,  //
         0.0, yScale, 0.0, 0.0,  //
         0.0, 0.0, zFar / (zFar - zNear), 1.0,  //
         0.0, 0.0, -zNear * zFar / (zFar - zNear), 0.0};
  return r;
}

Matrix4 DepthRangeToOpenGL() {
  // z' = 2z - w, x, y and w unchanged.
  Matrix4 r;
  r(2, 2) = 2.0;
  r(3, 2) = -1.0;
  return r;
}

namespace {

std::array<double, 4> TransformRow(const Vector3& p, const Matrix4& m) {
  std::array<double, 4> out{};
  for (int j = 0; j < 4; ++j) out[j] = p.x * m(0, j) + p.y * m(1, j) + p.z * m(2, j) + m(3, j);
  return out;
}

}  // namespace

Vector3 TransformCoord(const Vector3& p, const Matrix4& m) {
  const auto h = TransformRow(p, m);
  const double w = h[3] != 0.0 ? h[3] : 1.0;
  return {h[0] / w, h[1] / w, h[2] / w};
}

Vector3 Project(const Vector3& p, const Viewport& viewport, const Matrix4& worldViewProjection) {
  const Vector3 ndc = TransformCoord(p, worldViewProjection);
  return {viewport.x + (ndc.x + 1.0) * 0.5 * viewport.width,
          viewport.y + (1.0 - ndc.y) * 0.5 * viewport.height,
          viewport.minZ + ndc.z * (viewport.maxZ - viewport.minZ)};
}

std::array<float, 16> ToOpenGL(const Matrix4& m) {
  std::array<float, 16> out{};
  for (int i = 0; i < 16; ++i) out[i] = static_cast<float>(m.m[i]);
  return out;
}

}  // namespace D3D
