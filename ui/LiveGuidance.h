#pragma once
// Guidance in a source's preview: while a live camera or a playing video shows
// frames of a camera that has a grid, the board is looked for roughly in the
// frames on a worker thread, one frame at a time and no more often than the
// pacing allows (a frame that arrives meanwhile is not searched, so the
// preview never waits), and the preview draws the found board's outline, the
// camera's coverage bars as they would be with this frame added, and whether
// its views are enough. When automatic capture is on, a frame whose board adds
// coverage (lies far enough from every view of its camera in the four board
// measures) is searched again in full and added as a view with the corners
// found, if they still add coverage.
// A source split into several cameras counts a frame only when every camera's
// part of it shows the board.
// Two machines capturing in step over their sync link (a server and a client,
// one camera or split source each) tell each other after every search what
// their frame held; a frame counts only while the other machine's last word,
// fresh (see PeerBoard), is that it sees the board too. The server
// leads automatic capture: for a frame that adds coverage on either machine
// it asks the client to store its own frame of the same moment (matched
// through the two clocks, from the frames of the last second it keeps) as the
// same pair number, and stores its own only when the client says it did, so
// the two workspaces' views stay paired by number.

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QThreadPool>
#include <functional>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/ViewGuidance.h"
#include "calib/CalibrationProblem.h"
#include "grid/GridDetection.h"
#include "sources/SourceModel.h"
#include "sources/SyncDatagram.h"
#include "ui/ApplicationSettings.h"

class CCalibrationData;
class QPainter;

// The options every preview follows (from the application settings until set).
LiveGuidanceOptions CurrentLiveGuidanceOptions();
void SetLiveGuidanceOptions(const LiveGuidanceOptions& options);

// One camera's part of a frame and what the search found in it.
struct LiveSubView {
  int camera = -1;
  cv::Mat image;        // upright BGR, as a capture would store it
  cv::Rect area;        // where it lies in the frame
  int rowStep = 1;      // 2 when the part holds one field of the frame's rows
  GridDescription grid;
  GridDetection detection;
  bool Found() const { return detection.status == GridStatus::Ok; }
};

// Cuts an upright frame into the parts the source's split feeds cameras with.
// `grids` holds the grid of every camera of the store; parts of cameras
// without one are left out.
std::vector<LiveSubView> CutLiveFrame(const cv::Mat& frame, const SourceSettings& settings,
                                      const std::vector<GridDescription>& grids);
// Looks for each part's board with the detector "Detect all" uses, without
// its search for steeply tilted boards (seconds where a board is missed).
void DetectLiveBoards(std::vector<LiveSubView>& views);
// Looks for each part's board roughly (LocateGridRoughly): the preview's
// search, a few times cheaper; its corners are not stored.
void LocateLiveBoards(std::vector<LiveSubView>& views);

// How often the preview searches: a search starts no sooner than
// `minimumIntervalMs` after the one before, nor sooner than the last search
// took divided by `maximumShare`, so the searches keep to that share of one
// core however slow the machine is and the frames keep coming on time.
struct LiveSearchPacing {
  double minimumIntervalMs = 100.0;
  double maximumShare = 0.25;
};

// What the preview draws over the frame.
struct LiveGuidanceShown {
  bool active = false;              // a search result is shown
  QSize frameSize;                  // of the frame it was found in
  std::vector<std::vector<cv::Point2f>> outlines;  // found boards, frame pixels
  std::vector<bool> missing;        // per part: no board found
  int camera = -1;                  // whose bars are shown
  bool withFrame = false;           // the bars include this frame's board
  CoverageSummary coverage;
  std::string verdict;
  bool enough = false;
  bool addsCoverage = false;        // every part found, and one part's board is new
  bool peerMissing = false;         // synchronised: the other machine does not see the board
  std::string pairNote;             // synchronised: why pairs are not taken, when they cannot be
};

// This machine's part in a capture synchronised with a second machine.
enum class LiveLinkRole { kNone, kServer, kClient };

class CLiveGuidance : public QObject {
  Q_OBJECT
 public:
  struct Hooks {
    std::function<CCalibrationData*()> store;
    std::function<SourceSettings()> settings;
    std::function<void()> viewsAdded;  // after an automatic capture, so the data panel follows
  };
  static constexpr int kPeerReportMaxAgeMs = 600;
  static constexpr int kPeerReportLongestAgeMs = 3000;
  // How long the server waits for the client's answer to a pair. The client
  // stores its half only if its search ends this long less a margin after the
  // ask, so a half the server has given up on is never stored.
  static constexpr int kPairWaitMs = 5000;
  static constexpr int kPairAnswerMarginMs = 1000;
  // A client keeps its frames this long (a busy server's full search of its
  // frame takes seconds before it asks)
  static constexpr int kRecentFramesMs = 3000;
  static constexpr size_t kRecentFramesMax = 96;  // and no more than this many
  static constexpr size_t kRecentFramesBytes = size_t{128} << 20;

  explicit CLiveGuidance(Hooks hooks, QObject* parent = nullptr);
  ~CLiveGuidance() override;  // waits for the search in flight

  // The link to a second machine: this machine's part in it (none while the
  // function is empty or says kNone) and how a datagram goes out.
  void SetLink(std::function<LiveLinkRole()> role, std::function<bool(const SyncDatagram&)> send);

  // User-interface thread, with every frame shown (upright BGR) and the
  // millisecond tick it arrived at (the one the sync link carries). Starts a
  // search when none is running and the source feeds a camera with a grid;
  // returns at once either way.
  void OfferFrame(const cv::Mat& frame, uint32_t tick);
  void OfferFrame(const cv::Mat& frame);  // arrived now
  // A guidance datagram from the other machine.
  void OnPeerDatagram(const SyncDatagram& datagram);
  // The outline, bars and verdict, drawn into the video rectangle.
  void Paint(QPainter& painter, const QRect& videoRect) const;

  void SetPacing(const LiveSearchPacing& pacing) { pacing_ = pacing; }
  void SetPeerReportMaxAge(int ms) { peerReportMaxAgeMs_ = ms; }
  void SetPairWait(int ms) { pairWaitMs_ = ms; }

  const LiveGuidanceShown& Shown() const { return shown_; }
  bool Searching() const { return searching_; }
  int SearchesStarted() const { return started_; }
  int SearchesFinished() const { return finished_; }
  int FramesPassedBy() const { return passedBy_; }  // arrived while a search ran or too soon after one
  int ViewsCaptured() const { return captured_; }
  double SearchMilliseconds() const { return searchMs_; }  // worker time of all searches so far
  double PaintMilliseconds() const { return paintMs_; }    // window time drawing over the frames so far
  int PairsAsked() const { return pairsAsked_; }      // server: pairs asked of the client
  int PairsRefused() const { return pairsRefused_; }  // pairs the client did not store
  bool PairPending() const { return pendingPair_ != nullptr; }

 signals:
  void updated();
  void captured(int views);

 private:
  struct Search;
  LiveLinkRole Role() const;
  std::shared_ptr<Search> MakeSearch(CCalibrationData& store, const cv::Mat& frame, uint32_t tick) const;
  bool TooSoon() const;
  void NoteFinished(const Search& search);
  void Start(const std::shared_ptr<Search>& search);
  void Finish(const std::shared_ptr<Search>& search);
  bool StillCurrent(const CCalibrationData& store, const Search& search) const;
  void Show(CCalibrationData& store, const Search& search);
  int Capture(CCalibrationData& store, const Search& search);
  void Captured(int added);
  // The link: what this machine's frame held, the other's clock, and a pair's steps.
  void ReportBoard();
  int32_t PeerBoard() const;
  void NoteClock(int32_t remoteTick);
  void KeepRecent(const cv::Mat& frame, uint32_t tick);
  const std::pair<uint32_t, cv::Mat>* RecentFrameAt(int32_t serverTick) const;
  int PairCount(const CCalibrationData& store) const;  // views of the first camera fed
  void AskForPair(CCalibrationData& store, const std::shared_ptr<Search>& search);
  void StartPair(int32_t serverTick, int number);
  void FinishPair(const Search& search);
  void PairAnswered(int number, bool stored, int theirCount);
  void NoteOutOfStep(int here, int there);
  const CameraGuidance& GuidanceFor(const CCalibrationData& store, int camera);
  // The camera's usable views, kept while its views, grid and picture size stay.
  const std::vector<PointList>& UsableViews(const CCalibrationData& store, int camera);

  Hooks hooks_;
  QThreadPool worker_;
  LiveSearchPacing pacing_;
  QElapsedTimer sinceLastSearch_;  // started with each search
  double lastSearchMs_ = 0.0;      // worker time of the last search
  double searchMs_ = 0.0;
  bool searching_ = false;
  int started_ = 0;
  int finished_ = 0;
  int passedBy_ = 0;
  int captured_ = 0;
  LiveGuidanceShown shown_;
  int shownVersion_ = 0;  // counts changes of shown_
  mutable QImage band_;   // the bars and verdict as last drawn
  mutable int bandVersion_ = -1;
  mutable double paintMs_ = 0.0;
  // The camera's verdict needs its last run's uncertainty map: kept until its
  // views change or a few seconds pass (a run may have ended since).
  int guidanceCamera_ = -1;
  int guidanceUsableViews_ = -1;
  QElapsedTimer guidanceAge_;
  CameraGuidance guidance_;
  struct UsableCache {
    std::vector<RunView> views;
    GridDescription grid;
    int width = 0, height = 0;
    std::vector<PointList> usable;
  };
  std::map<int, UsableCache> usable_;
  // The link to a second machine.
  std::function<LiveLinkRole()> linkRole_;
  std::function<bool(const SyncDatagram&)> sendToPeer_;
  int32_t ownBoard_ = kSyncBoardNone;
  int32_t peerBoard_ = kSyncBoardNone;
  int peerReportMaxAgeMs_ = kPeerReportMaxAgeMs;
  qint64 peerReportGapMs_ = 0;  // between the other machine's last two words
  QElapsedTimer peerBoardAge_;
  std::deque<int32_t> clockSamples_;  // local tick minus the peer's, per report
  std::deque<std::pair<uint32_t, cv::Mat>> recent_;
  std::shared_ptr<Search> pendingPair_;
  int pendingNumber_ = -1;
  QElapsedTimer pendingAge_;
  int pairWaitMs_ = kPairWaitMs;
  std::string pairNote_;
  int pairsAsked_ = 0;
  int pairsRefused_ = 0;
};
