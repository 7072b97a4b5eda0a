#pragma once
// How calibration results read: the data panel's entry texts, the text of
// `lentora calibrate` and `lentora stereo`, and their JSON objects.

#include <string>

#include "app/CalibrationService.h"
#include "app/JsonWriter.h"
#include "app/EnoughViews.h"

class CCalibrationData;
class CalibrationProblem;

// Every number of these texts carries its name and unit; views and cameras
// are numbered from 1, as the workbench's panels number them (the JSON keeps
// its 0-based indices).

// A camera's result text: one line per intrinsic value (fx, fy, cx, cy, k1,
// k2, p1, p2, each with its standard deviation when it is known), the RMS
// reprojection error beside the mean distance, the mean |dx| and |dy| and the
// field of view.
std::string CalibrationText(const CalibrationProblem& problem);

// Root mean square reprojection error over every point of the views a run used, pixels.
double CameraRmsError(const CalibrationProblem& problem);
// The same over both cameras' points of every pair of a rig.
double RigRmsError(const StereoRigResult& rig);

// How many views the last run used and why the others were not:
// "5 of 7 views used (view 2: disabled, view 5: no image)".
std::string ViewUsageText(const CalibrationProblem& problem);

// The text shown after loading a parameter file: fx, fy, cx, cy, k1, k2, p1, p2 lines.
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

// The rig entry's text: the rotation from camera 1 to camera 2 in degrees
// about its axis, the translation and baseline in the grid's unit, and the
// rig's RMS reprojection error beside its mean distance.
std::string StereoRigText(const StereoRigResult& rig);

// What `lentora stereo` prints: both cameras' texts, then the rig.
std::string StereoReportText(const CCalibrationData& data, const StereoRigResult& rig);

// One camera's result object: camera, views, usedViews, skippedViews
// ([{"view", "reason"}]), converged, fx, fy, cx,
// cy, distortion, K, width, height, reprojectionError, fieldOfView, sigma,
// projectionUncertainty (at the median board distance) and
// projectionUncertaintyAtInfinity (see ProjectionUncertainty.h; null without a
// covariance), coverage (of the views that took part; see Coverage.h),
// enoughViews ({"enough", "text"}: the verdict of EnoughViews.h under
// `thresholds`) and the poses of the views that took part.
void WriteCalibrationJson(JsonWriter& json, const CCalibrationData& data, int camera,
                          const EnoughViewsThresholds& thresholds = EnoughViewsThresholds{});

// The rig object: both cameras' objects, R, T, baseline, converged,
// reprojectionError, pairs and the rig-refined intrinsics.
void WriteStereoJson(JsonWriter& json, const CCalibrationData& data, const StereoRigResult& rig);

// "model", "coefficients" (the model's, in its order) and, for pinhole-radtan,
// "distortion" (k1 k2 p1 p2, as before models were named) of a camera.
void WriteLensModelJson(JsonWriter& json, const CameraParameters& p);
