// What looking for the board in the preview costs the preview, in the real
// workbench window: the virtual rig's left camera (30 frames per second,
// 640 x 480) previewing for a camera with the rig's grid, with the guidance
// off, on, and drawn only (one search's outline and bars over every frame, no
// further searches), in turn: several rounds, the order turned each round, so
// every state sees the same load of a shared machine. Per state, summed over
// the rounds: frames the device dropped (gaps in its frame numbers), frames the
// graph passed and the preview showed per second, and, with the guidance on,
// board searches finished per second, the share of one core they took and the
// window's time per frame drawing over it. The
// preview's rate with the guidance on is also given as a share of its rate
// with it off, measured in the same run.
//
//   bench_live_guidance [--benchmark_...]
//   (LENTORA_BENCH_SECONDS per state and round, default 8; LENTORA_BENCH_ROUNDS, default 3)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "LiveWindow.h"
#include "core/CalibrationData.h"
#include "sources/media/VirtualRig.h"
#include "ui/LiveGuidance.h"
#include "ui/StaticSourcesView.h"
#include "ui/VideoCaptureControl.h"
#include "ui/WorkbenchDlg.h"

namespace {

struct Sample {
  double seconds = 0.0;
  double dropped = 0.0;    // by the device
  double passed = 0.0;     // frames through the graph
  double shown = 0.0;      // frames the preview showed
  double searches = 0.0;   // board searches finished
  double searchMs = 0.0;   // worker time they took
  double paintMs = 0.0;    // window time drawing the outline and bars

  void Add(const Sample& other) {
    seconds += other.seconds;
    dropped += other.dropped;
    passed += other.passed;
    shown += other.shown;
    searches += other.searches;
    searchMs += other.searchMs;
    paintMs += other.paintMs;
  }
};

uint64_t Dropped(CVideoCaptureControl& control) {
  uint64_t dropped = 0;
  control.Graph()->GetDroppedFrames(&dropped);
  return dropped;
}

enum class Guidance { kOff, kDrawnOnly, kOn };

// kDrawnOnly: one search's outline and bars drawn over every frame, no further searches.
Sample Measure(CVideoCaptureControl& control, Guidance state, int ms) {
  LiveGuidanceOptions options;
  options.detect = state != Guidance::kOff;
  SetLiveGuidanceOptions(options);
  CLiveGuidance& live = *control.Guidance();
  live.SetPacing({});
  if (state == Guidance::kDrawnOnly) {
    for (int waited = 0; waited < 5000 && !live.Shown().active; waited += 50) Wait(50);
    live.SetPacing({1e12, 0.25});
  }
  Wait(1000);  // let the state settle
  const uint64_t dropped = Dropped(control), passed = control.Graph()->FramesGrabbed();
  const int shown = control.VideoView()->FramesShown(), searches = live.SearchesFinished();
  const double searchMs = live.SearchMilliseconds(), paintMs = live.PaintMilliseconds();
  Wait(ms);
  Sample sample;
  sample.seconds = ms / 1000.0;
  sample.dropped = static_cast<double>(Dropped(control) - dropped);
  sample.passed = static_cast<double>(control.Graph()->FramesGrabbed() - passed);
  sample.shown = control.VideoView()->FramesShown() - shown;
  sample.searches = live.SearchesFinished() - searches;
  sample.searchMs = live.SearchMilliseconds() - searchMs;
  sample.paintMs = live.PaintMilliseconds() - paintMs;
  return sample;
}

void BM_PreviewWithGuidance(benchmark::State& state) {
  Application();
  const int ms = 1000 * std::max(1, FromEnvironment("LENTORA_BENCH_SECONDS", 8));
  const int rounds = std::max(1, FromEnvironment("LENTORA_BENCH_ROUNDS", 3));
  setenv(kVirtualRigVariable, "size=640x480,fps=30", 1);
  VirtualRig rig;
  VirtualRigFromEnvironment(rig);
  for (auto _ : state) {
    CWorkbenchDlg window("");
    window.show();
    auto* sources = window.SourcesView();
    auto* control =
        dynamic_cast<CVideoCaptureControl*>(sources->AddLiveSource(DeviceNumber(kVirtualLeftName), kVirtualLeftName));
    if (control) window.Data().AddCamera();  // the camera the source feeds
    if (!control || window.Data().GetCameraCount() == 0) {
      state.SkipWithError("no virtual rig device");
      return;
    }
    window.Data().SetGrid(0, rig.grid);
    const QRect entry = sources->PanelRect(0);
    sources->Click(entry.center().x(), entry.top() + 5);  // selected: its control shows
    // Each round measures the three states in a turned order.
    const Guidance order[3] = {Guidance::kOff, Guidance::kOn, Guidance::kDrawnOnly};
    Sample samples[3];
    for (int round = 0; round < rounds; ++round) {
      std::printf("round %d:", round + 1);
      for (int k = 0; k < 3; ++k) {
        const int state = (round + k) % 3;
        const Sample sample = Measure(*control, order[state], ms);
        samples[state].Add(sample);
        std::printf(" %s %.0f dropped,", state == 0 ? "off" : state == 1 ? "on" : "drawn only", sample.dropped);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
    const Sample& off = samples[0];
    const Sample& on = samples[1];
    const Sample& drawn = samples[2];
    state.counters["dropped_drawn_only"] = drawn.dropped;
    state.counters["seconds_per_state"] = off.seconds;
    state.counters["dropped_off"] = off.dropped;
    state.counters["dropped_on"] = on.dropped;
    state.counters["passed_fps_off"] = off.passed / off.seconds;
    state.counters["passed_fps_on"] = on.passed / on.seconds;
    state.counters["shown_fps_off"] = off.shown / off.seconds;
    state.counters["shown_fps_on"] = on.shown / on.seconds;
    state.counters["shown_on_vs_off"] = off.shown > 0 ? (on.shown / on.seconds) / (off.shown / off.seconds) : 0.0;
    state.counters["searches_per_s"] = on.searches / on.seconds;
    state.counters["search_ms_each"] = on.searches > 0 ? on.searchMs / on.searches : 0.0;
    state.counters["search_core_share"] = on.searchMs / (1000.0 * on.seconds);
    state.counters["paint_ms_per_frame"] = on.shown > 0 ? on.paintMs / on.shown : 0.0;
  }
}
BENCHMARK(BM_PreviewWithGuidance)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
