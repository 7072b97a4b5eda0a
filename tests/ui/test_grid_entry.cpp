// Entering a camera's grid: the dialog's live corner count and unit, "Grid..."
// in the data panel, new cameras taking the selected camera's grid, and the
// size hint after "Detect all" finds no board of the entered grid.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "UiTestSupport.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/GridDetector.h"
#include "ui/ObjectProperties.h"
#include "ui/StaticDataView.h"
#include "widgets/HoverButtonEx.h"

namespace {

// A guard against a hang, not a duration: searching views for a grid that is
// not in them takes seconds a view, and many times that on a busy machine.
constexpr int kWaitMs = 300000;

// Four rendered views of a 9 x 6 board (inner corners), 25 mm squares.
const SyntheticRig& NineBySix() {
  static const SyntheticRig rig = [] {
    SyntheticOptions options;
    options.views = 4;
    options.grid = GridDescription{25.0, 25.0, 9, 6, 5, 5};
    options.camera.coefficients[0] = -0.1;
    options.render.blurSigma = 0.7;
    options.render.imageNoise = 2.0;
    return MakeSyntheticRig(options);
  }();
  return rig;
}

// Replaces the field's text key by key, as a user would.
void Type(QLineEdit* field, const QString& text) {
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, text);
}

class GridEntryTest : public ::testing::Test, public WithApplication {
 protected:
  GridEntryTest() {
    panel.resize(470, 300);
    panel.Init();
    panel.SetStore(&store);
    panel.SetDetector(&detector);
    CStaticDataView::Prompts prompts;
    prompts.message = [this](const QString& text) { messages << text; };
    prompts.question = [this](const QString& text, QMessageBox::StandardButtons) {
      questions << text;
      return QMessageBox::Yes;
    };
    prompts.offer = [this](const QString& text, const QString& action) {
      offers << text;
      actions << action;
      return acceptOffer;
    };
    panel.SetPrompts(prompts);
  }

  TempDir temp;
  CCalibrationData store;
  CGridDetector detector{&store};
  CStaticDataView panel;
  QStringList messages, questions, offers, actions;
  bool acceptOffer = true;
};

TEST_F(GridEntryTest, DialogSaysHowManyInnerCornersTheSquaresMakeWhileTheyAreTyped) {
  CObjectProperties dialog;
  EXPECT_EQ(dialog.windowTitle(), "Calibration Grid Properties");
  dialog.SetGrid(GridDescription{25.0, 25.0, 9, 6, 5, 5});
  EXPECT_EQ(dialog.Field(CObjectProperties::kIdSquaresX)->text(), "8");
  EXPECT_EQ(dialog.Field(CObjectProperties::kIdSquaresY)->text(), "5");
  EXPECT_EQ(dialog.CornerText(), "8 x 5 squares between the outer corners = 9 x 6 inner corners");
  Type(dialog.Field(CObjectProperties::kIdSquaresX), "9");
  EXPECT_EQ(dialog.CornerText(), "9 x 5 squares between the outer corners = 10 x 6 inner corners");
  Type(dialog.Field(CObjectProperties::kIdSquaresY), "");
  EXPECT_TRUE(dialog.CornerText().startsWith("Enter the squares between the outer corners")) << dialog.CornerText().toStdString();

  // A camera without a grid shows empty fields, not -1 squares.
  dialog.SetGrid(GridDescription{});
  EXPECT_EQ(dialog.Field(CObjectProperties::kIdSquaresX)->text(), "");
  EXPECT_EQ(dialog.Field(CObjectProperties::kIdSizeX)->text(), "");
  EXPECT_EQ(dialog.UnitField()->currentText(), "mm");
}

class MessageCatchingProperties : public CObjectProperties {
 public:
  QStringList messages;

 protected:
  void ShowValidationMessage(const QString& text) override { messages << text; }
};

TEST_F(GridEntryTest, SquareSizeIsEnteredInItsUnitWithinOneMillimetreToTenMetres) {
  MessageCatchingProperties dialog;
  dialog.SetGrid(GridDescription{25.0, 25.0, 9, 6, 5, 5});
  dialog.UnitField()->setCurrentText("cm");
  Type(dialog.Field(CObjectProperties::kIdSizeX), "2.5");
  Type(dialog.Field(CObjectProperties::kIdSizeY), "0.05");  // half a millimetre
  EXPECT_FALSE(dialog.ValidateFields());
  ASSERT_EQ(dialog.messages.size(), 1);
  EXPECT_EQ(dialog.messages[0], "Please enter a number between 0.1 and 1000.");
  Type(dialog.Field(CObjectProperties::kIdSizeY), "0.1");  // exactly the lower limit, one millimetre
  EXPECT_TRUE(dialog.ValidateFields()) << dialog.messages.join("|").toStdString();
  Type(dialog.Field(CObjectProperties::kIdSizeY), "2.5");
  ASSERT_TRUE(dialog.ValidateFields());
  EXPECT_EQ(dialog.Grid().unit, LengthUnit::Centimetre);
  EXPECT_EQ(dialog.Grid().dX, 2.5);
  EXPECT_EQ(dialog.Grid().nx, 9);

  dialog.UnitField()->setCurrentText("m");
  Type(dialog.Field(CObjectProperties::kIdSizeX), "0.025");
  Type(dialog.Field(CObjectProperties::kIdSizeY), "0.025");
  ASSERT_TRUE(dialog.ValidateFields()) << "25 mm in metres is below the millimetre field's old lower limit of 1";
  EXPECT_EQ(dialog.Grid().unit, LengthUnit::Metre);
}

TEST_F(GridEntryTest, NewCameraStartsWithTheGridOfTheCameraSelectedBeforeIt) {
  panel.NewCamera();
  EXPECT_EQ(store.GetGrid(0).nx, 0) << "nothing selected: no grid";
  GridDescription grid{2.5, 2.5, 9, 6, 4, 4};
  grid.unit = LengthUnit::Centimetre;
  store.SetGrid(0, grid);
  panel.SelectEntry(0);
  panel.NewCamera();
  ASSERT_EQ(store.GetCameraCount(), 2);
  const GridDescription second = store.GetGrid(1);
  EXPECT_EQ(second.nx, 9);
  EXPECT_EQ(second.ny, 6);
  EXPECT_EQ(second.dX, 2.5);
  EXPECT_EQ(second.wx, 4);
  EXPECT_EQ(second.unit, LengthUnit::Centimetre);
  panel.InsertCamera(0);  // a camera a split source puts before the others
  EXPECT_EQ(store.GetGrid(0).nx, 9);
}

TEST_F(GridEntryTest, GridButtonEditsTheSelectedCamerasGridAndOffersToClearStaleViews) {
  panel.NewCamera();
  store.SetGrid(0, NineBySix().grid);
  for (int v = 0; v < 2; ++v) {
    ASSERT_TRUE(store.AddViewFromFrame(0, NineBySix().cameras[0].images[v].clone()));
    *store.GetGridPoints(0, v) = NineBySix().cameras[0].points[v];
    store.SetViewHasPoints(0, v, 1);
  }
  CHoverButtonEx* button = panel.Button(CStaticDataView::kIdGrid);
  ASSERT_NE(button, nullptr);
  button->click();
  EXPECT_EQ(messages, QStringList{"Please select a camera to set its calibration grid."});

  panel.SelectEntry(0);
  std::vector<GridDescription> shown;
  panel.SetGridPrompt([&](const GridDescription& grid) -> std::optional<GridDescription> {
    shown.push_back(grid);
    return shown.size() == 1 ? std::nullopt : std::optional<GridDescription>(GridDescription{25.0, 25.0, 8, 6, 5, 5});
  });
  button->click();  // cancelled: nothing changes
  EXPECT_EQ(store.GetGrid(0).nx, 9);
  EXPECT_TRUE(questions.isEmpty());
  button->click();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].nx, 9) << "the dialog starts from the camera's grid";
  EXPECT_EQ(store.GetGrid(0).nx, 8);
  ASSERT_EQ(questions.size(), 1);
  EXPECT_TRUE(questions[0].contains("(views 1, 2)")) << questions[0].toStdString();
  EXPECT_EQ(store.GetPointCount(0, 0), 0) << "answered Yes: the stale points went";
  EXPECT_FALSE(store.ViewHasPoints(0, 1));
}

// The whole way: a user enters 9 x 6 squares (a 10 x 7 grid) for a board of
// 9 x 6 inner corners, runs "Detect all", is offered the board's size, takes it,
// and every view is detected.
TEST_F(GridEntryTest, DetectAllOnTheWrongGridOffersTheBoardsSizeAndApplyingItDetectsEveryView) {
  panel.NewCamera();
  const auto& images = NineBySix().cameras[0].images;
  for (const cv::Mat& image : images) ASSERT_TRUE(store.AddViewFromFrame(0, image.clone()));
  panel.SelectEntry(0);
  panel.SetGridPrompt([](const GridDescription& grid) -> std::optional<GridDescription> {
    CObjectProperties dialog;
    dialog.SetGrid(grid);
    Type(dialog.Field(CObjectProperties::kIdSquaresX), "9");
    Type(dialog.Field(CObjectProperties::kIdSquaresY), "6");
    Type(dialog.Field(CObjectProperties::kIdSizeX), "25");
    Type(dialog.Field(CObjectProperties::kIdSizeY), "25");
    if (!dialog.ValidateFields()) return std::nullopt;
    return dialog.Grid();
  });
  panel.Button(CStaticDataView::kIdGrid)->click();
  ASSERT_EQ(store.GetGrid(0).nx, 10);
  ASSERT_EQ(store.GetGrid(0).ny, 7);

  panel.Button(CStaticDataView::kIdDetectAll)->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !offers.isEmpty() || !messages.isEmpty(); }, kWaitMs));
  ASSERT_EQ(offers.size(), 1) << messages.join("|").toStdString();
  EXPECT_EQ(offers[0], "0 of 4 views detected\n\nfound a 9 x 6 board in 4 of 4 views; this camera's grid is 10 x 7 "
                       "\u2014 use 9 x 6?");
  EXPECT_EQ(actions, QStringList{"Use 9 x 6"});

  ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, kWaitMs));
  EXPECT_EQ(messages, QStringList{"4 of 4 views detected"});
  const GridDescription grid = store.GetGrid(0);
  EXPECT_EQ(grid.nx, 9);
  EXPECT_EQ(grid.ny, 6);
  EXPECT_EQ(grid.dX, 25.0) << "only the corner counts change";
  for (int v = 0; v < 4; ++v) {
    ASSERT_EQ(store.GetPointCount(0, v), 54) << "view " << v;
    EXPECT_TRUE(store.ViewHasPoints(0, v));
    double largest = 0.0;
    for (int k = 0; k < 54; ++k) {
      const ImagePoint p = store.GetPoint(0, v, k), q = NineBySix().cameras[0].exactPoints[v][k];
      largest = std::max(largest, std::hypot(p.x - q.x, p.y - q.y));
    }
    EXPECT_LT(largest, 0.3) << "view " << v;
  }
}

TEST_F(GridEntryTest, DeclinedHintChangesNothingAndABlankCameraGetsNoHint) {
  panel.NewCamera();
  store.SetGrid(0, GridDescription{25.0, 25.0, 10, 7, 5, 5});
  ASSERT_TRUE(store.AddViewFromFrame(0, NineBySix().cameras[0].images[0].clone()));
  panel.SelectEntry(0);
  acceptOffer = false;
  panel.DetectAll();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !offers.isEmpty() || !messages.isEmpty(); }, kWaitMs));
  ASSERT_EQ(offers.size(), 1);
  QTest::qWait(50);
  EXPECT_EQ(store.GetGrid(0).nx, 10);
  EXPECT_FALSE(detector.BatchRunning());
  EXPECT_EQ(store.GetPointCount(0, 0), 0);

  // Views without any board: the summary lists them, no size is offered.
  offers.clear();
  store.RemoveView(0, 0);
  ASSERT_TRUE(store.AddViewFromFrame(0, cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 90, 90))));
  panel.DetectAll();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, kWaitMs));
  EXPECT_TRUE(offers.isEmpty());
  EXPECT_TRUE(messages[0].startsWith("0 of 1 views detected\n\nNot found:\nview 1: ")) << messages[0].toStdString();
}

// Pictures for a person to look at: the grid dialog, the size hint as the
// real message box shows it, and a camera's labelled results text.
TEST_F(GridEntryTest, ScreenshotsOfTheGridDialogTheSizeHintAndTheResultsText) {
  QDir().mkpath(TestScreenshotDir());
  const QString dir = TestScreenshotDir();
  CObjectProperties dialog;
  dialog.SetGrid(GridDescription{25.0, 25.0, 9, 6, 5, 5});
  dialog.show();
  QTest::qWait(100);
  EXPECT_TRUE(dialog.grab().save(dir + "/grid_dialog.png"));
  dialog.hide();

  panel.NewCamera();
  store.SetGrid(0, GridDescription{25.0, 25.0, 10, 7, 5, 5});
  ASSERT_TRUE(store.AddViewFromFrame(0, NineBySix().cameras[0].images[0].clone()));
  panel.SelectEntry(0);
  CStaticDataView::Prompts real;
  real.message = [this](const QString& text) { messages << text; };
  panel.SetPrompts(real);  // the real box for the hint
  QString hint;
  AnswerModal<QMessageBox>([&](QMessageBox* box) {
    QTest::qWait(100);
    box->grab().save(dir + "/size_hint.png");
    hint = box->text();
    for (QAbstractButton* button : box->buttons())
      if (button->text() == "Use 9 x 6") button->click();
  });
  panel.DetectAll();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, kWaitMs));
  EXPECT_TRUE(hint.endsWith("use 9 x 6?")) << hint.toStdString();
  EXPECT_EQ(messages, QStringList{"1 of 1 views detected"});

  // Results text: five views with their corners, calibrated.
  for (int v = 1; v < 4; ++v) ASSERT_TRUE(store.AddViewFromFrame(0, NineBySix().cameras[0].images[v].clone()));
  for (int v = 0; v < 4; ++v) {
    *store.GetGridPoints(0, v) = NineBySix().cameras[0].points[v];
    store.SetViewHasPoints(0, v, 1);
  }
  ASSERT_TRUE(store.AddViewFromFrame(0, NineBySix().cameras[0].images[0].clone()));
  *store.GetGridPoints(0, 4) = NineBySix().cameras[0].points[0];
  cv::RNG noise(3);  // a tenth of a pixel, as found corners have
  for (int v = 0; v < 5; ++v)
    for (ImagePoint& p : *store.GetGridPoints(0, v)) {
      p.x += noise.gaussian(0.1);
      p.y += noise.gaussian(0.1);
    }
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  CStaticDataView shown;  // with the real button graphics
  shown.SetApplicationFolder(TestGraphicsParent());
  shown.resize(470, 360);
  shown.Init();
  shown.SetStore(&store);
  shown.SelectEntry(0);
  shown.show();
  QTest::qWait(150);
  EXPECT_TRUE(shown.grab().save(dir + "/results_text.png"));
  EXPECT_TRUE(shown.EntryText(0).contains("RMS error")) << shown.EntryText(0).toStdString();
}

}  // namespace
