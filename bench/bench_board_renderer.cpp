// The board renderer: one live-sized frame, and a synthetic workspace's views
// against the per-sample reference renderer in the same run.

#include <benchmark/benchmark.h>

#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"

namespace {

const GridDescription kGrid{30.0, 30.0, 9, 6, 5, 5};

// A 1280x960 frame as the virtual devices draw it (light blur, no noise), at
// 4x4 samples a pixel and at its exact area (argument 0).
void BM_LiveFrame1280x960(benchmark::State& state) {
  const SyntheticCamera camera = TypicalSyntheticCamera(1280, 960);
  const BoardRenderer renderer(camera);
  const std::vector<SyntheticPose> poses = MakeSyntheticPoses(8, kGrid, camera, nullptr, nullptr, 1);
  RenderOptions options;
  options.supersampling = static_cast<int>(state.range(0));
  options.blurSigma = 0.6;
  size_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(renderer.Render(poses[k++ % poses.size()], kGrid, options));
}
BENCHMARK(BM_LiveFrame1280x960)->Arg(4)->Arg(kExactPixelArea)->Unit(benchmark::kMillisecond);

// Views of `lentora synth` (blur 0.6, noise 2) at 1920x1080, the camera's table made once per workspace.
SyntheticOptions SynthOptions(int views) {
  SyntheticOptions options;
  options.views = views;
  options.camera = TypicalSyntheticCamera(1920, 1080);
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
  const SyntheticCamera camera = TypicalSyntheticCamera(1280, 960);
  const BoardRenderer renderer(camera);
  const std::vector<SyntheticPose> poses = MakeSyntheticPoses(8, kGrid, camera, nullptr, nullptr, 1);
  size_t k = 0;
  const int supersampling = static_cast<int>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(renderer.RenderGrey(poses[k++ % poses.size()], kGrid, supersampling));
}
BENCHMARK(BM_GreyOnly1280x960)->Arg(4)->Arg(kExactPixelArea)->Unit(benchmark::kMillisecond);
}
BENCHMARK_MAIN();
