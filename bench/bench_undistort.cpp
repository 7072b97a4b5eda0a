// Undistortion speed: our table-driven warp against cv::remap with
// precomputed fixed-point maps (CV_16SC2 + INTER_LINEAR), and our table build
// against cv::initUndistortRectifyMap, at 640x480 and 1920x1080, in one run.
// After the usual table, the ratios ours / reference are printed.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/IP.h"
#include "imaging/MVG.h"

namespace {

CameraParameters MakeCamera(int width, int height) {
  CameraParameters camera;
  camera.K = {0.85 * width, 0, 0.5 * width, 0, 0.85 * width, 0.5 * height, 0, 0, 1};
  camera.distortion = {-0.28, 0.09, 0.0012, -0.0008, 0};
  camera.width = width;
  camera.height = height;
  return camera;
}

cv::Mat MakeFrame(int width, int height) {
  cv::Mat frame(height, width, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::GaussianBlur(frame, frame, cv::Size(5, 5), 1.5);
  return frame;
}

struct Reference {
  cv::Mat K, D;
  explicit Reference(const CameraParameters& camera)
      : K(3, 3, CV_64F, const_cast<double*>(camera.K.data())),
        D(1, 4, CV_64F, const_cast<double*>(camera.distortion.data())) {}
};

// Runs the body with OpenCV's worker threads limited (0 = library default).
class ThreadLimit {
 public:
  explicit ThreadLimit(int threads) : saved_(cv::getNumThreads()) {
    if (threads > 0) cv::setNumThreads(threads);
  }
  ~ThreadLimit() { cv::setNumThreads(saved_); }

 private:
  int saved_;
};

void OursWarp(benchmark::State& state, int width, int height, int threads) {
  const ThreadLimit limit(threads);
  const CameraParameters camera = MakeCamera(width, height);
  std::vector<int> table(MVG::UndistortionTableSize(width, height));
  MVG::ComputeUndistortionMapCoefficients(camera, MVG::kBilinear, table);
  const cv::Mat frame = MakeFrame(width, height);
  cv::Mat out(height, width, CV_8UC3);
  for (auto _ : state) {
    IP::WarpByWeightsIndex(frame, out, table);
    benchmark::DoNotOptimize(out.data);
  }
}

void RemapWarp(benchmark::State& state, int width, int height, int threads) {
  const ThreadLimit limit(threads);
  const CameraParameters camera = MakeCamera(width, height);
  const Reference ref(camera);
  cv::Mat map1, map2;
  cv::initUndistortRectifyMap(ref.K, ref.D, cv::noArray(), ref.K, cv::Size(width, height), CV_16SC2, map1, map2);
  const cv::Mat frame = MakeFrame(width, height);
  cv::Mat out(height, width, CV_8UC3);
  for (auto _ : state) {
    cv::remap(frame, out, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    benchmark::DoNotOptimize(out.data);
  }
}

void OursTable(benchmark::State& state, int width, int height, int) {
  const CameraParameters camera = MakeCamera(width, height);
  std::vector<int> table(MVG::UndistortionTableSize(width, height));
  for (auto _ : state) {
    MVG::ComputeUndistortionMapCoefficients(camera, MVG::kBilinear, table);
    benchmark::DoNotOptimize(table.data());
  }
}

void RemapTable(benchmark::State& state, int width, int height, int) {
  const CameraParameters camera = MakeCamera(width, height);
  const Reference ref(camera);
  cv::Mat map1, map2;
  for (auto _ : state) {
    cv::initUndistortRectifyMap(ref.K, ref.D, cv::noArray(), ref.K, cv::Size(width, height), CV_16SC2, map1, map2);
    benchmark::DoNotOptimize(map1.data);
  }
}

struct Size {
  int width, height;
};
const Size kSizes[] = {{640, 480}, {1920, 1080}};

std::string SizeName(const Size& size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

// Ours and the reference alternate so that both see the same machine load.
// Warps run with OpenCV's default thread count and with one thread (both
// sides use the library's worker threads).
void RegisterAll() {
  using Body = void (*)(benchmark::State&, int, int, int);
  auto add = [](const std::string& name, Body body, std::vector<int> args) {
    args.resize(3, 0);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) { body(state, args[0], args[1], args[2]); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  };
  for (int threads : {0, 1})
    for (const Size& size : kSizes) {
      const std::string suffix = "/warp/" + SizeName(size) + (threads == 0 ? "/default_threads" : "/one_thread");
      add("Ours" + suffix, OursWarp, {size.width, size.height, threads});
      add("Remap" + suffix, RemapWarp, {size.width, size.height, threads});
    }
  for (const Size& size : kSizes) {
    add("Ours/table/" + SizeName(size), OursTable, {size.width, size.height});
    add("Remap/table/" + SizeName(size), RemapTable, {size.width, size.height});
  }
}

// Keeps each run's time so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With --benchmark_repetitions the median stands for the run.
    for (const Run& run : runs) {
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration && !medians_.count(name)) times_[name] = run.GetAdjustedRealTime();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        times_[name] = run.GetAdjustedRealTime();
        medians_.insert(name);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nRatios, ours / reference (below 1.0: ours is faster)\n");
    for (const auto& [name, ours] : times_) {
      const std::string prefix = "Ours";
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      const auto reference = times_.find("Remap" + name.substr(prefix.size()));
      if (reference != times_.end() && reference->second > 0)
        std::printf("  %-32s %.3f\n", name.substr(prefix.size()).c_str(), ours / reference->second);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterAll();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
