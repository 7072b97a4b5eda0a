// How often the live guidance looks for the board when two workbench windows
// play the two capture machines over loopback: the virtual rig's left camera
// records as the server, its right camera as the client (30 frames per
// second, 640 x 480 each, linked by the recording's sync socket), both with
// the rig's grid, automatic capture off. Per window: board
// searches finished per second, the share of the frames offered to the
// guidance that it searched, the worker time per search and its share of a
// core, frames the preview showed per second, frames the device dropped, and
// the share of the search results that counted for both machines. The
// guidance is switched off and on in turn, several rounds, so that the frames
// dropped with it on can be set against those dropped anyway under the same
// load; as the machine is, and with two busy threads beside the windows (at
// normal priority: they take cores from the devices' rendering too).
//
//   bench_two_machine_guidance [--benchmark_...]
//   (LENTORA_BENCH_SECONDS per state and round, default 10; LENTORA_BENCH_ROUNDS, default 3)

#include <benchmark/benchmark.h>

#include <QUdpSocket>
#include <algorithm>
#include <array>
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

// `share`: of the search results, those that counted for both machines.
void Report(benchmark::State& state, const char* side, const Counts& c, double share, double seconds) {
  const double offered = c.started + c.passedBy;
  std::printf("  %-6s %.2f searches/s, %.0f%% of %.0f frames offered searched, %.1f ms a search (%.0f%% of a core), "
              "preview %.1f fps, %.0f dropped; %.0f%% of the results counted for both machines\n",
              side, c.finished / seconds, offered > 0 ? 100.0 * c.started / offered : 0.0, offered,
              c.finished > 0 ? c.searchMs / c.finished : 0.0, c.searchMs / (10.0 * seconds), c.shown / seconds,
              c.dropped, 100.0 * share);
  const std::string prefix(side);
  state.counters[prefix + "_searches_per_s"] = c.finished / seconds;
  state.counters[prefix + "_share_searched"] = offered > 0 ? c.started / offered : 0.0;
  state.counters[prefix + "_shown_fps"] = c.shown / seconds;
  state.counters[prefix + "_dropped_on"] = c.dropped;
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

struct Measured {
  Counts counts;
  int updates = 0, counted = 0;
};

// One span of `ms` with the guidance in `detect`, added to each window's totals.
void Measure(bool detect, int ms, CVideoCaptureControl& server, CVideoCaptureControl& client,
             std::array<Measured, 2>& totals) {
  LiveGuidanceOptions options;
  options.detect = detect;
  options.autoCapture = false;
  SetLiveGuidanceOptions(options);
  Wait(1000);  // let the state settle
  CVideoCaptureControl* sides[2] = {&server, &client};
  Counts before[2];
  Counted counted[2];
  for (int side = 0; side < 2; ++side) {
    before[side] = Counts::Of(*sides[side]);
    counted[side].Connect(*sides[side]->Guidance());
  }
  Wait(ms);
  for (int side = 0; side < 2; ++side) {
    const Counts spent = Counts::Of(*sides[side]).Since(before[side]);
    Counts& total = totals[static_cast<size_t>(side)].counts;
    total = {total.started + spent.started, total.finished + spent.finished, total.passedBy + spent.passedBy,
             total.searchMs + spent.searchMs, total.shown + spent.shown, total.dropped + spent.dropped};
    totals[static_cast<size_t>(side)].updates += counted[side].updates;
    totals[static_cast<size_t>(side)].counted += counted[side].counted;
  }
}

void BM_TwoMachineGuidance(benchmark::State& state, int busyThreads) {
  Application();
  const int seconds = std::max(2, FromEnvironment("LENTORA_BENCH_SECONDS", 10));
  const int rounds = std::max(1, FromEnvironment("LENTORA_BENCH_ROUNDS", 3));
  setenv(kVirtualRigVariable, "size=640x480,fps=30", 1);
  VirtualRig rig;
  VirtualRigFromEnvironment(rig);
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "lentora_bench_two_machines";
  std::filesystem::create_directories(folder);
  setenv("LENTORA_OUTPUT_DIR", folder.c_str(), 1);
  const LiveGuidanceOptions saved = CurrentLiveGuidanceOptions();
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
    Wait(2000);  // both running
    // Off and on in turn, the order turned each round, so both see the same load of a shared machine.
    std::array<Measured, 2> off, on;
    for (int round = 0; round < rounds; ++round)
      for (int k = 0; k < 2; ++k) {
        const bool detect = (round + k) % 2 == 1;
        Measure(detect, 1000 * seconds, *server, *client, detect ? on : off);
      }
    const double total = static_cast<double>(rounds * seconds);
    std::printf("%d busy threads beside the two windows, %d rounds of %d s each state:\n", busyThreads, rounds,
                seconds);
    const char* names[2] = {"server", "client"};
    for (size_t side = 0; side < 2; ++side) {
      const double share = on[side].updates > 0 ? static_cast<double>(on[side].counted) / on[side].updates : 0.0;
      Report(state, names[side], on[side].counts, share, total);
      std::printf("  %-6s guidance off: preview %.1f fps, %.0f dropped\n", names[side],
                  off[side].counts.shown / total, off[side].counts.dropped);
      state.counters[std::string(names[side]) + "_dropped_off"] = off[side].counts.dropped;
    }
    std::fflush(stdout);
    server->OnStop();
    Wait(500);
    server->Graph()->Sampler()->CloseLog();
    client->Graph()->Sampler()->CloseLog();
  }
  SetLiveGuidanceOptions(saved);
  unsetenv("LENTORA_OUTPUT_DIR");
  std::filesystem::remove_all(folder);
}
BENCHMARK_CAPTURE(BM_TwoMachineGuidance, as_the_machine_is, 0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_TwoMachineGuidance, two_busy_threads, 2)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
