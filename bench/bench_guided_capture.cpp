// A guided collection on the virtual rig's left camera: frames rendered for
// every frame slot at 30 per second go through the preview's guidance with
// automatic capture on, while the board sweeps the whole picture (its middle
// reaching as near the picture's edges as its size allows, 500 to 900 mm
// away, tilted up to 35 degrees). After each captured view from the sixth on
// the camera is calibrated and judged; the run stops at "Enough views" (or
// after LENTORA_BENCH_SECONDS of the rig's time, default 120). Then the
// calibration is set against the rig's true camera, cell by cell of its
// uncertainty map (tests/support/ProjectionAgainstTruth.h): the error of
// each cell against its predicted sigma.
//
//   bench_guided_capture [--benchmark_...]   (LENTORA_VIRTUAL_RIG sets the camera, lens and grid)

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/CalibrationService.h"
#include "app/ViewGuidance.h"
#include "calib/CalibrationDiagnostics.h"
#include "core/CalibrationData.h"
#include "sources/media/VirtualRig.h"
#include "support/ProjectionAgainstTruth.h"
#include "SweepingBoard.h"
#include "synth/BoardRenderer.h"
#include "ui/LiveGuidance.h"

namespace {

QCoreApplication& Application() {
  static int argc = 1;
  static char name[] = "bench_guided_capture";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* application = new QCoreApplication(argc, argv);
  return *application;
}

void BM_GuidedCaptureUntilEnough(benchmark::State& state) {
  Application();
  const char* seconds = std::getenv("LENTORA_BENCH_SECONDS");
  const double rigSeconds = seconds ? std::max(1, std::atoi(seconds)) : 120;
  const char* description = std::getenv(kVirtualRigVariable);
  VirtualRig rig;
  if (!ParseVirtualRig(description ? description : "size=640x480", rig).empty()) {
    state.SkipWithError("bad rig description");
    return;
  }
  for (auto _ : state) {
    CCalibrationData store;
    store.AddCamera();
    store.SetGrid(0, rig.grid);
    SourceSettings settings;
    settings.subViewCamera[0] = 0;
    LiveGuidanceOptions options;
    options.autoCapture = true;
    SetLiveGuidanceOptions(options);
    CLiveGuidance::Hooks hooks;
    hooks.store = [&store] { return &store; };
    hooks.settings = [&settings] { return settings; };
    CLiveGuidance guidance(hooks);
    guidance.SetPacing({0.0, 0.0});  // the rig's clock is not the wall clock here: every frame is searched
    const BoardRenderer renderer(rig.left);
    std::vector<SyntheticPose> capturedPoses;
    CameraGuidance judged;
    int frames = 0;
    QElapsedTimer wall;
    wall.start();
    for (double tick = 0.0; tick < 1000.0 * rigSeconds && !judged.verdict.enough; tick += rig.FramePeriodMs()) {
      const SyntheticPose pose = SweepingPoseAt(rig, tick / 1000.0);
      const int views = store.GetViewCount(0);
      guidance.OfferFrame(renderer.Render(pose, rig.grid, rig.render));
      ++frames;
      while (guidance.Searching()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
      if (store.GetViewCount(0) == views) continue;
      capturedPoses.push_back(pose);
      if (store.GetViewCount(0) < 6 || !CalibrateCamera(store, 0).ok) continue;
      judged = GuidanceOf(store, 0);
      std::printf("%6.1f s: %2d views, %s\n", tick / 1000.0, store.GetViewCount(0), judged.verdict.text.c_str());
      std::fflush(stdout);
    }
    state.counters["rig_seconds"] = frames * rig.FramePeriodMs() / 1000.0;
    state.counters["wall_seconds"] = wall.elapsed() / 1000.0;
    state.counters["views"] = store.GetViewCount(0);
    state.counters["enough"] = judged.verdict.enough ? 1.0 : 0.0;
    if (!judged.hasRun) continue;
    const CameraFit fit = FitOf(store.GetCalibrationProblem(0));
    std::vector<SyntheticPose> truePoses;
    for (int view : fit.views) truePoses.push_back(capturedPoses[static_cast<size_t>(view)]);
    const truth_comparison::Comparison compared =
        truth_comparison::CompareWithTruth(fit, truePoses, rig.left.ToParameters(), rig.grid, judged.uncertainty);
    state.counters["predicted_centre90_px"] = judged.uncertainty.centre90;
    state.counters["predicted_worst_px"] = judged.uncertainty.worst;
    state.counters["error_central_worst_px"] = compared.centralWorstError;
    state.counters["error_worst_px"] = compared.worstError;
    state.counters["error_vs_sigma_worst"] = compared.worstRatio;
    state.counters["error_vs_sigma_rms"] = compared.rmsRatio;
    state.counters["cells_within_2sigma"] = compared.withinTwoSigma;
    state.counters["cells_within_3sigma"] = compared.withinThreeSigma;
  }
}
BENCHMARK(BM_GuidedCaptureUntilEnough)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
