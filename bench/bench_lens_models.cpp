// Calibration with the rational and fisheye lens models against OpenCV's
// calibrateCamera (CALIB_RATIONAL_MODEL) and fisheye::calibrate on the same
// points (projected through a known camera, 0.2 px noise, 1280x960, rounded
// to float), timed in the same run. Each benchmark times our run; OpenCV is
// timed alongside it, both in thread CPU time with OpenCV on one thread, and
// the counters give both times, their ratio and the ratio of the sums of
// squares each reached (ours / OpenCV's).
//
// Arguments: model (0 rational, 1 fisheye), field of view in degrees, views,
// seed of the views. ss_ratio far below 1 means OpenCV stopped far above the
// minimum: its time is then that of a run to its iteration limit. The seeds
// 2 and 4 of the rational model at 110 degrees are view sets where OpenCV's
// own run converges (as in the tests).

#include <benchmark/benchmark.h>

#include <time.h>

#include <cfloat>

#include <opencv2/calib3d.hpp>

#include "calib/CalibrationProblem.h"
#include "tests/calib/LensViews.h"

namespace {

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

CameraParameters RationalCamera(double fovDegrees) {
  CameraParameters camera;
  camera.model = LensModel::Rational;
  camera.width = 1280;
  camera.height = 960;
  camera.distortion = {0.1, 0.005, 0.0009, -0.0006, 0.0005, 0.35, 0.03, 0.0005};
  camera.K = {1.0, 0, 0, 0, 1.0, 0, 0, 0, 1};
  const double edge = camera_model::Project(camera, std::tan(0.5 * fovDegrees * M_PI / 180.0), 0.0, 1.0).x;
  const double f = 640.0 / edge;
  camera.K = {f, 0, 644.0, 0, 0.998 * f, 477.0, 0, 0, 1};
  return camera;
}

struct Scene {
  lens_views::Views views;
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> image;
};

Scene MakeScene(bool fisheye, double fov, int views, unsigned seed) {
  Scene scene;
  const CameraParameters truth = fisheye ? lens_views::FisheyeTruth(fov) : RationalCamera(fov);
  scene.views = lens_views::Make(truth, {views, {30.0, 30.0, 10, 7, 5, 5}, 0.2, seed});
  const std::vector<ObjectPoint> board = MakeGridObjectPoints(scene.views.grid, 1);
  for (const PointList& view : scene.views.points) {
    scene.object.emplace_back();
    scene.image.emplace_back();
    for (size_t k = 0; k < view.size(); ++k) {
      scene.object.back().emplace_back(static_cast<float>(board[k].X), static_cast<float>(board[k].Y), 0.f);
      scene.image.back().emplace_back(static_cast<float>(view[k].x), static_cast<float>(view[k].y));
    }
  }
  return scene;
}

// OpenCV's camera and poses measured by our projection of the same model.
double SumOfSquaresOf(const Scene& scene, LensModel model, const cv::Mat& K, const cv::Mat& D,
                      const std::vector<cv::Mat>& r, const std::vector<cv::Mat>& t) {
  CameraParameters camera;
  camera.model = model;
  for (int i = 0; i < 9; ++i) camera.K[static_cast<size_t>(i)] = K.at<double>(i / 3, i % 3);
  for (int i = 0; i < DistortionCount(model); ++i) camera.distortion[static_cast<size_t>(i)] = D.at<double>(i);
  std::vector<std::array<double, 9>> R;
  std::vector<std::array<double, 3>> T;
  for (size_t v = 0; v < r.size(); ++v) {
    cv::Mat rotation;
    cv::Rodrigues(r[v], rotation);
    R.emplace_back();
    T.emplace_back();
    for (int i = 0; i < 9; ++i) R.back()[static_cast<size_t>(i)] = rotation.at<double>(i / 3, i % 3);
    for (int i = 0; i < 3; ++i) T.back()[static_cast<size_t>(i)] = t[v].at<double>(i);
  }
  return lens_views::SumOfSquares(camera, scene.views.grid, scene.views.points, R, T);
}

double OurSumOfSquares(const Scene& scene, const CalibrationProblem& problem) {
  std::vector<std::array<double, 9>> R;
  std::vector<std::array<double, 3>> T;
  for (size_t v = 0; v < scene.views.points.size(); ++v) {
    R.emplace_back();
    T.emplace_back();
    std::copy_n(problem.GetRotationMatrix(static_cast<int>(v)), 9, R.back().begin());
    std::copy_n(problem.GetTranslation(static_cast<int>(v)), 3, T.back().begin());
  }
  return lens_views::SumOfSquares(problem.refined, scene.views.grid, scene.views.points, R, T);
}

// Up to 100 iterations, as fisheye::calibrate takes by default: with its own
// default of 30, calibrateCamera stops on the rational model's view sets at 30
// to 40 times the minimum's sum of squares, where 100 reach it.
const cv::TermCriteria kOpenCvCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, DBL_EPSILON);

void BM_LensModelRun(benchmark::State& state) {
  const bool fisheye = state.range(0) == 1;
  const double fov = static_cast<double>(state.range(1));
  const int views = static_cast<int>(state.range(2));
  const LensModel model = fisheye ? LensModel::Fisheye : LensModel::Rational;
  cv::setNumThreads(1);
  const Scene scene = MakeScene(fisheye, fov, views, static_cast<unsigned>(state.range(3)));
  const cv::Size size(1280, 960);
  double oursSeconds = 0.0, openCvSeconds = 0.0, ours = 0.0, reference = 0.0;
  bool openCvFailed = false;
  for (auto _ : state) {
    const double start = ThreadSeconds();
    CalibrationOptions options;
    options.writePointDump = false;
    CalibrationProblem problem(options);
    problem.settings.model = model;
    problem.Calibrate(scene.views.points, scene.views.grid, 1280, 960);
    // A copy: DoNotOptimize on the result's own field let the library's
    // assembly overwrite fx, and the sum of squares then measured a wrong camera.
    double focal = problem.refined.K[0];
    benchmark::DoNotOptimize(focal);
    oursSeconds += ThreadSeconds() - start;
    ours = OurSumOfSquares(scene, problem);

    state.PauseTiming();
    const double openCvStart = ThreadSeconds();
    cv::Mat K, D;
    std::vector<cv::Mat> r, t;
    try {
      if (fisheye)
        cv::fisheye::calibrate(scene.object, scene.image, size, K, D, r, t,
                               cv::fisheye::CALIB_RECOMPUTE_EXTRINSIC | cv::fisheye::CALIB_FIX_SKEW);
      else
        cv::calibrateCamera(scene.object, scene.image, size, K, D, r, t, cv::CALIB_RATIONAL_MODEL, kOpenCvCriteria);
      reference = SumOfSquaresOf(scene, model, K, D, r, t);
    } catch (const cv::Exception&) {
      openCvFailed = true;
    }
    openCvSeconds += ThreadSeconds() - openCvStart;
    state.ResumeTiming();
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = 1e3 * oursSeconds / iterations;
  state.counters["opencv_ms"] = 1e3 * openCvSeconds / iterations;
  state.counters["ratio"] = openCvSeconds > 0.0 ? oursSeconds / openCvSeconds : 0.0;
  state.counters["ss_ratio"] = reference > 0.0 ? ours / reference : 0.0;
  if (openCvFailed) state.SetLabel("OpenCV failed");
}

BENCHMARK(BM_LensModelRun)
    ->Args({0, 100, 25, 7})
    ->Args({0, 110, 40, 7})
    ->Args({0, 110, 25, 2})
    ->Args({0, 110, 25, 4})
    ->Args({1, 90, 25, 7})
    ->Args({1, 120, 25, 7})
    ->Args({1, 150, 40, 7})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
