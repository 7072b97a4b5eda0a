// Two recording sessions on the virtual rig's devices, linked over loopback:
// the server's Run and Stop drive the client, both clocks start at Run and
// stand still from Stop, and the link's test faults do what they say.
#ifdef LENTORA_WITH_SYNC_SOCKET

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <fstream>

#include "sources/CaptureSession.h"
#include "sources/ClientSocket.h"
#include "support/TempDir.h"

namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "capture_session_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  return app ? *app : *QCoreApplication::instance();
}

template <class Predicate>
bool PumpUntil(Predicate done, int limitMs = 8000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limitMs) App().processEvents(QEventLoop::AllEvents, 20);
  return done();
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

int DeviceNumber(const char* name) {
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  return 0;
}

int LineCount(const std::string& path) {
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

class LinkedSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    setenv(kVirtualRigVariable, "size=160x120,focal=200,grid=5x4,square=40", 1);
    for (CSamplingCaptureGraph* graph : {&serverGraph, &clientGraph}) graph->InitialiseFrameSampler();
    ASSERT_EQ(serverGraph.ConnectToLiveSource(DeviceNumber(kVirtualLeftName)), DShow::S_OK);
    ASSERT_EQ(clientGraph.ConnectToLiveSource(DeviceNumber(kVirtualRightName)), DShow::S_OK);
  }
  void TearDown() override { unsetenv(kVirtualRigVariable); }

  // Both recordings set up; the client listens first, as it would on its own machine.
  void SetUpBoth() {
    ASSERT_TRUE(server.SetUpRecording(dir.File("server.avi"), dir.File("serverSync.txt"), 0, nullptr));
    ASSERT_TRUE(client.SetUpRecording(dir.File("client.avi"), dir.File("clientSync.txt"), 0, nullptr));
    const QHostAddress loopback(QHostAddress::LocalHost);
    ASSERT_TRUE(client.OpenLink(false, "127.0.0.1", 0, 1, loopback));  // the server's reply names its port
    ASSERT_TRUE(server.OpenLink(true, "127.0.0.1", 0, client.Socket()->LocalPort(), loopback));
  }

  TempDir dir;
  CSamplingCaptureGraph serverGraph, clientGraph;
  CCaptureSession server{&serverGraph}, client{&clientGraph};
};

TEST_F(LinkedSessions, ServerRunAndStopDriveTheClientAndBothClocks) {
  SetUpBoth();
  EXPECT_TRUE(client.StatusTimerActive()) << "a client ticks from its link set-up";
  EXPECT_FALSE(server.StatusTimerActive()) << "a server ticks from Run";
  EXPECT_EQ(client.ElapsedMs(), 0u);
  EXPECT_EQ(client.FramesSinceRun(), 0);
  int clientRuns = 0, clientStops = 0;
  client.SetRemoteActions([&] { ++clientRuns; }, [&] { ++clientStops; });

  server.Run();
  ASSERT_TRUE(PumpUntil([&] { return client.FramesSinceRun() >= 5 && server.FramesSinceRun() >= 5; }));
  EXPECT_GE(clientRuns, 1);
  EXPECT_GT(client.ElapsedMs(), 0u);
  EXPECT_TRUE(PumpUntil([&] { return serverGraph.Sampler()->RemoteTick() != 0 && clientGraph.Sampler()->RemoteTick() != 0; }))
      << "heartbeats go both ways";

  server.Stop();
  ASSERT_TRUE(PumpUntil([&] { return clientStops >= 1; }));
  EXPECT_FALSE(server.StatusTimerActive()) << "a synchronised server's Stop ends its ticks";
  const uint32_t serverElapsed = server.ElapsedMs(), clientElapsed = client.ElapsedMs();
  const int serverFrames = server.FramesSinceRun();
  PumpFor(300);
  EXPECT_EQ(server.ElapsedMs(), serverElapsed) << "the time stands still from Stop";
  EXPECT_EQ(client.ElapsedMs(), clientElapsed);
  EXPECT_EQ(server.FramesSinceRun(), serverFrames);
  serverGraph.Sampler()->CloseLog();
  clientGraph.Sampler()->CloseLog();
  EXPECT_GE(LineCount(dir.File("serverSync.txt")), 5);
  EXPECT_GE(LineCount(dir.File("clientSync.txt")), 5);

  // A new set-up starts a new recording with its clock at zero.
  ASSERT_TRUE(server.SetUpRecording(dir.File("again.avi"), "", 0, nullptr));
  EXPECT_EQ(server.ElapsedMs(), 0u);
  EXPECT_EQ(server.FramesSinceRun(), 0);
}

TEST_F(LinkedSessions, VirtualDevicesWriteTheirTruthBesideTheRecording) {
  SetUpBoth();
  std::ifstream left(dir.File("server.avi.truth.json")), right(dir.File("client.avi.truth.json"));
  const std::string leftText((std::istreambuf_iterator<char>(left)), {}), rightText((std::istreambuf_iterator<char>(right)), {});
  EXPECT_NE(leftText.find("\"side\":\"left\""), std::string::npos) << leftText;
  EXPECT_NE(rightText.find("\"side\":\"right\""), std::string::npos) << rightText;
  GridDescription grid;
  ASSERT_TRUE(ReadVirtualRigTruthGrid(dir.File("client.avi"), grid));
  EXPECT_EQ(grid.nx, 5);
  EXPECT_EQ(grid.ny, 4);
  EXPECT_EQ(grid.dX, 40.0);
}

TEST_F(LinkedSessions, FaultsDropEveryOtherHeartbeatAndDelayTheStart) {
  SyncLinkFaults faults;
  faults.dropEveryOtherHeartbeat = true;
  faults.startDelayMs = 300;
  server.SetFaults(faults);
  SetUpBoth();
  uint32_t clientStarted = 0;
  client.SetRemoteActions([&] { clientStarted = clientStarted ? clientStarted : MillisecondTick(); }, {});
  const uint32_t serverStarted = MillisecondTick();
  server.Run();
  ASSERT_TRUE(PumpUntil([&] { return clientStarted != 0; }));
  EXPECT_GE(clientStarted - serverStarted, 290u) << "the start command went out late";
  ASSERT_TRUE(PumpUntil([&] { return server.SyncTicks() >= 8; }));
  server.Stop();
  EXPECT_EQ(server.HeartbeatsSent(), (server.SyncTicks() + 1) / 2);
}

TEST(SyncLinkFaults, ReadFromTheEnvironmentWithUnknownWordsIgnored) {
  setenv("LENTORA_SYNC_FAULTS", "drop-heartbeats,delay-start=300", 1);
  SyncLinkFaults faults = SyncLinkFaultsFromEnvironment();
  EXPECT_TRUE(faults.dropEveryOtherHeartbeat);
  EXPECT_EQ(faults.startDelayMs, 300);
  setenv("LENTORA_SYNC_FAULTS", "delay-start=99999999,banana", 1);
  faults = SyncLinkFaultsFromEnvironment();
  EXPECT_FALSE(faults.dropEveryOtherHeartbeat);
  EXPECT_EQ(faults.startDelayMs, 10000);
  unsetenv("LENTORA_SYNC_FAULTS");
  faults = SyncLinkFaultsFromEnvironment();
  EXPECT_FALSE(faults.dropEveryOtherHeartbeat);
  EXPECT_EQ(faults.startDelayMs, 0);
}

}  // namespace

#endif
