// The object editor of the real workbench window says which camera and view it
// shows, and while it is open it follows the data panel's selection; a hidden
// editor stays where it was until it is opened again.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "ui/ImageListControl.h"
#include "ui/ObjectEditDlg.h"
#include "ui/StaticDataView.h"
#include "widgets/StaticEx.h"
#include "support/TestPaths.h"

namespace {

class EditorFollowsSelection : public ::testing::Test, public WithApplication {
 protected:
  EditorFollowsSelection() : window(TestGraphicsParent()) {
    qputenv("LENTORA_OUTPUT_DIR", output.path().toUtf8());
    window.move(10, 10);
    window.show();
    panel = window.CalibrationPanel();
    editor = window.findChild<CObjectEditDlg*>();
  }
  ~EditorFollowsSelection() override {
    if (editor) editor->hide();
    qunsetenv("LENTORA_OUTPUT_DIR");
  }

  // Camera 1 with three views, camera 2 with two, opened as a user opens a workspace.
  void OpenTwoCameras() {
    CCalibrationData data;
    for (int c = 0; c < 2; ++c) {
      data.AddCamera();
      data.SetGrid(c, GridDescription{10.0, 10.0, 3, 2, 3, 3});
      for (int v = 0; v < 3 - c; ++v)
        data.AddViewFromFrame(c, cv::Mat(48, 64, CV_8UC3, cv::Scalar(40 * v, 80 + 60 * c, 120)));
    }
    const QString index = QDir(source.path()).filePath("ws.txt");
    ASSERT_TRUE(SaveWorkspaceTo(data, index.toStdString()).ok);
    window.OpenStartupWorkspace(index);
    ASSERT_EQ(window.Data().GetCameraCount(), 2);
  }

  // A double click on a view's thumbnail of the selected camera, as a user opens the editor.
  void DoubleClickView(int view) {
    const QPoint centre = panel->ImageList()->ThumbnailRect(view).center();
    panel->DoubleClick(CStaticDataView::kListLeft + centre.x(), CStaticDataView::kListTop + centre.y());
  }
  void ClickView(int view) {
    const QPoint centre = panel->ImageList()->ThumbnailRect(view).center();
    panel->Click(CStaticDataView::kListLeft + centre.x(), CStaticDataView::kListTop + centre.y());
  }
  QString ShownTitle() const {
    return static_cast<CStaticEx*>(editor->Control(CObjectEditDlg::kIdTitle))->Text();
  }

  QTemporaryDir output, source;
  CWorkbenchDlg window;
  CStaticDataView* panel = nullptr;
  CObjectEditDlg* editor = nullptr;
};

TEST_F(EditorFollowsSelection, TheTitleNamesTheShownCameraAndViewAndFollowsThePanelWhileOpen) {
  ASSERT_NE(editor, nullptr);
  OpenTwoCameras();
  panel->SelectEntry(0);
  DoubleClickView(1);
  ASSERT_TRUE(editor->isVisible());
  EXPECT_EQ(editor->Camera(), 0);
  EXPECT_EQ(editor->View(), 1);
  EXPECT_TRUE(ShownTitle().contains("Camera 1, view 2 of 3")) << ShownTitle().toStdString();

  // Another view of the same camera, then the other camera: the editor goes along.
  ClickView(2);
  EXPECT_EQ(editor->View(), 2);
  EXPECT_TRUE(ShownTitle().contains("Camera 1, view 3 of 3")) << ShownTitle().toStdString();
  panel->SelectEntry(1);
  EXPECT_EQ(editor->Camera(), 1);
  ASSERT_GE(editor->View(), 0);
  EXPECT_LT(editor->View(), 2) << "a view the second camera does not have";
  EXPECT_TRUE(ShownTitle().contains(QString("Camera 2, view %1 of 2").arg(editor->View() + 1)))
      << ShownTitle().toStdString();

  // Closed, it keeps what it showed; the panel moves on without it.
  editor->hide();
  panel->SelectEntry(0);
  ClickView(0);
  EXPECT_EQ(editor->Camera(), 1);
  // Opened again, it shows what the user opened it on.
  DoubleClickView(0);
  EXPECT_EQ(editor->Camera(), 0);
  EXPECT_EQ(editor->View(), 0);
  EXPECT_TRUE(ShownTitle().contains("Camera 1, view 1 of 3")) << ShownTitle().toStdString();
}

}  // namespace
