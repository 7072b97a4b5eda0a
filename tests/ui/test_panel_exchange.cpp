// The data panel's residual window and parameter exchange with the real store
// and panel: the Residuals and Export buttons refuse without a run, show and
// write the selected camera's (or the rig's) last run, and "Load parameters"
// reads OpenCV and ROS files and says why it refuses one.
#include <gtest/gtest.h>

#include <QFile>
#include <cstdlib>
#include <opencv2/core/persistence.hpp>

#include "UiTestSupport.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"
#include "support/SyntheticStore.h"
#include "ui/ResidualWindow.h"
#include "ui/StaticDataView.h"
#include "widgets/HoverButtonEx.h"

namespace {

class PanelExchangeTest : public ::testing::Test, public WithApplication {
 protected:
  PanelExchangeTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    panel.resize(470, 300);
    panel.Init();
    panel.SetStore(&store);
    CStaticDataView::Prompts prompts;
    prompts.message = [this](const QString& text) { messages << text; };
    prompts.parameterFile = [this] { return nextParameterFile; };
    prompts.question = [](const QString&, QMessageBox::StandardButtons) { return QMessageBox::Yes; };
    panel.SetPrompts(prompts);
    panel.SetExportPrompt([this](const QString& title) {
      exportTitles << title;
      return nextExport;
    });
    SyntheticOptions options;
    options.views = 8;
    options.renderImages = false;
    options.pointNoise = 0.1;
    options.stereo = true;
    options.stereoRotation = {0.0, 0.05, 0.0};
    options.stereoTranslation = {-120.0, 0.0, 0.0};
    rig = MakeSyntheticRig(options);
    for (int camera = 0; camera < 3; ++camera) panel.NewCamera();
    for (int camera = 0; camera < 2; ++camera) AddViews(camera);
  }
  ~PanelExchangeTest() override { unsetenv("LENTORA_OUTPUT_DIR"); }

  void AddViews(int camera) { ASSERT_TRUE(AddSyntheticViews(store, camera, rig.cameras[camera], rig.grid)); }
  void Press(int id) { panel.Button(id)->click(); }
  void Calibrate(int camera) {
    panel.SelectEntry(camera);
    panel.Calibrate();
    ASSERT_TRUE(panel.WaitForCalibration());
    ASSERT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
  }
  QString TakeMessage() {
    EXPECT_EQ(messages.size(), 1) << messages.join("|").toStdString();
    const QString text = messages.isEmpty() ? QString() : messages.front();
    messages.clear();
    return text;
  }

  TempDir temp;
  CCalibrationData store;
  CStaticDataView panel;
  SyntheticRig rig;
  QStringList messages;
  QString nextParameterFile;
  QStringList exportTitles;
  std::optional<std::pair<ExchangeFormat, QString>> nextExport;
};

}  // namespace

TEST_F(PanelExchangeTest, ResidualsShowOnlyForACameraWithARun) {
  Press(CStaticDataView::kIdResiduals);
  EXPECT_EQ(TakeMessage(), "Please select a camera to see the residuals of its calibration.");
  panel.SelectEntry(0);
  Press(CStaticDataView::kIdResiduals);
  EXPECT_EQ(TakeMessage(), "Camera 1 has no calibration run to show. Please calibrate it first.");
  EXPECT_EQ(panel.ResidualWindow(), nullptr);

  Calibrate(0);
  Press(CStaticDataView::kIdResiduals);
  EXPECT_TRUE(messages.isEmpty());
  ASSERT_NE(panel.ResidualWindow(), nullptr);
  EXPECT_TRUE(panel.ResidualWindow()->isVisible());
  EXPECT_TRUE(panel.ResidualWindow()->isWindow());
  EXPECT_EQ(panel.ResidualWindow()->windowTitle(), "Residuals - Camera 1");
  EXPECT_EQ(panel.ResidualWindow()->Corners().size(), rig.cameras[0].points.size() * rig.cameras[0].points[0].size());

  panel.SelectEntry(2);  // a camera without a run
  Press(CStaticDataView::kIdResiduals);
  EXPECT_EQ(TakeMessage(), "Camera 3 has no calibration run to show. Please calibrate it first.");
  // A removed view ends the run the window could show.
  panel.SelectEntry(0);
  store.RemoveView(0, 3);
  Press(CStaticDataView::kIdResiduals);
  EXPECT_EQ(TakeMessage(), "Camera 1 has no calibration run to show. Please calibrate it first.");
}

TEST_F(PanelExchangeTest, ExportWritesTheSelectedCamerasRunInTheChosenFormat) {
  Press(CStaticDataView::kIdExport);
  EXPECT_EQ(TakeMessage(), "Please select a camera or the stereo rig to export.");
  panel.SelectEntry(0);
  Press(CStaticDataView::kIdExport);
  EXPECT_EQ(TakeMessage(), "Please calibrate Camera 1 or load its parameters before exporting it.");
  EXPECT_TRUE(exportTitles.isEmpty());

  Calibrate(0);
  Press(CStaticDataView::kIdExport);  // cancelled: nothing said, nothing written
  EXPECT_EQ(exportTitles, QStringList{"Export Camera 1"});
  EXPECT_TRUE(messages.isEmpty());

  const std::string path = temp.File("camera.yaml");
  nextExport = std::make_pair(ExchangeFormat::OpenCv, QString::fromStdString(path));
  Press(CStaticDataView::kIdExport);
  EXPECT_EQ(TakeMessage(), QString("Exported to:\n%1").arg(QString::fromStdString(path)));
  cv::FileStorage fs(path, cv::FileStorage::READ);
  ASSERT_TRUE(fs.isOpened());
  cv::Mat K, D;
  fs["camera_matrix"] >> K;
  fs["distortion_coefficients"] >> D;
  ASSERT_EQ(K.total(), 9u);
  ASSERT_EQ(D.total(), 5u);
  const CameraParameters stored = store.GetCameraParameters(0);
  for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(K.at<double>(i), stored.K[static_cast<size_t>(i)]) << i;
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(D.at<double>(i), stored.distortion[static_cast<size_t>(i)]) << i;
  cv::Mat perView;
  fs["per_view_reprojection_errors"] >> perView;
  EXPECT_EQ(perView.total(), rig.cameras[0].points.size());

  // Parameters loaded since the run are exported without the run's errors.
  CameraParameters loaded = stored;
  loaded.K[0] += 10.0;
  store.SetCameraParameters(0, loaded);
  Press(CStaticDataView::kIdExport);
  TakeMessage();
  cv::FileStorage again(path, cv::FileStorage::READ);
  again["camera_matrix"] >> K;
  EXPECT_DOUBLE_EQ(K.at<double>(0), loaded.K[0]);
  EXPECT_TRUE(again["per_view_reprojection_errors"].empty());
  EXPECT_TRUE(again["avg_reprojection_error"].empty()) << "no error is claimed for parameters without a run";

  // A refusal of the writer is shown, not passed over.
  nextExport = std::make_pair(ExchangeFormat::Colmap, QString::fromStdString(temp.File("no/such/folder/cameras.txt")));
  Press(CStaticDataView::kIdExport);
  EXPECT_TRUE(TakeMessage().startsWith("The calibration could not be exported:\n"));
}

TEST_F(PanelExchangeTest, TheRigExportsAfterCalibrateStereoRig) {
  panel.CalibrateStereoRig();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_TRUE(panel.HasRigEntry()) << messages.join("|").toStdString();
  panel.SelectEntry(panel.EntryCount() - 1);
  const std::string path = temp.File("rig.yaml");
  nextExport = std::make_pair(ExchangeFormat::OpenCv, QString::fromStdString(path));
  Press(CStaticDataView::kIdExport);
  EXPECT_EQ(exportTitles, QStringList{"Export the stereo rig"});
  EXPECT_EQ(TakeMessage(), QString("Exported to:\n%1").arg(QString::fromStdString(path)));
  cv::FileStorage fs(path, cv::FileStorage::READ);
  ASSERT_TRUE(fs.isOpened());
  cv::Mat T, Q;
  fs["T"] >> T;
  fs["Q"] >> Q;
  ASSERT_EQ(T.total(), 3u);
  EXPECT_NEAR(T.at<double>(0), -120.0, 0.5);
  EXPECT_EQ(Q.total(), 16u);

  // Kalibr's chain holds both cameras and the pose between them.
  const std::string chain = temp.File("camchain.yaml");
  nextExport = std::make_pair(ExchangeFormat::Kalibr, QString::fromStdString(chain));
  Press(CStaticDataView::kIdExport);
  TakeMessage();
  const std::string text = temp.Read("camchain.yaml");
  EXPECT_NE(text.find("cam1:"), std::string::npos);
  EXPECT_NE(text.find("T_cn_cnm1"), std::string::npos);

  // Once the rig's cameras change, there is no rig left to export.
  panel.RemoveCamera(0);
  EXPECT_FALSE(panel.HasRigEntry());
}

TEST_F(PanelExchangeTest, LoadParametersReadsOpenCvAndRosFilesAndSaysWhyItRefusesOne) {
  Calibrate(0);
  const CameraParameters calibrated = store.GetCameraParameters(0);
  for (const auto& [format, name] : {std::make_pair(ExchangeFormat::OpenCv, "cam.yaml"), std::make_pair(ExchangeFormat::Ros, "ros.yaml")}) {
    nextExport = std::make_pair(format, QString::fromStdString(temp.File(name)));
    panel.SelectEntry(0);
    Press(CStaticDataView::kIdExport);
    TakeMessage();
    store.SetCameraParameters(1, CameraParameters{});
    panel.SelectEntry(1);
    nextParameterFile = QString::fromStdString(temp.File(name));
    panel.KeyPressed(Qt::Key_L);
    EXPECT_TRUE(messages.isEmpty()) << name << ": " << messages.join("|").toStdString();
    for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(store.GetCameraParameters(1).K[static_cast<size_t>(i)], calibrated.K[static_cast<size_t>(i)]) << name;
    for (int i = 0; i < 4; ++i)
      EXPECT_DOUBLE_EQ(store.GetCameraParameters(1).distortion[static_cast<size_t>(i)], calibrated.distortion[static_cast<size_t>(i)]) << name;
    EXPECT_TRUE(panel.EntryText(1).startsWith("fx ")) << panel.EntryText(1).toStdString();
  }

  // Thin prism terms no lens model holds: refused with the reason, nothing changes.
  const CameraParameters before = store.GetCameraParameters(1);
  {
    cv::FileStorage fs(temp.File("prism.yaml"), cv::FileStorage::WRITE);
    fs << "image_width" << 640 << "image_height" << 480;
    fs << "camera_matrix" << (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    fs << "distortion_coefficients" << (cv::Mat_<double>(1, 12) << 0.1, 0.01, 0, 0, 0.25, 0, 0, 0, 0.02, 0, 0, 0);
  }
  nextParameterFile = QString::fromStdString(temp.File("prism.yaml"));
  panel.KeyPressed(Qt::Key_L);
  const QString refusal = TakeMessage();
  EXPECT_TRUE(refusal.startsWith("The parameter file could not be read:\n")) << refusal.toStdString();
  EXPECT_TRUE(refusal.contains("s1 = 0.02")) << refusal.toStdString();
  EXPECT_EQ(store.GetCameraParameters(1).K, before.K);
  EXPECT_EQ(store.GetCameraParameters(1).distortion, before.distortion);

  // Another image size than the camera's views: refused too.
  {
    cv::FileStorage fs(temp.File("size.yaml"), cv::FileStorage::WRITE);
    fs << "image_width" << 1280 << "image_height" << 720;
    fs << "camera_matrix" << (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    fs << "distortion_coefficients" << (cv::Mat_<double>(1, 5) << 0.1, 0.01, 0, 0, 0);
  }
  nextParameterFile = QString::fromStdString(temp.File("size.yaml"));
  panel.KeyPressed(Qt::Key_L);
  EXPECT_TRUE(TakeMessage().contains("1280x720"));
  EXPECT_EQ(store.GetCameraParameters(1).K, before.K);
}
