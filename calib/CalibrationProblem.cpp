#include "calib/CalibrationProblem.h"

CalibrationProblem::CalibrationProblem() : vnl_least_squares_function(1, 1, no_gradient) {}

CalibrationProblem::~CalibrationProblem() = default;

void CalibrationProblem::Allocate(int views, const GridDescription& gridDescription) {
  viewCount = views > 0 ? views : 0;
  grid = gridDescription;
  pointsPerView = grid.nx > 0 && grid.ny > 0 ? grid.nx * grid.ny : 0;
  totalPoints = viewCount * pointsPerView;
  const size_t n = static_cast<size_t>(viewCount);
  imagePoints.assign(static_cast<size_t>(totalPoints), ImagePoint{});
  objectPoints.assign(static_cast<size_t>(totalPoints), ObjectPoint{});
  pointCounts.assign(n, pointsPerView);
  rotationVectors.assign(3 * n, 0.0);
  rotationMatrices.assign(9 * n, 0.0);
  translations.assign(3 * n, 0.0);
  MakeGridObjectPoints(objectPoints.data(), grid, viewCount);
}
