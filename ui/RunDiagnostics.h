#pragma once
// What the workbench shows of a camera's last calibration run: whether there
// is one, and the reprojection error of each view that took part, kept only
// while the view still holds the points the run used (a view whose corners
// were moved since shows no number rather than a stale one).

#include <vector>

#include "calib/CalibrationDiagnostics.h"

class CCalibrationData;

// True when the camera's last run ended with a calibration (not refused, not
// undone by a removed view, not replaced by a loaded workspace).
bool HasCalibrationRun(const CCalibrationData& data, int camera);
// Errors of the last run by store view; the outlier marks are those of the run.
std::vector<ViewError> CurrentViewErrors(const CCalibrationData& data, int camera);
