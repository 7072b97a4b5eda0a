// How far the detector's corners lie from the true ones in the virtual rig's
// pictures (the guided capture benchmark's board path, rendered as the rig
// renders: each pixel's exact area, blur 0.6 px, no noise; and with 4 x 4 or
// 12 x 12 samples a pixel instead). Per camera and
// rendering: the mean error vector, the RMS error, the RMS left when each
// view's own mean is taken away, and the RMS of the views' means (what a
// calibration cannot average away within a view), by the board's tilt
// against the line of sight.
// Then whether such corners keep a calibration within its predicted
// uncertainty: sets of 40 views from the path (each set from another stretch
// of it) are calibrated and set against the truth cell by cell
// (tests/support/ProjectionAgainstTruth.h), once from the corners detected in
// the pictures and once from the true corners with Gaussian noise of the
// detected corners' size; per set the RMS and the worst of error / sigma.
//
//   bench_corner_bias [--benchmark_...]   (LENTORA_BENCH_VIEWS: views per case, default 120;
//                                          LENTORA_BENCH_SETS: sets per case, default 8)

#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <random>

#include "support/SweepingBoard.h"
#include "app/CalibrationService.h"
#include "app/ViewGuidance.h"
#include "calib/CalibrationDiagnostics.h"
#include "core/CalibrationData.h"
#include "grid/GridDetection.h"
#include "support/ProjectionAgainstTruth.h"
#include "synth/BoardRenderer.h"

namespace {

std::string SamplingName(int supersampling) {
  if (supersampling == kExactPixelArea) return "exact pixel areas";
  return std::to_string(supersampling) + " x " + std::to_string(supersampling) + " samples a pixel";
}

struct Errors {
  int points = 0, views = 0;
  Eigen::Vector2d sum = Eigen::Vector2d::Zero();
  double squares = 0.0;          // |e|^2
  double centredSquares = 0.0;   // |e - view mean|^2
  double viewMeanSquares = 0.0;  // |view mean|^2, once a view
};

// Tilt of the board against the line of sight to its middle, degrees.
double TiltOf(const SyntheticPose& pose, const GridDescription& grid) {
  const Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>> R(pose.R.data());
  const Eigen::Vector3d middle =
      R * Eigen::Vector3d(0.5 * (grid.nx - 1) * grid.dX, 0.5 * (grid.ny - 1) * grid.dY, 0.0) +
      Eigen::Vector3d(pose.t[0], pose.t[1], pose.t[2]);
  const double cosine = std::fabs(R.col(2).dot(middle.normalized()));
  return std::acos(std::min(1.0, cosine)) * 180.0 / M_PI;
}

void AddView(Errors& errors, const PointList& found, const PointList& truth) {
  std::vector<Eigen::Vector2d> e;
  for (const ImagePoint& p : found) {
    // Nearest true corner: the detector's origin may differ from the renderer's.
    Eigen::Vector2d best(1e9, 1e9);
    for (const ImagePoint& q : truth)
      if (std::hypot(p.x - q.x, p.y - q.y) < best.norm()) best = Eigen::Vector2d(p.x - q.x, p.y - q.y);
    e.push_back(best);
  }
  if (e.empty()) return;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  for (const Eigen::Vector2d& v : e) mean += v;
  mean /= static_cast<double>(e.size());
  for (const Eigen::Vector2d& v : e) {
    errors.sum += v;
    errors.squares += v.squaredNorm();
    errors.centredSquares += (v - mean).squaredNorm();
  }
  errors.viewMeanSquares += mean.squaredNorm();
  errors.points += static_cast<int>(e.size());
  ++errors.views;
}

void Print(const std::string& name, const Errors& e) {
  if (e.points == 0) {
    std::printf("%-34s no corners found\n", name.c_str());
    return;
  }
  const double n = e.points;
  std::printf("%-34s %4d views  mean (%+.4f, %+.4f) px  rms %.4f  within-view rms %.4f  view-mean rms %.4f\n",
              name.c_str(), e.views, e.sum.x() / n, e.sum.y() / n, std::sqrt(e.squares / n),
              std::sqrt(e.centredSquares / n), std::sqrt(e.viewMeanSquares / e.views));
}

void BM_CornerBias(benchmark::State& state, const char* description, double blur, int supersampling) {
  VirtualRig rig;
  if (!ParseVirtualRig(description, rig).empty()) {
    state.SkipWithError("bad rig description");
    return;
  }
  const char* count = std::getenv("LENTORA_BENCH_VIEWS");
  const int views = count ? std::max(1, std::atoi(count)) : 120;
  RenderOptions render = rig.render;
  render.blurSigma = blur;
  render.supersampling = supersampling;
  const BoardRenderer renderer(rig.left);
  for (auto _ : state) {
    std::array<Errors, 3> byTilt{};  // below 20, 20 to 35, above 35 degrees
    Errors all;
    int missed = 0;
    for (int view = 0; view < views; ++view) {
      // One view every 0.9 s of the path: spread over its whole figure.
      const SyntheticPose pose = SweepingPoseAt(rig, 0.9 * view);
      const GridDetection found = DetectGridInImage(renderer.Render(pose, rig.grid, render), rig.grid);
      if (found.status != GridStatus::Ok) {
        ++missed;
        continue;
      }
      const PointList truth = ProjectGrid(rig.left, pose, rig.grid);
      const double tilt = TiltOf(pose, rig.grid);
      AddView(all, found.corners, truth);
      AddView(byTilt[tilt < 20.0 ? 0 : tilt < 35.0 ? 1 : 2], found.corners, truth);
    }
    const std::string name =
        std::string(description) + " blur " + std::to_string(blur).substr(0, 3) + ", " + SamplingName(supersampling);
    std::printf("%s (%d of %d views missed)\n", name.c_str(), missed, views);
    Print("  all", all);
    Print("  tilt < 20", byTilt[0]);
    Print("  tilt 20-35", byTilt[1]);
    Print("  tilt > 35", byTilt[2]);
    std::fflush(stdout);
    const double n = std::max(1, all.points);
    state.counters["mean_dx_px"] = all.sum.x() / n;
    state.counters["mean_dy_px"] = all.sum.y() / n;
    state.counters["rms_px"] = std::sqrt(all.squares / n);
    state.counters["within_view_rms_px"] = std::sqrt(all.centredSquares / n);
    state.counters["view_mean_rms_px"] = std::sqrt(all.viewMeanSquares / std::max(1, all.views));
  }
}

// The rig of the guided capture benchmark's two runs, as the rig renders and
// with the rendering's two softenings taken apart.
#define CORNER_BIAS(name, ...) \
  BENCHMARK_CAPTURE(BM_CornerBias, name, __VA_ARGS__)->Iterations(1)->Unit(benchmark::kSecond)
CORNER_BIAS(default_rig, "size=640x480", 0.6, kExactPixelArea);
CORNER_BIAS(default_rig_4x4_samples, "size=640x480", 0.6, 4);
CORNER_BIAS(run2_rig, "size=640x480,focal=650,cx=326,cy=233", 0.6, kExactPixelArea);
CORNER_BIAS(run2_rig_4x4_samples, "size=640x480,focal=650,cx=326,cy=233", 0.6, 4);
CORNER_BIAS(run2_no_blur, "size=640x480,focal=650,cx=326,cy=233", 0.0, kExactPixelArea);
CORNER_BIAS(run2_12x12_samples, "size=640x480,focal=650,cx=326,cy=233", 0.6, 12);

constexpr int kViewsPerSet = 40;

// The set's views as detected in the pictures, or (noise > 0) the true
// corners with that much noise on each axis, on flat pictures.
bool FillStore(CCalibrationData& store, const VirtualRig& rig, const BoardRenderer& renderer, RenderOptions render,
               const std::vector<SyntheticPose>& poses, std::vector<SyntheticPose>& used, double noise, uint32_t seed) {
  store.AddCamera();
  store.SetGrid(0, rig.grid);
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, noise > 0.0 ? noise : 1.0);
  for (const SyntheticPose& pose : poses) {
    if (static_cast<int>(used.size()) == kViewsPerSet) break;
    if (noise > 0.0) {
      if (!store.AddViewFromFrame(0, cv::Mat(rig.left.height, rig.left.width, CV_8UC3, cv::Scalar::all(40)))) return false;
      PointList points = ProjectGrid(rig.left, pose, rig.grid);
      for (ImagePoint& p : points) p.x += gauss(random), p.y += gauss(random);
      const int view = store.GetViewCount(0) - 1;
      *store.GetGridPoints(0, view) = points;
      store.SetViewHasPoints(0, view, 1);
    } else {
      render.seed = seed + static_cast<uint32_t>(1000 * used.size());
      const cv::Mat image = renderer.Render(pose, rig.grid, render);
      const GridDetection found = DetectGridInImage(image, rig.grid);
      if (found.status != GridStatus::Ok) continue;
      if (!store.AddViewFromFrame(0, image.clone())) return false;
      if (ApplyGridDetection(store, 0, store.GetViewCount(0) - 1, found) != GridStatus::Ok) return false;
    }
    used.push_back(pose);
  }
  return static_cast<int>(used.size()) == kViewsPerSet;
}

void BM_CalibrationAgainstTruth(benchmark::State& state, const char* description, double noise,
                                int supersampling = kExactPixelArea,
                                double imageNoise = 0.0) {
  VirtualRig rig;
  if (!ParseVirtualRig(description, rig).empty()) {
    state.SkipWithError("bad rig description");
    return;
  }
  const char* count = std::getenv("LENTORA_BENCH_SETS");
  const int sets = count ? std::max(1, std::atoi(count)) : 8;
  const BoardRenderer renderer(rig.left);
  RenderOptions render = rig.render;
  render.supersampling = supersampling;
  render.imageNoise = imageNoise;
  for (auto _ : state) {
    double sumSquaredRms = 0.0, worstOfAll = 0.0;
    int done = 0;
    std::printf("%s, %s (pictures: %s, grey-level noise %.1f)\n", description,
                noise > 0.0 ? ("true corners + noise " + std::to_string(noise)).c_str() : "detected corners",
                SamplingName(supersampling).c_str(), imageNoise);
    for (int set = 0; set < sets; ++set) {
      std::vector<SyntheticPose> poses, used;
      for (int i = 0; i < 3 * kViewsPerSet; ++i) poses.push_back(SweepingPoseAt(rig, 97.3 * set + 1.9 * i));
      CCalibrationData store;
      if (!FillStore(store, rig, renderer, render, poses, used, noise, 100 + set) || !CalibrateCamera(store, 0).ok) {
        std::printf("  set %d: no calibration\n", set);
        continue;
      }
      const CameraGuidance judged = GuidanceOf(store, 0);
      const CameraFit fit = FitOf(store.GetCalibrationProblem(0));
      std::vector<SyntheticPose> truePoses;
      for (int view : fit.views) truePoses.push_back(used[static_cast<size_t>(view)]);
      const truth_comparison::Comparison c =
          truth_comparison::CompareWithTruth(fit, truePoses, rig.left.ToParameters(), rig.grid, judged.uncertainty);
      std::printf("  set %d: error/sigma rms %.2f worst %.2f; error worst %.4f px, predicted worst %.4f px; "
                  "within 2 sigma %.1f%%\n",
                  set, c.rmsRatio, c.worstRatio, c.worstError, judged.uncertainty.worst, 100.0 * c.withinTwoSigma);
      std::fflush(stdout);
      sumSquaredRms += c.rmsRatio * c.rmsRatio;
      worstOfAll = std::max(worstOfAll, c.worstRatio);
      ++done;
    }
    state.counters["sets"] = done;
    state.counters["error_vs_sigma_rms_over_sets"] = done ? std::sqrt(sumSquaredRms / done) : 0.0;
    state.counters["error_vs_sigma_worst"] = worstOfAll;
  }
}

// The reference: noise per axis of the size the detected corners' error has
// (4 x 4 samples a pixel: 0.031 and 0.029 px; the ratio hardly depends on it).
#define AGAINST_TRUTH(name, ...) \
  BENCHMARK_CAPTURE(BM_CalibrationAgainstTruth, name, __VA_ARGS__)->Iterations(1)->Unit(benchmark::kSecond)
AGAINST_TRUTH(run2_detected, "size=640x480,focal=650,cx=326,cy=233", 0.0);
AGAINST_TRUTH(run2_true_plus_noise, "size=640x480,focal=650,cx=326,cy=233", 0.031);
// The pictures' own error taken apart: samples instead of areas, and
// grey-level noise that outweighs it.
AGAINST_TRUTH(run2_detected_4x4_samples, "size=640x480,focal=650,cx=326,cy=233", 0.0, 4);
AGAINST_TRUTH(run2_detected_12x12_samples, "size=640x480,focal=650,cx=326,cy=233", 0.0, 12);
AGAINST_TRUTH(run2_detected_noisy, "size=640x480,focal=650,cx=326,cy=233", 0.0, kExactPixelArea, 4.0);
AGAINST_TRUTH(default_detected, "size=640x480", 0.0);
AGAINST_TRUTH(default_true_plus_noise, "size=640x480", 0.029);
AGAINST_TRUTH(default_detected_4x4_samples, "size=640x480", 0.0, 4);
// What the lens's distortion adds: the same rig with a distortion-free lens.
AGAINST_TRUTH(undistorted_detected, "size=640x480,distortion=0:0:0:0", 0.0);
AGAINST_TRUTH(undistorted_true_plus_noise, "size=640x480,distortion=0:0:0:0", 0.029);

}  // namespace

BENCHMARK_MAIN();
