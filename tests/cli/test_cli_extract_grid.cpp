#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/JsonOutput.h"
#include "support/LentoraProcess.h"
#include "synth/SyntheticViews.h"

namespace {

namespace fs = std::filesystem;

// One workspace for all tests: camera 0 with a grid and one photograph-like
// view, camera 1 with a view but no grid.
class ExtractGridCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    SyntheticOptions options;
    options.views = 1;
    options.grid.wx = options.grid.wy = 3;
    options.camera.coefficients[0] = -0.2;
    options.render.blurSigma = 0.7;
    options.render.imageNoise = 2.0;
    rig_ = new SyntheticRig(MakeSyntheticRig(options));
    CCalibrationData data;
    data.AddCamera();
    data.SetGrid(0, rig_->grid);
    ASSERT_TRUE(data.AddViewFromFrame(0, rig_->cameras[0].images[0].clone()));
    data.AddCamera();
    ASSERT_TRUE(data.AddViewFromFrame(1, rig_->cameras[0].images[0].clone()));
    ASSERT_TRUE(SaveWorkspaceTo(data, Index()).ok);
  }
  static void TearDownTestSuite() {
    delete rig_;
    rig_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }

  static std::string Index() { return dir_->File("workspace.txt"); }
  static const PointList& Exact() { return rig_->cameras[0].exactPoints[0]; }
  static const GridDescription& Grid() { return rig_->grid; }

  // Outer grid corners in click order (origin first), each nudged a little.
  static std::array<std::string, 4> Border() {
    const int nx = Grid().nx, bottom = Grid().ny - 1;
    const std::array<int, 4> outer{bottom * nx, bottom * nx + nx - 1, nx - 1, 0};
    std::array<std::string, 4> border;
    for (int k = 0; k < 4; ++k) {
      const ImagePoint p = Exact()[outer[k]];
      border[k] = std::to_string(p.x + (k % 2 ? 2.0 : -1.5)) + "," + std::to_string(p.y + (k < 2 ? 1.5 : -2.0));
    }
    return border;
  }

  static ProcessResult Run(const std::string& arguments) { return RunLentora("extract-grid " + arguments, *dir_); }

  static std::string Arguments(const std::array<std::string, 4>& border, const std::string& extra = "") {
    return "'" + Index() + "' --camera 0 --view 0 --border " + border[0] + " " + border[1] + " " + border[2] + " " +
           border[3] + " " + extra;
  }

  static TempDir* dir_;
  static SyntheticRig* rig_;
};

TempDir* ExtractGridCli::dir_ = nullptr;
SyntheticRig* ExtractGridCli::rig_ = nullptr;

}  // namespace

TEST_F(ExtractGridCli, JsonHoldsTheRefinedClicksAndEveryCornerInGridOrder) {
  const ProcessResult outcome = Run(Arguments(Border(), "--json"));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const QJsonObject json = ParseJson(outcome.out);
  EXPECT_EQ(json["camera"].toInt(), 0);
  EXPECT_EQ(json["view"].toInt(), 0);
  EXPECT_EQ(json["nx"].toInt(), Grid().nx);
  EXPECT_EQ(json["ny"].toInt(), Grid().ny);
  const QJsonArray border = json["border"].toArray();
  ASSERT_EQ(border.size(), 4);
  const int nx = Grid().nx, bottom = Grid().ny - 1;
  const std::array<int, 4> outer{bottom * nx, bottom * nx + nx - 1, nx - 1, 0};
  for (int k = 0; k < 4; ++k) {
    const ImagePoint exact = Exact()[outer[k]];
    EXPECT_NEAR(border[k].toArray()[0].toDouble(), exact.x, 0.5) << "border point " << k;
    EXPECT_NEAR(border[k].toArray()[1].toDouble(), exact.y, 0.5) << "border point " << k;
  }
  const QJsonArray points = json["points"].toArray();
  ASSERT_EQ(points.size(), Grid().nx * Grid().ny);
  for (int k = 0; k < points.size(); ++k) {
    EXPECT_NEAR(points[k].toArray()[0].toDouble(), Exact()[k].x, 0.5) << "corner " << k;
    EXPECT_NEAR(points[k].toArray()[1].toDouble(), Exact()[k].y, 0.5) << "corner " << k;
  }

  // The order of the second to fourth points changes nothing but the border list.
  const std::array<std::string, 4> b = Border();
  const ProcessResult reordered = Run(Arguments({b[0], b[3], b[1], b[2]}, "--json"));
  ASSERT_EQ(reordered.status, 0) << reordered.err;
  EXPECT_EQ(ParseJson(reordered.out)["points"].toArray(), points);
}

TEST_F(ExtractGridCli, SaveWritesThePointsAndTheFlag) {
  const std::string saved = (dir_->Path() / "saved" / "marked.txt").string();
  fs::create_directories(dir_->Path() / "saved");
  const ProcessResult outcome = Run(Arguments(Border(), "--json --save '" + saved + "'"));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const QJsonArray points = ParseJson(outcome.out)["points"].toArray();

  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, saved).ok);
  ASSERT_EQ(data.GetCameraCount(), 2);
  EXPECT_TRUE(data.ViewHasPoints(0, 0));
  EXPECT_FALSE(data.ViewHasPoints(1, 0));
  ASSERT_EQ(data.GetPointCount(0, 0), points.size());
  for (int k = 0; k < points.size(); ++k) {  // the points file keeps six decimals
    EXPECT_NEAR(data.GetPoint(0, 0, k).x, points[k].toArray()[0].toDouble(), 1e-6);
    EXPECT_NEAR(data.GetPoint(0, 0, k).y, points[k].toArray()[1].toDouble(), 1e-6);
  }
}

TEST_F(ExtractGridCli, TextOutputListsEveryCorner) {
  const ProcessResult outcome = Run(Arguments(Border()));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  size_t lines = 0;
  for (char c : outcome.out) lines += c == '\n';
  EXPECT_EQ(lines, size_t(3 + Grid().nx * Grid().ny));
}

TEST_F(ExtractGridCli, BadUsageExitsWithTwo) {
  const std::array<std::string, 4> b = Border();
  EXPECT_EQ(Run("--help").status, 0);
  EXPECT_EQ(Run("'" + Index() + "' --camera 0 --view 0").status, 2);                                // no border
  EXPECT_EQ(Run("'" + Index() + "' --camera 0 --view 0 --border " + b[0] + " " + b[1]).status, 2);  // two points
  EXPECT_EQ(Run("'" + Index() + "' --camera 0 --view 0 --border '1;2' 3,4 5,6 7,8").status, 2);
  EXPECT_EQ(Run("'" + Index() + "' --camera 0 --view 0 --border 1,2,3 3,4 5,6 7,8").status, 2);
  EXPECT_EQ(Run("'" + Index() + "' --view 0 --border 1,2 3,4 5,6 7,8").status, 2);  // no camera
  EXPECT_EQ(Run("'" + Index() + "' --camera x --view 0 --border 1,2 3,4 5,6 7,8").status, 2);
  EXPECT_EQ(Run(Arguments(b, "--frobnicate")).status, 2);
  EXPECT_EQ(Run(Arguments(b, "--save")).status, 2);
}

TEST_F(ExtractGridCli, BadInputExitsWithOneAndAMessage) {
  const std::array<std::string, 4> b = Border();
  const std::string points = " --border " + b[0] + " " + b[1] + " " + b[2] + " " + b[3];
  const ProcessResult missing = Run("'" + (dir_->Path() / "none.txt").string() + "' --camera 0 --view 0" + points);
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(missing.err.empty());
  EXPECT_EQ(Run("'" + Index() + "' --camera 2 --view 0" + points).status, 1);
  EXPECT_EQ(Run("'" + Index() + "' --camera 0 --view 1" + points).status, 1);
  EXPECT_EQ(Run("'" + Index() + "' --camera -1 --view 0" + points).status, 2) << "no camera index: bad usage, as everywhere";
  const ProcessResult noGrid = Run("'" + Index() + "' --camera 1 --view 0" + points);
  EXPECT_EQ(noGrid.status, 1);
  EXPECT_NE(noGrid.err.find("grid"), std::string::npos) << noGrid.err;
  const ProcessResult outside = Run("'" + Index() + "' --camera 0 --view 0 --border " + b[0] + " " + b[1] + " " + b[2] +
                              " 5000,20");
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("border point 4"), std::string::npos) << outside.err;
  const ProcessResult degenerate =
      Run("'" + Index() + "' --camera 0 --view 0 --border 100,100 100,100 200,200 100,300");
  EXPECT_EQ(degenerate.status, 1);
  EXPECT_NE(degenerate.err.find("convex"), std::string::npos) << degenerate.err;
}
