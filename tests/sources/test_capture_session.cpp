// Two recording sessions on the virtual rig's devices, linked over loopback:
// the server's Run and Stop drive the client, both clocks start at Run and
// stand still from Stop, and the link's test faults do what they say.
#ifdef LENTORA_WITH_SYNC_SOCKET

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUdpSocket>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "sources/CaptureSession.h"
#include "sources/ClientSocket.h"
#include "sources/test_media_fixtures.h"
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
    ASSERT_TRUE(client.OpenLink(false, "127.0.0.1", 0, 1, loopback));
    ASSERT_TRUE(server.OpenLink(true, "127.0.0.1", 0, client.Socket()->LocalPort(), loopback));
    // Free ports on both ends: the client learns the server's once it is bound.
    client.Socket()->SetPeer("127.0.0.1", server.Socket()->LocalPort());
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
  EXPECT_GT(client.ElapsedMs(), 0u);
  EXPECT_TRUE(PumpUntil([&] { return serverGraph.Sampler()->RemoteTick() != 0 && clientGraph.Sampler()->RemoteTick() != 0; }))
      << "heartbeats go both ways";
  EXPECT_EQ(clientRuns, 1) << "the server's repeated starts start the client once";

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

// Start and stop datagrams sprayed at a recording client from a third socket,
// while it records: the recording goes on as if nothing came, and every frame
// the grabber passed reaches the frame log.
TEST_F(LinkedSessions, AFloodFromAThirdSocketNeitherStopsNorRestartsTheRecording) {
  SetUpBoth();
  server.Run();
  ASSERT_TRUE(PumpUntil([&] { return client.FramesSinceRun() >= 5; }));
  const uint32_t elapsedBefore = client.ElapsedMs();
  const int framesBefore = client.FramesSinceRun();

  std::atomic<bool> flooding{true};
  std::atomic<int> sent{0};
  const uint16_t clientPort = client.Socket()->LocalPort();
  std::thread flood([&] {
    QUdpSocket stranger;
    const QByteArray start = EncodeSyncDatagram({kSyncStart, 0x7EEEEEEE, kSyncStart});
    const QByteArray stop = EncodeSyncDatagram({kSyncStop, 0x7EEEEEEE, kSyncStop});
    // About 10000 datagrams a second: far beyond any heartbeat rate.
    for (int i = 0; flooding.load(); ++i) {
      if (stranger.writeDatagram(i % 2 ? stop : start, QHostAddress::LocalHost, clientPort) > 0) ++sent;
      if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  PumpFor(1500);
  flooding = false;
  flood.join();
  PumpFor(100);

  EXPECT_GT(sent.load(), 1000);
  EXPECT_GT(client.Socket()->DatagramsIgnored(), 0);
  EXPECT_FALSE(clientGraph.IsStopped()) << "a stranger's stop stopped the recording";
  EXPECT_GE(client.ElapsedMs(), elapsedBefore + 1000) << "a stranger's start restarted the recording's clock";
  EXPECT_GT(client.FramesSinceRun(), framesBefore) << "the count went on from Run, never from a stranger's start";
  EXPECT_NE(clientGraph.Sampler()->RemoteTick(), 0x7EEEEEEEu) << "a stranger's tick reached the frame log";

  const int heardBefore = client.Socket()->DatagramsReceived();
  server.Stop();
  ASSERT_TRUE(PumpUntil([&] { return clientGraph.IsStopped(); }))
      << "the peer's stop still stops it; heard " << heardBefore << " then " << client.Socket()->DatagramsReceived()
      << ", ignored " << client.Socket()->DatagramsIgnored() << " of " << sent.load();
  const int passed = client.FramesSinceRun();
  clientGraph.Sampler()->CloseLog();
  // Every frame the grabber passed is in the log and in the file (the last
  // one may meet the end of the recording at the tee).
  const int lines = LineCount(dir.File("clientSync.txt"));
  EXPECT_GE(lines, passed);
  EXPECT_LE(lines, passed + 1);
  const int inFile = media_test::CountDecodedFrames(dir.File("client.avi"));
  EXPECT_GE(inFile, lines - 1);
  EXPECT_LE(inFile, lines);
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
