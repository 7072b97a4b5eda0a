#include "app/EnoughViews.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// Each image corner is this many coverage cells square.
constexpr int kCornerCells = 2;

struct ImageCorner {
  const char* name;
  bool right;
  bool bottom;
};
constexpr std::array<ImageCorner, 4> kImageCorners{
    {{"top left", false, false}, {"top right", true, false}, {"bottom left", false, true}, {"bottom right", true, true}}};

std::string Pixels(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f px" : "%.3g px", value);
  return text;
}

std::string Share(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

bool CornerHoldsCorners(const CoverageSummary& coverage, const ImageCorner& corner) {
  for (int r = 0; r < kCornerCells; ++r)
    for (int c = 0; c < kCornerCells; ++c) {
      const int column = corner.right ? coverage.columns - 1 - c : c;
      const int row = corner.bottom ? coverage.rows - 1 - r : r;
      if (coverage.corners[static_cast<size_t>(row * coverage.columns + column)] > 0) return true;
    }
  return false;
}

// The largest finite σ among cells centred in the image corner; -1 when there is none.
double WorstInCorner(const ProjectionUncertaintyMap& map, const ImageCorner& corner) {
  double worst = -1.0;
  if (!map.valid) return worst;
  const double cornerWidth = map.width * static_cast<double>(kCornerCells) / kCoverageCells;
  const double cornerHeight = map.height * static_cast<double>(kCornerCells) / kCoverageCells;
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column) {
      const double x = corner.right ? map.width - map.CellX(column) : map.CellX(column);
      const double y = corner.bottom ? map.height - map.CellY(row) : map.CellY(row);
      const double sigma = map.At(column, row);
      if (x < cornerWidth && y < cornerHeight && std::isfinite(sigma)) worst = std::max(worst, sigma);
    }
  return worst;
}

// "uncertainty 0.9 px at top left" for the map's worst finite cell; "" without one.
std::string WorstPlace(const ProjectionUncertaintyMap& map) {
  if (!map.valid) return "";
  int worstColumn = -1, worstRow = -1;
  double worst = -1.0;
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column)
      if (std::isfinite(map.At(column, row)) && map.At(column, row) > worst) {
        worst = map.At(column, row);
        worstColumn = column;
        worstRow = row;
      }
  if (worstColumn < 0) return "";
  return "uncertainty " + Pixels(worst) + " at " +
         ImageRegionName(map.CellX(worstColumn), map.CellY(worstRow), map.width, map.height);
}

std::string WithPlace(const std::string& text, const std::string& place) {
  return place.empty() ? text : text + " (" + place + ")";
}

EnoughViewsVerdict MoreNeeded(const std::string& why) { return {false, "More views needed: " + why}; }

}  // namespace

std::string ImageRegionName(double x, double y, int width, int height) {
  const int column = std::clamp(static_cast<int>(3.0 * x / std::max(width, 1)), 0, 2);
  const int row = std::clamp(static_cast<int>(3.0 * y / std::max(height, 1)), 0, 2);
  static const char* const kRows[3] = {"top", "", "bottom"};
  static const char* const kColumns[3] = {"left", "", "right"};
  const std::string vertical = kRows[row], horizontal = kColumns[column];
  if (vertical.empty() && horizontal.empty()) return "centre";
  if (vertical.empty() || horizontal.empty()) return vertical + horizontal;
  return vertical + " " + horizontal;
}

EnoughViewsVerdict JudgeViews(const CoverageSummary& coverage, const ProjectionUncertaintyMap& uncertainty,
                              const EnoughViewsThresholds& thresholds) {
  if (!coverage.valid) return MoreNeeded("no complete views");
  if (!uncertainty.valid) return MoreNeeded("the uncertainty of this calibration cannot be estimated");

  // The uncovered corner with the largest uncertainty names the place.
  const ImageCorner* uncovered = nullptr;
  double uncoveredWorst = -2.0;
  for (const ImageCorner& corner : kImageCorners) {
    if (CornerHoldsCorners(coverage, corner)) continue;
    const double worst = WorstInCorner(uncertainty, corner);
    if (worst > uncoveredWorst) {
      uncoveredWorst = worst;
      uncovered = &corner;
    }
  }
  if (uncovered) {
    const std::string place =
        uncoveredWorst >= 0.0 ? "uncertainty " + Pixels(uncoveredWorst) + " at " + uncovered->name : "";
    return MoreNeeded(WithPlace("corners of the image uncovered", place));
  }
  if (coverage.share < thresholds.minCellShare)
    return MoreNeeded(WithPlace(
        "corners in " + std::to_string(static_cast<int>(std::lround(coverage.share * 100.0))) + "% of the image",
        WorstPlace(uncertainty)));

  const std::array<std::pair<const char*, double>, 4> spreads{
      {{"horizontal position", coverage.x}, {"vertical position", coverage.y}, {"size", coverage.size},
       {"skew", coverage.skew}}};
  for (const auto& [name, spread] : spreads)
    if (spread < thresholds.minSpread)
      return MoreNeeded(std::string("boards vary too little in ") + name + " (" + Share(spread) + ", at least " +
                        Share(thresholds.minSpread) + ")");

  if (!(uncertainty.centre90 <= thresholds.maxCentralUncertainty))
    return MoreNeeded(WithPlace("projection uncertainty " + Pixels(uncertainty.centre90) +
                                    " in the central 90% (at most " + Pixels(thresholds.maxCentralUncertainty) + ")",
                                WorstPlace(uncertainty)));
  return {true, "Enough views: worst projection uncertainty " + Pixels(uncertainty.centre90) + " in the central 90%"};
}
