// Detection of the camera's grid in one view (library detectors, reading of
// the square colours, refinement of every corner like a click) against the
// library's classic detector alone on the same picture, at 640x480 and at
// 1920x1080.

#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>

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
  options.camera = SyntheticCamera{focal, focal, (width - 1) / 2.0, (height - 1) / 2.0, -0.2, 0.05, 0.0, 0.0,
                                   width, height};
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

void Detect(benchmark::State& state, const View& view) {
  for (auto _ : state) {
    const GridDetection detection = DetectGridInImage(view.image, view.grid);
    if (detection.status != GridStatus::Ok) state.SkipWithError(DescribeGridStatus(detection.status));
    benchmark::DoNotOptimize(detection.corners.data());
  }
}

void Reference(benchmark::State& state, const View& view) {
  std::vector<cv::Point2f> corners;
  for (auto _ : state) {
    if (!cv::findChessboardCorners(view.gray, cv::Size(view.grid.nx, view.grid.ny), corners))
      state.SkipWithError("the library's detector missed the board");
    benchmark::DoNotOptimize(corners.data());
  }
}

void BM_DetectGrid_640x480(benchmark::State& state) { Detect(state, Vga()); }
void BM_ReferenceFindChessboardCorners_640x480(benchmark::State& state) { Reference(state, Vga()); }
void BM_DetectGrid_1920x1080(benchmark::State& state) { Detect(state, FullHd()); }
void BM_ReferenceFindChessboardCorners_1920x1080(benchmark::State& state) { Reference(state, FullHd()); }

BENCHMARK(BM_DetectGrid_640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceFindChessboardCorners_640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectGrid_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceFindChessboardCorners_1920x1080)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
