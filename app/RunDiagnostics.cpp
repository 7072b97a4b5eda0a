#include "app/RunDiagnostics.h"

#include <algorithm>

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"

namespace {

bool SamePoints(const PointList& run, const PointList& now) {
  if (now.size() < run.size()) return false;
  return std::equal(run.begin(), run.end(), now.begin(),
                    [](const ImagePoint& a, const ImagePoint& b) { return a.x == b.x && a.y == b.y; });
}

}  // namespace

std::vector<ViewError> CurrentViewErrors(const CCalibrationData& data, int camera) {
  if (!HasCalibrationRun(data, camera)) return {};
  const CameraFit fit = FitOf(data.GetCalibrationProblem(camera));
  const std::vector<ViewError> all = PerViewErrors(fit);
  const std::vector<PointList>* now = data.GetGridPointLists(camera);
  std::vector<ViewError> current;
  for (size_t i = 0; i < all.size() && i < fit.points.size(); ++i) {
    const size_t view = static_cast<size_t>(all[i].view);
    if (now && view < now->size() && SamePoints(fit.points[i], (*now)[view])) current.push_back(all[i]);
  }
  return current;
}

RunResiduals LastRunResiduals(const CCalibrationData& data, int camera) {
  if (!HasCalibrationRun(data, camera)) return {};
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  const CameraFit fit = FitOf(problem);
  return {CornerResiduals(fit), PerViewErrors(fit), problem.imageWidth, problem.imageHeight};
}
