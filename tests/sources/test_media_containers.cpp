// Frame-exact seeking in the containers and codecs people bring: every grab
// of frame k equals the k-th picture of a sequential decode of the same clip.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"
#include "sources/test_media_fixtures.h"
#include "support/TempDir.h"

using namespace media_test;

namespace {

constexpr int kFrames = 90;

struct ClipCase {
  const char* name;
  const char* file;
  std::vector<const char*> factories;  // needed to make and play it
  std::string encoder;
  std::string muxer;
  int fpsNumerator;
  int fpsDenominator;
  bool variableRate;
  bool bFrames;
  bool keyEvery30 = false;  // groups of 30 pictures
};

// Irregular steps between 17 and 66 ms, as a phone writes them.
std::vector<GstClockTime> VariableTimes() {
  constexpr int kStepsMs[] = {40, 25, 60, 33, 17, 50, 66, 20};
  std::vector<GstClockTime> times;
  GstClockTime t = 0;
  for (int n = 0; n < kFrames; ++n) {
    times.push_back(t);
    t += kStepsMs[n % 8] * GST_MSECOND;
  }
  return times;
}

const std::string kH264 = "x264enc speed-preset=superfast bitrate=3000 key-int-max=30";
const std::string kH264B = kH264 + " bframes=2 b-adapt=false";

const ClipCase kClips[] = {
    {"AviMpeg4", "mpeg4.avi", {"avenc_mpeg4", "avimux"}, "avenc_mpeg4 bitrate=3000000 gop-size=30", "avimux", 30000, 1001, false, false},
    {"Mp4H264", "h264.mp4", {"x264enc", "mp4mux"}, kH264 + " bframes=0", "mp4mux", 30000, 1001, false, false, true},
    {"MkvH264BFrames", "h264b.mkv", {"x264enc", "matroskamux"}, kH264B, "matroskamux", 25, 1, false, true, true},
    {"Mp4H264BFrames", "h264b.mp4", {"x264enc", "mp4mux"}, kH264B, "mp4mux", 30, 1, false, true, true},
    {"WebmVp8", "vp8.webm", {"vp8enc", "webmmux"}, "vp8enc keyframe-max-dist=30 target-bitrate=3000000 deadline=1", "webmmux", 30, 1,
     false, false, true},
    {"MovMjpeg", "mjpeg.mov", {"jpegenc", "qtmux"}, "jpegenc quality=90", "qtmux", 30, 1, false, false},
    {"Mp4H264BFramesVariableRate", "vfr.mp4", {"x264enc", "mp4mux"}, kH264B, "mp4mux", 0, 1, true, true, true},
    {"MkvH264VariableRate", "vfr.mkv", {"x264enc", "matroskamux"}, kH264 + " bframes=0", "matroskamux", 0, 1, true, false},
};

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

struct Clip {
  std::string path;
  ClipFacts facts;
  std::vector<cv::Mat> sequence;  // the reference: a decode from the start
};

TempDir& ClipFolder() {
  static TempDir dir;
  return dir;
}

const Clip& MakeClip(const ClipCase& c) {
  static std::map<std::string, Clip> made;
  auto found = made.find(c.name);
  if (found != made.end()) return found->second;
  Clip clip;
  clip.path = ClipFolder().File(c.file);
  ClipSpec spec;
  spec.frames = kFrames;
  spec.fpsNumerator = c.fpsNumerator;
  spec.fpsDenominator = c.fpsDenominator;
  spec.encoder = c.encoder;
  spec.muxer = c.muxer;
  if (c.variableRate) spec.times = VariableTimes();
  clip.facts = MakeNumberedClip(clip.path, spec);
  if (clip.facts.written) clip.sequence = DecodeSequentially(clip.path);
  return made.emplace(c.name, std::move(clip)).first->second;
}

std::unique_ptr<CSamplingFileGraph> OpenGraph(const std::string& path) {
  auto graph = std::make_unique<CSamplingFileGraph>();
  graph->InitVMR9(nullptr);
  graph->InitialiseFrameSampler();
  if (DShow::Failed(graph->OpenMediaFile(path))) return nullptr;
  return graph;
}

// The first, the last, a few in between and both sides of every key frame,
// visited out of order so that seeks go back as well as forward.
std::vector<int64_t> FramesToGrab(const DShow::CFrameIndex& index) {
  const int64_t last = index.Count() - 1;
  std::set<int64_t> chosen{0, 1, 17, 45, 59, last - 1, last};
  int groups = 0;
  for (int64_t k = 2; k <= last && groups < 4; ++k) {
    // The start of a group of pictures (all-key streams have none).
    if (index.KeyFrameAtOrBefore(k) != k || index.KeyFrameAtOrBefore(k - 1) == k - 1) continue;
    ++groups;
    chosen.insert(k - 1);
    chosen.insert(k);
    if (k + 1 <= last) chosen.insert(k + 1);
  }
  std::vector<int64_t> order(chosen.begin(), chosen.end());
  std::rotate(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2), order.end());
  std::swap(order.front(), order.back());
  return order;
}

// The grab shows frame k: the number drawn into it, and every pixel of the
// k-th picture of the sequential decode.
void ExpectGrabIsFrame(const cv::Mat& grab, const std::vector<cv::Mat>& sequence, int64_t k) {
  ASSERT_FALSE(grab.empty()) << "frame " << k;
  const auto number = DecodeQuarterOf(grab, 0);
  ASSERT_TRUE(number) << "frame " << k << " does not show a frame number";
  EXPECT_EQ(number->frame, k);
  ASSERT_EQ(grab.size(), sequence[k].size());
  EXPECT_EQ(cv::norm(grab, sequence[k], cv::NORM_INF), 0.0) << "frame " << k << " differs from the sequential decode";
}

class ClipSeeking : public ::testing::TestWithParam<ClipCase> {
 protected:
  void SetUp() override {
    for (const char* factory : GetParam().factories)
      if (!HasElement(factory)) GTEST_SKIP() << factory << " is not installed";
  }
};

TEST_P(ClipSeeking, TheSequentialDecodeShowsEveryFrameInOrder) {
  const Clip& clip = MakeClip(GetParam());
  ASSERT_TRUE(clip.facts.written);
  if (GetParam().bFrames) {
    EXPECT_GT(clip.facts.reordered, 0) << "the encoder wrote no B-frames";
  }
  ASSERT_EQ(clip.sequence.size(), static_cast<size_t>(kFrames));
  for (int k = 0; k < kFrames; ++k) {
    const auto number = DecodeQuarterOf(clip.sequence[k], 0);
    ASSERT_TRUE(number) << k;
    EXPECT_EQ(number->frame, k);
  }
}

TEST_P(ClipSeeking, EveryGrabIsTheFrameAskedFor) {
  const Clip& clip = MakeClip(GetParam());
  ASSERT_EQ(clip.sequence.size(), static_cast<size_t>(kFrames));
  auto graph = OpenGraph(clip.path);
  ASSERT_TRUE(graph);
  int64_t count = 0;
  ASSERT_TRUE(DShow::Succeeded(graph->GetFrameCount(&count)));
  EXPECT_EQ(count, kFrames) << "the count must be the pictures the decoder gives";
  EXPECT_EQ(graph->GetCurrentFrame(), 0);

  CCalibrationData data;
  data.AddCamera();
  SourceSettings whole;
  DefaultSubViewCameras(whole);
  int views = 0;
  for (int64_t k : FramesToGrab(graph->FrameIndex())) {
    ASSERT_EQ(graph->SeekToFrame(k), DShow::S_OK) << "frame " << k;
    EXPECT_EQ(graph->GetCurrentFrame(), k);
    ExpectGrabIsFrame(graph->Sampler()->CloneLatestFrame(), clip.sequence, k);
    ASSERT_EQ(GrabFrameIntoCameras(*graph->Sampler(), whole, data), 1);
    ExpectGrabIsFrame(*data.GetViewImage(0, views++), clip.sequence, k);
  }
  EXPECT_EQ(graph->SeekToFrame(kFrames), DShow::E_INVALIDARG);
}

TEST_P(ClipSeeking, TheIndexedTimesAreThoseOfThePicturesShown) {
  const Clip& clip = MakeClip(GetParam());
  ASSERT_TRUE(clip.facts.written);
  auto graph = OpenGraph(clip.path);
  ASSERT_TRUE(graph);
  const DShow::CFrameIndex& index = graph->FrameIndex();
  ASSERT_TRUE(index.HasTimes());
  EXPECT_EQ(index.KeyFrameAtOrBefore(0), 0);
  if (GetParam().keyEvery30) {
    EXPECT_EQ(index.KeyFrameAtOrBefore(45), 30);
    EXPECT_EQ(index.KeyFrameAtOrBefore(75), 60);
  }
  EXPECT_GE(index.TimeOf(0), 0u);
  if (GetParam().variableRate) {
    const auto times = VariableTimes();
    for (int k = 1; k < kFrames; ++k) {
      const GstClockTime step = index.TimeOf(k) - index.TimeOf(k - 1);
      // Containers round to a millisecond at most.
      EXPECT_NEAR(static_cast<double>(step), static_cast<double>(times[k] - times[k - 1]), 1.01e6) << k;
    }
  }
  for (int k = 0; k < kFrames; ++k) EXPECT_EQ(index.FrameAt(index.TimeOf(k)), k);
}

INSTANTIATE_TEST_SUITE_P(Containers, ClipSeeking, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<ClipCase>& info) { return std::string(info.param.name); });

// A graph whose index can be replaced, to force the other ways of seeking.
class IndexedGraph : public CSamplingFileGraph {
 public:
  using CSamplingFileGraph::SetFrameIndex;
};

TEST(ClipSeekingFallback, CountingPicturesFromTheStartWhenTheFileGivesNoTimes) {
  const Clip& clip = MakeClip(kClips[3]);  // MP4, H.264 with B-frames
  if (!HasElement("x264enc") || !HasElement("mp4mux")) GTEST_SKIP() << "x264enc or mp4mux is not installed";
  ASSERT_EQ(clip.sequence.size(), static_cast<size_t>(kFrames));
  IndexedGraph graph;
  graph.InitialiseFrameSampler();
  ASSERT_TRUE(DShow::Succeeded(graph.OpenMediaFile(clip.path)));
  DShow::CFrameIndex counted;
  counted.AssignCount(kFrames);
  graph.SetFrameIndex(counted);
  for (int64_t k : {61, 0, 89, 30, 31}) {
    ASSERT_EQ(graph.SeekToFrame(k), DShow::S_OK) << k;
    EXPECT_EQ(graph.GetCurrentFrame(), k);
    ExpectGrabIsFrame(graph.Sampler()->CloneLatestFrame(), clip.sequence, k);
  }
  int64_t time = 0;
  EXPECT_EQ(graph.GetFrameTime(3, &time), DShow::E_FAIL);
  EXPECT_EQ(graph.SeekToFrame(kFrames), DShow::E_INVALIDARG);
}

TEST(ClipSeekingGuard, ARecordingSetUpAfterASeekStillHoldsEveryFrame) {
  TempDir dir;
  ASSERT_TRUE(MakeNumberedAvi(dir.File("in.avi"), {160, 120, 30, 30, "", false}));
  {
    CSamplingFileGraph graph;
    graph.InitialiseFrameSampler();
    ASSERT_TRUE(DShow::Succeeded(graph.OpenMediaFile(dir.File("in.avi"))));
    ASSERT_EQ(graph.SeekToFrame(20), DShow::S_OK);
    DShow::RecordingFailure failure;
    ASSERT_EQ(graph.SetUpRecording(dir.File("out.avi"), 0, true, &failure), DShow::S_OK);
    ASSERT_TRUE(DShow::Succeeded(graph.Run()));
    for (int i = 0; i < 500 && !graph.ReachedEnd(); ++i) g_usleep(10000);
    EXPECT_TRUE(graph.ReachedEnd());
    EXPECT_TRUE(DShow::Succeeded(graph.Stop()));
  }
  EXPECT_EQ(CountDecodedFrames(dir.File("out.avi")), 30) << "the guard of the earlier seek must not drop frames";
}

TEST(FrameIndex, IntervalsLieHalfwayBetweenPresentationTimes) {
  DShow::CFrameIndex index;
  EXPECT_EQ(index.FrameAt(0), -1);
  index.Assign({0, 40 * GST_MSECOND, 65 * GST_MSECOND, 125 * GST_MSECOND}, {true, false, true, false},
               DShow::CFrameIndex::Origin::kDemuxer);
  ASSERT_EQ(index.Count(), 4);
  EXPECT_EQ(index.LowerBound(0), 0u);
  EXPECT_EQ(index.LowerBound(2), 52500 * GST_USECOND);
  EXPECT_EQ(index.UpperBound(3), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(index.FrameAt(0), 0);
  EXPECT_EQ(index.FrameAt(19 * GST_MSECOND), 0);
  EXPECT_EQ(index.FrameAt(20 * GST_MSECOND), 1);
  EXPECT_EQ(index.FrameAt(52 * GST_MSECOND), 1);
  EXPECT_EQ(index.FrameAt(53 * GST_MSECOND), 2);
  EXPECT_EQ(index.FrameAt(10 * GST_SECOND), 3);
  EXPECT_EQ(index.KeyFrameAtOrBefore(1), 0);
  EXPECT_EQ(index.KeyFrameAtOrBefore(3), 2);
  EXPECT_EQ(index.KeyFrameAtOrBefore(99), 2);

  index.AssignCount(0);
  EXPECT_EQ(index.GetOrigin(), DShow::CFrameIndex::Origin::kNone);
  index.AssignCount(12);
  EXPECT_FALSE(index.HasTimes());
  EXPECT_EQ(index.Count(), 12);
  EXPECT_EQ(index.FrameAt(0), -1);
}

}  // namespace
