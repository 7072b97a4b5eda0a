#include "app/ViewGuidance.h"

#include "app/CalibrationReport.h"
#include "calib/CalibrationProblem.h"
#include "calib/FitCovariance.h"
#include "core/CalibrationData.h"

std::vector<PointList> UsablePointLists(const CCalibrationData& data, int camera) {
  std::vector<PointList> usable;
  if (camera < 0 || camera >= data.GetCameraCount()) return usable;
  const GridDescription grid = data.GetGrid(camera);
  const int width = data.GetImageWidth(camera), height = data.GetImageHeight(camera);
  for (const RunView& view : data.GetRunViews(camera))
    if (!ReasonToSkip(view, grid, width, height)) usable.push_back(view.points);
  return usable;
}

CoverageSummary CurrentCoverage(const CCalibrationData& data, int camera, int* usableViews) {
  if (usableViews) *usableViews = 0;
  if (camera < 0 || camera >= data.GetCameraCount()) return {};
  const std::vector<PointList> usable = UsablePointLists(data, camera);
  if (usableViews) *usableViews = static_cast<int>(usable.size());
  return CoverageOf(usable, data.GetGrid(camera), data.GetImageWidth(camera), data.GetImageHeight(camera));
}

CameraGuidance GuidanceOf(const CCalibrationData& data, int camera, const EnoughViewsThresholds& thresholds) {
  CameraGuidance guidance;
  guidance.coverage = CurrentCoverage(data, camera, &guidance.usableViews);
  guidance.hasRun = RunResultsAreCurrent(data, camera);
  if (!guidance.hasRun) {
    guidance.verdict = {false, "More views needed: not calibrated yet"};
    return guidance;
  }
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  const CameraFit fit = FitOf(problem);
  guidance.runViews = static_cast<int>(fit.views.size());
  guidance.uncertainty = ProjectionUncertaintyOf(fit, MarginalisedCovarianceOf(fit), problem.imageWidth,
                                                 problem.imageHeight, MedianBoardDistance(fit));
  guidance.verdict =
      JudgeViews(CoverageOf(fit.points, problem.grid, problem.imageWidth, problem.imageHeight), guidance.uncertainty,
                 thresholds);
  return guidance;
}
