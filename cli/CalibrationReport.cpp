#include "cli/CalibrationReport.h"

#include <cstdio>

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"

bool CalibrateStoredCamera(CCalibrationData& data, int camera, std::string& message) {
  const std::vector<PointList>* lists = data.GetGridPointLists(camera);
  if (!lists) {
    message = "no camera " + std::to_string(camera);
    return false;
  }
  CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  if (!problem.Calibrate(*lists, data.GetGrid(camera), data.GetImageWidth(camera), data.GetImageHeight(camera))) {
    message = problem.refusal;
    return false;
  }
  data.SetCameraParameters(camera, problem.GetParameters());
  return true;
}

std::string CalibrationText(const CalibrationProblem& problem) {
  const CameraParameters p = problem.GetParameters();
  double fovX = 0, fovY = 0, meanX = 0, meanY = 0, meanDistance = 0;
  problem.GetFieldOfView(fovX, fovY);
  problem.GetReprojectionError(meanX, meanY, meanDistance);
  char text[512];
  std::snprintf(text, sizeof text, "F: %.4lf %.4lf\nP: %.4lf %.4lf\nD: %.4lf %.4lf %.4lf %.4lf\nE: %lf %lf %lf\nFOV: %lf %lf",
                p.K[0], p.K[4], p.K[2], p.K[5], p.distortion[0], p.distortion[1], p.distortion[2], p.distortion[3],
                meanX, meanY, meanDistance, fovX, fovY);
  return text;
}

void WriteCalibrationJson(JsonWriter& json, const CCalibrationData& data, int camera) {
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  const CameraParameters p = problem.GetParameters();
  double fovX = 0, fovY = 0, meanX = 0, meanY = 0, meanDistance = 0;
  problem.GetFieldOfView(fovX, fovY);
  problem.GetReprojectionError(meanX, meanY, meanDistance);
  json.BeginObject().Key("camera").Value(camera).Key("views").Value(data.GetViewCount(camera));
  json.Key("usedViews").Array(problem.usedViews.begin(), problem.usedViews.end());
  json.Key("converged").Value(problem.converged);
  json.Key("fx").Value(p.fx()).Key("fy").Value(p.fy()).Key("cx").Value(p.cx()).Key("cy").Value(p.cy());
  json.Key("distortion").Array(p.distortion.begin(), p.distortion.begin() + 4);
  json.Key("K").Array(p.K.begin(), p.K.end());
  json.Key("width").Value(static_cast<int>(p.width)).Key("height").Value(static_cast<int>(p.height));
  json.Key("reprojectionError").BeginObject().Key("meanAbsX").Value(meanX).Key("meanAbsY").Value(meanY);
  json.Key("meanDistance").Value(meanDistance).EndObject();
  json.Key("fieldOfView").BeginObject().Key("x").Value(fovX).Key("y").Value(fovY).EndObject();
  json.Key("poses").BeginArray();
  for (int v : problem.usedViews) {
    const double* R = problem.GetRotationMatrix(v);
    const double* r = problem.GetRotationVector(v);
    const double* t = problem.GetTranslation(v);
    json.BeginObject().Key("view").Value(v).Key("R").Array(R, R + 9).Key("r").Array(r, r + 3);
    json.Key("t").Array(t, t + 3).EndObject();
  }
  json.EndArray().EndObject();
}
