// The player and the synchronised player number frames as `lentora grab`
// does, in the files that start their presentation times off the frame grid:
// MP4 with B-frames and WebM.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"
#include "sources/test_media_fixtures.h"
#include "widgets/HoverButtonEx.h"
#include "ui/SyncPlayerDlg.h"
#include "ui/VideoPlayerControl.h"
#include "support/TestPaths.h"

namespace {

constexpr int kFrames = 90;

int ShownNumber(CSamplingFileGraph* graph) {
  if (!graph || !graph->Sampler()) return -1;
  const auto decoded = media_test::DecodeQuarterOf(graph->Sampler()->CloneLatestFrame(), 0);
  return decoded ? decoded->frame : -1;
}

class NumberingTest : public ::testing::Test, public WithApplication {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    for (const char* factory : {"x264enc", "mp4mux", "vp8enc", "webmmux"})
      if (!media_test::HasElement(factory)) GTEST_SKIP() << factory << " is not installed";
    media_test::ClipSpec spec;
    spec.frames = kFrames;
    spec.encoder = "x264enc speed-preset=superfast bitrate=3000 key-int-max=30 bframes=2 b-adapt=false";
    spec.muxer = "mp4mux";
    mp4_ = folder_.filePath("bframes.mp4").toStdString();
    ASSERT_TRUE(media_test::MakeNumberedClip(mp4_, spec).written);
    spec.encoder = "vp8enc keyframe-max-dist=30 target-bitrate=3000000 deadline=1";
    spec.muxer = "webmmux";
    webm_ = folder_.filePath("vp8.webm").toStdString();
    ASSERT_TRUE(media_test::MakeNumberedClip(webm_, spec).written);
    SetSourceMessageHandler([this](const QString& text) { messages_ << text; });
  }
  void TearDown() override { SetSourceMessageHandler({}); }

  QTemporaryDir folder_;
  std::string mp4_, webm_;
  QStringList messages_;
};

TEST_F(NumberingTest, TransportButtonsCounterAndCaptureNameTheShownFrame) {
  CCalibrationData store;
  store.AddCamera();
  CVideoPlayerControl player;
  player.resize(400, 300);
  player.SetStore(&store);
  player.Layout();
  player.Open(mp4_);
  ASSERT_TRUE(player.IsOpen());
  EXPECT_EQ(player.CurrentFrame(), 0);
  EXPECT_EQ(player.FrameCounterText(), "frame 0 of 90");

  struct Step {
    int button;
    int frame;
  };
  const Step steps[] = {{CVideoPlayerControl::kIdEnd, 89},     {CVideoPlayerControl::kIdRewind, 59},
                        {CVideoPlayerControl::kIdRewind, 29},  {CVideoPlayerControl::kIdForward, 59},
                        {CVideoPlayerControl::kIdBeginning, 0}, {CVideoPlayerControl::kIdForward, 30}};
  for (const Step& step : steps) {
    player.Button(step.button)->click();
    EXPECT_EQ(player.CurrentFrame(), step.frame);
    EXPECT_EQ(ShownNumber(player.Graph()), step.frame) << "after button " << step.button;
  }
  EXPECT_EQ(player.FrameCounterText(), "frame 30 of 90");
  player.OnStatusTimer();  // the status line: the frame's own time and the counter
  EXPECT_EQ(player.PositionText(), "00m:01.000s");
  player.show();
  QTest::qWait(50);
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(player.grab().save(QString(TestScreenshotDir()) + "/player_frame_counter.png"));

  player.SetFirstCamera(0);
  ASSERT_EQ(player.Capture(), 1);
  const auto captured = media_test::DecodeQuarterOf(*store.GetViewImage(0, 0), 0);
  ASSERT_TRUE(captured);
  EXPECT_EQ(captured->frame, 30);
  player.Stop();
}

TEST_F(NumberingTest, SyncPlayerShowsTheLoggedFramesOfBothFiles) {
  // Client frame j was taken with server frame j - 3: both logs say so.
  auto writeLog = [&](const std::string& name, uint32_t local, uint32_t remote) {
    std::ofstream log(folder_.filePath(QString::fromStdString(name)).toStdString());
    for (uint32_t k = 0; k < kFrames; ++k) log << FormatFrameLogLine(k, local + 33 * k, 0, remote + 33 * k);
    return folder_.filePath(QString::fromStdString(name)).toStdString();
  };
  const std::string serverLog = writeLog("server.txt", 1000, 5000 + 3 * 33);
  const std::string clientLog = writeLog("client.txt", 5000, 1000 - 3 * 33);
  CSyncPlayerDlg player;
  player.SetFiles(mp4_, serverLog, webm_, clientLog);
  player.OnOpenFiles();
  ASSERT_TRUE(player.IsOpen());
  for (int frame : {17, 45, 59, 86, 0}) {
    player.SetFrame(frame);
    ASSERT_TRUE(player.OnGo()) << messages_.join(", ").toStdString();
    EXPECT_EQ(player.ShownClientFrame(), frame + 3);
    EXPECT_EQ(player.ServerGraph()->GetCurrentFrame(), frame);
    EXPECT_EQ(ShownNumber(player.ServerGraph()), frame);
    EXPECT_EQ(ShownNumber(player.ClientGraph()), frame + 3);
  }
}

}  // namespace
