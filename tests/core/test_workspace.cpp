#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include <opencv2/imgcodecs.hpp>

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/TempDir.h"

namespace {

GridDescription Grid(int nx, int ny) {
  GridDescription grid;
  grid.nx = nx;
  grid.ny = ny;
  grid.dX = 25.5;
  grid.dY = 30.25;
  grid.wx = 4;
  grid.wy = 5;
  return grid;
}

cv::Mat Picture(int width, int height, int seed) {
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.at<cv::Vec3b>(y, x) = cv::Vec3b((x * 3 + seed) % 256, (y * 5) % 256, ((x + y) * 2) % 256);
  return image;
}

// Two cameras: the first calibrated-looking with points and poses, the second plain.
void FillWorkspace(CCalibrationData& data) {
  data.AddCamera();
  data.AddCamera();
  data.SetGrid(0, Grid(3, 2));
  for (int v = 0; v < 3; ++v) {
    data.AddViewFromFrame(0, Picture(40, 30, v));
    PointList* points = data.GetGridPoints(0, v);
    for (int k = 0; k < 6; ++k) points->push_back({k * 1.25 + v, k * 0.5 - v});
    data.SetViewHasPoints(0, v, 1);
  }
  data.DisableView(0, 1);
  CameraParameters p;
  p.K = {800.5, 0, 20, 0, 799.25, 15, 0, 0, 1};
  p.distortion = {-0.1, 0.02, 0.001, 0.002, 0};
  p.width = 40;
  p.height = 30;
  data.SetCameraParameters(0, p);
  CalibrationProblem& problem = data.GetCalibrationProblem(0);
  problem.Allocate(3, Grid(3, 2));
  for (int v = 0; v < 3; ++v) {
    for (int i = 0; i < 9; ++i) problem.rotationMatrices[9 * v + i] = i % 4 == 0 ? 1.0 : 0.0;
    for (int i = 0; i < 3; ++i) {
      problem.rotationVectors[3 * v + i] = 0.1 * (v + i);
      problem.translations[3 * v + i] = 100.0 * v + i;
    }
  }
  data.AddViewFromFrame(1, Picture(24, 16, 9));
}

TEST(Workspace, EmptyStoreWritesOnlyTheIndex) {
  TempDir dir;
  CCalibrationData data;
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  EXPECT_EQ(dir.Read("ws.txt"), "0\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(Workspace, UncalibratedCameraWritesEmptyExtrinsicsAndIdentityRotation) {
  TempDir dir;
  CCalibrationData data;
  data.AddCamera();
  for (int v = 0; v < 3; ++v) data.AddViewFromFrame(0, Picture(16, 12, v));
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  EXPECT_EQ(dir.Read("ws.txt"), "1\nCamera_0_Data.txt\n3 0 0 0.000000 0.000000 3 3\n");
  EXPECT_EQ(dir.Read("Camera_0_Extrinsic.txt"), "");
  EXPECT_EQ(dir.Read("Camera_0_Intrinsic.txt"),
            "0.000000 0.000000 0.000000\n0.000000 0.000000 0.000000\n0.000000 0.000000 0.000000\n"
            "0.000000 0.000000 0.000000 0.000000\n1.000000 0.000000 0.000000\n0.000000 1.000000 0.000000\n"
            "0.000000 0.000000 1.000000\n0.000000 0.000000 0.000000\n0 0\n");
  EXPECT_EQ(dir.Read("Camera_0_Data.txt"),
            "Camera_0_Intrinsic.txt\nCamera_0_Extrinsic.txt\n1 Camera_0_Image_0.jpg\n0 Camera_0_Points_0.txt\n"
            "1 Camera_0_Image_1.jpg\n0 Camera_0_Points_1.txt\n1 Camera_0_Image_2.jpg\n0 Camera_0_Points_2.txt\n");
  for (int v = 0; v < 3; ++v) {
    EXPECT_TRUE(std::filesystem::exists(dir.File("Camera_0_Image_" + std::to_string(v) + ".jpg")));
    EXPECT_EQ(dir.Read("Camera_0_Points_" + std::to_string(v) + ".txt"), "");
  }
}

TEST(Workspace, RoundTripKeepsEverythingToSixDecimals) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);

  CCalibrationData loaded;
  std::vector<int> announced;
  const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"), [&](int c) { announced.push_back(c); });
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(result.warnings.empty());
  EXPECT_EQ(announced, (std::vector<int>{0, 1}));
  ASSERT_EQ(loaded.GetCameraCount(), 2);
  EXPECT_EQ(loaded.GetViewCount(0), 3);
  EXPECT_EQ(loaded.GetViewCount(1), 1);
  EXPECT_EQ(loaded.IsViewEnabled(0, 1), 0);
  EXPECT_EQ(loaded.IsViewEnabled(0, 2), 1);
  const GridDescription grid = loaded.GetGrid(0);
  EXPECT_EQ(grid.nx, 3);
  EXPECT_EQ(grid.dY, 30.25);
  EXPECT_EQ(grid.wy, 5);
  EXPECT_EQ(loaded.GetCameraParameters(0).K, data.GetCameraParameters(0).K);
  EXPECT_EQ(loaded.GetCameraParameters(0).distortion, data.GetCameraParameters(0).distortion);
  for (int v = 0; v < 3; ++v) {
    EXPECT_TRUE(loaded.ViewHasPoints(0, v));
    ASSERT_EQ(loaded.GetPointCount(0, v), 6);
    for (int k = 0; k < 6; ++k) {
      EXPECT_NEAR(loaded.GetPoint(0, v, k).x, data.GetPoint(0, v, k).x, 1e-6);
      EXPECT_NEAR(loaded.GetPoint(0, v, k).y, data.GetPoint(0, v, k).y, 1e-6);
    }
    EXPECT_TRUE(loaded.GetBorderPoints(0, v)->empty());
  }
  const CalibrationProblem& problem = loaded.GetCalibrationProblem(0);
  ASSERT_EQ(problem.viewCount, 3);
  EXPECT_NEAR(problem.GetTranslation(2)[0], 200.0, 1e-9);
  EXPECT_NEAR(problem.GetRotationVector(2)[2], 0.4, 1e-9);
  EXPECT_EQ(loaded.GetCalibrationProblem(1).viewCount, 1) << "sized by the index, no blocks to read";
  // JPEG keeps the picture close to the original.
  const ViewPixels original = data.GetViewImage(0, 0);
  const ViewPixels reread = loaded.GetViewImage(0, 0);
  ASSERT_EQ(reread->size(), original->size());
  EXPECT_LT(cv::norm(*original, *reread, cv::NORM_L1) / (original->total() * 3), 6.0);

  // Saving the reloaded workspace again reproduces the text files byte for byte.
  TempDir again;
  ASSERT_TRUE(SaveWorkspaceTo(loaded, again.File("ws.txt")).ok);
  for (const char* name : {"ws.txt", "Camera_0_Data.txt", "Camera_0_Intrinsic.txt", "Camera_0_Extrinsic.txt",
                           "Camera_0_Points_1.txt", "Camera_1_Data.txt"})
    EXPECT_EQ(again.Read(name), dir.Read(name)) << name;
}

TEST(Workspace, LoadingAppendsAfterExistingCameras) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  CCalibrationData target;
  target.AddCamera();
  CameraParameters mine;
  mine.K[0] = 42;
  target.SetCameraParameters(0, mine);
  const WorkspaceResult result = LoadWorkspace(target, dir.File("ws.txt"));
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.firstCamera, 1);
  ASSERT_EQ(target.GetCameraCount(), 3);
  EXPECT_EQ(target.GetCameraParameters(0).K[0], 42) << "existing camera untouched";
  EXPECT_EQ(target.GetCameraParameters(1).K[0], 800.5);
  EXPECT_EQ(target.GetViewCount(1), 3);
}

TEST(Workspace, CompanionsResolveAgainstTheIndexFolderNotTheCurrentOne) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  CCalibrationData loaded;
  const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"));
  std::filesystem::current_path(previous);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(loaded.GetViewCount(0), 3);
}

WorkspaceSaveOptions WithFaults(FileSetWriter::FaultHook hook) {
  WorkspaceSaveOptions options;
  options.faultHook = std::move(hook);
  return options;
}

WorkspaceSaveOptions Consenting(RemovalConsent consent) {
  WorkspaceSaveOptions options;
  options.mayRemove = std::move(consent);
  return options;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Mentions(const std::vector<std::string>& warnings, const std::string& text) {
  for (const std::string& warning : warnings)
    if (warning.find(text) != std::string::npos) return true;
  return false;
}

TEST(Workspace, UnreadableViewImageKeepsItsPlaceAsADisabledPlaceholder) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  data.EnableView(0, 1);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  std::filesystem::remove(dir.File("Camera_0_Image_1.jpg"));
  dir.Write("Camera_0_Image_2.jpg", "not a jpeg");
  CCalibrationData loaded;
  const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"));
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.warnings.size(), 2u);
  EXPECT_TRUE(Mentions(result.warnings, "Camera_0_Image_1.jpg"));
  EXPECT_TRUE(Mentions(result.warnings, "Camera_0_Image_2.jpg"));
  ASSERT_EQ(loaded.GetViewCount(0), 3) << "no view slides into another's place";
  EXPECT_FALSE(loaded.ViewMissingImage(0, 0));
  for (int v : {1, 2}) {
    EXPECT_TRUE(loaded.ViewMissingImage(0, v));
    EXPECT_EQ(loaded.IsViewEnabled(0, v), 0);
    EXPECT_EQ(loaded.GetViewImage(0, v)->cols, 40) << "placeholder of the camera's image size";
    EXPECT_EQ(loaded.GetViewImage(0, v)->rows, 30);
    EXPECT_EQ(loaded.GetPointCount(0, v), 6);
    EXPECT_DOUBLE_EQ(loaded.GetPoint(0, v, 5).x, data.GetPoint(0, v, 5).x);
    EXPECT_DOUBLE_EQ(loaded.GetCalibrationProblem(0).GetTranslation(v)[0], 100.0 * v);
  }
  loaded.EnableView(0, 1);
  EXPECT_EQ(loaded.IsViewEnabled(0, 1), 0) << "a view without its image cannot take part";
  const std::vector<RunView> views = loaded.GetRunViews(0);
  ASSERT_EQ(views.size(), 3u);
  EXPECT_TRUE(views[0].hasImage);
  EXPECT_FALSE(views[2].hasImage);
  EXPECT_EQ(loaded.GetViewCount(1), 1);
}

// A photograph cut short on its way (its lower part would decode grey) and
// one of another size both load as views without their image, each named.
TEST(Workspace, TruncatedOrOtherSizedViewImagesLoadAsMissingWithTheReason) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::string jpeg = dir.Read("Camera_0_Image_1.jpg");
  dir.Write("Camera_0_Image_1.jpg", jpeg.substr(0, jpeg.size() * 2 / 3));
  cv::imwrite(dir.File("Camera_0_Image_2.jpg"), Picture(48, 30, 2));
  CCalibrationData loaded;
  const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"));
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.warnings.size(), 2u);
  EXPECT_NE(result.warnings[0].find("\"Camera_0_Image_1.jpg\" does not decode cleanly"), std::string::npos)
      << result.warnings[0];
  EXPECT_NE(result.warnings[1].find("\"Camera_0_Image_2.jpg\" is 48x30, but the camera's views are 40x30"),
            std::string::npos)
      << result.warnings[1];
  ASSERT_EQ(loaded.GetViewCount(0), 3);
  EXPECT_FALSE(loaded.ViewMissingImage(0, 0));
  for (int v : {1, 2}) {
    EXPECT_TRUE(loaded.ViewMissingImage(0, v));
    EXPECT_EQ(loaded.GetViewImage(0, v)->cols, 40);
    EXPECT_EQ(loaded.GetPointCount(0, v), 6) << "the points stay with their view";
  }
}

TEST(Workspace, PlaceholderSizeComesFromLaterViewsOrTheIntrinsicFile) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  std::filesystem::remove(dir.File("Camera_0_Image_0.jpg"));
  {
    CCalibrationData loaded;
    ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
    EXPECT_TRUE(loaded.ViewMissingImage(0, 0));
    EXPECT_EQ(loaded.GetImageWidth(0), 40);
    EXPECT_EQ(loaded.GetImageHeight(0), 30);
  }
  std::filesystem::remove(dir.File("Camera_0_Image_1.jpg"));
  std::filesystem::remove(dir.File("Camera_0_Image_2.jpg"));
  // No view image left: the intrinsic file's size (40x30 as well) is used.
  dir.Write("Camera_0_Intrinsic.txt", "1 0 0\n0 1 0\n0 0 1\n0 0 0 0\n1 0 0\n0 1 0\n0 0 1\n0 0 0\n64 48\n");
  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
  ASSERT_EQ(loaded.GetViewCount(0), 3);
  EXPECT_EQ(loaded.GetImageWidth(0), 64);
  EXPECT_EQ(loaded.GetImageHeight(0), 48);
}

TEST(Workspace, ManyMissingImagesShareOnePlaceholderBuffer) {
  TempDir dir;
  constexpr int kViews = 2000;
  dir.Write("ws.txt", "1\nCamera_0_Data.txt\n" + std::to_string(kViews) + " 3 2 1.0 1.0 3 3\n");
  std::string text = "Camera_0_Intrinsic.txt\nCamera_0_Extrinsic.txt\n";
  for (int v = 0; v < kViews; ++v) text += "1 gone.jpg\n0 none.txt\n";
  dir.Write("Camera_0_Data.txt", text);
  // 4000x3000 per view would need 72 GB without sharing.
  dir.Write("Camera_0_Intrinsic.txt", "1 0 0\n0 1 0\n0 0 1\n0 0 0 0\n1 0 0\n0 1 0\n0 0 1\n0 0 0\n4000 3000\n");
  CCalibrationData loaded;
  const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"));
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(loaded.GetViewCount(0), kViews);
  EXPECT_EQ(loaded.GetImageWidth(0), 4000);
  EXPECT_EQ(loaded.GetViewImage(0, 0)->data, loaded.GetViewImage(0, kViews - 1)->data);
  EXPECT_EQ(std::count_if(result.warnings.begin(), result.warnings.end(),
                          [](const std::string& warning) { return warning.find("gone.jpg") != std::string::npos; }),
            kViews);
}

TEST(Workspace, PointsThatDoNotFitTheIndexGridAreKeptWholeAndReported) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  // The index now claims a 2x2 grid while the points files hold six points.
  std::string index = dir.Read("ws.txt");
  index.replace(index.find("3 3 2 "), 6, "3 2 2 ");
  dir.Write("ws.txt", index);
  CCalibrationData loaded;
  const WorkspaceResult result = LoadWorkspace(loaded, dir.File("ws.txt"));
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.warnings.size(), 3u);
  EXPECT_TRUE(Mentions(result.warnings, "camera 1: view 3 has 6 grid points where the grid has 4"));
  for (int v = 0; v < 3; ++v) EXPECT_EQ(loaded.GetPointCount(0, v), 6) << "nothing cut away";
  EXPECT_EQ(ReasonToSkip(loaded.GetRunViews(0)[2], loaded.GetGrid(0)), std::optional<SkipReason>(SkipReason::Incomplete));
}

TEST(Workspace, SaveFailsLoudlyWhenAFileCannotBeCreated) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  const WorkspaceResult missingFolder = SaveWorkspaceTo(data, dir.File("no/such/folder/ws.txt"));
  EXPECT_FALSE(missingFolder.ok);
  EXPECT_FALSE(missingFolder.error.empty());
  // A folder standing where a companion file must go.
  std::filesystem::create_directory(dir.File("Camera_1_Points_0.txt"));
  const WorkspaceResult blocked = SaveWorkspaceTo(data, dir.File("ws.txt"));
  EXPECT_FALSE(blocked.ok);
  EXPECT_NE(blocked.error.find("Camera_1_Points_0.txt"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("ws.txt"))) << "no index for a half-written workspace";
}

// Every regular file of a folder with its contents.
std::map<std::string, std::string> Snapshot(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    if (entry.is_regular_file()) files[entry.path().filename().string()] = dir.Read(entry.path().filename().string());
  return files;
}

TEST(Workspace, AnIndexNamedLikeACompanionIsRefused) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  for (const std::string name : {"Camera_0_Data.txt", "Camera_0_Points_2.txt", "Camera_1_Image_0.jpg",
                                 "Camera_1_Extrinsic.txt"}) {
    const WorkspaceResult result = SaveWorkspaceTo(data, dir.File(name));
    EXPECT_FALSE(result.ok) << name;
    EXPECT_NE(result.error.find(name), std::string::npos) << result.error;
  }
  EXPECT_TRUE(Snapshot(dir).empty()) << "a refused save writes nothing";
  EXPECT_TRUE(SaveWorkspaceTo(data, dir.File("Camera_0_Points_3.txt")).ok) << "no such view: no clash";
}

TEST(Workspace, AFailedSaveLeavesTheOldWorkspaceAsItWas) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const auto before = Snapshot(dir);

  CCalibrationData changed;
  FillWorkspace(changed);
  changed.GetGridPoints(0, 2)->at(0).x = 999.0;
  changed.DisableView(0, 0);
  // A failure at every step in turn: while writing the temporaries and while renaming them into place.
  int steps = 0;
  ASSERT_TRUE(SaveWorkspaceTo(changed, dir.File("count.txt"), WithFaults([&](const std::string&, const std::string&) {
                ++steps;
                return true;
              })).ok);
  std::filesystem::remove(dir.File("count.txt"));
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  for (int failAt = 1; failAt <= steps; ++failAt) {
    int step = 0;
    const WorkspaceResult result =
        SaveWorkspaceTo(changed, dir.File("ws.txt"), WithFaults([&](const std::string&, const std::string&) { return ++step != failAt; }));
    ASSERT_FALSE(result.ok) << failAt;
    EXPECT_FALSE(result.error.empty());
    ASSERT_EQ(Snapshot(dir), before) << "failure at step " << failAt << ": " << result.error;
  }
  CCalibrationData reloaded;
  ASSERT_TRUE(LoadWorkspace(reloaded, dir.File("ws.txt")).ok);
  EXPECT_EQ(reloaded.IsViewEnabled(0, 0), 1);
  EXPECT_DOUBLE_EQ(reloaded.GetPoint(0, 2, 0).x, data.GetPoint(0, 2, 0).x);

  ASSERT_TRUE(SaveWorkspaceTo(changed, dir.File("ws.txt")).ok);
  CCalibrationData saved;
  ASSERT_TRUE(LoadWorkspace(saved, dir.File("ws.txt")).ok);
  EXPECT_DOUBLE_EQ(saved.GetPoint(0, 2, 0).x, 999.0);
  EXPECT_EQ(Snapshot(dir).size(), before.size()) << "no temporaries left behind";
}

TEST(Workspace, APlaceholderIsNeverSavedAsAPhotograph) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  std::filesystem::remove(dir.File("Camera_0_Image_1.jpg"));
  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
  ASSERT_TRUE(loaded.ViewMissingImage(0, 1));

  // To a fresh folder: the image is left out, and the save says which.
  TempDir fresh;
  const WorkspaceResult toFresh = SaveWorkspaceTo(loaded, fresh.File("copy.txt"));
  ASSERT_TRUE(toFresh.ok) << toFresh.error;
  EXPECT_TRUE(Mentions(toFresh.warnings, "Camera_0_Image_1.jpg"));
  EXPECT_TRUE(toFresh.removed.empty());

  // A folder holding a file of that name: never removed without consent.
  TempDir other;
  other.Write("Camera_0_Image_1.jpg", "an older photograph that is not this view's");
  std::vector<std::string> asked;
  const WorkspaceResult refused = SaveWorkspaceTo(loaded, other.File("copy.txt"), Consenting([&](const auto& names) {
                                                    asked = names;
                                                    return false;
                                                  }));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("Camera_0_Image_1.jpg"), std::string::npos) << refused.error;
  EXPECT_EQ(asked, std::vector<std::string>{"Camera_0_Image_1.jpg"});
  EXPECT_EQ(ReadFile(other.File("Camera_0_Image_1.jpg")), "an older photograph that is not this view's");
  EXPECT_FALSE(std::filesystem::exists(other.File("copy.txt"))) << "a refused save writes nothing";
  EXPECT_FALSE(SaveWorkspaceTo(loaded, other.File("copy.txt")).ok) << "no one to ask is no consent";
  EXPECT_TRUE(std::filesystem::exists(other.File("Camera_0_Image_1.jpg")));

  const WorkspaceResult saved =
      SaveWorkspaceTo(loaded, other.File("copy.txt"), Consenting([](const auto&) { return true; }));
  ASSERT_TRUE(saved.ok) << saved.error;
  EXPECT_TRUE(Mentions(saved.warnings, "Camera_0_Image_1.jpg"));
  EXPECT_EQ(saved.removed, std::vector<std::string>{"Camera_0_Image_1.jpg"});
  EXPECT_FALSE(std::filesystem::exists(other.File("Camera_0_Image_1.jpg")));
  EXPECT_TRUE(std::filesystem::exists(other.File("Camera_0_Image_2.jpg")));

  CCalibrationData again;
  const WorkspaceResult reloaded = LoadWorkspace(again, other.File("copy.txt"));
  ASSERT_TRUE(reloaded.ok);
  ASSERT_EQ(again.GetViewCount(0), 3);
  for (int v = 0; v < 3; ++v) {
    EXPECT_EQ(again.ViewMissingImage(0, v), loaded.ViewMissingImage(0, v));
    EXPECT_EQ(again.IsViewEnabled(0, v), loaded.IsViewEnabled(0, v));
    EXPECT_EQ(again.GetPointCount(0, v), loaded.GetPointCount(0, v));
  }
}

TEST(Workspace, MalformedIndexFilesAreRefusedWithoutTouchingTheStore) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::string overlong(400, 'a');
  const std::vector<std::string> bad = {
      "",                                                      // empty
      "-1\n",                                                  // negative count
      "2000000000\nCamera_0_Data.txt\n3 3 2 1 1 3 3\n",        // absurd count
      "1\nCamera_0_Data.txt\n3 3 2 1.0\n",                     // truncated grid
      "1\n" + overlong + "\n3 3 2 1 1 3 3\n",                  // over-long name
      "1\n../Camera_0_Data.txt\n3 3 2 1 1 3 3\n",              // name with a folder
      "1\nCamera_0_Data.txt\n-4 3 2 1 1 3 3\n",                // negative view count
      "1\nCamera_0_Data.txt\n900000000 3 2 1 1 3 3\n",         // more views than listed
      "1\nCamera_0_Data.txt\n3 99999 99999 1 1 3 3\n",         // absurd grid
      "1\nMissing_Data.txt\n3 3 2 1 1 3 3\n",                  // missing data file
  };
  for (const std::string& text : bad) {
    dir.Write("bad.txt", text);
    CCalibrationData target;
    target.AddCamera();
    const WorkspaceResult result = LoadWorkspace(target, dir.File("bad.txt"));
    EXPECT_FALSE(result.ok) << text.substr(0, 60);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(target.GetCameraCount(), 1) << text.substr(0, 60);
  }
  EXPECT_FALSE(LoadWorkspace(data, dir.File("absent.txt")).ok);
}

// Flips, drops and inserts bytes in every text file of a saved workspace and
// loads the result: whatever happens, the loader must answer without crashing
// (run under the sanitizers in CI) and keep the store consistent.
TEST(Workspace, MutatedFilesNeverCrashTheLoader) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::vector<std::string> files = {"ws.txt", "Camera_0_Data.txt", "Camera_0_Intrinsic.txt",
                                          "Camera_0_Extrinsic.txt", "Camera_0_Points_0.txt", "Camera_1_Data.txt"};
  std::vector<std::string> originals;
  for (const auto& f : files) originals.push_back(dir.Read(f));
  std::mt19937 rng(12345);
  const std::string alphabet = "0123456789-.e \n/\\abcZ\t+";
  for (int round = 0; round < 300; ++round) {
    const size_t which = rng() % files.size();
    std::string text = originals[which];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = text.empty() ? 0 : rng() % text.size();
      switch (rng() % 4) {
        case 0: if (!text.empty()) text[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: if (!text.empty()) text.erase(at, 1 + rng() % 8); break;
        case 2: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
        case 3: text = text.substr(0, at); break;
      }
    }
    dir.Write(files[which], text);
    CCalibrationData target;
    const WorkspaceResult result = LoadWorkspace(target, dir.File("ws.txt"));
    if (result.ok) {
      for (int c = 0; c < target.GetCameraCount(); ++c) {
        EXPECT_LE(target.GetViewCount(c), 3);
        for (int v = 0; v < target.GetViewCount(c); ++v) {
          const GridDescription g = target.GetGrid(c);
          EXPECT_LE(target.GetPointCount(c, v), std::max(0, g.nx * g.ny));
        }
      }
    } else {
      EXPECT_EQ(target.GetCameraCount(), 0);
    }
    dir.Write(files[which], originals[which]);
  }
}

// ---- Square-size units ----

TEST(Workspace, SquareSizeUnitIsStoredAfterTheViewsOnlyWhenNotMillimetres) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  GridDescription centimetres = data.GetGrid(0);
  centimetres.unit = LengthUnit::Centimetre;
  data.SetGrid(0, centimetres);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::string first = dir.Read("Camera_0_Data.txt");
  EXPECT_EQ(first.substr(first.size() - 9), "\nunit cm\n") << first;
  EXPECT_EQ(dir.Read("Camera_1_Data.txt").find("unit"), std::string::npos) << "millimetres write nothing new";
  EXPECT_EQ(dir.Read("ws.txt").find("unit"), std::string::npos) << "the index keeps its layout";

  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
  EXPECT_EQ(loaded.GetGrid(0).unit, LengthUnit::Centimetre);
  EXPECT_EQ(loaded.GetGrid(1).unit, LengthUnit::Millimetre);
  EXPECT_EQ(loaded.GetViewCount(0), 3) << "the unit line is not read as a view";
}

TEST(Workspace, WorkspacesWithoutUnitsReadAsMillimetresAndSaveAsTheyWere) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
  EXPECT_EQ(loaded.GetGrid(0).unit, LengthUnit::Millimetre);
  std::filesystem::create_directory(dir.Path() / "again");
  ASSERT_TRUE(SaveWorkspaceTo(loaded, dir.File("again/ws.txt")).ok);
  for (const char* name : {"ws.txt", "Camera_0_Data.txt", "Camera_1_Data.txt", "Camera_0_Intrinsic.txt"})
    EXPECT_EQ(dir.Read(std::string("again/") + name), dir.Read(name)) << name;
}

TEST(Workspace, UnknownUnitIsRefusedAndOtherTrailingTextIgnoredAsBefore) {
  TempDir dir;
  CCalibrationData data;
  FillWorkspace(data);
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::string original = dir.Read("Camera_0_Data.txt");
  dir.Write("Camera_0_Data.txt", original + "unit furlong\n");
  CCalibrationData refused;
  const WorkspaceResult bad = LoadWorkspace(refused, dir.File("ws.txt"));
  EXPECT_FALSE(bad.ok);
  EXPECT_NE(bad.error.find("unknown square-size unit \"furlong\""), std::string::npos) << bad.error;
  EXPECT_EQ(refused.GetCameraCount(), 0);
  dir.Write("Camera_0_Data.txt", original + "unit\n");
  EXPECT_FALSE(LoadWorkspace(refused, dir.File("ws.txt")).ok);
  dir.Write("Camera_0_Data.txt", original + "a note someone left\n");
  CCalibrationData lenient;
  ASSERT_TRUE(LoadWorkspace(lenient, dir.File("ws.txt")).ok);
  EXPECT_EQ(lenient.GetGrid(0).unit, LengthUnit::Millimetre);
}

// ---- View image files ----

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A grey JPEG as a camera writes it: one channel, its own quality.
void WriteGreyJpeg(const std::string& path, int seed) {
  QImage grey(64, 48, QImage::Format_Grayscale8);
  for (int y = 0; y < grey.height(); ++y)
    for (int x = 0; x < grey.width(); ++x) grey.scanLine(y)[x] = static_cast<uchar>((x * 7 + y * 3 + seed * 40) % 256);
  ASSERT_TRUE(grey.save(QString::fromStdString(path), "JPEG", 60));
}

TEST(Workspace, ViewsReadFromJpegFilesAreSavedAsTheOriginalBytes) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path() / "photos");
  CCalibrationData data;
  data.AddCamera();
  for (int v = 0; v < 3; ++v) {
    const std::string photo = dir.File("photos/IMG_" + std::to_string(v) + ".JPG");
    WriteGreyJpeg(photo, v);
    ASSERT_EQ(data.AddViewFromFile(0, photo, 1, 0, ""), 0);
  }
  data.AddViewFromFrame(0, Picture(64, 48, 3));  // a grabbed frame has no file: it is encoded
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  for (int v = 0; v < 3; ++v)
    EXPECT_EQ(FileBytes(dir.File("Camera_0_Image_" + std::to_string(v) + ".jpg")),
              FileBytes(dir.File("photos/IMG_" + std::to_string(v) + ".JPG")))
        << "view " << v;
  const std::string encoded = FileBytes(dir.File("Camera_0_Image_3.jpg"));
  ASSERT_GE(encoded.size(), 3u);
  EXPECT_EQ(encoded.substr(0, 3), std::string("\xFF\xD8\xFF")) << "the frame is written as a JPEG";

  // Loaded and saved again (over itself and elsewhere): every view file stays byte-identical.
  std::map<std::string, std::string> saved;
  for (int v = 0; v < 4; ++v) saved[ViewImageFileName(0, v)] = FileBytes(dir.File(ViewImageFileName(0, v)));
  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, dir.File("ws.txt")).ok);
  ASSERT_TRUE(SaveWorkspaceTo(loaded, dir.File("ws.txt")).ok);
  std::filesystem::create_directory(dir.Path() / "copy");
  ASSERT_TRUE(SaveWorkspaceTo(loaded, dir.File("copy/ws.txt")).ok);
  for (const auto& [name, bytes] : saved) {
    EXPECT_EQ(FileBytes(dir.File(name)), bytes) << name;
    EXPECT_EQ(FileBytes(dir.File("copy/" + name)), bytes) << name;
  }
}

TEST(Workspace, ViewsFromOtherImageFormatsAreSavedAsJpeg) {
  TempDir dir;
  QImage picture(32, 24, QImage::Format_RGB888);
  picture.fill(QColor(200, 100, 50));
  ASSERT_TRUE(picture.save(QString::fromStdString(dir.File("board.png"))));
  CCalibrationData data;
  data.AddCamera();
  ASSERT_EQ(data.AddViewFromFile(0, dir.File("board.png"), 1, 0, ""), 0);
  EXPECT_FALSE(data.GetViewImageSource(0, 0).IsJpeg());
  ASSERT_TRUE(SaveWorkspaceTo(data, dir.File("ws.txt")).ok);
  const std::string written = FileBytes(dir.File("Camera_0_Image_0.jpg"));
  ASSERT_GE(written.size(), 3u);
  EXPECT_EQ(written.substr(0, 3), std::string("\xFF\xD8\xFF"));
}

}  // namespace
