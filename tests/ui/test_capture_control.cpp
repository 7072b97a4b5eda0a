// The live capture control on the test-pattern device, and the synchronised
// player on two recordings it made.
#include <gtest/gtest.h>

#include <QDir>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "core/CalibrationData.h"
#include "records/Paths.h"
#include "sources/ClientSocket.h"
#include "sources/test_media_fixtures.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/CaptureSettingsDlg.h"
#include "ui/SourceDetailsPanel.h"
#include "ui/StaticSourcesView.h"
#include "ui/SyncPlayerDlg.h"
#include "ui/EventPump.h"
#include "ui/UiTestSupport.h"
#include "ui/VideoCaptureControl.h"
#include "widgets/HoverButtonEx.h"

namespace {

int TestDevice() {
  std::vector<std::string> devices;
  DShow::EnumVideoCaptureDevices(devices, 20, 99);
  return devices.empty() || devices.back() != DShow::kTestDeviceName ? 0 : static_cast<int>(devices.size());
}

int LineCount(const std::string& path) {
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

void SaveScreenshot(QWidget& widget, const QString& name) {
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(widget.grab().save(QString(TestScreenshotDir()) + "/" + name));
}

class LiveCapture : public ::testing::Test, public WithApplication {
 protected:
  void SetUp() override {
    setenv("LENTORA_TEST_DEVICE", "1", 1);
    setenv("LENTORA_OUTPUT_DIR", dir.Path().c_str(), 1);
    SetSourceMessageHandler([this](const QString& text) { messages << text; });
    device = TestDevice();
    ASSERT_GT(device, 0);
    store.AddCamera();
  }
  void TearDown() override {
    SetSourceMessageHandler({});
    unsetenv("LENTORA_OUTPUT_DIR");
    unsetenv("LENTORA_TEST_DEVICE");
  }

  std::unique_ptr<CVideoCaptureControl> MakeControl() {
    auto control = std::make_unique<CVideoCaptureControl>(nullptr, 100123);
    control->SetApplicationFolder(TestGraphicsParent());
    control->SetStore(&store);
    control->SetFirstCamera(0);
    control->resize(420, 230);
    control->Layout();
    return control;
  }

  // Records with the frame log on, as a synchronised server whose partner is away.
  void Record(CVideoCaptureControl& control, int compressor, int frames) {
    CaptureRecordSettings settings;
    settings.compressorIndex = compressor;
    settings.networkSync = true;
    settings.serverAddress = "127.0.0.1";
    settings.port = 0;  // any free port: tests must not need 4000
    control.SetUpRecording(settings);
    ASSERT_TRUE(messages.isEmpty()) << messages.join(", ").toStdString();
    ASSERT_NE(control.Socket(), nullptr);
    control.OnRun();
    ASSERT_TRUE(PumpUntil([&] { return control.Graph()->Sampler()->FrameCount() >= static_cast<uint32_t>(frames); }));
    control.OnStop();
    control.Graph()->Sampler()->CloseLog();
  }

  TempDir dir;
  CCalibrationData store;
  QStringList messages;
  int device = 0;
};

TEST_F(LiveCapture, PreviewsGrabsAndReportsItsFormat) {
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  EXPECT_TRUE(control->IsOpen());
  control->show();
  ASSERT_TRUE(PumpUntil([&] { return control->VideoView()->FramesShown() >= 3; }));
  EXPECT_TRUE(control->GetInfoText().startsWith("Video Size: ")) << control->GetInfoText().toStdString();
  EXPECT_TRUE(control->GetInfoText().contains("\nFrame Rate: "));
  for (int id : {CVideoCaptureControl::kIdRun, CVideoCaptureControl::kIdStop, CVideoCaptureControl::kIdRecord,
                 CVideoCaptureControl::kIdCapture})
    ASSERT_NE(control->Button(id), nullptr) << id;
  EXPECT_EQ(control->Button(CVideoCaptureControl::kIdCapture)->pos(), QPoint(179, 230 - 35));

  ASSERT_TRUE(PumpUntil([&] { return !control->Graph()->Sampler()->CloneLatestFrame().empty(); }));
  EXPECT_EQ(control->OnCapture(), 1);
  EXPECT_EQ(store.GetViewCount(0), 1);

  control->show();
  ASSERT_TRUE(PumpUntil([&] { return control->VideoView()->FramesShown() >= 6; }));
  SaveScreenshot(*control, "capture_control_preview.png");

  // Without a recording the status says what the source does; Stop without
  // synchronisation leaves the timer running.
  control->OnRun();
  EXPECT_TRUE(control->StatusTimerActive());
  control->UpdateStatus();
  EXPECT_EQ(control->StatusText(), "Previewing (not recording)");
  control->OnStop();
  EXPECT_EQ(control->StatusText(), "Stopped (not recording)");
  EXPECT_TRUE(control->StatusTimerActive());
}

class LiveRecording : public LiveCapture, public ::testing::WithParamInterface<int> {};

TEST_P(LiveRecording, AviHoldsAFrameForEveryLogLine) {
  const int compressor = GetParam();
  std::vector<std::string> compressors;
  DShow::EnumVideoCompressors(compressors);
  if (compressor > static_cast<int>(compressors.size())) GTEST_SKIP() << "no encoder installed";
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  Record(*control, compressor, 15);
  EXPECT_FALSE(control->StatusTimerActive());  // a synchronised server's Stop ends it
  control->UpdateStatus();
  EXPECT_TRUE(control->StatusText().startsWith("Captured ")) << control->StatusText().toStdString();

  const int lines = LineCount(control->FrameLogPath());
  EXPECT_GE(lines, 15);
  const int recorded = media_test::CountDecodedFrames(control->RecordingPath());
  // The last logged frame may meet the end of the recording at the tee.
  EXPECT_LE(recorded, lines);
  EXPECT_GE(recorded, lines - 1);
}

INSTANTIATE_TEST_SUITE_P(Capture, LiveRecording, ::testing::Values(0, 1));

TEST_F(LiveCapture, ClientSetUpStartsItsTimerAndFollowsTheServer) {
  auto client = MakeControl();
  ASSERT_TRUE(client->Connect(device));
  CClientSocket server;
  ASSERT_TRUE(server.Create(0, QHostAddress(QHostAddress::LocalHost)));
  CaptureRecordSettings settings;
  settings.networkSync = true;
  settings.client = true;
  settings.serverAddress = "127.0.0.1";
  settings.port = 0;
  settings.peerPort = server.LocalPort();
  client->SetUpRecording(settings);
  ASSERT_TRUE(messages.isEmpty());
  EXPECT_TRUE(client->StatusTimerActive());  // before any start datagram
  // A second set-up replaces the socket instead of failing to bind.
  client->SetUpRecording(settings);
  EXPECT_TRUE(messages.isEmpty()) << messages.join(", ").toStdString();

  server.SetPeer("127.0.0.1", client->Socket()->LocalPort());
  for (int i = 0; i < CVideoCaptureControl::kCommandRepeats; ++i) server.SendCommand(kSyncStart);
  ASSERT_TRUE(PumpUntil([&] { return client->Graph()->Sampler()->FrameCount() >= 5; }));
  EXPECT_NE(client->Graph()->Sampler()->RemoteTick(), 0u);
  for (int i = 0; i < CVideoCaptureControl::kCommandRepeats; ++i) server.SendCommand(kSyncStop);
  ASSERT_TRUE(PumpUntil([&] { return client->Socket()->DatagramsReceived() >= 20; }));
  client->Graph()->Sampler()->CloseLog();
  const int lines = LineCount(client->FrameLogPath());
  const int recorded = media_test::CountDecodedFrames(client->RecordingPath());
  EXPECT_GE(recorded, lines - 1);
  EXPECT_LE(recorded, lines);
}

TEST_F(LiveCapture, SyncPlayerShowsMatchingFramesOfTwoRecordings) {
  std::string videos[2], logs[2];
  for (int i = 0; i < 2; ++i) {
    auto control = MakeControl();
    ASSERT_TRUE(control->Connect(device));
    Record(*control, 0, 12);
    videos[i] = dir.File("rec" + std::to_string(i) + ".avi");
    logs[i] = dir.File("rec" + std::to_string(i) + ".txt");
    control.reset();
    std::filesystem::rename(OutputPath("SampleAvi.avi"), videos[i]);
    std::filesystem::rename(OutputPath("SampleAviSync.txt"), logs[i]);
  }
  CSyncPlayerDlg player;
  player.SetFiles(videos[0], logs[0], videos[1], logs[1]);
  player.OnOpenFiles();
  ASSERT_TRUE(player.IsOpen());
  ASSERT_GE(player.ServerTicks().local.size(), 12u);
  const size_t serverLines = player.ServerTicks().local.size();

  player.SetFrame(static_cast<int>(serverLines));  // past the log: nothing changes, and it says why
  EXPECT_FALSE(player.OnGo());
  EXPECT_TRUE(player.ResultText().isEmpty());
  ASSERT_FALSE(messages.isEmpty());
  EXPECT_TRUE(messages.last().contains(QString("frames 0 to %1").arg(serverLines - 1))) << messages.last().toStdString();
  messages.clear();

  player.SetFrame(5);
  EXPECT_TRUE(player.OnGo()) << messages.join(", ").toStdString();
  EXPECT_TRUE(player.ResultText().startsWith("Server fame: 5 Client Frame: ")) << player.ResultText().toStdString();
  EXPECT_TRUE(player.ResultText().contains(QString("Client Frame: %1\n").arg(player.ShownClientFrame())));
  player.show();
  PumpUntil([&] { return player.LeftView()->FramesShown() > 0 && player.RightView()->FramesShown() > 0; });
  EXPECT_GT(player.LeftView()->FramesShown(), 0);
  EXPECT_GT(player.RightView()->FramesShown(), 0);
  SaveScreenshot(player, "sync_player.png");
}

class FormatChoosingControl : public CVideoCaptureControl {
 public:
  QString askedTitle;

 protected:
  bool AskCaptureFormat(const QString& title, DShow::MediaType& chosen) override {
    askedTitle = title;
    chosen = DShow::MediaType{};
    chosen.width = 640;
    chosen.height = 480;
    return true;
  }
};

TEST_F(LiveCapture, CapturePinSettingsRebuildTheChainAndPreviewAgain) {
  FormatChoosingControl control;
  control.SetStore(&store);
  control.resize(420, 230);
  ASSERT_TRUE(control.Connect(device));
  control.ShowCapturePinSettings();
  EXPECT_EQ(control.askedTitle, "Capture Pin Properties");
  ASSERT_TRUE(PumpUntil([&] { return control.Graph()->Sampler()->FormatKnown(); }));
  EXPECT_EQ(control.Graph()->Sampler()->Width(), 640);
  EXPECT_EQ(control.Graph()->Sampler()->Height(), 480);
  EXPECT_TRUE(control.GetInfoText().startsWith("Video Size: 640 x 480"));
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(LiveCapture, MainWindowMakesCaptureControlsForLiveSourcesAndHasThePlayerOnP) {
  ScriptedWorkbench window(TestGraphicsParent());
  EXPECT_TRUE(static_cast<bool>(window.PanelHooks().keyP));
  auto* sources = qobject_cast<CStaticSourcesView*>(window.SourcesPanel());
  ASSERT_NE(sources, nullptr);
  auto* control = dynamic_cast<CVideoCaptureControl*>(sources->AddLiveSource(device, DShow::kTestDeviceName));
  ASSERT_NE(control, nullptr);
  EXPECT_TRUE(control->IsOpen());
  EXPECT_TRUE(control->IsLive());
  window.show();
  // Not selected: nobody sees its frames, so its preview stops once the
  // device has told its format, which the entry then shows.
  ASSERT_TRUE(PumpUntil([&] { return control->PreviewParked(); }));
  EXPECT_TRUE(control->Graph()->IsStopped());
  EXPECT_EQ(control->VideoView()->FramesShown(), 0);
  ASSERT_TRUE(PumpUntil([&] { return sources->Panel(0)->Information().startsWith("Video Size: "); }));
  // Selected, it previews again; deselected, it stops again.
  const QRect entry = sources->PanelRect(0);
  sources->Click(entry.center().x(), entry.top() + 5);
  EXPECT_FALSE(control->PreviewParked());
  ASSERT_TRUE(PumpUntil([&] { return control->VideoView()->FramesShown() > 0; }));
  EXPECT_EQ(control->StatusText(), "Previewing (not recording)");
  sources->Click(entry.center().x(), sources->height() - 60);
  EXPECT_TRUE(control->PreviewParked());
  EXPECT_TRUE(control->Graph()->IsStopped());
  // A recording set up while hidden keeps its graph as the set-up left it.
  sources->Click(entry.center().x(), entry.top() + 5);
  CaptureRecordSettings settings;
  settings.fileName = dir.File("hidden.avi");
  control->SetUpRecording(settings);
  control->OnRun();
  sources->Click(entry.center().x(), sources->height() - 60);
  EXPECT_FALSE(control->PreviewParked());
  EXPECT_FALSE(control->Graph()->IsStopped()) << "a recording goes on while its control is hidden";
  const uint64_t before = control->Graph()->FramesGrabbed();
  ASSERT_TRUE(PumpUntil([&] { return control->Graph()->FramesGrabbed() >= before + 3; }));
  control->OnStop();
}

}  // namespace

namespace {

std::uintmax_t FileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

TEST_F(LiveCapture, RecordsToTheChosenFileAndCaptureAfterStopLeavesItAlone) {
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  const std::string chosen = dir.File("take one.avi");
  QString proposed;
  AnswerModal<CCaptureSettingsDlg>([&](CCaptureSettingsDlg* dialog) {
    proposed = QString::fromStdString(dialog->FileName());
    dialog->SetFileName(chosen);
    dialog->accept();
  });
  control->Button(CVideoCaptureControl::kIdRecord)->click();
  EXPECT_EQ(proposed.toStdString(), CVideoCaptureControl::DefaultRecordingPath());
  EXPECT_EQ(control->RecordingPath(), chosen);
  EXPECT_EQ(control->FrameLogPath(), dir.File("take oneSync.txt"));

  const uint64_t before = control->Graph()->FramesGrabbed();
  control->OnRun();
  ASSERT_TRUE(PumpUntil([&] { return control->Graph()->FramesGrabbed() >= before + 10; }));
  control->OnStop();
  ASSERT_TRUE(control->Graph()->IsStopped());
  const int recorded = media_test::CountDecodedFrames(chosen);
  EXPECT_GE(recorded, 10);
  EXPECT_FALSE(std::filesystem::exists(CVideoCaptureControl::DefaultRecordingPath()));
  const auto size = FileSize(chosen);

  // Capture takes the last frame the stopped graph delivered; the graph
  // stays stopped and the recording keeps every frame.
  ASSERT_NE(control->Button(CVideoCaptureControl::kIdCapture), nullptr);
  control->Button(CVideoCaptureControl::kIdCapture)->click();
  EXPECT_EQ(store.GetViewCount(0), 1);
  EXPECT_TRUE(control->Graph()->IsStopped());
  QTest::qWait(300);
  EXPECT_EQ(FileSize(chosen), size);
  EXPECT_EQ(media_test::CountDecodedFrames(chosen), recorded);
  EXPECT_TRUE(messages.isEmpty()) << messages.join(", ").toStdString();
}

TEST_F(LiveCapture, SettingsDialogAsksBeforeReplacingAFile) {
  const std::string existing = dir.File("old.avi");
  dir.Write("old.avi", "an earlier recording");
  CCaptureSettingsDlg dialog(&store);
  EXPECT_EQ(dialog.FileName(), OutputPath("TestFile.avi"));  // the player's default
  dialog.SetFileName(existing);

  QString question;
  AnswerMessageBox(QMessageBox::No, &question);
  dialog.open();
  dialog.accept();
  EXPECT_TRUE(question.contains("already exists")) << question.toStdString();
  EXPECT_TRUE(dialog.isVisible()) << "No keeps the dialog open for another name";
  EXPECT_EQ(dialog.result(), 0);

  AnswerMessageBox(QMessageBox::Yes);
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dir.Read("old.avi"), "an earlier recording") << "the dialog only chooses; recording writes";

  // An empty name or a missing folder is refused with a message.
  CCaptureSettingsDlg second(&store);
  for (const std::string& bad : {std::string(""), dir.File("no such folder/x.avi")}) {
    second.SetFileName(bad);
    QString refusal;
    AnswerMessageBox(QMessageBox::Ok, &refusal);
    second.open();
    second.accept();
    EXPECT_FALSE(refusal.isEmpty()) << bad;
    EXPECT_NE(second.result(), QDialog::Accepted) << bad;
  }
}

TEST_F(LiveCapture, StatusCountsTimeFromRunToStopAndTheDevicesOwnDrops) {
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  CaptureRecordSettings settings;
  settings.fileName = dir.File("status.avi");
  control->SetUpRecording(settings);
  ASSERT_TRUE(messages.isEmpty()) << messages.join(", ").toStdString();
  QTest::qWait(400);  // time between the set-up and Run is not recording time
  control->UpdateStatus();
  EXPECT_EQ(control->StatusText(), "Recording set up: Run starts it");

  const uint64_t before = control->Graph()->FramesGrabbed();
  control->OnRun();
  ASSERT_TRUE(PumpUntil([&] { return control->Graph()->FramesGrabbed() >= before + 10; }));
  QTest::qWait(300);
  control->OnStop();
  const uint32_t recorded = control->ElapsedMs();
  EXPECT_GE(recorded, 300u);
  EXPECT_LT(recorded, 8000u + 300u);
  QTest::qWait(300);
  EXPECT_EQ(control->ElapsedMs(), recorded) << "the time stands still from Stop";
  control->UpdateStatus();
  // The test pattern numbers its frames, so its drop count is a real one.
  const QString expectedEnd = QString(" (0 dropped) %1.%2sec - stopped").arg(recorded / 1000).arg(recorded / 100 % 10);
  EXPECT_TRUE(control->StatusText().startsWith("Captured ")) << control->StatusText().toStdString();
  EXPECT_TRUE(control->StatusText().endsWith(expectedEnd)) << control->StatusText().toStdString();
  EXPECT_TRUE(control->StatusTimerActive()) << "without synchronisation the timer keeps running";
}

// The recording set-up makes a new sampler before any frame passed it; the
// device's connected format gives the size, so a camera calibrated at that
// size is used and any other is refused with its reason.
TEST_F(LiveCapture, RemoveDistortionUsesCameraOneOnlyAtTheDevicesFrameSize) {
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  ASSERT_TRUE(PumpUntil([&] { return !control->Graph()->Sampler()->CloneLatestFrame().empty(); }));
  int width = 0, height = 0;
  ASSERT_TRUE(control->Graph()->Sampler()->FrameSize(width, height));
  CaptureRecordSettings settings;
  settings.fileName = dir.File("undistorted.avi");
  settings.removeDistortion = true;

  control->SetUpRecording(settings);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("Camera 1, which is not calibrated")) << messages[0].toStdString();
  EXPECT_FALSE(control->Graph()->Sampler()->Undistorting());

  CameraParameters camera;
  camera.K = {0.8 * width, 0, width / 2.0, 0, 0.8 * width, height / 2.0, 0, 0, 1};
  camera.distortion = {-0.2, 0, 0, 0, 0};
  camera.width = width / 2;
  camera.height = height / 2;
  store.SetCameraParameters(0, camera);
  messages.clear();
  control->SetUpRecording(settings);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains(QString("frames are %1 x %2").arg(width).arg(height))) << messages[0].toStdString();
  EXPECT_FALSE(control->Graph()->Sampler()->Undistorting());

  camera.width = width;
  camera.height = height;
  store.SetCameraParameters(0, camera);
  messages.clear();
  control->SetUpRecording(settings);
  EXPECT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
  EXPECT_TRUE(control->Graph()->Sampler()->Undistorting());
}

// The dialog's field of view reaches the live source's undistortion: a
// fisheye's frames become a pinhole picture that wide.
TEST_F(LiveCapture, RemoveDistortionTakesTheDialogsFieldOfView) {
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  ASSERT_TRUE(PumpUntil([&] { return !control->Graph()->Sampler()->CloneLatestFrame().empty(); }));
  int width = 0, height = 0;
  ASSERT_TRUE(control->Graph()->Sampler()->FrameSize(width, height));
  CameraParameters fisheye;
  fisheye.model = LensModel::Fisheye;
  fisheye.K = {0.3 * width, 0, width / 2.0, 0, 0.3 * width, height / 2.0, 0, 0, 1};
  fisheye.distortion = {0.03, -0.008, 0.0015, -0.0002, 0, 0, 0, 0};
  fisheye.width = width;
  fisheye.height = height;
  store.SetCameraParameters(0, fisheye);
  AnswerModal<CCaptureSettingsDlg>([&](CCaptureSettingsDlg* dialog) {
    dialog->SetFileName(dir.File("wide.avi"));
    dialog->SetRemoveDistortion(true);
    dialog->SetFieldOfView(140.0);
    SaveScreenshot(*dialog, "capture_settings_field_of_view.png");
    dialog->accept();
  });
  control->Button(CVideoCaptureControl::kIdRecord)->click();
  EXPECT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
  ASSERT_TRUE(control->Graph()->Sampler()->Undistorting());
  const std::array<double, 4> output = control->Graph()->Sampler()->UndistortionOutput();
  EXPECT_NEAR(output[0], 0.5 * width / std::tan(70.0 * M_PI / 180.0), 1e-9);
  EXPECT_NEAR(output[2], 0.5 * (width - 1), 1e-9);
}

TEST_F(LiveCapture, StatusLineFitsAndSitsClearOfTheVideoAndButtons) {
  auto control = MakeControl();
  ASSERT_TRUE(control->Connect(device));
  CaptureRecordSettings settings;
  settings.fileName = dir.File("status.avi");
  control->SetUpRecording(settings);
  const uint64_t before = control->Graph()->FramesGrabbed();
  control->OnRun();
  ASSERT_TRUE(PumpUntil([&] { return control->Graph()->FramesGrabbed() >= before + 5; }));
  control->UpdateStatus();
  control->show();
  ASSERT_TRUE(PumpUntil([&] { return control->VideoView()->FramesShown() >= 3; }));
  const QRect status = control->StatusRect();
  EXPECT_FALSE(status.intersects(control->VideoView()->geometry()));
  for (int id : {CVideoCaptureControl::kIdRun, CVideoCaptureControl::kIdCapture})
    EXPECT_FALSE(status.intersects(control->Button(id)->geometry())) << id;
  // Every amber pixel of the text lies inside the status line, and the text
  // reaches past the 200 pixels the line once had.
  const QImage shot = control->grab().toImage();
  SaveScreenshot(*control, "capture_control_recording.png");
  int rightmost = -1;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x) {
      const QRgb p = shot.pixel(x, y);
      if (qRed(p) > 200 && qGreen(p) > 120 && qGreen(p) < 220 && qBlue(p) < 80 &&
          !control->VideoView()->geometry().contains(x, y)) {
        EXPECT_TRUE(status.contains(x, y)) << x << "," << y;
        rightmost = std::max(rightmost, x);
      }
    }
  EXPECT_GT(rightmost, status.left() + 150);
  EXPECT_LE(rightmost, status.right());
  control->OnStop();
}

}  // namespace
