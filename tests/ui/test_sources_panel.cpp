// The sources panel and its dialogs: adding through "Open video...",
// selecting, set-up with camera insertion and removal, removal with the
// question.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include "UiTestSupport.h"
#include "sources/test_media_fixtures.h"
#include "ui/RemoveSourceOptionsDlg.h"
#include "ui/SourceControl.h"
#include "ui/SourceDetailsPanel.h"
#include "ui/SourceSelectDlg.h"
#include "ui/SourceSetupDlg.h"
#include "ui/ImageListControl.h"
#include "ui/StaticDataView.h"
#include "ui/StaticSourcesView.h"
#include "ui/VideoPlayerControl.h"
#include "support/TestPaths.h"

namespace {

// The camera entries' titles and the cameras their image lists show, in order.
std::vector<int> EntryCameras(CStaticDataView& data) {
  std::vector<int> cameras;
  for (int e = 0; e < data.CameraCount(); ++e) {
    data.SelectEntry(e);
    cameras.push_back(data.ImageList()->Camera());
    EXPECT_EQ(data.EntryTitle(e), QString("Camera %1").arg(e + 1));
  }
  return cameras;
}

class SourcesPanelTest : public ::testing::Test, public WithApplication {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    media_test::VideoSpec spec;
    spec.frames = 10;
    video_ = folder_.filePath("clip.avi");
    ASSERT_TRUE(media_test::MakeNumberedAvi(video_.toStdString(), spec));
    window_ = std::make_unique<ScriptedWorkbench>("");
    window_->OnExpandView();
    panel_ = window_->SourcesView();
    data_ = window_->CalibrationPanel();
  }

  void OpenVideos(int count) {
    for (int i = 0; i < count; ++i) window_->OpenPath(video_);
  }
  void ChooseInSetup(CSourceSetupDlg::Box split, CSourceSetupDlg::Box deinterlace) {
    panel_->SetSetupDialogRunner([=](CSourceSetupDlg& dialog) {
      dialog.Click(dialog.BoxRect(split).center());
      dialog.Click(dialog.BoxRect(deinterlace).center());
      return true;
    });
    panel_->SetupSource();
  }
  void Answer(int button) {
    panel_->SetRemoveDialogRunner([button](CRemoveSourceOptionsDlg& dialog) {
      dialog.Button(button)->click();
      return dialog.result() == QDialog::Accepted;
    });
    panel_->RemoveSource();
  }
  void Select(int source) {
    const QRect r = panel_->PanelRect(source);
    panel_->Click(r.center().x(), r.top() + 5);
  }
  int First(int source) { return panel_->Control(source)->GetSettings().subViewCamera[0]; }

  QTemporaryDir folder_;
  QString video_;
  CStaticDataView* data_ = nullptr;
  std::unique_ptr<ScriptedWorkbench> window_;
  CStaticSourcesView* panel_ = nullptr;
};

TEST_F(SourcesPanelTest, OpenVideoAddsOneSourceEntryAndCameraEachAndIgnoresCapitals) {
  OpenVideos(2);
  ASSERT_EQ(panel_->SourceCount(), 2);
  EXPECT_EQ(data_->EntryCount(), 2);
  EXPECT_EQ(window_->Data().GetCameraCount(), 2);
  EXPECT_EQ(panel_->SourceKind(1), kVideoFileSource);
  EXPECT_EQ(First(0), 0);
  EXPECT_EQ(First(1), 1);
  EXPECT_EQ(panel_->Panel(0)->Title(), "clip.avi");
  EXPECT_TRUE(panel_->Panel(0)->Information().startsWith("Duration: "));
  EXPECT_EQ(panel_->PanelRect(1).top(), panel_->PanelRect(0).bottom() + 1 + 5);

  const QString upper = folder_.filePath("CLIP.AVI");
  ASSERT_TRUE(QFile::copy(video_, upper));
  window_->OpenPath(upper);
  EXPECT_EQ(panel_->SourceCount(), 2);
  EXPECT_EQ(window_->Data().GetCameraCount(), 2);
}

TEST_F(SourcesPanelTest, AFileThatCannotBeDecodedIsRefusedWithAMessageAndAddsNothing) {
  QStringList messages;
  SetSourceMessageHandler([&messages](const QString& text) { messages << text; });
  const QString broken = folder_.filePath("broken.avi");
  QFile file(broken);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray(4096, 'x'));
  file.close();
  window_->OpenPath(broken);
  SetSourceMessageHandler({});
  EXPECT_EQ(panel_->SourceCount(), 0);
  EXPECT_EQ(window_->Data().GetCameraCount(), 0);
  EXPECT_EQ(data_->EntryCount(), 0);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains(broken)) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains("could not be opened as a video"));

  // The next good file becomes source 1 feeding camera 1.
  OpenVideos(1);
  ASSERT_EQ(panel_->SourceCount(), 1);
  EXPECT_EQ(window_->Data().GetCameraCount(), 1);
  EXPECT_EQ(First(0), 0);
}

TEST_F(SourcesPanelTest, ClicksSelectExpandAndDeselect) {
  OpenVideos(2);
  const QRect second = panel_->PanelRect(1);
  Select(0);
  EXPECT_EQ(panel_->Selected(), 0);
  EXPECT_EQ(panel_->PanelRect(0).height(), 30 + 75);
  EXPECT_EQ(panel_->PanelRect(1), second.translated(0, 75));
  EXPECT_TRUE(panel_->Control(0)->isVisibleTo(panel_));
  EXPECT_FALSE(panel_->Control(1)->isVisibleTo(panel_));

  Select(0);  // the selected one again: nothing changes
  EXPECT_EQ(panel_->PanelRect(0).height(), 30 + 75);

  // Through the main window's routing too.
  window_->LeftButtonDown(window_->PanelRect().topLeft() + panel_->PanelRect(1).topLeft() + QPoint(5, 5));
  EXPECT_EQ(panel_->Selected(), 1);
  EXPECT_EQ(panel_->PanelRect(0).height(), 30);
  EXPECT_EQ(panel_->PanelRect(1).top(), second.top());

  // A new source goes below the expanded last panel.
  OpenVideos(1);
  EXPECT_EQ(panel_->PanelRect(2).top(), panel_->PanelRect(1).bottom() + 1 + 5);

  panel_->Click(100, 300);  // empty space
  EXPECT_EQ(panel_->Selected(), -1);
  EXPECT_EQ(panel_->PanelRect(1).height(), 30);
  panel_->Click(300, 50);  // the control area belongs to the controls
  EXPECT_EQ(panel_->Selected(), -1);
}

TEST_F(SourcesPanelTest, StereoAndQuadInsertCamerasAndShiftLaterSources) {
  OpenVideos(2);
  Select(0);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitStereo, CSourceSetupDlg::Box::kDeinterlaceNone);
  EXPECT_EQ(window_->Data().GetCameraCount(), 3);
  EXPECT_EQ(EntryCameras(*data_), (std::vector<int>{0, 1, 2}));
  SourceSettings stereo = panel_->Control(0)->GetSettings();
  EXPECT_EQ(stereo.split, kSplitStereo);
  EXPECT_EQ(stereo.subViewCamera, (std::array<int32_t, 4>{0, 1, -1, -1}));
  EXPECT_EQ(First(1), 2);

  // The second source from None to Quad: three more cameras behind its own.
  Select(1);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitQuad, CSourceSetupDlg::Box::kDeinterlaceNone);
  EXPECT_EQ(window_->Data().GetCameraCount(), 6);
  EXPECT_EQ(panel_->Control(1)->GetSettings().subViewCamera, (std::array<int32_t, 4>{2, 3, 4, 5}));
  EXPECT_EQ(data_->EntryCount(), 6);

  // The first back to None: its second camera goes, the quad source moves up.
  Select(0);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitNone, CSourceSetupDlg::Box::kDeinterlaceNone);
  EXPECT_EQ(window_->Data().GetCameraCount(), 5);
  EXPECT_EQ(data_->EntryCount(), 5);
  EXPECT_EQ(panel_->Control(1)->GetSettings().subViewCamera, (std::array<int32_t, 4>{1, 2, 3, 4}));
}

TEST_F(SourcesPanelTest, ChangingDeinterlacingOrSplitAsksBeforeDiscardingCapturedViews) {
  OpenVideos(2);
  window_->Data().AddViewFromFrame(1, cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
  window_->Data().AddViewFromFrame(0, cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
  Select(1);
  // "No" keeps the views and the old setting.
  QString question;
  AnswerMessageBox(QMessageBox::No, &question);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitNone, CSourceSetupDlg::Box::kDeinterlaceFields);
  EXPECT_TRUE(question.contains("1 captured view")) << question.toStdString();
  EXPECT_EQ(window_->Data().GetViewCount(1), 1);
  EXPECT_EQ(panel_->Control(1)->GetSettings().deinterlace, kDeinterlaceNone);

  AnswerMessageBox(QMessageBox::Yes);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitNone, CSourceSetupDlg::Box::kDeinterlaceFields);
  EXPECT_EQ(window_->Data().GetViewCount(1), 0);
  EXPECT_EQ(window_->Data().GetViewCount(0), 1);
  EXPECT_EQ(window_->Data().GetCameraCount(), 2);
  const SourceSettings settings = panel_->Control(1)->GetSettings();
  EXPECT_EQ(settings.deinterlace, kDeinterlaceFields);
  EXPECT_EQ(settings.subViewCamera[0], 1);

  // Unchanged choices do nothing, not even asking or clearing.
  window_->Data().AddViewFromFrame(1, cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
  ChooseInSetup(CSourceSetupDlg::Box::kSplitNone, CSourceSetupDlg::Box::kDeinterlaceFields);
  EXPECT_EQ(window_->Data().GetViewCount(1), 1);

  // A split change with views asks too; "No" leaves the cameras as they were.
  AnswerMessageBox(QMessageBox::No);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitStereo, CSourceSetupDlg::Box::kDeinterlaceFields);
  EXPECT_EQ(window_->Data().GetCameraCount(), 2);
  EXPECT_EQ(panel_->Control(1)->GetSettings().split, kSplitNone);
  EXPECT_EQ(window_->Data().GetViewCount(1), 1);
  // Without views nothing is asked: the split goes through at once.
  Select(0);
  window_->Data().ClearCameraViews(0);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitStereo, CSourceSetupDlg::Box::kDeinterlaceNone);
  EXPECT_EQ(window_->Data().GetCameraCount(), 3);
}

TEST_F(SourcesPanelTest, SetUpAndRemoveNeedASelectionAndCancelChangesNothing) {
  OpenVideos(2);
  int dialogs = 0;
  panel_->SetSetupDialogRunner([&](CSourceSetupDlg&) { return ++dialogs, true; });
  panel_->SetupSource();
  Answer(CRemoveSourceOptionsDlg::kIdYes);
  EXPECT_EQ(dialogs, 0);
  EXPECT_EQ(panel_->SourceCount(), 2);

  Select(0);
  panel_->SetSetupDialogRunner([](CSourceSetupDlg& dialog) {
    dialog.Click(dialog.BoxRect(CSourceSetupDlg::Box::kSplitQuad).center());
    return false;
  });
  panel_->SetupSource();
  EXPECT_EQ(window_->Data().GetCameraCount(), 2);
  Answer(CRemoveSourceOptionsDlg::kIdCancel);
  EXPECT_EQ(panel_->SourceCount(), 2);
  EXPECT_EQ(panel_->Selected(), 0);
}

TEST_F(SourcesPanelTest, RemoveWithYesTakesTheCamerasAndNoKeepsThem) {
  OpenVideos(3);
  Select(0);
  ChooseInSetup(CSourceSetupDlg::Box::kSplitStereo, CSourceSetupDlg::Box::kDeinterlaceNone);
  ASSERT_EQ(window_->Data().GetCameraCount(), 4);
  const QRect lastPanel = panel_->PanelRect(2);

  Answer(CRemoveSourceOptionsDlg::kIdYes);  // source 0 with its two cameras
  EXPECT_EQ(panel_->SourceCount(), 2);
  EXPECT_EQ(panel_->Selected(), -1);
  EXPECT_EQ(window_->Data().GetCameraCount(), 2);
  EXPECT_EQ(EntryCameras(*data_), (std::vector<int>{0, 1}));
  EXPECT_EQ(First(0), 0);
  EXPECT_EQ(First(1), 1);
  // The others close up: no gap where the removed one stood.
  EXPECT_EQ(panel_->PanelRect(0), QRect(10, 10, 190, 30));
  EXPECT_EQ(panel_->PanelRect(1), QRect(10, 45, 190, 30));
  EXPECT_EQ(panel_->Panel(1)->geometry(), panel_->PanelRect(1));
  EXPECT_EQ(lastPanel.size(), QSize(190, 30));

  // Removing one between others, while another is expanded.
  window_->OpenPath(video_);
  Select(1);
  Answer(CRemoveSourceOptionsDlg::kIdNo);
  ASSERT_EQ(panel_->SourceCount(), 2);
  EXPECT_EQ(panel_->PanelRect(1), QRect(10, 45, 190, 30));
  Select(1);
  EXPECT_EQ(panel_->PanelRect(1), QRect(10, 45, 190, 30 + 75));
  window_->show();
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(window_->grab().save(QString(TestScreenshotDir()) + "/sources_after_removal.png"));

  Select(0);
  Answer(CRemoveSourceOptionsDlg::kIdNo);
  EXPECT_EQ(panel_->SourceCount(), 1);
  EXPECT_EQ(panel_->PanelRect(0), QRect(10, 10, 190, 30));
  EXPECT_EQ(window_->Data().GetCameraCount(), 3);
  EXPECT_EQ(data_->EntryCount(), 3);
}

TEST(SourceDialogs, SetupDialogChoicesAndDefaults) {
  TestApplication();
  CSourceSetupDlg dialog;
  SourceSettings given;
  given.split = kSplitQuad;
  given.deinterlace = kDeinterlaceFields;
  dialog.SetSettings(given);
  SourceSettings got = dialog.GetSettings();
  EXPECT_EQ(got.subViewCamera, (std::array<int32_t, 4>{0, 1, 2, 3}));
  EXPECT_EQ(got.deinterlace, kDeinterlaceFields);
  dialog.Click(dialog.BoxRect(CSourceSetupDlg::Box::kSplitStereo).topLeft());
  dialog.Click(dialog.BoxRect(CSourceSetupDlg::Box::kDeinterlaceNone).bottomRight());
  got = dialog.GetSettings();
  EXPECT_EQ(got.split, kSplitStereo);
  EXPECT_EQ(got.deinterlace, kDeinterlaceNone);
  EXPECT_EQ(CountSubViews(got), 2);
  dialog.Click(QPoint(dialog.width() - 5, dialog.TitleHeight() + 60));  // no box
  EXPECT_EQ(dialog.GetSettings().split, kSplitStereo);
  EXPECT_FALSE(dialog.Button(CSourceSetupDlg::kIdCapturePin)->isEnabled());
  dialog.SetLiveSource(true);
  EXPECT_TRUE(dialog.Button(CSourceSetupDlg::kIdCaptureFilter)->isEnabled());

  // The chosen box has its yellow frame two pixels outside.
  dialog.resize(dialog.size());
  QApplication::processEvents();
  const QRect stereo = dialog.BoxRect(CSourceSetupDlg::Box::kSplitStereo);
  const QImage& image = dialog.BackBuffer();
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.pixel(stereo.left() - 2, stereo.center().y()), 0xFFC8C800u);
  EXPECT_EQ(image.pixel(stereo.left() + 50, stereo.top() + 3), 0xFF00C800u);
  const QRect quad = dialog.BoxRect(CSourceSetupDlg::Box::kSplitQuad);
  EXPECT_NE(image.pixel(quad.left() - 2, quad.center().y()), 0xFFC8C800u);
}

TEST(SourceDialogs, RemoveQuestionAnswers) {
  TestApplication();
  CRemoveSourceOptionsDlg yes;
  yes.Button(CRemoveSourceOptionsDlg::kIdYes)->click();
  EXPECT_EQ(yes.Answer(), 0);
  EXPECT_EQ(yes.result(), QDialog::Accepted);
  CRemoveSourceOptionsDlg no;
  no.Button(CRemoveSourceOptionsDlg::kIdNo)->click();
  EXPECT_EQ(no.Answer(), 1);
  EXPECT_EQ(no.result(), QDialog::Accepted);
  CRemoveSourceOptionsDlg escape;
  escape.show();
  QTest::keyClick(&escape, Qt::Key_Escape);
  EXPECT_EQ(escape.Answer(), 2);
  EXPECT_EQ(escape.result(), QDialog::Rejected);
}

TEST(SourceDialogs, DeviceSelectionShowsAtMostTwentyAndSelectsByClick) {
  TestApplication();
  std::vector<std::string> names;
  for (int i = 0; i < 25; ++i) names.push_back("Device " + std::to_string(i) + std::string(i == 3 ? 150 : 0, 'x'));
  CSourceSelectDlg dialog(nullptr, names);
  EXPECT_EQ(dialog.DeviceCount(), 20);
  EXPECT_EQ(dialog.SelectedDevice(), 0);
  EXPECT_FALSE(dialog.OkButton()->isEnabled()) << "OK waits for a device";
  EXPECT_EQ(dialog.DeviceName(4).size(), 99u);
  EXPECT_EQ(dialog.PanelRect(0), QRect(10, 10, 190, 30));
  EXPECT_EQ(dialog.PanelRect(1).top(), 10 + 30 + 5);
  dialog.Click(QPoint(5, 5));  // beside the panels: still nothing chosen
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  dialog.show();
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(dialog.grab().save(QString(TestScreenshotDir()) + "/device_selection_none_chosen.png"));
  QTest::mouseClick(&dialog, Qt::LeftButton, {}, dialog.PanelRect(2).center());
  EXPECT_EQ(dialog.SelectedDevice(), 3);
  EXPECT_TRUE(dialog.OkButton()->isEnabled());
  EXPECT_TRUE(dialog.grab().save(QString(TestScreenshotDir()) + "/device_selection_chosen.png"));
  EXPECT_EQ(dialog.DeviceName(3), "Device 2");
  dialog.Click(QPoint(5, 5));  // outside every panel keeps the choice
  EXPECT_EQ(dialog.SelectedDevice(), 3);
  EXPECT_EQ(dialog.Panel(0)->Information(), ".....");
  EXPECT_EQ(dialog.DeviceName(0), "");
  EXPECT_EQ(dialog.DeviceName(21), "");
}

TEST(SourceDialogs, DeviceSelectionWithoutDevicesSaysSoAndCannotBeConfirmed) {
  TestApplication();
  CSourceSelectDlg dialog(nullptr, std::vector<std::string>{});
  EXPECT_EQ(dialog.DeviceCount(), 0);
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
  ASSERT_EQ(labels.size(), 1);
  EXPECT_EQ(labels[0]->text(), "No video input device was found.");
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Return);  // the disabled default button does nothing
  EXPECT_NE(dialog.result(), QDialog::Accepted);
}

TEST(SourceDialogs, DetailsPanelKeepsTextsGivenAsNull) {
  TestApplication();
  CSourceDetailsPanel panel;
  panel.resize(190, 30);
  panel.Layout();
  panel.SetTexts("Title", "Info");
  panel.SetTexts(QString(), "More");
  EXPECT_EQ(panel.Title(), "Title");
  EXPECT_EQ(panel.Information(), "More");
  EXPECT_EQ(panel.BackBuffer().height(), 30 + 75);
  EXPECT_EQ(panel.BackBuffer().pixel(189, 0), CSourceDetailsPanel::kDefaultTitleColour);
  EXPECT_EQ(panel.BackBuffer().pixel(189, 104), CSourceDetailsPanel::kInformationColour);
  panel.SetTitleColour(0xFF3C3C3C);
  EXPECT_EQ(panel.BackBuffer().pixel(189, 0), 0xFF3C3C3Cu);
}

TEST(Screenshot, MainWindowWithAVideoSourceOpen) {
  TestApplication();
  QTemporaryDir folder;
  const QString video = folder.filePath("stereo_rig.avi");
  media_test::VideoSpec spec;
  spec.width = 640;
  spec.frames = 20;
  ASSERT_TRUE(media_test::MakeNumberedAvi(video.toStdString(), spec));
  ScriptedWorkbench window(TestGraphicsParent());
  CStaticSourcesView* panel = window.SourcesView();
  window.OnSmallView();
  window.LeftButtonDoubleClick(window.PanelRect().topLeft() + QPoint(100, 100));
  window.OpenPath(video);
  ASSERT_EQ(panel->SourceCount(), 1);
  panel->Click(50, 15);
  auto* player = dynamic_cast<CVideoPlayerControl*>(panel->Control(0));
  ASSERT_NE(player, nullptr);
  player->SeekForward();
  window.move(20, 20);
  window.show();
  const QImage picture = ScreenPicture(window, 300);
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(picture.save(QString(TestScreenshotDir()) + "/main_small_sources_video.png"));
  EXPECT_FALSE(player->VideoView()->ShownFrame().isNull());
}

}  // namespace
