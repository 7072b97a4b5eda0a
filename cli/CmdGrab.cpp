// lentora grab: turns chosen frames of a video file into camera views, through
// the same file graph, frame sampler and grabbing as the workbench's player.

#include <iostream>
#include <sstream>

#include "app/ParameterExchange.h"
#include "cli/Command.h"
#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"

namespace {

const char* const kUsage =
    "usage: lentora grab VIDEO --frames F1,F2,... [--split none|stereo|quad] [--fields] [--undistort PARAMETER_FILE]\n"
    "                    --out OUT_INDEX\n"
    "  Seeks to each frame and adds it as a new view of one camera per sub-view. Frame k is the k-th\n"
    "  picture the decoder gives, counted from 0 in presentation order, whatever the container or frame rate.\n"
    "  --split stereo cuts each frame into left and right halves (cameras 0, 1), quad into quarters\n"
    "  (cameras 0..3, top-left first). --fields keeps one field of interlaced stereo or quad frames.\n"
    "  --undistort removes lens distortion with a camera's parameter file made for the full frame\n"
    "  (a Lentora intrinsic file or any single-camera file lentora export writes).\n"
    "  The new workspace is written to OUT_INDEX.\n";

const CommandSpec kGrab{"grab", kUsage, kNoCommonOption, {"--frames", "--split", "--undistort", "--out"}, {"--fields"}};

// More views than this is surely a typing mistake, not a calibration set.
constexpr size_t kMaxFrames = 10000;

struct Request {
  std::string video;
  std::vector<int64_t> frames;
  SourceSettings settings;
  std::string intrinsicFile;
  std::string outIndex;
};

bool ParseFrames(const std::string& text, std::vector<int64_t>& frames, std::string& error) {
  std::stringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    int frame = 0;
    if (!ParseInt(item, frame) || frame < 0) {
      error = "bad frame number '" + item + "' (expected a whole number from 0)";
      return false;
    }
    frames.push_back(frame);
  }
  if (frames.empty() || text.back() == ',') {
    error = "--frames needs a comma-separated list of frame numbers";
    return false;
  }
  if (frames.size() > kMaxFrames) {
    error = "--frames lists more than " + std::to_string(kMaxFrames) + " frames";
    return false;
  }
  return true;
}

bool ParseSplit(const std::string& text, int32_t& split) {
  if (text == "none") split = kSplitNone;
  else if (text == "stereo") split = kSplitStereo;
  else if (text == "quad") split = kSplitQuad;
  else return false;
  return true;
}

Request ReadRequest(const CommandLine& line) {
  Request request;
  request.video = line.OnePositional("expected one VIDEO argument");
  const auto frames = line.Value("--frames");
  const auto out = line.Value("--out");
  if (!frames || !out || out->empty()) FailUsage(!frames ? "--frames is required" : "--out is required");
  std::string error;
  if (!ParseFrames(*frames, request.frames, error)) FailUsage(error);
  request.outIndex = *out;
  if (const auto split = line.Value("--split"); split && !ParseSplit(*split, request.settings.split))
    FailUsage("bad --split '" + *split + "' (expected none, stereo or quad)");
  request.settings.deinterlace = line.Has("--fields") ? kDeinterlaceFields : kDeinterlaceNone;
  DefaultSubViewCameras(request.settings);
  request.intrinsicFile = line.Value("--undistort").value_or("");
  return request;
}

bool EnableUndistortion(const Request& request, CSourceFrameSampler& sampler, std::string& error) {
  const ImportResult read = ReadParameterFile(request.intrinsicFile, CameraParameters{});
  if (!read.ok) {
    error = "cannot read parameters from '" + request.intrinsicFile + "': " + read.message;
    return false;
  }
  const CameraParameters parameters = read.parameters;
  if (sampler.EnableUndistortion(parameters)) return true;
  std::ostringstream message;
  message << "cannot undistort with '" << request.intrinsicFile << "': its image size " << parameters.width << "x"
          << parameters.height << " must be the video's frame size " << sampler.Width() << "x" << sampler.Height()
          << " and its focal lengths non-zero";
  error = message.str();
  return false;
}

// The count is the number of pictures the decoder gives, frames are counted
// from 0 in presentation order.
bool CheckFramesExist(const Request& request, const DShow::CDShowGraph& graph, std::string& error) {
  int64_t count = 0;
  if (DShow::Failed(graph.GetFrameCount(&count))) {
    error = "cannot count the frames of '" + request.video + "'";
    return false;
  }
  for (int64_t frame : request.frames) {
    if (frame >= count) {
      error = "frame " + std::to_string(frame) + " is past the end: the video has " + std::to_string(count) + " frames (0 to " +
              std::to_string(count - 1) + ")";
      return false;
    }
  }
  return true;
}

int Grab(const CommandLine& line) {
  const Request request = ReadRequest(line);
  CSamplingFileGraph graph;
  graph.InitVMR9(nullptr);
  graph.InitialiseFrameSampler();
  if (DShow::Failed(graph.OpenMediaFile(request.video))) {
    const std::string why = graph.LastError();
    FailInput("cannot open video '" + request.video + "'" + (why.empty() ? "" : ": " + why));
  }
  std::string error;
  if (!CheckFramesExist(request, graph, error)) FailInput(error);
  CSourceFrameSampler& sampler = *graph.Sampler();
  if (!request.intrinsicFile.empty() && !EnableUndistortion(request, sampler, error)) FailInput(error);

  CCalibrationData data;
  const int cameras = CountSubViews(request.settings);
  for (int i = 0; i < cameras; ++i) data.AddCamera();
  for (int64_t frame : request.frames) {
    if (DShow::Failed(graph.SeekToFrame(frame))) {
      const std::string why = graph.LastError();
      FailInput("cannot seek to frame " + std::to_string(frame) + " of '" + request.video + "'" +
                (why.empty() ? "" : ": " + why));
    }
    if (GrabFrameIntoCameras(sampler, request.settings, data) != cameras)
      FailInput("frame " + std::to_string(frame) + " could not be cut into " + std::to_string(cameras) + " views");
  }
  SaveWorkspaceFor(data, request.outIndex, "cannot save the workspace: ");
  std::cout << "grabbed " << request.frames.size() << " frame(s) of " << sampler.Width() << "x" << sampler.Height() << " into "
            << cameras << " camera(s); saved " << request.outIndex << "\n";
  return kExitOk;
}

}  // namespace

int RunGrab(const Arguments& args) { return RunCommand(kGrab, args, Grab); }
