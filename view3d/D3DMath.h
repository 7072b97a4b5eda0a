#pragma once
// Small matrix kit of the 3D scene. It keeps the conventions of the scene's
// original Direct3D maths so the picture comes out the same on OpenGL: points
// are row vectors multiplied from the left (p' = p * M), matrices are stored
// row by row, the frame is left-handed (x right, y up, z into the screen) and
// the projection maps depth to 0 (near) .. 1 (far).

#include <array>

namespace D3D {

struct Vector3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

Vector3 operator+(const Vector3& a, const Vector3& b);
Vector3 operator-(const Vector3& a, const Vector3& b);
Vector3 operator*(const Vector3& a, double s);
double Dot(const Vector3& a, const Vector3& b);
Vector3 Cross(const Vector3& a, const Vector3& b);
Vector3 Normalize(const Vector3& a);

struct Matrix4 {
  std::array<double, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  double operator()(int row, int column) const { return m[4 * row + column]; }
  double& operator()(int row, int column) { return m[4 * row + column]; }
};

Matrix4 operator*(const Matrix4& a, const Matrix4& b);
Matrix4 MatrixIdentity();
Matrix4 MatrixTranslation(double x, double y, double z);
Matrix4 MatrixRotationX(double angle);
Matrix4 MatrixRotationY(double angle);
// Left-handed view matrix looking from eye to at.
Matrix4 MatrixLookAtLH(const Vector3& eye, const Vector3& at, const Vector3& up);
// Left-handed perspective with vertical field of view fovY (radians).
Matrix4 MatrixPerspectiveFovLH(double fovY, double aspect, double zNear, double zFar);
// Turns a projection whose depth runs 0..1 into one whose depth runs -1..1,
// which is what OpenGL clips against.
Matrix4 DepthRangeToOpenGL();

// p * M followed by the division by w.
Vector3 TransformCoord(const Vector3& p, const Matrix4& m);

struct Viewport {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  double minZ = 1.0;
  double maxZ = 1000.0;
};

// Window position of a point given world * view * projection; z is the depth
// mapped into the viewport's depth range.
Vector3 Project(const Vector3& p, const Viewport& viewport, const Matrix4& worldViewProjection);

// The 16 values in the order OpenGL's glLoadMatrix expects for the same
// transform (its column-major layout of the transpose is our row-major one).
std::array<float, 16> ToOpenGL(const Matrix4& m);

}  // namespace D3D
