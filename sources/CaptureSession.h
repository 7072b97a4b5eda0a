#pragma once
// The non-widget half of live recording, shared by the live capture control
// and `lentora capture`: the recording branch with its frame log, the UDP link
// to a second capture machine, the start and stop commands and the status tick
// that carries the heartbeat.
//
// Roles: the server's Run and Stop run and stop its own graph and send the
// start or stop command ten times; a client's graph is run and stopped by
// those datagrams. Either way the recording's clock and frame count start at
// Run and stand still from Stop. Every status tick (100 ms) of a synchronised machine sends
// one heartbeat. A client ticks from its link set-up on, a server from Run; a
// synchronised server's Stop ends its ticks.

#include <QHostAddress>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sources/FrameSampler.h"
#include "sources/SyncDatagram.h"

class CClientSocket;

// Faults put on the link on purpose, to test that matching survives them.
struct SyncLinkFaults {
  bool dropEveryOtherHeartbeat = false;
  int startDelayMs = 0;  // the server's start command goes out this much after its own start
};
// LENTORA_SYNC_FAULTS: comma-separated "drop-heartbeats" and "delay-start=MS".
// Unknown words are ignored with nothing set.
SyncLinkFaults SyncLinkFaultsFromEnvironment();

class CCaptureSession {
 public:
  static constexpr int kStatusIntervalMs = 100;
  static constexpr int kCommandRepeats = 10;

  // The graph is not owned and must outlive the session.
  explicit CCaptureSession(CSamplingCaptureGraph* graph);
  ~CCaptureSession();
  CCaptureSession(const CCaptureSession&) = delete;
  CCaptureSession& operator=(const CCaptureSession&) = delete;

  // Stops the graph and adds the recording branch writing `videoPath`
  // (compressor 0 = raw); with a log path, the sampler logs every frame there.
  // A virtual rig device also gets its truth beside the video. The graph stays
  // stopped until Run, and the clock is reset. False (and `failure` set) when
  // the branch failed.
  bool SetUpRecording(const std::string& videoPath, const std::string& logPath, int compressorIndex,
                      DShow::RecordingFailure* failure);
  // Opens the UDP link bound to `localPort` with the peer at peerAddress:peerPort
  // (a second call replaces the first socket). A client's ticks start at once.
  bool OpenLink(bool server, const QString& peerAddress, uint16_t localPort, uint16_t peerPort,
                const QHostAddress& bindAddress = QHostAddress(QHostAddress::AnyIPv4));
  void CloseLink();

  void Run();
  void Stop();
  void StartStatusTimer();

  bool Synchronised() const { return socket_ != nullptr; }
  bool IsServer() const { return server_; }
  bool StatusTimerActive() const { return statusTimer_.isActive(); }
  CClientSocket* Socket() const { return socket_.get(); }
  // Milliseconds recorded: 0 before Run, from Run on, frozen at Stop.
  uint32_t ElapsedMs() const;
  // Whether Run (or the server's start) came since the set-up.
  bool Started() const { return clockStarted_; }
  // Frames the grabber passed since Run (0 before it).
  int FramesSinceRun() const;
  int HeartbeatsSent() const { return heartbeatsSent_; }
  // Status ticks of a synchronised session (each one a heartbeat, unless dropped on purpose).
  int SyncTicks() const { return heartbeatTicks_; }

  void SetFaults(const SyncLinkFaults& faults) { faults_ = faults; }
  // Called after every status tick (the heartbeat already sent).
  void SetStatusAction(std::function<void()> action) { statusAction_ = std::move(action); }
  // Called when the peer's datagrams run or stop this graph (a client).
  void SetRemoteActions(std::function<void()> run, std::function<void()> stop);
  // Called with the peer's guidance datagrams (board reports, pair capture).
  void SetGuidanceAction(std::function<void(const SyncDatagram&)> action) { guidanceAction_ = std::move(action); }
  // False without a link or when the datagram did not go out whole.
  bool SendToPeer(const SyncDatagram& datagram);

 private:
  void OnStatusTick();
  void SendStart();
  // Run and Stop, by the owner or by the server's datagrams.
  void RunGraphWithClock();
  void StartElapsedClock(uint64_t framesBefore);
  void StopElapsedClock();

  CSamplingCaptureGraph* graph_;
  std::unique_ptr<CClientSocket> socket_;
  bool server_ = true;
  QTimer statusTimer_;
  std::function<void()> statusAction_;
  std::function<void()> remoteRun_;
  std::function<void()> remoteStop_;
  std::function<void(const SyncDatagram&)> guidanceAction_;
  SyncLinkFaults faults_;
  int heartbeatTicks_ = 0;
  int heartbeatsSent_ = 0;
  uint64_t framesAtRun_ = 0;
  bool clockStarted_ = false;
  bool clockStopped_ = false;
  uint32_t stoppedElapsedMs_ = 0;
};
