// Per-view errors in the data panel's image list after a run, with the real
// store and panel: a strip on each thumbnail that stays with its view through
// scrolling, removals and another camera, amber for outliers, and one click
// on an outlier's strip disables the view.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>
#include <cstdlib>

#include "UiTestSupport.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"
#include "support/SyntheticStore.h"
#include "support/TestPaths.h"
#include "ui/ImageListControl.h"
#include "ui/StaticDataView.h"
#include "widgets/ScrollBarEx.h"

namespace {

constexpr int kViews = 30;
constexpr int kOutlier = 27;  // far down the list: out of sight until it scrolls

class ViewErrorListTest : public ::testing::Test, public WithApplication {
 protected:
  ViewErrorListTest() {
    setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
    panel.resize(470, 250);
    panel.Init();
    panel.SetStore(&store);
    CStaticDataView::Prompts prompts;
    prompts.message = [this](const QString& text) { messages << text; };
    prompts.question = [](const QString&, QMessageBox::StandardButtons) { return QMessageBox::Yes; };
    panel.SetPrompts(prompts);
    panel.NewCamera();
    panel.NewCamera();
    SyntheticOptions options;
    options.views = kViews;
    options.renderImages = false;
    options.pointNoise = 0.05;
    const SyntheticRig rig = MakeSyntheticRig(options);
    EXPECT_TRUE(AddSyntheticViews(store, 0, rig.cameras[0], rig.grid, kViews, 200));
    PointList& outlier = *store.GetGridPoints(0, kOutlier);  // a badly marked view
    for (size_t p = 0; p < outlier.size(); ++p) outlier[p].x += (p % 2 ? 2.5 : -2.5);
    panel.SelectEntry(0);
  }
  ~ViewErrorListTest() override { unsetenv("LENTORA_OUTPUT_DIR"); }

  void Calibrate() {
    panel.Calibrate();
    ASSERT_TRUE(panel.WaitForCalibration());
    ASSERT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
  }
  CImageListControl& List() { return *panel.ImageList(); }
  QColor StripColour(int view) {
    List().Draw();
    const QRect strip = List().ErrorStripRect(view);
    return List().BackBuffer().pixelColor(strip.left() + 2, strip.center().y());
  }
  double ErrorOf(int view) {
    for (const ViewError& e : List().ViewErrors())
      if (e.view == view) return e.rms;
    return -1.0;
  }

  TempDir temp;
  CCalibrationData store;
  CStaticDataView panel;
  QStringList messages;
};

}  // namespace

TEST_F(ViewErrorListTest, EachViewShowsItsOwnErrorAndTheOutlierIsAmberAlsoAfterScrolling) {
  List().Draw();
  EXPECT_TRUE(List().ViewErrors().empty());  // no run yet
  EXPECT_TRUE(List().ErrorStripRect(0).isNull());
  Calibrate();
  const std::vector<ViewError> errors = List().ViewErrors();
  ASSERT_EQ(errors.size(), static_cast<size_t>(kViews));
  for (const ViewError& e : errors) EXPECT_EQ(e.outlier, e.view == kOutlier) << e.view;
  EXPECT_GT(ErrorOf(kOutlier), 1.0);
  EXPECT_LT(ErrorOf(0), 0.2);

  const QRect strip = List().ErrorStripRect(0);
  EXPECT_EQ(strip.bottom(), List().ThumbnailRect(0).bottom());
  EXPECT_EQ(strip.width(), CImageListControl::kThumbnailSize);
  const QColor plain = StripColour(0);
  EXPECT_LT(plain.red(), 100);  // dark over the light thumbnail

  ASSERT_GT(List().ThumbnailRect(kOutlier).top(), List().ThumbnailArea().bottom());  // out of sight
  for (int i = 0; i < 10; ++i) List().Wheel(-120);
  ASSERT_GT(List().ScrollOffset(), 0);
  const QRect outlierStrip = List().ErrorStripRect(kOutlier);
  ASSERT_TRUE(List().ThumbnailArea().contains(outlierStrip));
  EXPECT_EQ(List().ViewAt(outlierStrip.center().x(), outlierStrip.center().y()), kOutlier);
  const QColor amber = StripColour(kOutlier);
  EXPECT_GT(amber.red(), 200);
  EXPECT_GT(amber.green(), 150);
  EXPECT_LT(amber.blue(), 100);
  // The plain view beside it is dark, the thumbnail above its strip untouched.
  EXPECT_LT(StripColour(kOutlier - 1).red(), 100);
  const QRect thumbnail = List().ThumbnailRect(kOutlier);
  EXPECT_EQ(List().BackBuffer().pixelColor(thumbnail.left() + 2, thumbnail.top() + 2), QColor(200, 200, 200));
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(List().grab().save(QString(TestScreenshotDir()) + "/view_errors_scrolled.png"));
}

TEST_F(ViewErrorListTest, OneClickOnTheOutliersStripDisablesItOtherClicksOnlySelect) {
  Calibrate();
  List().SelectView(kOutlier);  // scrolls it into sight
  const QRect plainStrip = List().ErrorStripRect(kOutlier - 1);
  List().Click(plainStrip.center().x(), plainStrip.center().y());
  EXPECT_EQ(List().SelectedView(), kOutlier - 1);
  EXPECT_EQ(store.IsViewEnabled(0, kOutlier - 1), 1);

  const QRect thumbnail = List().ThumbnailRect(kOutlier);
  List().Click(thumbnail.left() + 5, thumbnail.top() + 5);  // above the strip
  EXPECT_EQ(List().SelectedView(), kOutlier);
  EXPECT_EQ(store.IsViewEnabled(0, kOutlier), 1);

  // A real mouse click on the list, which the panel routes to it.
  const QRect strip = List().ErrorStripRect(kOutlier);
  QTest::mouseClick(&List(), Qt::LeftButton, {}, strip.center());
  EXPECT_EQ(store.IsViewEnabled(0, kOutlier), 0);
  List().Click(strip.center().x(), strip.center().y());  // a second click does not enable it again
  EXPECT_EQ(store.IsViewEnabled(0, kOutlier), 0);

  // The next run leaves the disabled view out, and it shows no number any more.
  Calibrate();
  EXPECT_EQ(List().ViewErrors().size(), static_cast<size_t>(kViews - 1));
  EXPECT_TRUE(List().ErrorStripRect(kOutlier).isNull());
  for (const ViewError& e : List().ViewErrors()) EXPECT_FALSE(e.outlier) << e.view;
}

TEST_F(ViewErrorListTest, NumbersNeverOutliveTheirViews) {
  Calibrate();
  const double before = ErrorOf(5);
  ASSERT_GT(before, 0.0);

  // Another camera shows none; back on the first, the same numbers on the same views.
  panel.SelectEntry(1);
  EXPECT_EQ(List().Camera(), 1);
  EXPECT_TRUE(List().ViewErrors().empty());
  panel.SelectEntry(0);
  EXPECT_EQ(ErrorOf(5), before);

  // A view whose corners moved since the run shows no number; the others keep theirs.
  (*store.GetGridPoints(0, 5))[0].x += 1.0;
  EXPECT_LT(ErrorOf(5), 0.0);
  EXPECT_GT(ErrorOf(6), 0.0);
  // A new run replaces every number.
  Calibrate();
  EXPECT_GT(ErrorOf(5), 0.0);
  EXPECT_NE(ErrorOf(5), before);

  // Removing a view shifts the later ones: no number may land on the wrong view.
  const double ofView7 = ErrorOf(7);
  List().SelectView(6);
  panel.RemoveSelectedView();
  ASSERT_EQ(store.GetViewCount(0), kViews - 1);
  EXPECT_TRUE(List().ViewErrors().empty());
  EXPECT_TRUE(List().ErrorStripRect(6).isNull());
  Calibrate();
  EXPECT_NEAR(ErrorOf(6), ofView7, 0.05);  // the old view 7, now view 6, has its own error again
}
