#include "app/CalibrationReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "calib/CalibrationDiagnostics.h"
#include "calib/CalibrationProblem.h"
#include "calib/Coverage.h"
#include "calib/ProjectionUncertainty.h"
#include "core/CalibrationData.h"

namespace {

// "fx 812.3457 ± 0.0123 px": four decimals, the standard deviation when known.
std::string LabelledValue(const char* name, double value, const double* sigma, const char* unit) {
  char text[96];
  if (sigma) std::snprintf(text, sizeof text, "%s %.4lf \u00b1 %.4lf%s", name, value, *sigma, unit);
  else std::snprintf(text, sizeof text, "%s %.4lf%s", name, value, unit);
  return text;
}

using BlockSigma = decltype(IntrinsicSigma::values);

// One line per intrinsic value, fx fy cx cy then the model's coefficients in
// its order; a model other than pinhole-radtan is named first.
std::string IntrinsicLines(const CameraParameters& p, const BlockSigma* sigma) {
  const LensModelInfo& info = InfoOf(p.model);
  std::string text = p.model == LensModel::PinholeRadtan ? "" : std::string("lens model ") + info.name + "\n";
  const char* const names[4] = {"fx", "fy", "cx", "cy"};
  const double values[4] = {p.K[0], p.K[4], p.K[2], p.K[5]};
  for (size_t i = 0; i < 4; ++i)
    text += LabelledValue(names[i], values[i], sigma ? &(*sigma)[i] : nullptr, " px") + "\n";
  for (size_t i = 0; i < static_cast<size_t>(info.coefficients); ++i)
    text += LabelledValue(info.coefficientNames[i], p.distortion[i], sigma ? &(*sigma)[4 + i] : nullptr, "") + "\n";
  return text;
}

// Root mean square over all points of errors that each cover as many points.
double CombinedRms(const std::vector<double>& rms) {
  if (rms.empty()) return 0.0;
  double squares = 0.0;
  for (double e : rms) squares += e * e;
  return std::sqrt(squares / static_cast<double>(rms.size()));
}

std::string DegreesText(double radians) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4lf\u00b0", radians * 180.0 / M_PI);
  return text;
}

// Keyed as the parameters are: "coefficients" for every model, "distortion" too for pinhole-radtan.
void WriteSigmaJson(JsonWriter& json, const IntrinsicSigma& sigma) {
  json.BeginObject().Key("fx").Value(sigma.fx()).Key("fy").Value(sigma.fy()).Key("cx").Value(sigma.cx());
  const auto begin = sigma.values.begin() + 4, end = sigma.values.begin() + sigma.count;
  json.Key("cy").Value(sigma.cy()).Key("coefficients").Array(begin, end);
  if (sigma.model == LensModel::PinholeRadtan) json.Key("distortion").Array(begin, end);
  json.EndObject();
}

// {"distance", "columns", "rows", "sigma", "worst", "centre90", "floor"};
// distance is null at infinity, as is a cell whose pixel no ray reaches.
void WriteProjectionUncertaintyJson(JsonWriter& json, const ProjectionUncertaintyMap& map) {
  if (!map.valid) {
    json.Null();
    return;
  }
  json.BeginObject().Key("distance").Value(map.distance).Key("columns").Value(map.columns);
  json.Key("rows").Value(map.rows).Key("sigma").Array(map.sigma.begin(), map.sigma.end());
  json.Key("worst").Value(map.worst).Key("centre90").Value(map.centre90).Key("floor").Value(map.floor).EndObject();
}

// {"columns", "rows", "share", "corners" (per cell, row by row), "x", "y", "size", "skew"}.
void WriteCoverageJson(JsonWriter& json, const CoverageSummary& coverage) {
  if (!coverage.valid) {
    json.Null();
    return;
  }
  json.BeginObject().Key("columns").Value(coverage.columns).Key("rows").Value(coverage.rows);
  json.Key("share").Value(coverage.share).Key("corners").Array(coverage.corners.begin(), coverage.corners.end());
  json.Key("x").Value(coverage.x).Key("y").Value(coverage.y).Key("size").Value(coverage.size);
  json.Key("skew").Value(coverage.skew).EndObject();
}

}  // namespace

double CameraRmsError(const CalibrationProblem& problem) {
  std::vector<double> rms;
  for (const ViewError& e : PerViewErrors(FitOf(problem))) rms.push_back(e.rms);
  return CombinedRms(rms);
}

double RigRmsError(const StereoRigResult& rig) {
  std::vector<double> rms;
  for (const PairError& e : rig.pairErrors) rms.push_back(e.rms);
  return CombinedRms(rms);
}

void WriteLensModelJson(JsonWriter& json, const CameraParameters& p) {
  const auto end = p.distortion.begin() + DistortionCount(p.model);
  json.Key("model").Value(std::string(LensModelName(p.model))).Key("coefficients").Array(p.distortion.begin(), end);
  if (p.model == LensModel::PinholeRadtan) json.Key("distortion").Array(p.distortion.begin(), end);
}

std::string CalibrationText(const CalibrationProblem& problem) {
  const CameraParameters p = problem.GetParameters();
  double fovX = 0, fovY = 0, meanX = 0, meanY = 0, meanDistance = 0;
  problem.GetFieldOfView(fovX, fovY);
  problem.GetReprojectionError(meanX, meanY, meanDistance);
  const CameraUncertainty uncertainty = EstimateUncertainty(FitOf(problem));
  char rest[256];
  std::snprintf(rest, sizeof rest,
                "RMS error %.4lf px, mean distance %.4lf px\nmean |dx| %.4lf px, mean |dy| %.4lf px\n"
                "field of view %.2lf\u00b0 x %.2lf\u00b0",
                CameraRmsError(problem), meanDistance, meanX, meanY, fovX, fovY);
  return IntrinsicLines(p, uncertainty.valid ? &uncertainty.sigma.values : nullptr) + rest;
}

std::string ViewUsageText(const CalibrationProblem& problem) {
  std::ostringstream out;
  out << problem.usedViews.size() << " of " << problem.usedViews.size() + problem.skippedViews.size() << " views used";
  const char* separator = " (";
  for (const SkippedView& skipped : problem.skippedViews) {
    out << separator << "view " << skipped.view + 1 << ": " << SkipReasonText(skipped.reason);
    separator = ", ";
  }
  if (!problem.skippedViews.empty()) out << ")";
  return out.str();
}

void WriteCalibrationJson(JsonWriter& json, const CCalibrationData& data, int camera,
                          const EnoughViewsThresholds& thresholds) {
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  const CameraParameters p = problem.GetParameters();
  double fovX = 0, fovY = 0, meanX = 0, meanY = 0, meanDistance = 0;
  problem.GetFieldOfView(fovX, fovY);
  problem.GetReprojectionError(meanX, meanY, meanDistance);
  json.BeginObject().Key("camera").Value(camera).Key("views").Value(data.GetViewCount(camera));
  json.Key("usedViews").Array(problem.usedViews.begin(), problem.usedViews.end());
  json.Key("skippedViews").BeginArray();
  for (const SkippedView& skipped : problem.skippedViews)
    json.BeginObject().Key("view").Value(skipped.view).Key("reason").Value(std::string(SkipReasonText(skipped.reason))).EndObject();
  json.EndArray();
  json.Key("converged").Value(problem.converged);
  json.Key("fx").Value(p.fx()).Key("fy").Value(p.fy()).Key("cx").Value(p.cx()).Key("cy").Value(p.cy());
  WriteLensModelJson(json, p);
  json.Key("K").Array(p.K.begin(), p.K.end());
  json.Key("width").Value(static_cast<int>(p.width)).Key("height").Value(static_cast<int>(p.height));
  json.Key("reprojectionError").BeginObject().Key("meanAbsX").Value(meanX).Key("meanAbsY").Value(meanY);
  json.Key("meanDistance").Value(meanDistance).Key("rms").Value(CameraRmsError(problem)).EndObject();
  json.Key("fieldOfView").BeginObject().Key("x").Value(fovX).Key("y").Value(fovY).EndObject();
  const CameraFit fit = FitOf(problem);
  json.Key("perViewErrors").BeginArray();
  for (const ViewError& e : PerViewErrors(fit)) {
    json.BeginObject().Key("view").Value(e.view).Key("rms").Value(e.rms).Key("meanDistance").Value(e.meanDistance);
    json.Key("outlier").Value(e.outlier).EndObject();
  }
  json.EndArray();
  const CameraUncertainty uncertainty = EstimateUncertainty(fit);
  json.Key("sigma");
  if (uncertainty.valid) WriteSigmaJson(json, uncertainty.sigma);
  else json.Null();
  const ProjectionUncertaintyReport projection =
      ProjectionUncertaintyReportOf(fit, problem.imageWidth, problem.imageHeight);
  json.Key("projectionUncertainty");
  WriteProjectionUncertaintyJson(json, projection.atDistance);
  json.Key("projectionUncertaintyAtInfinity");
  WriteProjectionUncertaintyJson(json, projection.atInfinity);
  const CoverageSummary coverage = CoverageOf(fit.points, problem.grid, problem.imageWidth, problem.imageHeight);
  json.Key("coverage");
  WriteCoverageJson(json, coverage);
  const EnoughViewsVerdict verdict = JudgeViews(coverage, projection.atDistance, thresholds);
  json.Key("enoughViews").BeginObject().Key("enough").Value(verdict.enough).Key("text").Value(verdict.text).EndObject();
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

std::string ParametersText(const CameraParameters& p) { return IntrinsicLines(p, nullptr); }

bool HasCalibrationRun(const CCalibrationData& data, int camera) {
  if (camera < 0 || camera >= data.GetCameraCount()) return false;
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  return problem.refusal.empty() && !problem.usedViews.empty() && problem.pointsPerView > 0;
}

bool RunResultsAreCurrent(const CCalibrationData& data, int camera) {
  if (!HasCalibrationRun(data, camera)) return false;
  const CameraParameters stored = data.GetCameraParameters(camera);
  const CameraParameters run = data.GetCalibrationProblem(camera).GetParameters();
  return stored.K == run.K && stored.distortion == run.distortion && stored.model == run.model;
}

std::string CameraSummaryText(const CCalibrationData& data, int camera) {
  const CalibrationProblem& problem = data.GetCalibrationProblem(camera);
  const CameraParameters parameters = data.GetCameraParameters(camera);
  // Parameters loaded after the run replace its results: the text shows what the camera now holds.
  if (RunResultsAreCurrent(data, camera)) {
    // Which views were left out, and why, when any were.
    if (problem.skippedViews.empty()) return CalibrationText(problem);
    return CalibrationText(problem) + "\n" + ViewUsageText(problem);
  }
  if (parameters.K[0] != 0.0) return ParametersText(parameters);
  return "Not calibrated.";
}

std::string StereoRigText(const StereoRigResult& rig) {
  const double* r = rig.rotationVector.data();
  const double angle = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
  const double scale = angle > 0.0 ? 1.0 / angle : 0.0;
  const double* T = rig.second.T.data();
  const char* unit = LengthUnitName(rig.unit);
  char text[512];
  std::snprintf(text, sizeof text,
                "rotation %s about (%.4lf, %.4lf, %.4lf)\nT %.4lf %.4lf %.4lf %s\nbaseline %.4lf %s\n"
                "RMS error %.4lf px, mean distance %.4lf px",
                DegreesText(angle).c_str(), r[0] * scale, r[1] * scale, r[2] * scale, T[0], T[1], T[2], unit,
                rig.baseline, unit, RigRmsError(rig), rig.meanDistance);
  return text;
}

std::string StereoReportText(const CCalibrationData& data, const StereoRigResult& rig) {
  std::ostringstream out;
  for (int camera = 0; camera < 2; ++camera)
    out << "Camera " << camera + 1 << ": " << ViewUsageText(data.GetCalibrationProblem(camera)) << "\n"
        << CalibrationText(data.GetCalibrationProblem(camera)) << "\n";
  out << "Stereo rig between cameras 1 and 2 (" << rig.pairCount << " view pairs"
      << (rig.converged ? "" : ", refinement did not converge") << ")\n"
      << StereoRigText(rig) << "\n";
  return out.str();
}

namespace {

void WriteRigIntrinsics(JsonWriter& json, const CameraParameters& p) {
  json.BeginObject().Key("K").Array(p.K.begin(), p.K.end());
  WriteLensModelJson(json, p);
  json.EndObject();
}

}  // namespace

void WriteStereoJson(JsonWriter& json, const CCalibrationData& data, const StereoRigResult& rig) {
  const CameraParameters& second = rig.second;
  json.BeginObject().Key("first");
  WriteCalibrationJson(json, data, 0);
  json.Key("second");
  WriteCalibrationJson(json, data, 1);
  json.Key("R").Array(second.R.begin(), second.R.end()).Key("T").Array(second.T.begin(), second.T.end());
  json.Key("baseline").Value(rig.baseline).Key("converged").Value(rig.converged);
  json.Key("reprojectionError").BeginObject().Key("meanDistance").Value(rig.meanDistance);
  json.Key("rms").Value(RigRmsError(rig)).EndObject();
  json.Key("unit").Value(std::string(LengthUnitName(rig.unit)));
  json.Key("pairs").Array(rig.pairedViews.begin(), rig.pairedViews.end());
  json.Key("perPairErrors").BeginArray();
  for (const PairError& e : rig.pairErrors) {
    json.BeginObject().Key("view").Value(e.view).Key("rms").Value(e.rms).Key("meanDistance").Value(e.meanDistance);
    json.Key("first").Value(e.firstRms).Key("second").Value(e.secondRms).Key("outlier").Value(e.outlier).EndObject();
  }
  json.EndArray().Key("sigma");
  if (rig.uncertainty.valid) {
    const RigUncertainty& u = rig.uncertainty;
    json.BeginObject().Key("r").Array(u.rotation.begin(), u.rotation.end());
    json.Key("T").Array(u.translation.begin(), u.translation.end()).Key("first");
    WriteSigmaJson(json, u.first);
    json.Key("second");
    WriteSigmaJson(json, u.second);
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("intrinsics").BeginObject().Key("first");
  WriteRigIntrinsics(json, rig.first);
  json.Key("second");
  WriteRigIntrinsics(json, rig.second);
  json.EndObject().EndObject();
}
