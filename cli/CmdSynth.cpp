// lentora synth: a synthetic workspace of chequerboard views through a known
// camera, with its ground truth beside it.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "synth/SyntheticViews.h"
#include "cli/Command.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* const kSynthUsage =
    "usage: lentora synth OUT_INDEX [--views N] [--grid NXxNY] [--square D] [--size WxH]\n"
    "                    [--model NAME] [--camera fx,fy,cx,cy,COEFFICIENTS] [--noise SIGMA]\n"
    "                    [--stereo r1,r2,r3,t1,t2,t3] [--seed S] [--blur SIGMA] [--image-noise SIGMA]\n"
    "  Renders a workspace of N views (default 10) of a chequerboard with NXxNY grid points\n"
    "  (default 9x6, squares of D = 30 units) seen by a known camera (default fx = fy = 1.25 W,\n"
    "  centred, mild distortion) in WxH images (default 640x480). --model gives the camera a lens\n"
    "  model: pinhole-radtan (the default), pinhole-radtan-k3, rational or fisheye (default: 180\n"
    "  degrees across the width); --camera then lists that model's coefficients (k1,k2,p1,p2 for\n"
    "  pinhole-radtan, k1,k2,p1,p2,k3, k1,k2,p1,p2,k3,k4,k5,k6 or k1,k2,k3,k4). Grid points are exact plus\n"
    "  Gaussian noise of SIGMA pixels (default 0). --stereo adds a second camera with the same\n"
    "  intrinsics at rotation vector r and translation t relative to the first. --blur (default\n"
    "  0.6 px) and --image-noise (default 2 grey levels) make the images look photographed.\n"
    "  The ground truth goes to ground_truth.json beside OUT_INDEX.\n";

const CommandSpec kSynth{"synth", kSynthUsage, kNoCommonOption,
                         {"--views", "--grid", "--square", "--size", "--model", "--camera", "--noise", "--stereo",
                          "--seed", "--blur", "--image-noise"}};

bool ParseSize(const std::string& text, int& a, int& b) {
  const size_t x = text.find('x');
  return x != std::string::npos && ParseInt(text.substr(0, x), a) && ParseInt(text.substr(x + 1), b);
}

// Reads one option through `parse`, leaving `value` alone when it is absent.
template <class T, class Parse>
bool ReadOption(const ParsedArguments& parsed, const char* name, T& value, Parse parse) {
  const auto text = parsed.Value(name);
  return !text || parse(*text, value);
}

// Fills the options from the command line; "" on success, else what is wrong.
std::string ReadOptions(const ParsedArguments& parsed, SyntheticOptions& options) {
  int width = 640, height = 480;
  if (!ReadOption(parsed, "--size", width, [&](const std::string& t, int&) { return ParseSize(t, width, height); }) ||
      width < 32 || height < 32 || width > 10000 || height > 10000)
    return "--size must be WxH with each side from 32 to 10000";
  LensModel model = LensModel::PinholeRadtan;
  if (const auto name = parsed.Value("--model")) {
    const std::optional<LensModel> found = LensModelFromName(*name);
    if (!found) return "unknown lens model \"" + *name + "\" (pinhole-radtan, pinhole-radtan-k3, rational or fisheye)";
    model = *found;
  }
  SyntheticCamera& camera = options.camera;
  camera = TypicalSyntheticCamera(model, width, height);
  if (const auto text = parsed.Value("--camera")) {
    std::vector<double> v;
    const size_t count = 4 + static_cast<size_t>(DistortionCount(model));
    if (!ParseDoubleList(*text, v) || v.size() != count || !(v[0] > 0) || !(v[1] > 0))
      return "--camera needs fx,fy,cx,cy and the " + std::to_string(count - 4) + " coefficients of the " +
             LensModelName(model) + " model, with positive focal lengths";
    camera.fx = v[0], camera.fy = v[1], camera.cx = v[2], camera.cy = v[3];
    camera.coefficients.fill(0.0);
    std::copy(v.begin() + 4, v.end(), camera.coefficients.begin());
  }
  GridDescription& grid = options.grid;
  grid = GridDescription{30.0, 30.0, 9, 6, 5, 5};
  if (!ReadOption(parsed, "--views", options.views, ParseInt) || options.views < 1 || options.views > 1000)
    return "--views must be a count from 1 to 1000";
  if (!ReadOption(parsed, "--grid", grid.nx, [&](const std::string& t, int&) { return ParseSize(t, grid.nx, grid.ny); }) ||
      grid.nx < 2 || grid.ny < 2 || grid.nx > 101 || grid.ny > 101)
    return "--grid must be NXxNY grid points with each count from 2 to 101";
  if (!ReadOption(parsed, "--square", grid.dX, ParseDouble) || !(grid.dX > 0) || grid.dX > 10000)
    return "--square must be a size above 0 and at most 10000";
  grid.dY = grid.dX;
  if (!ReadOption(parsed, "--noise", options.pointNoise, ParseDouble) || options.pointNoise < 0 || options.pointNoise > 100)
    return "--noise must be a standard deviation from 0 to 100 pixels";
  int seed = 1;
  if (!ReadOption(parsed, "--seed", seed, ParseInt) || seed < 0) return "--seed must be a non-negative integer";
  options.seed = static_cast<uint32_t>(seed);
  options.render.blurSigma = 0.6;
  options.render.imageNoise = 2.0;
  if (!ReadOption(parsed, "--blur", options.render.blurSigma, ParseDouble) || options.render.blurSigma < 0 ||
      options.render.blurSigma > 20)
    return "--blur must be a Gaussian sigma from 0 to 20 pixels";
  if (!ReadOption(parsed, "--image-noise", options.render.imageNoise, ParseDouble) || options.render.imageNoise < 0 ||
      options.render.imageNoise > 100)
    return "--image-noise must be a standard deviation from 0 to 100 grey levels";
  options.render.seed = options.seed;
  if (const auto text = parsed.Value("--stereo")) {
    std::vector<double> v;
    if (!ParseDoubleList(*text, v) || v.size() != 6) return "--stereo needs r1,r2,r3,t1,t2,t3";
    options.stereo = true;
    options.stereoRotation = {v[0], v[1], v[2]};
    options.stereoTranslation = {v[3], v[4], v[5]};
    options.secondCamera = camera;
  }
  return "";
}

void WriteCameraTruth(JsonWriter& json, int index, const SyntheticCameraViews& views) {
  const CameraParameters p = views.camera.ToParameters();
  json.BeginObject().Key("camera").Value(index);
  json.Key("fx").Value(p.fx()).Key("fy").Value(p.fy()).Key("cx").Value(p.cx()).Key("cy").Value(p.cy());
  const auto end = p.distortion.begin() + DistortionCount(p.model);
  json.Key("model").Value(std::string(LensModelName(p.model))).Key("coefficients").Array(p.distortion.begin(), end);
  if (p.model == LensModel::PinholeRadtan) json.Key("distortion").Array(p.distortion.begin(), end);
  json.Key("K").Array(p.K.begin(), p.K.end());
  json.Key("width").Value(views.camera.width).Key("height").Value(views.camera.height);
  json.Key("poses").BeginArray();
  for (size_t v = 0; v < views.poses.size(); ++v) {
    const SyntheticPose& pose = views.poses[v];
    json.BeginObject().Key("view").Value(static_cast<int>(v)).Key("R").Array(pose.R.begin(), pose.R.end());
    json.Key("r").Array(pose.r.begin(), pose.r.end()).Key("t").Array(pose.t.begin(), pose.t.end()).EndObject();
  }
  json.EndArray().EndObject();
}

std::string GroundTruthJson(const SyntheticOptions& options, const SyntheticRig& rig) {
  JsonWriter json;
  json.BeginObject().Key("grid").BeginObject().Key("nx").Value(rig.grid.nx).Key("ny").Value(rig.grid.ny);
  json.Key("dX").Value(rig.grid.dX).Key("dY").Value(rig.grid.dY).EndObject();
  json.Key("pointNoise").Value(options.pointNoise).Key("seed").Value(static_cast<int>(options.seed));
  json.Key("cameras").BeginArray();
  for (size_t c = 0; c < rig.cameras.size(); ++c) WriteCameraTruth(json, static_cast<int>(c), rig.cameras[c]);
  json.EndArray();
  if (options.stereo) {
    const SyntheticPose relative = PoseFromVectors(options.stereoRotation, options.stereoTranslation);
    json.Key("stereo").BeginObject().Key("R").Array(relative.R.begin(), relative.R.end());
    json.Key("r").Array(relative.r.begin(), relative.r.end()).Key("T").Array(relative.t.begin(), relative.t.end());
    json.EndObject();
  }
  json.EndObject();
  return json.str();
}

// Puts the rendered views and their points into a fresh store.
bool FillStore(CCalibrationData& data, SyntheticRig& rig) {
  for (size_t c = 0; c < rig.cameras.size(); ++c) {
    const int camera = static_cast<int>(c);
    if (!data.AddCamera()) return false;
    data.SetGrid(camera, rig.grid);
    SyntheticCameraViews& views = rig.cameras[c];
    for (size_t v = 0; v < views.images.size(); ++v) {
      if (!data.AddViewFromFrame(camera, std::move(views.images[v]))) return false;
      *data.GetGridPoints(camera, static_cast<int>(v)) = views.points[v];
      data.SetViewHasPoints(camera, static_cast<int>(v), 1);
    }
  }
  return true;
}

}  // namespace

int RunSynth(const Arguments& args) {
  return RunCommand(kSynth, args, [](const CommandLine& line) {
    const std::string& index = line.OnePositional("expected one OUT_INDEX argument");
    SyntheticOptions options;
    if (const std::string wrong = ReadOptions(line.Parsed(), options); !wrong.empty()) FailUsage(wrong);
    SyntheticRig rig = MakeSyntheticRig(options);
    if (rig.hiddenViews > 0)
      FailInput(std::to_string(rig.hiddenViews) +
                " view(s) could not keep the board inside the image; use a larger image, a smaller grid or milder "
                "distortion");
    const std::string folder = FolderOf(index);
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    CCalibrationData data;
    if (!FillStore(data, rig)) FailInput("could not build the workspace in memory");
    SaveWorkspaceFor(data, index);
    const std::string truthPath = JoinPath(folder, "ground_truth.json");
    std::ofstream truth(truthPath);
    truth << GroundTruthJson(options, rig) << "\n";
    if (!truth.flush()) FailInput("cannot write " + truthPath);
    return kExitOk;
  });
}
