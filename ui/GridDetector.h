#pragma once
// Grid detection for the workbench: searches views on worker threads, one
// view per core at a time, and stores each result in the store on the
// user-interface thread, so the windows never wait for it. Results are stored
// in the order the views were queued, whatever order the searches end in.
// Serves the object editor's "Detect grid", the data panel's "Detect all" (a
// batch with progress and Cancel) and views that arrive from image files or
// captured frames.

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "imaging/ViewImage.h"

#include "grid/GridDetection.h"
#include "grid/GridSizeSearch.h"
#include "ui/ApplicationSettings.h"

class CCalibrationData;

// What a "Detect all" run found.
struct DetectionSummary {
  int camera = -1;
  int views = 0;     // views the run was asked to search
  int searched = 0;  // views searched before it ended or was cancelled
  int found = 0;
  std::vector<std::pair<int, GridStatus>> missed;  // view and reason
  bool cancelled = false;
  GridDescription grid;                // the grid searched for
  std::optional<GridSizeHint> hint;    // a board of another size, when none of this grid was found
};

// "k of n views detected", then the views not found (numbered from 1, as the
// cameras are) with their reasons, and how many a Cancel left unsearched.
// With a size hint, the hint takes the place of the list of misses.
QString DetectionSummaryText(const DetectionSummary& summary);

// The number of views of every camera, to tell afterwards which ones arrived.
std::vector<int> ViewCounts(const CCalibrationData& store);

class CGridDetector : public QObject {
  Q_OBJECT
 public:
  // Application settings key (bool, default true): detect views as they arrive.
  static constexpr const char* kDetectOnArrivalKey = ::kDetectOnArrivalKey;

  // Searches on `threads` workers at once; 0: one per core.
  explicit CGridDetector(CCalibrationData* store, QObject* parent = nullptr, int threads = 0);
  ~CGridDetector() override;  // drops the queue and waits for the views being searched
  int Threads() const { return worker_.maxThreadCount(); }

  // True when the camera's grid can be searched for (at least 3 x 3 corners).
  bool CanDetect(int camera) const;
  // Queues one view; false when the camera cannot be searched or has no such view.
  bool DetectView(int camera, int view);
  // Queues every view of the camera as a batch; false when a batch is running,
  // the camera cannot be searched or has no views. When the grid is found in
  // no view, the batch goes on to look for a board of another likely size
  // (sizeSearchStarted) and reports it in the summary's hint.
  bool DetectAll(int camera);
  // Ends the batch: its views not yet searched are dropped and the one being
  // searched is not stored. Emits batchFinished with cancelled set.
  void CancelBatch();
  bool BatchRunning() const { return batch_.has_value(); }
  // Queues the views added since `before` (from ViewCounts) of every camera
  // that can be searched, when the application setting allows it.
  void DetectArrivals(const std::vector<int>& before);
  static bool DetectOnArrival();

  // Views queued, being searched, or searched and waiting for an earlier one.
  int Pending() const { return static_cast<int>(jobs_.size()); }

 signals:
  // After a searched view's result was stored (status Ok) or not.
  void viewDetected(int camera, int view, GridStatus status);
  void batchProgress(int searched, int views);
  void sizeSearchStarted();
  void batchFinished(const DetectionSummary& summary);

 private:
  struct Job {
    uint64_t sequence = 0;
    int camera = 0;
    int view = 0;
    bool batch = false;
    uint64_t imageId = 0;  // the view's picture when the search began
    GridDescription grid;
  };
  struct Slot {
    Job job;
    bool running = false;
    bool discarded = false;
    std::optional<GridDetection> result;  // set once searched (or refused before)
  };

  void Enqueue(int camera, int view, bool batch);
  void StartNext();
  void Finish(uint64_t sequence, const GridDetection& detection);
  // Stores and reports the searched views in queue order, up to the first not searched yet.
  void ApplyInOrder();
  void Report(const Job& job, GridStatus status);
  GridStatus Store(const Job& job, const GridDetection& detection);
  void CountForBatch(const Job& job, GridStatus status);
  void StartSizeSearch();
  void FinishBatch();

  CCalibrationData* store_;
  QThreadPool worker_;
  std::deque<uint64_t> queue_;       // not started, in order
  std::map<uint64_t, Slot> jobs_;    // every job not yet applied, by sequence
  uint64_t nextSequence_ = 1;
  int running_ = 0;
  std::optional<DetectionSummary> batch_;
  // The size search of the current batch; a Cancel sets its flag and a new
  // batch gets a new one, so a late answer cannot reach the wrong batch.
  std::shared_ptr<std::atomic<bool>> sizeSearchCancel_;
};
