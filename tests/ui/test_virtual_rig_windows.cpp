// Two workbench windows on one machine playing the two capture machines: the
// virtual rig's left camera records as the server, its right camera as the
// client, in step over loopback, each to the file its set-up chose; with
// automatic capture on, the two take views in pairs of one moment.
#include <gtest/gtest.h>

#include <QDir>
#include <QPainter>
#include <QTest>
#include <QUdpSocket>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <opencv2/calib3d.hpp>

#include "core/CalibrationData.h"
#include "sources/ClientSocket.h"
#include "sources/media/VirtualRig.h"
#include "synth/SyntheticViews.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/LiveGuidance.h"
#include "ui/StaticSourcesView.h"
#include "ui/EventPump.h"
#include "ui/UiTestSupport.h"
#include "ui/VideoCaptureControl.h"

namespace {

int DeviceNumber(const char* name) {
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  return 0;
}

uint16_t FreeUdpPort() {
  QUdpSocket probe;
  probe.bind(QHostAddress::LocalHost, 0);
  return probe.localPort();
}

int LineCount(const std::string& path) {
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

// Where the right camera sees the board whose corners the left camera found:
// the left board's pose solved with the left camera's truth, carried over by
// the rig's truth. The mean distance of the right corners found to the
// nearest of those, in pixels.
double PairMismatch(const VirtualRig& rig, const PointList& left, const PointList& right) {
  const GridDescription& g = rig.grid;
  std::vector<cv::Point3d> board;
  for (int i = 0; i < g.ny; ++i)
    for (int j = 0; j < g.nx; ++j) board.emplace_back(j * g.dX, (g.ny - 1 - i) * g.dY, 0.0);
  std::vector<cv::Point2d> seen;
  for (const ImagePoint& p : left) seen.emplace_back(p.x, p.y);
  if (seen.size() != board.size()) return 1e9;
  const auto matrix = [](const SyntheticCamera& c) { return cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1); };
  const auto coefficients = [](const SyntheticCamera& c) {
    return std::vector<double>{c.coefficients[0], c.coefficients[1], c.coefficients[2], c.coefficients[3]};
  };
  cv::Vec3d r, t;
  if (!cv::solvePnP(board, seen, matrix(rig.left), coefficients(rig.left), r, t)) return 1e9;
  cv::Matx33d R, rigR(rig.R.data());
  cv::Rodrigues(r, R);
  const cv::Matx33d R1 = rigR * R;
  const cv::Vec3d t1 = rigR * t + cv::Vec3d(rig.T[0], rig.T[1], rig.T[2]);
  std::vector<cv::Point2d> expected;
  cv::projectPoints(board, cv::Mat(R1), cv::Mat(t1), matrix(rig.right), coefficients(rig.right), expected);
  double sum = 0.0;
  for (const ImagePoint& p : right) {
    double nearest = 1e9;
    for (const cv::Point2d& q : expected) nearest = std::min(nearest, std::hypot(p.x - q.x, p.y - q.y));
    sum += nearest;
  }
  return right.empty() ? 1e9 : sum / static_cast<double>(right.size());
}

class TwoWorkbenches : public ::testing::Test, public WithApplication {
 protected:
  void SetUp() override {
    setenv(kVirtualRigVariable, "size=640x480", 1);
    setenv("LENTORA_OUTPUT_DIR", dir.Path().c_str(), 1);
    SetSourceMessageHandler([this](const QString& text) { messages << text; });
  }
  void TearDown() override {
    SetSourceMessageHandler({});
    unsetenv("LENTORA_OUTPUT_DIR");
    unsetenv(kVirtualRigVariable);
  }

  CVideoCaptureControl* AddVirtualCamera(ScriptedWorkbench& window, const char* device) {
    auto* sources = qobject_cast<CStaticSourcesView*>(window.SourcesPanel());
    if (!sources) return nullptr;
    auto* control = dynamic_cast<CVideoCaptureControl*>(sources->AddLiveSource(DeviceNumber(device), device));
    const QRect entry = sources->PanelRect(0);
    sources->Click(entry.center().x(), entry.top() + 5);  // shows its live control
    return control;
  }

  static CaptureRecordSettings Synchronised(const std::string& file, bool client, uint16_t port, uint16_t peerPort) {
    CaptureRecordSettings settings;
    settings.fileName = file;
    settings.networkSync = true;
    settings.client = client;
    settings.serverAddress = "127.0.0.1";
    settings.port = port;
    settings.peerPort = peerPort;
    return settings;
  }

  TempDir dir;
  QStringList messages;
};

TEST_F(TwoWorkbenches, ServerWindowRunsAndStopsTheClientWindowOverLoopback) {
  ScriptedWorkbench serverWindow(TestGraphicsParent()), clientWindow(TestGraphicsParent());
  CVideoCaptureControl* server = AddVirtualCamera(serverWindow, kVirtualLeftName);
  CVideoCaptureControl* client = AddVirtualCamera(clientWindow, kVirtualRightName);
  ASSERT_TRUE(server && client);
  ASSERT_TRUE(server->IsOpen() && client->IsOpen());

  // One machine, two programs: two ports, each set-up naming the other's.
  const uint16_t serverPort = FreeUdpPort();
  uint16_t clientPort = FreeUdpPort();
  while (clientPort == serverPort) clientPort = FreeUdpPort();
  // The same port on both sides cannot be bound twice here: refused by name.
  server->SetUpRecording(Synchronised(dir.File("left.avi"), false, serverPort, clientPort));
  ASSERT_EQ(messages.size(), 0) << messages.join(", ").toStdString();
  client->SetUpRecording(Synchronised(dir.File("right.avi"), true, serverPort, serverPort));
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].startsWith("Failed to create UDP socket")) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains(QString::number(serverPort))) << messages[0].toStdString();
  messages.clear();
  client->SetUpRecording(Synchronised(dir.File("right.avi"), true, clientPort, serverPort));
  ASSERT_TRUE(messages.isEmpty()) << messages.join(", ").toStdString();
  ASSERT_EQ(server->Socket()->LocalPort(), serverPort);
  ASSERT_EQ(client->Socket()->LocalPort(), clientPort);
  EXPECT_EQ(server->Socket()->PeerPort(), clientPort);
  EXPECT_EQ(client->Socket()->PeerPort(), serverPort);

  serverWindow.move(0, 0);
  clientWindow.move(serverWindow.frameGeometry().width() + 10, 0);
  serverWindow.show();
  clientWindow.show();
  server->OnRun();
  EXPECT_TRUE(server->isVisible() && client->isVisible());
  ASSERT_TRUE(PumpUntil([&] { return client->Session()->FramesSinceRun() >= 30 && server->Session()->FramesSinceRun() >= 30; }));
  EXPECT_TRUE(client->Graph()->Sampler()->RemoteTick() != 0 && server->Graph()->Sampler()->RemoteTick() != 0);
  server->UpdateStatus();
  client->UpdateStatus();
  for (CVideoCaptureControl* control : {server, client})
    EXPECT_TRUE(control->StatusText().startsWith("Captured ")) << control->StatusText().toStdString();

  QDir().mkpath(TestScreenshotDir());
  const QPixmap left = serverWindow.grab(), right = clientWindow.grab();
  QPixmap both(left.width() + right.width() + 10, std::max(left.height(), right.height()));
  both.fill(Qt::black);
  QPainter painter(&both);
  painter.drawPixmap(0, 0, left);
  painter.drawPixmap(left.width() + 10, 0, right);
  painter.end();
  EXPECT_TRUE(both.save(QString(TestScreenshotDir()) + "/two_workbenches_virtual_rig.png"));

  server->OnStop();
  ASSERT_TRUE(PumpUntil([&] { return client->Graph()->IsStopped(); }));
  const uint32_t clientElapsed = client->ElapsedMs();
  QTest::qWait(200);
  EXPECT_EQ(client->ElapsedMs(), clientElapsed) << "the client's time stands still from the server's Stop";
  server->Graph()->Sampler()->CloseLog();
  client->Graph()->Sampler()->CloseLog();

  // Each window recorded to the file its set-up chose, with the log and truth beside it.
  for (const char* name : {"left", "right"}) {
    const std::string video = dir.File(std::string(name) + ".avi");
    EXPECT_GT(std::filesystem::file_size(video), 0u) << video;
    EXPECT_GE(LineCount(dir.File(std::string(name) + "Sync.txt")), 30) << name;
    EXPECT_TRUE(std::filesystem::exists(video + ".truth.json")) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(CVideoCaptureControl::DefaultRecordingPath()));
}

TEST_F(TwoWorkbenches, AutomaticCaptureTakesPairsOfOneMomentInBothWindows) {
  const LiveGuidanceOptions saved = CurrentLiveGuidanceOptions();
  LiveGuidanceOptions options;
  options.autoCapture = true;
  SetLiveGuidanceOptions(options);
  VirtualRig rig;
  ASSERT_EQ(VirtualRigFromEnvironment(rig), "");
  ScriptedWorkbench serverWindow(TestGraphicsParent()), clientWindow(TestGraphicsParent());
  CVideoCaptureControl* server = AddVirtualCamera(serverWindow, kVirtualLeftName);
  CVideoCaptureControl* client = AddVirtualCamera(clientWindow, kVirtualRightName);
  ASSERT_TRUE(server && client);
  // The panel alone adds no camera (the main window's command does): camera 0 is the source's.
  for (ScriptedWorkbench* window : {&serverWindow, &clientWindow}) {
    if (window->Data().GetCameraCount() == 0) window->Data().AddCamera();
    window->Data().SetGrid(0, rig.grid);
  }
  const uint16_t serverPort = FreeUdpPort();
  uint16_t clientPort = FreeUdpPort();
  while (clientPort == serverPort) clientPort = FreeUdpPort();
  server->SetUpRecording(Synchronised(dir.File("left.avi"), false, serverPort, clientPort));
  client->SetUpRecording(Synchronised(dir.File("right.avi"), true, clientPort, serverPort));
  ASSERT_TRUE(messages.isEmpty()) << messages.join(", ").toStdString();
  serverWindow.move(0, 0);
  clientWindow.move(serverWindow.frameGeometry().width() + 10, 0);
  serverWindow.show();
  clientWindow.show();
  server->OnRun();

  CCalibrationData& left = serverWindow.Data();
  CCalibrationData& right = clientWindow.Data();
  // Pairs come as the board moves to new places; a busy machine searches fewer frames.
  PumpUntil([&] { return left.GetViewCount(0) >= 3; }, 90000);
  // The screenshot as a result comes in, with the bars of both windows.
  QPixmap both;
  bool seenByBoth = true;  // first wait for a moment when each window has the other's board
  const auto grab = [&] {
    const LiveGuidanceShown &left = server->Guidance()->Shown(), &right = client->Guidance()->Shown();
    if (!both.isNull() || !left.active || !right.active || (seenByBoth && (left.peerMissing || right.peerMissing)))
      return;
    server->VideoView()->repaint();
    client->VideoView()->repaint();
    const QPixmap a = serverWindow.grab(), b = clientWindow.grab();
    both = QPixmap(a.width() + b.width() + 10, std::max(a.height(), b.height()));
    both.fill(Qt::black);
    QPainter painter(&both);
    painter.drawPixmap(0, 0, a);
    painter.drawPixmap(a.width() + 10, 0, b);
  };
  const QMetaObject::Connection grabbing = QObject::connect(server->Guidance(), &CLiveGuidance::updated, grab);
  if (!PumpUntil([&] { return !both.isNull(); }, 10000)) {
    seenByBoth = false;
    PumpUntil([&] { return !both.isNull(); });
  }
  QObject::disconnect(grabbing);
  server->OnStop();
  ASSERT_TRUE(PumpUntil([&] { return !server->Guidance()->PairPending(); }));
  PumpUntil([&] { return right.GetViewCount(0) == left.GetViewCount(0); }, 3000);

  ASSERT_GE(left.GetViewCount(0), 2) << "pairs asked " << server->Guidance()->PairsAsked() << ", refused "
                                     << server->Guidance()->PairsRefused();
  EXPECT_EQ(right.GetViewCount(0), left.GetViewCount(0)) << "the two windows' views are paired by number";
  const std::vector<PointList> lefts = UsablePointLists(left, 0), rights = UsablePointLists(right, 0);
  ASSERT_EQ(lefts.size(), rights.size());
  for (size_t pair = 0; pair < lefts.size(); ++pair) {
    const double mismatch = PairMismatch(rig, lefts[pair], rights[pair]);
    std::printf("pair %zu: the right corners lie %.3f px from where the left view puts them\n", pair, mismatch);
    EXPECT_LT(mismatch, 1.0) << "pair " << pair << " holds frames of two moments";
  }
  QDir().mkpath(TestScreenshotDir());
  ASSERT_FALSE(both.isNull());
  EXPECT_TRUE(both.save(QString(TestScreenshotDir()) + "/two_machines_live_guidance.png"));
  server->Graph()->Sampler()->CloseLog();
  client->Graph()->Sampler()->CloseLog();
  SetLiveGuidanceOptions(saved);
}

}  // namespace
