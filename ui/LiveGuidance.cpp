#include "ui/LiveGuidance.h"

#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

#include "app/LiveCoverage.h"
#include "core/CalibrationData.h"
#include "imaging/GDI.h"
#include "sources/FrameSampler.h"

namespace {

std::mutex& OptionsLock() {
  static std::mutex lock;
  return lock;
}

std::optional<LiveGuidanceOptions>& StoredOptions() {
  static std::optional<LiveGuidanceOptions> options;
  return options;
}

constexpr int kGuidanceMaxAgeMs = 3000;
constexpr size_t kClockSamples = 20;

bool AllFound(const std::vector<LiveSubView>& views, int fedCameras) {
  return static_cast<int>(views.size()) == fedCameras &&
         std::all_of(views.begin(), views.end(), [](const LiveSubView& view) { return view.Found(); });
}

bool Searchable(const GridDescription& grid) {
  return ValidateGrid(grid) == GridStatus::Ok && grid.nx >= 3 && grid.ny >= 3;
}

bool SameGrid(const GridDescription& a, const GridDescription& b) {
  return a.nx == b.nx && a.ny == b.ny && a.dX == b.dX && a.dY == b.dY;
}

// The search shares the cores with the preview's streaming threads (and a
// device that renders or decodes in this process): it runs at the lowest
// priority, so the frames keep coming on time and the search takes what is
// left; on a busy machine its searches then take longer and the pacing
// spaces them further apart.
void YieldToThePreview() {
  thread_local bool lowered = false;
  if (lowered) return;
  lowered = true;
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

template <size_t N>
bool Split(const cv::Mat& frame, std::array<cv::Mat, N>& parts, int width, int height, bool fields) {
  for (cv::Mat& part : parts) part.create(height, width, CV_8UC3);
  if constexpr (N == 2) return GDI::SplitFrameStereo(frame, parts, false, fields);
  else return GDI::SplitFrameQuad(frame, parts, false, fields);
}

}  // namespace

LiveGuidanceOptions CurrentLiveGuidanceOptions() {
  std::lock_guard lock(OptionsLock());
  if (!StoredOptions()) StoredOptions() = LoadLiveGuidanceOptions();
  return *StoredOptions();
}

void SetLiveGuidanceOptions(const LiveGuidanceOptions& options) {
  std::lock_guard lock(OptionsLock());
  StoredOptions() = options;
}

std::vector<LiveSubView> CutLiveFrame(const cv::Mat& frame, const SourceSettings& settings,
                                      const std::vector<GridDescription>& grids) {
  std::vector<LiveSubView> views;
  if (frame.empty() || frame.type() != CV_8UC3) return views;
  const bool fields = settings.deinterlace == kDeinterlaceFields;
  const int step = fields ? 2 : 1;
  const auto add = [&](int index, cv::Mat image, cv::Rect area) -> LiveSubView* {
    const int camera = settings.subViewCamera[static_cast<size_t>(index)];
    if (camera < 0 || camera >= static_cast<int>(grids.size()) || !Searchable(grids[static_cast<size_t>(camera)]))
      return nullptr;
    LiveSubView view;
    view.camera = camera;
    view.image = std::move(image);
    view.area = area;
    view.rowStep = step;
    view.grid = grids[static_cast<size_t>(camera)];
    views.push_back(std::move(view));
    return &views.back();
  };
  switch (settings.split) {
    case kSplitNone: {
      // A capture keeps the whole frame here, fields and all.
      LiveSubView* added = add(0, frame, cv::Rect(0, 0, frame.cols, frame.rows));
      if (added) added->rowStep = 1;
      break;
    }
    case kSplitStereo: {
      const int width = frame.cols / 2, height = frame.rows / step;
      std::array<cv::Mat, 2> parts;
      if (!Split(frame, parts, width, height, fields)) break;
      for (int i = 0; i < 2; ++i) add(i, parts[static_cast<size_t>(i)], cv::Rect(i * width, 0, width, height * step));
      break;
    }
    case kSplitQuad: {
      const int width = frame.cols / 2, height = frame.rows / (2 * step);
      std::array<cv::Mat, 4> parts;
      if (!Split(frame, parts, width, height, fields)) break;
      for (int i = 0; i < 4; ++i)
        add(i, parts[static_cast<size_t>(i)], cv::Rect((i % 2) * width, (i / 2) * height * step, width, height * step));
      break;
    }
    default:
      break;
  }
  return views;
}

void DetectLiveBoards(std::vector<LiveSubView>& views) {
  for (LiveSubView& view : views)
    view.detection = DetectGridInImage(view.image, view.grid, BoardSearch::QuickFirst, SteepBoards::Skip);
}

void LocateLiveBoards(std::vector<LiveSubView>& views) {
  for (LiveSubView& view : views) view.detection = LocateGridRoughly(view.image, view.grid);
}

// ---- Guidance -----------------------------------------------------------------

struct CLiveGuidance::Search {
  cv::Mat frame;
  SourceSettings settings;
  std::vector<GridDescription> grids;
  int fedCameras = 0;  // parts of the frame that feed a camera
  std::vector<LiveSubView> views;
  // Rough corners first; a frame to be captured is searched again in full,
  // so that its views get refined corners.
  bool refined = false;
  double workMs = 0.0;
  uint32_t tick = 0;     // when the frame arrived
  int pairNumber = -1;   // a client's search for the pair the server asked for
  QElapsedTimer asked;   // since the server asked for it
};

CLiveGuidance::CLiveGuidance(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks)) {
  worker_.setMaxThreadCount(1);
}

CLiveGuidance::~CLiveGuidance() {
  // The search posts its result to this object; once it has ended, deleting
  // the object drops that posted call.
  worker_.waitForDone();
}

void CLiveGuidance::SetLink(std::function<LiveLinkRole()> role, std::function<bool(const SyncDatagram&)> send) {
  linkRole_ = std::move(role);
  sendToPeer_ = std::move(send);
}

LiveLinkRole CLiveGuidance::Role() const { return linkRole_ ? linkRole_() : LiveLinkRole::kNone; }

void CLiveGuidance::OfferFrame(const cv::Mat& frame) { OfferFrame(frame, MillisecondTick()); }

void CLiveGuidance::OfferFrame(const cv::Mat& frame, uint32_t tick) {
  if (!CurrentLiveGuidanceOptions().detect || frame.empty() || frame.type() != CV_8UC3) {
    if (shown_.active) {
      shown_ = {};
      ++shownVersion_;
      emit updated();
    }
    return;
  }
  if (Role() == LiveLinkRole::kClient) KeepRecent(frame, tick);
  if (pendingPair_ && pendingAge_.elapsed() > pairWaitMs_) {
    // No answer: the client's views may be one ahead now; its next refusal says so.
    pendingPair_.reset();
    pendingNumber_ = -1;
  }
  if (searching_ || TooSoon()) {
    ++passedBy_;
    return;
  }
  CCalibrationData* store = hooks_.store ? hooks_.store() : nullptr;
  if (!store) return;
  std::shared_ptr<Search> search = MakeSearch(*store, frame, tick);
  if (!search) return;
  ++started_;
  sinceLastSearch_.start();
  Start(search);
}

// Null when the frame feeds no camera with a grid.
std::shared_ptr<CLiveGuidance::Search> CLiveGuidance::MakeSearch(CCalibrationData& store, const cv::Mat& frame,
                                                                 uint32_t tick) const {
  auto search = std::make_shared<Search>();
  search->frame = frame;  // shared, never written: the view keeps it only to draw it
  search->tick = tick;
  search->settings = hooks_.settings ? hooks_.settings() : SourceSettings{};
  search->fedCameras = CountSubViews(search->settings);
  bool anyGrid = false;
  for (int camera = 0; camera < store.GetCameraCount(); ++camera) {
    search->grids.push_back(store.GetGrid(camera));
    anyGrid = anyGrid || Searchable(search->grids.back());
  }
  if (!anyGrid || search->fedCameras == 0) return nullptr;
  return search;
}

void CLiveGuidance::NoteFinished(const Search& search) {
  ++finished_;
  lastSearchMs_ = search.workMs;
  searchMs_ += search.workMs;
}

bool CLiveGuidance::TooSoon() const {
  if (!sinceLastSearch_.isValid()) return false;
  const double gap = std::max(pacing_.minimumIntervalMs,
                              pacing_.maximumShare > 0.0 ? lastSearchMs_ / pacing_.maximumShare : 0.0);
  return static_cast<double>(sinceLastSearch_.elapsed()) < gap;
}

void CLiveGuidance::Start(const std::shared_ptr<Search>& search) {
  if (search->pairNumber < 0) searching_ = true;  // a pair's search waits its turn behind the preview's
  worker_.start([this, search] {
    YieldToThePreview();
    QElapsedTimer work;
    work.start();
    if (search->views.empty()) search->views = CutLiveFrame(search->frame, search->settings, search->grids);
    if (search->refined) DetectLiveBoards(search->views);
    else LocateLiveBoards(search->views);
    search->workMs += static_cast<double>(work.nsecsElapsed()) / 1e6;
    QMetaObject::invokeMethod(this, [this, search] { Finish(search); }, Qt::QueuedConnection);
  });
}

void CLiveGuidance::Finish(const std::shared_ptr<Search>& search) {
  if (search->pairNumber >= 0) {
    FinishPair(*search);
    return;
  }
  searching_ = false;
  CCalibrationData* store = hooks_.store ? hooks_.store() : nullptr;
  if (!store || search->views.empty() || !StillCurrent(*store, *search)) {
    NoteFinished(*search);
    shown_ = {};
    ++shownVersion_;
    ownBoard_ = kSyncBoardNone;
    ReportBoard();
    emit updated();
    return;
  }
  Show(*store, *search);
  ReportBoard();
  const LiveLinkRole role = Role();
  // On two machines the server leads: one pair at a time, the client only on its word.
  const bool capture = shown_.addsCoverage && CurrentLiveGuidanceOptions().autoCapture &&
                       role != LiveLinkRole::kClient && !pendingPair_;
  if (capture && !search->refined) {
    search->refined = true;
    Start(search);
    emit updated();
    return;
  }
  NoteFinished(*search);
  if (capture && role == LiveLinkRole::kServer) {
    AskForPair(*store, search);
  } else if (capture) {
    const int added = Capture(*store, *search);
    if (added > 0) {
      Show(*store, *search);  // the board is one of the views now
      Captured(added);
    }
  }
  emit updated();
}

void CLiveGuidance::Captured(int added) {
  captured_ += added;
  if (hooks_.viewsAdded) hooks_.viewsAdded();
  emit captured(added);
}

// The store may have changed while the search ran: its result only counts
// while every camera it was for is there with the same grid and picture size.
bool CLiveGuidance::StillCurrent(const CCalibrationData& store, const Search& search) const {
  for (const LiveSubView& view : search.views) {
    if (view.camera >= store.GetCameraCount()) return false;
    if (!SameGrid(store.GetGrid(view.camera), view.grid)) return false;
    if (!store.FitsImageSize(view.camera, view.image.cols, view.image.rows)) return false;
  }
  return true;
}

void CLiveGuidance::Show(CCalibrationData& store, const Search& search) {
  LiveGuidanceShown shown;
  shown.active = true;
  shown.frameSize = QSize(search.frame.cols, search.frame.rows);
  bool allFound = static_cast<int>(search.views.size()) == search.fedCameras;
  bool anyNew = false;
  const double distance = CurrentLiveGuidanceOptions().distance;
  for (const LiveSubView& view : search.views) {
    shown.missing.push_back(!view.Found());
    if (!view.Found()) {
      allFound = false;
      continue;
    }
    std::vector<cv::Point2f> outline;
    for (const ImagePoint& p : view.detection.border)
      outline.emplace_back(static_cast<float>(view.area.x + p.x), static_cast<float>(view.area.y + p.y * view.rowStep));
    shown.outlines.push_back(std::move(outline));
    anyNew = anyNew || DistanceToNearestView(UsableViews(store, view.camera), view.grid, view.detection.corners,
                                             view.image.cols, view.image.rows) > distance;
  }
  ownBoard_ = !allFound ? kSyncBoardNone : anyNew ? kSyncBoardNew : kSyncBoardSeen;
  shown.addsCoverage = allFound && anyNew;
  if (Role() != LiveLinkRole::kNone) {
    const int32_t peer = PeerBoard();
    shown.peerMissing = peer == kSyncBoardNone;
    shown.addsCoverage = allFound && !shown.peerMissing && (anyNew || peer == kSyncBoardNew);
    shown.pairNote = pairNote_;
  }
  const LiveSubView& first = search.views.front();
  shown.camera = first.camera;
  shown.withFrame = first.Found();
  const std::vector<PointList>& usable = UsableViews(store, first.camera);
  shown.coverage = shown.withFrame ? CoverageWithBoard(usable, first.grid, first.detection.corners, first.image.cols,
                                                       first.image.rows)
                                   : CoverageOf(usable, first.grid, store.GetImageWidth(first.camera),
                                                store.GetImageHeight(first.camera));
  const CameraGuidance& guidance = GuidanceFor(store, first.camera);
  shown.verdict = guidance.verdict.text;
  shown.enough = guidance.verdict.enough;
  shown_ = std::move(shown);
  ++shownVersion_;
}

// Every part becomes a view of its camera with the corners found in it, or
// none does: the cameras of a split source pair their views by number.
int CLiveGuidance::Capture(CCalibrationData& store, const Search& search) {
  for (const LiveSubView& view : search.views)
    if (!store.FitsImageSize(view.camera, view.image.cols, view.image.rows)) return 0;
  std::vector<int> added;
  bool complete = true;
  for (const LiveSubView& view : search.views) {
    complete = store.AddViewFromFrame(view.camera, view.image.clone());
    if (!complete) break;
    added.push_back(view.camera);
    complete = ApplyGridDetection(store, view.camera, store.GetViewCount(view.camera) - 1, view.detection) ==
               GridStatus::Ok;
    if (!complete) break;
  }
  if (complete) return static_cast<int>(added.size());
  for (int camera : added) store.RemoveView(camera, store.GetViewCount(camera) - 1);
  return 0;
}

const CameraGuidance& CLiveGuidance::GuidanceFor(const CCalibrationData& store, int camera) {
  const int usable = static_cast<int>(UsableViews(store, camera).size());
  if (camera != guidanceCamera_ || usable != guidanceUsableViews_ || !guidanceAge_.isValid() ||
      guidanceAge_.elapsed() > kGuidanceMaxAgeMs) {
    guidance_ = GuidanceOf(store, camera, GuidanceThresholds());
    guidanceCamera_ = camera;
    guidanceUsableViews_ = usable;
    guidanceAge_.start();
  }
  return guidance_;
}

const std::vector<PointList>& CLiveGuidance::UsableViews(const CCalibrationData& store, int camera) {
  UsableCache& cache = usable_[camera];
  std::vector<RunView> views = store.GetRunViews(camera);
  const GridDescription grid = store.GetGrid(camera);
  const int width = store.GetImageWidth(camera), height = store.GetImageHeight(camera);
  const auto same = [](const RunView& a, const RunView& b) {
    return a.enabled == b.enabled && a.hasImage == b.hasImage && a.stale == b.stale &&
           std::equal(a.points.begin(), a.points.end(), b.points.begin(), b.points.end(),
                      [](const ImagePoint& p, const ImagePoint& q) { return p.x == q.x && p.y == q.y; });
  };
  const bool unchanged = SameGrid(grid, cache.grid) && grid.nx == cache.grid.nx && width == cache.width &&
                         height == cache.height &&
                         std::equal(views.begin(), views.end(), cache.views.begin(), cache.views.end(), same);
  if (!unchanged) {
    cache.usable = UsablePointLists(store, camera);
    cache.views = std::move(views);
    cache.grid = grid;
    cache.width = width;
    cache.height = height;
  }
  return cache.usable;
}

// ---- Two machines ---------------------------------------------------------------

void CLiveGuidance::ReportBoard() {
  if (Role() == LiveLinkRole::kNone || !sendToPeer_) return;
  sendToPeer_({kSyncBoard, static_cast<int32_t>(MillisecondTick()), ownBoard_});
}

// The other machine's last word, while it is fresh enough to stand for now:
// no older than the stated age, or than twice the time between its last two
// words (a busy machine searches less often), up to kPeerReportLongestAgeMs.
int32_t CLiveGuidance::PeerBoard() const {
  if (!peerBoardAge_.isValid()) return kSyncBoardNone;
  const qint64 limit = std::max<qint64>(peerReportMaxAgeMs_, std::min<qint64>(2 * peerReportGapMs_, kPeerReportLongestAgeMs));
  return peerBoardAge_.elapsed() > limit ? kSyncBoardNone : peerBoard_;
}

// A report's tick is the sender's clock when it went out; it arrives no sooner,
// so the smallest recent difference is the clocks' offset plus the least delay.
void CLiveGuidance::NoteClock(int32_t remoteTick) {
  clockSamples_.push_back(static_cast<int32_t>(MillisecondTick() - static_cast<uint32_t>(remoteTick)));
  while (clockSamples_.size() > kClockSamples) clockSamples_.pop_front();
}

void CLiveGuidance::KeepRecent(const cv::Mat& frame, uint32_t tick) {
  recent_.emplace_back(tick, frame);
  size_t bytes = 0;
  for (const auto& kept : recent_) bytes += kept.second.total() * kept.second.elemSize();
  while (recent_.size() > 1 &&
         (static_cast<int32_t>(tick - recent_.front().first) > kRecentFramesMs || recent_.size() > kRecentFramesMax ||
          bytes > kRecentFramesBytes)) {
    bytes -= recent_.front().second.total() * recent_.front().second.elemSize();
    recent_.pop_front();
  }
}

// The kept frame of the server's moment: the nearest, if it is nearer than
// most of a frame period (the two cameras are not triggered together). The
// period is the shortest step between kept frames: frames dropped on a busy
// machine lengthen the average step, and with it the reach, until a frame of
// the next moment would pass for the one asked for.
const std::pair<uint32_t, cv::Mat>* CLiveGuidance::RecentFrameAt(int32_t serverTick) const {
  if (clockSamples_.empty() || recent_.empty()) return nullptr;
  const int32_t offset = *std::min_element(clockSamples_.begin(), clockSamples_.end());
  const uint32_t local = static_cast<uint32_t>(serverTick) + static_cast<uint32_t>(offset);
  const std::pair<uint32_t, cv::Mat>* nearest = nullptr;
  int32_t nearestGap = 0;
  int32_t period = 0;
  for (size_t i = 0; i < recent_.size(); ++i) {
    const int32_t gap = std::abs(static_cast<int32_t>(recent_[i].first - local));
    if (!nearest || gap < nearestGap) {
      nearest = &recent_[i];
      nearestGap = gap;
    }
    const int32_t step = i > 0 ? static_cast<int32_t>(recent_[i].first - recent_[i - 1].first) : 0;
    if (step > 0 && (period == 0 || step < period)) period = step;
  }
  return nearestGap <= std::max(10.0, 0.75 * period) ? nearest : nullptr;
}

int CLiveGuidance::PairCount(const CCalibrationData& store) const {
  const SourceSettings settings = hooks_.settings ? hooks_.settings() : SourceSettings{};
  for (int camera : settings.subViewCamera)
    if (camera >= 0 && camera < store.GetCameraCount()) return store.GetViewCount(camera);
  return -1;
}

void CLiveGuidance::OnPeerDatagram(const SyncDatagram& datagram) {
  if (!IsValidGuidanceDatagram(datagram)) return;
  const LiveLinkRole role = Role();
  switch (datagram.code) {
    case kSyncBoard:
      peerBoard_ = datagram.check;
      peerReportGapMs_ = peerBoardAge_.isValid() ? peerBoardAge_.restart() : 0;
      if (!peerBoardAge_.isValid()) peerBoardAge_.start();
      NoteClock(datagram.tick);
      break;
    case kSyncCapturePair:
      if (role == LiveLinkRole::kClient) StartPair(datagram.tick, datagram.check);
      break;
    case kSyncPairStored:
      if (role == LiveLinkRole::kServer) PairAnswered(datagram.tick, true, -1);
      break;
    case kSyncPairRefused:
      if (role == LiveLinkRole::kServer) PairAnswered(datagram.tick, false, datagram.check);
      break;
    default:
      break;
  }
}

// Server: the frame is stored only once the client has stored its own.
void CLiveGuidance::AskForPair(CCalibrationData& store, const std::shared_ptr<Search>& search) {
  for (const LiveSubView& view : search->views)
    if (!store.FitsImageSize(view.camera, view.image.cols, view.image.rows)) return;
  const int number = PairCount(store);
  if (number < 0 || !sendToPeer_ || !sendToPeer_({kSyncCapturePair, static_cast<int32_t>(search->tick), number})) return;
  ++pairsAsked_;
  pendingPair_ = search;
  pendingNumber_ = number;
  pendingAge_.start();
}

// Client: the frame of the server's moment, searched in full.
void CLiveGuidance::StartPair(int32_t serverTick, int number) {
  CCalibrationData* store = hooks_.store ? hooks_.store() : nullptr;
  const std::pair<uint32_t, cv::Mat>* frame = RecentFrameAt(serverTick);
  std::shared_ptr<Search> search = store && frame ? MakeSearch(*store, frame->second, frame->first) : nullptr;
  if (!search) {
    ++pairsRefused_;
    if (sendToPeer_) sendToPeer_({kSyncPairRefused, number, store ? PairCount(*store) : -1});
    return;
  }
  search->refined = true;
  search->pairNumber = number;
  search->asked.start();
  Start(search);
}

void CLiveGuidance::FinishPair(const Search& search) {
  NoteFinished(search);
  CCalibrationData* store = hooks_.store ? hooks_.store() : nullptr;
  const int count = store ? PairCount(*store) : -1;
  int added = 0;
  const bool inTime = search.asked.elapsed() <= pairWaitMs_ - kPairAnswerMarginMs;
  if (store && inTime && count == search.pairNumber && StillCurrent(*store, search) &&
      AllFound(search.views, search.fedCameras))
    added = Capture(*store, search);
  if (count != search.pairNumber) NoteOutOfStep(count, search.pairNumber);
  else pairNote_.clear();
  if (added > 0) {
    Captured(added);
    if (sendToPeer_) sendToPeer_({kSyncPairStored, search.pairNumber, kSyncPairStored});
  } else {
    ++pairsRefused_;
    if (sendToPeer_) sendToPeer_({kSyncPairRefused, search.pairNumber, store ? PairCount(*store) : -1});
  }
  emit updated();
}

void CLiveGuidance::PairAnswered(int number, bool stored, int theirCount) {
  if (!pendingPair_ || number != pendingNumber_) return;
  const std::shared_ptr<Search> search = std::move(pendingPair_);
  pendingPair_.reset();
  pendingNumber_ = -1;
  CCalibrationData* store = hooks_.store ? hooks_.store() : nullptr;
  const int count = store ? PairCount(*store) : -1;
  if (!stored) {
    ++pairsRefused_;
    if (theirCount >= 0 && theirCount != count) NoteOutOfStep(count, theirCount);
    else pairNote_.clear();
    emit updated();
    return;
  }
  const int added = store && count == number && StillCurrent(*store, *search) ? Capture(*store, *search) : 0;
  if (added > 0) {
    pairNote_.clear();
    Show(*store, *search);
    Captured(added);
  } else {
    NoteOutOfStep(count, number + 1);
  }
  emit updated();
}

void CLiveGuidance::NoteOutOfStep(int here, int there) {
  pairNote_ = "Views out of step with the other machine (" + std::to_string(here) + " here, " + std::to_string(there) +
              " there): no pairs are taken";
  shown_.pairNote = pairNote_;
  ++shownVersion_;
}

// ---- Drawing ------------------------------------------------------------------

namespace {

const QColor kOutline(80, 230, 90);
const QColor kMissing(230, 70, 60);
const QColor kBarFull(80, 200, 90);
const QColor kBarPart(255, 191, 0);
const QColor kBand(0, 0, 0, 170);

void PaintBars(QPainter& painter, const QRect& band, const LiveGuidanceShown& shown) {
  const std::array<std::pair<const char*, double>, 5> bars{{{"Cells", shown.coverage.share},
                                                            {"X", shown.coverage.x},
                                                            {"Y", shown.coverage.y},
                                                            {"Size", shown.coverage.size},
                                                            {"Skew", shown.coverage.skew}}};
  painter.fillRect(band, kBand);
  QFont font("Verdana", 7);
  painter.setFont(font);
  const QFontMetrics metrics(font);
  const int line = metrics.height();
  const int columns = static_cast<int>(bars.size());
  const int columnWidth = (band.width() - 4) / columns;
  for (int i = 0; i < columns; ++i) {
    const QRect cell(band.left() + 2 + i * columnWidth, band.top() + 2, columnWidth - 4, line);
    const QString label = bars[static_cast<size_t>(i)].first;
    const int labelWidth = metrics.horizontalAdvance(label) + 3;
    painter.setPen(Qt::white);
    painter.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter, label);
    const QRect track(cell.left() + labelWidth, cell.top() + 2, std::max(4, cell.width() - labelWidth), line - 4);
    const double value = std::clamp(bars[static_cast<size_t>(i)].second, 0.0, 1.0);
    painter.fillRect(track, QColor(90, 90, 90));
    painter.fillRect(QRect(track.left(), track.top(), static_cast<int>(track.width() * value), track.height()),
                     value >= 1.0 ? kBarFull : kBarPart);
  }
  QString verdict = QString::fromStdString(shown.verdict);
  if (shown.addsCoverage) verdict = "New board. " + verdict;
  painter.setPen(shown.enough ? kBarFull : kBarPart);
  const QRect text(band.left() + 4, band.top() + line + 3, band.width() - 8, line);
  painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(verdict, Qt::ElideRight, text.width()));
}

}  // namespace

void CLiveGuidance::Paint(QPainter& painter, const QRect& videoRect) const {
  if (!shown_.active || shown_.frameSize.isEmpty() || videoRect.isEmpty()) return;
  QElapsedTimer timer;
  timer.start();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const double sx = static_cast<double>(videoRect.width()) / shown_.frameSize.width();
  const double sy = static_cast<double>(videoRect.height()) / shown_.frameSize.height();
  const auto toView = [&](const cv::Point2f& p) {
    return QPointF(videoRect.left() + (p.x + 0.5) * sx, videoRect.top() + (p.y + 0.5) * sy);
  };
  painter.setPen(QPen(kOutline, 2));
  for (const auto& outline : shown_.outlines) {
    QPolygonF polygon;
    for (const cv::Point2f& p : outline) polygon << toView(p);
    painter.drawPolygon(polygon);
  }
  QStringList warnings;
  if (shown_.missing.size() > 1 && std::count(shown_.missing.begin(), shown_.missing.end(), true) > 0)
    warnings << "Board not in every camera";
  if (shown_.peerMissing) warnings << "Board not seen by the other machine";
  if (!shown_.pairNote.empty()) warnings << QString::fromStdString(shown_.pairNote);
  if (!warnings.isEmpty()) {
    painter.setPen(kMissing);
    painter.setFont(QFont("Verdana", 7, QFont::Bold));
    painter.drawText(videoRect.adjusted(4, 4, -4, -4), Qt::AlignTop | Qt::AlignLeft | Qt::TextWordWrap,
                     warnings.join('\n'));
  }
  static const int line = QFontMetrics(QFont("Verdana", 7)).height();
  const int bandHeight = 2 * line + 6;
  if (videoRect.height() > 2 * bandHeight) {
    // The band changes with each search result, not with each frame: drawn
    // once into a picture and laid over every frame until the next result.
    const QSize size(videoRect.width(), bandHeight);
    if (band_.size() != size || bandVersion_ != shownVersion_) {
      band_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
      band_.fill(Qt::transparent);
      QPainter bandPainter(&band_);
      bandPainter.setRenderHint(QPainter::Antialiasing);
      PaintBars(bandPainter, QRect(QPoint(0, 0), size), shown_);
      bandVersion_ = shownVersion_;
    }
    painter.drawImage(QPoint(videoRect.left(), videoRect.bottom() + 1 - bandHeight), band_);
  }
  painter.restore();
  paintMs_ += static_cast<double>(timer.nsecsElapsed()) / 1e6;
}
