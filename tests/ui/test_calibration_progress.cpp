// Calibrations on a worker thread: the panel's progress dialog with the
// iteration and the current error, Cancel leaving the store as it was, the
// window repainting while the run goes on, and a picture of a long run.
#include <gtest/gtest.h>

#include <QDir>
#include <QPaintEvent>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <algorithm>
#include <cstdlib>

#include "UiTestSupport.h"
#include "calib/CalibrationProblem.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/CalibrationRunner.h"
#include "ui/StaticDataView.h"

namespace {

// The panel, counting its paint events while a run goes on.
class CountingPanel : public CStaticDataView {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++paints;
    CStaticDataView::paintEvent(event);
  }
};

SyntheticRig BigRig(int views, int width, int height, int nx, int ny) {
  SyntheticOptions options;
  options.views = views;
  options.grid = GridDescription{10.0, 10.0, nx, ny, 5, 5};
  options.camera.width = width;
  options.camera.height = height;
  options.camera.fx = options.camera.fy = 1.25 * width;
  options.camera.cx = width / 2.0 - 0.5;
  options.camera.cy = height / 2.0 - 0.5;
  options.camera.coefficients[0] = -0.2;
  options.camera.coefficients[1] = 0.05;
  options.pointNoise = 0.2;
  options.renderImages = false;
  return MakeSyntheticRig(options);
}

class CalibrationProgressTest : public ::testing::Test, public WithApplication {
 protected:
  CalibrationProgressTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    panel.resize(470, 250);
    panel.Init();
    panel.SetStore(&store);
    panel.SetPrompts({[this](const QString& text) { messages << text; }, {}, {}, {}});
  }
  ~CalibrationProgressTest() override { unsetenv("LENTORA_OUTPUT_DIR"); }

  void Fill(const SyntheticRig& rig) {
    panel.NewCamera();
    store.SetGrid(0, rig.grid);
    const SyntheticCamera& camera = rig.cameras[0].camera;
    // One shared grey picture: the run needs the size, not the pixels.
    const cv::Mat image(camera.height, camera.width, CV_8UC3, cv::Scalar(60, 60, 60));
    for (size_t v = 0; v < rig.cameras[0].points.size(); ++v) {
      ASSERT_TRUE(store.AddViewFromFrame(0, image));
      *store.GetGridPoints(0, static_cast<int>(v)) = rig.cameras[0].points[v];
      store.SetViewHasPoints(0, static_cast<int>(v), 1);
    }
    panel.SelectEntry(0);
  }

  TempDir temp;
  CCalibrationData store;
  CountingPanel panel;
  QStringList messages;
};

TEST_F(CalibrationProgressTest, RunShowsIterationsAndStoresTheResultAtTheEnd) {
  Fill(BigRig(40, 640, 480, 20, 15));
  panel.show();
  const CameraParameters before = store.GetCameraParameters(0);
  panel.Calibrate();
  ASSERT_TRUE(panel.IsCalibrating());
  EXPECT_EQ(store.GetCameraParameters(0).K, before.K) << "nothing is stored while the run goes on";
  ASSERT_NE(panel.Runner()->Dialog(), nullptr);
  EXPECT_EQ(panel.Runner()->Dialog()->windowModality(), Qt::WindowModal);
  panel.paints = 0;
  int seenIteration = 0;
  while (panel.IsCalibrating()) {
    panel.update();
    QTest::qWait(20);
    seenIteration = std::max(seenIteration, panel.Runner()->LastIteration());
    if (seenIteration > 0) {
      EXPECT_TRUE(panel.Runner()->ProgressText().contains("RMS error"));
    }
  }
  EXPECT_GE(seenIteration, 1);
  EXPECT_GT(panel.paints, 0) << "the panel repainted during the run";
  EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
  EXPECT_NEAR(store.GetCameraParameters(0).fx(), 800.0, 2.0);
  EXPECT_TRUE(panel.EntryText(0).startsWith("fx ")) << panel.EntryText(0).toStdString();
  EXPECT_EQ(panel.Runner()->Dialog(), nullptr);
}

TEST_F(CalibrationProgressTest, CancelLeavesTheStoreAndTheTextAsTheyWere) {
  Fill(BigRig(30, 640, 480, 20, 15));
  const CameraParameters before = store.GetCameraParameters(0);
  const QString text = panel.EntryText(0);
  panel.Calibrate();
  ASSERT_TRUE(panel.IsCalibrating());
  panel.Calibrate();  // a second press while running starts nothing
  QPushButton* cancelButton = panel.Runner()->Dialog()->findChild<QPushButton*>();
  ASSERT_NE(cancelButton, nullptr);
  cancelButton->click();  // the dialog's Cancel button
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
  EXPECT_EQ(store.GetCameraParameters(0).K, before.K);
  EXPECT_EQ(store.GetCameraParameters(0).distortion, before.distortion);
  EXPECT_EQ(store.GetCalibrationProblem(0).viewCount, 0);
  EXPECT_EQ(panel.EntryText(0), text);
  // The next run is not affected by the cancelled one.
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_NEAR(store.GetCameraParameters(0).fx(), 800.0, 2.0);
}

// 200 views of a 20x15 board at 1280x960 (sharing one grey picture): the
// panel mid-run with its progress dialog, then the result.
TEST_F(CalibrationProgressTest, TwoHundredViewRunShowsItsProgress) {
  Fill(BigRig(200, 1280, 960, 20, 15));
  panel.resize(900, 400);
  panel.Init();
  panel.move(40, 40);
  panel.show();
  panel.Calibrate();
  ASSERT_TRUE(panel.IsCalibrating());
  // This run takes about a second, so its dialog would appear (after 300 ms)
  // only briefly: show it at once for the picture, taken at the first iteration.
  ASSERT_NE(panel.Runner()->Dialog(), nullptr);
  panel.Runner()->Dialog()->show();
  while (panel.IsCalibrating() && panel.Runner()->LastIteration() < 1) QTest::qWait(5);
  ASSERT_TRUE(panel.IsCalibrating()) << "the run ended before its first iteration was shown";
  QDir().mkpath(TestScreenshotDir());
  const QString dir = TestScreenshotDir();
  // The panel with its dialog drawn where it stands (grabbed widget by widget,
  // so the picture is the same on every platform).
  QImage picture = panel.grab().toImage();
  {
    QProgressDialog* dialog = panel.Runner()->Dialog();
    QPainter painter(&picture);
    painter.drawPixmap(dialog->mapToGlobal(QPoint(0, 0)) - panel.mapToGlobal(QPoint(0, 0)), dialog->grab());
  }
  EXPECT_TRUE(picture.save(dir + "/calibration_progress_200_views.png"));
  EXPECT_TRUE(panel.Runner()->ProgressText().contains("Iteration")) << panel.Runner()->ProgressText().toStdString();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_NEAR(store.GetCameraParameters(0).fx(), 1600.0, 2.0);
}

}  // namespace
