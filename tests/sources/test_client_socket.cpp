// Two synchronisation sockets talking over the loopback interface, and a
// third sender that the link must ignore.
#ifdef LENTORA_WITH_SYNC_SOCKET

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUdpSocket>
#include <vector>

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
    ASSERT_TRUE(stranger.bind(loopback, 0));
    ASSERT_TRUE(client.Create(0, loopback));
    ASSERT_TRUE(server.Create(0, loopback));
    server.SetPeer("127.0.0.1", client.LocalPort());
    client.SetPeer("127.0.0.1", server.LocalPort());
    client.SetActions([this] { ++graph.runs; }, [this] { ++graph.stops; },
                      [this](uint32_t tick) {
                        graph.remoteTick = tick;
                        ++graph.ticksSeen;
                      });
  }

  // Sends raw bytes to the client as its peer would: from a socket on the
  // peer's port (the server's socket steps aside for it).
  void SendRawFromPeer(const QByteArray& bytes) {
    const uint16_t port = server.LocalPort();
    server.Close();
    QUdpSocket raw;
    ASSERT_TRUE(raw.bind(QHostAddress::LocalHost, port));
    ASSERT_EQ(raw.writeDatagram(bytes, QHostAddress::LocalHost, client.LocalPort()), bytes.size());
    raw.close();
    ASSERT_TRUE(server.Create(port, QHostAddress(QHostAddress::LocalHost)));
  }
  // Sends raw bytes to the client from a socket that is not its peer.
  void SendFromStranger(const QByteArray& bytes) {
    ASSERT_EQ(stranger.writeDatagram(bytes, QHostAddress::LocalHost, client.LocalPort()), bytes.size());
  }

  CClientSocket server;
  CClientSocket client;
  QUdpSocket stranger;
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

TEST_F(SyncPair, StartRunsAndStopStopsTheClientAndRepliesGoToThePeer) {
  ASSERT_TRUE(server.SendCommand(kSyncStart));
  ASSERT_TRUE(PumpUntil([&] { return graph.runs == 1; }));
  EXPECT_EQ(graph.stops, 0);
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
  SendRawFromPeer(EncodeSyncDatagram({kSyncHeartbeat, 1234, kSyncHeartbeatCheck}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen == 1; }));
  EXPECT_EQ(graph.remoteTick, 1234u);
  SendRawFromPeer(EncodeSyncDatagram({kSyncStart, 5678, kSyncStop}));
  SendRawFromPeer(EncodeSyncDatagram({kSyncStop, -1, kSyncStart}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen == 3; }));
  EXPECT_EQ(graph.remoteTick, 0xFFFFFFFFu);
  EXPECT_EQ(graph.runs, 0);
  EXPECT_EQ(graph.stops, 0);
}

// The guidance's datagrams reach its action alone, well-formed ones only, and
// never move the frame log's clock of the peer.
TEST_F(SyncPair, GuidanceDatagramsGoToTheGuidanceAndSetNoClock) {
  std::vector<SyncDatagram> seen;
  client.SetGuidanceAction([&](const SyncDatagram& datagram) { seen.push_back(datagram); });
  ASSERT_TRUE(server.Send({kSyncBoard, 1111, kSyncBoardNew}));
  ASSERT_TRUE(server.Send({kSyncBoard, 2222, 99}));  // no such board report
  ASSERT_TRUE(server.Send({kSyncPairStored, -3, kSyncPairStored}));
  ASSERT_TRUE(server.Send({kSyncCapturePair, 3333, 4}));
  ASSERT_TRUE(server.Send({kSyncHeartbeat, 4444, kSyncHeartbeatCheck}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen == 1; }));
  EXPECT_EQ(graph.remoteTick, 4444u);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].tick, 1111);
  EXPECT_EQ(seen[0].check, kSyncBoardNew);
  EXPECT_EQ(seen[1].code, kSyncCapturePair);
  EXPECT_EQ(seen[1].check, 4);
  EXPECT_EQ(graph.runs + graph.stops, 0);
}

TEST_F(SyncPair, DatagramsOfAnotherSizeChangeNothing) {
  const QString peerBefore = client.PeerAddress();
  SendRawFromPeer(EncodeSyncDatagram({kSyncStart, 77, kSyncStart}).left(7));
  SendRawFromPeer(EncodeSyncDatagram({kSyncStart, 77, kSyncStart}) + "x");
  SendRawFromPeer(QByteArray());
  // A valid heartbeat behind them proves the others were read and dropped.
  SendRawFromPeer(EncodeSyncDatagram({kSyncHeartbeat, 42, kSyncHeartbeatCheck}));
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen >= 1; }));
  EXPECT_EQ(graph.ticksSeen, 1);
  EXPECT_EQ(graph.remoteTick, 42u);
  EXPECT_EQ(graph.runs, 0);
  EXPECT_TRUE(client.IsOpen());
  EXPECT_EQ(client.DatagramsReceived(), 1);
}

// A third machine's start, stop and heartbeats change nothing, however many
// come, and the link still hears its peer afterwards and answers it alone.
TEST_F(SyncPair, DatagramsFromAnyoneButThePeerChangeNothing) {
  const QString peerBefore = client.PeerAddress();
  SendFromStranger(EncodeSyncDatagram({kSyncStart, 777, kSyncStart}));
  SendFromStranger(EncodeSyncDatagram({kSyncStop, 778, kSyncStop}));
  SendFromStranger(EncodeSyncDatagram({kSyncHeartbeat, 779, kSyncHeartbeatCheck}));
  ASSERT_TRUE(PumpUntil([&] { return client.DatagramsIgnored() == 3; }));
  // The right address from the wrong port is a stranger too.
  QUdpSocket samePlace;
  ASSERT_TRUE(samePlace.bind(QHostAddress::LocalHost, 0));
  ASSERT_EQ(samePlace.writeDatagram(EncodeSyncDatagram({kSyncStart, 780, kSyncStart}), QHostAddress::LocalHost,
                                    client.LocalPort()),
            kSyncDatagramSize);
  ASSERT_TRUE(PumpUntil([&] { return client.DatagramsIgnored() == 4; }));
  EXPECT_EQ(graph.runs, 0);
  EXPECT_EQ(graph.stops, 0);
  EXPECT_EQ(graph.ticksSeen, 0);
  EXPECT_EQ(client.DatagramsReceived(), 0);
  EXPECT_EQ(client.PeerAddress(), peerBefore);
  EXPECT_EQ(client.PeerPort(), server.LocalPort()) << "replies never go to a stranger";

  // A flood, more than one notification reads: all dropped, and the peer's
  // heartbeat behind it still arrives.
  const QByteArray stop = EncodeSyncDatagram({kSyncStop, 1, kSyncStop});
  // (Loopback's receive buffer holds a few hundred; more would be dropped by the system.)
  constexpr int kFlood = 2 * CClientSocket::kMaxDatagramsPerNotification + 16;
  for (int i = 0; i < kFlood; ++i) SendFromStranger(stop);
  ASSERT_TRUE(server.SendHeartbeat());
  ASSERT_TRUE(PumpUntil([&] { return graph.ticksSeen == 1; }));
  EXPECT_EQ(graph.stops, 0);
  EXPECT_EQ(client.DatagramsReceived(), 1);
  // Loopback may drop some of a burst; none of those that came was acted on.
  EXPECT_GT(client.DatagramsIgnored(), 4);

  // The client's answer reaches its peer, not the stranger.
  uint32_t serverSaw = 0;
  server.SetActions({}, {}, [&](uint32_t tick) { serverSaw = tick; });
  ASSERT_TRUE(client.SendHeartbeat());
  EXPECT_TRUE(PumpUntil([&] { return serverSaw != 0; }));
  App().processEvents();
  EXPECT_FALSE(stranger.hasPendingDatagrams());
}

TEST(ClientSocket, ThePeerIsOneAddressAndPort) {
  App();
  CClientSocket socket;
  socket.SetPeer("127.0.0.1", 4000);
  EXPECT_TRUE(socket.IsPeer(QHostAddress("127.0.0.1"), 4000));
  EXPECT_TRUE(socket.IsPeer(QHostAddress("::ffff:127.0.0.1"), 4000));
  EXPECT_FALSE(socket.IsPeer(QHostAddress("127.0.0.1"), 4001));
  EXPECT_FALSE(socket.IsPeer(QHostAddress("127.0.0.2"), 4000));
  socket.SetPeer("not an address", 4000);
  EXPECT_FALSE(socket.IsPeer(QHostAddress("127.0.0.1"), 4000));
  EXPECT_FALSE(socket.IsPeer(QHostAddress(), 4000));
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
