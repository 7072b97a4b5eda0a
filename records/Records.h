#pragma once
// Value records shared by the store, the workspace files, the engine, the grid
// editor and the 3D view.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ImagePoint {
  double x = 0.0;
  double y = 0.0;
};

// The lens models a camera can be calibrated with. Each is a pinhole camera
// matrix (fx, fy, cx, cy) plus the model's distortion coefficients; the
// projections themselves are written in calib/CameraModel.h.
enum class LensModel : int32_t {
  PinholeRadtan,    // k1 k2 p1 p2 (the default, and every workspace file without a model file)
  PinholeRadtanK3,  // k1 k2 p1 p2 k3
  Rational,         // k1 k2 p1 p2 k3 k4 k5 k6: radial (1 + k1 r2 + k2 r4 + k3 r6) / (1 + k4 r2 + k5 r4 + k6 r6)
  Fisheye,          // k1 k2 k3 k4: theta (1 + k1 theta^2 + k2 theta^4 + k3 theta^6 + k4 theta^8), theta from the axis
};

inline constexpr int kMaxDistortionCoefficients = 8;

struct LensModelInfo {
  LensModel model;
  const char* name;  // as files and the command line spell it
  int coefficients;
  std::array<const char*, kMaxDistortionCoefficients> coefficientNames;
};

const std::array<LensModelInfo, 4>& AllLensModels();
const LensModelInfo& InfoOf(LensModel model);
std::optional<LensModel> LensModelFromName(std::string_view name);
inline const char* LensModelName(LensModel model) { return InfoOf(model).name; }
inline int DistortionCount(LensModel model) { return InfoOf(model).coefficients; }
// Index of a coefficient of the model by its name ("k3"), or -1.
int CoefficientIndex(LensModel model, std::string_view name);
// Whether the model has the tangential terms p1, p2 (at coefficients 2 and 3).
inline bool HasTangential(LensModel model) { return model != LensModel::Fisheye; }

struct CameraParameters {
  // The model's coefficients in its order (see LensModel); the slots past its
  // count stay 0. For pinhole-radtan these are k1 k2 p1 p2 and the fifth is 0.
  std::array<double, kMaxDistortionCoefficients> distortion{};
  std::array<double, 9> K{};           // row-major camera matrix
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 3> T{};
  int32_t width = 0;
  int32_t height = 0;
  LensModel model = LensModel::PinholeRadtan;

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

// How a camera is calibrated: its lens model and the values a run keeps
// fixed instead of refining. Kept per camera in the store and the workspace.
struct CalibrationSettings {
  LensModel model = LensModel::PinholeRadtan;
  bool fixAspectRatio = false;     // fx / fy stays at its start value (1, or the camera's current ratio)
  bool fixPrincipalPoint = false;  // cx, cy stay at the image centre
  bool zeroTangential = false;     // p1 = p2 = 0 (pinhole models)
  uint32_t fixedCoefficients = 0;  // bit i: coefficient i of the model stays at its start value
  bool posesOnly = false;          // every intrinsic value stays as the camera has it; only poses are refined

  bool IsDefault() const { return *this == CalibrationSettings{}; }
  bool operator==(const CalibrationSettings&) const = default;
};

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
