// The video file player: opens paused on frame 0, runs and stops, seeks,
// grabs frames into views and records through the recording branch.
#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QTest>
#include <QTemporaryDir>
#include <cmath>
#include <functional>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"
#include "sources/test_media_fixtures.h"
#include "ui/CaptureSettingsDlg.h"
#include "widgets/HoverButtonEx.h"
#include "ui/VideoPlayerControl.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int milliseconds = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > milliseconds) return false;
    QTest::qWait(10);
  }
  return true;
}

int SampledFrameNumber(CVideoPlayerControl& player) {
  const cv::Mat frame = player.Graph()->Sampler()->CloneLatestFrame();
  const auto decoded = media_test::DecodeQuarterOf(frame, 0);
  return decoded ? decoded->frame : -1;
}

class PlayerTest : public ::testing::Test, public WithApplication {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    video_ = folder_.filePath("numbered.avi").toStdString();
    media_test::VideoSpec spec;
    spec.frames = 90;
    ASSERT_TRUE(media_test::MakeNumberedAvi(video_, spec));
    store_.AddCamera();
    player_.resize(400, 300);
    player_.SetStore(&store_);
    player_.Layout();
    player_.Open(video_);
    messages_.clear();
    SetSourceMessageHandler([this](const QString& text) { messages_ << text; });
  }
  void TearDown() override { SetSourceMessageHandler({}); }

  void RecordWith(int compressorIndex, const std::string& output) {
    player_.SetSettingsDialogRunner([&](CCaptureSettingsDlg& dialog) {
      dialog.SetCompressorIndex(compressorIndex);
      dialog.SetFileName(output);
      return true;
    });
    player_.RecordSetup();
  }

  QTemporaryDir folder_;
  std::string video_;
  CCalibrationData store_;
  CVideoPlayerControl player_;
  QStringList messages_;
};

TEST_F(PlayerTest, OpensPausedOnTheFirstFrameAndShowsIt) {
  EXPECT_TRUE(player_.IsOpen());
  EXPECT_EQ(SampledFrameNumber(player_), 0);
  QTest::qWait(200);
  EXPECT_EQ(SampledFrameNumber(player_), 0) << "a paused file must not advance";
  EXPECT_TRUE(WaitFor([&] { return !player_.VideoView()->ShownFrame().isNull(); }, 3000));
  EXPECT_TRUE(player_.GetInfoText().startsWith("Duration: 00:00:03"));
  EXPECT_TRUE(player_.GetInfoText().endsWith("\nSize: -\nEncoding: -\n"));
}

TEST_F(PlayerTest, RunAdvancesStopHoldsAndStopWithoutTimerIsHarmless) {
  player_.Button(CVideoPlayerControl::kIdRun)->click();
  EXPECT_TRUE(WaitFor([&] { return SampledFrameNumber(player_) > 5; }));
  player_.Button(CVideoPlayerControl::kIdStop)->click();
  EXPECT_FALSE(player_.StatusTimerActive());
  const int held = SampledFrameNumber(player_);
  QTest::qWait(200);
  EXPECT_EQ(SampledFrameNumber(player_), held);
  player_.Stop();
  EXPECT_FALSE(player_.StatusTimerActive());
}

TEST_F(PlayerTest, SeekButtonsGoToEndsAndOneSecondSteps) {
  player_.Button(CVideoPlayerControl::kIdForward)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 30);
  player_.Button(CVideoPlayerControl::kIdForward)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 60);
  player_.Button(CVideoPlayerControl::kIdRewind)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 30);
  player_.Button(CVideoPlayerControl::kIdEnd)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 89);
  player_.Button(CVideoPlayerControl::kIdForward)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 89) << "forward stops at the last frame";
  player_.Button(CVideoPlayerControl::kIdBeginning)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 0);
  player_.Button(CVideoPlayerControl::kIdRewind)->click();
  EXPECT_EQ(SampledFrameNumber(player_), 0) << "back stops at the first frame";
}

TEST_F(PlayerTest, CaptureAddsAnUprightViewToTheSourcesCamera) {
  player_.SetFirstCamera(0);
  int refreshed = 0;
  player_.SetDataPanelRefresh([&] { ++refreshed; });
  player_.Button(CVideoPlayerControl::kIdCapture)->click();
  ASSERT_EQ(store_.GetViewCount(0), 1);
  EXPECT_EQ(refreshed, 1);
  const ViewPixels view = store_.GetViewImage(0, 0);
  ASSERT_NE(view, nullptr);
  const auto decoded = media_test::DecodeQuarterOf(*view, 0);
  ASSERT_TRUE(decoded.has_value()) << "the view must be upright";
  player_.Stop();
}

TEST_F(PlayerTest, CancelledRecordSetUpLeavesGraphAndTimerAlone) {
  player_.SetSettingsDialogRunner([](CCaptureSettingsDlg&) { return false; });
  player_.RecordSetup();
  EXPECT_FALSE(player_.StatusTimerActive());
  EXPECT_FALSE(player_.Graph()->IsRecording());
  EXPECT_EQ(SampledFrameNumber(player_), 0);
}

// "Remove Distortion" uses Camera 1's parameters; when they cannot serve the
// set-up says why and records the frames as they are.
TEST_F(PlayerTest, RemoveDistortionSaysWhyItRefusesAndUndistortsWhenCameraOneFits) {
  const auto setUpWithRemoveDistortion = [this](const std::string& name) {
    messages_.clear();
    player_.SetSettingsDialogRunner([&](CCaptureSettingsDlg& dialog) {
      dialog.SetFileName(folder_.filePath(QString::fromStdString(name)).toStdString());
      dialog.SetRemoveDistortion(true);
      return true;
    });
    player_.RecordSetup();
    EXPECT_TRUE(player_.Graph()->IsRecording()) << name;
    const bool undistorting = player_.Graph()->Sampler()->Undistorting();
    player_.Stop();
    return undistorting;
  };
  EXPECT_FALSE(setUpWithRemoveDistortion("uncalibrated.avi"));
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains("Camera 1, which is not calibrated")) << messages_[0].toStdString();
  EXPECT_TRUE(messages_[0].contains("recorded as they are"));

  CameraParameters camera;
  camera.K = {300, 0, 160, 0, 300, 120, 0, 0, 1};
  camera.distortion = {-0.2, 0, 0, 0, 0};
  camera.width = 640;
  camera.height = 480;
  store_.SetCameraParameters(0, camera);
  EXPECT_FALSE(setUpWithRemoveDistortion("other_size.avi"));
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains("640 x 480")) << messages_[0].toStdString();
  EXPECT_TRUE(messages_[0].contains("320 x 240")) << messages_[0].toStdString();

  camera.width = 320;
  camera.height = 240;
  store_.SetCameraParameters(0, camera);
  EXPECT_TRUE(setUpWithRemoveDistortion("undistorted.avi"));
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join("; ").toStdString();
}

// The width of the undistorted picture is chosen beside "Remove Distortion"
// (greyed until it is ticked); a fisheye's frames are then undistorted to a
// pinhole picture that wide, else through the camera's own matrix.
TEST_F(PlayerTest, RemoveDistortionShowsTheChosenFieldOfView) {
  CameraParameters fisheye;
  fisheye.model = LensModel::Fisheye;
  fisheye.K = {90, 0, 160, 0, 90, 120, 0, 0, 1};
  fisheye.distortion = {0.03, -0.008, 0.0015, -0.0002, 0, 0, 0, 0};
  fisheye.width = 320;
  fisheye.height = 240;
  store_.SetCameraParameters(0, fisheye);
  const auto setUpWith = [this](double degrees) {
    player_.SetSettingsDialogRunner([this, degrees](CCaptureSettingsDlg& dialog) {
      const auto* width = dialog.findChild<QDoubleSpinBox*>("fieldOfView");
      EXPECT_TRUE(width && !width->isEnabled()) << "greyed while the frames are kept as they are";
      dialog.SetFileName(folder_.filePath(QString("width%1.avi").arg(degrees)).toStdString());
      dialog.SetRemoveDistortion(true);
      EXPECT_TRUE(width && width->isEnabled());
      dialog.SetFieldOfView(degrees);
      return true;
    });
    messages_.clear();
    player_.RecordSetup();
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join("; ").toStdString();
    EXPECT_TRUE(player_.Graph()->Sampler()->Undistorting());
    const std::array<double, 4> output = player_.Graph()->Sampler()->UndistortionOutput();
    player_.Stop();
    return output;
  };
  const std::array<double, 4> wide = setUpWith(150.0);
  EXPECT_NEAR(wide[0], 160.0 / std::tan(75.0 * M_PI / 180.0), 1e-9);
  EXPECT_NEAR(wide[1], wide[0], 1e-9);
  EXPECT_DOUBLE_EQ(wide[2], 159.5);
  EXPECT_DOUBLE_EQ(wide[3], 119.5);
  EXPECT_EQ(setUpWith(0.0), (std::array<double, 4>{90, 90, 160, 120}));
}

void ExpectRecordingOfAllFrames(PlayerTest& test, CVideoPlayerControl& player, const std::string& output,
                                const QStringList& messages) {
  ASSERT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
  EXPECT_TRUE(player.StatusTimerActive());
  EXPECT_TRUE(player.Graph()->IsRecording());
  player.Run();
  EXPECT_TRUE(WaitFor([&] { return player.Graph()->ReachedEnd(); }));
  QTest::qWait(100);  // a timer tick with a position
  EXPECT_TRUE(player.PositionText().endsWith("s"));
  player.Stop();
  EXPECT_FALSE(player.StatusTimerActive());
  EXPECT_EQ(media_test::CountDecodedFrames(output), 90);
  (void)test;
}

TEST_F(PlayerTest, RecordsEveryFrameWithoutCompression) {
  const std::string output = folder_.filePath("raw.avi").toStdString();
  RecordWith(0, output);
  ExpectRecordingOfAllFrames(*this, player_, output, messages_);
}

TEST_F(PlayerTest, RecordsEveryFrameThroughAnEncoder) {
  CCaptureSettingsDlg probe(&store_);
  ASSERT_GT(probe.CompressorCount(), 1) << "no encoder that writes AVI is installed";
  EXPECT_EQ(probe.CompressorName(0), "No compression");
  const std::string output = folder_.filePath("encoded.avi").toStdString();
  RecordWith(1, output);
  ExpectRecordingOfAllFrames(*this, player_, output, messages_);
}

TEST_F(PlayerTest, RecordingToAnUnwritablePlaceShowsItsMessage) {
  RecordWith(0, "/nonexistent-folder/for/sure/out.avi");
  if (messages_.isEmpty()) {
    // Some writers only fail once data flows; then the graph reports it.
    player_.Run();
    WaitFor([&] { return !player_.Graph()->LastError().empty() || player_.Graph()->ReachedEnd(); }, 5000);
    EXPECT_FALSE(player_.Graph()->LastError().empty());
  } else {
    EXPECT_FALSE(player_.StatusTimerActive());
  }
  player_.Stop();
}

TEST(PlayerText, PositionAndFailureTexts) {
  EXPECT_EQ(CVideoPlayerControl::FormatPosition(0), "00m:00.000s");
  EXPECT_EQ(CVideoPlayerControl::FormatPosition(612340000LL), "01m:01.234s");
  EXPECT_EQ(CVideoPlayerControl::FormatPosition(36000000000LL), "60m:00.000s");
  EXPECT_EQ(RecordingFailureText(DShow::RecordingFailure::kConnectMux), "Unable to connect capture pin and mux!");
  EXPECT_EQ(RecordingFailureText(DShow::RecordingFailure::kNullClock), "Failed to set null clock!");
}

TEST(PlayerOpen, AFileThatCannotBeOpenedLeavesAnUsableControl) {
  TestApplication();
  CCalibrationData store;
  store.AddCamera();
  CVideoPlayerControl player;
  player.resize(400, 300);
  player.SetStore(&store);
  player.Layout();
  player.Open("/nonexistent/file.avi");
  EXPECT_EQ(player.Capture(), 0);
  player.SeekEnd();
  player.SeekForward();
  player.Run();
  player.Stop();
  EXPECT_EQ(store.GetViewCount(0), 0);
  EXPECT_TRUE(player.GetInfoText().startsWith("Duration: "));
}

}  // namespace
