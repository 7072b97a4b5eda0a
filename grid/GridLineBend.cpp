#include "grid/GridLineBend.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>

namespace {

// A line is fitted as a quadratic from five corners, as a cubic (whose
// curvature may change along it as a lens's does towards the picture's edge)
// from seven: each corner's bend then comes from the four or six others with
// one or two left over for the scatter.
constexpr int kMinQuadraticCorners = 5;
constexpr int kMinCubicCorners = 7;
constexpr int kMaxCoefficients = 4;
// The grid window assumes its lines straight within its band; a line whose
// fitted sagitta across the window is larger than this is not a lens's bow
// but a fit gone wrong, and moves nothing.
constexpr double kMaxWindowSagitta = 1.0;
// Two grid lines closer to parallel than this sine do not fix a point.
constexpr double kMinCrossingSine = 0.1;

// Curvature of one grid line at each of its corners (positive: the line
// bends towards the unit normal given beside it, which is the normal of its
// tangent there), and the weight (0..1) the fit's scatter leaves it.
struct LineBend {
  double curvature = 0.0;
  double weight = 0.0;
  std::array<double, 2> normal{0.0, 0.0};
};

using Coefficients = cv::Vec<double, kMaxCoefficients>;
using NormalMatrix = cv::Matx<double, kMaxCoefficients, kMaxCoefficients>;

// A line's corners in its own frame: x along the chord from its first to its
// last corner, scaled to -1..1, and y across it in pixels.
struct LineFit {
  cv::Vec2d origin, along, across;
  double halfChord = 0.0;
  int coefficients = 0;
  Coefficients c;            // y = c0 + c1 x + c2 x^2 + c3 x^3
  NormalMatrix inverse;      // (A^T A)^-1 of the fitted coefficients
  double squaredResidual = 0.0;
  int freedom = 0;

  double X(const ImagePoint& p) const { return along.dot(cv::Vec2d(p.x, p.y) - origin) / halfChord; }
  double Y(const ImagePoint& p) const { return across.dot(cv::Vec2d(p.x, p.y) - origin); }
};

Coefficients Powers(double x, int count) {
  Coefficients powers;
  double power = 1.0;
  for (int k = 0; k < count; ++k, power *= x) powers[k] = power;
  return powers;
}

// The first and second derivatives of the fitted powers at x.
Coefficients FirstDerivativeRow(double x, int count) {
  const Coefficients all{0.0, 1.0, 2.0 * x, 3.0 * x * x};
  Coefficients used = Coefficients::all(0.0);
  for (int k = 0; k < count; ++k) used[k] = all[k];
  return used;
}

Coefficients SecondDerivativeRow(double x, int count) {
  const Coefficients all{0.0, 0.0, 2.0, 6.0 * x};
  Coefficients used = Coefficients::all(0.0);
  for (int k = 0; k < count; ++k) used[k] = all[k];
  return used;
}

// The line's fit over all its corners but `skip` (none when it is out of
// range), in the frame of all of them; the degree is the whole line's.
std::optional<LineFit> FitLine(const std::vector<ImagePoint>& line, int skip = -1) {
  const int count = static_cast<int>(line.size());
  if (count < kMinQuadraticCorners) return std::nullopt;
  for (const ImagePoint& p : line)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
  LineFit fit;
  const cv::Vec2d first(line.front().x, line.front().y), last(line.back().x, line.back().y);
  const double chord = cv::norm(last - first);
  if (!(chord > 1.0)) return std::nullopt;
  fit.origin = (first + last) / 2.0;
  fit.along = (last - first) / chord;
  fit.across = {-fit.along[1], fit.along[0]};
  fit.halfChord = chord / 2.0;
  fit.coefficients = count >= kMinCubicCorners ? 4 : 3;
  NormalMatrix normal = NormalMatrix::zeros();
  Coefficients right = Coefficients::all(0.0);
  int used = 0;
  for (int k = 0; k < count; ++k) {
    if (k == skip) continue;
    const Coefficients a = Powers(fit.X(line[k]), fit.coefficients);
    normal += a * a.t();
    right += fit.Y(line[k]) * a;
    ++used;
  }
  // Unused coefficients stay zero with a unit diagonal.
  for (int k = fit.coefficients; k < kMaxCoefficients; ++k) normal(k, k) = 1.0;
  bool invertible = false;
  fit.inverse = normal.inv(cv::DECOMP_CHOLESKY, &invertible);
  if (!invertible) return std::nullopt;
  fit.c = fit.inverse * right;
  for (int k = 0; k < count; ++k)
    if (k != skip) fit.squaredResidual += std::pow(fit.Y(line[k]) - fit.c.dot(Powers(fit.X(line[k]), 4)), 2);
  fit.freedom = used - fit.coefficients;
  return fit;
}

// Each corner's bend comes from the fit of the other corners of its line: a
// corner far off its line (the worst of a noisy view) would otherwise bend
// the fit towards itself, most at the line's ends, and be moved further off.
std::vector<LineBend> BendsOf(const std::vector<ImagePoint>& line, double scatterVariance) {
  std::vector<LineBend> bends;
  bends.reserve(line.size());
  for (int k = 0; k < static_cast<int>(line.size()); ++k) {
    const auto fit = FitLine(line, k);
    if (!fit) return {};
    const double h = fit->halfChord, x = fit->X(line[k]);
    const double slope = fit->c.dot(FirstDerivativeRow(x, fit->coefficients)) / h;
    const Coefficients second = SecondDerivativeRow(x, fit->coefficients);
    const double bend = fit->c.dot(second) / (h * h);
    const double bendVariance = scatterVariance * second.dot(fit->inverse * second) / std::pow(h, 4);
    const double stretch = std::sqrt(1.0 + slope * slope);
    LineBend b;
    b.curvature = bend / std::pow(stretch, 3);
    // bend^2 - variance is the unbiased estimate of the true bend's square:
    // the share of the fitted bend to believe, none where the bend is within
    // its own uncertainty.
    const double bendSquared = bend * bend;
    b.weight = bendSquared > bendVariance ? 1.0 - bendVariance / bendSquared : 0.0;
    const cv::Vec2d normal = (fit->across - slope * fit->along) / stretch;
    b.normal = {normal[0], normal[1]};
    bends.push_back(b);
  }
  return bends;
}

std::vector<ImagePoint> Line(const PointList& corners, int first, int step, int count) {
  std::vector<ImagePoint> line;
  line.reserve(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) line.push_back(corners[static_cast<size_t>(first + k * step)]);
  return line;
}

// Every row's and every column's bends. The corners' scatter about their
// lines is pooled over the whole grid (one short line's own residual says
// little), but a line whose own corners scatter more keeps its own: on a
// steep view the far, thin squares' corners err several times as much as the
// near ones, and smoothly enough along a line to pass for a bend.
struct GridBends {
  std::vector<std::vector<LineBend>> rows, columns;
};

GridBends BendsOfGrid(const PointList& corners, int nx, int ny) {
  std::vector<std::vector<ImagePoint>> rows, columns;
  for (int row = 0; row < ny; ++row) rows.push_back(Line(corners, row * nx, 1, nx));
  for (int column = 0; column < nx; ++column) columns.push_back(Line(corners, column, nx, ny));
  std::vector<std::optional<LineFit>> rowFits, columnFits;
  double squaredResidual = 0.0;
  int freedom = 0;
  const auto fitAll = [&](const std::vector<std::vector<ImagePoint>>& lines, std::vector<std::optional<LineFit>>& fits) {
    for (const auto& line : lines) {
      fits.push_back(FitLine(line));
      if (fits.back()) squaredResidual += fits.back()->squaredResidual, freedom += fits.back()->freedom;
    }
  };
  fitAll(rows, rowFits);
  fitAll(columns, columnFits);
  GridBends bends{std::vector<std::vector<LineBend>>(rows.size()), std::vector<std::vector<LineBend>>(columns.size())};
  if (freedom < 1) return bends;
  const double scatterVariance = squaredResidual / freedom;
  const auto scatterOf = [&](const LineFit& fit) {
    return fit.freedom > 0 ? std::max(scatterVariance, fit.squaredResidual / fit.freedom) : scatterVariance;
  };
  for (size_t k = 0; k < rows.size(); ++k)
    if (rowFits[k]) bends.rows[k] = BendsOf(rows[k], scatterOf(*rowFits[k]));
  for (size_t k = 0; k < columns.size(); ++k)
    if (columnFits[k]) bends.columns[k] = BendsOf(columns[k], scatterOf(*columnFits[k]));
  return bends;
}

// Unit normal of the grid line through a corner taken as straight: across the
// chord to its neighbour (the one before, at the line's end).
cv::Vec2d StraightNormal(const PointList& corners, int nx, int ny, int row, int column, int dRow, int dColumn) {
  const bool last = row + dRow >= ny || column + dColumn >= nx;
  const int r0 = last ? row - dRow : row, c0 = last ? column - dColumn : column;
  const ImagePoint& a = corners[static_cast<size_t>(r0) * nx + c0];
  const ImagePoint& b = corners[static_cast<size_t>(r0 + dRow) * nx + c0 + dColumn];
  const cv::Vec2d direction(b.x - a.x, b.y - a.y);
  const double length = cv::norm(direction);
  return length > 0.0 ? cv::Vec2d(-direction[1] / length, direction[0] / length) : cv::Vec2d(0.0, 0.0);
}

// The shift back across one line of the corner its window put `reach` from
// it along that line; nothing when the fit is not to be believed.
std::optional<double> ShiftAcross(const LineBend& bend, double reach) {
  if (!(std::abs(bend.curvature) * reach * reach / 2.0 <= kMaxWindowSagitta)) return std::nullopt;
  return bend.weight * bend.curvature * reach * reach / 10.0;
}

}  // namespace

void StraightenGridWindowCorners(PointList& corners, int nx, int ny, const std::vector<GridWindowReach>& reach) {
  if (nx < 2 || ny < 2 || corners.size() != static_cast<size_t>(nx) * ny || reach.size() != corners.size()) return;
  const GridBends bends = BendsOfGrid(corners, nx, ny);
  PointList straightened = corners;
  for (int row = 0; row < ny; ++row)
    for (int column = 0; column < nx; ++column) {
      const size_t k = static_cast<size_t>(row) * nx + column;
      const auto& rowBends = bends.rows[static_cast<size_t>(row)];
      const auto& columnBends = bends.columns[static_cast<size_t>(column)];
      if (!reach[k] || (rowBends.empty() && columnBends.empty())) continue;
      // A line without a fit is taken as straight: no shift across it, but
      // the other line's shift keeps to it.
      std::optional<double> rowShift = 0.0, columnShift = 0.0;
      cv::Vec2d rowNormal = StraightNormal(corners, nx, ny, row, column, 0, 1);
      cv::Vec2d columnNormal = StraightNormal(corners, nx, ny, row, column, 1, 0);
      if (!rowBends.empty()) {
        const LineBend& bend = rowBends[static_cast<size_t>(column)];
        rowShift = ShiftAcross(bend, (*reach[k])[0]);
        rowNormal = {bend.normal[0], bend.normal[1]};
      }
      if (!columnBends.empty()) {
        const LineBend& bend = columnBends[static_cast<size_t>(row)];
        columnShift = ShiftAcross(bend, (*reach[k])[1]);
        columnNormal = {bend.normal[0], bend.normal[1]};
      }
      if (!rowShift || !columnShift) continue;
      const cv::Matx22d normals(rowNormal[0], rowNormal[1], columnNormal[0], columnNormal[1]);
      if (!(std::abs(cv::determinant(normals)) >= kMinCrossingSine)) continue;
      const cv::Vec2d shift = normals.inv() * cv::Vec2d(*rowShift, *columnShift);
      straightened[k].x += shift[0];
      straightened[k].y += shift[1];
    }
  corners = std::move(straightened);
}
