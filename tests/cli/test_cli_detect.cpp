#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <string>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/JsonOutput.h"
#include "support/LentoraProcess.h"
#include "synth/SyntheticViews.h"

namespace {

// Camera 0: a grid, two rendered views and a blank one that already holds
// three points; camera 1: a view but no grid.
class DetectCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    SyntheticOptions options;
    options.views = 2;
    options.camera.coefficients[0] = -0.2;
    options.render.blurSigma = 0.8;
    options.render.imageNoise = 2.0;
    rig_ = new SyntheticRig(MakeSyntheticRig(options));
    CCalibrationData data;
    data.AddCamera();
    data.SetGrid(0, rig_->grid);
    for (const cv::Mat& image : rig_->cameras[0].images) ASSERT_TRUE(data.AddViewFromFrame(0, image.clone()));
    ASSERT_TRUE(data.AddViewFromFrame(0, cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(120))));
    data.GetGridPoints(0, 2)->assign(3, ImagePoint{10, 20});
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

  static ProcessResult Run(const std::string& arguments) { return RunLentora("detect " + arguments, *dir_); }

  static TempDir* dir_;
  static SyntheticRig* rig_;
};

TempDir* DetectCli::dir_ = nullptr;
SyntheticRig* DetectCli::rig_ = nullptr;

}  // namespace

TEST_F(DetectCli, JsonListsEveryViewOfTheCamerasWithAGridAndSaveStoresTheFoundOnes) {
  const std::string saved = (dir_->Path() / "detected.txt").string();
  const ProcessResult outcome = Run("'" + Index() + "' --json --save '" + saved + "'");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const QJsonObject json = ParseJson(outcome.out);
  EXPECT_EQ(json.keys(), QStringList{"cameras"});
  const QJsonArray cameras = json["cameras"].toArray();
  ASSERT_EQ(cameras.size(), 1);  // camera 1 has no grid
  const QJsonObject camera = cameras[0].toObject();
  EXPECT_EQ(camera.keys(), (QStringList{"camera", "views"}));
  EXPECT_EQ(camera["camera"].toInt(), 0);
  const QJsonArray views = camera["views"].toArray();
  ASSERT_EQ(views.size(), 3);
  const int count = rig_->grid.nx * rig_->grid.ny;
  for (int v = 0; v < 2; ++v) {
    const QJsonObject view = views[v].toObject();
    EXPECT_EQ(view.keys(), (QStringList{"found", "points", "view"}));
    EXPECT_EQ(view["view"].toInt(), v);
    EXPECT_TRUE(view["found"].toBool());
    const QJsonArray points = view["points"].toArray();
    ASSERT_EQ(points.size(), count);
    for (int k = 0; k < count; ++k) {
      const ImagePoint exact = rig_->cameras[0].exactPoints[v][k];
      EXPECT_NEAR(points[k].toArray()[0].toDouble(), exact.x, 0.3) << "view " << v << " corner " << k;
      EXPECT_NEAR(points[k].toArray()[1].toDouble(), exact.y, 0.3) << "view " << v << " corner " << k;
    }
  }
  EXPECT_FALSE(views[2].toObject()["found"].toBool());
  EXPECT_TRUE(views[2].toObject()["points"].toArray().isEmpty());

  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, saved).ok);
  EXPECT_TRUE(data.ViewHasPoints(0, 0));
  EXPECT_EQ(data.GetPointCount(0, 1), count);
  EXPECT_EQ(data.GetPointCount(0, 2), 0);  // the miss cleared a list that could not pair with the grid
  EXPECT_FALSE(data.ViewHasPoints(0, 2));
}

TEST_F(DetectCli, OneViewAsTextNamesTheReasonOfAMiss) {
  const ProcessResult found = Run("'" + Index() + "' --camera 0 --view 1");
  ASSERT_EQ(found.status, 0) << found.err;
  EXPECT_NE(found.out.find("Camera 1 view 2: found, 54 points"), std::string::npos) << found.out;
  EXPECT_NE(found.out.find("1 of 1 views detected"), std::string::npos) << found.out;
  const ProcessResult missed = Run("'" + Index() + "' --camera 0 --view 2");
  ASSERT_EQ(missed.status, 0) << missed.err;
  EXPECT_NE(missed.out.find("not found (the board was not found in the view)"), std::string::npos) << missed.out;
}

TEST_F(DetectCli, BadInputExitsWithOneAndBadUsageWithTwo) {
  EXPECT_EQ(Run("--help").status, 0);
  EXPECT_EQ(Run("").status, 2);
  EXPECT_EQ(Run("'" + Index() + "' --camera x").status, 2);
  EXPECT_EQ(Run("'" + Index() + "' --view -1").status, 2);
  EXPECT_EQ(Run("'" + Index() + "' --frobnicate").status, 2);
  const ProcessResult missing = Run("'" + (dir_->Path() / "none.txt").string() + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(missing.err.empty());
  EXPECT_EQ(Run("'" + Index() + "' --camera 5").status, 1);
  const ProcessResult noGrid = Run("'" + Index() + "' --camera 1");
  EXPECT_EQ(noGrid.status, 1);
  EXPECT_NE(noGrid.err.find("grid"), std::string::npos) << noGrid.err;
  const ProcessResult noView = Run("'" + Index() + "' --view 3");
  EXPECT_EQ(noView.status, 1);
  EXPECT_NE(noView.err.find("--view 3: camera 1 has 3 views (--view 0 to 2)"), std::string::npos) << noView.err;
  const ProcessResult unwritable = Run("'" + Index() + "' --save '" + (dir_->Path() / "no" / "such" / "x.txt").string() + "'");
  EXPECT_EQ(unwritable.status, 1);
}
