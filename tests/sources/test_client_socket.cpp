// Two synchronisation sockets talking over the loopback interface.
#ifdef LENTORA_WITH_SYNC_SOCKET

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUdpSocket>

#include "sources/ClientSocket.h"

namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "client_socket_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  return app ? *app : *QCoreApplication::instance();
}

// Runs the event loop until `done` or a bounded number of rounds.
template <class Predicate>
bool PumpUntil(Predicate done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 3000) App().processEvents(QEventLoop::AllEvents, 20);
  return done();
}

struct FakeGraph {
  int runs = 0;
  int stops = 0;
  uint32_t remoteTick = 0;
  int ticksSeen = 0;
};

class SyncPair : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    const QHostAddress loopback(QHostAddress::LocalHost);
    ASSERT_TRUE(client.Create(0, loopback));
    ASSERT_TRUE(server.Create(0, loopback));
    server.SetPeer("127.0.0.1", client.LocalPort());
    client.SetPeer("127.0.0.1", 1);  // replaced by the server once it talks
    client.SetActions([this] { ++graph.runs; }, [this] { ++graph.stops; },
                      [this](uint32_t tick) {
                        graph.remoteTick = tick;
                        ++graph.ticksSeen;
                      });
  }

  // Sends raw bytes to the client from a third socket.
  void SendRaw(const QByteArray& bytes) {
    QUdpSocket raw;
    ASSERT_EQ(raw.writeDatagram(bytes, QHostAddress::LocalHost, client.LocalPort()), bytes.size());
  }

  CClientSocket server;
  CClientSocket client;
  FakeGraph graph;
};

TEST(SyncDatagram, IsTwelveLittleEndianBytesAndOnlyThatSizeDecodes) {
  const QByteArray bytes = EncodeSyncDatagram({9, -2, 0x01020304});
  ASSERT_EQ(bytes.size(), 12);
  EXPECT_EQ(bytes.at(0), 9);
  EXPECT_EQ(static_cast<uint8_t>(bytes.at(4)), 0xFE);
  EXPECT_EQ(static_cast<uint8_t>(bytes.at(7)), 0xFF);
  EXPECT_EQ(bytes.at(8), 4);
  EXPECT_EQ(bytes.at(11), 1);
  SyncDatagram decoded;
  ASSERT_TRUE(DecodeSyncDatagram(bytes, decoded));
  EXPECT_EQ(decoded.tick, -2);
  EXPECT_EQ(decoded.check, 0x01020304);
  EXPECT_FALSE(DecodeSyncDatagram(bytes.left(7), decoded));
  EXPECT_FALSE(DecodeSyncDatagram(bytes + QByteArray(1, '\0'), decoded));
  EXPECT_FALSE(DecodeSyncDatagram(QByteArray(), decoded));
}

TEST_F(SyncPair, StartRunsAndStopStopsTheClientAndRepliesGoToTheSender) {
  ASSERT_TRUE(server.SendCommand(kSyncStart));
  ASSERT_TRUE(PumpUntil([&] { return graph.runs == 1; }));
  EXPECT_EQ(graph.stops, 0);
  EXPECT_EQ(client.PeerPort(), server.LocalPort());
  EXPECT_EQ(client.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(server.BytesSent(), 0);
  EXPECT_EQ(server.BytesToSend(), 0);

  ASSERT_TRUE(server.SendCommand(kSyncStop));
  ASSERT_TRUE(PumpUntil([&] { return graph.stops == 1; }));
  EXPECT_EQ(graph.runs, 1);

  // The client's heartbeat now reaches the server, whose tick is updated.
  uint32_t serverSaw = 0;
  server.SetActions({}, {}, [&](uint32_t tick) { serverSaw = tick; });
  ASSERT_TRUE(client.SendHeartbeat());
  EXPECT_TRUE(PumpUntil([&] { return server.DatagramsReceived() == 1; }));
  EXPECT_NE(serverSaw, 0u);
}

TEST_F(SyncPair, HeartbeatsAndMismatchedCommandsOnlyUpdateTheTick) {
  SendRaw(EncodeSyncDatagram({kSyncHeartbeat, 1234, kSyncHeartbeatCheck}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen == 1; }));
  EXPECT_EQ(graph.remoteTick, 1234u);
  SendRaw(EncodeSyncDatagram({kSyncStart, 5678, kSyncStop}));
  SendRaw(EncodeSyncDatagram({kSyncStop, -1, kSyncStart}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen == 3; }));
  EXPECT_EQ(graph.remoteTick, 0xFFFFFFFFu);
  EXPECT_EQ(graph.runs, 0);
  EXPECT_EQ(graph.stops, 0);
}

TEST_F(SyncPair, DatagramsOfAnotherSizeChangeNothing) {
  const QString peerBefore = client.PeerAddress();
  SendRaw(EncodeSyncDatagram({kSyncStart, 77, kSyncStart}).left(7));
  SendRaw(EncodeSyncDatagram({kSyncStart, 77, kSyncStart}) + "x");
  SendRaw(QByteArray());
  // A valid heartbeat behind them proves the others were read and dropped.
  SendRaw(EncodeSyncDatagram({kSyncHeartbeat, 42, kSyncHeartbeatCheck}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen >= 1; }));
  EXPECT_EQ(graph.ticksSeen, 1);
  EXPECT_EQ(graph.remoteTick, 42u);
  EXPECT_EQ(graph.runs, 0);
  EXPECT_TRUE(client.IsOpen());
  EXPECT_EQ(client.DatagramsReceived(), 1);
}

TEST(ClientSocket, RefusesATakenPortAndFailsSendsWithoutHanging) {
  App();
  CClientSocket first, second;
  ASSERT_TRUE(first.Create(0, QHostAddress(QHostAddress::LocalHost)));
  EXPECT_FALSE(second.Create(first.LocalPort(), QHostAddress(QHostAddress::LocalHost)));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_FALSE(second.SendHeartbeat());  // not created
  first.SetPeer("not an address", 4000);
  EXPECT_FALSE(first.SendCommand(kSyncStart));
  // Creating again releases the earlier binding instead of failing on it.
  const uint16_t port = first.LocalPort();
  EXPECT_TRUE(first.Create(port, QHostAddress(QHostAddress::LocalHost)));
  EXPECT_EQ(first.LocalPort(), port);
}

}  // namespace

#endif
