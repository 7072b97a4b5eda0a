#pragma once
// Value records shared by the store, the workspace files, the engine, the grid
// editor and the 3D view.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ImagePoint {
  double x = 0.0;
  double y = 0.0;
};

struct CameraParameters {
  std::array<double, 5> distortion{};  // k1 k2 p1 p2, fifth always 0
  std::array<double, 9> K{};           // row-major camera matrix
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 3> T{};
  int32_t width = 0;
  int32_t height = 0;

  double fx() const { return K[0]; }
  double fy() const { return K[4]; }
  double cx() const { return K[2]; }
  double cy() const { return K[5]; }
};

// The length unit of a grid's square size, and so of every pose translation
// and rig baseline calibrated from it.
enum class LengthUnit { Millimetre, Centimetre, Metre, Inch };

// "mm", "cm", "m", "in".
const char* LengthUnitName(LengthUnit unit);
std::optional<LengthUnit> ParseLengthUnit(const std::string& name);
double MetresPerUnit(LengthUnit unit);

struct GridDescription {
  double dX = 0.0;
  double dY = 0.0;
  int32_t nx = 0;
  int32_t ny = 0;
  int32_t wx = 3;
  int32_t wy = 3;
  LengthUnit unit = LengthUnit::Millimetre;  // of dX and dY

  int pointsPerView() const { return nx * ny; }
};

struct ObjectPoint {
  double X = 0.0;
  double Y = 0.0;
  double Z = 0.0;
};

using PointList = std::vector<ImagePoint>;

// Writes nx*ny grid points per view, row by row from the top row (largest Y)
// down, repeated viewCount times. Point i*nx + c is (c*dX, (ny-1-i)*dY, 0).
void MakeGridObjectPoints(ObjectPoint* dst, const GridDescription& grid, int viewCount);
std::vector<ObjectPoint> MakeGridObjectPoints(const GridDescription& grid, int viewCount);
