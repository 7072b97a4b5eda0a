#pragma once
// UDP link between two capture machines recording the same scene. The server
// starts and stops the client's recording; both send their millisecond tick
// ten times a second so that each frame log can note the peer's clock.
//
// Datagram: exactly 12 bytes, three little-endian signed 32-bit integers
// (code, tick, check). Anything of another size is dropped unread.
//
// The link talks to one configured peer (address and port) only: datagrams
// from any other sender are counted and dropped without being acted on, and
// every reply goes to the configured peer, never to whoever sent last.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "sources/SyncDatagram.h"

class CSamplingCaptureGraph;
class QUdpSocket;

Q_DECLARE_LOGGING_CATEGORY(lcSocket)

class CClientSocket : public QObject {
  Q_OBJECT
 public:
  // A send the network refuses is tried again at most this many times, so a
  // dead link cannot hang the user interface.
  static constexpr int kMaxSendAttempts = 20;
  // Datagrams read per receive notification: a flood cannot hold the event
  // loop, the rest are read on the next notifications.
  static constexpr int kMaxDatagramsPerNotification = 64;
  // Dropped strangers are logged at most this often.
  static constexpr int kStrangerLogIntervalMs = 1000;

  explicit CClientSocket(QObject* parent = nullptr);
  ~CClientSocket() override;

  // The graph that start and stop datagrams run and stop, and whose sampler
  // receives the peer's tick. Not owned; null detaches.
  void SetGraph(CSamplingCaptureGraph* graph);
  // The same as three plain actions (for owners without a capture graph).
  void SetActions(std::function<void()> run, std::function<void()> stop, std::function<void(uint32_t)> remoteTick);

  // Called with every well-formed guidance datagram from the peer (those set
  // no clock and run nothing).
  void SetGuidanceAction(std::function<void(const SyncDatagram&)> action) { guidance_ = std::move(action); }
  // Sends a datagram as it is. True when the whole of it went out.
  bool Send(const SyncDatagram& datagram) { return SendBufferASync(datagram); }

  // The only sender whose datagrams are acted on, and where replies go.
  void SetPeer(const QString& address, uint16_t port);
  QString PeerAddress() const { return peerAddress_; }
  uint16_t PeerPort() const { return peerPort_; }
  // Whether a datagram from `address`:`port` comes from the configured peer
  // (an IPv4 address matches its IPv6-mapped form).
  bool IsPeer(const QHostAddress& address, uint16_t port) const;

  // Binds a datagram socket to `localPort` (0 picks a free one). False when
  // the port is taken or the address is not local.
  bool Create(uint16_t localPort, const QHostAddress& bindAddress = QHostAddress(QHostAddress::AnyIPv4));
  void Close();
  bool IsOpen() const;
  uint16_t LocalPort() const;

  // Code, the tick now, code again. True when the whole datagram went out.
  bool SendCommand(int32_t code);
  // 1, the tick now, 2.
  bool SendHeartbeat();

  int BytesSent() const { return bytesSent_; }
  int BytesToSend() const { return bytesToSend_; }
  // Datagrams of the right size received from the peer and acted on so far.
  int DatagramsReceived() const { return received_; }
  // Datagrams from other senders, dropped unread.
  int DatagramsIgnored() const { return ignored_; }

 private slots:
  void OnReceive();

 private:
  bool SendBufferASync(const SyncDatagram& datagram);
  void Handle(const SyncDatagram& datagram);
  void IgnoreStranger(const QHostAddress& address, uint16_t port);

  std::unique_ptr<QUdpSocket> socket_;
  std::function<void()> run_;
  std::function<void()> stop_;
  std::function<void(uint32_t)> remoteTick_;
  std::function<void(const SyncDatagram&)> guidance_;
  int bytesSent_ = 0;
  int bytesToSend_ = kSyncDatagramSize;
  QString peerAddress_;
  QHostAddress peer_;
  uint16_t peerPort_ = kDefaultSyncPort;
  int received_ = 0;
  int ignored_ = 0;
  int ignoredSinceLog_ = 0;
  QElapsedTimer sinceStrangerLog_;
};
