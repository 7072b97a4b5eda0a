#pragma once
// What the workbench shows of whether a camera's views are enough: the
// coverage of its views now, and its last run's uncertainty map and verdict
// (EnoughViews.h). `lentora calibrate` prints the same verdict.

#include <vector>

#include "app/EnoughViews.h"

class CCalibrationData;

// What the workbench shows of a camera's views.
struct CameraGuidance {
  int usableViews = 0;           // the views a run would take now
  CoverageSummary coverage;      // of those views
  bool hasRun = false;           // the camera's last run is current (its parameters are the camera's)
  int runViews = 0;              // views that run used
  ProjectionUncertaintyMap uncertainty;  // of that run, at the median board distance
  EnoughViewsVerdict verdict;    // on that run; "More views needed: not calibrated yet" without one
};

// The point lists of the views a run would take now (enabled, with their
// image and a complete, current point list).
std::vector<PointList> UsablePointLists(const CCalibrationData& data, int camera);

// The coverage of the views a run would take now (enabled, with their image
// and a complete, current point list) in the camera's image size.
CoverageSummary CurrentCoverage(const CCalibrationData& data, int camera, int* usableViews = nullptr);

CameraGuidance GuidanceOf(const CCalibrationData& data, int camera, const EnoughViewsThresholds& thresholds = {});
