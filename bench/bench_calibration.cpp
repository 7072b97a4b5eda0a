// The calibration run against OpenCV's calibrateCamera (k3 fixed, so both fit
// the same eight intrinsic values) on the same synthetic points, in the same
// run. Each benchmark times our run; OpenCV is timed alongside it with the
// benchmark clock paused, and the counters report both and their ratio. The
// counters use thread CPU time with OpenCV on one thread, so that a busy
// machine does not skew the ratio; both runs are single-threaded.
//
// Arguments: grid points along X, along Y, views.

#include <benchmark/benchmark.h>

#include <time.h>

#include <opencv2/calib3d.hpp>

#include "calib/CalibrationProblem.h"
#include "calib/SyntheticViews.h"

namespace {

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct Scene {
  SyntheticRig rig;
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> image;
};

Scene MakeScene(int nx, int ny, int views) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{20.0, 20.0, nx, ny, 5, 5};
  options.camera.width = 1280;
  options.camera.height = 960;
  options.camera.fx = options.camera.fy = 1600.0;
  options.camera.cx = 639.5;
  options.camera.cy = 479.5;
  options.camera.k1 = -0.2;
  options.camera.k2 = 0.07;
  options.camera.p1 = 0.0008;
  options.camera.p2 = -0.0004;
  options.pointNoise = 0.2;
  options.renderImages = false;
  options.seed = 3;
  Scene scene;
  scene.rig = MakeSyntheticRig(options);
  const std::vector<ObjectPoint> grid = MakeGridObjectPoints(scene.rig.grid, 1);
  for (const PointList& view : scene.rig.cameras[0].points) {
    scene.object.emplace_back();
    scene.image.emplace_back();
    for (size_t k = 0; k < view.size(); ++k) {
      scene.object.back().emplace_back(static_cast<float>(grid[k].X), static_cast<float>(grid[k].Y), 0.f);
      scene.image.back().emplace_back(static_cast<float>(view[k].x), static_cast<float>(view[k].y));
    }
  }
  return scene;
}

double OpenCvCalibration(const Scene& scene) {
  cv::Mat K, distortion;
  std::vector<cv::Mat> r, t;
  return cv::calibrateCamera(scene.object, scene.image, cv::Size(1280, 960), K, distortion, r, t, cv::CALIB_FIX_K3);
}

void BM_CalibrationRun(benchmark::State& state) {
  const int nx = static_cast<int>(state.range(0)), ny = static_cast<int>(state.range(1));
  const int views = static_cast<int>(state.range(2));
  cv::setNumThreads(1);
  const Scene scene = MakeScene(nx, ny, views);
  double oursSeconds = 0.0, openCvSeconds = 0.0;
  bool converged = true;
  for (auto _ : state) {
    const double start = ThreadSeconds();
    CalibrationProblem problem;
    const bool ran = problem.Calibrate(scene.rig.cameras[0].points, scene.rig.grid, 1280, 960);
    benchmark::DoNotOptimize(problem.refined.K[0]);
    oursSeconds += ThreadSeconds() - start;
    converged = converged && ran && problem.converged;

    state.PauseTiming();
    const double openCvStart = ThreadSeconds();
    benchmark::DoNotOptimize(OpenCvCalibration(scene));
    openCvSeconds += ThreadSeconds() - openCvStart;
    state.ResumeTiming();
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = 1e3 * oursSeconds / iterations;
  state.counters["opencv_ms"] = 1e3 * openCvSeconds / iterations;
  state.counters["ratio"] = openCvSeconds > 0.0 ? oursSeconds / openCvSeconds : 0.0;
  state.counters["points"] = static_cast<double>(nx * ny * views);
  state.counters["unknowns"] = 6.0 * views + 8.0;
  if (!converged) state.SkipWithError("the refinement did not converge");
}

void CalibrationSizes(benchmark::internal::Benchmark* benchmark) {
  for (const auto& grid : {std::pair{9, 6}, std::pair{20, 15}})
    for (int views : {5, 15, 30, 60}) benchmark->Args({grid.first, grid.second, views});
}

BENCHMARK(BM_CalibrationRun)->Apply(CalibrationSizes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
