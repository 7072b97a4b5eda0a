// The board renderer: one live-sized frame, and a synthetic workspace's views
// against the per-sample reference renderer in the same run.

#include <benchmark/benchmark.h>

#include "synth/BoardRenderer.h"

namespace {

SyntheticCamera Camera(int width, int height) {
  SyntheticCamera camera;
  camera.width = width;
  camera.height = height;
  camera.fx = camera.fy = 1.25 * width;
  camera.cx = (width - 1) / 2.0;
  camera.cy = (height - 1) / 2.0;
  camera.k1 = -0.12;
  camera.k2 = 0.04;
  camera.p1 = 0.0005;
  camera.p2 = -0.0003;
  return camera;
}

const GridDescription kGrid{30.0, 30.0, 9, 6, 5, 5};

// A 1280x960 frame as the virtual devices draw it (4x4 samples, light blur, no noise).
void BM_LiveFrame1280x960(benchmark::State& state) {
  const SyntheticCamera camera = Camera(1280, 960);
  const BoardRenderer renderer(camera);
  const std::vector<SyntheticPose> poses = MakeSyntheticPoses(8, kGrid, camera, nullptr, nullptr, 1);
  RenderOptions options;
  options.blurSigma = 0.6;
  size_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(renderer.Render(poses[k++ % poses.size()], kGrid, options));
}
BENCHMARK(BM_LiveFrame1280x960)->Unit(benchmark::kMillisecond);

// Views of `lentora synth` (blur 0.6, noise 2) at 1920x1080, the camera's table made once per workspace.
SyntheticOptions SynthOptions(int views) {
  SyntheticOptions options;
  options.views = views;
  options.camera = Camera(1920, 1080);
  options.render.blurSigma = 0.6;
  options.render.imageNoise = 2.0;
  return options;
}

void BM_SynthViews1920x1080_Fast(benchmark::State& state) {
  const SyntheticOptions options = SynthOptions(4);
  for (auto _ : state) benchmark::DoNotOptimize(MakeSyntheticRig(options));
  state.counters["views"] = 4;
}
BENCHMARK(BM_SynthViews1920x1080_Fast)->Unit(benchmark::kMillisecond);

void BM_SynthViews1920x1080_PerSampleReference(benchmark::State& state) {
  SyntheticOptions options = SynthOptions(4);
  options.renderImages = false;
  for (auto _ : state) {
    const SyntheticRig rig = MakeSyntheticRig(options);
    for (const SyntheticPose& pose : rig.cameras[0].poses)
      benchmark::DoNotOptimize(RenderBoardPerSample(options.camera, pose, options.grid, options.render));
  }
  state.counters["views"] = 4;
}
BENCHMARK(BM_SynthViews1920x1080_PerSampleReference)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace


namespace {
void BM_GreyOnly1280x960(benchmark::State& state) {
  const SyntheticCamera camera = Camera(1280, 960);
  const BoardRenderer renderer(camera);
  const std::vector<SyntheticPose> poses = MakeSyntheticPoses(8, kGrid, camera, nullptr, nullptr, 1);
  size_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(renderer.RenderGrey(poses[k++ % poses.size()], kGrid, 4));
}
BENCHMARK(BM_GreyOnly1280x960)->Unit(benchmark::kMillisecond);
}
BENCHMARK_MAIN();
