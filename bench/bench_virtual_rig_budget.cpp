// Where the two-machine chain's rig error comes from, on the virtual rig:
// pairs spread over a window of the board's path, as the chain takes them,
// calibrated as a stereo rig from
//   exact      the exact corner positions (what is left is the solver's own),
//   noise      the exact positions plus Gaussian noise of the detection's own
//              spread (the principal points' scatter over the pairs),
//   detected   corners detected in the rendered frames (the chain's pictures),
//   late       the same, with every client frame one frame period late (a
//              matching one frame off: the board moved between the captures),
//   one_late   one pair in the middle one frame late.
// Arguments: trials (windows of the path), the noise in thousandths of a pixel
// per coordinate (noise) or 0, supersampling of the rendering (detected; 0 for
// the devices' own), then pairs (0: 15), window seconds (0: 10), the
// path's largest tilt in degrees, its pace in tenths and how far its middle
// wanders across and up the image in mm (0: the devices' own).
// Each benchmark reports the rotation error's mean and worst (degrees), the
// baseline's (percent), the worst principal point and focal length errors
// (pixels), and for detection the corners' bias and spread (pixels).

#include <benchmark/benchmark.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <random>
#include <vector>

#include "app/CalibrationService.h"
#include "synth/BoardRenderer.h"
#include "synth/SmallMatrix.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "sources/FrameLogReader.h"
#include "grid/GridDetection.h"
#include "sources/media/VirtualRig.h"

namespace {

constexpr int kDefaultPairs = 15;
constexpr double kDefaultWindowSeconds = 10.0;

enum class Variant { kExact, kNoise, kDetected, kLate, kOneLate };

struct RigError {
  double rotationDeg = 0.0;
  double baselinePercent = 0.0;
  double centrePx = 0.0;  // the worse camera's principal point error
  double focalPx = 0.0;   // the worse camera's focal length error
  bool ok = false;
};

void AddIntrinsicsError(const CameraParameters& found, const SyntheticCamera& truth, RigError& error) {
  error.centrePx = std::max(error.centrePx, std::hypot(found.cx() - truth.cx, found.cy() - truth.cy));
  error.focalPx = std::max({error.focalPx, std::fabs(found.fx() - truth.fx), std::fabs(found.fy() - truth.fy)});
}

double AngleBetween(const std::array<double, 9>& a, const std::array<double, 9>& b) {
  double trace = 0.0;  // of a^T b
  for (int k = 0; k < 9; ++k) trace += a[k] * b[k];
  return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / small_matrix::kPi;
}

RigError Calibrate(const VirtualRig& rig, const std::vector<PointList>& left, const std::vector<PointList>& right) {
  CCalibrationData data;
  for (int c = 0; c < 2; ++c) {
    data.AddCamera();
    data.SetGrid(c, rig.grid);
    const SyntheticCamera& camera = c == 0 ? rig.left : rig.right;
    const cv::Mat grey(camera.height, camera.width, CV_8UC3, cv::Scalar(90, 90, 90));
    const std::vector<PointList>& points = c == 0 ? left : right;
    for (size_t v = 0; v < points.size(); ++v) {
      data.AddViewFromFrame(c, grey);
      *data.GetGridPoints(c, static_cast<int>(v)) = points[v];
      data.SetViewHasPoints(c, static_cast<int>(v), 1);
    }
  }
  const StereoRigResult result = CalibrateStereoRig(data);
  RigError error;
  if (!result.ok) return error;
  error.ok = true;
  error.rotationDeg = AngleBetween(result.second.R, rig.R);
  const double baseline = std::hypot(result.second.T[0], result.second.T[1], result.second.T[2]);
  error.baselinePercent = 100.0 * (baseline / std::hypot(rig.T[0], rig.T[1], rig.T[2]) - 1.0);
  AddIntrinsicsError(result.first, rig.left, error);
  AddIntrinsicsError(result.second, rig.right, error);
  return error;
}

struct CornerStats {
  double sumX = 0, sumY = 0, sumSq = 0;
  int count = 0;
  void Add(const PointList& found, const PointList& exact) {
    for (size_t k = 0; k < found.size() && k < exact.size(); ++k) {
      const double dx = found[k].x - exact[k].x, dy = found[k].y - exact[k].y;
      sumX += dx;
      sumY += dy;
      sumSq += dx * dx + dy * dy;
      ++count;
    }
  }
  double Rms() const { return count ? std::sqrt(sumSq / count) : 0.0; }
};

PointList Detect(const BoardRenderer& renderer, const VirtualRig& rig, const SyntheticPose& pose, int window,
                 int supersampling) {
  RenderOptions render = rig.render;
  if (supersampling > 0) render.supersampling = supersampling;
  const cv::Mat image = renderer.Render(pose, rig.grid, render);
  GridDescription grid = rig.grid;
  grid.wx = grid.wy = window;
  const GridDetection detection = DetectGridInImage(image, grid);
  return detection.status == GridStatus::Ok ? detection.corners : PointList{};
}

int64_t ArgumentOr(const benchmark::State& state, int index, int64_t otherwise) {
  return state.range(index) > 0 ? state.range(index) : otherwise;
}

void Run(benchmark::State& state, Variant variant) {
  VirtualRig rig;
  VirtualRigFromEnvironment(rig);
  const BoardRenderer left(rig.left), right(rig.right);
  const double period = rig.FramePeriodMs();
  const int trials = static_cast<int>(state.range(0));
  const int pairs = static_cast<int>(ArgumentOr(state, 3, kDefaultPairs));
  const double windowMs = 1000.0 * static_cast<double>(ArgumentOr(state, 4, kDefaultWindowSeconds));
  rig.tiltDegrees = static_cast<double>(ArgumentOr(state, 5, static_cast<int64_t>(rig.tiltDegrees)));
  rig.pace = static_cast<double>(ArgumentOr(state, 6, std::lround(rig.pace * 10))) / 10.0;
  for (int axis = 0; axis < 2; ++axis)
    rig.wander[axis] = static_cast<double>(ArgumentOr(state, 7 + axis, std::lround(rig.wander[axis])));
  std::mt19937 random(7);
  for (auto _ : state) {
    double worst = 0, sum = 0, worstBaseline = 0, sumBaseline = 0, worstCentre = 0, worstFocal = 0;
    int runs = 0, failed = 0;
    CornerStats stats;
    for (int trial = 0; trial < trials; ++trial) {
      // Slots spread over a window of the path, as the chain's frames are.
      const double start = 3000.0 + trial * 13700.0;
      std::vector<PointList> points[2];
      for (int i = 0; i < pairs; ++i) {
        const double slot = std::round((start + windowMs * (0.08 + 0.84 * i / (pairs - 1))) / period);
        const bool late = variant == Variant::kLate || (variant == Variant::kOneLate && i == pairs / 2);
        const double ticks[2] = {slot * period, (slot + (late ? 1 : 0)) * period};
        for (int side = 0; side < 2; ++side) {
          const RigSide which = side == 0 ? RigSide::kLeft : RigSide::kRight;
          const SyntheticPose pose = BoardPoseAt(rig, which, ticks[side]);
          const SyntheticCamera& camera = rig.Camera(which);
          PointList exact = ProjectGrid(camera, pose, rig.grid);
          if (variant == Variant::kExact) {
            points[side].push_back(exact);
          } else if (variant == Variant::kNoise) {
            std::normal_distribution<double> noise(0.0, state.range(1) / 1000.0);
            for (ImagePoint& p : exact) p.x += noise(random), p.y += noise(random);
            points[side].push_back(exact);
          } else {
            const int window = state.range(1) > 0 ? static_cast<int>(state.range(1)) : 3;
            PointList found = Detect(side == 0 ? left : right, rig, pose, window, static_cast<int>(state.range(2)));
            if (found.empty()) continue;
            stats.Add(found, exact);
            points[side].push_back(found);
          }
        }
        if (points[0].size() != points[1].size()) {  // a pair needs both
          points[0].resize(std::min(points[0].size(), points[1].size()));
          points[1].resize(points[0].size());
        }
      }
      const RigError error = Calibrate(rig, points[0], points[1]);
      if (!error.ok) {
        ++failed;
        continue;
      }
      ++runs;
      worst = std::max(worst, error.rotationDeg);
      sum += error.rotationDeg;
      worstBaseline = std::max(worstBaseline, std::fabs(error.baselinePercent));
      sumBaseline += std::fabs(error.baselinePercent);
      worstCentre = std::max(worstCentre, error.centrePx);
      worstFocal = std::max(worstFocal, error.focalPx);
    }
    state.counters["rotation_mean_deg"] = runs ? sum / runs : 0;
    state.counters["rotation_worst_deg"] = worst;
    state.counters["baseline_mean_pct"] = runs ? sumBaseline / runs : 0;
    state.counters["baseline_worst_pct"] = worstBaseline;
    state.counters["refused"] = failed;
    state.counters["centre_worst_px"] = worstCentre;
    state.counters["focal_worst_px"] = worstFocal;
    if (stats.count) {
      state.counters["corner_bias_x_px"] = stats.sumX / stats.count;
      state.counters["corner_bias_y_px"] = stats.sumY / stats.count;
      state.counters["corner_rms_px"] = stats.Rms();
    }
  }
}

// What a virtual device's frame costs at each pixel's exact area (argument 0,
// the devices' rendering) and at `supersampling` samples per pixel side
// (thread CPU time per frame; the devices draw 30 a second).
void BM_RenderFrame(benchmark::State& state) {
  VirtualRig rig;
  VirtualRigFromEnvironment(rig);
  const BoardRenderer renderer(rig.left);
  int64_t slot = 0;
  for (auto _ : state) {
    RenderOptions render = FrameRenderOptions(rig, RigSide::kLeft, slot);
    render.supersampling = static_cast<int>(state.range(0));
    const SyntheticPose pose = BoardPoseAt(rig, RigSide::kLeft, slot * rig.FramePeriodMs());
    benchmark::DoNotOptimize(renderer.Render(pose, rig.grid, render));
    ++slot;
  }
}
BENCHMARK(BM_RenderFrame)
    ->Arg(kExactPixelArea)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

void BM_Exact(benchmark::State& state) { Run(state, Variant::kExact); }
void BM_Noise(benchmark::State& state) { Run(state, Variant::kNoise); }
void BM_Detected(benchmark::State& state) { Run(state, Variant::kDetected); }
void BM_Late(benchmark::State& state) { Run(state, Variant::kLate); }
void BM_OneLate(benchmark::State& state) { Run(state, Variant::kOneLate); }

// A recorded chain (LENTORA_CHAIN_DIR: the demo's folder, with sync-grab.json,
// both frame logs and rig/rig.txt after detect): for each pair, the slot its
// frame log names and the slot its detected corners fit best, on both sides,
// and the rig calibrated from the exact corners of the logged slots.
void BM_Chain(benchmark::State& state) {
  const char* folder = std::getenv("LENTORA_CHAIN_DIR");
  if (!folder) {
    state.SkipWithError("set LENTORA_CHAIN_DIR to a two-machine demo's folder");
    return;
  }
  const std::string dir = folder;
  VirtualRig rig;
  VirtualRigFromEnvironment(rig);
  const double period = rig.FramePeriodMs();
  FrameLogTicks logs[2];
  ReadFrameLogTicks(dir + "/serverSync.txt", logs[0]);
  ReadFrameLogTicks(dir + "/clientSync.txt", logs[1]);
  QFile file(QString::fromStdString(dir + "/sync-grab.json"));
  file.open(QIODevice::ReadOnly);
  const QJsonArray pairs = QJsonDocument::fromJson(file.readAll()).object()["pairs"].toArray();
  CCalibrationData data;
  if (!LoadWorkspace(data, dir + "/rig/rig.txt").ok) {
    state.SkipWithError("no rig/rig.txt");
    return;
  }
  for (auto _ : state) {
    int loggedOff = 0, trulyOff = 0, sideOff[2] = {0, 0};
    double worstFit = 0;
    std::vector<PointList> exact[2];
    for (int p = 0; p < pairs.size(); ++p) {
      const int frames[2] = {pairs[p].toObject()["server"].toInt(), pairs[p].toObject()["client"].toInt()};
      long loggedSlot[2], fitted[2];
      for (int side = 0; side < 2; ++side) {
        const RigSide which = side == 0 ? RigSide::kLeft : RigSide::kRight;
        loggedSlot[side] = std::lround(logs[side].local[frames[side]] / period);
        exact[side].push_back(ProjectGrid(rig.Camera(which), BoardPoseAt(rig, which, loggedSlot[side] * period), rig.grid));
        // Which slot the picture really shows: the one its corners fit best.
        double best = 1e9;
        fitted[side] = loggedSlot[side];
        for (long candidate = loggedSlot[side] - 3; candidate <= loggedSlot[side] + 3; ++candidate) {
          const PointList truth = ProjectGrid(rig.Camera(which), BoardPoseAt(rig, which, candidate * period), rig.grid);
          CornerStats stats;
          stats.Add(data.GetGridPointLists(side)->at(p), truth);
          if (stats.count && stats.Rms() < best) best = stats.Rms(), fitted[side] = candidate;
        }
        worstFit = std::max(worstFit, best);
        if (fitted[side] != loggedSlot[side]) ++sideOff[side];
      }
      if (loggedSlot[0] != loggedSlot[1]) ++loggedOff;
      if (fitted[0] != fitted[1]) ++trulyOff;
      std::printf("pair %2d: frames %4d %4d  logged slots %+ld  pictured slots %+ld %+ld (vs logged)\n", p, frames[0],
                  frames[1], loggedSlot[1] - loggedSlot[0], fitted[0] - loggedSlot[0], fitted[1] - loggedSlot[1]);
    }
    const RigError fromLoggedSlots = Calibrate(rig, exact[0], exact[1]);
    const RigError fromDetected = Calibrate(rig, *data.GetGridPointLists(0), *data.GetGridPointLists(1));
    state.counters["pairs"] = pairs.size();
    state.counters["pairs_logged_apart"] = loggedOff;
    state.counters["pairs_pictured_apart"] = trulyOff;
    state.counters["server_pictures_not_their_log_slot"] = sideOff[0];
    state.counters["client_pictures_not_their_log_slot"] = sideOff[1];
    state.counters["worst_fit_px"] = worstFit;
    state.counters["rotation_exact_logged_deg"] = fromLoggedSlots.rotationDeg;
    state.counters["rotation_detected_deg"] = fromDetected.rotationDeg;
    state.counters["baseline_detected_pct"] = fromDetected.baselinePercent;
  }
}
BENCHMARK(BM_Chain)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Exact)->Args({10, 0, 0, 0, 0, 0, 0, 0, 0})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Noise)->Args({10, 15, 0, 0, 0, 0, 0, 0, 0})->Args({10, 30, 0, 0, 0, 0, 0, 0, 0})->Args({10, 60, 0, 0, 0, 0, 0, 0, 0})->Iterations(1)->Unit(benchmark::kMillisecond);
// The detection's own spread (0.033 px per coordinate; 0.024 with the
// rendering supersampled 16 times) over the path's levers: pairs, window,
// tilt, pace and wander.
BENCHMARK(BM_Noise)
    ->ArgsProduct({{20}, {33}, {0}, {15, 40}, {4, 10}, {30, 45}, {10, 20}, {50, 100, 140}, {35, 70, 100}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Noise)
    ->ArgsProduct({{40}, {24, 33}, {0}, {40, 80}, {4, 10}, {30}, {10, 15, 20}, {110}, {100}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detected)->Args({10, 3, 0, 0, 0, 0, 0, 0, 0})->Args({10, 3, 16, 0, 0, 0, 0, 0, 0})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detected)
    ->ArgsProduct({{10}, {3}, {4, 8, 16}, {40, 80}, {4, 10}, {30}, {10, 15}, {110}, {100}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
// The chain test's pairs: 80 over eight seconds of the path; 16 in the
// sanitizer build, which records a smaller scene (run with that scene in
// LENTORA_VIRTUAL_RIG: size=320x240,focal=400,grid=7x5,square=20,distance=600).
BENCHMARK(BM_Detected)
    ->ArgsProduct({{20}, {3}, {0}, {16, 80}, {8}, {30}, {10}, {110}, {100}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Late)->Args({10, 3, 0, 0, 0, 0, 0, 0, 0})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneLate)->Args({10, 3, 0, 0, 0, 0, 0, 0, 0})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
