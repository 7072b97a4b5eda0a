#include "grid/DetectionRun.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "core/CalibrationData.h"

namespace {

// What a worker needs of a view, taken from the store before the run.
struct Work {
  ViewImageSource source;
  ViewPixels cached;
  GridDescription grid;
  uint64_t imageId = 0;
  GridStatus refused = GridStatus::Ok;  // not searched at all: why
};

Work Prepare(const CCalibrationData& store, const ViewToDetect& view) {
  Work work;
  if (view.camera < 0 || view.camera >= store.GetCameraCount() || view.view < 0 ||
      view.view >= store.GetViewCount(view.camera)) {
    work.refused = GridStatus::NoView;
    return work;
  }
  const cv::Size size = store.GetViewSize(view.camera, view.view);
  if (size.width != store.GetImageWidth(view.camera) || size.height != store.GetImageHeight(view.camera)) {
    work.refused = GridStatus::ImageSizeMismatch;
    return work;
  }
  work.source = store.GetViewImageSource(view.camera, view.view);
  work.cached = store.PeekViewImage(view.camera, view.view);
  work.grid = store.GetGrid(view.camera);
  work.imageId = store.GetViewImageId(view.camera, view.view);
  return work;
}

GridDetection Search(const Work& work) {
  GridDetection detection;
  if (work.refused != GridStatus::Ok) {
    detection.status = work.refused;
    return detection;
  }
  try {
    return DetectGridInPicture(work.source, work.cached, work.grid);
  } catch (const std::exception&) {
    detection.status = GridStatus::BadImage;  // out of memory on a huge picture, say
    return detection;
  }
}

// Results handed from the workers to the calling thread.
class Mailbox {
 public:
  explicit Mailbox(size_t count) : results_(count) {}

  void Post(size_t index, GridDetection detection) {
    {
      std::lock_guard lock(mutex_);
      results_[index] = std::move(detection);
    }
    arrived_.notify_all();
  }

  GridDetection Take(size_t index) {
    std::unique_lock lock(mutex_);
    arrived_.wait(lock, [&] { return results_[index].has_value(); });
    GridDetection detection = std::move(*results_[index]);
    results_[index].reset();
    return detection;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::optional<GridDetection>> results_;
};

}  // namespace

int DetectionThreads(int requested) {
  if (requested > 0) return requested;
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

std::vector<DetectedView> DetectViews(CCalibrationData& store, const std::vector<ViewToDetect>& views, int threads,
                                      const std::function<void(const DetectedView&)>& each,
                                      const std::atomic<bool>* cancel) {
  std::vector<Work> work;
  work.reserve(views.size());
  for (const ViewToDetect& view : views) work.push_back(Prepare(store, view));

  Mailbox mailbox(views.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  const auto searchViews = [&] {
    for (size_t i; !stop.load() && (i = next.fetch_add(1)) < work.size();) mailbox.Post(i, Search(work[i]));
  };
  std::vector<std::thread> workers;
  const int count = std::min(DetectionThreads(threads), static_cast<int>(std::max<size_t>(views.size(), 1)));
  for (int t = 0; t < count; ++t) workers.emplace_back(searchViews);

  std::vector<DetectedView> stored;
  for (size_t i = 0; i < views.size(); ++i) {
    GridDetection detection = mailbox.Take(i);
    if (cancel != nullptr && cancel->load()) break;
    DetectedView outcome{views[i].camera, views[i].view, std::move(detection), false};
    const bool searched = work[i].refused == GridStatus::Ok;
    // A view whose picture was replaced meanwhile keeps what it has.
    if (searched && store.GetViewImageId(outcome.camera, outcome.view) == work[i].imageId) {
      const GridStatus applied = ApplyGridDetection(store, outcome.camera, outcome.view, outcome.detection, &outcome.cleared);
      if (applied != outcome.detection.status) outcome.detection = GridDetection{applied, {}, {}, false};
    }
    if (each) each(outcome);
    stored.push_back(std::move(outcome));
  }
  stop = true;
  for (std::thread& worker : workers) worker.join();
  return stored;
}
