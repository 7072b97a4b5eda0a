#pragma once
// What the workbench shows of a camera's last calibration run: whether there
// is one, and the reprojection error of each view that took part, kept only
// while the view still holds the points the run used (a view whose corners
// were moved since shows no number rather than a stale one).

#include <vector>

#include "app/CalibrationReport.h"
#include "calib/CalibrationDiagnostics.h"

class CCalibrationData;

// Errors of the last run by store view; the outlier marks are those of the run.
std::vector<ViewError> CurrentViewErrors(const CCalibrationData& data, int camera);
