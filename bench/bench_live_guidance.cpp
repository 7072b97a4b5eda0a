// What looking for the board in the preview costs the preview, in the real
// workbench window: the virtual rig's left camera (30 frames per second,
// 640 x 480) previewing for a camera with the rig's grid, first with the
// guidance off, then on. Per state: frames the device dropped (gaps in its
// frame numbers), frames the graph passed and the preview showed per second,
// and, with the guidance on, board searches finished per second. The
// preview's rate with the guidance on is also given as a share of its rate
// with it off, measured in the same run.
//
//   bench_live_guidance [--benchmark_...]   (LENTORA_BENCH_SECONDS per state, default 10)

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/CalibrationData.h"
#include "sources/media/DShow.h"
#include "sources/media/VirtualRig.h"
#include "ui/LiveGuidance.h"
#include "ui/StaticSourcesView.h"
#include "ui/VideoCaptureControl.h"
#include "ui/WorkbenchDlg.h"

namespace {

void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

int DeviceNumber(const char* name) {
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  return 0;
}

QApplication& Application() {
  static int argc = 1;
  static char name[] = "bench_live_guidance";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* application = new QApplication(argc, argv);
  return *application;
}

struct Sample {
  double dropped = 0.0;    // by the device
  double passed = 0.0;     // frames per second through the graph
  double shown = 0.0;      // frames per second the preview showed
  double searches = 0.0;   // board searches finished per second
};

uint64_t Dropped(CVideoCaptureControl& control) {
  uint64_t dropped = 0;
  control.Graph()->GetDroppedFrames(&dropped);
  return dropped;
}

Sample Measure(CVideoCaptureControl& control, int ms) {
  Wait(1000);  // let the state settle
  const uint64_t dropped = Dropped(control), passed = control.Graph()->FramesGrabbed();
  const int shown = control.VideoView()->FramesShown(), searches = control.Guidance()->SearchesFinished();
  Wait(ms);
  const double seconds = ms / 1000.0;
  Sample sample;
  sample.dropped = static_cast<double>(Dropped(control) - dropped);
  sample.passed = static_cast<double>(control.Graph()->FramesGrabbed() - passed) / seconds;
  sample.shown = (control.VideoView()->FramesShown() - shown) / seconds;
  sample.searches = (control.Guidance()->SearchesFinished() - searches) / seconds;
  return sample;
}

void BM_PreviewWithGuidance(benchmark::State& state) {
  Application();
  const char* seconds = std::getenv("LENTORA_BENCH_SECONDS");
  const int ms = 1000 * (seconds ? std::max(1, std::atoi(seconds)) : 10);
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
    LiveGuidanceOptions options;
    options.detect = false;
    SetLiveGuidanceOptions(options);
    const Sample off = Measure(*control, ms);
    options.detect = true;
    SetLiveGuidanceOptions(options);
    const Sample on = Measure(*control, ms);
    state.counters["dropped_off"] = off.dropped;
    state.counters["dropped_on"] = on.dropped;
    state.counters["passed_fps_off"] = off.passed;
    state.counters["passed_fps_on"] = on.passed;
    state.counters["shown_fps_off"] = off.shown;
    state.counters["shown_fps_on"] = on.shown;
    state.counters["shown_on_vs_off"] = off.shown > 0 ? on.shown / off.shown : 0.0;
    state.counters["searches_per_s"] = on.searches;
  }
}
BENCHMARK(BM_PreviewWithGuidance)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
