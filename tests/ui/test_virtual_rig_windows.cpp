// Two workbench windows on one machine playing the two capture machines: the
// virtual rig's left camera records as the server, its right camera as the
// client, in step over loopback, each to the file its set-up chose.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QTest>
#include <QUdpSocket>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sources/ClientSocket.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/StaticSourcesView.h"
#include "ui/UiTestSupport.h"
#include "ui/VideoCaptureControl.h"

namespace {

template <class Predicate>
bool PumpUntil(Predicate done, int limitMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limitMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

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

}  // namespace
