// Choosing a camera's lens model and fixed values in the grid dialog: what the
// controls offer for each model, the choice reaching the store through the
// data panel's "Grid...", kept by a save, and used by "Calibrate".
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QTest>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "synth/SyntheticViews.h"
#include "ui/ObjectProperties.h"
#include "ui/ResidualWindow.h"
#include "ui/StaticDataView.h"
#include "widgets/HoverButtonEx.h"

namespace {

void ChooseModel(CObjectProperties& dialog, LensModel model) {
  QComboBox* combo = dialog.ModelField();
  combo->setCurrentIndex(combo->findData(static_cast<int>(model)));
}

QStringList CoefficientBoxes(const CObjectProperties& dialog) {
  QStringList names;
  for (int i = 0; i < kMaxDistortionCoefficients; ++i) {
    const QCheckBox* box = dialog.Box(CObjectProperties::kIdFixedCoefficient + i);
    if (box->isVisibleTo(&dialog)) names << box->text();
  }
  return names;
}

// Eight views of a 9 x 6 board through a fisheye seeing 160 degrees across.
const SyntheticRig& FisheyeViews() {
  static const SyntheticRig rig = [] {
    SyntheticOptions options;
    options.views = 8;
    options.grid = GridDescription{25.0, 25.0, 9, 6, 5, 5};
    options.camera = TypicalSyntheticCamera(LensModel::Fisheye, 640, 480, 160.0);
    options.pointNoise = 0.1;
    options.seed = 5;
    return MakeSyntheticRig(options);
  }();
  return rig;
}

class LensModelChoiceTest : public ::testing::Test, public WithApplication {
 protected:
  LensModelChoiceTest() {
    panel.resize(470, 300);
    panel.Init();
    panel.SetStore(&store);
    CStaticDataView::Prompts prompts;
    prompts.message = [this](const QString& text) { messages << text; };
    panel.SetPrompts(prompts);
  }

  // Presses "Grid..." and lets `answer` work the real dialog.
  void EditWithDialog(const std::function<void(CObjectProperties*)>& answer) {
    AnswerModal<CObjectProperties>(answer);
    panel.Button(CStaticDataView::kIdGrid)->click();
  }

  TempDir temp;
  CCalibrationData store;
  CStaticDataView panel;
  QStringList messages;
};

TEST_F(LensModelChoiceTest, DialogOffersEachModelsCoefficientsAndWhatAppliesToIt) {
  CObjectProperties dialog;
  EXPECT_EQ(dialog.Settings(), CalibrationSettings{}) << "a new dialog shows the default";
  EXPECT_EQ(CoefficientBoxes(dialog), (QStringList{"k1", "k2", "p1", "p2"}));

  CalibrationSettings rational;
  rational.model = LensModel::Rational;
  rational.fixPrincipalPoint = true;
  rational.fixedCoefficients = 0b1010'0000;  // k4 and k6
  dialog.SetSettings(rational);
  EXPECT_EQ(CoefficientBoxes(dialog), (QStringList{"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"}));
  EXPECT_EQ(dialog.Settings(), rational);

  // Zero tangential distortion makes p1 and p2 fixed at 0: their own boxes do not apply.
  dialog.Box(CObjectProperties::kIdZeroTangential)->setChecked(true);
  EXPECT_FALSE(dialog.Box(CObjectProperties::kIdFixedCoefficient + 2)->isEnabled());
  EXPECT_TRUE(dialog.Box(CObjectProperties::kIdFixedCoefficient + 4)->isEnabled());

  // A fisheye has k1..k4 and no tangential terms; the rational's k6 is not carried over.
  ChooseModel(dialog, LensModel::Fisheye);
  EXPECT_EQ(CoefficientBoxes(dialog), (QStringList{"k1", "k2", "k3", "k4"}));
  EXPECT_FALSE(dialog.Box(CObjectProperties::kIdZeroTangential)->isEnabled());
  const CalibrationSettings fisheye = dialog.Settings();
  EXPECT_EQ(fisheye.model, LensModel::Fisheye);
  EXPECT_FALSE(fisheye.zeroTangential);
  EXPECT_EQ(fisheye.fixedCoefficients, 0u) << "k4 of the rational model is not k4 of the fisheye";
  EXPECT_TRUE(fisheye.fixPrincipalPoint);

  // Poses only keeps every intrinsic value; the other choices are greyed.
  dialog.Box(CObjectProperties::kIdPosesOnly)->setChecked(true);
  EXPECT_FALSE(dialog.Box(CObjectProperties::kIdFixAspectRatio)->isEnabled());
  EXPECT_FALSE(dialog.Box(CObjectProperties::kIdFixedCoefficient)->isEnabled());
  EXPECT_TRUE(dialog.ModelField()->isEnabled()) << "the model of the loaded parameters is still chosen";
  EXPECT_TRUE(dialog.Settings().posesOnly);
}

TEST_F(LensModelChoiceTest, GridButtonStoresTheChoiceASaveKeepsItAndCalibrateUsesIt) {
  panel.NewCamera();
  panel.NewCamera();
  const SyntheticRig& rig = FisheyeViews();
  store.SetGrid(0, rig.grid);
  for (int v = 0; v < static_cast<int>(rig.cameras[0].points.size()); ++v) {
    ASSERT_TRUE(store.AddViewFromFrame(0, rig.cameras[0].images[v].clone()));
    *store.GetGridPoints(0, v) = rig.cameras[0].points[v];
    store.SetViewHasPoints(0, v, 1);
  }
  panel.SelectEntry(0);

  // Cancel changes nothing.
  EditWithDialog([](CObjectProperties* dialog) {
    ChooseModel(*dialog, LensModel::Rational);
    dialog->reject();
  });
  EXPECT_EQ(store.GetCalibrationSettings(0), CalibrationSettings{});

  EditWithDialog([](CObjectProperties* dialog) {
    EXPECT_EQ(dialog->Settings(), CalibrationSettings{}) << "the dialog starts from the camera's settings";
    ChooseModel(*dialog, LensModel::Fisheye);
    dialog->Box(CObjectProperties::kIdFixAspectRatio)->setChecked(true);
    dialog->Box(CObjectProperties::kIdFixedCoefficient + 3)->setChecked(true);  // k4 stays 0
    dialog->accept();
  });
  CalibrationSettings chosen;
  chosen.model = LensModel::Fisheye;
  chosen.fixAspectRatio = true;
  chosen.fixedCoefficients = 0b1000;
  EXPECT_EQ(store.GetCalibrationSettings(0), chosen);
  EXPECT_EQ(store.GetCalibrationSettings(1), CalibrationSettings{}) << "only the selected camera";
  EXPECT_EQ(store.GetGrid(0).nx, 9) << "the grid is kept";

  const std::string index = temp.File("lens.txt");
  ASSERT_TRUE(SaveWorkspaceTo(store, index).ok);
  CCalibrationData loaded;
  const WorkspaceResult read = LoadWorkspace(loaded, index);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(loaded.GetCalibrationSettings(0), chosen);
  EXPECT_EQ(loaded.GetCalibrationSettings(1), CalibrationSettings{});

  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  const CameraParameters result = store.GetCameraParameters(0);
  EXPECT_EQ(result.model, LensModel::Fisheye);
  EXPECT_EQ(result.distortion[3], 0.0) << "k4 was kept";
  EXPECT_DOUBLE_EQ(result.fx(), result.fy()) << "the aspect ratio was kept at 1";
  const CameraParameters truth = rig.cameras[0].camera.ToParameters();
  EXPECT_NEAR(result.fx(), truth.fx(), 0.01 * truth.fx());
  EXPECT_TRUE(panel.EntryText(0).contains("fisheye")) << panel.EntryText(0).toStdString();
}

// The residual window of a fisheye run, opened from the data panel, for a
// person to look at: the fisheye's residuals are as small as the noise.
TEST_F(LensModelChoiceTest, ScreenshotOfAFisheyesResiduals) {
  panel.NewCamera();
  const SyntheticRig& rig = FisheyeViews();
  store.SetGrid(0, rig.grid);
  for (int v = 0; v < static_cast<int>(rig.cameras[0].points.size()); ++v) {
    ASSERT_TRUE(store.AddViewFromFrame(0, rig.cameras[0].images[v].clone()));
    *store.GetGridPoints(0, v) = rig.cameras[0].points[v];
    store.SetViewHasPoints(0, v, 1);
  }
  CalibrationSettings fisheye;
  fisheye.model = LensModel::Fisheye;
  store.SetCalibrationSettings(0, fisheye);
  panel.SelectEntry(0);
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_EQ(store.GetCameraParameters(0).model, LensModel::Fisheye);
  panel.Button(CStaticDataView::kIdResiduals)->click();
  ASSERT_NE(panel.ResidualWindow(), nullptr);
  ASSERT_TRUE(panel.ResidualWindow()->isVisible());
  QApplication::processEvents();
  const QString dir = TestScreenshotDir();
  QDir().mkpath(dir);
  EXPECT_TRUE(panel.ResidualWindow()->grab().save(dir + "/fisheye_residuals.png"));
  panel.ResidualWindow()->close();
  EXPECT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
}

TEST_F(LensModelChoiceTest, ScreenshotOfTheDialogWithAFisheyeChosen) {
  QDir().mkpath(TestScreenshotDir());
  CObjectProperties dialog;
  dialog.SetGrid(GridDescription{25.0, 25.0, 9, 6, 5, 5});
  CalibrationSettings settings;
  settings.model = LensModel::Fisheye;
  settings.fixPrincipalPoint = true;
  settings.fixedCoefficients = 0b1000;
  dialog.SetSettings(settings);
  dialog.show();
  QTest::qWait(100);
  EXPECT_TRUE(dialog.grab().save(QString(TestScreenshotDir()) + "/grid_dialog_lens_model.png"));
  EXPECT_EQ(dialog.Settings(), settings);
}

}  // namespace
