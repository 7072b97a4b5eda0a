#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/StaticWorkspaceView.h"

namespace {

struct Panel : WithApplication {
  CStaticWorkspaceView view;
  Panel() {
    view.resize(477, 252);
    view.Init();
  }
};

TEST(WorkspacePanel, AClickHighlightsOnlyThePaneHit) {
  Panel panel;
  EXPECT_TRUE(panel.view.Click(50, 50));
  EXPECT_TRUE(panel.view.Highlighted(0));
  EXPECT_FALSE(panel.view.Highlighted(1));
  EXPECT_TRUE(panel.view.Click(200, 180));
  EXPECT_FALSE(panel.view.Highlighted(0));
  EXPECT_TRUE(panel.view.Highlighted(1));
  // The highlight frame is drawn in the accent colour around the pane.
  EXPECT_EQ(panel.view.BackBuffer().pixel(163, 100), 0xFFFFBF00u);
  EXPECT_NE(panel.view.BackBuffer().pixel(9, 100), 0xFFFFBF00u);
}

TEST(WorkspacePanel, ClickBetweenPanesClearsAll) {
  Panel panel;
  panel.view.Click(50, 50);
  EXPECT_TRUE(panel.view.Click(160, 50));
  for (int pane = 0; pane < CStaticWorkspaceView::kPaneCount; ++pane) EXPECT_FALSE(panel.view.Highlighted(pane));
}

TEST(WorkspacePanel, SecondClickOnTheSamePaneDoesNotRedraw) {
  Panel panel;
  panel.view.Click(400, 100);
  const int redraws = panel.view.RedrawCount();
  EXPECT_FALSE(panel.view.Click(401, 101));
  EXPECT_TRUE(panel.view.Highlighted(2));
  EXPECT_EQ(panel.view.RedrawCount(), redraws);
}

TEST(WorkspacePanel, SharedEdgeHighlightsBothNeighbours) {
  Panel panel;
  panel.view.Click(318, 100);
  EXPECT_TRUE(panel.view.Highlighted(1));
  EXPECT_TRUE(panel.view.Highlighted(2));
  // Below the hit rectangles (the preview runs lower than they do) nothing is hit.
  panel.view.Click(50, 186);
  EXPECT_FALSE(panel.view.Highlighted(0));
}

TEST(WorkspacePanel, MissingGraphicsLeaveAWorkingPanel) {
  Panel panel;  // no application folder: no header files found
  EXPECT_FALSE(panel.view.GraphicsLoaded());
  EXPECT_EQ(panel.view.BackBuffer().pixel(5, 5), 0xFF4B4B4Bu);
  EXPECT_EQ(panel.view.BackBuffer().pixel(20, 200), 0xFF828282u);  // grey preview
}

}  // namespace
