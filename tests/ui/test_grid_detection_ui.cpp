// Grid detection in the workbench: "Detect all" in the data panel with its
// progress window, Cancel and summary; "Detect grid" in the object editor;
// detection of image files as they are added, and its setting.
#include <gtest/gtest.h>

#include <QDir>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include "UiTestSupport.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/GridDetector.h"
#include "widgets/HoverButtonEx.h"
#include "ui/ImageListControl.h"
#include "ui/ObjectEditDlg.h"
#include "ui/ObjectProperties.h"
#include "grid/GridDetection.h"
#include <QLineEdit>
#include "ui/StaticDataView.h"

namespace {

constexpr int kWaitMs = 60000;

const SyntheticRig& Rig() {
  static const SyntheticRig rig = [] {
    SyntheticOptions options;
    options.views = 3;
    options.camera.coefficients[0] = -0.15;
    options.render.blurSigma = 0.8;
    options.render.imageNoise = 2.0;
    return MakeSyntheticRig(options);
  }();
  return rig;
}

cv::Mat Blank() { return cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 90, 90)); }

// The application settings go to a folder of the test's own.
class DetectionUiTest : public ::testing::Test, public WithApplication {
 protected:
  DetectionUiTest() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(temp.Path().string()));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(temp.Path().string()));
    panel.resize(470, 250);
    panel.Init();
    panel.SetStore(&store);
    panel.SetDetector(&detector);
    panel.SetPrompts({[this](const QString& text) { messages << text; }, {}, {}, {}});
    panel.NewCamera();
    store.SetGrid(0, Rig().grid);
  }

  void AddViews(const std::vector<cv::Mat>& images) {
    for (const cv::Mat& image : images) ASSERT_TRUE(store.AddViewFromFrame(0, image.clone()));
  }

  double LargestError(int view, int rendered) const {
    double largest = 0;
    for (int k = 0; k < store.GetPointCount(0, view); ++k) {
      const ImagePoint p = store.GetPoint(0, view, k), q = Rig().cameras[0].exactPoints[rendered][k];
      largest = std::max(largest, std::hypot(p.x - q.x, p.y - q.y));
    }
    return largest;
  }

  TempDir temp;
  CCalibrationData store;
  CGridDetector detector{&store};
  CStaticDataView panel;
  QStringList messages;
};

TEST_F(DetectionUiTest, DetectAllShowsProgressThenASummaryListingTheViewsNotFound) {
  const auto& images = Rig().cameras[0].images;
  AddViews({images[0], Blank(), images[1], images[2]});
  store.GetGridPoints(0, 1)->assign(2, ImagePoint{4, 4});
  panel.SelectEntry(0);

  panel.Button(CStaticDataView::kIdDetectAll)->click();
  QProgressDialog* progress = panel.DetectionProgress();
  ASSERT_NE(progress, nullptr);
  EXPECT_TRUE(progress->isVisible());
  EXPECT_EQ(progress->maximum(), 4);
  EXPECT_TRUE(detector.BatchRunning());
  // A second press while the run goes on starts nothing, and says why.
  panel.DetectAll();
  EXPECT_EQ(detector.Pending(), 4);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages.front().startsWith("The grid is being detected already")) << messages.front().toStdString();
  messages.clear();

  ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, kWaitMs));
  EXPECT_EQ(messages.front(),
            "3 of 4 views detected\n\nNot found:\nview 2: the board was not found in the view");
  EXPECT_EQ(panel.DetectionProgress(), nullptr);
  for (const auto& [view, rendered] : {std::pair{0, 0}, {2, 1}, {3, 2}}) {
    EXPECT_TRUE(store.ViewHasPoints(0, view));
    ASSERT_EQ(store.GetPointCount(0, view), Rig().grid.nx * Rig().grid.ny);
    EXPECT_LT(LargestError(view, rendered), 0.3);
    EXPECT_EQ(store.GetBorderPoints(0, view)->size(), 4u);
  }
  // The miss cleared a list that could not pair with the grid.
  EXPECT_EQ(store.GetPointCount(0, 1), 0);
  EXPECT_FALSE(store.ViewHasPoints(0, 1));
}

class TransposingEditor : public CObjectEditDlg {
 public:
  QStringList asked;

 protected:
  StaleChoice AskStaleChoice(const QString& text) override {
    asked << text;
    return StaleChoice::Redetect;
  }
  bool AskYesNo(const QString&) override { return false; }
  void ShowMessage(const QString&) override {}
  // The user describes the board turned a quarter: 5 x 8 squares instead of 8 x 5.
  int RunPropertiesDialog(CObjectProperties& dialog) override {
    dialog.Field(CObjectProperties::kIdSquaresX)->setText("5");
    dialog.Field(CObjectProperties::kIdSquaresY)->setText("8");
    dialog.accept();
    return dialog.result();
  }
};

// Turning the grid keeps every list's length; the editor says the points are
// stale, and detecting again gives each found view new points and clears the
// view the detector misses, so no old list stays behind to spoil a run.
TEST_F(DetectionUiTest, AChangedGridOffersToDetectAgainWhichReplacesOrClearsEveryStaleView) {
  const auto& images = Rig().cameras[0].images;
  AddViews({images[0], Blank(), images[1]});
  for (int view : {0, 2}) ASSERT_EQ(DetectGrid(store, 0, view).status, GridStatus::Ok);
  *store.GetGridPoints(0, 1) = Rig().cameras[0].exactPoints[2];  // marked once, its picture since replaced
  store.MarkViewPointsCurrent(0, 1);
  TransposingEditor editor;
  editor.SetApplicationFolder(TestGraphicsParent());
  editor.SetData(&store);
  editor.SetDetector(&detector);
  editor.Create();
  editor.OpenOn(0);
  EXPECT_TRUE(editor.asked.isEmpty());
  editor.OnGridProperties();
  ASSERT_EQ(store.GetGrid(0).nx, 6);
  ASSERT_EQ(editor.asked.size(), 1);
  EXPECT_TRUE(editor.asked[0].contains("3 views")) << editor.asked[0].toStdString();
  EXPECT_TRUE(editor.asked[0].contains("6 x 9")) << editor.asked[0].toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return detector.Pending() == 0; }, kWaitMs));
  QTest::qWait(50);
  EXPECT_TRUE(store.StaleViews(0).empty());
  for (int view : {0, 2}) {
    EXPECT_TRUE(store.ViewHasPoints(0, view)) << view;
    EXPECT_FALSE(store.IsViewStale(0, view)) << view;
    EXPECT_EQ(store.GetPointCount(0, view), 54) << view;
  }
  EXPECT_EQ(store.GetPointCount(0, 1), 0);
  EXPECT_FALSE(store.ViewHasPoints(0, 1));
}

TEST_F(DetectionUiTest, CancelStopsTheRunAndStoresNothingFurther) {
  AddViews({Rig().cameras[0].images[0], Rig().cameras[0].images[1], Rig().cameras[0].images[2]});
  panel.SelectEntry(0);
  panel.DetectAll();
  ASSERT_NE(panel.DetectionProgress(), nullptr);
  QPushButton* cancel = panel.DetectionProgress()->findChild<QPushButton*>();
  ASSERT_NE(cancel, nullptr);
  EXPECT_EQ(cancel->text(), "Cancel");
  cancel->click();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages.front(), "0 of 3 views detected\n\nCancelled: 3 views were not searched.");
  EXPECT_FALSE(detector.BatchRunning());
  ASSERT_TRUE(QTest::qWaitFor([&] { return detector.Pending() == 0; }, kWaitMs));
  QTest::qWait(50);
  for (int view = 0; view < 3; ++view) EXPECT_FALSE(store.ViewHasPoints(0, view)) << view;
  // A new run can start at once.
  panel.DetectAll();
  EXPECT_TRUE(detector.BatchRunning());
}

TEST_F(DetectionUiTest, DetectAllWithoutAGridAsksForOne) {
  AddViews({Rig().cameras[0].images[0]});
  store.SetGrid(0, GridDescription{});
  panel.SelectEntry(0);
  panel.DetectAll();
  EXPECT_EQ(panel.DetectionProgress(), nullptr);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages.front().contains("grid")) << messages.front().toStdString();
}

TEST_F(DetectionUiTest, AddedImageFilesAreDetectedAsTheyArriveUnlessTurnedOff) {
  const QString board = QString::fromStdString((temp.Path() / "board.png").string());
  ASSERT_TRUE(cv::imwrite(board.toStdString(), Rig().cameras[0].images[0]));
  AddViews({Rig().cameras[0].images[1]});  // an older view stays as it is
  panel.SelectEntry(0);
  CImageListControl* list = panel.ImageList();

  list->AddImageFiles({board});
  ASSERT_TRUE(QTest::qWaitFor([&] { return store.ViewHasPoints(0, 1); }, kWaitMs));
  EXPECT_LT(LargestError(1, 0), 0.3);
  EXPECT_FALSE(store.ViewHasPoints(0, 0));

  QSettings("Local AppWizard-Generated Applications", "Lentora").setValue(CGridDetector::kDetectOnArrivalKey, false);
  EXPECT_FALSE(CGridDetector::DetectOnArrival());
  list->AddImageFiles({board});
  EXPECT_EQ(detector.Pending(), 0);
  EXPECT_FALSE(store.ViewHasPoints(0, 2));
  QSettings("Local AppWizard-Generated Applications", "Lentora").remove(CGridDetector::kDetectOnArrivalKey);
  EXPECT_TRUE(CGridDetector::DetectOnArrival());
}

TEST_F(DetectionUiTest, ResultsForAViewWhosePictureOrGridChangedAreNotStored) {
  AddViews({Rig().cameras[0].images[0]});
  ASSERT_TRUE(detector.DetectView(0, 0));
  GridDescription other = Rig().grid;
  other.nx = 7;
  store.SetGrid(0, other);  // changed while the search runs
  GridStatus seen = GridStatus::Ok;
  bool reported = false;
  QObject::connect(&detector, &CGridDetector::viewDetected, [&](int, int, GridStatus status) {
    seen = status;
    reported = true;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return reported; }, kWaitMs));
  EXPECT_NE(seen, GridStatus::Ok);
  EXPECT_EQ(store.GetPointCount(0, 0), 0);
  EXPECT_FALSE(detector.DetectView(0, 5));
  EXPECT_FALSE(detector.DetectView(3, 0));
}

class ScriptedEditor : public CObjectEditDlg {
 public:
  QStringList messages;

 protected:
  void ShowMessage(const QString& text) override { messages << text; }
};

TEST_F(DetectionUiTest, EditorDetectGridDrawsTheViewAsIfClickedAndNamesTheReasonOfAMiss) {
  AddViews({Rig().cameras[0].images[0], Blank()});
  ScriptedEditor editor;
  editor.SetData(&store);
  editor.Create();
  editor.SetDetector(&detector);
  editor.OpenOn(0);
  ASSERT_NE(editor.Button(CObjectEditDlg::kIdDetect), nullptr);

  editor.Button(CObjectEditDlg::kIdDetect)->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return store.ViewHasPoints(0, 0); }, kWaitMs));
  EXPECT_LT(LargestError(0, 0), 0.3);
  int points = 0, lines = 0;
  for (const auto& mark : editor.Marks()) (mark.kind == CObjectEditDlg::Mark::kBorderPoint ? points : lines)++;
  EXPECT_EQ(points, 4);
  EXPECT_EQ(lines, 4);
  EXPECT_TRUE(editor.messages.isEmpty());

  editor.SetView(1);
  editor.OnDetect();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !editor.messages.isEmpty(); }, kWaitMs));
  EXPECT_EQ(editor.messages.front(), "The grid was not found: the board was not found in the view.");
  EXPECT_EQ(store.GetPointCount(0, 1), 0);
  editor.hide();
}

QImage Picture(QWidget& window) {
  window.show();
  return ScreenPicture(window);
}

TEST_F(DetectionUiTest, ScreenshotsOfDetectAllInProgressAndOfItsSummary) {
  const auto& images = Rig().cameras[0].images;
  AddViews({images[0], images[1], Blank(), images[2], images[0], images[1]});
  panel.SelectEntry(0);
  panel.show();
  panel.DetectAll();
  ASSERT_TRUE(QTest::qWaitFor([&] { return panel.DetectionProgress() && panel.DetectionProgress()->value() >= 2; },
                              kWaitMs));
  QDir().mkpath(TestScreenshotDir());
  // Grabbed at once: waiting for the window system would let the run end and
  // delete the dialog under the picture.
  const QImage progress = panel.DetectionProgress()->grab().toImage();
  EXPECT_TRUE(progress.save(QString(TestScreenshotDir()) + "/detect_all_progress.png"));

  ASSERT_TRUE(QTest::qWaitFor([&] { return !messages.isEmpty(); }, kWaitMs));
  QMessageBox box(QMessageBox::Information, "Lentora", messages.front(), QMessageBox::Ok, &panel);
  const QImage summary = Picture(box);
  EXPECT_TRUE(summary.save(QString(TestScreenshotDir()) + "/detect_all_summary.png"));
  EXPECT_TRUE(messages.front().startsWith("5 of 6 views detected")) << messages.front().toStdString();
  box.hide();
  panel.hide();
}

}  // namespace
