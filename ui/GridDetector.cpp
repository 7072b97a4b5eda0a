#include "ui/GridDetector.h"

#include <QMetaObject>
#include <QSettings>
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

CGridDetector::CGridDetector(CCalibrationData* store, QObject* parent) : QObject(parent), store_(store) {
  worker_.setMaxThreadCount(1);
}

CGridDetector::~CGridDetector() {
  queue_.clear();
  if (sizeSearchCancel_) *sizeSearchCancel_ = true;
  // The search in progress posts its result to this object; once it has
  // finished, deleting the object drops that posted call.
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
  std::erase_if(queue_, [](const Job& job) { return job.batch; });
  if (running_ && running_->batch) running_->discarded = true;
  if (sizeSearchCancel_) *sizeSearchCancel_ = true;
  sizeSearchCancel_.reset();
  DetectionSummary summary = *batch_;
  summary.cancelled = true;
  batch_.reset();
  emit batchFinished(summary);
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
  queue_.push_back(Job{camera, view, batch, nullptr, {}, false});
  if (!running_) StartNext();
}

// The image is copied when its search begins, so a long queue holds no
// pictures; the worker never touches the store.
void CGridDetector::StartNext() {
  while (!running_ && !queue_.empty()) {
    Job job = queue_.front();
    queue_.pop_front();
    const cv::Mat* image = store_->GetViewImage(job.camera, job.view);
    if (!image || !CanDetect(job.camera)) {
      Report(job, GridStatus::NoView);
      continue;
    }
    if (image->cols != store_->GetImageWidth(job.camera) || image->rows != store_->GetImageHeight(job.camera)) {
      Report(job, GridStatus::ImageSizeMismatch);
      continue;
    }
    job.source = image;
    job.grid = store_->GetGrid(job.camera);
    running_ = job;
    const cv::Mat copy = image->clone();
    worker_.start([this, job, copy] {
      const GridDetection detection = DetectGridInImage(copy, job.grid);
      QMetaObject::invokeMethod(this, [this, job, detection] { Finish(job, detection); }, Qt::QueuedConnection);
    });
  }
}

void CGridDetector::Finish(Job job, const GridDetection& detection) {
  if (running_ && running_->camera == job.camera && running_->view == job.view && running_->source == job.source) {
    job.discarded = running_->discarded;
    running_.reset();
  }
  if (!job.discarded) Report(job, Store(job, detection));
  StartNext();
}

void CGridDetector::Report(const Job& job, GridStatus status) {
  emit viewDetected(job.camera, job.view, status);
  if (job.batch) CountForBatch(job, status);
}

// A result is stored only while the view still shows the searched picture
// and the camera's grid is the one searched for.
GridStatus CGridDetector::Store(const Job& job, const GridDetection& detection) {
  const bool sameImage = store_->GetViewImage(job.camera, job.view) == job.source;
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

// Runs on the worker after the views queued before it. The views are shared,
// not copied: the store never writes a view's pixels, and a view removed
// meanwhile keeps its pixels alive in the shared matrix.
void CGridDetector::StartSizeSearch() {
  std::vector<cv::Mat> views;
  for (int view = 0; view < store_->GetViewCount(batch_->camera); ++view)
    if (!store_->ViewMissingImage(batch_->camera, view)) views.push_back(*store_->GetViewImage(batch_->camera, view));
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  sizeSearchCancel_ = cancel;
  emit sizeSearchStarted();
  const GridDescription grid = batch_->grid;
  worker_.start([this, views, grid, cancel] {
    std::optional<GridSizeHint> hint = FindLikelyGridSize(views, grid, cancel.get());
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
