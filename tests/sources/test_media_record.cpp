// Recording branches of file and capture graphs, the test capture device,
// compressor lists and graph surgery.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>

#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"
#include "sources/test_media_fixtures.h"
#include "support/TempDir.h"

using namespace media_test;

namespace {

constexpr int kFrames = 30;

int CompressorIndexOf(const std::string& factory) {
  std::vector<std::string> names;
  DShow::EnumVideoCompressors(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (DShow::GetCompressorFactoryName(static_cast<int>(i)) == factory) return static_cast<int>(i) + 1;
  return -1;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    g_usleep(10000);
  }
  return done();
}

class RecordFile : public ::testing::TestWithParam<const char*> {};

TEST_P(RecordFile, WritesAPlayableAviWithEveryFrame) {
  const std::string factory = GetParam();
  const int compressor = factory.empty() ? 0 : CompressorIndexOf(factory);
  if (compressor < 0) GTEST_SKIP() << factory << " not installed";
  TempDir dir;
  ASSERT_TRUE(MakeNumberedAvi(dir.File("in.avi"), {160, 120, kFrames, 30, "", false}));
  {
    CSamplingFileGraph graph;
    graph.InitialiseFrameSampler();
    ASSERT_TRUE(DShow::Succeeded(graph.OpenMediaFile(dir.File("in.avi"))));
    DShow::RecordingFailure failure;
    ASSERT_EQ(graph.SetUpRecording(dir.File("out.avi"), compressor, true, &failure), DShow::S_OK);
    EXPECT_EQ(failure, DShow::RecordingFailure::kNone);
    EXPECT_TRUE(graph.IsRecording());
    ASSERT_TRUE(DShow::Succeeded(graph.Run()));
    EXPECT_TRUE(WaitFor([&] { return graph.ReachedEnd(); }));
    EXPECT_TRUE(DShow::Succeeded(graph.Stop()));
    EXPECT_EQ(graph.LastError(), "");
  }
  EXPECT_EQ(CountDecodedFrames(dir.File("out.avi")), kFrames);

  CSamplingFileGraph replay;
  replay.InitialiseFrameSampler();
  ASSERT_TRUE(DShow::Succeeded(replay.OpenMediaFile(dir.File("out.avi"))));
  ASSERT_TRUE(DShow::Succeeded(replay.SeekToFrame(17)));
  auto decoded = DecodeQuarterOf(replay.Sampler()->CloneLatestFrame(), 2);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->frame, 17);
}

INSTANTIATE_TEST_SUITE_P(Media, RecordFile, ::testing::Values("", "avenc_mjpeg", "avenc_mpeg4"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(*info.param ? info.param : "NoCompression");
                         });

TEST(MediaRecording, ReportsTheFailedStepAndStaysUsable) {
  TempDir dir;
  ASSERT_TRUE(MakeNumberedAvi(dir.File("in.avi"), {160, 120, 5, 30, "", false}));
  CSamplingFileGraph graph;
  graph.InitialiseFrameSampler();
  ASSERT_TRUE(DShow::Succeeded(graph.OpenMediaFile(dir.File("in.avi"))));
  DShow::RecordingFailure failure;
  EXPECT_TRUE(DShow::Failed(graph.SetUpRecording(dir.File("out.avi"), 100000, true, &failure)));
  EXPECT_EQ(failure, DShow::RecordingFailure::kFetchCompressor);
  DShow::ElementPtr none;
  EXPECT_TRUE(DShow::Failed(DShow::GetCompressor(-1, &none)));

  CSamplingFileGraph empty;
  EXPECT_EQ(empty.SetUpRecording(dir.File("x.avi"), 0, true, &failure), DShow::E_UNEXPECTED);
}

TEST(MediaRecording, CompressorListHoldsOnlyWhatAviMuxTakes) {
  std::vector<std::string> names;
  ASSERT_EQ(DShow::EnumVideoCompressors(names, 100, 259), DShow::S_OK);
  EXPECT_LE(names.size(), 100u);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_LE(names[i].size(), 259u);
    EXPECT_FALSE(DShow::GetCompressorFactoryName(static_cast<int>(i)).empty());
  }
  if (HasElement("avenc_mjpeg")) {
    EXPECT_GT(CompressorIndexOf("avenc_mjpeg"), 0);
  }
  EXPECT_EQ(CompressorIndexOf("y4menc"), -1);  // an encoder whose stream avimux cannot hold
  std::vector<std::string> one;
  DShow::EnumVideoCompressors(one, 1, 3);
  if (!names.empty()) {
    EXPECT_EQ(one, (std::vector<std::string>{names[0].substr(0, 3)}));
  }
}

TEST(MediaGraphUtilities, NukeRemovesOnlyWhatLiesBetween) {
  DShow::EnsureGstInitialised();
  DShow::ElementPtr graph = DShow::AdoptFloating(gst_pipeline_new("g"));
  DShow::ElementPtr a, tee, q1, q2, b, c;
  ASSERT_EQ(DShow::AddFilterByCLSID(graph.get(), "identity", "a", &a), DShow::S_OK);
  ASSERT_EQ(DShow::AddFilterByCLSID(graph.get(), "tee", "tee", &tee), DShow::S_OK);
  DShow::AddFilterByCLSID(graph.get(), "queue", "q1", &q1);
  DShow::AddFilterByCLSID(graph.get(), "queue", "q2", &q2);
  DShow::AddFilterByCLSID(graph.get(), "fakesink", "b", &b);
  DShow::AddFilterByCLSID(graph.get(), "fakesink", "c", &c);
  EXPECT_TRUE(DShow::Failed(DShow::AddFilterByCLSID(graph.get(), "queue", "q1", &q1)));  // name taken
  ASSERT_EQ(DShow::ConnectFilters(graph.get(), a.get(), tee.get()), DShow::S_OK);
  DShow::PadPtr first, second, input;
  ASSERT_EQ(DShow::GetUnconnectedPin(tee.get(), DShow::PINDIR_OUTPUT, &first), DShow::S_OK);
  ASSERT_EQ(DShow::ConnectFilters(graph.get(), first.get(), q1.get()), DShow::S_OK);
  ASSERT_EQ(DShow::GetUnconnectedPin(tee.get(), DShow::PINDIR_OUTPUT, &second), DShow::S_OK);
  EXPECT_NE(first.get(), second.get());
  ASSERT_EQ(DShow::ConnectFilters(graph.get(), second.get(), q2.get()), DShow::S_OK);
  DShow::ConnectFilters(graph.get(), q1.get(), b.get());
  DShow::ConnectFilters(graph.get(), q2.get(), c.get());
  EXPECT_EQ(DShow::GetPin(b.get(), DShow::PINDIR_OUTPUT, &input), DShow::E_FAIL);  // a sink has no output

  ASSERT_EQ(DShow::NukeGraphSegment(graph.get(), a.get(), b.get()), DShow::S_OK);
  GstBin* bin = GST_BIN(graph.get());
  for (const char* gone : {"tee", "q1", "q2", "c"}) {
    DShow::ElementPtr found{gst_bin_get_by_name(bin, gone)};
    EXPECT_FALSE(found) << gone;
  }
  for (const char* kept : {"a", "b"}) {
    DShow::ElementPtr found{gst_bin_get_by_name(bin, kept)};
    EXPECT_TRUE(found) << kept;
  }
  ASSERT_EQ(DShow::GetUnconnectedPin(b.get(), DShow::PINDIR_INPUT, &input), DShow::S_OK);
  ASSERT_EQ(DShow::ConnectFilters(graph.get(), a.get(), b.get()), DShow::S_OK);  // both ends free again
}

struct CountingWindow : DShow::CVideoWindow {
  std::atomic<int> frames{0};
  void PresentFrame(const cv::Mat& frame) override {
    if (!frame.empty()) ++frames;
  }
};

TEST(MediaCaptureGraph, TestDeviceRecordsWithAFrameLog) {
  setenv("LENTORA_TEST_DEVICE", "1", 1);
  std::vector<std::string> devices;
  DShow::EnumVideoCaptureDevices(devices, 20, 99);
  ASSERT_FALSE(devices.empty());
  EXPECT_EQ(devices.back(), DShow::kTestDeviceName);
  const int device = static_cast<int>(devices.size());

  TempDir dir;
  CountingWindow window;
  CSamplingCaptureGraph graph;
  graph.InitVMR9(&window);
  graph.InitialiseFrameSampler();
  EXPECT_TRUE(DShow::Failed(graph.ConnectToLiveSource(device + 1)));
  ASSERT_EQ(graph.ConnectToLiveSource(device), DShow::S_OK);
  ASSERT_TRUE(DShow::Succeeded(graph.Run()));
  ASSERT_TRUE(WaitFor([&] { return graph.Sampler()->FormatKnown() && window.frames > 0; }));
  DShow::MediaType format;
  ASSERT_EQ(graph.GetCaptureFormat(&format), DShow::S_OK);
  EXPECT_GT(format.width, 0);

  DShow::RecordingFailure failure;
  ASSERT_EQ(graph.SetUpRecording(dir.File("live.avi"), 0, false, &failure), DShow::S_OK);
  graph.recordStartTick = MillisecondTick();
  ASSERT_TRUE(graph.Sampler()->OpenLog(dir.File("sync.txt")));
  ASSERT_TRUE(DShow::Succeeded(graph.Run()));
  ASSERT_TRUE(WaitFor([&] { return graph.Sampler()->FrameCount() >= 12; }));
  ASSERT_TRUE(DShow::Succeeded(graph.Stop()));
  graph.Sampler()->CloseLog();

  std::ifstream in(dir.File("sync.txt"));
  uint32_t lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    FrameLogLine parsed;
    ASSERT_TRUE(ParseFrameLogLine(line, parsed)) << line;
    EXPECT_EQ(parsed.frameCount, lines);
  }
  EXPECT_GE(lines, 12u);
  // The last logged frame may meet the end of the recording at the tee.
  const int recorded = CountDecodedFrames(dir.File("live.avi"));
  EXPECT_LE(recorded, static_cast<int>(lines));
  EXPECT_GE(recorded, static_cast<int>(lines) - 1);
  unsetenv("LENTORA_TEST_DEVICE");
}

}  // namespace

namespace {

TEST(MediaCaptureGraph, FormatChangeRebuildsTheChainWithANewSampler) {
  setenv("LENTORA_TEST_DEVICE", "1", 1);
  std::vector<std::string> devices;
  DShow::EnumVideoCaptureDevices(devices);
  CSamplingCaptureGraph graph;
  graph.InitialiseFrameSampler();
  ASSERT_EQ(graph.ConnectToLiveSource(static_cast<int>(devices.size())), DShow::S_OK);
  std::vector<DShow::MediaType> formats;
  ASSERT_TRUE(DShow::Succeeded(graph.GetCaptureFormats(formats)));
  auto vga = std::find_if(formats.begin(), formats.end(), [](const DShow::MediaType& f) { return f.width == 640 && f.height == 480; });
  ASSERT_NE(vga, formats.end());

  TempDir dir;
  ASSERT_EQ(graph.SetUpRecording(dir.File("dropped.avi"), 0, false, nullptr), DShow::S_OK);
  CSourceFrameSampler* before = graph.Sampler();
  ASSERT_EQ(graph.SetCaptureFormat(*vga), DShow::S_OK);
  EXPECT_FALSE(graph.IsRecording());
  EXPECT_NE(graph.Sampler(), before);
  ASSERT_TRUE(DShow::Succeeded(graph.Run()));
  ASSERT_TRUE(WaitFor([&] { return graph.Sampler()->FormatKnown() && !graph.Sampler()->CloneLatestFrame().empty(); }));
  EXPECT_EQ(graph.Sampler()->Width(), 640);
  EXPECT_EQ(graph.Sampler()->Height(), 480);
  CCalibrationData data;
  data.AddCamera();
  EXPECT_EQ(GrabFrameFromGraph(graph, *graph.Sampler(), SourceSettings{0, 0, {0, -1, -1, -1}}, data), 1);
  EXPECT_TRUE(DShow::Succeeded(graph.Stop()));
  unsetenv("LENTORA_TEST_DEVICE");
}

}  // namespace

namespace {

TEST(DroppedFrameCounter, GapsInTheFrameNumbersAreDroppedFramesAndUnnumberedFramesLeaveItUnknown) {
  DShow::DroppedFrameCounter counter;
  EXPECT_FALSE(counter.Known());
  for (uint64_t number : {7, 8, 9, 12, 13, 20}) counter.Observe(number);
  ASSERT_TRUE(counter.Known());
  EXPECT_EQ(counter.Dropped(), 2u + 6u);
  counter.Observe(0);  // the device started again: no gap
  counter.Observe(1);
  EXPECT_EQ(counter.Dropped(), 8u);
  counter.Observe(DShow::DroppedFrameCounter::kNoNumber);
  EXPECT_FALSE(counter.Known());
  counter.Reset();
  counter.Observe(3);
  EXPECT_TRUE(counter.Known());
  EXPECT_EQ(counter.Dropped(), 0u);
}

TEST(MediaCaptureGraph, StoppedGraphIsNotRestartedByAGrab) {
  setenv("LENTORA_TEST_DEVICE", "1", 1);
  std::vector<std::string> devices;
  DShow::EnumVideoCaptureDevices(devices);
  CSamplingCaptureGraph graph;
  graph.InitialiseFrameSampler();
  ASSERT_EQ(graph.ConnectToLiveSource(static_cast<int>(devices.size())), DShow::S_OK);
  uint64_t dropped = 1;
  EXPECT_EQ(graph.GetDroppedFrames(&dropped), DShow::E_NOTIMPL) << "no frame has told yet";
  TempDir dir;
  const std::string path = dir.File("kept.avi");
  ASSERT_EQ(graph.SetUpRecording(path, 0, false, nullptr), DShow::S_OK);
  EXPECT_TRUE(graph.IsStopped());
  const uint64_t before = graph.FramesGrabbed();
  ASSERT_TRUE(DShow::Succeeded(graph.Run()));
  EXPECT_FALSE(graph.IsStopped());
  ASSERT_TRUE(WaitFor([&] { return graph.FramesGrabbed() >= before + 8; }));
  // The test pattern numbers its frames and the pipeline blocks rather than drops.
  ASSERT_EQ(graph.GetDroppedFrames(&dropped), DShow::S_OK);
  EXPECT_EQ(dropped, 0u);
  ASSERT_TRUE(DShow::Succeeded(graph.Stop()));
  const int recorded = media_test::CountDecodedFrames(path);
  ASSERT_GE(recorded, 8);

  CCalibrationData data;
  data.AddCamera();
  EXPECT_EQ(GrabFrameFromGraph(graph, *graph.Sampler(), SourceSettings{0, 0, {0, -1, -1, -1}}, data), 1);
  EXPECT_TRUE(graph.IsStopped());
  EXPECT_EQ(media_test::CountDecodedFrames(path), recorded);
  unsetenv("LENTORA_TEST_DEVICE");
}

}  // namespace
