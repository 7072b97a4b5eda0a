// The data panel's entries follow the store's cameras through every path that
// changes them (new camera, sources and their splits and removal, workspace
// loads, the stereo rig, the panel's own Remove buttons), on the real store
// with the real panels of the main window. Also: scrolling, the view and
// camera removal questions, New workspace, closing, Minimize and Options.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include "UiTestSupport.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "records/Paths.h"
#include "core/Workspace.h"
#include "sources/test_media_fixtures.h"
#include "support/TempDir.h"
#include "support/SyntheticStore.h"
#include "support/TestPaths.h"
#include "ui/ApplicationSettings.h"
#include "ui/GridDetector.h"
#include "ui/ImageListControl.h"
#include "ui/ObjectEditDlg.h"
#include "ui/OptionsDlg.h"
#include "ui/RemoveSourceOptionsDlg.h"
#include "ui/SourceSetupDlg.h"
#include "ui/StaticDataView.h"
#include "ui/StaticSourcesView.h"
#include "ui/VideoPlayerControl.h"
#include "widgets/HoverButtonEx.h"
#include "widgets/ScrollBarEx.h"

namespace {

cv::Mat Frame(int grey) { return cv::Mat(48, 64, CV_8UC3, cv::Scalar(grey, grey, grey)); }

// The grey level of a stored view (its top-left pixel).
int GreyOf(const CCalibrationData& store, int camera, int view) {
  const ViewPixels image = store.GetViewImage(camera, view);
  return image ? image->at<cv::Vec3b>(0, 0)[0] : -1;
}

class CameraEntriesTest : public ::testing::Test, public WithApplication {
 protected:
  CameraEntriesTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    SetSourceMessageHandler([this](const QString& text) { sourceMessages << text; });
    window.OnExpandView();
    panel.SetPrompts({[this](const QString& text) { messages << text; }, {}, [this] { return nextImageFiles; },
                      [this](const QString& text, QMessageBox::StandardButtons) {
                        questions << text;
                        return nextAnswer;
                      }});
    DataPanelTools tools;
    tools.openEditor = [this](int camera, int view) { editorOpened.emplace_back(camera, view); };
    panel.SetTools(tools);
  }
  ~CameraEntriesTest() override {
    SetSourceMessageHandler({});
    unsetenv("LENTORA_OUTPUT_DIR");
  }

  // A workspace of two cameras with eight complete synthetic views each.
  std::string StereoWorkspace() {
    SyntheticOptions options;
    options.views = 8;
    options.renderImages = false;
    options.stereo = true;
    options.stereoRotation = {0.0, 0.05, 0.0};
    options.stereoTranslation = {-120.0, 0.0, 0.0};
    const SyntheticRig rig = MakeSyntheticRig(options);
    CCalibrationData source;
    EXPECT_TRUE(AddSyntheticRig(source, rig));
    const std::string path = temp.File("stereo.txt");
    EXPECT_TRUE(SaveWorkspaceTo(source, path).ok);
    return path;
  }

  QString Video() {
    const QString path = QString::fromStdString(temp.File("clip.avi"));
    if (!QFile::exists(path)) {
      media_test::VideoSpec spec;
      spec.frames = 10;
      EXPECT_TRUE(media_test::MakeNumberedAvi(path.toStdString(), spec));
    }
    return path;
  }

  void SelectSource(int source) {
    const QRect r = sources.PanelRect(source);
    sources.Click(r.center().x(), r.top() + 5);
  }
  void SetSplit(int source, CSourceSetupDlg::Box split) {
    SelectSource(source);
    sources.SetSetupDialogRunner([split](CSourceSetupDlg& dialog) {
      dialog.Click(dialog.BoxRect(split).center());
      return true;
    });
    sources.SetupSource();
  }
  void RemoveSource(int source, int button) {
    SelectSource(source);
    sources.SetRemoveDialogRunner([button](CRemoveSourceOptionsDlg& dialog) {
      dialog.Button(button)->click();
      return dialog.result() == QDialog::Accepted;
    });
    sources.RemoveSource();
  }
  CVideoPlayerControl* Player(int source) { return dynamic_cast<CVideoPlayerControl*>(sources.Control(source)); }

  // Every entry names its camera, the rig's comes last, and the list shows the selected camera.
  void ExpectEntriesFollowTheStore() {
    const int cameras = store.GetCameraCount();
    ASSERT_EQ(panel.CameraCount(), cameras);
    ASSERT_EQ(panel.EntryCount(), cameras + (panel.HasRigEntry() ? 1 : 0));
    for (int e = 0; e < cameras; ++e) EXPECT_EQ(panel.EntryTitle(e), QString("Camera %1").arg(e + 1));
    if (panel.HasRigEntry()) {
      EXPECT_EQ(panel.EntryTitle(cameras), "Stereo Rig");
    }
    EXPECT_EQ(panel.ImageList()->Camera(), panel.SelectedCamera());
  }

  TempDir temp;
  ScriptedWorkbench window;
  CStaticDataView& panel = *window.CalibrationPanel();
  CStaticSourcesView& sources = *window.SourcesView();
  CCalibrationData& store = window.Data();
  QStringList messages;
  QStringList sourceMessages;  // of the source controls
  QStringList questions;
  QMessageBox::StandardButton nextAnswer = QMessageBox::Yes;
  QStringList nextImageFiles;
  std::vector<std::pair<int, int>> editorOpened;
};

// Seen: after the rig's entry, "New camera" made "Camera 4", whose Add images
// addressed a camera that does not exist and aborted the program.
TEST_F(CameraEntriesTest, NewCameraAfterTheRigRunGetsTheNextEntryBeforeTheRig) {
  window.OpenPath(QString::fromStdString(StereoWorkspace()));
  panel.Button(CStaticDataView::kIdCalibrateStereo)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_TRUE(panel.HasRigEntry()) << messages.join("|").toStdString();
  panel.Button(CStaticDataView::kIdNewCamera)->click();
  ExpectEntriesFollowTheStore();
  EXPECT_EQ(panel.EntryTitle(2), "Camera 3");

  const std::string image = temp.File("extra.png");
  ASSERT_TRUE(cv::imwrite(image, Frame(77)));
  nextImageFiles = {QString::fromStdString(image)};
  panel.SelectEntry(2);
  panel.ImageList()->Button(CImageListControl::kIdAddImages)->click();
  EXPECT_EQ(store.GetViewCount(2), 1);
  EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();

  panel.SelectEntry(3);  // the rig's entry has no views and no camera to calibrate
  EXPECT_FALSE(panel.ImageList()->isVisibleTo(&panel));
  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages[0], "Please select a camera to calibrate.");
}

// Seen: open a video, "New camera", Stereo, remove the source with "Yes", then
// Add images on "Camera 1": the entry's list still pointed at a camera gone.
TEST_F(CameraEntriesTest, RemovingASplitSourceLeavesTheOtherCameraUnderTheFirstEntry) {
  window.OpenPath(Video());
  panel.NewCamera();
  ASSERT_TRUE(store.AddViewFromFrame(1, Frame(150)));
  SetSplit(0, CSourceSetupDlg::Box::kSplitStereo);
  ExpectEntriesFollowTheStore();
  ASSERT_EQ(store.GetCameraCount(), 3);
  EXPECT_EQ(GreyOf(store, 2, 0), 150);  // the new camera moved behind the source's two

  RemoveSource(0, CRemoveSourceOptionsDlg::kIdYes);
  ExpectEntriesFollowTheStore();
  ASSERT_EQ(store.GetCameraCount(), 1);
  panel.SelectEntry(0);
  EXPECT_EQ(panel.ImageList()->Camera(), 0);
  EXPECT_EQ(GreyOf(store, 0, 0), 150);

  const std::string image = temp.File("more.png");
  ASSERT_TRUE(cv::imwrite(image, Frame(90)));
  nextImageFiles = {QString::fromStdString(image)};
  panel.ImageList()->Button(CImageListControl::kIdAddImages)->click();
  EXPECT_EQ(store.GetViewCount(0), 2);
  EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
}

// Seen: with two sources, Stereo on the first made "Camera 2" show the other
// source's views, and Calibrate and the editor acted on the entry's position.
TEST_F(CameraEntriesTest, EntriesCaptureCalibrateAndEditTheCameraTheyShow) {
  window.OpenPath(Video());
  window.OpenPath(Video());
  SetSplit(0, CSourceSetupDlg::Box::kSplitStereo);
  ExpectEntriesFollowTheStore();
  ASSERT_EQ(sources.FirstCameraOf(1), 2);

  panel.SelectEntry(2);
  ASSERT_EQ(Player(1)->Capture(), 1);
  EXPECT_EQ(store.GetViewCount(2), 1);
  // The capture shows at once, without selecting another entry and back.
  CImageListControl& list = *panel.ImageList();
  EXPECT_NE(list.BackBuffer().pixel(list.ThumbnailRect(0).center()), CImageListControl::kBackgroundColour);

  panel.SelectEntry(1);  // the inserted entry shows its own camera: no views
  EXPECT_EQ(list.Camera(), 1);
  EXPECT_EQ(list.ThumbnailRect(0), QRect());
  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_EQ(messages.size(), 1);  // camera 1 has too few views, whatever camera 2 holds

  panel.SelectEntry(2);
  const QPoint first = list.ThumbnailRect(0).center();
  panel.DoubleClick(CStaticDataView::kListLeft + first.x(), CStaticDataView::kListTop + first.y());
  ASSERT_EQ(editorOpened.size(), 1u);
  EXPECT_EQ(editorOpened[0], std::make_pair(2, 0));

  // After removing the first source, the second's camera and views are entry 0.
  RemoveSource(0, CRemoveSourceOptionsDlg::kIdYes);
  ExpectEntriesFollowTheStore();
  ASSERT_EQ(store.GetCameraCount(), 1);
  EXPECT_EQ(sources.FirstCameraOf(0), 0);
  panel.SelectEntry(0);
  ASSERT_EQ(Player(0)->Capture(), 1);
  EXPECT_EQ(store.GetViewCount(0), 2);
  EXPECT_NE(list.BackBuffer().pixel(list.ThumbnailRect(1).center()), CImageListControl::kBackgroundColour);
}

// Random sequences of every camera-changing action keep entries and store in
// step, and no action ever reaches a camera that does not exist.
TEST_F(CameraEntriesTest, AnySequenceOfCameraChangesKeepsEntriesOnTheStore) {
  const QString video = Video();
  uint32_t state = 12345;
  const auto next = [&state](int n) {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 16) % static_cast<uint32_t>(n));
  };
  const CSourceSetupDlg::Box splits[] = {CSourceSetupDlg::Box::kSplitNone, CSourceSetupDlg::Box::kSplitStereo,
                                         CSourceSetupDlg::Box::kSplitQuad};
  const std::string image = temp.File("step.png");
  ASSERT_TRUE(cv::imwrite(image, Frame(60)));
  nextImageFiles = {QString::fromStdString(image)};
  for (int step = 0; step < 60; ++step) {
    const int action = next(7);
    if (action == 0) panel.NewCamera();
    else if (action == 1 && sources.SourceCount() < 3) window.OpenPath(video);
    else if (action == 2 && sources.SourceCount() > 0) SetSplit(next(sources.SourceCount()), splits[next(3)]);
    else if (action == 3 && sources.SourceCount() > 0)
      RemoveSource(next(sources.SourceCount()), next(2) ? CRemoveSourceOptionsDlg::kIdYes : CRemoveSourceOptionsDlg::kIdNo);
    else if (action == 4 && panel.EntryCount() > 0) {
      panel.SelectEntry(next(panel.EntryCount()));
      panel.Button(CStaticDataView::kIdRemoveCamera)->click();
    } else if (action == 5 && panel.EntryCount() > 0) {
      panel.SelectEntry(next(panel.EntryCount()));
      panel.ImageList()->Button(CImageListControl::kIdAddImages)->click();
    } else if (action == 6) {
      for (int s = 0; s < sources.SourceCount(); ++s) Player(s)->Capture();
    }
    ExpectEntriesFollowTheStore();
    for (int s = 0; s < sources.SourceCount(); ++s)
      for (int32_t camera : sources.Control(s)->GetSettings().subViewCamera)
        EXPECT_LT(camera, store.GetCameraCount()) << "step " << step;
    if (HasFailure()) FAIL() << "step " << step << " action " << action;
  }
  for (const QString& message : messages) EXPECT_FALSE(message.startsWith("The command could not")) << message.toStdString();
}

TEST_F(CameraEntriesTest, LoadWarningsAppearTogetherInOneMessage) {
  CCalibrationData source;
  source.AddCamera();
  for (int v = 0; v < 3; ++v) ASSERT_TRUE(source.AddViewFromFrame(0, Frame(30 * v)));
  const std::string index = temp.File("space.txt");
  ASSERT_TRUE(SaveWorkspaceTo(source, index).ok);
  ASSERT_TRUE(QFile::remove(QString::fromStdString(temp.File("Camera_0_Image_0.jpg"))));
  ASSERT_TRUE(QFile::remove(QString::fromStdString(temp.File("Camera_0_Image_2.jpg"))));
  window.OpenPath(QString::fromStdString(index));
  ASSERT_EQ(window.messages.size(), 1) << window.messages.join("|").toStdString();
  const QString& text = window.messages[0];
  EXPECT_TRUE(text.startsWith("The workspace was loaded with warnings:\n")) << text.toStdString();
  EXPECT_TRUE(text.contains("Camera_0_Image_0.jpg")) << text.toStdString();
  EXPECT_TRUE(text.contains("Camera_0_Image_2.jpg")) << text.toStdString();
  ExpectEntriesFollowTheStore();
  EXPECT_EQ(panel.EntryCount(), 1);
}

// ---- Scrolling ----

TEST_F(CameraEntriesTest, ManyCamerasScrollAndNeverCoverTheButtons) {
  for (int i = 0; i < 12; ++i) panel.NewCamera();
  const QRect area = panel.EntryArea();
  CScrollBarEx& bar = *panel.EntryScrollBar();
  EXPECT_TRUE(bar.Needed());
  for (CHoverButtonEx* button : {panel.Button(CStaticDataView::kIdNewCamera), panel.Button(CStaticDataView::kIdRemoveCamera)})
    EXPECT_GT(button->geometry().top(), area.bottom());
  // Entries live inside the area, which clips them above both rows of buttons.
  EXPECT_EQ(panel.EntryArea().bottom(), panel.height() - CStaticDataView::kSecondRowFromBottom - 5 - 1);
  for (CHoverButtonEx* button : {panel.Button(CStaticDataView::kIdResiduals), panel.Button(CStaticDataView::kIdExport)})
    EXPECT_GT(button->geometry().top(), area.bottom());

  panel.SelectEntry(11);  // the last one scrolls into sight, grown
  EXPECT_TRUE(area.contains(panel.EntryRect(11))) << panel.EntryRect(11).top() << " " << area.bottom();
  EXPECT_GT(bar.Offset(), 0);
  panel.Wheel(50, 120 * 20);  // back to the top
  EXPECT_EQ(bar.Offset(), 0);
  EXPECT_EQ(panel.EntryRect(0).top(), CStaticDataView::kEntryTop);
  panel.Wheel(50, -120);
  EXPECT_EQ(bar.Offset(), 3 * ((CStaticDataView::kEntryHeight + CStaticDataView::kEntrySpacing) / 3));
  // A click lands on the entry drawn there, scrolled or not.
  const QRect fifth = panel.EntryRect(4);
  panel.Click(fifth.left() + 10, fifth.top() + 5);
  EXPECT_EQ(panel.SelectedEntry(), 4);
}

TEST_F(CameraEntriesTest, EveryViewOfAHundredCanBeReachedSelectedAndOpened) {
  panel.NewCamera();
  for (int v = 0; v < 100; ++v) ASSERT_TRUE(store.AddViewFromFrame(0, Frame(v)));
  panel.SelectEntry(0);
  CImageListControl& list = *panel.ImageList();
  const QRect area = list.ThumbnailArea();
  EXPECT_TRUE(list.ScrollBar()->Needed());
  for (CHoverButtonEx* button : {list.Button(CImageListControl::kIdAddImages), list.Button(CImageListControl::kIdDisable)})
    EXPECT_GT(button->geometry().top(), area.bottom());

  for (int view : {40, 99, 0, 73}) {
    list.SelectView(view);
    ASSERT_TRUE(area.contains(list.ThumbnailRect(view))) << view;
    const QPoint centre = list.ThumbnailRect(view).center();
    panel.Click(CStaticDataView::kListLeft + centre.x(), CStaticDataView::kListTop + centre.y());
    EXPECT_EQ(list.SelectedView(), view);
    panel.DoubleClick(CStaticDataView::kListLeft + centre.x(), CStaticDataView::kListTop + centre.y());
    ASSERT_FALSE(editorOpened.empty());
    EXPECT_EQ(editorOpened.back(), std::make_pair(0, view));
    // Nothing is drawn below the thumbnail area, where the buttons are.
    list.Draw();
    for (int y = area.bottom() + 1; y < list.height(); ++y)
      ASSERT_EQ(list.BackBuffer().pixel(CImageListControl::kMargin + 20, y), CImageListControl::kBackgroundColour) << y;
    ASSERT_EQ(list.BackBuffer().pixel(area.width() / 2, area.bottom() + 2), CImageListControl::kBackgroundColour);
  }
  const int before = list.ScrollOffset();
  list.Wheel(-120);
  EXPECT_EQ(list.ScrollOffset(), before + CImageListControl::kThumbnailPitch);
}

// ---- Remove view, Remove camera ----

TEST_F(CameraEntriesTest, RemoveViewAsksAndRemovesTheSelectedView) {
  panel.NewCamera();
  for (int v = 0; v < 3; ++v) ASSERT_TRUE(store.AddViewFromFrame(0, Frame(10 * (v + 1))));
  panel.SelectEntry(0);
  CHoverButtonEx& remove = *panel.ImageList()->Button(CImageListControl::kIdRemove);
  remove.click();  // nothing selected
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages[0], "Please select a view to remove.");

  panel.ImageList()->SelectView(1);
  nextAnswer = QMessageBox::No;
  remove.click();
  EXPECT_EQ(store.GetViewCount(0), 3);
  nextAnswer = QMessageBox::Yes;
  remove.click();
  ASSERT_EQ(questions.size(), 2);
  EXPECT_EQ(questions[1], "Remove view 2 of Camera 1?");
  ASSERT_EQ(store.GetViewCount(0), 2);
  EXPECT_EQ(GreyOf(store, 0, 0), 10);
  EXPECT_EQ(GreyOf(store, 0, 1), 30);
}

TEST_F(CameraEntriesTest, RemovingAViewOfAStereoPairOffersThePairedView) {
  panel.NewCamera();
  panel.NewCamera();
  for (int camera = 0; camera < 2; ++camera)
    for (int v = 0; v < 4; ++v) ASSERT_TRUE(store.AddViewFromFrame(camera, Frame(100 * camera + v)));
  panel.SelectEntry(1);
  panel.ImageList()->SelectView(2);
  nextAnswer = QMessageBox::Cancel;
  panel.RemoveSelectedView();
  ASSERT_EQ(questions.size(), 1);
  EXPECT_TRUE(questions[0].contains("paired with view 3 of Camera 1")) << questions[0].toStdString();
  EXPECT_EQ(store.GetViewCount(0), 4);
  EXPECT_EQ(store.GetViewCount(1), 4);

  nextAnswer = QMessageBox::Yes;  // both: pairs stay aligned
  panel.RemoveSelectedView();
  ASSERT_EQ(store.GetViewCount(0), 3);
  ASSERT_EQ(store.GetViewCount(1), 3);
  for (int v = 0; v < 3; ++v) EXPECT_EQ(GreyOf(store, 1, v) - 100, GreyOf(store, 0, v));

  panel.ImageList()->SelectView(0);
  nextAnswer = QMessageBox::No;  // only this camera's
  panel.RemoveSelectedView();
  EXPECT_EQ(store.GetViewCount(0), 3);
  EXPECT_EQ(store.GetViewCount(1), 2);
}

TEST_F(CameraEntriesTest, RemoveCameraAsksAndSourcesFollowTheRenumbering) {
  panel.NewCamera();
  panel.NewCamera();
  window.OpenPath(Video());  // feeds camera 2
  // A view of the video's size: a camera takes views of one size only.
  ASSERT_TRUE(store.AddViewFromFrame(2, cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(200))));
  panel.Button(CStaticDataView::kIdRemoveCamera)->click();  // nothing selected
  ASSERT_EQ(messages.size(), 1);

  panel.SelectEntry(1);
  nextAnswer = QMessageBox::No;
  panel.Button(CStaticDataView::kIdRemoveCamera)->click();
  EXPECT_EQ(store.GetCameraCount(), 3);
  nextAnswer = QMessageBox::Yes;
  panel.Button(CStaticDataView::kIdRemoveCamera)->click();
  EXPECT_EQ(questions.back(), "Remove Camera 2 and its 0 view(s)?");
  ExpectEntriesFollowTheStore();
  ASSERT_EQ(store.GetCameraCount(), 2);
  EXPECT_EQ(GreyOf(store, 1, 0), 200);
  EXPECT_EQ(sources.FirstCameraOf(0), 1);
  ASSERT_EQ(Player(0)->Capture(), 1);
  EXPECT_EQ(store.GetViewCount(1), 2);

  // The source's own camera removed: it feeds nothing rather than another camera.
  panel.SelectEntry(1);
  panel.Button(CStaticDataView::kIdRemoveCamera)->click();
  EXPECT_EQ(sources.Control(0)->GetSettings().subViewCamera[0], kNoCamera);
  EXPECT_EQ(Player(0)->Capture(), 0);
  ASSERT_FALSE(sourceMessages.isEmpty());
  EXPECT_TRUE(sourceMessages.last().contains("feeds no camera")) << sourceMessages.last().toStdString();
  EXPECT_EQ(store.GetViewCount(0), 0);
}

// ---- Main window buttons ----

TEST_F(CameraEntriesTest, NewWorkspaceAsksAboutUnsavedChangesThenClearsEverything) {
  window.Button(CWorkbenchDlg::kIdNewWorkspace)->click();  // nothing to lose: no question
  EXPECT_TRUE(window.questions.isEmpty());
  window.OpenPath(Video());
  ASSERT_TRUE(store.AddViewFromFrame(0, Frame(5)));
  ASSERT_TRUE(window.HasUnsavedChanges());

  window.nextAnswer = QMessageBox::Cancel;
  window.Button(CWorkbenchDlg::kIdNewWorkspace)->click();
  EXPECT_EQ(window.questions.size(), 1);
  EXPECT_EQ(store.GetCameraCount(), 1);

  window.nextAnswer = QMessageBox::Yes;  // save first, to the file asked for
  window.nextSavePath = QString::fromStdString(temp.File("kept.txt"));
  window.Button(CWorkbenchDlg::kIdNewWorkspace)->click();
  EXPECT_TRUE(QFile::exists(window.nextSavePath));
  EXPECT_EQ(store.GetCameraCount(), 0);
  EXPECT_EQ(panel.EntryCount(), 0);
  EXPECT_EQ(sources.SourceCount(), 0);
  EXPECT_FALSE(window.HasUnsavedChanges());

  panel.NewCamera();
  window.nextAnswer = QMessageBox::No;  // discard
  window.Button(CWorkbenchDlg::kIdNewWorkspace)->click();
  EXPECT_EQ(store.GetCameraCount(), 0);
}

TEST_F(CameraEntriesTest, ClosingWithUnsavedChangesAsksAndCancelKeepsTheWindow) {
  window.show();
  EXPECT_TRUE(window.close());  // nothing changed: closes without a question
  EXPECT_TRUE(window.questions.isEmpty());
  window.show();
  panel.NewCamera();
  window.nextAnswer = QMessageBox::Cancel;
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.isVisible());
  window.Button(CWorkbenchDlg::kIdPower)->click();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.questions.size(), 2);
  window.nextAnswer = QMessageBox::No;
  window.Button(CWorkbenchDlg::kIdPower)->click();
  EXPECT_FALSE(window.isVisible());
}

TEST_F(CameraEntriesTest, MinimizeMinimizes) {
  window.show();
  window.Button(CWorkbenchDlg::kIdMinimize)->click();
  EXPECT_TRUE(window.windowState() & Qt::WindowMinimized);
}

TEST_F(CameraEntriesTest, OptionsKeepTheOutputFolderAndDetectionSwitchInTheSettings) {
  unsetenv("LENTORA_OUTPUT_DIR");
  QTemporaryDir settingsFolder;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder.path());
  EXPECT_TRUE(LoadApplicationOptions().detectOnArrival);  // the default
  EXPECT_TRUE(CGridDetector::DetectOnArrival());

  const QString folder = QString::fromStdString(temp.Path());
  QString refusal;
  window.optionsRunner = [&](COptionsDlg& dialog) {
    dialog.FolderField()->setText("/no/such/folder");
    dialog.accept();
    refusal = dialog.Refusal();
    QDir().mkpath(TestScreenshotDir());
    EXPECT_TRUE(dialog.grab().save(QString(TestScreenshotDir()) + "/options_refused_folder.png"));
    dialog.FolderField()->setText(folder);
    dialog.DetectBox()->setChecked(false);
    dialog.accept();
    return dialog.result() == QDialog::Accepted;
  };
  window.Button(CWorkbenchDlg::kIdOptions)->click();
  EXPECT_TRUE(refusal.contains("/no/such/folder"));
  const QSettings settings = ApplicationSettings();
  EXPECT_EQ(settings.value("Output/Folder").toString(), folder);
  EXPECT_FALSE(settings.value("Detection/DetectOnArrival", true).toBool());
  EXPECT_FALSE(CGridDetector::DetectOnArrival()) << "the detection follows the dialog's switch";
  EXPECT_EQ(OutputFolder(), temp.Path());

  window.optionsRunner = [](COptionsDlg& dialog) {
    dialog.FolderField()->setText("");
    return false;  // cancelled: nothing stored
  };
  window.Button(CWorkbenchDlg::kIdOptions)->click();
  EXPECT_EQ(ApplicationSettings().value("Output/Folder").toString(), folder);
  EXPECT_FALSE(CGridDetector::DetectOnArrival());
  SetConfiguredOutputFolder("");
}

// The main window with eight cameras, scrolled to the last, whose image list
// is scrolled too: for a person to look at.
TEST(CameraModelScreenshot, EightCamerasScrolled) {
  TestApplication();
  ScriptedWorkbench window(TestGraphicsParent());
  CStaticDataView& panel = *window.CalibrationPanel();
  SyntheticOptions options;
  options.views = 40;
  options.camera.width = 320;
  options.camera.height = 240;
  options.camera.fx = options.camera.fy = 400;
  options.camera.cx = 159.5;
  options.camera.cy = 119.5;
  options.render.supersampling = 1;
  const SyntheticRig rig = MakeSyntheticRig(options);
  for (int camera = 0; camera < 8; ++camera) {
    panel.NewCamera();
    for (int v = 0; v < 3 + 5 * camera; ++v)
      ASSERT_TRUE(window.Data().AddViewFromFrame(camera, rig.cameras[0].images[v % options.views].clone()));
  }
  window.move(20, 20);
  window.show();
  panel.SelectEntry(7);
  panel.ImageList()->Wheel(-120);
  const QImage picture = ScreenPicture(window, 300);
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(picture.save(QString(TestScreenshotDir()) + "/main_eight_cameras_scrolled.png"));
  EXPECT_GT(panel.EntryScrollBar()->Offset(), 0);
}

}  // namespace
