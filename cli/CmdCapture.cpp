// lentora capture: records a live device headless, through the same graph,
// recording branch, frame log and UDP link as the workbench's live control.

#include <QCoreApplication>
#include <QTimer>
#include <iostream>

#include "cli/Command.h"
#include "sources/CaptureSession.h"
#include "sources/ClientSocket.h"

namespace {

const char* const kUsage =
    "usage: lentora capture --device NAME --seconds S --out VIDEO [--log FRAME_LOG]\n"
    "                       [--sync server|client --local-port P --peer-port Q [--peer ADDRESS]]\n"
    "                       [--compressor N] [--rig DESCRIPTION] [--timeout T]\n"
    "  Records the capture device NAME (its listed name, its number from 1, or virtual-left,\n"
    "  virtual-right, test) for S seconds into the AVI file VIDEO (compressor N of the record\n"
    "  dialog's list, default 0: no compression), logging every frame to FRAME_LOG (default: VIDEO\n"
    "  with Sync.txt in place of .avi). --sync server starts and stops the client at P/Q over UDP\n"
    "  (peer ADDRESS, default 127.0.0.1); only datagrams from ADDRESS:Q are acted on, and replies go\n"
    "  there alone. --sync client records from the server's start to its stop,\n"
    "  whatever S says, and gives up after T seconds (default 120) without them. --rig sets the\n"
    "  virtual rig's description (as LENTORA_VIRTUAL_RIG does). A virtual rig device writes its\n"
    "  truth to VIDEO.truth.json.\n";

const CommandSpec kCapture{"capture", kUsage, kNoCommonOption,
                           {"--device", "--seconds", "--out", "--log", "--sync", "--local-port", "--peer-port", "--peer",
                            "--compressor", "--rig", "--timeout"}};

struct Request {
  std::string device;
  double seconds = 0.0;
  std::string video;
  std::string log;
  bool sync = false;
  bool server = true;
  int localPort = 0;
  int peerPort = 0;
  std::string peer = "127.0.0.1";
  int compressor = 0;
  double timeout = 120.0;
};

std::string DefaultLogPath(const std::string& video) {
  const std::string extension = ".avi";
  const bool avi = video.size() > extension.size() && video.compare(video.size() - 4, 4, extension) == 0;
  return (avi ? video.substr(0, video.size() - 4) : video) + "Sync.txt";
}

// 1-based device number for a listed name, a number or a short name; 0 when none.
int FindDevice(const std::string& wanted) {
  std::string name = wanted;
  if (wanted == "virtual-left") name = kVirtualLeftName;
  if (wanted == "virtual-right") name = kVirtualRightName;
  if (wanted == "test") name = DShow::kTestDeviceName;
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  int number = 0;
  return ParseInt(wanted, number) && number >= 1 && static_cast<size_t>(number) <= names.size() ? number : 0;
}

// "" when the request is complete, else what is wrong.
std::string ReadRequest(const ParsedArguments& parsed, Request& r) {
  if (!parsed.positional.empty()) return "unexpected argument '" + parsed.positional[0] + "'";
  const auto device = parsed.Value("--device"), seconds = parsed.Value("--seconds"), out = parsed.Value("--out");
  if (!device || !seconds || !out) return "--device, --seconds and --out are required";
  r.device = *device;
  r.video = *out;
  if (!ParseDouble(*seconds, r.seconds) || !(r.seconds > 0) || r.seconds > 86400) return "--seconds must be from 0 to 86400";
  r.log = parsed.Value("--log").value_or(DefaultLogPath(r.video));
  if (const auto n = parsed.Value("--compressor"); n && (!ParseInt(*n, r.compressor) || r.compressor < 0))
    return "--compressor must be a number from 0";
  if (const auto t = parsed.Value("--timeout"); t && (!ParseDouble(*t, r.timeout) || !(r.timeout > 0) || r.timeout > 86400))
    return "--timeout must be from 0 to 86400 seconds";
  const auto sync = parsed.Value("--sync");
  if (!sync) return parsed.Has("--local-port") || parsed.Has("--peer-port") ? "ports need --sync" : "";
  if (*sync != "server" && *sync != "client") return "--sync must be server or client";
  r.sync = true;
  r.server = *sync == "server";
  const auto local = parsed.Value("--local-port"), peer = parsed.Value("--peer-port");
  if (!local || !peer || !ParseInt(*local, r.localPort) || !ParseInt(*peer, r.peerPort) || r.localPort < 1 ||
      r.localPort > 65535 || r.peerPort < 1 || r.peerPort > 65535)
    return "--sync needs --local-port and --peer-port from 1 to 65535";
  r.peer = parsed.Value("--peer").value_or(r.peer);
  if (QHostAddress(QString::fromStdString(r.peer)).isNull()) return "--peer must be an IP address";
  return "";
}

// Runs the recording; the exit status.
int Record(const Request& r) {
  int argc = 1;
  char name[] = "lentora";
  char* argv[] = {name, nullptr};
  QCoreApplication application(argc, argv);
  const int device = FindDevice(r.device);
  if (device == 0) FailInput("no capture device '" + r.device + "'");
  CSamplingCaptureGraph graph;
  graph.InitialiseFrameSampler();
  std::string problem;
  DShow::ElementPtr probe;
  if (DShow::Failed(DShow::CreateVideoCaptureDevice(device, &probe, &problem)))
    FailInput(problem.empty() ? "cannot open device '" + r.device + "'" : problem);
  probe.reset();
  if (DShow::Failed(graph.ConnectToLiveSource(device))) FailInput("cannot open device '" + r.device + "'");
  CCaptureSession session(&graph);
  session.SetFaults(SyncLinkFaultsFromEnvironment());
  DShow::RecordingFailure failure = DShow::RecordingFailure::kNone;
  if (!session.SetUpRecording(r.video, r.log, r.compressor, &failure))
    FailInput("cannot record to " + r.video + " (recording step " + std::to_string(int(failure)) + " failed)");
  if (!graph.Sampler()->Logging()) FailInput("cannot write the frame log " + r.log);
  if (r.sync) {
    const QHostAddress peer(QString::fromStdString(r.peer));
    const QHostAddress bind = peer.isLoopback() ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(QHostAddress::AnyIPv4);
    if (!session.OpenLink(r.server, peer.toString(), static_cast<uint16_t>(r.localPort), static_cast<uint16_t>(r.peerPort), bind))
      FailInput("cannot open UDP port " + std::to_string(r.localPort));
  }
  bool started = !r.sync || r.server, stopped = false;
  QTimer limit;
  limit.setSingleShot(true);
  if (r.sync && !r.server) {
    session.SetRemoteActions([&] { started = true; }, [&] {
      stopped = true;
      application.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &application, &QCoreApplication::quit);
    limit.start(static_cast<int>(r.timeout * 1000));
  } else {
    session.Run();
    QObject::connect(&limit, &QTimer::timeout, [&] {
      session.Stop();
      stopped = true;
      application.quit();
    });
    limit.start(static_cast<int>(r.seconds * 1000));
  }
  application.exec();
  if (!stopped) graph.Stop();
  graph.Sampler()->CloseLog();
  const std::string error = graph.LastError();
  if (!error.empty()) FailInput("the capture graph failed: " + error);
  if (!started) FailInput("no start command from the server within " + std::to_string(int(r.timeout)) + " s");
  if (!stopped) FailInput("no stop command from the server within " + std::to_string(int(r.timeout)) + " s");
  // The live control's status figures: time from Run to Stop, the device's own drops.
  uint64_t dropped = 0;
  const std::string droppedText = DShow::Succeeded(graph.GetDroppedFrames(&dropped)) ? std::to_string(dropped) : "n/a";
  std::cout << r.video << ": " << graph.Sampler()->FrameCount() << " frames (" << droppedText << " dropped) in "
            << session.ElapsedMs() / 1000.0 << " s, log " << r.log;
  if (r.sync) {
    std::cout << ", " << session.HeartbeatsSent() << " heartbeats sent in " << session.SyncTicks() << " status ticks";
    // Only the peer's datagrams are acted on; say so when others came.
    if (const int ignored = session.Socket()->DatagramsIgnored(); ignored > 0)
      std::cout << ", " << ignored << " datagram(s) from others than " << r.peer << ":" << r.peerPort << " ignored";
  }
  std::cout << "\n";
  return kExitOk;
}

int Capture(const CommandLine& line) {
  Request request;
  if (const std::string wrong = ReadRequest(line.Parsed(), request); !wrong.empty()) FailUsage(wrong);
  if (const auto rig = line.Value("--rig")) {
    VirtualRig check;
    if (const std::string wrong = ParseVirtualRig(*rig, check); !wrong.empty()) FailUsage("--rig: " + wrong);
    setenv(kVirtualRigVariable, rig->c_str(), 1);
  }
  return Record(request);
}

}  // namespace

int RunCapture(const Arguments& args) { return RunCommand(kCapture, args, Capture); }
