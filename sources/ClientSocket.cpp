#include "sources/ClientSocket.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include "sources/FrameSampler.h"

Q_LOGGING_CATEGORY(lcSocket, "lentora.socket", QtWarningMsg)

CClientSocket::CClientSocket(QObject* parent) : QObject(parent) {}

CClientSocket::~CClientSocket() { Close(); }

void CClientSocket::SetGraph(CSamplingCaptureGraph* graph) {
  if (!graph) {
    SetActions({}, {}, {});
    return;
  }
  // The sampler is looked up on every datagram: a format change replaces it.
  SetActions([graph] { graph->Run(); }, [graph] { graph->Stop(); },
             [graph](uint32_t tick) {
               if (CSourceFrameSampler* sampler = graph->Sampler()) sampler->SetRemoteTick(tick);
             });
}

void CClientSocket::SetActions(std::function<void()> run, std::function<void()> stop,
                               std::function<void(uint32_t)> remoteTick) {
  run_ = std::move(run);
  stop_ = std::move(stop);
  remoteTick_ = std::move(remoteTick);
}

void CClientSocket::SetPeer(const QString& address, uint16_t port) {
  peerAddress_ = address;
  peer_ = QHostAddress(address);
  peerPort_ = port;
}

bool CClientSocket::IsPeer(const QHostAddress& address, uint16_t port) const {
  if (peer_.isNull() || port != peerPort_) return false;
  return address.isEqual(peer_, QHostAddress::ConvertV4MappedToIPv4);
}

bool CClientSocket::Create(uint16_t localPort, const QHostAddress& bindAddress) {
  Close();
  auto socket = std::make_unique<QUdpSocket>();
  if (!socket->bind(bindAddress, localPort)) {
    qCDebug(lcSocket) << "CClientSocket::Create failed:" << socket->errorString();
    return false;
  }
  connect(socket.get(), &QUdpSocket::readyRead, this, &CClientSocket::OnReceive);
  socket_ = std::move(socket);
  return true;
}

void CClientSocket::Close() {
  if (!socket_) return;
  socket_->disconnect(this);
  socket_->close();
  socket_.reset();
}

bool CClientSocket::IsOpen() const { return socket_ != nullptr; }

uint16_t CClientSocket::LocalPort() const { return socket_ ? socket_->localPort() : 0; }

bool CClientSocket::SendCommand(int32_t code) {
  return SendBufferASync({code, static_cast<int32_t>(MillisecondTick()), code});
}

bool CClientSocket::SendHeartbeat() {
  return SendBufferASync({kSyncHeartbeat, static_cast<int32_t>(MillisecondTick()), kSyncHeartbeatCheck});
}

bool CClientSocket::SendBufferASync(const SyncDatagram& datagram) {
  qCDebug(lcSocket, "CClientSocket::SendBufferASync");
  if (!socket_) return false;
  const QByteArray bytes = EncodeSyncDatagram(datagram);
  if (peer_.isNull() || peerPort_ == 0) {
    qCDebug(lcSocket) << "CClientSocket: no valid peer" << peerAddress_ << peerPort_;
    return false;
  }
  bytesSent_ = 0;
  bytesToSend_ = kSyncDatagramSize;
  for (int attempt = 0; bytesSent_ < bytesToSend_ && attempt < kMaxSendAttempts; ++attempt) {
    const qint64 sent = socket_->writeDatagram(bytes.constData() + bytesSent_, bytesToSend_ - bytesSent_, peer_, peerPort_);
    if (sent > 0) bytesSent_ += static_cast<int>(sent);
  }
  const bool complete = bytesSent_ >= bytesToSend_;
  if (!complete) qCDebug(lcSocket) << "CClientSocket: send failed:" << socket_->errorString();
  bytesSent_ = 0;
  bytesToSend_ = 0;
  return complete;
}

void CClientSocket::OnReceive() {
  qCDebug(lcSocket, "CClientSocket::OnReceive");
  for (int read = 0; read < kMaxDatagramsPerNotification && socket_ && socket_->hasPendingDatagrams(); ++read) {
    const QNetworkDatagram received = socket_->receiveDatagram(kSyncDatagramSize + 1);
    if (!received.isValid()) continue;
    const auto senderPort = static_cast<uint16_t>(received.senderPort());
    if (!IsPeer(received.senderAddress(), senderPort)) {
      IgnoreStranger(received.senderAddress(), senderPort);
      continue;
    }
    SyncDatagram datagram;
    // A short or long datagram is not ours: acting on it would read stale bytes.
    if (!DecodeSyncDatagram(received.data(), datagram)) continue;
    Handle(datagram);
  }
  // The rest comes with the next notification, after whatever else the event
  // loop has to do (the socket notifies again while datagrams wait; reading
  // them outside the notification would stop its notifications).
}

// A stray or hostile sender must not start, stop or clock a recording; a
// flood of them is noted in the log once a second, not once a datagram.
void CClientSocket::IgnoreStranger(const QHostAddress& address, uint16_t port) {
  ++ignored_;
  ++ignoredSinceLog_;
  if (sinceStrangerLog_.isValid() && sinceStrangerLog_.elapsed() < kStrangerLogIntervalMs) return;
  qCWarning(lcSocket).nospace().noquote() << "sync link: ignored " << ignoredSinceLog_ << " datagram(s) not from the peer "
                                << peerAddress_ << ":" << peerPort_ << ", the last from " << address.toString() << ":"
                                << port;
  ignoredSinceLog_ = 0;
  sinceStrangerLog_.start();
}

void CClientSocket::Handle(const SyncDatagram& datagram) {
  ++received_;
  if (IsGuidanceCode(datagram.code)) {
    if (guidance_ && IsValidGuidanceDatagram(datagram)) guidance_(datagram);
    return;
  }
  if (datagram.code == kSyncStart && datagram.check == kSyncStart) {
    if (run_) run_();
  } else if (datagram.code == kSyncStop && datagram.check == kSyncStop) {
    if (stop_) stop_();
  }
  if (remoteTick_) remoteTick_(static_cast<uint32_t>(datagram.tick));
}
