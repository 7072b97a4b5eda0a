// A guided collection on the virtual rig: its left camera's frames (rendered
// for every frame slot at 30 per second) go through the preview's guidance
// with automatic capture on; after each captured view the camera is
// calibrated and judged, and the run stops at "Enough views" (or after
// LENTORA_BENCH_SECONDS of the rig's time, default 120). Then the resulting
// calibration is compared with the rig's true camera: at every cell of the
// uncertainty map, the point the true camera sees at the cell's centre, at the
// map's distance, is carried into each board's frame with the true pose and
// projected with the calibrated camera and pose (board frames matched by the
// mean rigid transform between the two), averaged over the views; its distance
// from the cell's centre is the projection error, set against the predicted
// uncertainty of that cell.
//
//   bench_guided_capture [--benchmark_...]

#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/CalibrationService.h"
#include "app/ViewGuidance.h"
#include "calib/CalibrationDiagnostics.h"
#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "sources/media/VirtualRig.h"
#include "synth/BoardRenderer.h"
#include "ui/LiveGuidance.h"

namespace {

using Matrix3 = Eigen::Matrix<double, 3, 3, Eigen::RowMajor>;

QCoreApplication& Application() {
  static int argc = 1;
  static char name[] = "bench_guided_capture";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* application = new QCoreApplication(argc, argv);
  return *application;
}

struct Pose {
  Matrix3 R;
  Eigen::Vector3d t;
};

Pose FromSynthetic(const SyntheticPose& pose) { return {Matrix3(pose.R.data()), Eigen::Vector3d(pose.t.data())}; }

// The camera-frame point the camera sees at (u, v) at range `distance`.
Eigen::Vector3d PointSeenAt(const CameraParameters& camera, double u, double v, double distance) {
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, zero[3] = {0, 0, 0};
  Eigen::Vector3d ray((u - camera.K[2]) / camera.K[0], (v - camera.K[5]) / camera.K[4], 1.0);
  for (int i = 0; i < 50; ++i) {
    const ImagePoint p = ProjectGridPoint({ray.x(), ray.y(), 1.0}, identity, zero, camera);
    ray.x() += (u - p.x) / camera.K[0];
    ray.y() += (v - p.y) / camera.K[4];
  }
  return distance * ray.normalized();
}

struct Comparison {
  double worstRatio = 0.0;     // largest error / predicted sigma over the cells
  double rmsRatio = 0.0;
  double withinOneSigma = 0.0; // share of cells
  double withinTwoSigma = 0.0;
  double worstError = 0.0;
  double centralWorstError = 0.0;
};

Comparison CompareWithTruth(const CameraFit& fit, const std::vector<SyntheticPose>& truthPoses,
                            const CameraParameters& truth, const ProjectionUncertaintyMap& map) {
  // The boards' frames of the calibration and of the truth differ by one rigid
  // transform (which corner the detector took as origin): its mean over the views.
  std::vector<Pose> calibrated, real;
  Eigen::Matrix3d rotationSum = Eigen::Matrix3d::Zero();
  Eigen::Vector3d translationSum = Eigen::Vector3d::Zero();
  for (size_t i = 0; i < fit.poses.size(); ++i) {
    calibrated.push_back(FromSynthetic(PoseFromVectors(fit.poses[i].r, fit.poses[i].t)));
    real.push_back(FromSynthetic(truthPoses[i]));
    rotationSum += calibrated[i].R.transpose() * real[i].R;
    translationSum += calibrated[i].R.transpose() * (real[i].t - calibrated[i].t);
  }
  Eigen::JacobiSVD<Eigen::Matrix3d> svd(rotationSum, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Eigen::Matrix3d G = svd.matrixU() * svd.matrixV().transpose();
  const Eigen::Vector3d g = translationSum / static_cast<double>(fit.poses.size());
  Comparison result;
  int cells = 0;
  double sumSquares = 0.0;
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, zero[3] = {0, 0, 0};
  for (int row = 0; row < map.rows; ++row)
    for (int column = 0; column < map.columns; ++column) {
      const double sigma = map.At(column, row);
      if (!std::isfinite(sigma) || sigma <= 0.0) continue;
      const double u = map.CellX(column), v = map.CellY(row);
      const Eigen::Vector3d seen = PointSeenAt(truth, u, v, map.distance);
      Eigen::Vector2d mean = Eigen::Vector2d::Zero();
      for (size_t i = 0; i < calibrated.size(); ++i) {
        const Eigen::Vector3d onBoard = real[i].R.transpose() * (seen - real[i].t);
        const Eigen::Vector3d inCamera = calibrated[i].R * (G * onBoard + g) + calibrated[i].t;
        const ImagePoint p = ProjectGridPoint({inCamera.x(), inCamera.y(), inCamera.z()}, identity, zero, fit.camera);
        mean += Eigen::Vector2d(p.x, p.y);
      }
      mean /= static_cast<double>(calibrated.size());
      const double error = (mean - Eigen::Vector2d(u, v)).norm();
      const double ratio = error / sigma;
      result.worstRatio = std::max(result.worstRatio, ratio);
      result.worstError = std::max(result.worstError, error);
      const bool central = std::fabs(u / map.width - 0.5) <= 0.45 && std::fabs(v / map.height - 0.5) <= 0.45;
      if (central) result.centralWorstError = std::max(result.centralWorstError, error);
      sumSquares += ratio * ratio;
      result.withinOneSigma += ratio <= 1.0;
      result.withinTwoSigma += ratio <= 2.0;
      ++cells;
    }
  if (cells > 0) {
    result.rmsRatio = std::sqrt(sumSquares / cells);
    result.withinOneSigma /= cells;
    result.withinTwoSigma /= cells;
  }
  return result;
}

void BM_GuidedCaptureUntilEnough(benchmark::State& state) {
  Application();
  const char* seconds = std::getenv("LENTORA_BENCH_SECONDS");
  const double rigSeconds = seconds ? std::max(1, std::atoi(seconds)) : 120;
  const char* description = std::getenv(kVirtualRigVariable);
  VirtualRig rig;
  if (!ParseVirtualRig(description ? description : "size=640x480", rig).empty()) {
    state.SkipWithError("bad rig description");
    return;
  }
  for (auto _ : state) {
    CCalibrationData store;
    store.AddCamera();
    store.SetGrid(0, rig.grid);
    SourceSettings settings;
    settings.subViewCamera[0] = 0;
    LiveGuidanceOptions options;
    options.autoCapture = true;
    SetLiveGuidanceOptions(options);
    CLiveGuidance::Hooks hooks;
    hooks.store = [&store] { return &store; };
    hooks.settings = [&settings] { return settings; };
    CLiveGuidance guidance(hooks);
    const BoardRenderer renderer(rig.left);
    std::vector<SyntheticPose> capturedPoses;
    CameraGuidance judged;
    int frames = 0;
    QElapsedTimer wall;
    wall.start();
    for (double tick = 0.0; tick < 1000.0 * rigSeconds && !judged.verdict.enough; tick += rig.FramePeriodMs()) {
      const SyntheticPose pose = BoardPoseAt(rig, RigSide::kLeft, tick);
      const int finished = guidance.SearchesFinished(), views = store.GetViewCount(0);
      guidance.OfferFrame(renderer.Render(pose, rig.grid, rig.render));
      ++frames;
      while (guidance.SearchesFinished() == finished) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
      if (store.GetViewCount(0) == views) continue;
      capturedPoses.push_back(pose);
      if (store.GetViewCount(0) < 6 || !CalibrateCamera(store, 0).ok) continue;
      judged = GuidanceOf(store, 0);
      std::printf("%6.1f s: %2d views, %s\n", tick / 1000.0, store.GetViewCount(0), judged.verdict.text.c_str());
    }
    state.counters["rig_seconds"] = frames * rig.FramePeriodMs() / 1000.0;
    state.counters["wall_seconds"] = wall.elapsed() / 1000.0;
    state.counters["views"] = store.GetViewCount(0);
    state.counters["enough"] = judged.verdict.enough ? 1.0 : 0.0;
    if (!judged.hasRun) continue;
    const CameraFit fit = FitOf(store.GetCalibrationProblem(0));
    const Comparison compared = CompareWithTruth(fit, capturedPoses, rig.left.ToParameters(), judged.uncertainty);
    state.counters["predicted_centre90_px"] = judged.uncertainty.centre90;
    state.counters["predicted_worst_px"] = judged.uncertainty.worst;
    state.counters["error_central_worst_px"] = compared.centralWorstError;
    state.counters["error_worst_px"] = compared.worstError;
    state.counters["error_vs_sigma_worst"] = compared.worstRatio;
    state.counters["error_vs_sigma_rms"] = compared.rmsRatio;
    state.counters["cells_within_1sigma"] = compared.withinOneSigma;
    state.counters["cells_within_2sigma"] = compared.withinTwoSigma;
  }
}
BENCHMARK(BM_GuidedCaptureUntilEnough)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
