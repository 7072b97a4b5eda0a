#include "core/Workspace.h"

#include <filesystem>
#include <optional>

#include <QImageReader>

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "core/ModelFile.h"
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
  // The point count per view must fit the limit even for a camera without views.
  if (grid.nx < 0 || grid.ny < 0 || grid.nx > kMaxGridSide || grid.ny > kMaxGridSide ||
      static_cast<long long>(grid.nx) * grid.ny > kMaxPointsPerCamera)
    throw Failure{where + ": grid size " + std::to_string(grid.nx) + "x" + std::to_string(grid.ny) + " out of range"};
  return grid;
}

// The square size's unit follows the views as "unit NAME" when it is not
// millimetres, so workspaces written before units existed read as
// millimetres, and readers that stop after the views still read the rest.
constexpr const char* kUnitKey = "unit";

void ReadSquareUnit(TextFields& data, const std::string& what, GridDescription& grid) {
  grid.unit = LengthUnit::Millimetre;
  const std::optional<std::string> key = data.NextName();
  if (!key || *key != kUnitKey) return;  // anything else after the views was always ignored
  const std::string name = Require(data.NextName(), what + ": \"unit\" without a unit name");
  const std::optional<LengthUnit> unit = ParseLengthUnit(name);
  if (!unit) throw Failure{what + ": unknown square-size unit \"" + name + "\" (expected mm, cm, m or in)"};
  grid.unit = *unit;
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
  ReadSquareUnit(*data, what, camera.grid);
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
    const std::string where = "workspace index, camera " + std::to_string(i + 1);
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

// An image size a camera can have; file headers and intrinsic files may claim anything.
bool PlausibleImageSize(const QSize& size) {
  constexpr int kMaxSide = 32768;
  constexpr long long kMaxPixels = 64LL << 20;
  return size.width() > 0 && size.height() > 0 && size.width() <= kMaxSide && size.height() <= kMaxSide &&
         static_cast<long long>(size.width()) * size.height() <= kMaxPixels;
}

// Size of a placeholder for a view whose image cannot be read: the camera's
// image size as a readable view image of it gives it, else as its intrinsic
// file gives it, else VGA.
QSize PlaceholderSize(const CCalibrationData& data, const std::string& folder, const CameraEntry& entry, int camera) {
  for (int v = 0; v < data.GetViewCount(camera); ++v)
    if (!data.ViewMissingImage(camera, v)) return {data.GetViewSize(camera, v).width, data.GetViewSize(camera, v).height};
  for (const ViewEntry& view : entry.views) {
    const QSize size = QImageReader(QString::fromStdString(JoinPath(folder, view.imageName))).size();
    if (PlausibleImageSize(size)) return size;
  }
  const CameraParameters parameters = data.GetCameraParameters(camera);
  if (PlausibleImageSize({parameters.width, parameters.height})) return {parameters.width, parameters.height};
  return {640, 480};
}

void AddView(CCalibrationData& data, const std::string& folder, const CameraEntry& entry, int camera,
             const ViewEntry& view, std::optional<QSize>& placeholderSize, std::vector<std::string>& warnings) {
  const std::string where = "camera " + std::to_string(camera + 1) + ": ";
  const int index = data.GetViewCount(camera);
  const std::string pointsPath = JoinPath(folder, view.pointsName);
  const std::string imagePath = JoinPath(folder, view.imageName);
  std::string problem;
  if (data.AddViewFromFile(camera, imagePath, view.enabled ? 1 : 0, view.hasPoints ? 1 : 0, pointsPath, &problem) != 0) {
    // Found once per camera: a workspace missing many images must not search for each.
    if (!placeholderSize) placeholderSize = PlaceholderSize(data, folder, entry, camera);
    data.AddPlaceholderView(camera, placeholderSize->width(), placeholderSize->height(), view.hasPoints ? 1 : 0,
                            pointsPath);
    // The store names the whole path in quotes; the warning names the file as the index does.
    std::string why = problem.substr(std::min(problem.size(), imagePath.size() + 3));
    if (why.empty() || why.rfind("cannot be read", 0) == 0) why = "cannot be read";
    warnings.push_back(where + "view image \"" + view.imageName + "\" " + why + "; view " + std::to_string(index + 1) +
                       " keeps its place, disabled, without its image");
  }
  const int points = data.GetPointCount(camera, index);
  const int needed = entry.grid.nx * entry.grid.ny;
  if ((points > 0 || view.hasPoints) && points != needed)
    warnings.push_back(where + "view " + std::to_string(index + 1) + " has " + std::to_string(points) +
                       " grid points where the grid has " + std::to_string(needed) +
                       "; it stays out of calibration until marked again");
}

void LoadCamera(CCalibrationData& data, const std::string& folder, const CameraEntry& entry, int camera,
                std::vector<std::string>& warnings) {
  if (!data.ReadIntrinsicFile(camera, JoinPath(folder, entry.intrinsicName)))
    warnings.push_back("camera " + std::to_string(camera + 1) + ": intrinsic file \"" + entry.intrinsicName +
                       "\" missing or incomplete; default parameters kept");
  const std::string modelName = ModelFileNameFor(entry.intrinsicName);
  std::error_code ignored;
  if (std::filesystem::exists(JoinPath(folder, modelName), ignored) && !data.ReadModelFile(camera, JoinPath(folder, modelName)))
    warnings.push_back("camera " + std::to_string(camera + 1) + ": model file \"" + modelName +
                       "\" cannot be read; the camera stays pinhole-radtan with default settings");
  data.SetGrid(camera, entry.grid);
  data.GetCalibrationProblem(camera).Allocate(entry.viewCount, entry.grid);
  if (!data.ReadExtrinsicFile(camera, JoinPath(folder, entry.extrinsicName)))
    warnings.push_back("camera " + std::to_string(camera + 1) + ": extrinsic file \"" + entry.extrinsicName +
                       "\" cannot be read; poses left empty");
  std::optional<QSize> placeholderSize;
  for (const ViewEntry& view : entry.views) AddView(data, folder, entry, camera, view, placeholderSize, warnings);
}

// Writes one camera's data file and companions through the file set and
// appends its two index lines to indexText.
struct WrittenImage {
  int camera;
  int view;
  std::string name;
};

bool WriteCamera(const CCalibrationData& data, FileSetWriter& files, int camera, std::string& indexText,
                 std::vector<std::string>& warnings, std::vector<WrittenImage>& written, std::string& failure) {
  std::string dataText = IntrinsicFileName(camera) + "\n" + ExtrinsicFileName(camera) + "\n";
  if (!files.Write(IntrinsicFileName(camera), [&](const std::string& path) { return data.WriteIntrinsicFile(camera, path); }) ||
      !files.Write(ExtrinsicFileName(camera), [&](const std::string& path) { return data.WriteExtrinsicFile(camera, path); }))
    return false;
  // A plain pinhole-radtan camera has no model file; one left by an earlier save must not come back with it.
  const std::string modelName = ModelFileNameFor(IntrinsicFileName(camera));
  if (!data.NeedsModelFile(camera))
    files.Remove(modelName);
  else if (!files.Write(modelName, [&](const std::string& path) { return data.WriteModelFile(camera, path); }))
    return false;
  const GridDescription grid = data.GetGrid(camera);
  const int views = data.GetViewCount(camera);
  indexText += CameraDataFileName(camera) + "\n" + std::to_string(views) + " " + std::to_string(grid.nx) + " " +
               std::to_string(grid.ny) + " " + FormatFixed6(grid.dX) + " " + FormatFixed6(grid.dY) + " " +
               std::to_string(grid.wx) + " " + std::to_string(grid.wy) + "\n";
  for (int v = 0; v < views; ++v) {
    const std::string imageName = ViewImageFileName(camera, v);
    const std::string pointsName = PointsFileName(camera, v);
    dataText += std::to_string(data.IsViewEnabled(camera, v)) + " " + imageName + "\n" +
                std::to_string(data.ViewHasPoints(camera, v) ? 1 : 0) + " " + pointsName + "\n";
    if (data.ViewMissingImage(camera, v)) {
      // The grey stand-in is no photograph: the image stays missing, and a
      // file of that name already there must not pass for it (the caller
      // agreed to its removal before the save began).
      files.Remove(imageName);
      warnings.push_back("camera " + std::to_string(camera + 1) + ": view " + std::to_string(v + 1) +
                         " has no image; \"" + imageName + "\" is left missing");
    } else {
      std::string problem;
      if (!files.Write(imageName, [&](const std::string& path) { return data.SaveViewImage(camera, v, path, "jpg", &problem); })) {
        if (!problem.empty())
          failure = "camera " + std::to_string(camera) + ", view " + std::to_string(v) + ": the picture " + problem;
        return false;
      }
      written.push_back({camera, v, imageName});
    }
    if (!files.Write(pointsName, [&](const std::string& path) { return data.WritePointsFile(camera, v, path); }))
      return false;
  }
  if (grid.unit != LengthUnit::Millimetre) dataText += std::string(kUnitKey) + " " + LengthUnitName(grid.unit) + "\n";
  return files.Write(CameraDataFileName(camera), [&](const std::string& path) {
    TextFileWriter out(path);
    return out.IsOpen() && out.Text(dataText).Close();
  });
}

// Every companion name a save of the store writes, with what it is.
std::string CompanionClash(const CCalibrationData& data, const std::string& indexName) {
  for (int camera = 0; camera < data.GetCameraCount(); ++camera) {
    const std::string which = "camera " + std::to_string(camera + 1) + "'s ";
    if (indexName == CameraDataFileName(camera)) return which + "data file";
    if (indexName == IntrinsicFileName(camera)) return which + "intrinsic file";
    if (indexName == ExtrinsicFileName(camera)) return which + "extrinsic file";
    if (indexName == ModelFileNameFor(IntrinsicFileName(camera))) return which + "model file";
    for (int v = 0; v < data.GetViewCount(camera); ++v) {
      if (indexName == ViewImageFileName(camera, v)) return which + "view " + std::to_string(v + 1) + " image";
      if (indexName == PointsFileName(camera, v)) return which + "view " + std::to_string(v + 1) + " points file";
    }
  }
  return "";
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

std::vector<std::string> StaleImageFiles(const CCalibrationData& data, const std::string& indexPath) {
  std::vector<std::string> names;
  const std::string folder = FolderOf(indexPath);
  std::error_code ignored;
  for (int camera = 0; camera < data.GetCameraCount(); ++camera)
    for (int v = 0; v < data.GetViewCount(camera); ++v) {
      if (!data.ViewMissingImage(camera, v)) continue;
      const std::string name = ViewImageFileName(camera, v);
      if (std::filesystem::exists(std::filesystem::symlink_status(JoinPath(folder, name), ignored))) names.push_back(name);
    }
  return names;
}

WorkspaceResult SaveWorkspaceTo(CCalibrationData& data, const std::string& indexPath,
                                const WorkspaceSaveOptions& options) {
  WorkspaceResult result;
  const std::string indexName = FileNameOf(indexPath);
  if (const std::string clash = CompanionClash(data, indexName); !clash.empty()) {
    result.error = "the index name \"" + indexName + "\" is the name of " + clash +
                   ", which the save writes beside it; choose another name";
    return result;
  }
  // A file the save did not write is removed only when the caller agrees.
  const std::vector<std::string> stale = StaleImageFiles(data, indexPath);
  if (!stale.empty() && !(options.mayRemove && options.mayRemove(stale))) {
    result.error = "the folder holds \"" + stale.front() + "\"" +
                   (stale.size() > 1 ? " and " + std::to_string(stale.size() - 1) + " more" : std::string()) +
                   ", named like the image of a view that has none: a reload would take it for that view's "
                   "picture. Move it away or save to another folder";
    return result;
  }
  // Everything is written under temporary names first and the index renamed
  // into place last, so a failure at any point leaves the old workspace whole.
  FileSetWriter files(FolderOf(indexPath), options.faultHook);
  std::string indexText = std::to_string(data.GetCameraCount()) + "\n";
  std::vector<WrittenImage> written;
  std::string failure;
  for (int camera = 0; camera < data.GetCameraCount(); ++camera)
    if (!WriteCamera(data, files, camera, indexText, result.warnings, written, failure)) {
      result.error = failure.empty() ? files.Error() : failure;
      return result;
    }
  const bool indexWritten = files.Write(indexName, [&](const std::string& path) {
    TextFileWriter index(path);
    return index.IsOpen() && index.Text(indexText).Close();
  });
  if (!indexWritten || !files.Commit()) {
    result.error = files.Error();
    return result;
  }
  // The views read their pictures from the saved files now, as a reload would:
  // files they came from may just have been replaced.
  for (const WrittenImage& image : written)
    data.RebindViewImage(image.camera, image.view, JoinPath(FolderOf(indexPath), image.name));
  result.camerasRead = data.GetCameraCount();
  for (const std::string& name : stale) {
    result.removed.push_back(name);
    result.warnings.push_back("removed the earlier \"" + name + "\" from the folder");
  }
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
