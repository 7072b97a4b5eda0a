#pragma once
// What the workbench shows of a camera's last calibration run: whether there
// is one, the reprojection error of each view that took part, kept only while
// the view still holds the points the run used (a view whose corners were
// moved since shows no number rather than a stale one), and the residuals of
// every corner. The panels see the engine's diagnostics through this header.

#include <vector>

#include "app/CalibrationReport.h"
#include "calib/CalibrationDiagnostics.h"

class CCalibrationData;

// Errors of the last run by store view; the outlier marks are those of the run.
std::vector<ViewError> CurrentViewErrors(const CCalibrationData& data, int camera);

// The residual window's contents: every corner's residual and every used
// view's errors as the last run left them, and the run's image size.
struct RunResiduals {
  std::vector<CornerResidual> corners;
  std::vector<ViewError> views;
  int imageWidth = 0;
  int imageHeight = 0;
};

// Empty (size 0x0) when the camera has no calibration run.
RunResiduals LastRunResiduals(const CCalibrationData& data, int camera);
