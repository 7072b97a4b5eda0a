// What a live source costs the machine in each state, in the real workbench
// window: the virtual rig's left camera (which renders every frame it sends)
// selected and previewing, selected after Stop, not shown (no entry
// selected), and recording. The counters are the whole process's CPU time
// per wall-clock second (1.0 = one core busy), and each state's share of the
// recording's, measured in the same run. A window that does nothing shows as
// "no source"; it is the floor the idle states should sit on.
//
//   bench_live_source_cpu [--benchmark_...]   (LENTORA_BENCH_SECONDS per state, default 4)

#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdlib>
#include <filesystem>

#include "LiveWindow.h"
#include "sources/media/VirtualRig.h"
#include "ui/StaticSourcesView.h"
#include "ui/VideoCaptureControl.h"
#include "ui/WorkbenchDlg.h"

namespace {

double ProcessSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// CPU seconds per wall second while the window sits in its present state.
double CoresBusyFor(int ms) {
  Wait(500);  // let a state change settle
  const double before = ProcessSeconds();
  Wait(ms);
  return (ProcessSeconds() - before) / (ms / 1000.0);
}

void BM_VirtualSourceCpu(benchmark::State& state) {
  Application();
  const char* seconds = std::getenv("LENTORA_BENCH_SECONDS");
  const int ms = 1000 * (seconds ? std::max(1, std::atoi(seconds)) : 4);
  const std::filesystem::path output = std::filesystem::temp_directory_path() / "lentora_bench_live_cpu";
  std::filesystem::create_directories(output);
  setenv("LENTORA_OUTPUT_DIR", output.c_str(), 1);
  for (auto _ : state) {
    CWorkbenchDlg window("");
    window.show();
    const double noSource = CoresBusyFor(ms);
    auto* sources = window.SourcesView();
    auto* control =
        dynamic_cast<CVideoCaptureControl*>(sources->AddLiveSource(DeviceNumber(kVirtualLeftName), kVirtualLeftName));
    if (!control) {
      state.SkipWithError("no virtual rig device");
      return;
    }
    const QRect entry = sources->PanelRect(0);
    sources->Click(entry.center().x(), entry.top() + 5);  // selected: its control shows
    const double previewing = CoresBusyFor(ms);
    control->OnStop();
    const double stopped = CoresBusyFor(ms);
    control->OnRun();
    sources->Click(entry.center().x(), sources->height() - 60);  // no entry: the control hides
    const double hidden = CoresBusyFor(ms);
    sources->Click(entry.center().x(), entry.top() + 5);
    CaptureRecordSettings settings;
    settings.fileName = (output / "bench.avi").string();
    control->SetUpRecording(settings);
    control->OnRun();
    const double recording = CoresBusyFor(ms);
    control->OnStop();
    state.counters["no_source"] = noSource;
    state.counters["previewing"] = previewing;
    state.counters["stopped"] = stopped;
    state.counters["not_shown"] = hidden;
    state.counters["recording"] = recording;
    state.counters["stopped_vs_recording"] = stopped / recording;
    state.counters["not_shown_vs_recording"] = hidden / recording;
    state.counters["previewing_vs_recording"] = previewing / recording;
  }
  std::filesystem::remove_all(output);
}
BENCHMARK(BM_VirtualSourceCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
