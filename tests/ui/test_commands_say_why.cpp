// Commands of the workbench that cannot act say why, in real message boxes of
// the real window: "Detect all" without a camera, Disable on a view without
// its image, Capture on a source whose camera was removed, the synchronised
// player's Open Files and Go with missing files, the window-picture key, and a
// save that leaves a view's image out or would remove a file it did not write.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "sources/test_media_fixtures.h"
#include "ui/ImageListControl.h"
#include "ui/StaticDataView.h"
#include "ui/StaticSourcesView.h"
#include "ui/SyncPlayerDlg.h"
#include "ui/VideoPlayerControl.h"
#include "support/TestPaths.h"

namespace {

// The texts of the message boxes `action` brings up, each answered with OK
// (or `answers` in turn, for questions) as a user would.
QStringList BoxesDuring(const std::function<void()>& action, std::vector<QMessageBox::StandardButton> answers = {}) {
  QStringList texts;
  size_t next = 0;
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    texts << box->text();
    const QMessageBox::StandardButton answer = next < answers.size() ? answers[next++] : QMessageBox::Ok;
    QAbstractButton* button = box->button(answer);
    if (!button) button = box->buttons().front();
    QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {}, button->mapTo(box, button->rect().center()));
  });
  poll.start();
  action();
  QApplication::processEvents();
  return texts;
}

class CommandsSayWhy : public ::testing::Test, public WithApplication {
 protected:
  CommandsSayWhy() : window(TestGraphicsParent()) {
    qputenv("LENTORA_OUTPUT_DIR", output.path().toUtf8());
    window.move(10, 10);
    window.show();
    panel = window.CalibrationPanel();
  }
  ~CommandsSayWhy() override { qunsetenv("LENTORA_OUTPUT_DIR"); }

  // A saved workspace of one camera with three views, the second one's image then deleted.
  QString WorkspaceMissingAnImage() {
    CCalibrationData data;
    data.AddCamera();
    data.SetGrid(0, GridDescription{10.0, 10.0, 3, 2, 3, 3});
    for (int v = 0; v < 3; ++v) data.AddViewFromFrame(0, cv::Mat(48, 64, CV_8UC3, cv::Scalar(40 * v, 80, 120)));
    const QString index = QDir(source.path()).filePath("ws.txt");
    EXPECT_TRUE(SaveWorkspaceTo(data, index.toStdString()).ok);
    QFile::remove(QDir(source.path()).filePath("Camera_0_Image_1.jpg"));
    return index;
  }

  QTemporaryDir output, source, target;
  CWorkbenchDlg window;
  CStaticDataView* panel = nullptr;
};

TEST_F(CommandsSayWhy, DetectAllWithoutACameraAndDisableOnAViewWithoutItsImage) {
  QStringList texts = BoxesDuring([&] { panel->DetectAll(); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("select a camera")) << texts[0].toStdString();

  texts = BoxesDuring([&] { window.OpenPath(WorkspaceMissingAnImage()); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("Camera_0_Image_1.jpg")) << texts[0].toStdString();
  panel->SelectEntry(0);
  CImageListControl& list = *panel->ImageList();
  list.SelectView(1);
  ASSERT_EQ(window.Data().IsViewEnabled(0, 1), 0);
  texts = BoxesDuring([&] { list.ToggleSelectedView(); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("View 2 has no image")) << texts[0].toStdString();
  EXPECT_EQ(window.Data().IsViewEnabled(0, 1), 0);
  // A view with its image still toggles without a word.
  list.SelectView(2);
  texts = BoxesDuring([&] { list.ToggleSelectedView(); });
  EXPECT_TRUE(texts.isEmpty());
  EXPECT_EQ(window.Data().IsViewEnabled(0, 2), 0);

  // A new camera starts with camera 1's grid, too small to detect: the user is sent to Grid...
  panel->NewCamera();
  panel->SelectEntry(1);
  texts = BoxesDuring([&] { panel->DetectAll(); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_EQ(texts[0].toStdString(), "Please set the camera's calibration grid (\"Grid...\") before detecting it.");
  // With a grid it can search, a camera without views has none to search.
  window.Data().SetGrid(1, GridDescription{10.0, 10.0, 8, 5, 3, 3});
  texts = BoxesDuring([&] { panel->DetectAll(); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].startsWith("Camera 2 has no views to detect the grid in")) << texts[0].toStdString();
}

TEST_F(CommandsSayWhy, ASaveNamesTheImageItLeavesOutAndRemovesNothingUnasked) {
  QStringList texts = BoxesDuring([&] { window.OpenPath(WorkspaceMissingAnImage()); });
  ASSERT_EQ(texts.size(), 1);

  // A fresh folder: saved, and the note names the image left out.
  const QString fresh = QDir(target.path()).filePath("fresh/copy.txt");
  QDir().mkpath(QFileInfo(fresh).path());
  texts = BoxesDuring([&] { EXPECT_TRUE(window.SaveTo(fresh)); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("Camera_0_Image_1.jpg")) << texts[0].toStdString();
  EXPECT_TRUE(texts[0].contains("left missing")) << texts[0].toStdString();

  // A folder holding a file of that name: asked first; No keeps it and saves nothing.
  const QString stale = QDir(target.path()).filePath("Camera_0_Image_1.jpg");
  {
    QFile file(stale);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("someone else's picture");
  }
  const QString index = QDir(target.path()).filePath("copy.txt");
  texts = BoxesDuring([&] { EXPECT_FALSE(window.SaveTo(index)); }, {QMessageBox::No});
  ASSERT_EQ(texts.size(), 2);
  EXPECT_TRUE(texts[0].contains("Camera_0_Image_1.jpg")) << texts[0].toStdString();
  EXPECT_TRUE(texts[1].contains("could not be saved")) << texts[1].toStdString();
  EXPECT_TRUE(texts[1].contains("Camera_0_Image_1.jpg")) << texts[1].toStdString();
  EXPECT_TRUE(QFile::exists(stale));
  EXPECT_FALSE(QFile::exists(index));

  // Yes: removed with the save, and the note says so.
  texts = BoxesDuring([&] { EXPECT_TRUE(window.SaveTo(index)); }, {QMessageBox::Yes});
  ASSERT_EQ(texts.size(), 2);
  EXPECT_TRUE(texts[1].contains("removed the earlier \"Camera_0_Image_1.jpg\"")) << texts[1].toStdString();
  EXPECT_FALSE(QFile::exists(stale));
  EXPECT_TRUE(QFile::exists(index));
}

TEST_F(CommandsSayWhy, CaptureFromASourceWhoseCameraWasRemoved) {
  const std::string video = QDir(source.path()).filePath("clip.avi").toStdString();
  media_test::VideoSpec spec;
  spec.frames = 5;
  ASSERT_TRUE(media_test::MakeNumberedAvi(video, spec));
  window.OpenPath(QString::fromStdString(video));
  CStaticSourcesView* sources = window.SourcesView();
  ASSERT_EQ(sources->SourceCount(), 1);
  auto* player = dynamic_cast<CVideoPlayerControl*>(sources->Control(0));
  ASSERT_NE(player, nullptr);
  ASSERT_EQ(BoxesDuring([&] { EXPECT_EQ(player->Capture(), 1); }).size(), 0);

  panel->SelectEntry(0);
  const QStringList asked = BoxesDuring([&] { panel->RemoveSelectedCamera(); }, {QMessageBox::Yes});
  ASSERT_EQ(asked.size(), 1);
  ASSERT_EQ(window.Data().GetCameraCount(), 0);
  const QStringList texts = BoxesDuring([&] { EXPECT_EQ(player->Capture(), 0); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("feeds no camera")) << texts[0].toStdString();
}

TEST_F(CommandsSayWhy, SyncPlayerNamesTheFilesItCannotUse) {
  CSyncPlayerDlg player(&window);
  player.show();
  QStringList texts = BoxesDuring([&] { EXPECT_FALSE(player.OnGo()); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("Open Files")) << texts[0].toStdString();

  const QString missing = QDir(source.path()).filePath("nothing.avi");
  player.SetFiles(missing.toStdString(), "", "", QDir(source.path()).filePath("no.txt").toStdString());
  texts = BoxesDuring([&] { player.OnOpenFiles(); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("Server video: " + missing + " does not exist")) << texts[0].toStdString();
  EXPECT_TRUE(texts[0].contains("Server frame log: no file was named")) << texts[0].toStdString();
  EXPECT_TRUE(texts[0].contains("Client video: no file was named")) << texts[0].toStdString();
  EXPECT_TRUE(texts[0].contains("no.txt could not be read")) << texts[0].toStdString();
  player.SetFrame(3);
  texts = BoxesDuring([&] { EXPECT_FALSE(player.OnGo()); });
  ASSERT_EQ(texts.size(), 1);
  EXPECT_TRUE(texts[0].contains("no frames to match")) << texts[0].toStdString();
}

TEST_F(CommandsSayWhy, TheWindowPictureKeySaysWhereItWrote) {
  const QStringList texts = BoxesDuring([&] { QTest::keyClick(&window, Qt::Key_W); });
  ASSERT_EQ(texts.size(), 1);
  const QString main = QDir(output.path()).filePath("Main.jpg");
  EXPECT_TRUE(texts[0].contains(main)) << texts[0].toStdString();
  EXPECT_TRUE(QFile::exists(main));
}

}  // namespace
