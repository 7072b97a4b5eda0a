// Detection of the camera's grid in one view (quick search, reading of the
// square colours, refinement of every corner until its window settles)
// against the library's classic detector followed by its sub-pixel pass, and
// its sector-based detector, on the same picture at 640x480, 1920x1080 and
// 4000x3000; what the steep-board search adds on board-less pictures; our detection with the sector-based search alone (as it was
// before the quick search) at 1920x1080; and "Detect all" on a camera of 100
// views of 1920x1080, decoded from JPEG files by the workers, on every core
// against one worker.

#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/LargeWorkspace.h"
#include "core/CalibrationData.h"
#include "grid/DetectionRun.h"

#include "synth/SyntheticViews.h"
#include "grid/GridDetection.h"

namespace {

struct View {
  GridDescription grid{30.0, 30.0, 9, 6, 5, 5};
  cv::Mat image;
  cv::Mat gray;
};

View Render(int width, int height, double focal) {
  View view;
  SyntheticOptions options;
  options.views = 1;
  options.seed = 3;
  options.camera = SyntheticCamera{focal, focal, (width - 1) / 2.0, (height - 1) / 2.0, LensModel::PinholeRadtan,
                                   {-0.2, 0.05, 0.0, 0.0}, width, height};
  options.render.supersampling = 2;
  options.render.blurSigma = 1.0;
  options.render.imageNoise = 2.0;
  view.image = MakeSyntheticRig(options).cameras[0].images[0];
  MakeGrayImage(view.image, view.gray);
  return view;
}

const View& Vga() {
  static const View view = Render(640, 480, 800.0);
  return view;
}

const View& FullHd() {
  static const View view = Render(1920, 1080, 1700.0);
  return view;
}

const View& TwelveMegapixels() {
  static const View view = Render(4000, 3000, 3500.0);
  return view;
}

void Detect(benchmark::State& state, const View& view, BoardSearch search = BoardSearch::QuickFirst) {
  for (auto _ : state) {
    const GridDetection detection = DetectGridInImage(view.image, view.grid, search);
    if (detection.status != GridStatus::Ok) state.SkipWithError(DescribeGridStatus(detection.status));
    benchmark::DoNotOptimize(detection.corners.data());
  }
}

// The library's classic detector and its sub-pixel pass, as its own examples use them.
void Reference(benchmark::State& state, const View& view) {
  std::vector<cv::Point2f> corners;
  for (auto _ : state) {
    if (!cv::findChessboardCorners(view.gray, cv::Size(view.grid.nx, view.grid.ny), corners,
                                   cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_FAST_CHECK))
      state.SkipWithError("the library's detector missed the board");
    cv::cornerSubPix(view.gray, corners, cv::Size(11, 11), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS | cv::TermCriteria::COUNT, 30, 0.001));
    benchmark::DoNotOptimize(corners.data());
  }
}

void ReferenceSectors(benchmark::State& state, const View& view) {
  std::vector<cv::Point2f> corners;
  for (auto _ : state) {
    if (!cv::findChessboardCornersSB(view.gray, cv::Size(view.grid.nx, view.grid.ny), corners, cv::CALIB_CB_NORMALIZE_IMAGE))
      state.SkipWithError("the library's sector-based detector missed the board");
    benchmark::DoNotOptimize(corners.data());
  }
}

// A camera of 100 views of 1920x1080 read from JPEG files, as photographs are.
CCalibrationData& ViewsToDetect() {
  static CCalibrationData data;
  if (data.GetCameraCount() == 0) {
    // One folder, rewritten by every run, so runs leave nothing behind them.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "lentora-bench-detect-all";
    std::filesystem::remove_all(folder);
    const bench::RenderedViews views = bench::RenderViews(folder, 100, 1920, 1080);
    data.AddCamera();
    data.SetGrid(0, views.grid);
    for (const std::string& file : views.files) data.AddViewFromFile(0, file, 1, 0, "");
    data.SetImageCacheBudget(0);  // every view decoded by its worker, as in a large workspace
  }
  return data;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ProcessSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// A picture without a board: smoothed noise and a few hundred rectangles of
// any gray, so corners and edges abound but no chequerboard.
cv::Mat Boardless(int width, int height) {
  cv::Mat gray(height, width, CV_8UC1);
  cv::RNG random(5);
  random.fill(gray, cv::RNG::UNIFORM, 60, 200);
  cv::GaussianBlur(gray, gray, cv::Size(0, 0), 3.0);
  const int side = std::max(8, width / 8);
  for (int i = 0; i < 300; ++i)
    cv::rectangle(gray, cv::Rect(random.uniform(0, width), random.uniform(0, height), random.uniform(4, side),
                                 random.uniform(4, side)),
                  cv::Scalar(random.uniform(0, 255)), cv::FILLED);
  cv::Mat image;
  cv::cvtColor(gray, image, cv::COLOR_GRAY2BGR);
  return image;
}

// What the steep-board search adds where there is no board: the detection
// with it (timed) and without it (clock paused), as milliseconds and their
// ratio.
void SteepSearchOnBoardless(benchmark::State& state, int width, int height) {
  const cv::Mat image = Boardless(width, height);
  const GridDescription grid{30.0, 30.0, 9, 6, 5, 5};
  double with = 0.0, without = 0.0;
  for (auto _ : state) {
    double start = WallSeconds();
    if (DetectGridInImage(image, grid).status == GridStatus::Ok) state.SkipWithError("a board in a board-less picture");
    with += WallSeconds() - start;
    state.PauseTiming();
    start = WallSeconds();
    if (DetectGridInImage(image, grid, BoardSearch::QuickFirst, SteepBoards::Skip).status == GridStatus::Ok)
      state.SkipWithError("a board in a board-less picture");
    without += WallSeconds() - start;
    state.ResumeTiming();
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["with_steep_ms"] = 1e3 * with / iterations;
  state.counters["without_steep_ms"] = 1e3 * without / iterations;
  state.counters["ratio"] = without > 0.0 ? with / without : 0.0;
}

void BM_SteepSearchOnBoardless_640x480(benchmark::State& state) { SteepSearchOnBoardless(state, 640, 480); }
void BM_SteepSearchOnBoardless_4000x3000(benchmark::State& state) { SteepSearchOnBoardless(state, 4000, 3000); }

// Detect all on `threads` workers (0: every core); the wall time it took.
double DetectAll(benchmark::State& state, CCalibrationData& store, int threads) {
  std::vector<ViewToDetect> views;
  for (int v = 0; v < store.GetViewCount(0); ++v) views.push_back({0, v});
  const double start = WallSeconds();
  const std::vector<DetectedView> found = DetectViews(store, views, threads);
  const double seconds = WallSeconds() - start;
  for (const DetectedView& view : found)
    if (view.detection.status != GridStatus::Ok) state.SkipWithError(DescribeGridStatus(view.detection.status));
  benchmark::DoNotOptimize(found.data());
  return seconds;
}

// Detect all on every core (timed), and on one worker with the clock paused;
// the counters give both in wall time, how many times faster every core is,
// and how many cores the process kept busy on average while every core
// searched (on a machine other work loads, the share it got).
void BM_DetectAll_EveryCoreAgainstOneWorker(benchmark::State& state) {
  CCalibrationData& store = ViewsToDetect();
  double everyCore = 0.0, oneWorker = 0.0, everyCoreCpu = 0.0;
  for (auto _ : state) {
    const double cpuStart = ProcessSeconds();
    everyCore += DetectAll(state, store, 0);
    everyCoreCpu += ProcessSeconds() - cpuStart;
    state.PauseTiming();
    oneWorker += DetectAll(state, store, 1);
    state.ResumeTiming();
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["views"] = store.GetViewCount(0);
  state.counters["threads"] = DetectionThreads(0);
  state.counters["every_core_ms"] = 1e3 * everyCore / iterations;
  state.counters["one_worker_ms"] = 1e3 * oneWorker / iterations;
  state.counters["speedup"] = everyCore > 0.0 ? oneWorker / everyCore : 0.0;
  state.counters["cores_busy"] = everyCore > 0.0 ? everyCoreCpu / everyCore : 0.0;
}

void BM_DetectGrid_640x480(benchmark::State& state) { Detect(state, Vga()); }
void BM_ReferenceSectors_640x480(benchmark::State& state) { ReferenceSectors(state, Vga()); }
void BM_ReferenceSectors_1920x1080(benchmark::State& state) { ReferenceSectors(state, FullHd()); }
void BM_DetectGrid_4000x3000(benchmark::State& state) { Detect(state, TwelveMegapixels()); }
void BM_ReferenceFindChessboardCorners_4000x3000(benchmark::State& state) { Reference(state, TwelveMegapixels()); }
void BM_ReferenceSectors_4000x3000(benchmark::State& state) { ReferenceSectors(state, TwelveMegapixels()); }
void BM_ReferenceFindChessboardCorners_640x480(benchmark::State& state) { Reference(state, Vga()); }
void BM_DetectGrid_1920x1080(benchmark::State& state) { Detect(state, FullHd()); }
void BM_DetectGridSectorsOnly_1920x1080(benchmark::State& state) { Detect(state, FullHd(), BoardSearch::SectorsOnly); }
void BM_ReferenceFindChessboardCorners_1920x1080(benchmark::State& state) { Reference(state, FullHd()); }

BENCHMARK(BM_DetectGrid_640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceFindChessboardCorners_640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectGrid_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceFindChessboardCorners_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectGridSectorsOnly_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceSectors_640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceSectors_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectGrid_4000x3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceFindChessboardCorners_4000x3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceSectors_4000x3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SteepSearchOnBoardless_640x480)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SteepSearchOnBoardless_4000x3000)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DetectAll_EveryCoreAgainstOneWorker)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
