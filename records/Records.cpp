#include "records/Records.h"

#include <algorithm>

const std::array<LensModelInfo, 4>& AllLensModels() {
  static const std::array<LensModelInfo, 4> models{{
      {LensModel::PinholeRadtan, "pinhole-radtan", 4, {"k1", "k2", "p1", "p2"}},
      {LensModel::PinholeRadtanK3, "pinhole-radtan-k3", 5, {"k1", "k2", "p1", "p2", "k3"}},
      {LensModel::Rational, "rational", 8, {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"}},
      {LensModel::Fisheye, "fisheye", 4, {"k1", "k2", "k3", "k4"}},
  }};
  return models;
}

const LensModelInfo& InfoOf(LensModel model) {
  for (const LensModelInfo& info : AllLensModels())
    if (info.model == model) return info;
  return AllLensModels()[0];
}

std::optional<LensModel> LensModelFromName(std::string_view name) {
  for (const LensModelInfo& info : AllLensModels())
    if (name == info.name) return info.model;
  return std::nullopt;
}

int CoefficientIndex(LensModel model, std::string_view name) {
  const LensModelInfo& info = InfoOf(model);
  for (int i = 0; i < info.coefficients; ++i)
    if (name == info.coefficientNames[static_cast<size_t>(i)]) return i;
  return -1;
}

void MakeGridObjectPoints(ObjectPoint* dst, const GridDescription& grid, int viewCount) {
  if (viewCount <= 0 || grid.nx <= 0 || grid.ny <= 0) return;
  ObjectPoint* out = dst;
  for (int row = grid.ny - 1; row >= 0; --row)
    for (int col = 0; col < grid.nx; ++col)
      *out++ = ObjectPoint{col * grid.dX, row * grid.dY, 0.0};
  const int block = grid.nx * grid.ny;
  for (int v = 1; v < viewCount; ++v) std::copy(dst, dst + block, dst + v * block);
}

std::vector<ObjectPoint> MakeGridObjectPoints(const GridDescription& grid, int viewCount) {
  if (viewCount <= 0 || grid.nx <= 0 || grid.ny <= 0) return {};
  std::vector<ObjectPoint> points(static_cast<size_t>(grid.nx) * grid.ny * viewCount);
  MakeGridObjectPoints(points.data(), grid, viewCount);
  return points;
}

const char* LengthUnitName(LengthUnit unit) {
  switch (unit) {
    case LengthUnit::Millimetre: return "mm";
    case LengthUnit::Centimetre: return "cm";
    case LengthUnit::Metre: return "m";
    case LengthUnit::Inch: return "in";
  }
  return "mm";
}

std::optional<LengthUnit> ParseLengthUnit(const std::string& name) {
  for (LengthUnit unit : {LengthUnit::Millimetre, LengthUnit::Centimetre, LengthUnit::Metre, LengthUnit::Inch})
    if (name == LengthUnitName(unit)) return unit;
  return std::nullopt;
}

double MetresPerUnit(LengthUnit unit) {
  switch (unit) {
    case LengthUnit::Millimetre: return 0.001;
    case LengthUnit::Centimetre: return 0.01;
    case LengthUnit::Metre: return 1.0;
    case LengthUnit::Inch: return 0.0254;
  }
  return 0.001;
}
