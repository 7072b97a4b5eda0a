// The calibration data panel and its image lists: entry geometry, the
// calibration commands on synthetic views, the parameter file key, thumbnails
// and the main window's routing to the panel.
#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>

#include "UiTestSupport.h"
#include "calib/CalibrationProblem.h"
#include "synth/SyntheticViews.h"
#include "app/CalibrationReport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/SyntheticStore.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "widgets/HoverButtonEx.h"
#include "ui/ImageListControl.h"
#include "ui/ObjectEditDlg.h"
#include "ui/StaticDataView.h"
#include "view3d/Calib3DScene.h"

namespace {

const char* const kNoSelectionMessage = "Please select a camera before trying to load parameters!!!";

// Everything the panel asked for or announced, in order.
struct PanelLog {
  QStringList messages;
  QString nextParameterFile;
  QStringList nextImageFiles;
  QStringList questions;
  QMessageBox::StandardButton nextAnswer = QMessageBox::Yes;
  QStringList toolCalls;
  std::vector<std::pair<int, int>> editorOpened;
};

void Script(CStaticDataView& panel, PanelLog& log) {
  panel.SetPrompts({[&log](const QString& text) { log.messages << text; },
                    [&log] { return log.nextParameterFile; }, [&log] { return log.nextImageFiles; },
                    [&log](const QString& text, QMessageBox::StandardButtons) {
                      log.questions << text;
                      return log.nextAnswer;
                    }});
  DataPanelTools tools;
  tools.openEditor = [&log](int camera, int view) { log.editorOpened.emplace_back(camera, view); };
  tools.showCalibration = [&log](int camera) { log.toolCalls << QString("show %1").arg(camera); };
  panel.SetTools(tools);
}

// Calibration runs write their point dump to the output folder; keep it out of the tree.
class DataPanelTest : public ::testing::Test, public WithApplication {
 protected:
  DataPanelTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    panel.resize(470, 250);
    panel.Init();
    panel.SetStore(&store);
    Script(panel, log);
  }
  ~DataPanelTest() override { unsetenv("LENTORA_OUTPUT_DIR"); }

  void AddCameras(int count) {
    for (int i = 0; i < count; ++i) panel.NewCamera();
  }


  static SyntheticRig Rig(int views, bool stereo = false) {
    SyntheticOptions options;
    options.views = views;
    options.renderImages = false;
    options.stereo = stereo;
    options.stereoRotation = {0.0, 0.05, 0.0};
    options.stereoTranslation = {-120.0, 0.0, 0.0};
    return MakeSyntheticRig(options);
  }

  void Select(int entry) {
    const QRect r = panel.EntryRect(entry);
    panel.Click(r.left() + 20, r.top() + 5);
  }

  TempDir temp;
  CCalibrationData store;
  CStaticDataView panel;
  PanelLog log;
};

TEST_F(DataPanelTest, EntriesStackAndOnlyTheSelectedOneGrows) {
  AddCameras(2);
  ASSERT_EQ(panel.EntryCount(), 2);
  EXPECT_EQ(panel.EntryTitle(0), "Camera 1");
  EXPECT_EQ(panel.EntryTitle(1), "Camera 2");
  EXPECT_EQ(panel.EntryText(1), "Not calibrated.");
  EXPECT_EQ(panel.EntryRect(0), QRect(QPoint(10, 10), QPoint(199, 39)));
  EXPECT_EQ(panel.EntryRect(1).top(), 45);

  Select(0);
  Select(1);
  EXPECT_EQ(panel.SelectedCamera(), 1);
  EXPECT_EQ(panel.EntryRect(0).top(), 10);
  EXPECT_EQ(panel.EntryRect(0).bottom() + 1, 40);
  EXPECT_EQ(panel.EntryRect(1).top(), 45);
  EXPECT_EQ(panel.EntryRect(1).bottom() + 1, 150);
  EXPECT_TRUE(panel.ImageList()->isVisibleTo(&panel));
  EXPECT_EQ(panel.ImageList()->Camera(), 1);

  Select(1);  // the selected entry again: nothing changes
  EXPECT_EQ(panel.SelectedCamera(), 1);
  EXPECT_EQ(panel.EntryRect(1).bottom() + 1, 150);

  panel.Click(100, 160);  // below every entry: collapse, select none
  EXPECT_EQ(panel.SelectedCamera(), -1);
  EXPECT_EQ(panel.EntryRect(1), QRect(QPoint(10, 45), QPoint(199, 74)));
  EXPECT_FALSE(panel.ImageList()->isVisibleTo(&panel));
  EXPECT_EQ(store.GetCameraCount(), 2);
}

// Entries are the store's cameras: an inserted camera gets an entry at its
// place showing its own (empty) views, and the selection follows its camera.
TEST_F(DataPanelTest, InsertedAndRemovedCamerasKeepEntriesOnTheirOwnViews) {
  AddCameras(2);
  ASSERT_TRUE(store.AddViewFromFrame(0, cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 1, 1))));
  Select(1);
  panel.InsertCamera(0);
  ASSERT_EQ(panel.EntryCount(), 3);
  EXPECT_EQ(store.GetCameraCount(), 3);
  EXPECT_EQ(panel.EntryText(0), "Not calibrated.");
  EXPECT_EQ(panel.EntryTitle(2), "Camera 3");
  EXPECT_EQ(panel.EntryRect(1).top(), 45);
  EXPECT_EQ(panel.SelectedEntry(), 2);  // still the camera selected before
  EXPECT_EQ(panel.ImageList()->Camera(), 2);
  Select(0);
  EXPECT_EQ(panel.ImageList()->Camera(), 0);
  EXPECT_EQ(store.GetViewCount(0), 0);  // the new camera, not the one that had a view
  EXPECT_EQ(store.GetViewCount(1), 1);

  Select(2);
  panel.RemoveCamera(0);
  ASSERT_EQ(panel.EntryCount(), 2);
  EXPECT_EQ(panel.SelectedEntry(), 1);  // the selection follows its camera
  EXPECT_EQ(panel.EntryTitle(1), "Camera 2");
  EXPECT_EQ(panel.EntryRect(1).top(), 45);
  EXPECT_EQ(panel.EntryRect(1).bottom() + 1, 150);
  panel.RemoveCamera(5);  // out of range: ignored
  panel.InsertCamera(-1);
  panel.InsertCamera(3);
  EXPECT_EQ(panel.EntryCount(), 2);
  EXPECT_EQ(store.GetCameraCount(), 2);
}

TEST_F(DataPanelTest, FourViewsAreRefusedWithTheMessageAndTheTextStays) {
  AddCameras(1);
  const SyntheticRig rig = Rig(4);
  ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid));
  panel.Calibrate();  // no selection: said so
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_EQ(log.messages.size(), 1);
  EXPECT_EQ(log.messages[0], "Please select a camera to calibrate.");
  log.messages.clear();
  Select(0);
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_EQ(log.messages.size(), 1);
  EXPECT_EQ(log.messages[0],
            "The calibration problem is not constrained by less than 5 images!\nA restricted solver will be available soon...");
  EXPECT_EQ(panel.EntryText(0), "Not calibrated.");
  EXPECT_TRUE(log.toolCalls.isEmpty());
}

TEST_F(DataPanelTest, FiveViewsCalibrateIntoTheTextTheStoreAndTheResultsWindow) {
  AddCameras(1);
  const SyntheticRig rig = Rig(5);
  ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid));
  Select(0);
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_TRUE(log.messages.isEmpty()) << log.messages.join("|").toStdString();

  const QString text = panel.EntryText(0);
  EXPECT_EQ(text.toStdString(), CalibrationText(store.GetCalibrationProblem(0)));
  // Every number has its name (and its unit where it has one); the RMS error stands beside the mean distance.
  const QRegularExpression format(
      "^fx -?\\d+\\.\\d{4} ± \\d+\\.\\d{4} px\\nfy -?\\d+\\.\\d{4} ± \\d+\\.\\d{4} px\\n"
      "cx -?\\d+\\.\\d{4} ± \\d+\\.\\d{4} px\\ncy -?\\d+\\.\\d{4} ± \\d+\\.\\d{4} px\\n"
      "k1 -?\\d+\\.\\d{4} ± \\d+\\.\\d{4}\\nk2 -?\\d+\\.\\d{4} ± \\d+\\.\\d{4}\\n"
      "p1 -?\\d+\\.\\d{4} ± \\d+\\.\\d{4}\\np2 -?\\d+\\.\\d{4} ± \\d+\\.\\d{4}\\n"
      "RMS error \\d+\\.\\d{4} px, mean distance \\d+\\.\\d{4} px\\n"
      "mean \\|dx\\| \\d+\\.\\d{4} px, mean \\|dy\\| \\d+\\.\\d{4} px\\n"
      "field of view \\d+\\.\\d{2}° x \\d+\\.\\d{2}°$");
  EXPECT_TRUE(format.match(text).hasMatch()) << text.toStdString();
  EXPECT_TRUE(text.startsWith("fx 800.0000 ± 0.0000 px\nfy 800.0000 ± 0.0000 px\ncx 319.5000 ± 0.0000 px\n"
                              "cy 239.5000 ± 0.0000 px\n"))
      << text.toStdString();
  // The selected entry grows until the whole text shows.
  const QRect entry = panel.EntryRect(0);
  EXPECT_GE(entry.height(), CStaticDataView::kEntryHeight + CStaticDataView::kEntryExpansion);
  const QFontMetrics metrics(QFont("Verdana", 7));
  EXPECT_GE(entry.height(), CCameraEntryPanel::kTitleHeight + text.count('\n') * metrics.lineSpacing());
  EXPECT_EQ(panel.EntryTitle(0), "Camera 1");
  EXPECT_NEAR(store.GetCameraParameters(0).K[0], 800.0, 1e-3);

  EXPECT_EQ(log.toolCalls, QStringList{"show 0"});
}

TEST_F(DataPanelTest, ViewsWithoutGridPointsCountAgainstTheFiveAndRefuseTheRun) {
  AddCameras(1);
  const SyntheticRig rig = Rig(5);
  ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid));
  store.GetGridPoints(0, 2)->clear();  // a view not yet marked in the editor
  Select(0);
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_EQ(log.messages.size(), 1);
  // The refusal says which view could not take part and why.
  EXPECT_EQ(log.messages[0].toStdString(),
            std::string(kTooFewViewsMessage) + "\n4 of 5 views can take part:\nview 3: incomplete");
  EXPECT_EQ(panel.EntryText(0), "Not calibrated.");
  EXPECT_TRUE(log.toolCalls.isEmpty());
}

TEST_F(DataPanelTest, StereoRigAddsAThirdEntryWithTheRelativePose) {
  AddCameras(1);
  panel.CalibrateStereoRig();  // one camera: refused with the reason
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_EQ(panel.EntryCount(), 1);
  ASSERT_EQ(log.messages.size(), 1);
  EXPECT_TRUE(log.messages[0].endsWith("a stereo rig needs two cameras; the workspace has 1"));
  log.messages.clear();
  AddCameras(1);
  const SyntheticRig rig = Rig(8, true);
  ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid));
  ASSERT_TRUE(AddSyntheticViews(store, 1, rig.cameras[1], rig.grid));
  panel.CalibrateStereoRig();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_TRUE(log.messages.isEmpty()) << log.messages.join("|").toStdString();
  ASSERT_EQ(panel.EntryCount(), 3);
  EXPECT_EQ(panel.EntryTitle(2), "Stereo Rig");
  const QString text = panel.EntryText(2);
  const QStringList lines = text.split('\n');
  ASSERT_EQ(lines.size(), 5) << text.toStdString();
  EXPECT_EQ(lines[0], "Stereo Rig between cameras 1 and 2");
  // The rotation in degrees about its axis, T and the baseline in the grid's unit, the rig's RMS error.
  const QRegularExpression rotation("^rotation (\\d+\\.\\d{4})° about \\((-?\\d+\\.\\d{4}), (-?\\d+\\.\\d{4}), (-?\\d+\\.\\d{4})\\)$");
  const QRegularExpressionMatch r = rotation.match(lines[1]);
  ASSERT_TRUE(r.hasMatch()) << lines[1].toStdString();
  EXPECT_NEAR(r.captured(1).toDouble(), 0.05 * 180.0 / M_PI, 1e-3);
  EXPECT_NEAR(std::abs(r.captured(3).toDouble()), 1.0, 1e-4);
  const QRegularExpressionMatch t = QRegularExpression("^T (-?\\d+\\.\\d{4}) -?\\d+\\.\\d{4} -?\\d+\\.\\d{4} mm$").match(lines[2]);
  ASSERT_TRUE(t.hasMatch()) << lines[2].toStdString();
  EXPECT_NEAR(t.captured(1).toDouble(), -120.0, 1e-3);
  const QRegularExpressionMatch b = QRegularExpression("^baseline (\\d+\\.\\d{4}) mm$").match(lines[3]);
  ASSERT_TRUE(b.hasMatch()) << lines[3].toStdString();
  EXPECT_NEAR(b.captured(1).toDouble(), 120.0, 1e-3);
  EXPECT_TRUE(QRegularExpression("^RMS error \\d+\\.\\d{4} px, mean distance \\d+\\.\\d{4} px$").match(lines[4]).hasMatch())
      << lines[4].toStdString();

  // The cameras show the results the rig stored, the same as `lentora stereo` prints.
  for (int camera = 0; camera < 2; ++camera) {
    EXPECT_EQ(panel.EntryText(camera).toStdString(), CalibrationText(store.GetCalibrationProblem(camera)));
    EXPECT_EQ(store.GetCameraParameters(camera).K, store.GetCalibrationProblem(camera).GetParameters().K);
  }
  // A new camera's entry goes before the rig's, which never shifts the cameras.
  panel.NewCamera();
  ASSERT_EQ(panel.EntryCount(), 4);
  EXPECT_EQ(panel.EntryTitle(2), "Camera 3");
  EXPECT_EQ(panel.EntryTitle(3), "Stereo Rig");
  // A second run replaces the rig's entry.
  panel.CalibrateStereoRig();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_EQ(panel.EntryCount(), 4);
}

TEST_F(DataPanelTest, StereoRigThatCannotBeFormedIsReportedAndAddsNoEntry) {
  AddCameras(2);
  const SyntheticRig rig = Rig(6);
  ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid));  // camera 1 has no views
  panel.CalibrateStereoRig();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_EQ(panel.EntryCount(), 2);
  ASSERT_EQ(log.messages.size(), 1);
  EXPECT_TRUE(log.messages[0].startsWith("The stereo rig could not be calibrated"));
}

TEST_F(DataPanelTest, LoadingParametersNeedsASelectionAndShowsTheFileValues) {
  AddCameras(1);
  log.nextParameterFile = "";  // cancelled: nothing at all
  panel.KeyPressed(Qt::Key_L);
  EXPECT_TRUE(log.messages.isEmpty());

  log.nextParameterFile = QString::fromStdString(temp.File("missing.txt"));
  panel.KeyPressed(Qt::Key_L);
  ASSERT_EQ(log.messages.size(), 1);
  EXPECT_EQ(log.messages[0], kNoSelectionMessage);

  CCalibrationData other;
  other.AddCamera();
  CameraParameters p;
  p.K = {700.25, 0, 310.5, 0, 705.75, 240.125, 0, 0, 1};
  p.distortion = {-0.2, 0.05, 0.001, -0.002, 0};
  other.SetCameraParameters(0, p);
  ASSERT_TRUE(other.WriteIntrinsicFile(0, temp.File("Camera_0_Intrinsic.txt")));

  Select(0);
  panel.KeyPressed(Qt::Key_L);  // a file that cannot be opened: said so, parameters kept
  ASSERT_EQ(log.messages.size(), 2);
  EXPECT_TRUE(log.messages[1].startsWith("The parameter file could not be read"));
  EXPECT_EQ(panel.EntryText(0), "Not calibrated.");
  log.nextParameterFile = QString::fromStdString(temp.File("Camera_0_Intrinsic.txt"));
  // The button does what the L key does.
  CHoverButtonEx* button = panel.Button(CStaticDataView::kIdLoadParameters);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->TooltipText(), "Load parameters... (L)");
  button->click();
  EXPECT_EQ(panel.EntryText(0),
            "fx 700.2500 px\nfy 705.7500 px\ncx 310.5000 px\ncy 240.1250 px\n"
            "k1 -0.2000\nk2 0.0500\np1 0.0010\np2 -0.0020\n");
  EXPECT_EQ(store.GetCameraParameters(0).K[0], 700.25);
  EXPECT_EQ(log.messages.size(), 2);
}

TEST_F(DataPanelTest, DoubleClickOpensTheEditorOnTheClickedViewOfTheSelectedCamera) {
  AddCameras(2);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(store.AddViewFromFrame(1, cv::Mat(8, 8, CV_8UC3, cv::Scalar(i, i, i))));
  panel.DoubleClick(300, 50);  // no selection
  Select(1);
  panel.DoubleClick(100, 50);  // entry side
  EXPECT_TRUE(log.editorOpened.empty());
  const QPoint third = panel.ImageList()->ThumbnailRect(2).center();
  panel.DoubleClick(CStaticDataView::kListLeft + third.x(), CStaticDataView::kListTop + third.y());
  ASSERT_EQ(log.editorOpened.size(), 1u);
  EXPECT_EQ(log.editorOpened[0], std::make_pair(1, 2));
  EXPECT_EQ(panel.ImageList()->SelectedView(), 2);
  panel.DoubleClick(CStaticDataView::kListLeft + 5 * 45 + 20, CStaticDataView::kListTop + 20);  // no view there
  EXPECT_EQ(log.editorOpened.size(), 1u);
}

// Colour of the centre of a view's thumbnail in the list's back buffer.
QColor ThumbnailCentre(CImageListControl& list, int view) {
  list.Draw();
  return list.BackBuffer().pixelColor(list.ThumbnailRect(view).center());
}

TEST_F(DataPanelTest, DisableTintsTheSelectedThumbnailAndEnableRemovesIt) {
  AddCameras(1);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(store.AddViewFromFrame(0, cv::Mat(48, 64, CV_8UC3, cv::Scalar(0, 0, 0))));
  Select(0);
  CImageListControl& list = *panel.ImageList();
  const QColor plain = ThumbnailCentre(list, 1);
  EXPECT_EQ(plain, QColor(0, 0, 0));

  panel.Click(CStaticDataView::kListLeft + 10 + 45 + 5, CStaticDataView::kListTop + 15);  // view 1
  EXPECT_EQ(list.SelectedView(), 1);
  list.ToggleSelectedView();
  EXPECT_EQ(store.IsViewEnabled(0, 1), 0);
  const QColor tinted = ThumbnailCentre(list, 1);
  EXPECT_GT(tinted.red(), 120);
  EXPECT_GT(tinted.green(), 60);
  EXPECT_LT(tinted.blue(), tinted.red());
  EXPECT_EQ(ThumbnailCentre(list, 0), plain);

  list.ToggleSelectedView();
  EXPECT_EQ(store.IsViewEnabled(0, 1), 1);
  EXPECT_EQ(ThumbnailCentre(list, 1), plain);

  list.Click(300, 10);  // past the last view: Disable changes nothing
  list.ToggleSelectedView();
  EXPECT_EQ(store.IsViewEnabled(0, 0), 1);
  EXPECT_EQ(store.IsViewEnabled(0, 1), 1);
}

TEST_F(DataPanelTest, AddImagesAppendsEveryChosenFileInOrderAndNamesEachRefusal) {
  AddCameras(1);
  Select(0);
  const std::string a = temp.File("a.png"), b = temp.File("b.jpg"), c = temp.File("c.png"), cut = temp.File("cut.jpg");
  ASSERT_TRUE(cv::imwrite(a, cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 0, 255))));
  ASSERT_TRUE(cv::imwrite(b, cv::Mat(20, 10, CV_8UC3, cv::Scalar(255, 0, 0))));
  ASSERT_TRUE(cv::imwrite(c, cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 255, 0))));
  cv::Mat noise(30, 40, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", noise, jpeg));
  temp.Write("cut.jpg", std::string(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2)));
  log.nextImageFiles = {QString::fromStdString(a), QString::fromStdString(b), QString::fromStdString(c),
                        QString::fromStdString(cut), QString::fromStdString(temp.File("no.png"))};
  panel.ImageList()->AddImages();
  // Another size, a truncated JPEG and a missing file add nothing, and each says why.
  ASSERT_EQ(store.GetViewCount(0), 2);
  ASSERT_EQ(log.messages.size(), 1);
  const QStringList lines = log.messages[0].split('\n');
  ASSERT_EQ(lines.size(), 4) << log.messages[0].toStdString();
  EXPECT_EQ(lines[0], "These files were not added:");
  EXPECT_TRUE(lines[1].contains("b.jpg") && lines[1].contains("10x20") && lines[1].contains("40x30")) << lines[1].toStdString();
  EXPECT_TRUE(lines[2].contains("cut.jpg") && lines[2].contains("does not decode cleanly")) << lines[2].toStdString();
  EXPECT_TRUE(lines[3].contains("no.png")) << lines[3].toStdString();
  EXPECT_EQ(store.GetViewImage(0, 0)->cols, 40);
  EXPECT_EQ(store.GetViewImage(0, 1)->at<cv::Vec3b>(5, 5), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(store.IsViewEnabled(0, 1), 1);
  EXPECT_FALSE(store.ViewHasPoints(0, 1));
}

TEST(ImageListFilter, FrameworkFilterBecomesQtNameFilters) {
  EXPECT_EQ(QtFileFilter(CImageListControl::kImageFilter),
            "Image Files (*.bmp *.jpg *.tif *.png *.gif);;All Files (*.*)");
}

// The results text wraps after a comma, never between a number and its label
// or unit; a part wider than the entry is broken where it must, nothing lost.
TEST(CameraEntryText, WrapsAfterACommaAndKeepsNumbersWithTheirUnits) {
  WithApplication application;
  CCameraEntryPanel entry;
  const QString text = "fx 799.3917 \u00b1 1.2206 px\nRMS error 0.1418 px, mean distance 0.1250 px\n"
                       "mean |dx| 0.0790 px, mean |dy| 0.0804 px\nT " + QString(120, '7') + " mm";
  entry.SetTexts("Camera 1", text);
  const QStringList wide = entry.DrawnLines(4000);
  ASSERT_EQ(wide.size(), 4) << wide.join('|').toStdString();

  const QStringList shown = entry.DrawnLines(CStaticDataView::kEntryWidth);
  ASSERT_GE(shown.size(), 7) << shown.join('|').toStdString();
  EXPECT_EQ(shown.mid(0, 5), (QStringList{"fx 799.3917 \u00b1 1.2206 px", "RMS error 0.1418 px, ", "mean distance 0.1250 px",
                                          "mean |dx| 0.0790 px, ", "mean |dy| 0.0804 px"}))
      << shown.join('|').toStdString();
  EXPECT_EQ(shown.mid(5).join(""), "T " + QString(120, '7') + " mm") << "broken where it must, nothing lost";
  EXPECT_GT(entry.HeightForText(CStaticDataView::kEntryWidth), entry.HeightForText(4000));
}

// ---- In the main window ----

class WorkbenchDataPanelTest : public ::testing::Test, public WithApplication {
 protected:
  WorkbenchDataPanelTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    Script(*window.CalibrationPanel(), log);
  }
  ~WorkbenchDataPanelTest() override { unsetenv("LENTORA_OUTPUT_DIR"); }

  TempDir temp;
  ScriptedWorkbench window;
  PanelLog log;
};

TEST_F(WorkbenchDataPanelTest, ClicksReachThePanelInBothLayouts) {
  CStaticDataView& panel = *window.CalibrationPanel();
  EXPECT_EQ(window.DataPanel(), &panel);
  ASSERT_EQ(window.Expanded(), 1);
  panel.NewCamera();
  panel.NewCamera();
  for (int camera = 0; camera < 2; ++camera)
    for (int v = 0; v < 2; ++v) ASSERT_TRUE(window.Data().AddViewFromFrame(camera, cv::Mat(8, 8, CV_8UC3)));
  window.LeftButtonDown(window.LowerPanelRect().topLeft() + QPoint(50, 50));
  EXPECT_EQ(panel.SelectedCamera(), 1);
  window.LeftButtonDoubleClick(window.LowerPanelRect().topLeft() + QPoint(300, 50));
  ASSERT_EQ(log.editorOpened.size(), 1u);

  window.OnSmallView();
  window.OnSmallView();
  window.OnSmallView();  // workspace -> sources -> calibration data
  ASSERT_EQ(window.ViewMode(), 2);
  window.LeftButtonDown(window.PanelRect().topLeft() + QPoint(50, 20));
  EXPECT_EQ(panel.SelectedCamera(), 0);
  window.LeftButtonDoubleClick(window.PanelRect().topLeft() + QPoint(300, 50));
  ASSERT_EQ(log.editorOpened.size(), 2u);
  EXPECT_EQ(log.editorOpened[0], std::make_pair(1, 1));  // (300, 50) is on the second thumbnail
  EXPECT_EQ(log.editorOpened[1], std::make_pair(0, 1));
}

TEST_F(WorkbenchDataPanelTest, LoadedWorkspaceCamerasGetEntriesAndLGoesToThePanel) {
  CCalibrationData source;
  source.AddCamera();
  source.AddCamera();
  ASSERT_TRUE(source.AddViewFromFrame(1, cv::Mat(24, 32, CV_8UC3, cv::Scalar(9, 9, 9))));
  ASSERT_TRUE(SaveWorkspaceTo(source, temp.File("space.txt")).ok);
  window.OpenPath(QString::fromStdString(temp.File("space.txt")));
  CStaticDataView& panel = *window.CalibrationPanel();
  ASSERT_EQ(panel.EntryCount(), 2);
  EXPECT_EQ(window.Data().GetCameraCount(), 2);
  panel.SelectEntry(1);
  EXPECT_EQ(panel.ImageList()->Camera(), 1);
  EXPECT_FALSE(window.HasUnsavedChanges());  // loaded into an empty workbench: as saved
  panel.Click(100, 160);                     // below the entries: nothing selected

  log.nextParameterFile = "x";
  QTest::keyClick(&window, Qt::Key_L);
  ASSERT_EQ(log.messages.size(), 1);
  EXPECT_EQ(log.messages[0], kNoSelectionMessage);
}

TEST_F(WorkbenchDataPanelTest, WKeySavesOnlyTheMainWindowWhenToolsAreHidden) {
  QWidget editor, results;
  window.ConnectToolWindows(&editor, &results, DataPanelTools{});
  window.KeyPressed(Qt::Key_W);
  EXPECT_TRUE(QFile::exists(QString::fromStdString(temp.File("Main.jpg"))));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(temp.File("Obj.jpg"))));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(temp.File("3D.jpg"))));
}

TEST_F(WorkbenchDataPanelTest, StartupWorkspaceIsReadyToCalibrateWithOnePress) {
  CCalibrationData source;
  source.AddCamera();
  ASSERT_TRUE(SaveWorkspaceTo(source, temp.File("space.txt")).ok);
  window.OpenStartupWorkspace(QString::fromStdString(temp.File("space.txt")));
  EXPECT_EQ(window.CalibrationPanel()->SelectedCamera(), 0);
  window.CalibrationPanel()->Calibrate();
  ASSERT_TRUE(window.CalibrationPanel()->WaitForCalibration());
  ASSERT_EQ(log.messages.size(), 1);  // no views: the five-view message, not silence
}

// A synthetic workspace calibrated from the panel with the real 3D window,
// pictured for a person to look at (from the screen under Xvfb, rendered
// offscreen otherwise).
TEST(DataPanelScreenshot, CalibratedSyntheticWorkspace) {
  // With a display the 3D window gets a real GL picture; the xcb platform
  // cannot start under AddressSanitizer, so sanitized runs stay offscreen.
#if !defined(__SANITIZE_ADDRESS__)
  const char* display = std::getenv("DISPLAY");
  if (QApplication::instance() == nullptr && display != nullptr && *display != '\0')
    qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
#endif
  TestApplication();
  TempDir temp;
  setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
  ScriptedWorkbench window(TestGraphicsParent(), CreateCalib3DScene);
  QStringList messages;
  CStaticDataView& panel = *window.CalibrationPanel();
  panel.SetPrompts({[&messages](const QString& text) { messages << text; }, {}, {}, {}});
  SyntheticOptions options;
  options.views = 8;
  options.render.supersampling = 2;
  const SyntheticRig rig = MakeSyntheticRig(options);
  panel.NewCamera();
  panel.NewCamera();
  CCalibrationData& store = window.Data();
  ASSERT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid));
  store.DisableView(0, 3);
  window.move(20, 20);
  window.show();
  window.LeftButtonDown(window.LowerPanelRect().topLeft() + QPoint(50, 20));
  panel.Click(CStaticDataView::kListLeft + 10 + 5, CStaticDataView::kListTop + 15);
  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_TRUE(messages.isEmpty());
  EXPECT_TRUE(panel.EntryText(0).startsWith("fx 8")) << panel.EntryText(0).toStdString();

  auto* editor = window.findChild<CObjectEditDlg*>();
  ASSERT_NE(editor, nullptr);
  EXPECT_FALSE(editor->isVisible());
  auto* results = window.findChild<CCalib3DScene*>();
  ASSERT_NE(results, nullptr);
  EXPECT_TRUE(results->isVisible());
  // Beside the main window, not over its results.
  EXPECT_EQ(results->pos(), PlaceBeside(window.frameGeometry(), results->size(), window.screen()->availableGeometry()).window);
  // The disabled view took no part in the run and is not drawn.
  EXPECT_EQ(results->Content().ViewCount(), options.views - 1);

  QDir().mkpath(TestScreenshotDir());
  const QString dir = TestScreenshotDir();
  EXPECT_TRUE(ScreenPicture(window, 300).save(dir + "/data_panel_calibrated.png"));
  window.LeftButtonDoubleClick(window.LowerPanelRect().topLeft() + QPoint(300, 50));
  EXPECT_TRUE(editor->isVisible());
  EXPECT_EQ(editor->Camera(), 0);
  EXPECT_EQ(editor->View(), 1);  // the thumbnail double-clicked
  EXPECT_TRUE(ScreenPicture(*results, 300).save(dir + "/data_panel_results_3d.png"));
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") {
    EXPECT_TRUE(results->HasOpenGL()) << "CI runs this under the X server of the test command";
  }
  if (results->HasOpenGL()) {
    // The calibrated grids and pyramids leave more than the white background and the axes.
    const QImage picture = results->GrabPicture();
    int dark = 0;
    for (int y = 0; y < picture.height(); ++y)
      for (int x = 0; x < picture.width(); ++x) dark += qGray(picture.pixel(x, y)) < 64 ? 1 : 0;
    EXPECT_GT(dark, 200);
    EXPECT_TRUE(picture.save(dir + "/data_panel_results_3d_gl.png"));
  }
  unsetenv("LENTORA_OUTPUT_DIR");
}


// The whole screen under Xvfb (the main window and the 3D window beside it);
// offscreen only the 3D window can be pictured.
QImage DesktopPicture(QWidget& results) {
  results.raise();
  QTest::qWait(300);
  QApplication::processEvents();
  if (QGuiApplication::platformName() == "xcb" && results.screen())
    return results.screen()->grabWindow(0).toImage();
  return results.grab().toImage();
}

// The sample workspace as a new user meets it: one press of Calibrate, both
// modes of the 3D window, and a second press that must replace the scene
// rather than add a second set of grids and pyramids.
TEST(DataPanelScreenshot, SampleWorkspaceCalibratedTwiceInBothModes) {
#if !defined(__SANITIZE_ADDRESS__)
  const char* display = std::getenv("DISPLAY");
  if (QApplication::instance() == nullptr && display != nullptr && *display != '\0')
    qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
#endif
  TestApplication();
  TempDir temp;
  setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
  ScriptedWorkbench window(TestGraphicsParent(), CreateCalib3DScene);
  CStaticDataView& panel = *window.CalibrationPanel();
  QStringList messages;
  panel.SetPrompts({[&messages](const QString& text) { messages << text; }, {}, {}, {}});
  window.show();
  // In the middle of the screen, as a window manager places it: no side has
  // room for the 3D window, so the main window moves aside for it.
  const QRect screen = window.screen()->availableGeometry();
  window.move(screen.left() + (screen.width() - window.frameGeometry().width()) / 2, screen.top() + 20);
  window.OpenStartupWorkspace(QString(TestSourceDir()) + "/samples/workspace.txt");
  ASSERT_EQ(window.Data().GetCameraCount(), 1);
  ASSERT_EQ(panel.SelectedCamera(), 0);
  const int views = window.Data().GetViewCount(0);

  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
  auto* results = window.findChild<CCalib3DScene*>();
  ASSERT_NE(results, nullptr);
  ASSERT_TRUE(results->isVisible());
  EXPECT_EQ(results->pos(), PlaceBeside(window.frameGeometry(), results->size(), window.screen()->availableGeometry()).window);
  if (QGuiApplication::platformName() == "xcb") {  // a screen wide enough for both
    EXPECT_FALSE(results->frameGeometry().intersects(window.frameGeometry())) << "beside, not over, the main window";
  }
  EXPECT_EQ(results->Content().ViewCount(), views);
  const QString dir = TestScreenshotDir();
  QDir().mkpath(dir);
  EXPECT_TRUE(DesktopPicture(*results).save(dir + "/sample_calibrated_camera_centred.png"));
  results->Button(CCalib3DScene::kViewModeId)->click();
  EXPECT_EQ(results->Content().ViewMode(), D3D::kObjectCentred);
  EXPECT_TRUE(DesktopPicture(*results).save(dir + "/sample_calibrated_object_centred.png"));
  const QImage objectCentred = results->GrabPicture();

  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  EXPECT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
  EXPECT_EQ(results->Content().ViewCount(), views) << "the second run replaces the first";
  EXPECT_TRUE(DesktopPicture(*results).save(dir + "/sample_calibrated_second_run.png"));
  if (results->HasOpenGL() && results->Content().ViewMode() == D3D::kObjectCentred) {
    EXPECT_EQ(results->GrabPicture(), objectCentred) << "the same run drawn again gives the same picture";
  }
  if (QGuiApplication::platformName() == "xcb") {
    EXPECT_TRUE(window.screen()->grabWindow(0).save(dir + "/3d_window_placement.png"));
  }

  // The 3D window follows the cameras: a camera inserted before the shown
  // one keeps its results, the shown camera's removal takes them away.
  EXPECT_EQ(results->ShownCamera(), 0);
  panel.InsertCamera(0);
  EXPECT_EQ(results->ShownCamera(), 1);
  EXPECT_TRUE(results->isVisible());
  panel.RemoveCamera(0);
  EXPECT_EQ(results->ShownCamera(), 0);
  EXPECT_EQ(results->Content().ViewCount(), views);
  // A removed view forgets the run: the window does not keep showing it.
  window.Data().RemoveView(0, 0);
  results->RunChanged(0);
  EXPECT_EQ(results->ShownCamera(), -1);
  EXPECT_FALSE(results->isVisible());
  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_TRUE(results->isVisible());
  EXPECT_EQ(results->Content().ViewCount(), views - 1);
  panel.RemoveCamera(0);
  EXPECT_EQ(results->ShownCamera(), -1);
  EXPECT_FALSE(results->isVisible()) << "a removed camera's results stay on the screen";
  EXPECT_EQ(results->Content().ViewCount(), 0);
  unsetenv("LENTORA_OUTPUT_DIR");
}

}  // namespace
