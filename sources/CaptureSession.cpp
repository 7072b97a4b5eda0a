#include "sources/CaptureSession.h"

#include <cstdlib>
#include <sstream>

#include "sources/ClientSocket.h"

SyncLinkFaults SyncLinkFaultsFromEnvironment() {
  SyncLinkFaults faults;
  const char* text = std::getenv("LENTORA_SYNC_FAULTS");
  std::stringstream stream(text ? text : "");
  for (std::string word; std::getline(stream, word, ',');) {
    if (word == "drop-heartbeats") faults.dropEveryOtherHeartbeat = true;
    if (word.rfind("delay-start=", 0) == 0) faults.startDelayMs = std::clamp(std::atoi(word.c_str() + 12), 0, 10000);
  }
  return faults;
}

CCaptureSession::CCaptureSession(CSamplingCaptureGraph* graph) : graph_(graph) {
  statusTimer_.setInterval(kStatusIntervalMs);
  QObject::connect(&statusTimer_, &QTimer::timeout, [this] { OnStatusTick(); });
}

CCaptureSession::~CCaptureSession() {
  statusTimer_.stop();
  if (socket_) socket_->SetActions({}, {}, {});
}

bool CCaptureSession::SetUpRecording(const std::string& videoPath, const std::string& logPath, int compressorIndex,
                                     DShow::RecordingFailure* failure) {
  graph_->Stop();
  if (DShow::Failed(graph_->SetUpRecording(videoPath, compressorIndex, false, failure))) return false;
  clockStarted_ = clockStopped_ = false;
  graph_->ResetDroppedFrames();
  if (!logPath.empty() && graph_->Sampler()) graph_->Sampler()->OpenLog(logPath);
  RigSide side = RigSide::kLeft;
  VirtualRig rig;
  if (DShow::VirtualRigSideOf(graph_->DeviceName(), side) && VirtualRigFromEnvironment(rig).empty())
    WriteVirtualRigTruth(rig, side, videoPath);
  return true;
}

void CCaptureSession::SetRemoteActions(std::function<void()> run, std::function<void()> stop) {
  remoteRun_ = std::move(run);
  remoteStop_ = std::move(stop);
}

bool CCaptureSession::OpenLink(bool server, const QString& peerAddress, uint16_t localPort, uint16_t peerPort,
                               const QHostAddress& bindAddress) {
  // A second set-up replaces the earlier socket, which still holds the port.
  socket_.reset();
  server_ = server;
  auto socket = std::make_unique<CClientSocket>();
  CSamplingCaptureGraph* graph = graph_;
  socket->SetActions(
      [this] {
        // The server sends its start several times against loss: a recording
        // that runs goes on, its clock and frame count untouched.
        if (clockStarted_ && !clockStopped_) return;
        RunGraphWithClock();
        if (remoteRun_) remoteRun_();
      },
      [this, graph] {
        graph->Stop();
        StopElapsedClock();
        if (remoteStop_) remoteStop_();
      },
      [graph](uint32_t tick) {
        // The sampler is looked up on every datagram: a format change replaces it.
        if (CSourceFrameSampler* sampler = graph->Sampler()) sampler->SetRemoteTick(tick);
      });
  socket->SetGuidanceAction([this](const SyncDatagram& datagram) {
    if (guidanceAction_) guidanceAction_(datagram);
  });
  socket->SetPeer(peerAddress, peerPort);
  if (!socket->Create(localPort, bindAddress)) return false;
  socket_ = std::move(socket);
  if (!server) StartStatusTimer();
  return true;
}

bool CCaptureSession::SendToPeer(const SyncDatagram& datagram) { return socket_ && socket_->Send(datagram); }

void CCaptureSession::CloseLink() {
  socket_.reset();
  server_ = true;
}

void CCaptureSession::Run() {
  RunGraphWithClock();
  if (socket_ && server_) {
    if (faults_.startDelayMs > 0)
      QTimer::singleShot(faults_.startDelayMs, socket_.get(), [this] { SendStart(); });
    else
      SendStart();
  }
  StartStatusTimer();
}

void CCaptureSession::SendStart() {
  for (int i = 0; i < kCommandRepeats && socket_; ++i) socket_->SendCommand(kSyncStart);
}

void CCaptureSession::Stop() {
  graph_->Stop();
  StopElapsedClock();
  if (socket_ && server_) {
    for (int i = 0; i < kCommandRepeats; ++i) socket_->SendCommand(kSyncStop);
    statusTimer_.stop();
  }
}

void CCaptureSession::RunGraphWithClock() {
  // A live source's frames pass the grabber as soon as the graph runs: the
  // count starts before, or the frame log holds frames the count missed.
  const uint64_t framesBefore = graph_->FramesGrabbed();
  graph_->Run();
  StartElapsedClock(framesBefore);
}

void CCaptureSession::StartElapsedClock(uint64_t framesBefore) {
  graph_->recordStartTick = MillisecondTick();
  framesAtRun_ = framesBefore;
  graph_->ResetDroppedFrames();
  clockStarted_ = true;
  clockStopped_ = false;
}

void CCaptureSession::StopElapsedClock() {
  if (!clockStarted_ || clockStopped_) return;
  stoppedElapsedMs_ = MillisecondTick() - graph_->recordStartTick;
  clockStopped_ = true;
}

uint32_t CCaptureSession::ElapsedMs() const {
  if (!clockStarted_) return 0;
  return clockStopped_ ? stoppedElapsedMs_ : MillisecondTick() - graph_->recordStartTick;
}

int CCaptureSession::FramesSinceRun() const {
  return clockStarted_ ? static_cast<int>(graph_->FramesGrabbed() - framesAtRun_) : 0;
}

void CCaptureSession::StartStatusTimer() { statusTimer_.start(); }

void CCaptureSession::OnStatusTick() {
  if (socket_) {
    const bool dropped = faults_.dropEveryOtherHeartbeat && heartbeatTicks_ % 2 == 1;
    ++heartbeatTicks_;
    if (!dropped && socket_->SendHeartbeat()) ++heartbeatsSent_;
  }
  if (statusAction_) statusAction_();
}
