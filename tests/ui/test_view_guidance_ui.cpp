// Whether a camera's views are enough, as the workbench shows it: the coverage
// bars and verdict in the selected camera's entry, and the projection
// uncertainty heat map in the residual window, on a real store calibrated
// through the real panel; pictures of both for a person to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QTabBar>
#include <QTest>
#include <cstdlib>

#include "UiTestSupport.h"
#include "app/ViewGuidance.h"
#include "core/CalibrationData.h"
#include "support/GuidanceViews.h"
#include "support/SyntheticStore.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/ResidualWindow.h"
#include "ui/StaticDataView.h"
#include "widgets/HoverButtonEx.h"

namespace {

using namespace guidance_views;

bool Near(QColor a, QColor b, int tolerance = 30) {
  return std::abs(a.red() - b.red()) < tolerance && std::abs(a.green() - b.green()) < tolerance &&
         std::abs(a.blue() - b.blue()) < tolerance;
}

class ViewGuidancePanelTest : public ::testing::Test, public WithApplication {
 protected:
  ViewGuidancePanelTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    panel.resize(470, 480);
    panel.Init();
    panel.SetStore(&store);
    panel.SetPrompts({[this](const QString& text) { messages << text; }, {}, {}, {}});
  }
  ~ViewGuidancePanelTest() override {
    delete panel.ResidualWindow();
    unsetenv("LENTORA_OUTPUT_DIR");
  }

  // One camera holding the views, selected, calibrated with the panel's button.
  void CalibrateThroughThePanel(const SyntheticCameraViews& views) {
    panel.NewCamera();
    ASSERT_TRUE(AddSyntheticViews(store, 0, views, kGrid));
    panel.ViewsChanged();
    panel.SelectEntry(0);
    panel.Button(CStaticDataView::kIdCalibrate)->click();
    ASSERT_TRUE(panel.WaitForCalibration());
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
  }

  CCameraEntryPanel* EntryAt(int entry) const {
    for (CCameraEntryPanel* e : panel.findChildren<CCameraEntryPanel*>())
      if (e->Id() == CStaticDataView::kEntryIdBase + entry) return e;
    return nullptr;
  }

  // The residual window opened with the panel's button, on its uncertainty tab (clicked).
  CResidualWindow* UncertaintyTab() {
    panel.Button(CStaticDataView::kIdResiduals)->click();
    CResidualWindow* window = panel.ResidualWindow();
    if (!window) return nullptr;
    window->show();
    QTest::mouseClick(window->Tabs(), Qt::LeftButton, {}, window->Tabs()->tabRect(CResidualWindow::kUncertaintyTab).center());
    return window;
  }

  TempDir temp;
  CCalibrationData store;
  CStaticDataView panel;
  QStringList messages;
};

void SavePicture(const QImage& picture, const QString& name) {
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(picture.save(QString(TestScreenshotDir()) + "/" + name));
}

}  // namespace

TEST_F(ViewGuidancePanelTest, SelectedEntryShowsCoverageBarsAndTheVerdictThatFollowsTheRun) {
  panel.NewCamera();
  panel.NewCamera();
  ASSERT_TRUE(AddSyntheticViews(store, 0, ViewsAt(SpreadPoses(20)), kGrid));
  panel.ViewsChanged();
  panel.SelectEntry(0);
  CCameraEntryPanel* entry = EntryAt(0);
  ASSERT_NE(entry, nullptr);
  ASSERT_TRUE(entry->Guidance().has_value());
  EXPECT_EQ(entry->Guidance()->heading, "Coverage of 20 views");
  EXPECT_EQ(entry->Guidance()->verdict, "More views needed: not calibrated yet");
  const CoverageSummary expected = CurrentCoverage(store, 0);
  EXPECT_DOUBLE_EQ(entry->Guidance()->bars[0], expected.share);
  EXPECT_DOUBLE_EQ(entry->Guidance()->bars[4], expected.skew);
  // The other camera's entry shows none, and the selected one grows to hold the bars.
  ASSERT_NE(EntryAt(1), nullptr);
  EXPECT_FALSE(EntryAt(1)->Guidance().has_value());
  EXPECT_GE(panel.EntryRect(0).height(), entry->HeightForText(CStaticDataView::kEntryWidth));
  EXPECT_LE(entry->BarRect(4).bottom(), panel.EntryRect(0).height());

  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_TRUE(entry->Guidance().has_value());
  EXPECT_TRUE(entry->Guidance()->enough) << entry->Guidance()->verdict.toStdString();
  EXPECT_TRUE(entry->Guidance()->verdict.startsWith("Enough views: worst projection uncertainty "));

  // Drawn: the cells bar is filled to its share and empty beyond.
  const QImage picture = entry->grab().toImage();
  const QRect bar = entry->BarRect(0);
  const int filled = bar.left() + static_cast<int>(bar.width() * expected.share);
  EXPECT_NE(picture.pixelColor(bar.left() + 2, bar.center().y()), picture.pixelColor(bar.right() - 1, bar.center().y()))
      << "share " << expected.share;
  EXPECT_EQ(picture.pixelColor(filled - 3, bar.center().y()), picture.pixelColor(bar.left() + 2, bar.center().y()));

  // A disabled view leaves the coverage at once; the verdict still speaks of the run.
  store.DisableView(0, 4);
  panel.ViewsChanged();
  EXPECT_EQ(entry->Guidance()->heading, "Coverage of 19 views");
  EXPECT_TRUE(entry->Guidance()->verdict.endsWith("(last run: 20 views)")) << entry->Guidance()->verdict.toStdString();
  SavePicture(panel.grab().toImage(), "data_panel_coverage_bars.png");

  // The guidance moves with the selection; a camera without views shows none and keeps its height.
  panel.SelectEntry(1);
  EXPECT_FALSE(entry->Guidance().has_value());
  EXPECT_FALSE(EntryAt(1)->Guidance().has_value());
  EXPECT_EQ(panel.EntryRect(1).height(), CStaticDataView::kEntryHeight + CStaticDataView::kEntryExpansion);
  panel.SelectEntry(0);
  ASSERT_TRUE(entry->Guidance().has_value());
}

TEST_F(ViewGuidancePanelTest, HeatMapOfClusteredViewsIsHotInTheCornersAndSaysMoreViewsAreNeeded) {
  CalibrateThroughThePanel(ViewsAt(ClusteredPoses(20)));
  CResidualWindow* window = UncertaintyTab();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->CurrentTab(), CResidualWindow::kUncertaintyTab);
  const ProjectionUncertaintyMap& map = window->Uncertainty();
  ASSERT_TRUE(map.valid);
  EXPECT_EQ(map.columns, 30);
  EXPECT_EQ(map.rows, 20);

  const QImage picture = window->Picture();
  const QRectF area = window->HeatMapRect(picture.size());
  const double top = HeatScaleTop(map);
  // The top-left cell's centre and the image centre are drawn in their values' colours.
  const double scale = area.width() / map.width;
  const QPointF corner = area.topLeft() + QPointF(map.CellX(0), map.CellY(0)) * scale;
  const QPointF centre = area.center() + QPointF(3, 3);
  EXPECT_TRUE(Near(picture.pixelColor(corner.toPoint()), HeatColour(map.At(0, 0), top)))
      << picture.pixelColor(corner.toPoint()).name().toStdString();
  EXPECT_GT(map.At(0, 0), 2.0 * map.At(15, 10));
  EXPECT_FALSE(Near(picture.pixelColor(corner.toPoint()), picture.pixelColor(centre.toPoint())));
  SavePicture(picture, "uncertainty_heat_map_clustered.png");
  // The residuals tab is the picture it always was.
  window->Tabs()->setCurrentIndex(CResidualWindow::kResidualsTab);
  EXPECT_EQ(window->Picture(), window->Render(window->Picture().size()));
}

TEST_F(ViewGuidancePanelTest, HeatMapOfSpreadViewsSaysEnough) {
  CalibrateThroughThePanel(ViewsAt(SpreadPoses(20)));
  CResidualWindow* window = UncertaintyTab();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(window->Uncertainty().valid);
  EXPECT_LT(window->Uncertainty().centre90, 0.25);
  SavePicture(window->Picture(), "uncertainty_heat_map_spread.png");
  SavePicture(window->grab().toImage(), "uncertainty_window_spread.png");
}

TEST(HeatScale, ContoursAndColoursFollowTheScale) {
  const std::vector<double> tenths = ContourLevels(1.0);
  ASSERT_EQ(tenths.size(), 4u);
  EXPECT_NEAR(tenths.front(), 0.2, 1e-12);
  EXPECT_NEAR(tenths.back(), 0.8, 1e-12);
  EXPECT_EQ(ContourLevels(2.0), (std::vector<double>{0.5, 1.0, 1.5}));
  EXPECT_TRUE(ContourLevels(0.0).empty());
  // Colours run from cold to hot, and saturate above the top.
  EXPECT_LT(HeatColour(0.0, 1.0).red(), HeatColour(1.0, 1.0).red());
  EXPECT_GT(HeatColour(0.0, 1.0).blue(), HeatColour(1.0, 1.0).blue());
  EXPECT_EQ(HeatColour(5.0, 1.0), HeatColour(1.0, 1.0));
  // A few very uncertain corners do not set the scale: at most three times the centre's worst, rounded.
  ProjectionUncertaintyMap map;
  map.valid = true;
  map.worst = 40.0;
  map.centre90 = 0.3;
  EXPECT_DOUBLE_EQ(HeatScaleTop(map), 1.0);
  map.worst = 0.64;
  EXPECT_DOUBLE_EQ(HeatScaleTop(map), 0.8);
  map.worst = 0.16;
  map.centre90 = 0.1;
  EXPECT_DOUBLE_EQ(HeatScaleTop(map), 0.2);
  // Between cell centres the map is interpolated; outside them it holds the edge.
  map.columns = 2;
  map.rows = 1;
  map.width = 200;
  map.height = 100;
  map.sigma = {1.0, 3.0};
  EXPECT_DOUBLE_EQ(InterpolatedSigma(map, 100, 50), 2.0);
  EXPECT_DOUBLE_EQ(InterpolatedSigma(map, 0, 0), 1.0);
  EXPECT_DOUBLE_EQ(InterpolatedSigma(map, 199, 99), 3.0);
}
