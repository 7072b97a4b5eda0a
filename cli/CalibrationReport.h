#pragma once
// What `lentora calibrate` and `lentora stereo` share: running one camera's
// calibration on the store, and printing its results as the data panel's text
// or as JSON.

#include <string>

#include "cli/CliSupport.h"

class CCalibrationData;
class CalibrationProblem;

// Calibrates the camera and stores the refined parameters. False, with the
// reason in `message`, when the run was refused.
bool CalibrateStoredCamera(CCalibrationData& data, int camera, std::string& message);

// The data panel's result text: F, P, D, E and FOV lines.
std::string CalibrationText(const CalibrationProblem& problem);

// One camera's result object: camera, views, usedViews, converged, fx, fy, cx,
// cy, distortion, K, width, height, reprojectionError, fieldOfView and the
// poses of the views that took part.
void WriteCalibrationJson(JsonWriter& json, const CCalibrationData& data, int camera);
