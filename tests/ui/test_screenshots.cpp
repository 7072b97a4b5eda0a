// Pictures of the main window in both layouts, saved for a person to look at
// (from the screen under Xvfb through scripts/ui_screenshots.sh, or rendered
// offscreen in the normal run).
#include <gtest/gtest.h>

#include <QDir>
#include <QEnterEvent>
#include <QImage>
#include <QScreen>
#include <QTest>

#include "UiTestSupport.h"
#include "widgets/HoverButtonEx.h"
#include "ui/StaticWorkspaceView.h"
#include "support/TestPaths.h"

namespace {

QImage Picture(QWidget& window) {
  window.show();
  return ScreenPicture(window);
}

void Hover(QWidget* button) {
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(button, &enter);
}

TEST(Screenshot, MainWindowInBothLayoutsWithRealGraphics) {
  TestApplication();
  ScriptedWorkbench window(TestGraphicsParent());
  ASSERT_TRUE(window.WorkspacePanel()->GraphicsLoaded());
  ASSERT_TRUE(window.Button(CWorkbenchDlg::kIdPower)->HasImage());
  QDir().mkpath(TestScreenshotDir());
  const QString dir = TestScreenshotDir();

  window.move(20, 20);
  const QImage large = Picture(window);
  EXPECT_TRUE(large.save(dir + "/main_large.png"));

  window.OnSmallView();
  window.LeftButtonDown(window.PanelRect().topLeft() + QPoint(200, 100));
  Hover(window.Button(CWorkbenchDlg::kIdSave));
  Hover(window.Button(CWorkbenchDlg::kIdPower));
  const QImage small = Picture(window);
  EXPECT_TRUE(small.save(dir + "/main_small_workspace.png"));
  EXPECT_EQ(large.height() - small.height(), qRound(CWorkbenchDlg::kLayoutGrowth * large.devicePixelRatio()));
}

}  // namespace
