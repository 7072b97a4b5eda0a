#include "core/Workspace.h"

#include <optional>

#include "core/CalibrationData.h"
#include "core/TextIO.h"

namespace {

// Bounds that keep a hostile index from making us allocate without end.
constexpr int kMaxGridSide = 100000;
constexpr long long kMaxPointsPerCamera = 5'000'000;

struct ViewEntry {
  int enabled = 1;
  std::string imageName;
  int hasPoints = 0;
  std::string pointsName;
};

struct CameraEntry {
  std::string dataName;
  std::string intrinsicName;
  std::string extrinsicName;
  int viewCount = 0;
  GridDescription grid;
  std::vector<ViewEntry> views;
};

struct Failure {
  std::string message;
};

template <class T>
T Require(std::optional<T> value, const std::string& what) {
  if (!value) throw Failure{what};
  return *value;
}

std::string RequireName(TextFields& fields, const std::string& what) {
  std::string name = Require(fields.NextName(), what + ": missing or over-long file name");
  if (!IsBareFileName(name)) throw Failure{what + ": \"" + name + "\" is not a plain file name"};
  return name;
}

GridDescription ReadGrid(TextFields& index, const std::string& where) {
  GridDescription grid;
  grid.nx = Require(index.NextInt(), where + ": bad grid nx");
  grid.ny = Require(index.NextInt(), where + ": bad grid ny");
  grid.dX = Require(index.NextDouble(), where + ": bad grid dX");
  grid.dY = Require(index.NextDouble(), where + ": bad grid dY");
  grid.wx = Require(index.NextInt(), where + ": bad grid wx");
  grid.wy = Require(index.NextInt(), where + ": bad grid wy");
  if (grid.nx < 0 || grid.ny < 0 || grid.nx > kMaxGridSide || grid.ny > kMaxGridSide)
    throw Failure{where + ": grid size " + std::to_string(grid.nx) + "x" + std::to_string(grid.ny) + " out of range"};
  return grid;
}

void ReadDataFile(const std::string& folder, CameraEntry& camera) {
  const std::string what = "camera data file \"" + camera.dataName + "\"";
  auto data = TextFields::Read(JoinPath(folder, camera.dataName));
  if (!data) throw Failure{"cannot read " + what};
  camera.intrinsicName = RequireName(*data, what);
  camera.extrinsicName = RequireName(*data, what);
  // Every view takes four fields, so a count beyond that is a broken file.
  if (static_cast<size_t>(camera.viewCount) > data->Remaining() / 4)
    throw Failure{what + " lists fewer views than the index announces (" + std::to_string(camera.viewCount) + ")"};
  camera.views.resize(static_cast<size_t>(camera.viewCount));
  for (ViewEntry& view : camera.views) {
    view.enabled = Require(data->NextInt(), what + ": bad enabled flag");
    view.imageName = RequireName(*data, what);
    view.hasPoints = Require(data->NextInt(), what + ": bad has-points flag");
    view.pointsName = RequireName(*data, what);
  }
}

std::vector<CameraEntry> ReadStructure(const std::string& indexPath) {
  auto index = TextFields::Read(indexPath);
  if (!index) throw Failure{"cannot read workspace index \"" + indexPath + "\""};
  const int count = Require(index->NextInt(), "workspace index: bad camera count");
  // Each camera takes eight fields of the index.
  if (count < 0 || static_cast<size_t>(count) > index->Remaining() / 8)
    throw Failure{"workspace index: camera count " + std::to_string(count) + " does not match the file"};
  const std::string folder = FolderOf(indexPath);
  std::vector<CameraEntry> cameras(static_cast<size_t>(count));
  for (size_t i = 0; i < cameras.size(); ++i) {
    const std::string where = "workspace index, camera " + std::to_string(i);
    CameraEntry& camera = cameras[i];
    camera.dataName = RequireName(*index, where);
    camera.viewCount = Require(index->NextInt(), where + ": bad view count");
    camera.grid = ReadGrid(*index, where);
    if (camera.viewCount < 0 ||
        static_cast<long long>(camera.viewCount) * camera.grid.nx * camera.grid.ny > kMaxPointsPerCamera)
      throw Failure{where + ": view count " + std::to_string(camera.viewCount) + " out of range"};
    ReadDataFile(folder, camera);
  }
  return cameras;
}

void LoadCamera(CCalibrationData& data, const std::string& folder, const CameraEntry& entry, int camera,
                std::vector<std::string>& warnings) {
  if (!data.ReadIntrinsicFile(camera, JoinPath(folder, entry.intrinsicName)))
    warnings.push_back("camera " + std::to_string(camera) + ": intrinsic file \"" + entry.intrinsicName +
                       "\" missing or incomplete; default parameters kept");
  data.SetGrid(camera, entry.grid);
  data.GetCalibrationProblem(camera).Allocate(entry.viewCount, entry.grid);
  if (!data.ReadExtrinsicFile(camera, JoinPath(folder, entry.extrinsicName)))
    warnings.push_back("camera " + std::to_string(camera) + ": extrinsic file \"" + entry.extrinsicName +
                       "\" cannot be read; poses left empty");
  for (const ViewEntry& view : entry.views) {
    const int status = data.AddViewFromFile(camera, JoinPath(folder, view.imageName), view.enabled ? 1 : 0,
                                            view.hasPoints ? 1 : 0, JoinPath(folder, view.pointsName));
    if (status != 0)
      warnings.push_back("camera " + std::to_string(camera) + ": view image \"" + view.imageName +
                         "\" cannot be read; view skipped");
  }
}

bool WriteCamera(const CCalibrationData& data, const std::string& folder, int camera, std::string& indexText,
                 std::string& error) {
  const std::string dataName = CameraDataFileName(camera);
  TextFileWriter out(JoinPath(folder, dataName));
  auto fail = [&error](const std::string& what) {
    error = "cannot write " + what;
    return false;
  };
  if (!out.IsOpen()) return fail("\"" + dataName + "\"");
  out.Text(IntrinsicFileName(camera)).EndLine();
  if (!data.WriteIntrinsicFile(camera, JoinPath(folder, IntrinsicFileName(camera))))
    return fail("\"" + IntrinsicFileName(camera) + "\"");
  out.Text(ExtrinsicFileName(camera)).EndLine();
  if (!data.WriteExtrinsicFile(camera, JoinPath(folder, ExtrinsicFileName(camera))))
    return fail("\"" + ExtrinsicFileName(camera) + "\"");

  const GridDescription grid = data.GetGrid(camera);
  const int views = data.GetViewCount(camera);
  indexText += dataName + "\n" + std::to_string(views) + " " + std::to_string(grid.nx) + " " +
               std::to_string(grid.ny) + " " + FormatFixed6(grid.dX) + " " + FormatFixed6(grid.dY) + " " +
               std::to_string(grid.wx) + " " + std::to_string(grid.wy) + "\n";
  for (int v = 0; v < views; ++v) {
    const std::string imageName = ViewImageFileName(camera, v);
    const std::string pointsName = PointsFileName(camera, v);
    out.Int(data.IsViewEnabled(camera, v)).Space().Text(imageName).EndLine();
    if (!data.SaveViewImage(camera, v, JoinPath(folder, imageName), "jpg")) return fail("\"" + imageName + "\"");
    out.Int(data.ViewHasPoints(camera, v) ? 1 : 0).Space().Text(pointsName).EndLine();
    if (!data.WritePointsFile(camera, v, JoinPath(folder, pointsName))) return fail("\"" + pointsName + "\"");
  }
  if (!out.Close()) return fail("\"" + dataName + "\"");
  return true;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

std::string CameraDataFileName(int camera) { return "Camera_" + std::to_string(camera) + "_Data.txt"; }
std::string IntrinsicFileName(int camera) { return "Camera_" + std::to_string(camera) + "_Intrinsic.txt"; }
std::string ExtrinsicFileName(int camera) { return "Camera_" + std::to_string(camera) + "_Extrinsic.txt"; }
std::string ViewImageFileName(int camera, int view) {
  return "Camera_" + std::to_string(camera) + "_Image_" + std::to_string(view) + ".jpg";
}
std::string PointsFileName(int camera, int view) {
  return "Camera_" + std::to_string(camera) + "_Points_" + std::to_string(view) + ".txt";
}

WorkspaceResult SaveWorkspaceTo(const CCalibrationData& data, const std::string& indexPath) {
  WorkspaceResult result;
  const std::string folder = FolderOf(indexPath);
  // The index is written last, so a failed save never leaves a new index
  // pointing at a half-written set of companions.
  std::string indexText = std::to_string(data.GetCameraCount()) + "\n";
  for (int camera = 0; camera < data.GetCameraCount(); ++camera)
    if (!WriteCamera(data, folder, camera, indexText, result.error)) return result;
  TextFileWriter index(indexPath);
  if (!index.IsOpen() || !index.Text(indexText).Close()) {
    result.error = "cannot write workspace index \"" + indexPath + "\"";
    return result;
  }
  result.camerasRead = data.GetCameraCount();
  result.ok = true;
  return result;
}

WorkspaceResult LoadWorkspace(CCalibrationData& data, const std::string& indexPath, const CameraAnnouncer& announce) {
  WorkspaceResult result;
  std::vector<CameraEntry> cameras;
  try {
    cameras = ReadStructure(indexPath);
  } catch (const Failure& failure) {
    result.error = failure.message;
    return result;
  }
  const std::string folder = FolderOf(indexPath);
  result.firstCamera = data.GetCameraCount();
  for (const CameraEntry& entry : cameras) {
    const int camera = data.GetCameraCount();
    if (announce) announce(camera);
    data.AddCamera();
    LoadCamera(data, folder, entry, camera, result.warnings);
  }
  result.camerasRead = static_cast<int>(cameras.size());
  result.ok = true;
  return result;
}
