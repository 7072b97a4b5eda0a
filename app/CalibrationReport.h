#pragma once
// How calibration results read: the data panel's entry texts, the text of
// `lentora calibrate` and `lentora stereo`, and their JSON objects.

#include <string>

#include "app/CalibrationService.h"
#include "app/JsonWriter.h"

class CCalibrationData;
class CalibrationProblem;

// A camera's result text: F, P, D, E and FOV lines.
std::string CalibrationText(const CalibrationProblem& problem);

// How many views the last run used and why the others were not:
// "5 of 7 views used (view 1: disabled, view 4: no image)".
std::string ViewUsageText(const CalibrationProblem& problem);

// The text shown after loading a parameter file: F, P and D lines.
std::string ParametersText(const CameraParameters& parameters);

// True when the camera's last run ended with a calibration (not refused, not
// undone by a removed view, not replaced by a loaded workspace).
bool HasCalibrationRun(const CCalibrationData& data, int camera);
// True when, besides, the camera still holds that run's parameters (none were
// loaded since), so the run's results and errors describe them.
bool RunResultsAreCurrent(const CCalibrationData& data, int camera);

// What a camera's entry shows: its last run's results when that run was not
// refused, else its parameters when it has any (a loaded file, an earlier
// run), else "Not calibrated.".
std::string CameraSummaryText(const CCalibrationData& data, int camera);

// The rig entry's text: relative rotation vector, translation and baseline of
// camera 1 seen from camera 0.
std::string StereoRigText(const StereoRigResult& rig);

// What `lentora stereo` prints: both cameras' texts, then the rig.
std::string StereoReportText(const CCalibrationData& data, const StereoRigResult& rig);

// One camera's result object: camera, views, usedViews, skippedViews
// ([{"view", "reason"}]), converged, fx, fy, cx,
// cy, distortion, K, width, height, reprojectionError, fieldOfView, sigma,
// projectionUncertainty (at the median board distance) and
// projectionUncertaintyAtInfinity (see ProjectionUncertainty.h; null without a
// covariance), coverage (of the views that took part; see Coverage.h) and the
// poses of the views that took part.
void WriteCalibrationJson(JsonWriter& json, const CCalibrationData& data, int camera);

// The rig object: both cameras' objects, R, T, baseline, converged,
// reprojectionError, pairs and the rig-refined intrinsics.
void WriteStereoJson(JsonWriter& json, const CCalibrationData& data, const StereoRigResult& rig);
