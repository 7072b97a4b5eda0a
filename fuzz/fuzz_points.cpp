// The points file reader. The first byte sets the grid (nx, ny in 0-15); the
// rest is the file. The list read, whatever its length, must be judged against
// the grid without reading past it.

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  GridDescription grid;
  grid.nx = data[0] & 0x0f;
  grid.ny = data[0] >> 4;
  grid.dX = grid.dY = 10.0;
  const std::string path = ScratchFile("Camera_0_Points_0.txt", AsText(data + 1, size - 1));
  CCalibrationData store;
  store.AddCamera();
  store.SetGrid(0, grid);
  store.AddPlaceholderView(0, 8, 6, 1, path);
  const PointList& points = *store.GetGridPoints(0, 0);
  const std::vector<RunView> views = store.GetRunViews(0);
  if (views.size() != 1 || views[0].points.size() != points.size()) __builtin_trap();
  CalibrationProblem problem;
  problem.LoadPoints(std::vector<PointList>{points}, grid);
  // The view is used or left out with a reason, never both; only a complete
  // list is used, and a complete one is left out only when it does not fit
  // the grid.
  const bool used = problem.usedViews.size() == 1;
  if (used == (problem.skippedViews.size() == 1) || problem.usedViews.size() + problem.skippedViews.size() != 1)
    __builtin_trap();
  const bool complete = IsCompleteView(points, grid);
  if (used && !complete) __builtin_trap();
  if (complete && !used && problem.skippedViews[0].reason != SkipReason::DoesNotFit) __builtin_trap();
  return 0;
}
