// Opening video files through the file graph, exact frame seeking and
// grabbing into one, two or four cameras.

#include <gtest/gtest.h>

#include <memory>

#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"
#include "sources/test_media_fixtures.h"
#include "support/TempDir.h"

using namespace media_test;

namespace {

constexpr int kWidth = 320, kHeight = 240, kFrames = 30;

struct Videos {
  TempDir dir;
  std::string raw, mpeg4, rawInterlaced, mjpegInterlaced;
};

// Made once per test program and removed with its folder when the program exits.
Videos& SharedVideos() {
  static const std::unique_ptr<Videos> videos = [] {
    auto v = std::make_unique<Videos>();
    v->raw = v->dir.File("raw.avi");
    v->mpeg4 = v->dir.File("mpeg4.avi");
    v->rawInterlaced = v->dir.File("raw_fields.avi");
    v->mjpegInterlaced = v->dir.File("mjpeg_fields.avi");
    MakeNumberedAvi(v->raw, {kWidth, kHeight, kFrames, 30, "", false});
    if (HasElement("avenc_mpeg4"))
      MakeNumberedAvi(v->mpeg4, {kWidth, kHeight, kFrames, 30, "avenc_mpeg4 bitrate=2000000", false});
    MakeNumberedAvi(v->rawInterlaced, {kWidth, kHeight, kFrames, 30, "", true});
    if (HasElement("avenc_mjpeg")) MakeNumberedAvi(v->mjpegInterlaced, {kWidth, kHeight, kFrames, 30, "avenc_mjpeg bitrate=4000000", true});
    return v;
  }();
  return *videos;
}

std::unique_ptr<CSamplingFileGraph> OpenGraph(const std::string& path) {
  auto graph = std::make_unique<CSamplingFileGraph>();
  graph->InitVMR9(nullptr);
  graph->InitialiseFrameSampler();
  if (DShow::Failed(graph->OpenMediaFile(path))) return nullptr;
  return graph;
}

SourceSettings Settings(int32_t split, bool fields) {
  SourceSettings settings;
  settings.split = split;
  settings.deinterlace = fields ? kDeinterlaceFields : kDeinterlaceNone;
  DefaultSubViewCameras(settings);
  return settings;
}

// Quarters of the full frame that each sub-view of a split shows, top to bottom.
std::vector<std::vector<int>> QuartersPerView(int32_t split) {
  if (split == kSplitNone) return {{0, 1, 2, 3}};
  if (split == kSplitStereo) return {{0, 2}, {1, 3}};
  return {{0}, {1}, {2}, {3}};
}

// Checks every quarter a view shows; a stereo half holds two quarters stacked.
void ExpectViewShows(const cv::Mat& view, const std::vector<int>& quarters, int frame) {
  if (quarters.size() == 1) {
    auto decoded = DecodeQuarter(view);
    ASSERT_TRUE(decoded) << "quarter " << quarters[0] << " does not decode";
    EXPECT_EQ(decoded->quarter, quarters[0]);
    EXPECT_EQ(decoded->frame, frame);
    return;
  }
  const int rows = 2;
  const int cols = quarters.size() == 4 ? 2 : 1;
  for (size_t i = 0; i < quarters.size(); ++i) {
    const int w = view.cols / cols, h = view.rows / rows;
    const int c = cols == 2 ? static_cast<int>(i) % 2 : 0, r = cols == 2 ? static_cast<int>(i) / 2 : static_cast<int>(i);
    auto decoded = DecodeQuarter(view(cv::Rect(c * w, r * h, w, h)));
    ASSERT_TRUE(decoded) << "part " << i << " does not decode";
    EXPECT_EQ(decoded->quarter, quarters[i]);
    EXPECT_EQ(decoded->frame, frame);
  }
}

struct GrabCase {
  const char* name;
  int32_t split;
  bool fields;
  bool interlacedFile;
  bool encoded;
};

class GrabFrames : public ::testing::TestWithParam<GrabCase> {};

TEST_P(GrabFrames, SeeksExactlyAndCutsUprightViewsOfTheRightSize) {
  const GrabCase& c = GetParam();
  Videos& videos = SharedVideos();
  const std::string& path = c.interlacedFile ? (c.encoded ? videos.mjpegInterlaced : videos.rawInterlaced)
                                              : (c.encoded ? videos.mpeg4 : videos.raw);
  if (c.encoded && !std::filesystem::exists(path)) GTEST_SKIP() << "encoder not installed";
  auto graph = OpenGraph(path);
  ASSERT_TRUE(graph);
  CCalibrationData data;
  const SourceSettings settings = Settings(c.split, c.fields);
  for (int i = 0; i < CountSubViews(settings); ++i) data.AddCamera();

  const int f = c.fields ? 2 : 1;
  const cv::Size expected = c.split == kSplitNone   ? cv::Size(kWidth, kHeight)
                            : c.split == kSplitStereo ? cv::Size(kWidth / 2, kHeight / f)
                                                      : cv::Size(kWidth / 2, kHeight / (2 * f));
  const std::vector<int> frames{0, 10, 25, 3};
  for (size_t k = 0; k < frames.size(); ++k) {
    ASSERT_TRUE(DShow::Succeeded(graph->SeekToFrame(frames[k]))) << frames[k];
    ASSERT_EQ(GrabFrameIntoCameras(*graph->Sampler(), settings, data), CountSubViews(settings));
    const auto quarters = QuartersPerView(c.split);
    for (int cam = 0; cam < CountSubViews(settings); ++cam) {
      const ViewPixels view = data.GetViewImage(cam, static_cast<int>(k));
      ASSERT_NE(view, nullptr);
      EXPECT_EQ(view->size(), expected);
      ExpectViewShows(*view, quarters[cam], frames[k]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Media, GrabFrames,
    ::testing::Values(GrabCase{"RawNone", kSplitNone, false, false, false}, GrabCase{"RawStereo", kSplitStereo, false, false, false},
                      GrabCase{"RawQuad", kSplitQuad, false, false, false}, GrabCase{"Mpeg4None", kSplitNone, false, false, true},
                      GrabCase{"Mpeg4Stereo", kSplitStereo, false, false, true}, GrabCase{"Mpeg4Quad", kSplitQuad, false, false, true},
                      GrabCase{"FieldsNoneKeepsFullFrame", kSplitNone, true, true, false},
                      GrabCase{"FieldsStereo", kSplitStereo, true, true, false}, GrabCase{"FieldsQuad", kSplitQuad, true, true, false},
                      GrabCase{"MjpegFieldsQuad", kSplitQuad, true, true, true},
                      GrabCase{"MjpegFieldsStereo", kSplitStereo, true, true, true}),
    [](const ::testing::TestParamInfo<GrabCase>& info) { return std::string(info.param.name); });

TEST(MediaFileGraph, OpensPausedOnTheFirstFrame) {
  auto graph = OpenGraph(SharedVideos().raw);
  ASSERT_TRUE(graph);
  GstState state = GST_STATE_NULL;
  gst_element_get_state(graph->GetFilterGraph(), &state, nullptr, GST_SECOND);
  EXPECT_EQ(state, GST_STATE_PAUSED);
  auto decoded = DecodeQuarterOf(graph->Sampler()->CloneLatestFrame(), 0);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->frame, 0);
  EXPECT_FALSE(graph->Sampler()->Flip());  // frames arrive top-down
  EXPECT_FALSE(graph->GetRenderedFrame().empty());

  int64_t frames = 0;
  ASSERT_TRUE(DShow::Succeeded(graph->GetFrameCount(&frames)));
  EXPECT_EQ(frames, kFrames);
  std::string duration;
  DShow::GetDurationString(*graph, duration);
  EXPECT_EQ(duration, "00:00:01.000");
  double rate = 0;
  ASSERT_TRUE(DShow::Succeeded(graph->GetFrameRate(&rate)));
  EXPECT_DOUBLE_EQ(rate, 30.0);
}

TEST(MediaFileGraph, RefusesMissingAndNonVideoFilesAndFramesPastTheEnd) {
  TempDir dir;
  CSamplingFileGraph missing;
  missing.InitialiseFrameSampler();
  EXPECT_TRUE(DShow::Failed(missing.OpenMediaFile(dir.File("none.avi"))));
  EXPECT_TRUE(DShow::Failed(missing.Run()));

  dir.Write("text.avi", "this is not a video file at all\n");
  CSamplingFileGraph text;
  text.InitialiseFrameSampler();
  EXPECT_TRUE(DShow::Failed(text.OpenMediaFile(dir.File("text.avi"))));
  CCalibrationData data;
  data.AddCamera();
  EXPECT_EQ(GrabFrameIntoCameras(*text.Sampler(), Settings(kSplitNone, false), data), 0);
  EXPECT_EQ(data.GetViewCount(0), 0);

  auto graph = OpenGraph(SharedVideos().raw);
  ASSERT_TRUE(graph);
  EXPECT_EQ(graph->SeekToFrame(kFrames), DShow::E_INVALIDARG);
  EXPECT_EQ(graph->SeekToFrame(-1), DShow::E_INVALIDARG);
}

TEST(MediaFileGraph, PlaysToTheEndAndCaptureResumesPlayback) {
  auto graph = OpenGraph(SharedVideos().raw);
  ASSERT_TRUE(graph);
  CCalibrationData data;
  data.AddCamera();
  ASSERT_TRUE(DShow::Succeeded(graph->SeekToFrame(28)));
  EXPECT_EQ(GrabFrameFromGraph(*graph, *graph->Sampler(), Settings(kSplitNone, false), data), 1);
  for (int i = 0; i < 200 && !graph->ReachedEnd(); ++i) g_usleep(10000);
  EXPECT_TRUE(graph->ReachedEnd());
  auto last = DecodeQuarterOf(graph->Sampler()->CloneLatestFrame(), 3);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->frame, kFrames - 1);
  EXPECT_TRUE(DShow::Succeeded(graph->Stop()));
  EXPECT_TRUE(graph->LastError().empty());
}

}  // namespace
