// Pictures of the main window in both layouts, saved for a person to look at
// (under Xvfb through scripts/ui_screenshots.sh, or offscreen in the normal run).
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/HoverButtonEx.h"
#include "ui/StaticWorkspaceView.h"

namespace {

QImage Picture(QWidget& window) {
  window.show();
  QTest::qWait(50);
  QApplication::processEvents();
  return window.grab().toImage();
}

TEST(Screenshot, MainWindowInBothLayoutsWithRealGraphics) {
  TestApplication();
  ScriptedWorkbench window(LENTORA_GRAPHICS_PARENT);
  ASSERT_TRUE(window.WorkspacePanel()->GraphicsLoaded());
  ASSERT_TRUE(window.Button(CWorkbenchDlg::kIdPower)->HasImage());
  QDir().mkpath(LENTORA_SCREENSHOT_DIR);
  const QString dir = LENTORA_SCREENSHOT_DIR;

  const QImage large = Picture(window);
  EXPECT_TRUE(large.save(dir + "/main_large.png"));
  window.OnSmallView();
  window.LeftButtonDown(window.PanelRect().topLeft() + QPoint(200, 100));
  const QImage small = Picture(window);
  EXPECT_TRUE(small.save(dir + "/main_small_workspace.png"));
  EXPECT_EQ(large.height() - small.height(), CWorkbenchDlg::kLayoutGrowth * large.devicePixelRatio());
}

}  // namespace
