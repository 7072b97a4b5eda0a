// The drawn scroll bar: range, clamping, wheel notches, thumb dragging and
// paging by a press on the track.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "support/TestApplication.h"
#include "widgets/ScrollBarEx.h"

namespace {

struct ScrollBarTest : ::testing::Test {
  ScrollBarTest() { bar.resize(CScrollBarEx::kWidth, 200); }
  // The application must exist before the bar is made (each test may run alone).
  QApplication& application = TestApplication();
  CScrollBarEx bar;
};

TEST_F(ScrollBarTest, HiddenWhileTheContentFitsAndOffsetsStayInRange) {
  bar.SetRange(150, 200);
  EXPECT_FALSE(bar.Needed());
  EXPECT_TRUE(bar.isHidden());
  bar.SetOffset(40);
  EXPECT_EQ(bar.Offset(), 0);

  bar.SetRange(1000, 200);
  EXPECT_EQ(bar.Maximum(), 800);
  bar.SetOffset(5000);
  EXPECT_EQ(bar.Offset(), 800);
  bar.SetOffset(-3);
  EXPECT_EQ(bar.Offset(), 0);
  // Shrinking content pulls the offset back so the end stays in view.
  bar.SetOffset(800);
  bar.SetRange(500, 200);
  EXPECT_EQ(bar.Offset(), 300);
}

TEST_F(ScrollBarTest, WheelNotchesScrollThreeLinesAndPartialDeltasAddUp) {
  bar.SetRange(1000, 200);
  bar.SetLineStep(10);
  QSignalSpy moved(&bar, &CScrollBarEx::offsetChanged);
  bar.Wheel(-120);
  EXPECT_EQ(bar.Offset(), 30);
  bar.Wheel(-60);
  EXPECT_EQ(bar.Offset(), 30);
  bar.Wheel(-60);
  EXPECT_EQ(bar.Offset(), 60);
  bar.Wheel(240);
  EXPECT_EQ(bar.Offset(), 0);
  EXPECT_EQ(moved.count(), 3);
}

TEST_F(ScrollBarTest, ThumbFollowsTheOffsetAndDraggingItScrolls) {
  bar.SetRange(1000, 200);
  const QRect top = bar.ThumbRect();
  EXPECT_EQ(top.top(), 0);
  EXPECT_EQ(top.height(), 40);  // a fifth of the track shows a fifth of the content
  bar.SetOffset(800);
  EXPECT_EQ(bar.ThumbRect().bottom(), 199);

  bar.SetOffset(0);
  QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(4, 10));
  QTest::mouseMove(&bar, QPoint(4, 90));
  QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(4, 90));
  EXPECT_EQ(bar.Offset(), 400);  // the thumb moved half of its 160-pixel travel
}

TEST_F(ScrollBarTest, PressOnTheTrackPagesTowardsIt) {
  bar.SetRange(1000, 200);
  QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(4, 150));
  EXPECT_EQ(bar.Offset(), 200);
  QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(4, 2));
  EXPECT_EQ(bar.Offset(), 0);
}

}  // namespace
