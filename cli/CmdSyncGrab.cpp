// lentora sync-grab: the synchronised player's frame matching, headless. Each
// chosen server frame and the client frame matched to it become one view pair
// of cameras 0 (server) and 1 (client) of a new workspace.

#include <cmath>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli/Command.h"
#include "core/CalibrationData.h"
#include "sources/FrameLogReader.h"
#include "sources/FrameSampler.h"

namespace {

const char* const kUsage =
    "usage: lentora sync-grab SERVER_VIDEO SERVER_LOG CLIENT_VIDEO CLIENT_LOG --frames N1,N2,... --out OUT_INDEX\n"
    "                         [--grid NXxNY --square D] [--tolerance MS] [--skip-unmatched] [--json]\n"
    "  For each server frame N, the client frame the synchronised player shows for it (the clocks'\n"
    "  offset taken from both logs' heartbeats, then the client frame closest in time). The pair\n"
    "  goes to cameras 0 (server) and 1 (client) of the new workspace OUT_INDEX, whose grid is the\n"
    "  virtual rig's (SERVER_VIDEO.truth.json) unless --grid and --square give one. A server frame\n"
    "  without a client frame within MS milliseconds (default: one frame period) fails the command,\n"
    "  or with --skip-unmatched is left out and reported. --json prints\n"
    "  {\"pairs\":[{\"server\",\"client\",\"tickDifference\"}],\"skipped\":[{\"server\",\"reason\"}],\n"
    "   \"clockOffset\",\"offsetUncertainty\",\"framePeriod\"}.\n";

const CommandSpec kSyncGrab{"sync-grab", kUsage, kJsonOption, {"--frames", "--out", "--grid", "--square", "--tolerance"},
                            {"--skip-unmatched"}};

struct Request {
  std::string serverVideo, serverLog, clientVideo, clientLog;
  std::vector<int> frames;
  std::string outIndex;
  GridDescription grid;
  bool gridGiven = false;
  double tolerance = 0.0;
  bool skipUnmatched = false;
  bool json = false;
};

constexpr size_t kMaxFrames = 10000;

std::string ParseFrameList(const std::string& text, std::vector<int>& frames) {
  std::stringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    int frame = 0;
    if (!ParseInt(item, frame) || frame < 0) return "bad frame number '" + item + "' (expected a whole number from 0)";
    frames.push_back(frame);
  }
  if (frames.empty() || text.back() == ',') return "--frames needs a comma-separated list of frame numbers";
  if (frames.size() > kMaxFrames) return "--frames lists more than " + std::to_string(kMaxFrames) + " frames";
  return "";
}

std::string ReadRequest(const ParsedArguments& parsed, Request& r) {
  if (parsed.positional.size() != 4) return "expected SERVER_VIDEO SERVER_LOG CLIENT_VIDEO CLIENT_LOG";
  r.serverVideo = parsed.positional[0];
  r.serverLog = parsed.positional[1];
  r.clientVideo = parsed.positional[2];
  r.clientLog = parsed.positional[3];
  const auto frames = parsed.Value("--frames"), out = parsed.Value("--out");
  if (!frames || !out || out->empty()) return !frames ? "--frames is required" : "--out is required";
  r.outIndex = *out;
  if (std::string wrong = ParseFrameList(*frames, r.frames); !wrong.empty()) return wrong;
  const auto grid = parsed.Value("--grid"), square = parsed.Value("--square");
  if (grid || square) {
    const size_t x = grid ? grid->find('x') : std::string::npos;
    if (!grid || !square || x == std::string::npos || !ParseInt(grid->substr(0, x), r.grid.nx) ||
        !ParseInt(grid->substr(x + 1), r.grid.ny) || !ParseDouble(*square, r.grid.dX) || r.grid.nx < 2 ||
        r.grid.ny < 2 || r.grid.nx > 1000 || r.grid.ny > 1000 || !(r.grid.dX > 0))
      return "--grid NXxNY (2 to 1000) and --square D (above 0) go together";
    r.grid.dY = r.grid.dX;
    r.gridGiven = true;
  }
  if (const auto t = parsed.Value("--tolerance"); t && (!ParseDouble(*t, r.tolerance) || !(r.tolerance > 0)))
    return "--tolerance must be a number of milliseconds above 0";
  r.skipUnmatched = parsed.Has("--skip-unmatched");
  return "";
}

std::string ReadLog(const std::string& path, FrameLogTicks& ticks) {
  const FrameLogReadResult read = ReadFrameLogTicks(path, ticks);
  if (!read.opened) return "cannot read the frame log '" + path + "'";
  if (read.badLine > 0)
    std::cerr << "lentora sync-grab: the frame log " << path << " is damaged at line " << read.badLine
              << "; later frames are not used\n";
  return "";
}

struct Pair {
  int server = 0;
  ClientFrameMatch match;
};

// Opens a video for grabbing; "" or what is wrong.
std::string OpenVideo(CSamplingFileGraph& graph, const std::string& path) {
  graph.InitVMR9(nullptr);
  graph.InitialiseFrameSampler();
  if (DShow::Succeeded(graph.OpenMediaFile(path))) return "";
  const std::string why = graph.LastError();
  return "cannot open video '" + path + "'" + (why.empty() ? "" : ": " + why);
}

std::string GrabFrame(CSamplingFileGraph& graph, const std::string& path, int frame, int camera, CCalibrationData& data) {
  int64_t count = 0;
  if (DShow::Succeeded(graph.GetFrameCount(&count)) && frame >= count)
    return "frame " + std::to_string(frame) + " is beyond the last frame " + std::to_string(count - 1) + " of '" + path + "'";
  if (DShow::Failed(graph.SeekToFrame(frame))) return "cannot seek to frame " + std::to_string(frame) + " of '" + path + "'";
  SourceSettings settings;
  settings.subViewCamera[0] = camera;
  if (GrabFrameIntoCameras(*graph.Sampler(), settings, data) != 1) return "frame " + std::to_string(frame) + " of '" + path + "' could not be grabbed";
  return "";
}

void PrintJson(const std::vector<Pair>& pairs, const std::vector<Pair>& skipped, const ClientFrameMatch& any) {
  JsonWriter json;
  json.BeginObject().Key("pairs").BeginArray();
  for (const Pair& p : pairs)
    json.BeginObject().Key("server").Value(p.server).Key("client").Value(p.match.clientFrame).Key("tickDifference")
        .Value(p.match.tickDifference).EndObject();
  json.EndArray().Key("skipped").BeginArray();
  for (const Pair& p : skipped) json.BeginObject().Key("server").Value(p.server).Key("reason").Value(p.match.reason).EndObject();
  json.EndArray().Key("clockOffset").Value(any.offset.clientMinusServer).Key("offsetUncertainty")
      .Value(any.offset.uncertainty).Key("framePeriod").Value(any.framePeriod).EndObject();
  std::cout << json.str() << "\n";
}

int SyncGrab(const CommandLine& line) {
  Request r;
  if (const std::string wrong = ReadRequest(line.Parsed(), r); !wrong.empty()) FailUsage(wrong);
  r.json = line.json;
  FrameLogTicks server, client;
  if (std::string wrong = ReadLog(r.serverLog, server); !wrong.empty()) FailInput(wrong);
  if (std::string wrong = ReadLog(r.clientLog, client); !wrong.empty()) FailInput(wrong);
  if (!r.gridGiven && !ReadVirtualRigTruthGrid(r.serverVideo, r.grid))
    FailInput("no grid: give --grid and --square, or record a virtual rig (" + r.serverVideo + ".truth.json)");
  std::vector<Pair> pairs, skipped;
  ClientFrameMatch last;
  for (int frame : r.frames) {
    Pair pair{frame, MatchClientFrame(server, client, frame, r.tolerance)};
    last = pair.match;
    if (pair.match.matched) pairs.push_back(pair);
    else if (r.skipUnmatched) skipped.push_back(pair);
    else FailInput(pair.match.reason);
  }
  if (pairs.empty()) FailInput("no server frame could be matched: " + skipped.front().match.reason);

  CSamplingFileGraph serverGraph, clientGraph;
  if (std::string wrong = OpenVideo(serverGraph, r.serverVideo); !wrong.empty()) FailInput(wrong);
  if (std::string wrong = OpenVideo(clientGraph, r.clientVideo); !wrong.empty()) FailInput(wrong);
  CCalibrationData data;
  for (int camera = 0; camera < 2; ++camera) {
    data.AddCamera();
    data.SetGrid(camera, r.grid);
  }
  for (const Pair& p : pairs) {
    std::string wrong = GrabFrame(serverGraph, r.serverVideo, p.server, 0, data);
    if (wrong.empty()) wrong = GrabFrame(clientGraph, r.clientVideo, p.match.clientFrame, 1, data);
    if (!wrong.empty()) FailInput(wrong);
  }
  std::error_code ignored;  // a folder that cannot be made shows as a failed save
  if (const auto folder = std::filesystem::path(r.outIndex).parent_path(); !folder.empty())
    std::filesystem::create_directories(folder, ignored);
  SaveWorkspaceFor(data, r.outIndex, "cannot save the workspace: ");
  if (r.json) {
    PrintJson(pairs, skipped, last);
    return kExitOk;
  }
  for (const Pair& p : pairs)
    std::cout << "server frame " << p.server << " -> client frame " << p.match.clientFrame << ", tick difference "
              << std::lround(p.match.tickDifference) << " ms\n";
  for (const Pair& p : skipped) std::cout << "server frame " << p.server << " skipped: " << p.match.reason << "\n";
  std::cout << "clock offset " << last.offset.clientMinusServer << " ms (+-" << last.offset.uncertainty << "), "
            << pairs.size() << " pair(s) saved to " << r.outIndex << "\n";
  return kExitOk;
}

}  // namespace

int RunSyncGrab(const Arguments& args) { return RunCommand(kSyncGrab, args, SyncGrab); }
