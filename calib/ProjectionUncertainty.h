#pragma once
// How far the projection of a ray may move when the camera is calibrated
// again from views with fresh noise: a map over the image of the standard
// deviation, in pixels, of where the point seen at each cell's centre would
// project through the re-estimated camera.
//
// The point is taken at a distance along its ray (or at infinity) and tied to
// the world through the boards: it is carried into every board's frame with
// the fitted pose, brought back with the pose the re-calibration would find,
// and the results are averaged. The intrinsics and the poses vary together as
// the marginalised covariance says (FitCovariance.h); the propagation is
// linear, and the reported value is the standard deviation in the worst
// direction (the root of the larger eigenvalue of the 2x2 covariance).
//
// Re-drawn noise is not all a calibration's error: the corner detector has an
// error of its own, tied to how each board lies, that no number of views
// averages away. Every cell adds a floor for it, in quadrature on each axis.

#include <cstddef>
#include <limits>
#include <vector>

#include "calib/CalibrationDiagnostics.h"

struct MarginalisedCovariance;

inline constexpr double kAtInfinity = std::numeric_limits<double>::infinity();
inline constexpr int kUncertaintyColumns = 30;
inline constexpr int kUncertaintyRows = 20;
// The central part of the image whose worst value is reported on its own.
inline constexpr double kCentralShare = 0.9;
// The detector's own error, in pixels per axis: on noise-free rendered
// pictures of exactly known boards its corners err about this much (RMS), and
// a calibration from forty of them lands about as far from the truth at its
// worst cell, where the noise alone would predict half of that.
inline constexpr double kDetectorErrorFloor = 0.003;

struct ProjectionUncertaintyMap {
  bool valid = false;     // false without a covariance or an image size
  double distance = 0.0;  // along each ray, in the grid's unit; kAtInfinity for directions
  double floor = 0.0;     // px per axis, in every sigma: σ² = spread² + floor²
  int columns = 0;
  int rows = 0;
  int width = 0;   // image size the cells divide
  int height = 0;
  std::vector<double> sigma;  // pixels, row by row; infinity where the pixel has no ray through the lens model
  double worst = 0.0;         // largest finite value
  double centre90 = 0.0;      // largest value among cells centred inside the central 90% of the image

  double At(int column, int row) const { return sigma[static_cast<std::size_t>(row * columns + column)]; }
  // Centre of a cell in pixels.
  double CellX(int column) const { return (column + 0.5) * width / columns; }
  double CellY(int row) const { return (row + 0.5) * height / rows; }
};

// Median over the fitted views of the distance from the camera centre to the board's centre.
double MedianBoardDistance(const CameraFit& fit);

// The map for points at `distance` (kAtInfinity: rays) over a width x height
// image divided into columns x rows cells. A floor of 0 leaves the spread of
// re-calibrations alone.
ProjectionUncertaintyMap ProjectionUncertaintyOf(const CameraFit& fit, const MarginalisedCovariance& covariance,
                                                 int width, int height, double distance,
                                                 int columns = kUncertaintyColumns, int rows = kUncertaintyRows,
                                                 double floor = kDetectorErrorFloor);

// Both maps the results report: at the median board distance and at infinity.
struct ProjectionUncertaintyReport {
  ProjectionUncertaintyMap atDistance;
  ProjectionUncertaintyMap atInfinity;
};
ProjectionUncertaintyReport ProjectionUncertaintyReportOf(const CameraFit& fit, int width, int height,
                                                          double floor = kDetectorErrorFloor);

// The normalised point (x, y) whose projection through the camera is the
// pixel (u, v); false where the lens model has no ray there (beyond a fold)
// or the ray points at or behind the image plane (a fisheye past 90°).
bool UnprojectPixel(const CameraParameters& camera, double u, double v, double& x, double& y);
