// The frame sampler's per-frame cost on the streaming thread: keeping the
// newest frame, with and without undistortion, with and without the frame
// log. The counter "frame_period_share" is the thread CPU time per frame
// divided by the frame period at 30 fps (1.0 would use the whole period), so a
// busy machine does not skew it.
//
// Arguments: width, height, undistort (0/1), log (0/1).

#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sources/FrameSampler.h"

namespace {

constexpr double kFramePeriod30 = 1.0 / 30.0;

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

CameraParameters LensFor(int width, int height) {
  CameraParameters camera;
  camera.K = {0.9 * width, 0, width / 2.0, 0, 0.9 * width, height / 2.0, 0, 0, 1};
  camera.distortion = {-0.25, 0.08, 0.001, -0.001, 0};
  camera.width = width;
  camera.height = height;
  return camera;
}

void BM_SampleCB(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const bool undistort = state.range(2) != 0, log = state.range(3) != 0;
  const int stride = (3 * width + 3) / 4 * 4;
  std::vector<uint8_t> buffer(static_cast<size_t>(stride) * height);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 31 % 251);

  CSourceFrameSampler sampler;
  DShow::MediaType type;
  type.valid = true;
  type.width = width;
  type.height = height;
  type.stride = stride;
  sampler.SetMediaType(type);
  DShow::MediaSample sample;
  sample.data = buffer.data();
  sample.size = buffer.size();
  sample.hasTime = true;
  sampler.SampleCB(0.0, sample);  // learns the format
  if (undistort && !sampler.EnableUndistortion(LensFor(width, height))) {
    state.SkipWithError("no undistortion table");
    return;
  }
  char logPath[] = "/tmp/lentora-bench-sync-XXXXXX";
  const int fd = log ? mkstemp(logPath) : -1;
  if (fd >= 0) close(fd);
  if (log && (fd < 0 || !sampler.OpenLog(logPath))) {
    state.SkipWithError("no frame log");
    return;
  }
  const double start = ThreadSeconds();
  for (auto _ : state) {
    sampler.SampleCB(0.0, sample);
    sample.startTime += 333333;
    benchmark::ClobberMemory();
  }
  const double perFrame = (ThreadSeconds() - start) / static_cast<double>(state.iterations());
  if (log) {
    sampler.CloseLog();
    std::remove(logPath);
  }
  state.counters["frame_period_share"] = perFrame / kFramePeriod30;
}

BENCHMARK(BM_SampleCB)
    ->ArgNames({"width", "height", "undistort", "log"})
    ->Args({640, 480, 0, 0})
    ->Args({640, 480, 1, 0})
    ->Args({640, 480, 0, 1})
    ->Args({1920, 1080, 0, 0})
    ->Args({1920, 1080, 1, 0})
    ->Args({1920, 1080, 1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
