#include "ui/GridDetector.h"

#include <QMetaObject>
#include <QSettings>
#include <QThread>
#include <algorithm>

#include "core/CalibrationData.h"

namespace {

// The window setting plays no part in a search.
bool SameGrid(const GridDescription& a, const GridDescription& b) { return a.nx == b.nx && a.ny == b.ny; }

}  // namespace

QString DetectionSummaryText(const DetectionSummary& summary) {
  QString text = QString("%1 of %2 views detected").arg(summary.found).arg(summary.views);
  if (summary.hint) {
    const GridDescription& board = summary.hint->grid;
    return text + QString("\n\n%1 \u2014 use %2 x %3?")
                      .arg(QString::fromStdString(GridSizeHintText(*summary.hint, summary.grid)))
                      .arg(board.nx)
                      .arg(board.ny);
  }
  if (!summary.missed.empty()) {
    text += "\n\nNot found:";
    for (const auto& [view, status] : summary.missed)
      text += QString("\nview %1: %2").arg(view + 1).arg(DescribeGridStatus(status));
  }
  const int unsearched = summary.views - summary.searched;
  if (summary.cancelled && unsearched > 0)
    text += QString("\n\nCancelled: %1 %2 not searched.").arg(unsearched).arg(unsearched == 1 ? "view was" : "views were");
  return text;
}

std::vector<int> ViewCounts(const CCalibrationData& store) {
  std::vector<int> counts;
  for (int camera = 0; camera < store.GetCameraCount(); ++camera) counts.push_back(store.GetViewCount(camera));
  return counts;
}

CGridDetector::CGridDetector(CCalibrationData* store, QObject* parent, int threads) : QObject(parent), store_(store) {
  worker_.setMaxThreadCount(threads > 0 ? threads : std::max(1, QThread::idealThreadCount()));
}

CGridDetector::~CGridDetector() {
  queue_.clear();
  if (sizeSearchCancel_) *sizeSearchCancel_ = true;
  // The searches in progress post their results to this object; once they
  // have finished, deleting the object drops those posted calls.
  worker_.waitForDone();
}

bool CGridDetector::CanDetect(int camera) const {
  if (!store_ || camera < 0 || camera >= store_->GetCameraCount()) return false;
  const GridDescription grid = store_->GetGrid(camera);
  return ValidateGrid(grid) == GridStatus::Ok && grid.nx >= 3 && grid.ny >= 3;
}

bool CGridDetector::DetectView(int camera, int view) {
  if (!CanDetect(camera) || view < 0 || view >= store_->GetViewCount(camera)) return false;
  Enqueue(camera, view, false);
  return true;
}

bool CGridDetector::DetectAll(int camera) {
  if (batch_ || !CanDetect(camera) || store_->GetViewCount(camera) == 0) return false;
  DetectionSummary summary;
  summary.camera = camera;
  summary.views = store_->GetViewCount(camera);
  summary.grid = store_->GetGrid(camera);
  batch_ = summary;
  for (int view = 0; view < summary.views; ++view) Enqueue(camera, view, true);
  return true;
}

void CGridDetector::CancelBatch() {
  if (!batch_) return;
  std::erase_if(queue_, [this](uint64_t sequence) { return jobs_.at(sequence).job.batch; });
  std::erase_if(jobs_, [](const auto& entry) { return entry.second.job.batch && !entry.second.running && !entry.second.result; });
  for (auto& [sequence, slot] : jobs_)
    if (slot.job.batch) slot.discarded = true;
  if (sizeSearchCancel_) *sizeSearchCancel_ = true;
  sizeSearchCancel_.reset();
  DetectionSummary summary = *batch_;
  summary.cancelled = true;
  batch_.reset();
  emit batchFinished(summary);
  ApplyInOrder();
}

bool CGridDetector::DetectOnArrival() {
  const QSettings settings = ApplicationSettings();
  return settings.value(kDetectOnArrivalKey, true).toBool();
}

void CGridDetector::DetectArrivals(const std::vector<int>& before) {
  if (!store_ || !DetectOnArrival()) return;
  for (int camera = 0; camera < store_->GetCameraCount(); ++camera) {
    if (!CanDetect(camera)) continue;
    const int known = camera < static_cast<int>(before.size()) ? before[camera] : 0;
    for (int view = known; view < store_->GetViewCount(camera); ++view) Enqueue(camera, view, false);
  }
}

void CGridDetector::Enqueue(int camera, int view, bool batch) {
  Job job;
  job.sequence = nextSequence_++;
  job.camera = camera;
  job.view = view;
  job.batch = batch;
  jobs_.emplace(job.sequence, Slot{job, false, false, std::nullopt});
  queue_.push_back(job.sequence);
  StartNext();
}

// A view's picture is decoded by the worker that searches it, so a long queue
// holds no pictures; the workers never touch the store.
void CGridDetector::StartNext() {
  while (running_ < worker_.maxThreadCount() && !queue_.empty()) {
    Slot& slot = jobs_.at(queue_.front());
    queue_.pop_front();
    Job& job = slot.job;
    if (!CanDetect(job.camera) || job.view < 0 || job.view >= store_->GetViewCount(job.camera)) {
      slot.result = GridDetection{GridStatus::NoView, {}, {}, false};
      continue;
    }
    const cv::Size size = store_->GetViewSize(job.camera, job.view);
    if (size.width != store_->GetImageWidth(job.camera) || size.height != store_->GetImageHeight(job.camera)) {
      slot.result = GridDetection{GridStatus::ImageSizeMismatch, {}, {}, false};
      continue;
    }
    job.imageId = store_->GetViewImageId(job.camera, job.view);
    job.grid = store_->GetGrid(job.camera);
    slot.running = true;
    ++running_;
    const ViewImageSource source = store_->GetViewImageSource(job.camera, job.view);
    const ViewPixels cached = store_->PeekViewImage(job.camera, job.view);
    const uint64_t sequence = job.sequence;
    const GridDescription grid = job.grid;
    worker_.start([this, sequence, source, cached, grid] {
      const GridDetection detection = DetectGridInPicture(source, cached, grid);
      QMetaObject::invokeMethod(this, [this, sequence, detection] { Finish(sequence, detection); }, Qt::QueuedConnection);
    });
  }
  ApplyInOrder();
}

void CGridDetector::Finish(uint64_t sequence, const GridDetection& detection) {
  --running_;
  if (const auto found = jobs_.find(sequence); found != jobs_.end()) {
    found->second.running = false;
    found->second.result = detection;
  }
  StartNext();
}

void CGridDetector::ApplyInOrder() {
  while (!jobs_.empty() && jobs_.begin()->second.result) {
    const Slot slot = std::move(jobs_.begin()->second);
    jobs_.erase(jobs_.begin());
    if (slot.discarded) continue;
    const bool searched = slot.job.imageId != 0;
    Report(slot.job, searched ? Store(slot.job, *slot.result) : slot.result->status);
  }
}

void CGridDetector::Report(const Job& job, GridStatus status) {
  emit viewDetected(job.camera, job.view, status);
  if (job.batch) CountForBatch(job, status);
}

// A result is stored only while the view still shows the searched picture
// and the camera's grid is the one searched for.
GridStatus CGridDetector::Store(const Job& job, const GridDetection& detection) {
  const bool sameImage = store_->GetViewImageId(job.camera, job.view) == job.imageId;
  const bool sameGrid = SameGrid(store_->GetGrid(job.camera), job.grid);
  if (!sameImage || !sameGrid) {
    if (detection.status != GridStatus::Ok) return detection.status;
    return sameImage ? GridStatus::WrongPointCount : GridStatus::NoView;
  }
  // A miss clears points that cannot pair with the grid (ApplyGridDetection).
  return ApplyGridDetection(*store_, job.camera, job.view, detection);
}

void CGridDetector::CountForBatch(const Job& job, GridStatus status) {
  if (!batch_ || batch_->camera != job.camera) return;
  ++batch_->searched;
  if (status == GridStatus::Ok)
    ++batch_->found;
  else
    batch_->missed.emplace_back(job.view, status);
  emit batchProgress(batch_->searched, batch_->views);
  if (batch_->searched < batch_->views) return;
  if (batch_->found == 0 && SameGrid(store_->GetGrid(batch_->camera), batch_->grid))
    StartSizeSearch();
  else
    FinishBatch();
}

void CGridDetector::FinishBatch() {
  const DetectionSummary summary = *batch_;
  batch_.reset();
  sizeSearchCancel_.reset();
  emit batchFinished(summary);
}

// Runs on a worker once every view of the batch was searched. The worker
// decodes one view at a time from its source (a view removed meanwhile
// keeps its source alive in the copy), so no camera's pictures are all held
// at once.
void CGridDetector::StartSizeSearch() {
  std::vector<ViewImageSource> views;
  for (int view = 0; view < store_->GetViewCount(batch_->camera); ++view)
    if (!store_->ViewMissingImage(batch_->camera, view)) views.push_back(store_->GetViewImageSource(batch_->camera, view));
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  sizeSearchCancel_ = cancel;
  emit sizeSearchStarted();
  const GridDescription grid = batch_->grid;
  worker_.start([this, views, grid, cancel] {
    const ViewSupply supply{views.size(), [&views](size_t v) { return views[v].Decode(); }};
    std::optional<GridSizeHint> hint = FindLikelyGridSize(supply, grid, cancel.get());
    QMetaObject::invokeMethod(
        this,
        [this, hint = std::move(hint), cancel] {
          if (cancel != sizeSearchCancel_ || !batch_) return;  // cancelled or replaced meanwhile
          batch_->hint = hint;
          FinishBatch();
        },
        Qt::QueuedConnection);
  });
}
