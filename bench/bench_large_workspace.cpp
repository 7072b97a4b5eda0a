// Loading a workspace, and loading and calibrating it as `lentora calibrate`
// does, at 100, 200 and 500 views of 1280x960 (9x6, 0.2 px point noise),
// against the library decoding every view's file and keeping the pictures:
// what loading cost when the store held every view decoded. Each iteration
// runs ours, then the reference with the benchmark clock paused. The counters
// give both (thread CPU time, so that a busy machine skews the ratio as little
// as possible), their ratio, and the resident memory each added to the
// process at its peak, and that ratio.
//
// The views are rendered on the first use into one folder under the
// temporary directory, rewritten by every run.

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <map>

#include "app/CalibrationService.h"
#include "bench/LargeWorkspace.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLargestWorkspace = 500;

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

fs::path BenchFolder() { return fs::temp_directory_path() / "lentora-bench-large-workspace"; }

// The index file of a workspace of the first `count` rendered views.
const std::string& WorkspaceOf(int count) {
  static bench::RenderedViews views;
  static std::map<int, std::string> saved;
  if (auto found = saved.find(count); found != saved.end()) return found->second;
  if (views.files.empty()) {
    fs::remove_all(BenchFolder());
    views = bench::RenderViews(BenchFolder() / "rendered", kLargestWorkspace, 1280, 960);
  }
  return saved[count] = bench::SaveWorkspaceOfViews(views, count, BenchFolder() / std::to_string(count));
}

// What loading cost when every view was kept decoded: the library decodes
// every view file of the workspace and keeps the pictures.
bool DecodeEveryView(const std::string& index, int count) {
  std::vector<cv::Mat> pictures;
  for (int v = 0; v < count; ++v) {
    pictures.push_back(cv::imread(JoinPath(FolderOf(index), ViewImageFileName(0, v))));
    if (pictures.back().empty()) return false;
  }
  benchmark::DoNotOptimize(pictures.data());
  return true;
}

bool Load(const std::string& index, int count) {
  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, index);
  return loaded.ok && data.GetViewCount(0) == count;
}

bool LoadAndCalibrate(const std::string& index, int count) {
  CCalibrationData data;
  const WorkspaceResult loaded = LoadWorkspace(data, index);
  return loaded.ok && data.GetViewCount(0) == count && CalibrateCamera(data, 0).ok;
}

// Runs `ours` and the reference on a workspace of state.range(0) views.
template <class Operation>
void AgainstDecoding(benchmark::State& state, Operation ours) {
  const int count = static_cast<int>(state.range(0));
  const std::string& index = WorkspaceOf(count);
  double oursSeconds = 0.0, referenceSeconds = 0.0, oursPeak = 0.0, referencePeak = 0.0;
  for (auto _ : state) {
    const bench::PeakMeter oursMeter;
    const double start = ThreadSeconds();
    if (!ours(index, count)) state.SkipWithError("our run failed");
    oursSeconds += ThreadSeconds() - start;
    oursPeak = std::max(oursPeak, oursMeter.AddedMegabytes());

    state.PauseTiming();
    const bench::PeakMeter referenceMeter;
    const double referenceStart = ThreadSeconds();
    if (!DecodeEveryView(index, count)) state.SkipWithError("the library could not decode a view");
    referenceSeconds += ThreadSeconds() - referenceStart;
    referencePeak = std::max(referencePeak, referenceMeter.AddedMegabytes());
    state.ResumeTiming();
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["views"] = count;
  state.counters["ours_ms"] = 1e3 * oursSeconds / iterations;
  state.counters["decode_ms"] = 1e3 * referenceSeconds / iterations;
  state.counters["time_ratio"] = referenceSeconds > 0.0 ? oursSeconds / referenceSeconds : 0.0;
  state.counters["ours_peak_mb"] = oursPeak;
  state.counters["decode_peak_mb"] = referencePeak;
  state.counters["memory_ratio"] = referencePeak > 0.0 ? oursPeak / referencePeak : 0.0;
}

void BM_LoadWorkspace(benchmark::State& state) { AgainstDecoding(state, Load); }
void BM_LoadAndCalibrate(benchmark::State& state) { AgainstDecoding(state, LoadAndCalibrate); }

BENCHMARK(BM_LoadWorkspace)->Arg(100)->Arg(200)->Arg(500)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndCalibrate)->Arg(100)->Arg(200)->Arg(500)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
