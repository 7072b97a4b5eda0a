// How often the live guidance looks for the board when two workbench windows
// play the two capture machines over loopback: the virtual rig's left camera
// records as the server, its right camera as the client (30 frames per
// second, 640 x 480 each, linked by the recording's sync socket), both with
// the rig's grid, automatic capture off. Per window: board
// searches finished per second, the share of the frames offered to the
// guidance that it searched, the worker time per search and its share of a
// core, frames the preview showed per second, frames the device dropped, and
// the share of the search results that counted for both machines. With the
// guidance off and on, as the machine is and with two busy threads beside it
// (at normal priority: they take cores from the devices' rendering too, so
// the drops with the guidance off are the reference).
//
//   bench_two_machine_guidance [--benchmark_...]   (LENTORA_BENCH_SECONDS measured, default 20)

#include <benchmark/benchmark.h>

#include <QUdpSocket>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "LiveWindow.h"
#include "core/CalibrationData.h"
#include "sources/ClientSocket.h"
#include "sources/media/VirtualRig.h"
#include "ui/LiveGuidance.h"
#include "ui/StaticSourcesView.h"
#include "ui/VideoCaptureControl.h"
#include "ui/WorkbenchDlg.h"

namespace {

// Threads that keep a core each busy until the object goes.
class BusyThreads {
 public:
  explicit BusyThreads(int count) {
    for (int i = 0; i < count; ++i)
      threads_.emplace_back([this] {
        volatile double x = 1.0;
        while (!stop_.load(std::memory_order_relaxed)) x = x * 1.0000001 + 1e-9;
      });
  }
  ~BusyThreads() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// Searches whose frame counted: the board found here, and the other machine's last word that it sees it too.
struct Counted {
  int updates = 0, counted = 0;
  QMetaObject::Connection connection;

  ~Counted() { QObject::disconnect(connection); }
  void Connect(CLiveGuidance& live) {
    connection = QObject::connect(&live, &CLiveGuidance::updated, [this, &live] {
      const LiveGuidanceShown& shown = live.Shown();
      if (!shown.active) return;
      ++updates;
      counted += std::none_of(shown.missing.begin(), shown.missing.end(), [](bool m) { return m; }) &&
                 !shown.peerMissing;
    });
  }
};

struct Counts {
  double started = 0, finished = 0, passedBy = 0, searchMs = 0, shown = 0, dropped = 0;

  static Counts Of(CVideoCaptureControl& control) {
    CLiveGuidance& live = *control.Guidance();
    uint64_t dropped = 0;
    control.Graph()->GetDroppedFrames(&dropped);
    return {static_cast<double>(live.SearchesStarted()), static_cast<double>(live.SearchesFinished()),
            static_cast<double>(live.FramesPassedBy()), live.SearchMilliseconds(),
            static_cast<double>(control.VideoView()->FramesShown()), static_cast<double>(dropped)};
  }
  Counts Since(const Counts& before) const {
    return {started - before.started, finished - before.finished, passedBy - before.passedBy,
            searchMs - before.searchMs, shown - before.shown, dropped - before.dropped};
  }
};

void Report(benchmark::State& state, const char* side, const Counts& c, const Counted& counted, double seconds) {
  const double offered = c.started + c.passedBy;
  const double share = counted.updates > 0 ? static_cast<double>(counted.counted) / counted.updates : 0.0;
  std::printf("  %-6s %.2f searches/s, %.0f%% of %.0f frames offered searched, %.1f ms a search (%.0f%% of a core), "
              "preview %.1f fps, %.0f dropped; %.0f%% of the results counted for both machines\n",
              side, c.finished / seconds, offered > 0 ? 100.0 * c.started / offered : 0.0, offered,
              c.finished > 0 ? c.searchMs / c.finished : 0.0, c.searchMs / (10.0 * seconds), c.shown / seconds,
              c.dropped, 100.0 * share);
  const std::string prefix(side);
  state.counters[prefix + "_searches_per_s"] = c.finished / seconds;
  state.counters[prefix + "_share_searched"] = offered > 0 ? c.started / offered : 0.0;
  state.counters[prefix + "_shown_fps"] = c.shown / seconds;
  state.counters[prefix + "_dropped"] = c.dropped;
  state.counters[prefix + "_share_counted"] = share;
}

uint16_t UnusedPort(uint16_t other = 0) {
  for (;;) {
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    if (probe.localPort() != other) return probe.localPort();
  }
}

CVideoCaptureControl* LiveCamera(CWorkbenchDlg& window, const char* device, const GridDescription& grid) {
  auto* sources = window.SourcesView();
  auto* control = dynamic_cast<CVideoCaptureControl*>(sources->AddLiveSource(DeviceNumber(device), device));
  if (!control) return nullptr;
  if (window.Data().GetCameraCount() == 0) window.Data().AddCamera();  // the camera the source feeds
  window.Data().SetGrid(0, grid);
  const QRect entry = sources->PanelRect(0);
  sources->Click(entry.center().x(), entry.top() + 5);  // selected: its control shows
  return control;
}

void BM_TwoMachineGuidance(benchmark::State& state, int busyThreads, bool detect) {
  Application();
  const int seconds = std::max(2, FromEnvironment("LENTORA_BENCH_SECONDS", 20));
  setenv(kVirtualRigVariable, "size=640x480,fps=30", 1);
  VirtualRig rig;
  VirtualRigFromEnvironment(rig);
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "lentora_bench_two_machines";
  std::filesystem::create_directories(folder);
  setenv("LENTORA_OUTPUT_DIR", folder.c_str(), 1);
  LiveGuidanceOptions options;
  options.detect = detect;
  options.autoCapture = false;
  SetLiveGuidanceOptions(options);
  for (auto _ : state) {
    CWorkbenchDlg serverWindow(""), clientWindow("");
    CVideoCaptureControl* server = LiveCamera(serverWindow, kVirtualLeftName, rig.grid);
    CVideoCaptureControl* client = LiveCamera(clientWindow, kVirtualRightName, rig.grid);
    if (!server || !client) {
      state.SkipWithError("no virtual rig devices");
      break;
    }
    const uint16_t serverPort = UnusedPort(), clientPort = UnusedPort(serverPort);
    // Each names the other's port: two programs on one machine.
    server->SetUpRecording({.fileName = (folder / "left.avi").string(), .networkSync = true, .client = false,
                            .serverAddress = "127.0.0.1", .port = serverPort, .peerPort = clientPort});
    client->SetUpRecording({.fileName = (folder / "right.avi").string(), .networkSync = true, .client = true,
                            .serverAddress = "127.0.0.1", .port = clientPort, .peerPort = serverPort});
    serverWindow.show();
    clientWindow.show();
    server->OnRun();
    const BusyThreads load(busyThreads);
    Wait(3000);  // both running, the guidance settled
    const Counts serverBefore = Counts::Of(*server), clientBefore = Counts::Of(*client);
    Counted serverCounted, clientCounted;
    serverCounted.Connect(*server->Guidance());
    clientCounted.Connect(*client->Guidance());
    Wait(1000 * seconds);
    const Counts serverCounts = Counts::Of(*server).Since(serverBefore);
    const Counts clientCounts = Counts::Of(*client).Since(clientBefore);
    std::printf("guidance %s, %d busy threads beside the two windows, %d s:\n", detect ? "on" : "off", busyThreads,
                seconds);
    Report(state, "server", serverCounts, serverCounted, seconds);
    Report(state, "client", clientCounts, clientCounted, seconds);
    std::fflush(stdout);
    server->OnStop();
    Wait(500);
    server->Graph()->Sampler()->CloseLog();
    client->Graph()->Sampler()->CloseLog();
  }
  unsetenv("LENTORA_OUTPUT_DIR");
  std::filesystem::remove_all(folder);
}
// Off beside on: what the preview drops with the guidance on is set against what it drops anyway.
BENCHMARK_CAPTURE(BM_TwoMachineGuidance, off, 0, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_TwoMachineGuidance, on, 0, true)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_TwoMachineGuidance, off_two_busy_threads, 2, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_TwoMachineGuidance, on_two_busy_threads, 2, true)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
