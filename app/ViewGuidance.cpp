#include "app/ViewGuidance.h"

#include "app/CalibrationReport.h"
#include "calib/CalibrationProblem.h"
#include "calib/FitCovariance.h"
#include "core/CalibrationData.h"

CoverageSummary CurrentCoverage(const CCalibrationData& data, int camera, int* usableViews) {
  if (usableViews) *usableViews = 0;
  if (camera < 0 || camera >= data.GetCameraCount()) return {};
  const GridDescription grid = data.GetGrid(camera);
  const int width = data.GetImageWidth(camera), height = data.GetImageHeight(camera);
  std::vector<PointList> usable;
  for (const RunView& view : data.GetRunViews(camera))
    if (!ReasonToSkip(view, grid, width, height)) usable.push_back(view.points);
  if (usableViews) *usableViews = static_cast<int>(usable.size());
  return CoverageOf(usable, grid, width, height);
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
