#include <gtest/gtest.h>

#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#include "UiTestSupport.h"
#include "ui/StaticDataView.h"
#include "core/Workspace.h"
#include "widgets/HoverButtonEx.h"
#include "widgets/StaticEx.h"
#include "ui/StaticWorkspaceView.h"

namespace {

struct Fixture : WithApplication, ::testing::Test {
  ScriptedWorkbench window;
  // A point inside the panel area at panel coordinates p.
  QPoint InPanel(int x, int y) const { return window.PanelRect().topLeft() + QPoint(x, y); }
  QPoint InLowerPanel(int x, int y) const { return window.LowerPanelRect().topLeft() + QPoint(x, y); }
};

using Layouts = Fixture;
using Routing = Fixture;
using Commands = Fixture;
using Keys = Fixture;

TEST_F(Layouts, StartsInTheLargeLayoutShowingBothLowerPanels) {
  EXPECT_EQ(window.Expanded(), 1);
  EXPECT_EQ(window.ViewMode(), 0);
  EXPECT_EQ(window.UpperCaption()->Text(), "Sources View");
  EXPECT_EQ(window.LowerCaption()->Text(), "Calibration Data View");
  EXPECT_FALSE(window.WorkspacePanel()->isVisibleTo(&window));
  EXPECT_TRUE(window.SourcesPanel()->isVisibleTo(&window));
  EXPECT_TRUE(window.DataPanel()->isVisibleTo(&window));
  EXPECT_EQ(window.DataPanel()->geometry(), window.PanelRect().translated(0, 280));
  EXPECT_EQ(window.windowTitle(), "Lentora");
  EXPECT_EQ(window.TitleText()->Text(), " Lentora \n Camera calibration workbench");
  EXPECT_EQ(window.TitleRect().width(), window.width());
}

TEST_F(Layouts, ExpandTwiceGrowsOnlyOnce) {
  window.OnSmallView();
  const int smallHeight = window.height();
  window.OnExpandView();
  window.OnExpandView();
  EXPECT_EQ(window.height(), smallHeight + 250);
  window.Button(CWorkbenchDlg::kIdExpandView)->click();
  EXPECT_EQ(window.height(), smallHeight + 250);
}

TEST_F(Layouts, SmallViewFromLargeShowsTheWorkspacePanel) {
  const int largeHeight = window.height();
  window.Button(CWorkbenchDlg::kIdSmallView)->click();
  EXPECT_EQ(window.Expanded(), 0);
  EXPECT_EQ(window.ViewMode(), 0);
  EXPECT_EQ(window.height(), largeHeight - 250);
  EXPECT_EQ(window.UpperCaption()->Text(), "Workspace View");
  EXPECT_EQ(window.LowerCaption()->Text(), "");
  EXPECT_TRUE(window.WorkspacePanel()->isVisibleTo(&window));
  EXPECT_FALSE(window.SourcesPanel()->isVisibleTo(&window));
  EXPECT_FALSE(window.DataPanel()->isVisibleTo(&window));
  EXPECT_EQ(window.DataPanel()->geometry(), window.PanelRect());
}

TEST_F(Layouts, SmallViewCyclesThroughThePanels) {
  window.OnSmallView();
  const std::vector<std::pair<int, QString>> expected = {
      {1, "Sources View"}, {2, "Calibration Data View"}, {0, "Workspace View"}};
  for (const auto& [mode, caption] : expected) {
    window.OnSmallView();
    EXPECT_EQ(window.ViewMode(), mode);
    EXPECT_EQ(window.UpperCaption()->Text(), caption);
    EXPECT_EQ(window.WorkspacePanel()->isVisibleTo(&window), mode == 0);
    EXPECT_EQ(window.SourcesPanel()->isVisibleTo(&window), mode == 1);
    EXPECT_EQ(window.DataPanel()->isVisibleTo(&window), mode == 2);
  }
  EXPECT_EQ(window.Expanded(), 0);
}

TEST_F(Layouts, ToolbarButtonsSitInTheirSlotsWithTheirGraphicsAndTooltips) {
  const QPoint strip = window.PanelRect().topLeft();  // only for a sanity bound
  CHoverButtonEx* open = window.Button(CWorkbenchDlg::kIdOpen);
  CHoverButtonEx* save = window.Button(CWorkbenchDlg::kIdSave);
  ASSERT_TRUE(open && save);
  EXPECT_EQ(save->y() - open->y(), 39);
  EXPECT_LT(open->x(), strip.x());
  EXPECT_EQ(open->TooltipText(), "Open workspace");
  EXPECT_EQ(window.Button(CWorkbenchDlg::kIdLiveFeed)->TooltipText(), "Connect to camera");
  EXPECT_EQ(window.Button(CWorkbenchDlg::kIdPower)->x(), window.TitleRect().width() - 25);
  EXPECT_EQ(window.Button(CWorkbenchDlg::kIdMinimize)->x(), window.TitleRect().width() - 45);
  EXPECT_EQ(open->BackgroundModeValue(), CHoverButtonEx::kBackgroundSolid);
}

TEST_F(Routing, ClicksInTheSmallLayoutGoToThePanelShown) {
  std::vector<QPoint> sources, data;
  window.PanelHooks().sourcesClick = [&](QPoint p) { sources.push_back(p); };
  window.PanelHooks().dataClick = [&](QPoint p) { data.push_back(p); };
  window.OnSmallView();
  QTest::mouseClick(&window, Qt::LeftButton, {}, InPanel(60, 60));
  EXPECT_TRUE(window.WorkspacePanel()->Highlighted(0));
  window.OnSmallView();
  QTest::mouseClick(&window, Qt::LeftButton, {}, InPanel(30, 40));
  window.OnSmallView();
  QTest::mouseClick(&window, Qt::LeftButton, {}, InPanel(70, 80));
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0], QPoint(30, 40));
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0], QPoint(70, 80));
}

TEST_F(Routing, ClicksOnTheWorkspacePanelWidgetAreRoutedByTheWindow) {
  window.OnSmallView();
  window.show();
  QTest::mouseClick(window.WorkspacePanel(), Qt::LeftButton, {}, QPoint(400, 100));
  EXPECT_TRUE(window.WorkspacePanel()->Highlighted(2));
  EXPECT_FALSE(window.Dragging());
}

TEST_F(Routing, ClicksInTheLargeLayoutGoByRectangle) {
  std::vector<QPoint> sources, data;
  window.PanelHooks().sourcesClick = [&](QPoint p) { sources.push_back(p); };
  window.PanelHooks().dataClick = [&](QPoint p) { data.push_back(p); };
  window.LeftButtonDown(InPanel(5, 6));
  window.LeftButtonDown(InLowerPanel(7, 8));
  window.LeftButtonDown(QPoint(window.PanelRect().left() + 5, window.PanelRect().bottom() + 10));  // the gap
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0], QPoint(5, 6));
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0], QPoint(7, 8));
}

TEST_F(Routing, DoubleClickOnAWorkspacePaneOpensItsPanel) {
  window.OnSmallView();
  QTest::mouseDClick(&window, Qt::LeftButton, {}, InPanel(100, 100));
  EXPECT_EQ(window.ViewMode(), 1);
  EXPECT_EQ(window.UpperCaption()->Text(), "Sources View");
  EXPECT_FALSE(window.WorkspacePanel()->isVisibleTo(&window));

  window.OnSmallView();
  window.OnSmallView();
  ASSERT_EQ(window.ViewMode(), 0);
  window.LeftButtonDoubleClick(InPanel(250, 150));
  EXPECT_EQ(window.ViewMode(), 2);
  EXPECT_EQ(window.UpperCaption()->Text(), "Calibration Data View");
}

TEST_F(Routing, DoubleClickOnTheThirdPaneOrOutsideDoesNothing) {
  window.OnSmallView();
  window.LeftButtonDoubleClick(InPanel(400, 100));
  window.LeftButtonDoubleClick(InPanel(100, 230));
  EXPECT_EQ(window.ViewMode(), 0);
}

TEST_F(Routing, DoubleClicksReachTheDataPanel) {
  std::vector<QPoint> data;
  window.PanelHooks().dataDoubleClick = [&](QPoint p) { data.push_back(p); };
  window.LeftButtonDoubleClick(InLowerPanel(230, 20));  // large layout
  window.LeftButtonDoubleClick(InPanel(230, 20));       // the sources panel: nothing
  window.OnSmallView();
  window.OnSmallView();
  window.OnSmallView();  // small layout, calibration data panel
  window.LeftButtonDoubleClick(InPanel(240, 30));
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0], QPoint(230, 20));
  EXPECT_EQ(data[1], QPoint(240, 30));
}

TEST_F(Routing, DraggingTheTitleBandMovesTheWindow) {
  window.move(100, 100);
  window.LeftButtonDown(QPoint(50, 10));
  EXPECT_TRUE(window.Dragging());
  window.MouseMoveWithLeftButton(QPoint(80, 25));
  EXPECT_EQ(window.pos(), QPoint(130, 115));
  const QSize size = window.size();
  window.LeftButtonUp();
  window.MouseMoveWithLeftButton(QPoint(200, 200));
  EXPECT_EQ(window.pos(), QPoint(130, 115));
  EXPECT_EQ(window.size(), size);
}

TEST_F(Commands, OpenLoadsTxtWorkspacesOnlyWithTheExactExtension) {
  QTemporaryDir dir;
  {
    CCalibrationData source;
    source.AddCamera();
    source.AddCamera();
    ASSERT_TRUE(SaveWorkspaceTo(source, dir.filePath("ws.txt").toStdString()).ok);
  }
  QFile::copy(dir.filePath("ws.txt"), dir.filePath("upper.TXT"));
  window.nextOpenPath = dir.filePath("upper.TXT");
  window.OnOpen();
  EXPECT_EQ(window.Data().GetCameraCount(), 0);

  window.nextOpenPath = dir.filePath("ws.txt");
  window.Button(CWorkbenchDlg::kIdOpen)->click();
  EXPECT_EQ(window.Data().GetCameraCount(), 2);
  EXPECT_EQ(window.CalibrationPanel()->EntryCount(), 2);
  EXPECT_TRUE(window.messages.isEmpty());

  window.nextOpenPath = "";  // cancelled
  window.OnOpen();
  EXPECT_EQ(window.Data().GetCameraCount(), 2);
}

TEST_F(Commands, OpenHandsVideoFilesToTheSources) {
  std::vector<std::string> opened;
  window.PanelHooks().openVideo = [&](const std::string& path, const std::string& name, const std::string& ext) {
    opened.push_back(path + "|" + name + "|" + ext);
  };
  window.OpenPath("/videos/run.avi");
  window.OpenPath("/videos/loud.AVI");
  window.OpenPath("/videos/clip.wmv");
  window.OpenPath("/videos/notes.doc");
  EXPECT_EQ(opened, (std::vector<std::string>{"/videos/run.avi|run.avi|avi", "/videos/clip.wmv|clip.wmv|wmv"}));
  EXPECT_EQ(window.Data().GetCameraCount(), 0);
}

TEST_F(Commands, ABrokenWorkspaceIsReportedNotIgnored) {
  QTemporaryDir dir;
  window.OpenPath(dir.filePath("missing.txt"));
  EXPECT_EQ(window.messages.size(), 1);
  EXPECT_EQ(window.Data().GetCameraCount(), 0);
}

TEST_F(Commands, SaveWritesTheWorkspaceAndReportsFailures) {
  QTemporaryDir dir;
  window.Data().AddCamera();
  window.nextSavePath = dir.filePath("saved.txt");
  window.Button(CWorkbenchDlg::kIdSave)->click();
  EXPECT_TRUE(QFile::exists(dir.filePath("saved.txt")));
  EXPECT_TRUE(window.messages.isEmpty());

  window.nextSavePath = dir.filePath("no/such/folder/saved.txt");
  window.OnSave();
  EXPECT_EQ(window.messages.size(), 1);
  window.nextSavePath = "";
  window.OnSave();
  EXPECT_EQ(window.messages.size(), 1);
}

TEST_F(Commands, PowerClosesWithOkAndTheAboutEntryShowsTheBox) {
  window.show();
  window.Button(CWorkbenchDlg::kIdPower)->click();
  EXPECT_EQ(window.result(), QDialog::Accepted);
  EXPECT_FALSE(window.isVisible());

  QMenu* menu = window.CreateSystemMenu();
  const auto actions = menu->actions();
  ASSERT_EQ(actions.size(), 2);
  EXPECT_TRUE(actions[0]->isSeparator());
  EXPECT_EQ(actions[1]->text(), "&About Lentora...");
  actions[1]->trigger();
  EXPECT_EQ(window.aboutBoxes, 1);
}

TEST_F(Keys, EnterAndEscapeNeverCloseTheWindow) {
  window.show();
  QTest::keyClick(&window, Qt::Key_Escape);
  QTest::keyClick(&window, Qt::Key_Return);
  QTest::keyClick(window.Button(CWorkbenchDlg::kIdOpen), Qt::Key_Enter);
  QTest::keyClick(window.Button(CWorkbenchDlg::kIdOpen), Qt::Key_Space);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.Data().GetCameraCount(), 0);
}

TEST_F(Keys, ShortcutsActRegardlessOfShift) {
  int p = 0, l = 0;
  window.PanelHooks().keyP = [&] { ++p; };
  window.PanelHooks().keyL = [&] { ++l; };
  window.show();
  QTest::keyClick(&window, Qt::Key_P);
  QTest::keyClick(&window, Qt::Key_P, Qt::ShiftModifier);
  QTest::keyClick(window.WorkspacePanel(), Qt::Key_L);
  QTest::keyClick(&window, Qt::Key_F1);
  EXPECT_EQ(p, 2);
  EXPECT_EQ(l, 1);
  EXPECT_EQ(window.aboutBoxes, 1);
}

TEST_F(Keys, WSavesThePictureOfTheMainWindow) {
  QTemporaryDir dir;
  qputenv("LENTORA_OUTPUT_DIR", dir.path().toUtf8());
  window.show();
  QTest::keyClick(&window, Qt::Key_W);
  qunsetenv("LENTORA_OUTPUT_DIR");
  EXPECT_TRUE(QFile::exists(dir.filePath("Main.jpg")));
  EXPECT_FALSE(QFile::exists(dir.filePath("Obj.jpg")));
}

TEST_F(Layouts, InstalledPanelsTakeThePlaceholdersPlace) {
  auto* sources = new QWidget;
  window.InstallSourcesPanel(sources);
  EXPECT_EQ(window.SourcesPanel(), sources);
  EXPECT_EQ(sources->parentWidget(), &window);
  EXPECT_EQ(sources->geometry(), window.PanelRect());
  EXPECT_TRUE(sources->isVisibleTo(&window));
  window.OnSmallView();
  EXPECT_FALSE(sources->isVisibleTo(&window));
}

}  // namespace
